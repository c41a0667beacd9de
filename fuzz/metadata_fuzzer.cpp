// The install gate's metadata parser and rules on hostile text. The input is
// the metadata entry; with a leading "H\n", its next five lines are the
// handset's device, serial number, fingerprint, incremental version and build
// time instead of the fixed handset's.
#include <stdint.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "request/install_gate.h"

using namespace install_gate;

namespace {

class Handset : public PropertyReader {
 public:
  std::map<std::string, std::string> values;
  bool Read(const std::string& name, std::string* value) const override {
    auto it = values.find(name);
    if (it == values.end() || it->second.empty()) return false;
    *value = it->second;
    return true;
  }
};

const char* const kNames[] = {kDeviceProperty, kSerialProperty, kFingerprintProperty,
                              kIncrementalProperty, kBuildTimeProperty};

bool InList(const std::string& list, char separator, const std::string& want) {
  size_t start = 0;
  while (true) {
    size_t end = list.find(separator, start);
    std::string item = list.substr(start, end == std::string::npos ? end : end - start);
    size_t b = item.find_first_not_of(" \t\r");
    size_t e = item.find_last_not_of(" \t\r");
    if (b != std::string::npos && item.substr(b, e - b + 1) == want) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxMetadataSize + 1024) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  Handset handset;
  handset.values = {{kDeviceProperty, "vexa_one"},
                    {kSerialProperty, "a1b2c3"},
                    {kFingerprintProperty, "norvo/vexa_one:10/Q/V1:user/release-keys"},
                    {kIncrementalProperty, "V1"},
                    {kBuildTimeProperty, "1600000000"}};
  if (text.compare(0, 2, "H\n") == 0) {
    size_t at = 2;
    for (const char* name : kNames) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;
      handset.values[name] = text.substr(at, std::min<size_t>(end - at, 91));
      at = end + 1;
    }
    text.erase(0, at);
  }

  Metadata first, second;
  Verdict refusal;
  bool parsed = ParseMetadata(text, &first, &refusal).ok();
  FUZZ_CHECK(parsed == ParseMetadata(text, &second, &refusal).ok() && first == second);
  FUZZ_CHECK(first.size() <= kMaxMetadataKeys);

  Verdict verdict;
  Status fit = Check(text, handset, &verdict);
  if (!fit.ok()) {
    // The refusal goes to the log as one line of printable text, bounded: at
    // most three values of 128 shown bytes, each escaped to at most 4 characters.
    std::string line = fit.reason;
    FUZZ_CHECK(line == Describe(verdict));
    FUZZ_CHECK(!verdict.key.empty() && line.size() < 2048);
    for (char c : line) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
    return 0;
  }
  // A fitting package satisfies every rule, checked here again from the parse.
  FUZZ_CHECK(parsed);
  FUZZ_CHECK(first["ota-type"] == "BLOCK");
  FUZZ_CHECK(verdict.device == handset.values[kDeviceProperty]);
  FUZZ_CHECK(InList(first["pre-device"], ',', verdict.device));
  auto present = [&first](const char* key) {
    auto it = first.find(key);
    return it != first.end() && !it->second.empty();
  };
  if (present("serialno")) FUZZ_CHECK(first["serialno"] == handset.values[kSerialProperty]);
  if (present("pre-build")) {
    FUZZ_CHECK(InList(first["pre-build"], '|', handset.values[kFingerprintProperty]));
  }
  if (present("pre-build-incremental")) {
    FUZZ_CHECK(first["pre-build-incremental"] == handset.values[kIncrementalProperty]);
  }
  uint64_t handset_time = 0;
  FUZZ_CHECK(ParseTimestamp(handset.values[kBuildTimeProperty], &handset_time));
  FUZZ_CHECK(verdict.handset_time == handset_time);
  uint64_t package_time = 0;
  bool newer =
      ParseTimestamp(first["post-timestamp"], &package_time) && package_time >= handset_time;
  FUZZ_CHECK(newer != verdict.downgrade);
  if (verdict.downgrade) FUZZ_CHECK(first["ota-downgrade"] == "yes" && present("pre-build"));
  return 0;
}
