// partver's reading of the updater partition (header, record position, version
// record) and of the target version file, with a private property store.
#include <android-base/file.h>
#include <android-base/properties.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "partver/partver.h"

namespace {
std::string image;
std::string targets;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  image = fuzz_support::Dir() / "sda30";
  targets = fuzz_support::Dir() / "targetversion";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string target_text = input.ConsumeRandomLengthString(512);
  // A short image is a partition that ends early; a whole one has its record
  // right after the header when the DTBO fields are small.
  std::string bytes = input.ConsumeRemainingBytesAsString();
  if (!android::base::WriteStringToFile(bytes, image)) abort();
  android::base::WriteStringToFile(target_text, targets);

  if (bytes.size() >= partver::kHeaderSize) {
    uint64_t offset = 0;
    if (partver::version_record_offset(reinterpret_cast<const uint8_t*>(bytes.data()), &offset)) {
      FUZZ_CHECK(offset % 4096 == 0);
    }
  }
  android::base::SetProperty("ota.norvo.existed", "");
  partver::probe_partition(image.c_str());
  if (bytes.size() >= partver::kHeaderSize) {
    bool android_image = memcmp(bytes.data(), "ANDROID!", 8) == 0;
    FUZZ_CHECK(android::base::GetProperty("ota.norvo.existed", "") == (android_image ? "1" : "0"));
  }
  for (const char* name :
       {"ota.norvo.source.major", "ota.norvo.source.middle", "ota.norvo.source.minor"}) {
    FUZZ_CHECK(android::base::GetProperty(name, "").size() <= 3);
  }
  partver::apply_target_versions(targets.c_str());

  for (const auto& [key, value] : partver::parse_target_versions(target_text)) {
    FUZZ_CHECK(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
  }
  int32_t number = static_cast<int32_t>(size * 2654435761u);
  FUZZ_CHECK(partver::format_version_number(number) == std::to_string(number).substr(0, 3));
  return 0;
}
