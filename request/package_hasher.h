// The download's digests, computed beside the transfer: the MD5 that the ROM
// record names and the SHA-256 of the whole-file signature (SignatureStream), both
// over the package's bytes in file order, in one pass, on a thread of their own,
// so that on two cores the transfer never waits for them and at the last byte
// only the signature's one public-key operation is left.
//
// The transfer feeds the thread through the file itself: after each write it says
// how far the file now reaches (advance()), and the thread reads what it has not
// hashed yet back from the page cache, in pieces of kReadPiece bytes. So the queue
// between the two is the range of written bytes, bounded to kMaxLag: it costs no
// memory of ours, and only a transfer faster than the hashing (a loopback, never a
// handset's link) waits for it, so that at the last byte at most kMaxLag is left to
// hash. That wait watches the stop: a stop, pause or continue keeps its latency.
// The bytes already on disk when a download resumes are the start of that range,
// read once when the task starts. The digests are those of the bytes the installer
// will read.
//
// Memory: one read buffer of kReadPiece bytes, and the last 64 KiB + 22 bytes of
// the file that the signature stream holds back.
//
// Threads: every method runs on the transfer thread. The hashing thread shares the
// file's range (under mutex_) and the digests (under state_mutex_, which the
// transfer thread takes only once drain() has seen every byte hashed).
#pragma once

#include <android-base/unique_fd.h>
#include <openssl/md5.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "request/package_keys.h"
#include "request/package_result.h"
#include "request/signature_stream.h"
#include "request/thread_annotations.h"

class PackageHasher {
 public:
  static constexpr size_t kReadPiece = 64 << 10;
  static constexpr int64_t kMaxLag = 4 << 20;

  PackageHasher() = default;
  PackageHasher(const PackageHasher&) = delete;
  PackageHasher& operator=(const PackageHasher&) = delete;
  // Leaves the file and ends the hashing thread.
  ~PackageHasher();

  // Starts over from byte 0 of the file open on `fd` (a duplicate is kept), with
  // the digests asked for; its first `length` bytes (those already there) are
  // hashed first. Whatever was being hashed before is dropped. False when fd
  // cannot be duplicated (the digests then cover nothing); fd -1 lets go of the
  // file that was followed.
  bool restart(int fd, int64_t length, bool md5, bool signature);
  bool md5() const;
  bool signature() const;
  // The transfer wrote `size` more bytes at the file's end (flushed to it). When
  // the hashing lags by more than kMaxLag, waits until it has caught up half-way,
  // or `stopped()` (asked every 20 ms).
  void advance(size_t size, const std::function<bool()>& stopped);
  // Waits until every byte written has been hashed; false when `stopped()` (asked
  // every 20 ms) came first. The results below hold once it returned true.
  bool drain(const std::function<bool()>& stopped);

  // Bytes hashed, -1 when reading the file failed (the digests cover nothing).
  int64_t length() const;
  // The bytes that were already there at restart(), which the hashing read.
  int64_t resumedBytes() const;
  // The MD5 in lower-case hex.
  std::string md5Hex() const;
  // The signature over the bytes hashed (see SignatureStream::verify).
  package_verify::Status verify(const std::vector<package_verify::PublicKey>& keys,
                                std::string* signer_name) const;

 private:
  void ensureThread();
  void work();
  // Hashes [from, to) of the file; false when a read failed.
  bool hashRange(int fd, int64_t from, int64_t to, std::vector<uint8_t>* buffer);

  mutable Mutex mutex_;
  std::condition_variable_any wake_;  // more bytes, a piece hashed, a restart or quit
  android::base::unique_fd file_ GUARDED_BY(mutex_);
  int64_t written_ GUARDED_BY(mutex_) = 0;  // the file reaches this far
  int64_t hashed_ GUARDED_BY(mutex_) = 0;   // the digests cover this far
  uint64_t generation_ GUARDED_BY(mutex_) = 0;
  bool busy_ GUARDED_BY(mutex_) = false;  // a piece is being read and hashed
  bool failed_ GUARDED_BY(mutex_) = false;
  bool quit_ GUARDED_BY(mutex_) = false;

  mutable Mutex state_mutex_;
  MD5_CTX md5_state_ GUARDED_BY(state_mutex_);
  package_verify::SignatureStream stream_ GUARDED_BY(state_mutex_);
  bool md5_on_ GUARDED_BY(state_mutex_) = false;
  bool signature_on_ GUARDED_BY(state_mutex_) = false;
  int64_t resumed_ GUARDED_BY(state_mutex_) = 0;

  // The transfer thread's own.
  bool inline_ = false;  // no thread could be started: hash on the caller's
  std::thread thread_;
};
