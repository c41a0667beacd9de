// ROM records: the update answer's ROM object as one-value files, the link to
// the record in use, and the download URL formed back from a record.
#include "norvotools/norvo-update/dir2url.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/scoped.h"
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
    LOG(ERROR) << "invalid filesize \"" << printable(size) << "\"";
    return false;
  }
  double product = size.back() == 'M' ? value * 1024 * 1024 : value * 1024 * 1024 * 1024;
  // 2^63 is exact in a double; anything at or beyond it, or NaN, does not fit.
  if (!(product > -9223372036854775808.0 && product < 9223372036854775808.0)) {
    LOG(ERROR) << "filesize out of range \"" << printable(size) << "\"";
    return false;
  }
  *bytes = static_cast<int64_t>(product);
  return true;
}

}  // namespace

void simple_free_json(cJSON* json) { cJSON_Delete(json); }

namespace {

// A listing of `path` that never goes through a link at `path` itself.
UniqueDir open_dir_nofollow(const std::string& path) {
  int fd = TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd == -1) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return UniqueDir(dir);
}

// Removes a record tree (the record folder and its mirror folders, two levels)
// without following any link in it. Links are removed as links.
void remove_record_tree(const std::string& path, int depth = 0) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode) || depth > 1) {
    if (unlink(path.c_str()) != 0 && S_ISDIR(st.st_mode)) rmdir(path.c_str());
    return;
  }
  auto dir = open_dir_nofollow(path);
  size_t seen = 0;
  while (dir && seen++ < kMaxRecordEntries) {
    struct dirent* e = readdir(dir.get());
    if (e == nullptr) break;
    std::string name = e->d_name;
    if (name != "." && name != "..") remove_record_tree(path + "/" + name, depth + 1);
  }
  dir.reset();
  rmdir(path.c_str());
}

