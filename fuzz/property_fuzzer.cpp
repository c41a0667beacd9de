// The property store's name and value rules, and what a reader sees of a value
// that was accepted.
#include <cutils/properties.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/property_store.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  fuzz_support::Dir();  // the private store
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string name = input.ConsumeRandomLengthString(128);
  if (input.ConsumeBool()) name = "ro." + name;
  std::string value = input.ConsumeRemainingBytesAsString();

  bool valid_name = property_store::IsValidName(name);
  if (valid_name) {
    FUZZ_CHECK(!name.empty() && name.front() != '.' && name.back() != '.');
    FUZZ_CHECK(name.find("..") == std::string::npos && name.find('/') == std::string::npos);
  }
  bool valid_value = valid_name && property_store::IsValidValue(name, value);
  if (valid_value) {
    FUZZ_CHECK(value.find('\0') == std::string::npos);
    FUZZ_CHECK(value.size() <= property_store::kMaxValueLength || name.compare(0, 3, "ro.") == 0);
  }

  std::string before;
  bool had = property_store::Read(name, &before);
  bool written = property_store::Write(name, value);
  if (written) FUZZ_CHECK(valid_value);
  std::string after;
  bool readable = property_store::Read(name, &after);
  if (written) {
    FUZZ_CHECK(readable && after == value);
    // The cutils reader hands out at most 91 bytes and its default for empty.
    char buffer[PROPERTY_VALUE_MAX];
    int length = property_get(name.c_str(), buffer, "dflt");
    FUZZ_CHECK(length >= 0 && length < PROPERTY_VALUE_MAX);
    FUZZ_CHECK(static_cast<size_t>(length) == strlen(buffer));
    if (value.empty()) {
      FUZZ_CHECK(strcmp(buffer, "dflt") == 0);
    } else {
      FUZZ_CHECK(value.compare(0, length, buffer) == 0);
    }
  } else if (had) {
    // A refused write leaves the old value alone.
    FUZZ_CHECK(readable && after == before);
  }
  if (name.compare(0, 3, "ro.") == 0 && (had || written)) {
    // Read-only names are written once.
    FUZZ_CHECK(!had || !written);
    FUZZ_CHECK(!property_store::Write(name, value + "x"));
  }
  // Keep the store small: one file at most per input.
  if (valid_name) unlink((property_store::Dir() + "/" + name).c_str());
  return 0;
}
