#define LOG_TAG "zelprotocal"

#include "norvotools/norvo-zel/zelprotocal.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "norvotools/norvo-root/bounded_read.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/work_area.h"
#include "norvotools/norvo-zel/zel_constants.h"

namespace norvozel {

namespace {

// A key becomes a file name directly under the event directory; anything that could
// name another place is refused.
bool isPlainFileName(const std::string& key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string::npos &&
         key.find('\0') == std::string::npos;
}

using DirId = std::pair<dev_t, ino_t>;

// What one snapshot may still take in. Once either runs out the snapshot ends,
// with one warning that names the first entry left out.
struct Budget {
  size_t entries = kZelMaxEntries;
  size_t bytes = kZelMaxSnapshotBytes;
  bool full = false;
};

// Reads at most `limit` bytes of a regular file; a FIFO or device swapped in
// after the listing is refused instead of blocking the reader. `*cut` tells
// whether the file held more.
bool readValue(const std::string& path, size_t limit, std::string* content, bool* cut) {
  android::base::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd < 0) {
    LOG(ERROR) << "failed to open path: " << path;
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    LOG(ERROR) << "failed to read file: " << path;
    return false;
  }
  // One byte past the limit tells a full value from a cut one.
  if (read_up_to(fd.get(), limit + 1, content) != 0) {
    LOG(ERROR) << "failed to read file: " << path;
    return false;
  }
  *cut = content->size() > limit;
  if (*cut) content->resize(limit);
  return true;
}

cJSON* syncDir(const std::string& dir, int depth, std::vector<DirId>& ancestors, Budget& budget) {
  UniqueDir listing(opendir(dir.c_str()));
  if (!listing) {
    printf("zeldiag info is not ready");
    return nullptr;
  }
  cJSON* obj = cJSON_CreateObject();

  struct stat self;
  const bool have_self = fstat(dirfd(listing.get()), &self) == 0;
  if (have_self) ancestors.emplace_back(self.st_dev, self.st_ino);

  while (struct dirent* entry = readdir(listing.get())) {
    if (budget.full) break;
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    if (budget.entries == 0 || budget.bytes == 0) {
      LOG(WARNING) << "snapshot full (" << kZelMaxEntries << " entries or " << kZelMaxSnapshotBytes
                   << " bytes): " << path << " and the entries after it are left out";
      budget.full = true;
      break;
    }
    // Every entry looked at counts, kept or skipped: a tree of dangling links
    // costs a stat each and must not hold the snapshot up for ever.
    --budget.entries;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;

    if (S_ISDIR(st.st_mode)) {
      // Links may lead back up the tree; a directory already being converted, or one
      // nested deeper than any real store, would only make the snapshot endless.
      bool loop = false;
      for (const DirId& id : ancestors) loop = loop || id == DirId(st.st_dev, st.st_ino);
      if (loop || depth + 1 > kZelMaxDepth) {
        LOG(WARNING) << "skip " << path << (loop ? ": directory loop" : ": nested too deep");
        continue;
      }
      cJSON* array = cJSON_CreateArray();
      if (cJSON* child = syncDir(path, depth + 1, ancestors, budget)) {
        cJSON_AddItemToArray(array, child);
      }
      cJSON_AddItemToObject(obj, name.c_str(), array);
    } else if (S_ISREG(st.st_mode)) {
      std::string content;
      bool cut = false;
      if (!readValue(path, std::min(kZelMaxValueBytes, budget.bytes), &content, &cut)) continue;
      if (cut) {
        LOG(WARNING) << "value of " << path << " cut to its first " << content.size() << " bytes";
      }
      budget.bytes -= content.size();
      printf("zel_sync_to_json: %s\n", content.c_str());
      // A JSON library string ends at the first NUL; such a value goes in as
      // its printed literal so that every byte reaches the service.
      cJSON* value = content.find('\0') == std::string::npos
                         ? cJSON_CreateString(content.c_str())
                         : cJSON_CreateRaw(json_string_literal(content).c_str());
      cJSON_AddItemToObject(obj, name.c_str(), value);
    }
  }

  if (have_self) ancestors.pop_back();
  return obj;
}

}  // namespace

std::string json_string_literal(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          snprintf(esc, sizeof(esc), "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

int zel_write_data_to(const std::string& events_dir, const std::string& pid_file,
                      const std::map<std::string, std::string>& record) {
  for (const auto& [key, value] : record) {
    if (!isPlainFileName(key)) {
      LOG(ERROR) << "refuse event key \"" << key << "\": not a plain file name";
      continue;
    }
    create_file_and_writedata(events_dir, key, value);
  }

  if (access(pid_file.c_str(), F_OK) == 0) {
    LOG(INFO) << "file " << pid_file << "is existed";
  }
  std::string pid;
  // Never blocks: a FIFO planted as the pid file would otherwise hang every
  // telemetry write, and with it the agent.
  if (read_record_file(pid_file, kRecordValueMax, &pid) == 0) {
    LOG(INFO) << "Quillon disabled the signalling to \"--diag\"";
  } else {
    const int err = errno;
    LOG(ERROR) << "failed to get " << pid_file << ":" << err << "(" << strerror(err) << ")";
  }
  return 0;
}

int zel_write_data(const std::map<std::string, std::string>& record) {
  return zel_write_data_to(ZEL_EVENTS_DIR, DIAG_PID_FILE, record);
}

cJSON* zel_sync_to_json(std::string dir) {
  std::vector<DirId> ancestors;
  Budget budget;
  return syncDir(dir, 0, ancestors, budget);
}

std::string zel_sync_to_string_of(const std::string& root) {
  JsonPtr tree(zel_sync_to_json(root));
  if (!tree) return "";
  JsonText printed(cJSON_Print(tree.get()));
  return printed ? std::string(printed.get()) : std::string();
}

std::string zel_sync_to_string() { return zel_sync_to_string_of(ZEL_TMP_DIR); }

}  // namespace norvozel