bool all_digits(const std::string& name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

// Writes one record as a whole: the new record is built in a staging folder
// beside the record folder, starting from a copy of the old record (values the
// answer does not give, such as a size without unit or the mirrors of a longer
// earlier list, stay as they were), then swapped in with one atomic exchange of
// the two folders. A kill or a full file system at any point leaves the old
// record or the new one, never a mix.
class RecordWriter {
 public:
  explicit RecordWriter(const std::string& dir)
      : dir_(dir), staging_(parentOf(dir) + "/" + kWorkTempPrefix + nameOf(dir)) {}
  ~RecordWriter() {
    if (!committed_) remove_record_tree(staging_);
  }

  // Prepares the staging folder; false (with error() set) when it cannot be made.
  bool begin() {
    remove_record_tree(staging_);  // left by a killed run
    if (mkdir(staging_.c_str(), 0755) != 0) return fail("create", staging_, errno);
    copyOld();
    return error_ == 0;
  }

  void put(const std::string& sub, const std::string& name, const std::string& data) {
    if (error_ != 0) return;
    const std::string final_path = (sub.empty() ? dir_ : dir_ + "/" + sub) + "/" + name;
    if (!allowcreate(final_path)) {
      LOG(ERROR) << "copy " << final_path << " only in test-keys";
      return;
    }
    const std::string path = (sub.empty() ? staging_ : staging_ + "/" + sub) + "/" + name;
    android::base::unique_fd fd;
    int rc = open_work_file(path, O_WRONLY | O_TRUNC, 0644, &fd);
    if (rc != 0) {
      fail("open", final_path, -rc);
      return;
    }
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
      ssize_t n = TEMP_FAILURE_RETRY(write(fd.get(), p, left));
      if (n <= 0) {
        fail("write", final_path, n == 0 ? ENOSPC : errno);
        return;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    if (fsync(fd.get()) != 0) fail("sync", final_path, errno);
  }

  // A mirror folder; false when it could not be made (logged as before).
  bool mirrorDir(const std::string& sub) {
    if (error_ != 0) return false;
    const std::string path = staging_ + "/" + sub;
    // 0644 is the record layout readers expect; the agent runs as root, which
    // can enter the directory without the search bit.
    if (mkdir(path.c_str(), 0644) == 0 || errno == EEXIST) return true;
    int err = errno;
    const std::string shown = dir_ + "/" + sub;
    LOG(ERROR) << "failed to create " << shown << "(" << err << ")" << strerror(err);
    // Out of space or inodes fails the record; anything else skips this mirror.
    if (err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO) fail("create", shown, err);
    return false;
  }

  // Swaps the staging folder in; 0 or -errno.
  int commit() {
    if (error_ != 0) return -error_;
    sync_folder(staging_);
    struct stat st;
    bool present = lstat(dir_.c_str(), &st) == 0;
    if (present && !S_ISDIR(st.st_mode)) {
      // A link (or file) planted as the record folder: the record is never
      // written through it; it is moved aside and removed below as a link.
      LOG(WARNING) << "replace the " << (S_ISLNK(st.st_mode) ? "link" : "file") << " at " << dir_
                   << " with a record folder";
    }
    if (!present) {
      if (rename(staging_.c_str(), dir_.c_str()) != 0) return -fail("rename", dir_, errno);
    } else if (exchange(staging_, dir_) != 0) {
      if (errno != EINVAL && errno != ENOSYS) return -fail("rename", dir_, errno);
      // A file system without exchange: the old record is moved aside first,
      // which leaves a moment without a record but never a mixed one.
      const std::string old = staging_ + ".old";
      remove_record_tree(old);
      if (rename(dir_.c_str(), old.c_str()) != 0) return -fail("rename", dir_, errno);
      if (rename(staging_.c_str(), dir_.c_str()) != 0) {
        int err = errno;
        rename(old.c_str(), dir_.c_str());
        return -fail("rename", dir_, err);
      }
      remove_record_tree(old);
    }
    committed_ = true;
    sync_folder(parentOf(dir_));
    remove_record_tree(staging_);  // the old record, after an exchange
    return 0;
  }

  int error() const { return error_; }

 private:
  // Swaps the two folders in one step; 0, or -1 with errno (EINVAL or ENOSYS where the
  // file system or kernel has no exchange). The handset's C library (API level 29) does
  // not declare renameat2(), which came with API level 30, and no other call swaps two
  // names atomically: the kernel's system call is made directly.
  static int exchange(const std::string& from, const std::string& to) {
    return static_cast<int>(
        syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE));
  }

  static std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
  static std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  static void sync_folder(const std::string& path) {
    android::base::unique_fd fd(
        TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (fd != -1) fsync(fd.get());
  }

  int fail(const char* what, const std::string& path, int err) {
    if (error_ == 0) {
      error_ = err;
      LOG(ERROR) << "failed to " << what << " record " << path << ": " << strerror(err);
    }
    return err;
  }

  // Copies the values and mirror hosts of the old record into the staging
  // folder. Only regular files are taken: a link or FIFO planted in the old
  // record is left behind (and so removed with it).
  void copyOld() {
    auto dir = open_dir_nofollow(dir_);
    if (!dir) return;
    size_t seen = 0;
    while (error_ == 0) {
      struct dirent* e = readdir(dir.get());
      if (e == nullptr) break;
      if (++seen > kMaxRecordEntries) {
        LOG(WARNING) << "record " << dir_ << " holds more than " << kMaxRecordEntries
                     << " entries; the rest is not kept";
        break;
      }
      const std::string name = e->d_name;
      if (name == "." || name == ".." || is_work_temp_name(name)) continue;
      struct stat st;
      const std::string src = dir_ + "/" + name;
      if (lstat(src.c_str(), &st) != 0) continue;
      if (S_ISREG(st.st_mode)) {
        copyValue(src, staging_ + "/" + name);
      } else if (S_ISDIR(st.st_mode) && all_digits(name) && name.size() <= 2 &&
                 std::stoi(name) < kMaxMirrors) {
        std::string host;
        if (read_record_file(src + "/" + KEY_HOST, kRecordTextMax, &host) != 0) continue;
        if (mkdir((staging_ + "/" + name).c_str(), 0644) != 0 && errno != EEXIST) {
          fail("create", dir_ + "/" + name, errno);
          return;
        }
        writeStaged(staging_ + "/" + name + "/" + KEY_HOST, host,
                    dir_ + "/" + name + "/" + KEY_HOST);
      }
    }
  }

  void copyValue(const std::string& src, const std::string& dst) {
    std::string value;
    if (read_record_file(src, kRecordTextMax, &value) != 0) return;
    writeStaged(dst, value, src);
  }

  void writeStaged(const std::string& path, const std::string& data, const std::string& shown) {
    android::base::unique_fd fd(TEMP_FAILURE_RETRY(
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)));
    if (fd == -1) {
      fail("copy", shown, errno);
      return;
    }
    if (!android::base::WriteStringToFd(data, fd.get())) fail("copy", shown, errno);
  }

  std::string dir_;
  std::string staging_;
  int error_ = 0;
  bool committed_ = false;
};

}  // namespace

