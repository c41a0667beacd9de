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

constexpr size_t kFileChunk = 1 << 20;
constexpr size_t kMaxSpareBuffers = 16;
constexpr std::chrono::milliseconds kStopPoll{20};

}  // namespace

PackageHasher::~PackageHasher() {
  {
    MutexLock lock(mutex_);
    quit_ = true;
    jobs_.clear();
  }
  abandon_ = true;
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

void PackageHasher::restart(bool md5, bool signature) {
  {
    MutexLock lock(mutex_);
    for (Job& job : jobs_) {
      if (!job.bytes.empty() && spare_.size() < kMaxSpareBuffers)
        spare_.push_back(std::move(job.bytes));
    }
    jobs_.clear();
    queued_ = 0;
    abandon_ = true;
    while (busy_) wake_.wait(mutex_);
    abandon_ = false;
  }
  // The hashing thread is idle now and finds only new jobs from here on.
  MutexLock state(state_mutex_);
  md5_on_ = md5;
  signature_on_ = signature;
  MD5_Init(&md5_state_);
  stream_.reset();
  length_ = 0;
  file_read_ = 0;
}

bool PackageHasher::md5() const {
  MutexLock state(state_mutex_);
  return md5_on_;
}

bool PackageHasher::signature() const {
  MutexLock state(state_mutex_);
  return signature_on_;
}

bool PackageHasher::addFile(int fd, int64_t length) {
  Job job;
  job.file.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (job.file < 0) {
    PLOG(ERROR) << ">> RomDownload: cannot hash the bytes already here";
    return false;
  }
  job.length = length;
  if (length == 0) return true;
  ensureThread();
  if (inline_) {
    hash(job);
    return true;
  }
  {
    MutexLock lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
  return true;
}

bool PackageHasher::push(const char* data, size_t size, const std::function<bool()>& stopped) {
  if (size == 0) return true;
  ensureThread();
  if (inline_) {
    MutexLock state(state_mutex_);
    update(data, size);
    return true;
  }
  {
    MutexLock lock(mutex_);
    // A piece larger than the whole queue waits for an empty one.
    while (queued_ > 0 && queued_ + size > kQueueBytes) {
      if (stopped()) return false;
      wake_.wait_for(mutex_, kStopPoll);
    }
    Job job;
    if (!spare_.empty()) {
      job.bytes = std::move(spare_.back());
      spare_.pop_back();
    }
    job.bytes.assign(data, data + size);
    queued_ += size;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
  return true;
}

bool PackageHasher::drain(const std::function<bool()>& stopped) {
  if (inline_ || !thread_.joinable()) return true;
  MutexLock lock(mutex_);
  while (!jobs_.empty() || busy_) {
    if (stopped()) return false;
    wake_.wait_for(mutex_, kStopPoll);
  }
  return true;
}

void PackageHasher::work() {
  for (;;) {
    Job job;
    {
      MutexLock lock(mutex_);
      while (jobs_.empty() && !quit_) wake_.wait(mutex_);
      if (quit_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
    }
    hash(job);
    {
      MutexLock lock(mutex_);
      queued_ -= job.bytes.size();
      if (!job.bytes.empty() && spare_.size() < kMaxSpareBuffers) {
        job.bytes.clear();
        spare_.push_back(std::move(job.bytes));
      }
      busy_ = false;
    }
    wake_.notify_all();
  }
}

void PackageHasher::hash(Job& job) {
  MutexLock state(state_mutex_);
  if (job.file < 0) {
    update(job.bytes.data(), job.bytes.size());
    return;
  }
  if (length_ < 0) return;
  std::vector<char> buffer(kFileChunk);
  for (int64_t done = 0; done < job.length;) {
    if (abandon_) return;
    size_t want = static_cast<size_t>(std::min<int64_t>(job.length - done, kFileChunk));
    ssize_t got = TEMP_FAILURE_RETRY(pread(job.file.get(), buffer.data(), want, done));
    if (got <= 0) {
      PLOG(ERROR) << ">> RomDownload: cannot read the bytes already here at " << done;
      length_ = -1;
      return;
    }
    update(buffer.data(), static_cast<size_t>(got));
    file_read_ += got;
    done += got;
  }
}

void PackageHasher::update(const char* data, size_t size) {
  if (length_ < 0) return;
  if (md5_on_) MD5_Update(&md5_state_, data, size);
  if (signature_on_) stream_.update(reinterpret_cast<const uint8_t*>(data), size);
  length_ += static_cast<int64_t>(size);
}

int64_t PackageHasher::length() const {
  MutexLock state(state_mutex_);
  return length_;
}

int64_t PackageHasher::fileBytesRead() const {
  MutexLock state(state_mutex_);
  return file_read_;
}

std::string PackageHasher::md5Hex() const {
  MutexLock state(state_mutex_);
  MD5_CTX copy = md5_state_;
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5_Final(digest, &copy);
  return hex_string(digest, sizeof(digest));
}

package_verify::Result PackageHasher::verify(const std::vector<package_verify::PublicKey>& keys,
                                             std::string* signer_name, std::string* why) const {
  MutexLock state(state_mutex_);
  return stream_.verify(keys, signer_name, why);
}
