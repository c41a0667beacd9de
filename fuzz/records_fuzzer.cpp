// ROM records read back: the mirror choice and URL parts of handle_rom_to_url
// and the size record, over record folders made from the input.
#include <android-base/file.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "norvotools/norvo-update/dir2url.h"
#include "request/download_target.h"

namespace {
constexpr int kMirrorsMade = 12;
std::string record;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  record = fuzz_support::Dir() / "LatestRom";
  CURRENT_ROM_LINK = fuzz_support::Dir() / "CurrentRom";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  fuzz_support::RemoveTree(record);
  mkdir(record.c_str(), 0755);
  unlink(CURRENT_ROM_LINK.c_str());
  if (input.ConsumeIntegralInRange<int>(0, 15) != 0)
    symlink(record.c_str(), CURRENT_ROM_LINK.c_str());

  // Each value file may be missing; present ones hold anything.
  for (const char* name : {"version", "filename", "filesize"}) {
    if (input.ConsumeBool()) {
      android::base::WriteStringToFile(input.ConsumeRandomLengthString(64), record + "/" + name);
    }
  }
  int mirrors = input.ConsumeIntegralInRange<int>(0, kMirrorsMade);
  std::vector<std::string> hosts;
  for (int i = 0; i < mirrors; ++i) {
    std::string dir = record + "/" + std::to_string(i);
    mkdir(dir.c_str(), 0755);
    const char* prefixes[] = {"http://", "https://", "", "ftp://"};
    std::string host =
        prefixes[input.ConsumeIntegralInRange<int>(0, 3)] + input.ConsumeRandomLengthString(96);
    android::base::WriteStringToFile(host, dir + "/host");
    hosts.push_back(host);
  }
  int first = input.ConsumeIntegralInRange<int>(-1, kMirrorsMade);

  std::vector<std::string> parts = handle_rom_to_url(first);
  if (!parts.empty()) {
    FUZZ_CHECK(parts.size() == 3 && parts[0] == "http://");
    FUZZ_CHECK(parts[1].find('/') == std::string::npos);
    FUZZ_CHECK(!parts[2].empty() && parts[2][0] == '/');
    // The chosen mirror is the first from `first` on without "https"; its text
    // after the scheme is the host and the path prefix.
    FUZZ_CHECK(first >= 0 && first < mirrors);
    int chosen = first;
    while (chosen < mirrors && hosts[chosen].size() >= 5 &&
           hosts[chosen].find("https") != std::string::npos) {
      ++chosen;
    }
    FUZZ_CHECK(chosen < mirrors);
    const std::string& host = hosts[chosen];
    if (host.size() >= 7) {
      std::string rest = host.substr(7);
      FUZZ_CHECK((parts[1] + parts[2]).compare(0, rest.size(), rest) == 0);
    }
  }
  std::string text = getFileSize();
  parse_file_size(text);
  return 0;
}
