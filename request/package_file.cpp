#define LOG_TAG "ROMDOWNLOAD"

#include "request/package_file.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/parseint.h>
#include <android-base/strings.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount.h"

namespace {

constexpr size_t kMaxSideFile = 4096;

bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string PackageIdentity::serialize() const {
  std::string text = "path=" + path + "\nsize=" + std::to_string(size) + "\n";
  if (!mirror.empty()) text += "mirror=" + mirror + "\n";
  if (!md5.empty()) text += "md5=" + md5 + "\n";
  if (!validator.empty()) text += "validator=" + validator + "\n";
  if (total >= 0) text += "total=" + std::to_string(total) + "\n";
  if (file_uid >= 0) {
    text += "file=" + std::to_string(file_dev) + ":" + std::to_string(file_ino) + ":" +
            std::to_string(file_uid) + "\n";
  }
  return text;
}

bool PackageIdentity::parse(const std::string& text, PackageIdentity* out) {
  PackageIdentity parsed;
  bool have_path = false, have_size = false;
  for (const std::string& line : android::base::Split(text, "\n")) {
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "path") {
      parsed.path = value;
      have_path = true;
    } else if (key == "size") {
      if (!isDecimal(value) || !android::base::ParseUint(value, &parsed.size)) return false;
      have_size = true;
    } else if (key == "md5") {
      parsed.md5 = value;
    } else if (key == "mirror") {
      parsed.mirror = value;
    } else if (key == "validator") {
      parsed.validator = value;
    } else if (key == "file") {
      std::vector<std::string> parts = android::base::Split(value, ":");
      if (parts.size() != 3 || !isDecimal(parts[0]) || !isDecimal(parts[1]) ||
          !isDecimal(parts[2]) || !android::base::ParseUint(parts[0], &parsed.file_dev) ||
          !android::base::ParseUint(parts[1], &parsed.file_ino) ||
          !android::base::ParseInt(parts[2], &parsed.file_uid, int64_t{0})) {
        return false;
      }
    } else if (key == "total") {
      if (!isDecimal(value) || !android::base::ParseInt(value, &parsed.total, int64_t{0})) {
        return false;
      }
    }
    // Unknown keys come from a newer agent; they do not make the file invalid.
  }
  if (!have_path || !have_size) return false;
  *out = std::move(parsed);
  return true;
}

bool PackageIdentity::samePackage(const PackageIdentity& stored) const {
  return path == stored.path && size == stored.size && (stored.md5.empty() || md5 == stored.md5) &&
         (stored.mirror.empty() || mirror == stored.mirror);
}

bool vouches_for(const PackageIdentity& stored, const struct stat& st, uid_t euid) {
  return stored.file_uid >= 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         (st.st_mode & 07777) == 0600 && static_cast<uint64_t>(st.st_dev) == stored.file_dev &&
         static_cast<uint64_t>(st.st_ino) == stored.file_ino &&
         static_cast<int64_t>(st.st_uid) == stored.file_uid && st.st_uid == euid;
}

PackageFile::PackageFile(std::string path) : path_(std::move(path)) {}

PackageFile::~PackageFile() { close(); }

PackageFile::LockResult PackageFile::lock() {
  if (lock_fd_ >= 0) return LockResult::kLocked;
  android::base::unique_fd fd;
  if (open_work_file(lockPath(), O_RDWR, 0600, &fd) != 0) return LockResult::kError;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return LockResult::kBusy;
    PLOG(ERROR) << "cannot lock " << lockPath();
    return LockResult::kError;
  }
  lock_fd_ = std::move(fd);
  return LockResult::kLocked;
}

android::base::unique_fd PackageFile::createFresh() {
  // Three rounds: a name planted again between the unlink and the create.
  for (int round = 0; round < 3; ++round) {
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        LOG(ERROR) << "refuse to write " << path_ << ": it is a folder";
        errno = EISDIR;
        return android::base::unique_fd();
      }
      if (unlink(path_.c_str()) != 0 && errno != ENOENT) return android::base::unique_fd();
    }
    android::base::unique_fd fd(TEMP_FAILURE_RETRY(::open(
        path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)));
    if (fd >= 0) return fd;
    if (errno != EEXIST) return fd;
  }
  LOG(ERROR) << "refuse to write " << path_ << ": replaced again while creating it";
  errno = EEXIST;
  return android::base::unique_fd();
}

