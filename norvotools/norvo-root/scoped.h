// Owners for the C library's small resources, shared by every program and test:
// heap buffers handed out by C functions, stdio streams, directory listings and
// JSON trees.
// Descriptors use android::base::unique_fd; libcurl's handles are in
// request/curl_handles.h.
#pragma once

#include <android-base/unique_fd.h>
#include <cjson/cJSON.h>
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
// ReleaseWith<curl_easy_cleanup>.
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

// A stream over `fd` that owns the descriptor from then on (fclose closes it);
// null, with `fd` still the owner, when stdio cannot make one (errno set).
inline UniqueFile StreamOver(android::base::unique_fd& fd, const char* mode) {
  UniqueFile stream(fdopen(fd.get(), mode));
  if (stream) {
    int owned_by_stream = fd.release();
    (void)owned_by_stream;
  }
  return stream;
}

// The one owner of a cJSON tree (parsed, created or handed out by a builder).
using JsonPtr = std::unique_ptr<cJSON, ReleaseWith<cJSON_Delete>>;
// Text printed by cJSON_Print / cJSON_PrintUnformatted: released through the
// library's own allocator, which need not be free().
using JsonText = std::unique_ptr<char, ReleaseWith<cJSON_free>>;
