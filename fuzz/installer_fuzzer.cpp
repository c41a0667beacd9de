// The installer's line protocol: the updater's command pipe read as the bridge
// reads it, in pieces of at most 1023 bytes up to a line feed.
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_support.h"
#include "request/private/installer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string stream(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < stream.size()) {
    // fgets() into a 1024-byte buffer: up to and including the line feed, at
    // most 1023 bytes, and the C string stops at a NUL byte.
    size_t end = stream.find('\n', pos);
    size_t take = end == std::string::npos ? stream.size() - pos : end - pos + 1;
    if (take > 1023) take = 1023;
    std::string piece = stream.substr(pos, take);
    handle_updater_line(piece.c_str());
    pos += take;
  }
  return 0;
}
