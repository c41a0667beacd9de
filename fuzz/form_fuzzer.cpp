// The update query's form: the encrypted "q" field and the form body built from
// the fields. Values must come back unchanged from the escaped body.
#include <curl/curl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-update/dir2url.h"
#include "request/update_checker.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  REQUEST_UNCRYPTED_FILE = fuzz_support::Dir() / "request.uncrypted";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  FactMap fields;
  if (input.ConsumeBool()) {
    std::string query = input.ConsumeRandomLengthString(4096);
    std::string t = input.ConsumeRandomLengthString(64);
    int selector = input.ConsumeIntegral<int>();
    FUZZ_CHECK(getUpdateUrlParams(query, std::move(t), selector, fields) == 0);
    FUZZ_CHECK(fields.count("q") == 1 && !fields["q"].empty());
    FUZZ_CHECK(fields["s"] == (selector == 1 ? "1" : "2"));
  }
  // Field names as the query uses them (plain words); values are anything.
  size_t count = input.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < count; ++i) {
    std::string name = "f" + std::to_string(input.ConsumeIntegralInRange<int>(0, 40));
    fields[name] = input.ConsumeRandomLengthString(256);
  }

  std::string body = buildFormBody(fields);
  size_t pairs = 0;
  size_t start = 0;
  while (!fields.empty()) {
    size_t end = body.find('&', start);
    std::string pair = body.substr(start, end == std::string::npos ? end : end - start);
    size_t eq = pair.find('=');
    FUZZ_CHECK(eq != std::string::npos);
    auto it = fields.find(pair.substr(0, eq));
    FUZZ_CHECK(it != fields.end());
    std::string escaped = pair.substr(eq + 1);
    FUZZ_CHECK(escaped.find_first_of("=& \r\n") == std::string::npos);
    int length = 0;
    std::unique_ptr<char, ReleaseWith<curl_free>> clear(
        curl_easy_unescape(nullptr, escaped.c_str(), static_cast<int>(escaped.size()), &length));
    FUZZ_CHECK(clear != nullptr);
    FUZZ_CHECK(std::string(clear.get(), length) == it->second);
    ++pairs;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  FUZZ_CHECK(pairs == fields.size());
  return 0;
}
