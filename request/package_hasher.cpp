#define LOG_TAG "ROMDOWNLOAD"

#include "request/package_hasher.h"

#include <android-base/logging.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include "norvotools/norvo-zel/payload_cipher.h"

namespace {

constexpr std::chrono::milliseconds kStopPoll{20};

}  // namespace

PackageHasher::~PackageHasher() {
  {
    MutexLock lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PackageHasher::ensureThread() {
  if (thread_.joinable() || inline_) return;
  try {
    thread_ = std::thread(&PackageHasher::work, this);
  } catch (const std::system_error& err) {
    // Hashing on the transfer thread is slower, not wrong.
    LOG(WARNING) << ">> RomDownload: no hashing thread (" << err.what()
                 << "), the transfer hashes as it writes";
    inline_ = true;
  }
}

bool PackageHasher::restart(int fd, int64_t length, bool md5, bool signature) {
  android::base::unique_fd copy(fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1);
  if (fd >= 0 && copy < 0) PLOG(ERROR) << ">> RomDownload: cannot follow the package to hash it";
  bool usable = copy >= 0;
  {
    MutexLock lock(mutex_);
    // The piece in hand (at most kReadPiece bytes) ends first; what it hashed is
    // dropped with the rest below.
    ++generation_;
    while (busy_) wake_.wait(mutex_);
    file_ = std::move(copy);
    written_ = usable ? length : 0;
    hashed_ = 0;
    failed_ = !usable;
  }
  {
    MutexLock state(state_mutex_);
    md5_on_ = md5;
    signature_on_ = signature;
    MD5_Init(&md5_state_);
    stream_.reset();
    resumed_ = usable ? length : 0;
  }
  if (!usable) return false;
  ensureThread();
  if (inline_) {
    advance(0, [] { return false; });
  } else {
    wake_.notify_all();
  }
  return true;
}

bool PackageHasher::md5() const {
  MutexLock state(state_mutex_);
  return md5_on_;
}

bool PackageHasher::signature() const {
  MutexLock state(state_mutex_);
  return signature_on_;
}

void PackageHasher::advance(size_t size, const std::function<bool()>& stopped) {
  MutexLock lock(mutex_);
  written_ += static_cast<int64_t>(size);
  if (inline_) {
    if (!failed_ && file_ >= 0) {
      std::vector<uint8_t> buffer(kReadPiece);
      if (hashRange(file_.get(), hashed_, written_, &buffer)) {
        hashed_ = written_;
      } else {
        failed_ = true;
      }
    }
    return;
  }
  // A busy thread looks for more bytes before it waits again.
  if (!busy_) wake_.notify_all();
  if (written_ - hashed_ <= kMaxLag) return;
  while (!failed_ && written_ - hashed_ > kMaxLag / 2 && !stopped()) {
    wake_.wait_for(mutex_, kStopPoll);
  }
}

bool PackageHasher::drain(const std::function<bool()>& stopped) {
  MutexLock lock(mutex_);
  while (!failed_ && hashed_ < written_) {
    if (stopped()) return false;
    wake_.wait_for(mutex_, kStopPoll);
  }
  return true;
}

void PackageHasher::work() {
  std::vector<uint8_t> buffer(kReadPiece);
  for (;;) {
    int fd;
    int64_t from, to;
    uint64_t generation;
    {
      MutexLock lock(mutex_);
      while (!quit_ && (failed_ || file_ < 0 || hashed_ >= written_)) wake_.wait(mutex_);
      if (quit_) return;
      fd = file_.get();
      from = hashed_;
      to = std::min<int64_t>(written_, from + static_cast<int64_t>(kReadPiece));
      generation = generation_;
      busy_ = true;
    }
    // The descriptor stays open while busy_: restart() waits for the piece.
    bool ok = hashRange(fd, from, to, &buffer);
    {
      MutexLock lock(mutex_);
      busy_ = false;
      if (generation == generation_) {
        if (ok) {
          hashed_ = to;
        } else {
          failed_ = true;
        }
      }
    }
    wake_.notify_all();
  }
}

bool PackageHasher::hashRange(int fd, int64_t from, int64_t to, std::vector<uint8_t>* buffer) {
  while (from < to) {
    size_t want = static_cast<size_t>(std::min<int64_t>(to - from, buffer->size()));
    ssize_t got = TEMP_FAILURE_RETRY(pread(fd, buffer->data(), want, from));
    if (got <= 0) {
      if (got < 0) {
        PLOG(ERROR) << ">> RomDownload: cannot read the package back at " << from;
      } else {
        LOG(ERROR) << ">> RomDownload: the package ends at " << from << ", before " << to;
      }
      return false;
    }
    MutexLock state(state_mutex_);
    if (md5_on_) MD5_Update(&md5_state_, buffer->data(), static_cast<size_t>(got));
    if (signature_on_) stream_.update(buffer->data(), static_cast<size_t>(got));
    from += got;
  }
  return true;
}

int64_t PackageHasher::length() const {
  MutexLock lock(mutex_);
  return failed_ ? -1 : hashed_;
}

int64_t PackageHasher::resumedBytes() const {
  MutexLock state(state_mutex_);
  return resumed_;
}

std::string PackageHasher::md5Hex() const {
  MutexLock state(state_mutex_);
  MD5_CTX copy = md5_state_;
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5_Final(digest, &copy);
  return hex_string(digest, sizeof(digest));
}

package_verify::Status PackageHasher::verify(const std::vector<package_verify::PublicKey>& keys,
                                             std::string* signer_name) const {
  MutexLock state(state_mutex_);
  return stream_.verify(keys, signer_name);
}
