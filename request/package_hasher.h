// The download's digests, computed beside the transfer: the MD5 that the ROM
// record names and the SHA-256 of the whole-file signature (SignatureStream), both
// over the package's bytes in file order, in one pass, on a thread of their own.
// The transfer hands each body piece over through a bounded queue of buffers, so
// that on two cores it never waits for the hashing, and at the last byte only the
// signature's one public-key operation is left. The bytes already on disk when a
// download resumes are read once, by the hashing thread, before the new ones.
//
// Memory: the queue holds at most kQueueBytes of body bytes (plus one piece larger
// than that, which waits for an empty queue), in buffers that are reused; the
// signature stream holds back the last 64 KiB + 22 bytes of the file; reading the
// file takes one 1 MiB buffer while it lasts.
//
// Threads: every method runs on the transfer thread. The hashing thread reads only
// the queue (under mutex_) and the digests (under state_mutex_, which the transfer
// thread takes only once drain() has seen the queue empty and the thread idle).
#pragma once

#include <android-base/unique_fd.h>
#include <openssl/md5.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "request/package_verify.h"
#include "request/signature_stream.h"
#include "request/thread_annotations.h"

class PackageHasher {
 public:
  static constexpr size_t kQueueBytes = 384 << 10;

  PackageHasher() = default;
  PackageHasher(const PackageHasher&) = delete;
  PackageHasher& operator=(const PackageHasher&) = delete;
  // Drops whatever is queued and ends the hashing thread.
  ~PackageHasher();

  // Starts over from byte 0 with the digests asked for, dropping what was queued.
  void restart(bool md5, bool signature);
  bool md5() const;
  bool signature() const;
  // Queues the first `length` bytes of the file open on `fd` (a duplicate is
  // kept) ahead of what push() adds next. False when fd cannot be duplicated.
  bool addFile(int fd, int64_t length);
  // Copies `size` bytes into the queue, waiting for room while `stopped()`
  // (asked every 20 ms) is false. False when a stop came first: those bytes are
  // not hashed, so the digests no longer cover the file.
  bool push(const char* data, size_t size, const std::function<bool()>& stopped);
  // Waits until everything queued has been hashed; false when `stopped()` came
  // first. The results below hold once it returned true.
  bool drain(const std::function<bool()>& stopped);

  // Bytes hashed, -1 when reading the file failed (the digests cover nothing).
  int64_t length() const;
  // Bytes the hashing read from the file (the resumed ones), since restart().
  int64_t fileBytesRead() const;
  // The MD5 in lower-case hex.
  std::string md5Hex() const;
  // The signature over the bytes hashed (see SignatureStream::verify).
  package_verify::Result verify(const std::vector<package_verify::PublicKey>& keys,
                                std::string* signer_name, std::string* why) const;

 private:
  struct Job {
    std::vector<char> bytes;        // body bytes, or
    android::base::unique_fd file;  // the file's first `length` bytes
    int64_t length = 0;
  };

  void ensureThread();
  void work();
  // Runs one job on the hashing thread (or on the caller's, without a thread).
  void hash(Job& job);
  void update(const char* data, size_t size) REQUIRES(state_mutex_);

  Mutex mutex_;
  std::condition_variable_any wake_;  // a job came, a job ended, or quit
  std::deque<Job> jobs_ GUARDED_BY(mutex_);
  std::vector<std::vector<char>> spare_ GUARDED_BY(mutex_);  // buffers for reuse
  size_t queued_ GUARDED_BY(mutex_) = 0;                     // body bytes in jobs_
  bool busy_ GUARDED_BY(mutex_) = false;                     // a job is being hashed
  bool quit_ GUARDED_BY(mutex_) = false;
  // Set by restart() so that a file being read is left at its next chunk.
  std::atomic<bool> abandon_{false};

  mutable Mutex state_mutex_;
  MD5_CTX md5_state_ GUARDED_BY(state_mutex_);
  package_verify::SignatureStream stream_ GUARDED_BY(state_mutex_);
  int64_t length_ GUARDED_BY(state_mutex_) = 0;
  int64_t file_read_ GUARDED_BY(state_mutex_) = 0;
  bool md5_on_ GUARDED_BY(state_mutex_) = false;
  bool signature_on_ GUARDED_BY(state_mutex_) = false;

  // The transfer thread's own.
  bool inline_ = false;  // no thread could be started: hash on the caller's
  std::thread thread_;
};
