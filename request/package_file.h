// The package on disk and what is known about its bytes: which answer they came
// from (the identity side file), how far the file may grow, and the lock that
// keeps a second download away from it. What a new answer does to the file is
// package_answer.h's.
#pragma once

#include <android-base/unique_fd.h>
#include <openssl/md5.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// A package never grows past this, whatever a server announces: the work area is
// RAM-backed on the device.
constexpr int64_t kMaxPackageBytes = int64_t{8} << 30;

// What the side file beside the package records about the bytes in it.
struct PackageIdentity {
  std::string path;  // request path the task was started for
  // The mirror the bytes came from (scheme and host of the URL the task was
  // given, before any redirect); empty in side files of older agents. Its
  // validator vouches for nothing on another mirror.
  std::string mirror;
  uint64_t size = 0;      // the record's expected size
  std::string md5;        // the record's MD5, or empty
  std::string validator;  // ETag, else Last-Modified, of the answer the bytes came from
  int64_t total = -1;     // full size that answer announced; -1 when it announced none
  // The file these bytes were written into (device, inode, owner), recorded so
  // that only that very file is ever resumed in place; file_uid -1: not recorded.
  uint64_t file_dev = 0;
  uint64_t file_ino = 0;
  int64_t file_uid = -1;

  std::string serialize() const;
  // Reads a side file; false for text that is not one. Files written before the
  // validator and total were kept parse with those left empty.
  static bool parse(const std::string& text, PackageIdentity* out);
  // The same package of the same record from the same mirror. An MD5 or a
  // mirror that the stored identity lacks (an older side file) does not count
  // against it.
  bool samePackage(const PackageIdentity& stored) const;
};

// Whether the side file `stored` vouches for the file described by st, to be
// written in place by a process running as euid: the very file it recorded
// (device, inode, owner euid), a regular file of mode 0600 with one link.
bool vouches_for(const PackageIdentity& stored, const struct stat& st, uid_t euid);

// The file itself. Every open refuses to follow a link in the last component and
// accepts only a regular file; a link, FIFO or device planted at one of its paths
// is removed and replaced.
class PackageFile {
 public:
  enum class LockResult { kLocked, kBusy, kError };

  explicit PackageFile(std::string path);
  PackageFile(const PackageFile&) = delete;
  PackageFile& operator=(const PackageFile&) = delete;
  ~PackageFile();

  const std::string& path() const { return path_; }
  std::string sidePath() const { return path_ + ".meta"; }
  std::string lockPath() const { return path_ + ".lock"; }

  // Takes the exclusive lock for the life of this object (kBusy: another
  // download holds it).
  LockResult lock();
  // Opens the package for appending; the stream stays owned here. Writes go
  // only into a file this agent made: the file at the path is written in place
  // only when the side file vouches for it (vouches_for). Otherwise a new file
  // (O_EXCL, 0600) takes the name: with keep, the bytes found there are first
  // copied into it, once, and the side file is rewritten for the new file;
  // without, it starts empty and the side file is dropped. A descriptor that
  // someone opened on the old file keeps pointing at the old file.
  bool open(bool keep);
  void close();
  FILE* stream() const { return stream_; }
  // Size of the open file, -1 on failure.
  int64_t size() const;
  bool truncate();
  // Drops the package and its side file.
  void remove();

  // The side file; false when there is none or it is not a regular file.
  bool readIdentity(PackageIdentity* out) const;
  // Replaces the side file atomically (temporary file, fsync, rename). The
  // identity is stamped with the open file's device, inode and owner.
  bool writeIdentity(const PackageIdentity& identity) const;

  // MD5 state over the first `length` bytes of the open file.
  bool hashPrefix(int64_t length, MD5_CTX* ctx) const;

  // The room of the open file: the bytes its file system still gives to this
  // agent, and the bytes the file holds on disk (its size, or more once space was
  // reserved). False when the file system cannot say.
  bool space(int64_t* free_bytes, int64_t* held_bytes) const;
  // Reserves the blocks for a file of `total` bytes without changing its size,
  // so that "the file's size" still means "the bytes received" and no other
  // writer takes the room half-way. 0, or the error number (ENOSPC: short;
  // EOPNOTSUPP and the like: the file system cannot reserve).
  int reserve(int64_t total);

 private:
  // A new empty file at the path, created exclusively with mode 0600.
  android::base::unique_fd createFresh();
  // A new file holding the bytes of the regular file at the path, renamed over it.
  android::base::unique_fd copyIntoOwnFile();

  std::string path_;
  android::base::unique_fd lock_fd_;
  FILE* stream_ = nullptr;
};
