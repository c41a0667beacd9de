// ROM records: the update answer's ROM object as one-value files, the link to
// the record in use, and the download URL formed back from a record.
#include "norvotools/norvo-update/dir2url.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/work_area.h"

std::string DOWNLOAD_DIR = "/tmp/download";
std::string LATEST_ROM_DIR = "/tmp/download/LatestRom";
std::string CROSS_ROM_DIR = "/tmp/download/CrossRom";
std::string CURRENT_ROM_LINK = "/tmp/download/CurrentRom";
std::string REQUEST_UNCRYPTED_FILE = "/tmp/download/request.uncrypted";
std::string REQUEST_ENCRYPTED_FILE = "/tmp/download/request.encrypted";
std::string RESPONSE_UNCRYPTED_FILE = "/tmp/download/response.uncrypted";
std::string RESPONSE_ENCRYPTED_FILE = "/tmp/download/response.encrypted";
std::string STATUS_FILE = "/tmp/download/status";
std::string UPDATE_PACKAGE_FILE = "/tmp/secure_update.zip";

namespace {

// Text of a string member; anything missing or of another type reads as empty
// so that a malformed answer still gives a complete, if empty, record.
std::string string_member(const cJSON* object, const std::string& name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name.c_str());
  if (cJSON_IsString(item) && item->valuestring != nullptr) return item->valuestring;
  return "";
}

// "980.3M" / "1.5G" as bytes. False when the text has no unit letter, when the
// number part is not entirely a number, or when the product does not fit.
bool size_to_bytes(const std::string& size, int64_t* bytes) {
  if (size.empty() || (size.back() != 'M' && size.back() != 'G')) return false;
  const std::string number = size.substr(0, size.size() - 1);
  char* end = nullptr;
  double value = strtod(number.c_str(), &end);
  if (end == number.c_str() || *end != '\0') {
    LOG(ERROR) << "invalid filesize \"" << size << "\"";
    return false;
  }
  double product = size.back() == 'M' ? value * 1024 * 1024 : value * 1024 * 1024 * 1024;
  // 2^63 is exact in a double; anything at or beyond it, or NaN, does not fit.
  if (!(product > -9223372036854775808.0 && product < 9223372036854775808.0)) {
    LOG(ERROR) << "filesize out of range \"" << size << "\"";
    return false;
  }
  *bytes = static_cast<int64_t>(product);
  return true;
}

}  // namespace

void simple_free_json(cJSON* json) { cJSON_Delete(json); }

void create_symlink_forrom(const std::string& dir) {
  const std::string link = CURRENT_ROM_LINK;
  unlink(link.c_str());
  if (symlink(dir.c_str(), link.c_str()) == -1) {
    // The next URL lookup reports the missing link; nothing else to do here.
  }
  LOG(INFO) << "Create the CurrentRom info \"" << link << "\" -> \"" << dir << "\"";
}

