// The package on disk and what is known about its bytes: which answer they came
// from (the identity side file), how far the file may grow, whether a new answer
// extends, replaces or completes it, and the lock that keeps a second download
// away from it.
#pragma once

#include <android-base/unique_fd.h>
#include <curl/curl.h>
#include <openssl/md5.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "request/frontend_protocol.h"

// A package never grows past this, whatever a server announces: the work area is
// RAM-backed on the device.
constexpr int64_t kMaxPackageBytes = int64_t{8} << 30;
// Result of an answer whose body is encoded (gzip, ...) although only identity was
// asked for (3:f:24, and 3:f:124 when it ends the task).
constexpr int kForeignEncoding = frontend_protocol::kCauseEncodingRefused;

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

// The final sizes a record size allows. The server states sizes as text such as
// "2.5M", so the record is only good to a tenth of its unit: a MiB below 1 GiB,
// a GiB above. {-1, -1} when the record gives no size.
struct SizeBounds {
  int64_t low = -1;
  int64_t high = -1;
  bool known() const { return high >= 0; }
  bool contains(int64_t size) const { return !known() || (size >= low && size <= high); }
};
SizeBounds record_size_bounds(uint64_t record_size);

// The parts of a final answer's head that decide what happens to the file.
struct AnswerFacts {
  long status = 0;
  int64_t range_start = -1;  // Content-Range "bytes A-B/T": A
  int64_t range_total = -1;  // ... T (also of "bytes */T")
  int64_t content_length = -1;
  std::string validator;         // this answer's strong ETag, else Last-Modified
  std::string content_encoding;  // as sent; empty when the answer names none
};

// The validator of an answer that a later request may name in If-Range: the ETag
// when it is a strong one ("..."), else Last-Modified, else empty. A weak tag
// (W/"...") only says two bodies mean the same, not that their bytes are equal,
// so it can never vouch for splicing one onto the other.
std::string choose_validator(const std::string& etag, const std::string& last_modified);
// True when a body sent with this Content-Encoding is the package's own bytes:
// none, or "identity".
bool is_identity_encoding(const std::string& content_encoding);

// Start offset of a "Content-Range: bytes A-B/T" value, or -1.
int64_t content_range_start(const std::string& value);
// Total T of a "bytes */T" or "bytes A-B/T" value, or -1.
int64_t content_range_total(const std::string& value);

// The head of an answer, read line by line as libcurl hands it over.
class AnswerHead {
 public:
  enum class Line { kStatus, kField, kEnd };
  // A status line starts a new answer (after an interim 1xx, or a redirect);
  // the blank line ends the head.
  Line add(const std::string& line);
  // The facts so far; the validator is choose_validator()'s.
  const AnswerFacts& facts() const { return facts_; }
  const std::string& retryAfter() const { return retry_after_; }

 private:
  AnswerFacts facts_;
  std::string etag_, last_modified_, retry_after_;
};

enum class AnswerAction {
  kAppend,           // the body continues the bytes on disk
  kReplace,          // the body is the whole package: drop what is on disk first
  kAlreadyComplete,  // nothing to fetch: the file is the whole package
  kRestartFromZero,  // the answer does not fit the bytes on disk: drop them, retry
  kFail,             // no use for this answer; retry later or give up
};

struct AnswerDecision {
  AnswerAction action = AnswerAction::kFail;
  int64_t total = -1;      // size of the package once this answer is complete
  int code = 0;            // status-line code of kRestartFromZero and kFail
  bool permanent = false;  // kFail: asking again will not help
};

// Given a final answer, the bytes on disk and what the side file says about them,
// what the download does with the answer. Pure: the table tests cover it.
AnswerDecision decide_answer(const AnswerFacts& answer, int64_t on_disk,
                             const PackageIdentity& stored, const SizeBounds& bounds);

// True for statuses worth asking again for later: time-outs, rate limits and
// server-side failures. Other 4xx/5xx answers will not change by retrying.
bool is_temporary_status(long status);

// Seconds a Retry-After value asks for (a number or an HTTP date), -1 when none.
int64_t parse_retry_after(const std::string& value, int64_t now_epoch_seconds);

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
