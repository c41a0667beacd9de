// Owners for the C library's small resources, shared by every program and test:
// heap buffers handed out by C functions, stdio streams and directory listings.
// Descriptors use android::base::unique_fd; libcurl's handles are in
// request/curl_handles.h.
#pragma once

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>

// Buffers from malloc, calloc or any C function that hands out heap memory.
struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
struct FileCloser {
  void operator()(FILE* stream) const { fclose(stream); }
};
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// A resource released by a C function of its library, such as
// ReleaseWith<cJSON_Delete>.
template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* p) const {
    Release(p);
  }
};

template <typename T>
using UniqueMalloc = std::unique_ptr<T, FreeDeleter>;
using UniqueFile = std::unique_ptr<FILE, FileCloser>;
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
