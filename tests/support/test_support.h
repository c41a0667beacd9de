// Scoped helpers shared by the unit tests (and the fuzz targets): scratch
// folders, a private property store, environment variables, captured log lines,
// an in-memory status stream and the process-wide stop value. Each undoes what
// it changed when it goes out of scope.
#pragma once

#include <android-base/file.h>
#include <android-base/logging.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "norvotools/norvo-root/scoped.h"
#include "platform/property_store.h"
#include "request/command_listener.h"

namespace test_support {

// Removes path and everything below it, whatever the modes of its folders.
inline void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // Mirror directories are 0644; make sure they can be listed on the way out.
    chmod(path.c_str(), 0755);
    UniqueDir dir(opendir(path.c_str()));
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
    char tmpl[] = "/tmp/norvo_test.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) abort();
    path_ = made;
  }
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points the property store at an empty directory of its own for the life of the object.
class PropertyScope {
 public:
  PropertyScope() : previous_(property_store::SetDirForTesting(dir_.path())) {}
  ~PropertyScope() { property_store::SetDirForTesting(previous_); }
  PropertyScope(const PropertyScope&) = delete;
  PropertyScope& operator=(const PropertyScope&) = delete;
  // Written straight into the store so read-only names can be given any value.
  void Set(const std::string& name, const std::string& value) {
    android::base::WriteStringToFile(value, dir_ / name);
  }
  const std::string& path() const { return dir_.path(); }

 private:
  ScratchDir dir_;
  std::string previous_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// Collects every log message (DEBUG and up) while alive, as "L:message" with the
// console logger's letter; the default logger and severity come back after.
class LogCapture {
 public:
  struct Entry {
    android::base::LogSeverity severity;
    std::string tag;
    std::string message;
  };

  LogCapture() {
    old_severity_ = android::base::SetMinimumLogSeverity(android::base::DEBUG);
    android::base::SetLogger([this](android::base::LogId, android::base::LogSeverity severity,
                                    const char* tag, const char*, unsigned int,
                                    const char* message) {
      entries_.push_back({severity, tag != nullptr ? tag : "", message});
      lines.push_back(std::string(1, "VDIWEFF"[severity]) + ":" + message);
    });
  }
  ~LogCapture() {
    android::base::SetLogger(android::base::StderrLogger);
    android::base::SetMinimumLogSeverity(old_severity_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool Has(const std::string& line) const { return Count(line) > 0; }
  size_t Count(const std::string& line) const {
    size_t n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
  bool HasPrefix(const std::string& prefix) const {
    for (const auto& l : lines) {
      if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  // The messages of one severity and tag, in order.
  std::vector<std::string> Messages(android::base::LogSeverity severity,
                                    const std::string& tag) const {
    std::vector<std::string> found;
    for (const Entry& e : entries_) {
      if (e.severity == severity && e.tag == tag) found.push_back(e.message);
    }
    return found;
  }

  std::vector<std::string> lines;

 private:
  std::vector<Entry> entries_;
  android::base::LogSeverity old_severity_;
};

// An in-memory stream for status lines: hand stream() to the driver (or to a
// progress record) and read back what was written.
class StatusStream {
 public:
  StatusStream() : stream_(open_memstream(&buffer_, &size_)) {
    if (stream_ == nullptr) abort();
  }
  ~StatusStream() {
    fclose(stream_);
    free(buffer_);
  }
  StatusStream(const StatusStream&) = delete;
  StatusStream& operator=(const StatusStream&) = delete;
  std::string text() {
    fflush(stream_);
    return std::string(buffer_, size_);
  }
  FILE* stream() const { return stream_; }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_;
};

// Clears the process-wide stop value on the way out of a test that set it.
class StopGuard {
 public:
  StopGuard() = default;
  ~StopGuard() { stopCode = 0; }
  StopGuard(const StopGuard&) = delete;
  StopGuard& operator=(const StopGuard&) = delete;
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

// A resolver answer holding the given IPv4 addresses.
class HostEntry {
 public:
  explicit HostEntry(const std::vector<const char*>& addresses) {
    for (const char* text : addresses) {
      in_addr addr{};
      inet_pton(AF_INET, text, &addr);
      storage_.push_back(addr);
    }
    for (auto& addr : storage_) pointers_.push_back(reinterpret_cast<char*>(&addr));
    pointers_.push_back(nullptr);
    entry_.h_name = const_cast<char*>("update.norvo.test");
    entry_.h_aliases = aliases_;
    entry_.h_addrtype = AF_INET;
    entry_.h_length = 4;
    entry_.h_addr_list = pointers_.data();
  }
  hostent* get() { return &entry_; }

 private:
  std::vector<in_addr> storage_;
  std::vector<char*> pointers_;
  char* aliases_[1] = {nullptr};
  hostent entry_{};
};

}  // namespace test_support
