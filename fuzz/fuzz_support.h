// Shared set-up of the fuzz targets: quiet logging, a private scratch folder
// that replaces the device paths, and a private property store.
#pragma once

#include <android-base/logging.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/property_store.h"
#include "tests/support/test_support.h"

namespace fuzz_support {

// Stops the process the way a sanitizer report does, so that libFuzzer keeps
// the input; used for broken invariants that are not memory errors.
#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                     \
    }                                                                              \
  } while (0)

using test_support::RemoveTree;

// A folder for the life of the process, in memory when the host has /dev/shm
// (the property store syncs every write). Without "ro.bootimage.name" the
// environment is "android", where the creation guard lets every path through.
class Scratch {
 public:
  Scratch() {
    char shm[] = "/dev/shm/norvo-fuzz.XXXXXX";
    char tmp[] = "/tmp/norvo-fuzz.XXXXXX";
    const char* made = mkdtemp(shm);
    if (made == nullptr) made = mkdtemp(tmp);
    if (made == nullptr) abort();
    path_ = made;
    mkdir((path_ + "/properties").c_str(), 0755);
    property_store::SetDirForTesting(path_ + "/properties");
  }
  ~Scratch() { RemoveTree(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void NoLog(android::base::LogId, android::base::LogSeverity, const char*, const char*,
                  unsigned int, const char*) {}

// Logging and the helpers' printed failures would dominate the run time.
inline void Quiet() {
  android::base::InitLogging(nullptr, &NoLog);
  android::base::SetMinimumLogSeverity(android::base::FATAL);
  if (getenv("NORVO_FUZZ_VERBOSE") == nullptr && freopen("/dev/null", "w", stdout) == nullptr) {
    abort();
  }
}

// The scratch folder of the whole run, removed at exit.
inline Scratch& Dir() {
  static Scratch scratch;
  return scratch;
}

}  // namespace fuzz_support