JsonHandle handle_norvodo(JsonHandle handle, std::string key) {
  const cJSON* root = handle.get();
  const cJSON* rom = cJSON_GetObjectItemCaseSensitive(root, key.c_str());
  const cJSON* current_rom = cJSON_GetObjectItemCaseSensitive(root, KEY_CURRENT_ROM.c_str());

  const std::string version = string_member(rom, KEY_VERSION);
  const std::string filename = string_member(rom, KEY_FILENAME);
  const std::string current = string_member(current_rom, KEY_VERSION);

  const std::string dir = key == KEY_LATEST_ROM ? LATEST_ROM_DIR : CROSS_ROM_DIR;
  create_file_and_writedata(dir, KEY_VERSION, version);
  create_file_and_writedata(dir, KEY_FILENAME, filename);
  create_file_and_writedata(dir, KEY_CURR_VERSION, current);

  const std::string size = string_member(rom, KEY_FILESIZE);
  LOG(INFO) << "====================================";
  LOG(INFO) << ">> Now we have " << current;
  LOG(INFO) << ">> Download ROM info:" << version << " - " << filename << ", " << size;
  LOG(INFO) << "====================================";

  int64_t bytes = 0;
  if (size_to_bytes(size, &bytes)) {
    create_file_and_writedata(dir, KEY_FILESIZE, std::to_string(bytes));
  }

  const cJSON* mirrors = cJSON_GetObjectItemCaseSensitive(root, KEY_MIRROR_LIST.c_str());
  // A missing or non-array list counts as empty.
  const int count = cJSON_IsArray(mirrors) ? cJSON_GetArraySize(mirrors) : 0;
  LOG(DEBUG) << ">> MirrorList:" << count;
  for (int i = 0; i < count; ++i) {
    const std::string sub = dir + "/" + std::to_string(i);
    // 0644 is the record layout readers expect; the agent runs as root, which
    // can enter the directory without the search bit.
    if (mkdir(sub.c_str(), 0644) == 0 || errno == EEXIST) {
      const cJSON* item = cJSON_GetArrayItem(mirrors, i);
      const std::string host =
          cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : "";
      LOG(INFO) << ">> \t Mirror " << i << ":" << host;
      create_file_and_writedata(sub, KEY_HOST, host);
    } else {
      int err = errno;
      LOG(ERROR) << "failed to create " << sub << "(" << err << ")" << strerror(err);
    }
  }

  create_file_and_writedata(dir, KEY_VALIDATE, string_member(rom, KEY_VALIDATE));
  create_file_and_writedata(dir, KEY_MD5, string_member(rom, KEY_MD5));

  create_symlink_forrom(dir);
  return handle;
}

void handle_latestrom_to_dir(JsonHandle handle) {
  JsonHandle back = handle_norvodo(std::move(handle), KEY_LATEST_ROM);
  back.reset();
}

std::vector<std::string> handle_rom_to_url(int first) {
  const std::string link = CURRENT_ROM_LINK;
  std::string record;
  if (!android::base::Realpath(link, &record)) {
    LOG(ERROR) << "failed to get realpath of \"" << link << "\": " << strerror(errno);
    return {};
  }

  std::string host;
  // Ends at the first missing index; the bound only keeps the index from wrapping.
  for (int n = first;; ++n) {
    if (!android::base::ReadFileToString(record + "/" + std::to_string(n) + "/" + KEY_HOST,
                                         &host)) {
      LOG(ERROR) << "failed to read host: " << strerror(errno);
      return {};
    }
    if (host.size() >= 5 && host.find("https") != std::string::npos) {
      if (n == INT_MAX) {
        LOG(ERROR) << "failed to read host: " << strerror(ENOENT);
        return {};
      }
      continue;
    }
    break;
  }

  std::string version;
  if (!android::base::ReadFileToString(record + "/" + KEY_VERSION, &version)) {
    LOG(ERROR) << "failed to read version: " << strerror(errno);
    return {};
  }
  std::string filename;
  if (!android::base::ReadFileToString(record + "/" + KEY_FILENAME, &filename)) {
    LOG(ERROR) << "failed to read filename: " << strerror(errno);
    return {};
  }

  // The scheme is always plain http; whatever the first seven characters were
  // is dropped. A shorter text has no host left to offer.
  if (host.size() < 7) {
    LOG(ERROR) << "invalid host \"" << host << "\"";
    return {};
  }
  std::vector<std::string> parts = {"http://", host.substr(7), "/" + version + "/" + filename};
  size_t slash = parts[1].find('/');
  if (slash != std::string::npos) {
    parts[2] = parts[1].substr(slash) + parts[2];
    parts[1].erase(slash);
  }
  return parts;
}

std::string getFileSize() {
  std::string record;
  if (!android::base::Realpath(CURRENT_ROM_LINK, &record)) {
    LOG(ERROR) << "failed to get realpath: " << strerror(errno);
    return "";
  }
  std::string size;
  if (!android::base::ReadFileToString(record + "/" + KEY_FILESIZE, &size)) {
    LOG(ERROR) << "failed to get filesize: " << strerror(errno);
    return "";
  }
  return size;
}

void report_status(const std::string& name) {
  create_file_and_writedata(DOWNLOAD_DIR, KEY_STATUS, name);
}