android::base::unique_fd PackageFile::copyIntoOwnFile() {
  android::base::unique_fd src(
      TEMP_FAILURE_RETRY(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  struct stat st;
  if (src < 0 || fstat(src.get(), &st) != 0 || !S_ISREG(st.st_mode)) return createFresh();
  // The lock keeps other downloads away, so this name is ours while we hold it.
  std::string temp = path_ + ".copy";
  unlink(temp.c_str());
  android::base::unique_fd fd(TEMP_FAILURE_RETRY(
      ::open(temp.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)));
  if (fd < 0) {
    PLOG(ERROR) << "cannot create " << temp;
    return fd;
  }
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  int64_t copied = 0;
  // Never more than a package may hold, whatever the file grows to meanwhile.
  while (copied < kMaxPackageBytes) {
    size_t want = static_cast<size_t>(std::min<int64_t>(kMaxPackageBytes - copied, 1 << 16));
    ssize_t got = TEMP_FAILURE_RETRY(read(src.get(), buffer.get(), want));
    if (got < 0 ||
        (got > 0 && !android::base::WriteFully(fd, buffer.get(), static_cast<size_t>(got)))) {
      PLOG(ERROR) << "cannot copy " << path_ << " into " << temp;
      unlink(temp.c_str());
      return android::base::unique_fd();
    }
    if (got == 0) break;
    copied += got;
  }
  if (rename(temp.c_str(), path_.c_str()) != 0) {
    PLOG(ERROR) << "cannot replace " << path_;
    unlink(temp.c_str());
    return android::base::unique_fd();
  }
  LOG(INFO) << ">> RomDownload copied " << copied << " bytes found at " << path_
            << " into a file of its own";
  return fd;
}

bool PackageFile::open(bool keep) {
  close();
  // The package's stream owns the descriptor from here on.
  auto adopt = [this](android::base::unique_fd& fd) {
    stream_ = StreamOver(fd, "a").release();
    if (stream_ == nullptr) PLOG(ERROR) << "cannot open a stream on " << path_;
    return stream_ != nullptr;
  };
  PackageIdentity stored;
  bool known = readIdentity(&stored);
  android::base::unique_fd fd;
  struct stat st;
  if (known && lstat(path_.c_str(), &st) == 0 && vouches_for(stored, st, geteuid())) {
    fd.reset(TEMP_FAILURE_RETRY(
        ::open(path_.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
    struct stat now;
    int fl = fd >= 0 ? fcntl(fd.get(), F_GETFL) : -1;
    if (fl == -1 || fstat(fd.get(), &now) != 0 || !vouches_for(stored, now, geteuid()) ||
        fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
      fd.reset();
    }
  }
  if (fd < 0) {
    bool copied = keep;
    fd = keep ? copyIntoOwnFile() : createFresh();
    if (fd < 0) {
      PLOG(ERROR) << "cannot open " << path_;
      return false;
    }
    if (!adopt(fd)) return false;
    // The side file now speaks for the new file, or for nothing.
    if (copied && known) return writeIdentity(stored);
    if (!copied) unlink(sidePath().c_str());
    return true;
  }
  return adopt(fd);
}

void PackageFile::close() {
  if (stream_ == nullptr) return;
  fflush(stream_);
  fclose(stream_);
  stream_ = nullptr;
}

int64_t PackageFile::size() const {
  if (stream_ == nullptr) return -1;
  fflush(stream_);
  struct stat st;
  if (fstat(fileno(stream_), &st) != 0) return -1;
  return st.st_size;
}

bool PackageFile::truncate() {
  if (stream_ == nullptr) return false;
  fflush(stream_);
  if (ftruncate(fileno(stream_), 0) != 0) {
    PLOG(ERROR) << "cannot truncate " << path_;
    return false;
  }
  return true;
}

void PackageFile::remove() {
  close();
  unlink(path_.c_str());
  unlink(sidePath().c_str());
}

bool PackageFile::readIdentity(PackageIdentity* out) const {
  std::string text;
  return read_record_file(sidePath(), kMaxSideFile, &text) == 0 &&
         PackageIdentity::parse(text, out);
}

bool PackageFile::writeIdentity(const PackageIdentity& unstamped) const {
  PackageIdentity identity = unstamped;
  struct stat st;
  if (stream_ != nullptr && fstat(fileno(stream_), &st) == 0) {
    identity.file_dev = static_cast<uint64_t>(st.st_dev);
    identity.file_ino = static_cast<uint64_t>(st.st_ino);
    identity.file_uid = static_cast<int64_t>(st.st_uid);
  } else {
    identity.file_uid = -1;
  }
  std::string temp = sidePath() + ".tmp";
  unlink(temp.c_str());
  android::base::unique_fd fd(
      ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd < 0) {
    PLOG(ERROR) << "cannot create " << temp;
    return false;
  }
  std::string text = identity.serialize();
  if (!android::base::WriteFully(fd, text.data(), text.size()) || fsync(fd) != 0) {
    PLOG(ERROR) << "cannot write " << temp;
    unlink(temp.c_str());
    return false;
  }
  fd.reset();
  if (rename(temp.c_str(), sidePath().c_str()) != 0) {
    PLOG(ERROR) << "cannot replace " << sidePath();
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool PackageFile::hashPrefix(int64_t length, MD5_CTX* ctx) const {
  MD5_Init(ctx);
  if (length == 0) return true;
  if (stream_ == nullptr) return false;
  fflush(stream_);
  int fd = fileno(stream_);
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  int64_t done = 0;
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<int64_t>(length - done, 1 << 16));
    ssize_t got = TEMP_FAILURE_RETRY(pread(fd, buffer.get(), want, done));
    if (got <= 0) return false;
    MD5_Update(ctx, buffer.get(), static_cast<size_t>(got));
    done += got;
  }
  return true;
}

bool PackageFile::space(int64_t* free_bytes, int64_t* held_bytes) const {
  if (stream_ == nullptr) return false;
  fflush(stream_);
  struct statvfs vfs;
  struct stat st;
  if (fstatvfs(fileno(stream_), &vfs) != 0 || fstat(fileno(stream_), &st) != 0) return false;
  *free_bytes = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
  *held_bytes = std::max<int64_t>(st.st_size, static_cast<int64_t>(st.st_blocks) * 512);
  return true;
}

int PackageFile::reserve(int64_t total) {
  if (stream_ == nullptr) return EBADF;
  if (total <= 0) return 0;
  fflush(stream_);
  if (fallocate(fileno(stream_), FALLOC_FL_KEEP_SIZE, 0, total) != 0) return errno;
  return 0;
}
