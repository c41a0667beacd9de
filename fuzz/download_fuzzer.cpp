// The download's text parsers: redirect targets, the size record, command lines
// and Content-Range values.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_support.h"
#include "request/command_listener.h"
#include "request/download_target.h"
#include "request/package_answer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  SplitUrl parts;
  if (split_redirect_url(text, &parts)) {
    // Nothing is lost or invented: the three parts are the target again.
    FUZZ_CHECK(parts.scheme + parts.host + parts.path == text);
    FUZZ_CHECK(parts.scheme.size() >= 3 && parts.scheme.size() <= 15);
    FUZZ_CHECK(parts.scheme.compare(parts.scheme.size() - 3, 3, "://") == 0);
    FUZZ_CHECK(!parts.host.empty() && parts.host.size() <= 1023);
    FUZZ_CHECK(parts.host.find_first_of("/?") == std::string::npos);
    FUZZ_CHECK(parts.path.size() <= 524287);
    FUZZ_CHECK(parts.path.empty() || parts.path[0] == '/' || parts.path[0] == '?');
  }

  // The size record is decimal: anything accepted is digits, maybe with blanks around.
  uint64_t bytes = parse_file_size(text);
  if (bytes != 0) {
    size_t first = text.find_first_not_of(" \t\r\n\f\v");
    size_t last = text.find_last_not_of(" \t\r\n\f\v");
    std::string digits = text.substr(first, last - first + 1);
    FUZZ_CHECK(digits.find_first_not_of("0123456789") == std::string::npos);
    FUZZ_CHECK(std::stoull(digits) == bytes);
  }

  char command = parse_command(text);
  FUZZ_CHECK(command == 0 || (command == text[0] && (command == 'c' || command == 'p' ||
                                                     command == 's' || command == 'l')));

  int64_t start = content_range_start(text);
  int64_t total = content_range_total(text);
  FUZZ_CHECK(start >= -1 && total >= -1);
  return 0;
}