int create_symlink_forrom(const std::string& dir) {
  const std::string link = CURRENT_ROM_LINK;
  // The link is swapped in one step: a reader (or a run after a kill) finds
  // either the old link or the new one, never none.
  int rc = replace_symlink_atomically(dir, link);
  if (rc != 0) {
    LOG(ERROR) << "failed to link " << link << " to " << dir << ": " << strerror(-rc);
    return rc;
  }
  LOG(INFO) << "Create the CurrentRom info \"" << link << "\" -> \"" << dir << "\"";
  return 0;
}

JsonHandle handle_norvodo(JsonHandle handle, std::string key, int* result) {
  const cJSON* root = handle.get();
  const cJSON* rom = cJSON_GetObjectItemCaseSensitive(root, key.c_str());
  const cJSON* current_rom = cJSON_GetObjectItemCaseSensitive(root, KEY_CURRENT_ROM.c_str());

  const std::string version = string_member(rom, KEY_VERSION);
  const std::string filename = string_member(rom, KEY_FILENAME);
  const std::string current = string_member(current_rom, KEY_VERSION);

  const std::string dir = key == KEY_LATEST_ROM ? LATEST_ROM_DIR : CROSS_ROM_DIR;
  RecordWriter record(dir);
  record.begin();
  record.put("", KEY_VERSION, version);
  record.put("", KEY_FILENAME, filename);
  record.put("", KEY_CURR_VERSION, current);

  const std::string size = string_member(rom, KEY_FILESIZE);
  LOG(INFO) << "====================================";
  LOG(INFO) << ">> Now we have " << printable(current);
  LOG(INFO) << ">> Download ROM info:" << printable(version) << " - " << printable(filename) << ", "
            << printable(size);
  LOG(INFO) << "====================================";

  int64_t bytes = 0;
  if (size_to_bytes(size, &bytes)) record.put("", KEY_FILESIZE, std::to_string(bytes));

  const cJSON* mirrors = cJSON_GetObjectItemCaseSensitive(root, KEY_MIRROR_LIST.c_str());
  // A missing or non-array list counts as empty. The list is walked once, item by
  // item: looking each one up by its index would cost the square of the count.
  const int count = cJSON_IsArray(mirrors) ? cJSON_GetArraySize(mirrors) : 0;
  LOG(DEBUG) << ">> MirrorList:" << count;
  const cJSON* item = count > 0 ? mirrors->child : nullptr;
  int i = 0;
  for (; item != nullptr && i < kMaxMirrors && record.error() == 0; item = item->next, ++i) {
    const std::string sub = std::to_string(i);
    if (record.mirrorDir(sub)) {
      const std::string host =
          cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : "";
      LOG(INFO) << ">> \t Mirror " << i << ":" << printable(host);
      record.put(sub, KEY_HOST, host);
    }
  }
  if (item != nullptr) {
    LOG(WARNING) << "the answer lists more than " << kMaxMirrors
                 << " mirrors; the rest is left out";
  }

  record.put("", KEY_VALIDATE, string_member(rom, KEY_VALIDATE));
  record.put("", KEY_MD5, string_member(rom, KEY_MD5));

  int rc = record.commit();
  // A record that is not in place must not be pointed at as if it were new.
  if (rc == 0) rc = create_symlink_forrom(dir);
  if (result != nullptr) *result = rc;
  return handle;
}

int write_record_entries(const std::string& dir,
                         const std::vector<std::pair<std::string, std::string>>& entries) {
  RecordWriter record(dir);
  record.begin();
  for (const auto& [name, value] : entries) record.put("", name, value);
  return record.commit();
}

int handle_latestrom_to_dir(JsonHandle handle) {
  int rc = 0;
  JsonHandle back = handle_norvodo(std::move(handle), KEY_LATEST_ROM, &rc);
  back.reset();
  return rc;
}

