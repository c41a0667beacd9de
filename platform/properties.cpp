// The property store on a directory, and the libbase/cutils property calls on top of it.
// Our definitions of android::base::GetProperty/SetProperty take precedence over host
// libbase's, which only keeps a per-process map.
#define LOG_TAG "properties"

#include "cutils/properties.h"

#include <android-base/file.h>
#include <android-base/parseint.h>
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "norvotools/norvo-root/bounded_read.h"
#include "norvotools/norvo-root/scoped.h"
#include "platform/property_store.h"

namespace property_store {

namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':' || c == '@';
}

bool IsReadOnlyName(const std::string& name) { return name.compare(0, 3, "ro.") == 0; }

std::string PathOf(const std::string& name) { return Dir() + "/" + name; }

// The folder a unit test chose; empty when none did.
std::string& TestDir() {
  static std::string dir;
  return dir;
}

// Removes the temporary file unless it was handed over.
struct TempFile {
  std::string path;
  ~TempFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

}  // namespace

std::string Dir() {
  if (!TestDir().empty()) return TestDir();
  // Read once: a property read never looks at the environment again.
  static const std::string start_dir = [] {
    const char* dir = getenv("NORVO_PROPERTY_DIR");
    return std::string((dir != nullptr && dir[0] != '\0') ? dir : kDefaultDir);
  }();
  return start_dir;
}

std::string SetDirForTesting(const std::string& dir) {
  std::string previous = TestDir();
  TestDir() = dir;
  return previous;
}

bool IsValidName(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  if (name.find("..") != std::string::npos) return false;
  return std::all_of(name.begin(), name.end(), IsNameChar);
}

bool IsValidValue(const std::string& name, const std::string& value) {
  if (value.find('\0') != std::string::npos) return false;
  if (value.size() > kMaxFileSize) return false;
  return value.size() <= kMaxValueLength || IsReadOnlyName(name);
}

bool Read(const std::string& name, std::string* value) {
  if (!IsValidName(name)) return false;
  // O_NONBLOCK so that a FIFO planted in the directory cannot stall the reader.
  android::base::unique_fd fd(
      open(PathOf(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd == -1) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size < 0 || static_cast<size_t>(st.st_size) > kMaxFileSize) return false;
  return read_bounded(fd.get(), kMaxFileSize, value) == 0;
}

bool Write(const std::string& name, const std::string& value) {
  if (!IsValidName(name) || !IsValidValue(name, value)) return false;
  const std::string dir = Dir();
  const std::string path = dir + "/" + name;
  // Cheap early refusal; the link() below is what makes write-once race-free.
  if (IsReadOnlyName(name) && access(path.c_str(), F_OK) == 0) return false;

  TempFile tmp{dir + "/.tmp.XXXXXX"};
  android::base::unique_fd fd(mkostemp(&tmp.path[0], O_CLOEXEC));
  if (fd == -1) {
    tmp.path.clear();
    return false;
  }
  if (fchmod(fd, 0644) != 0 || !android::base::WriteStringToFd(value, fd) || fsync(fd) != 0) {
    return false;
  }
  fd.reset();
  if (IsReadOnlyName(name)) {
    // link() fails when the name exists, so two writers cannot both set it.
    if (link(tmp.path.c_str(), path.c_str()) != 0) return false;
    return true;  // the temporary name is removed by TempFile
  }
  if (rename(tmp.path.c_str(), path.c_str()) != 0) return false;
  tmp.path.clear();
  return true;
}

std::vector<std::pair<std::string, std::string>> List() {
  std::vector<std::pair<std::string, std::string>> result;
  UniqueDir dir(opendir(Dir().c_str()));
  if (!dir) return result;
  while (dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    std::string value;
    if (Read(name, &value)) result.emplace_back(std::move(name), std::move(value));
  }
  std::sort(result.begin(), result.end());
  return result;
}

}  // namespace property_store

namespace android {
namespace base {

std::string GetProperty(const std::string& key, const std::string& default_value) {
  std::string value;
  if (!property_store::Read(key, &value) || value.empty()) return default_value;
  return value;
}

bool SetProperty(const std::string& key, const std::string& value) {
  return property_store::Write(key, value);
}

// Defined here as well so that they read through the store whatever the host library
// does internally.
bool GetBoolProperty(const std::string& key, bool default_value) {
  const std::string value = GetProperty(key, "");
  if (value == "1" || value == "y" || value == "yes" || value == "on" || value == "true") {
    return true;
  }
  if (value == "0" || value == "n" || value == "no" || value == "off" || value == "false") {
    return false;
  }
  return default_value;
}

template <typename T>
T GetIntProperty(const std::string& key, T default_value, T min, T max) {
  T result;
  const std::string value = GetProperty(key, "");
  if (!value.empty() && ParseInt(value, &result, min, max)) return result;
  return default_value;
}

template <typename T>
T GetUintProperty(const std::string& key, T default_value, T max) {
  T result;
  const std::string value = GetProperty(key, "");
  if (!value.empty() && ParseUint(value, &result, max)) return result;
  return default_value;
}

template int8_t GetIntProperty(const std::string&, int8_t, int8_t, int8_t);
template int16_t GetIntProperty(const std::string&, int16_t, int16_t, int16_t);
template int32_t GetIntProperty(const std::string&, int32_t, int32_t, int32_t);
template int64_t GetIntProperty(const std::string&, int64_t, int64_t, int64_t);
template uint8_t GetUintProperty(const std::string&, uint8_t, uint8_t);
template uint16_t GetUintProperty(const std::string&, uint16_t, uint16_t);
template uint32_t GetUintProperty(const std::string&, uint32_t, uint32_t);
template uint64_t GetUintProperty(const std::string&, uint64_t, uint64_t);

}  // namespace base
}  // namespace android

int property_get(const char* key, char* value, const char* default_value) {
  std::string stored;
  if (key != nullptr && property_store::Read(key, &stored) && !stored.empty()) {
    // Long "ro." values are cut to what the caller's buffer holds.
    size_t len = std::min(strlen(stored.c_str()), static_cast<size_t>(PROPERTY_VALUE_MAX - 1));
    memcpy(value, stored.data(), len);
    value[len] = '\0';
    return static_cast<int>(len);
  }
  size_t len = 0;
  if (default_value != nullptr) {
    len = strnlen(default_value, PROPERTY_VALUE_MAX - 1);
    memcpy(value, default_value, len);
  }
  value[len] = '\0';
  return static_cast<int>(len);
}
