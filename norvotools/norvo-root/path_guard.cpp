// The path creation guard: on release builds outside a debugging Android
// system, only tmpfs scratch and a fixed set of ROM record files may be created.
#define LOG_TAG "secure_mount"

#include <android-base/logging.h>
#include <android-base/properties.h>
#include <string.h>

#include <string>
#include <unordered_map>

#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/secure_mount_internal.h"
#include "norvotools/norvo-root/work_area.h"

namespace {

using AllowTable = std::unordered_map<std::string, bool>;

AllowTable build_allow_table() {
  AllowTable table;
  // Validate stays out of the cache: it marks a package as checked and must
  // not survive into a later boot.
  const std::pair<const std::string*, bool> entries[] = {
      {&KEY_FILENAME, true}, {&KEY_MD5, true}, {&KEY_VALIDATE, false}, {&KEY_VERSION, true}};
  for (const std::string* rom : {&KEY_LATEST_ROM, &KEY_CROSS_ROM}) {
    const std::string dir = DOWNLOAD_CACHE_DIR + "/" + *rom + "/";
    for (const char* index : {"0", "1", "2"}) table.emplace(dir + index, true);
    for (const auto& entry : entries) table.emplace(dir + *entry.first, entry.second);
  }
  for (const std::string* dump :
       {&CACHE_REQUEST_NORVO_UNCRYPTED, &CACHE_REQUEST_NORVO_ENCRYPTED,
        &CACHE_REQUEST_ANDROID_UNCRYPTED, &CACHE_REQUEST_ANDROID_ENCRYPTED,
        &CACHE_RESPONSE_NORVO_UNCRYPTED, &CACHE_RESPONSE_NORVO_ENCRYPTED,
        &CACHE_RESPONSE_ANDROID_UNCRYPTED, &CACHE_RESPONSE_ANDROID_ENCRYPTED}) {
    table.emplace(*dump, false);
  }
  return table;
}

// Built on first use; a function-local static is initialised exactly once even
// when several threads arrive together, and is only read afterwards.
const AllowTable& allow_table() {
  static const AllowTable table = build_allow_table();
  return table;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

namespace norvo_storage {

bool allowcreate_with(const std::string& path, const std::string& build_tags,
                      const std::string& environment) {
  if (build_tags == "test-keys") return true;
  if (environment == "android") {
    LOG(INFO) << "corvane running in android system only during debug";
    return true;
  }
  if (starts_with(path, "/tmp") || starts_with(path, "/cache/tmp")) {
    LOG(INFO) << "file in tmpfs, allow dump";
    return true;
  }
  const AllowTable& table = allow_table();
  auto it = table.find(path);
  return it != table.end() && it->second;
}

size_t allow_table_size() { return allow_table().size(); }

}  // namespace norvo_storage

bool allowcreate(std::string path) {
  // Each property is read only when the rules before it did not decide.
  const std::string tags = android::base::GetProperty("ro.build.tags", "null");
  if (tags == "test-keys") return true;
  return norvo_storage::allowcreate_with(path, tags, whichEnvironment());
}
