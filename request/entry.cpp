#define LOG_TAG "DownloadTask"

#include "request/entry.h"

#include <android-base/properties.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "norvotools/norvo-root/work_area.h"
#include "norvotools/norvo-update/dir2url.h"

void prepare_and_correct_dir() {
  mkdir(WORK_DIR.c_str(), 0755);
  if (android::base::GetProperty("ro.bootimage.name", "android") == "norvo") return;
  mkdir("/cache/tmp", 0755);
  // Writable by its owner only (tmpfs would make it 1777): the package that the
  // install hands to the updater lies here, and no other user may rename or
  // plant files beside it.
  mount("none", "/cache/tmp", "tmpfs", 0, "mode=0755");
  std::string* paths[] = {&DOWNLOAD_DIR,
                          &LATEST_ROM_DIR,
                          &CROSS_ROM_DIR,
                          &CURRENT_ROM_LINK,
                          &REQUEST_UNCRYPTED_FILE,
                          &REQUEST_ENCRYPTED_FILE,
                          &RESPONSE_UNCRYPTED_FILE,
                          &RESPONSE_ENCRYPTED_FILE,
                          &STATUS_FILE,
                          &UPDATE_PACKAGE_FILE};
  int index = 0;
  for (std::string* path : paths) {
    path->insert(0, "/cache");
    if (index++ < 3) mkdir(path->c_str(), 0755);
  }
}

int ParseCommandDigit(const char* arg) {
  if (arg == nullptr || arg[0] < '0' || arg[0] > '9') return -1;
  return arg[0] - '0';
}

int ParseDescriptor(const char* arg) {
  if (arg == nullptr || *arg == '\0') return -1;
  char* end = nullptr;
  long value = strtol(arg, &end, 10);
  if (*end != '\0' || value < 0 || value > INT_MAX) return -1;
  return static_cast<int>(value);
}