namespace {

// {"http://", host, path} from a mirror's base URL and the record's version and
// file name; empty for a base URL too short to hold a host.
std::vector<std::string> mirror_parts(const std::string& host, const std::string& version,
                                      const std::string& filename) {
  // The scheme is always plain http; whatever the first seven characters were
  // is dropped. A shorter text has no host left to offer.
  if (host.size() < 7) {
    LOG(ERROR) << "invalid host \"" << printable(host) << "\"";
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

bool usable_mirror(const std::string& host) {
  return !(host.size() >= 5 && host.find("https") != std::string::npos);
}

// The record folder CurrentRom points at, its version and file name.
bool read_record_names(std::string* record, std::string* version, std::string* filename) {
  const std::string link = CURRENT_ROM_LINK;
  if (!android::base::Realpath(link, record)) {
    LOG(ERROR) << "failed to get realpath of \"" << link << "\": " << strerror(errno);
    return false;
  }
  if (read_record_file(*record + "/" + KEY_VERSION, kRecordTextMax, version) != 0) {
    LOG(ERROR) << "failed to read version: " << strerror(errno);
    return false;
  }
  if (read_record_file(*record + "/" + KEY_FILENAME, kRecordTextMax, filename) != 0) {
    LOG(ERROR) << "failed to read filename: " << strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string RomMirror::url() const {
  std::string text;
  for (const std::string& part : parts) text += part;
  return text;
}

std::vector<std::string> handle_rom_to_url(int first) {
  const std::string link = CURRENT_ROM_LINK;
  std::string record;
  if (!android::base::Realpath(link, &record)) {
    LOG(ERROR) << "failed to get realpath of \"" << link << "\": " << strerror(errno);
    return {};
  }

  std::string host;
  // Ends at the first missing index, or past the last mirror a record keeps: a
  // record with no usable mirror among those gives no URL.
  for (int n = first;; ++n) {
    if (n < 0 || n >= kMaxMirrors) {
      LOG(ERROR) << "failed to read host: no usable mirror among the first " << kMaxMirrors;
      return {};
    }
    if (read_record_file(record + "/" + std::to_string(n) + "/" + KEY_HOST, kRecordTextMax,
                         &host) != 0) {
      LOG(ERROR) << "failed to read host: " << strerror(errno);
      return {};
    }
    if (!usable_mirror(host)) continue;
    break;
  }

  std::string version;
  if (read_record_file(record + "/" + KEY_VERSION, kRecordTextMax, &version) != 0) {
    LOG(ERROR) << "failed to read version: " << strerror(errno);
    return {};
  }
  std::string filename;
  if (read_record_file(record + "/" + KEY_FILENAME, kRecordTextMax, &filename) != 0) {
    LOG(ERROR) << "failed to read filename: " << strerror(errno);
    return {};
  }
  return mirror_parts(host, version, filename);
}

std::vector<RomMirror> rom_mirror_urls() {
  std::string record, version, filename;
  if (!read_record_names(&record, &version, &filename)) return {};
  std::vector<RomMirror> mirrors;
  for (int n = 0; n < kMaxMirrors; ++n) {
    std::string host;
    if (read_record_file(record + "/" + std::to_string(n) + "/" + KEY_HOST, kRecordTextMax,
                         &host) != 0) {
      break;
    }
    if (!usable_mirror(host)) continue;
    RomMirror mirror;
    mirror.index = n;
    mirror.parts = mirror_parts(host, version, filename);
    if (!mirror.parts.empty()) mirrors.push_back(std::move(mirror));
  }
  return mirrors;
}

std::vector<RomMirror> mirror_failover_order(const std::vector<RomMirror>& usable,
                                             const std::string& url_text) {
  size_t start = 0;
  while (start < usable.size() && usable[start].url() != url_text) ++start;
  if (start == usable.size()) return {RomMirror{}};
  std::vector<RomMirror> order;
  for (size_t i = 0; i < usable.size(); ++i) order.push_back(usable[(start + i) % usable.size()]);
  return order;
}

std::string getFileSize() {
  std::string record;
  if (!android::base::Realpath(CURRENT_ROM_LINK, &record)) {
    LOG(ERROR) << "failed to get realpath: " << strerror(errno);
    return "";
  }
  std::string size;
  if (read_record_file(record + "/" + KEY_FILESIZE, kRecordValueMax, &size) != 0) {
    LOG(ERROR) << "failed to get filesize: " << strerror(errno);
    return "";
  }
  return size;
}

int report_status(const std::string& name) {
  // Replaced whole, so a reader never sees a torn or empty name.
  return write_file_atomically(DOWNLOAD_DIR + "/" + KEY_STATUS, name);
}
