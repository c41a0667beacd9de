// Helpers shared by the storage and record unit tests: a scratch directory, a
// private property store, and a capture of log lines.
#pragma once

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/properties.h>
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace storage_test {

// Removes path and everything below it, whatever the modes of its folders.
inline void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // Mirror directories are 0644; make sure they can be listed on the way out.
    chmod(path.c_str(), 0755);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    while (dir) {
      struct dirent* e = readdir(dir.get());
      if (e == nullptr) break;
      std::string name = e->d_name;
      if (name != "." && name != "..") RemoveTree(path + "/" + name);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// A fresh directory under /tmp, removed with its content at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/storage_test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchDir() { RemoveTree(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points the property store at an empty directory for the life of the object.
class PropertyScope {
 public:
  PropertyScope() {
    const char* old = getenv("NORVO_PROPERTY_DIR");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("NORVO_PROPERTY_DIR", dir_.path().c_str(), 1);
  }
  ~PropertyScope() {
    if (had_old_) {
      setenv("NORVO_PROPERTY_DIR", old_.c_str(), 1);
    } else {
      unsetenv("NORVO_PROPERTY_DIR");
    }
  }
  // Written straight into the store so read-only names can be given any value.
  void Set(const std::string& name, const std::string& value) {
    android::base::WriteStringToFile(value, dir_ / name);
  }

 private:
  ScratchDir dir_;
  bool had_old_ = false;
  std::string old_;
};

// Collects every log message (DEBUG and up) while alive.
class LogCapture {
 public:
  LogCapture() {
    old_severity_ = android::base::SetMinimumLogSeverity(android::base::DEBUG);
    lines_ = &lines;
    android::base::SetLogger([](android::base::LogId, android::base::LogSeverity severity,
                                const char*, const char*, unsigned int, const char* message) {
      if (lines_ != nullptr) lines_->push_back(std::string(1, "VDIWEFF"[severity]) + ":" + message);
    });
  }
  ~LogCapture() {
    android::base::SetLogger(android::base::StderrLogger);
    lines_ = nullptr;
    android::base::SetMinimumLogSeverity(old_severity_);
  }
  bool Has(const std::string& line) const {
    for (const auto& l : lines)
      if (l == line) return true;
    return false;
  }
  size_t Count(const std::string& line) const {
    size_t n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
  std::vector<std::string> lines;

 private:
  static inline std::vector<std::string>* lines_ = nullptr;
  android::base::LogSeverity old_severity_;
};

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::string Read(const std::string& path) {
  std::string s;
  android::base::ReadFileToString(path, &s);
  return s;
}

}  // namespace storage_test
