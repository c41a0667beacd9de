#define LOG_TAG "SecureEvent"

#include "request/secure_event.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>

#include "norvo_config.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/zelprotocal.h"
#include "request/download_task.h"
#include "request/thread_annotations.h"
#include "request/vendor/norvo_dns.h"

namespace {

constexpr size_t kErrorBufferSize = 256;

// Room kept free in a status pipe for the lines a front end must not miss
// (replies, completion, failures, stop): progress lines never take it. An eighth
// of the pipe, so that a small pipe still carries progress.
constexpr int kReservedPipeRoom = 8192;
constexpr int kReservedPipeShare = 8;
// How long the lines that must not be lost may wait, all together, for a reader
// that stopped reading: a stop is obeyed within a second whatever is queued in
// front of its line. The budget is spent by every wait and starts afresh once a
// line finds room. Replies to pause and continue may use only the first part of
// it, so that the line that ends the task (3:c:, a failure, 3:r:s) keeps time of
// its own after any number of replies.
constexpr int kImportantLineBudgetMs = 500;
constexpr int kReplyLineBudgetMs = 250;
// Room replies leave in the pipe for the line that ends the task, so that a front
// end that queued many commands and stopped reading still finds that line.
constexpr int kFinalLineRoom = 64;

enum class LineKind { kProgress, kReply, kFinal };

std::atomic<bool> g_status_lost{false};
// Serialises the status lines of every thread (the transfer and the listener):
// each line leaves whole and in the order its writer took the lock. Besides the
// order of writes on the streams it guards the wait budget below.
Mutex g_status_mutex;
// Time spent waiting for room since a line last found some.
int g_waited_ms GUARDED_BY(g_status_mutex) = 0;

// Free bytes in the pipe behind `fd`, or -1 when it is not a pipe; `reserve`
// gets the room that progress lines leave to the others.
int pipeRoom(int fd, int* reserve) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return -1;
  int size = fcntl(fd, F_GETPIPE_SZ);
  int queued = 0;
  if (size <= 0 || ioctl(fd, FIONREAD, &queued) != 0) return -1;
  *reserve = std::min(kReservedPipeRoom, size / kReservedPipeShare);
  return size - queued;
}

void writeLine(FILE* stream, LineKind kind, const char* format, va_list args) {
  const bool droppable = kind == LineKind::kProgress;
  if (stream == nullptr) return;
  char line[512];
  int length = vsnprintf(line, sizeof(line), format, args);
  if (length < 0) return;
  size_t size = std::min(static_cast<size_t>(length), sizeof(line) - 1);
  MutexLock lock(g_status_mutex);
  // Anything stdio still holds goes first, so the order of lines stays.
  fflush(stream);
  int fd = fileno(stream);
  if (fd < 0) {
    // A stream without a descriptor (an in-memory one): stdio only.
    fwrite(line, 1, size, stream);
    fflush(stream);
    return;
  }
  int reserve = 0;
  int room = pipeRoom(fd, &reserve);
  if (room >= 0) {
    if (droppable && room - static_cast<int>(size) < reserve)
      return;  // the next report supersedes it
    const int needed = static_cast<int>(size) + (kind == LineKind::kReply ? kFinalLineRoom : 0);
    if (!droppable && room < needed) {
      int budget = kind == LineKind::kReply ? kReplyLineBudgetMs : kImportantLineBudgetMs;
      int wait = std::max(budget - g_waited_ms, 0);
      auto start = std::chrono::steady_clock::now();
      pollfd p{fd, POLLOUT, 0};
      int ready = wait > 0 ? poll(&p, 1, wait) : 0;
      g_waited_ms += static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
      // POLLOUT promises some room, not necessarily what this line needs.
      if (ready <= 0 || pipeRoom(fd, &reserve) < needed) {
        LOG(ERROR) << "the status pipe stays full; line lost: " << std::string(line, size);
        return;
      }
    }
    g_waited_ms = 0;
  }
  if (!android::base::WriteFully(fd, line, size) && errno == EPIPE) g_status_lost = true;
}

}  // namespace

void vwriteStatusLine(FILE* stream, const char* format, va_list args) {
  writeLine(stream, LineKind::kFinal, format, args);
}

void writeStatusLine(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(stream, LineKind::kFinal, format, args);
  va_end(args);
}

void writeProgressLine(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(stream, LineKind::kProgress, format, args);
  va_end(args);
}

void writeReplyLine(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(stream, LineKind::kReply, format, args);
  va_end(args);
}

bool statusStreamLost(FILE* stream) {
  return g_status_lost.load() || (stream != nullptr && ferror(stream));
}

void splitHostPort(const std::string& host, std::string* name, std::string* port_suffix) {
  size_t colon = host.rfind(':');
  bool numeric = colon != std::string::npos && colon + 1 < host.size() && host.find(':') == colon &&
                 host.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  *name = numeric ? host.substr(0, colon) : host;
  *port_suffix = numeric ? host.substr(colon) : std::string();
}

int TransferFile::open(const std::string& path, const char* mode) {
  path_ = path;
  error_ = 0;
  written_ = 0;
  over_limit_ = false;
  stream_.reset();
  const bool read_back = strcmp(mode, "w+") == 0;
  android::base::unique_fd fd;
  int rc = open_work_file(path, (read_back ? O_RDWR : O_WRONLY) | O_TRUNC, 0644, &fd);
  if (rc != 0) return rc;
  FILE* fp = fdopen(fd.get(), read_back ? "w+" : "w");
  if (fp == nullptr) return -errno;
  stream_.reset(fp);
  int owned_by_stream = fd.release();
  (void)owned_by_stream;
  return 0;
}

CurlOptions& TransferFile::attach(CurlOptions& options) {
  // An announced length over the limit is refused before the body starts.
  if (limit_ >= 0) options.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit_));
  return options.set(CURLOPT_WRITEFUNCTION, &TransferFile::Write).set(CURLOPT_WRITEDATA, this);
}

size_t TransferFile::Write(char* data, size_t size, size_t count, void* arg) {
  auto* self = static_cast<TransferFile*>(arg);
  const size_t bytes = size * count;
  if (self->stream_ == nullptr) return 0;
  if (self->limit_ >= 0 && static_cast<int64_t>(bytes) > self->limit_ - self->written_) {
    // No reader takes an answer this long: keep none of it rather than the limit's worth.
    self->over_limit_ = true;
    fflush(self->stream_.get());
    if (ftruncate(fileno(self->stream_.get()), 0) != 0 && self->error_ == 0) self->error_ = errno;
    return 0;
  }
  self->written_ += static_cast<int64_t>(bytes);
  if (fwrite(data, 1, bytes, self->stream_.get()) != bytes || fflush(self->stream_.get()) != 0) {
    if (self->error_ == 0) self->error_ = errno != 0 ? errno : EIO;
    return 0;  // anything short of `bytes` makes libcurl stop with CURLE_WRITE_ERROR
  }
  return bytes;
}

SecureEvent::SecureEvent() : error_buffer_(new char[kErrorBufferSize]()), curl_(NewTransfer()) {
  cbmap_.max_load_factor(1.0);
  SecureEvent::InitCbmap();
}

SecureEvent::~SecureEvent() = default;

FILE* SecureEvent::statusStream() const {
  return driver_ != nullptr ? driver_->status_stream : nullptr;
}

void SecureEvent::writeStatus(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vwriteStatusLine(statusStream(), format, args);
  va_end(args);
}

CURLcode SecureEvent::performTransfer() {
  CURLcode r = CurlOptions(curl_.get()).set(CURLOPT_URL, url_.url().c_str()).result();
  if (r != CURLE_OK) return r;
  return curl_easy_perform(curl_.get());
}

CURLcode SecureEvent::performTransfer(const TransferFile& output) {
  CURLcode r = performTransfer();
  if (output.overLimit() || r == CURLE_FILESIZE_EXCEEDED) {
    LOG(ERROR) << "the answer is longer than the " << output.path() << " limit, refused";
    return CURLE_FILESIZE_EXCEEDED;
  }
  if (output.error() == 0) return r;
  errno = output.error();
  PLOG(ERROR) << "failed to write " << output.path();
  return CURLE_WRITE_ERROR;
}

int SecureEvent::prepareRequest(TransferFile& file, const std::string& path, const char* mode) {
  if (int rc = file.open(path, mode); rc != 0) {
    errno = -rc;
    PLOG(ERROR) << "failed to open " << path;
    return CURLE_WRITE_ERROR;
  }
  LOG(DEBUG) << ">> " << getDescriptor() << "::PreExecuted, curl writedata=" << path;
  appendRequestHeaders();
  return 0;
}

void SecureEvent::appendRequestHeaders() {
  AppendHeader(headers_, "Cache-Contorl:no-cache");  // spelled as the server expects it
  AppendHeader(headers_, "Cookie:");
  AppendHeader(headers_, "Content-type:application/x-www-form-urlencoded");
}

void SecureEvent::resolveHost(const URLWrapper& url, void (*callback)(void*, int, int, hostent*)) {
  URLWrapper lookup = url;
  std::string port;
  splitHostPort(url.host, &lookup.host, &port);
  resolveName(lookup, callback);
}

void SecureEvent::InitCbmap() {
  cbmap_[CURLE_OK] = [this](DownloadStatus status) {
    writeStatus("%d:%c\n", status, 's');
    if (next_ != nullptr) {
      next_->run();
    } else {
      LOG(INFO) << "this is the last task, byebye";
    }
    return true;
  };
  cbmap_[CURLE_COULDNT_RESOLVE_HOST] = [this](DownloadStatus) {
    LOG(ERROR) << "operator()" << (error_buffer_ ? error_buffer_.get() : "") << "("
               << CURLE_COULDNT_RESOLVE_HOST << "), retry";
    return false;
  };
  cbmap_[CURLE_OPERATION_TIMEDOUT] = [this](DownloadStatus status) {
    writeStatus("%d:%c:%s\n", status, 'f', "CURLE_OPERATION_TIMEDOUT");
    return false;
  };
}

Handler SecureEvent::defaultHandler(CURLcode code) {
  return [this, code](DownloadStatus status) {
    LOG(ERROR) << "in " << status << ", function for " << code << " has not been registed";
    writeStatus("%d:%c:%d\n", status, 'f', code);
    return false;
  };
}

void SecureEvent::zelstub(CURLcode code) {
  std::map<std::string, std::string> record{{"download_reason", ""},
                                            {"download_status", std::to_string(code)}};
  norvozel::zel_write_data(record);
}

Handler SecureEvent::handleCurlCode(CURLcode code) {
  zelstub(code);
  auto found = cbmap_.find(code);
  if (found != cbmap_.end()) return found->second;
  return defaultHandler(code);
}

void SecureEvent::DnsResolveCallback(void*, int status, int, hostent* host) {
  LOG(INFO) << ">> Name resolved(" << status << ")...";
  if (host == nullptr) {
    // The transfer still names the host; libcurl maps it through the fixed entry.
    LOG(WARNING) << "No hostent resolved, and try the fixed: " << NORVO_FIXED_RESOLVE;
    AppendHeader(resolve_, NORVO_FIXED_RESOLVE);
    if (curl_) {
      // A list that does not take leaves the transfer to fail on the name, and say so.
      CURLcode r = CurlOptions(curl_.get()).set(CURLOPT_RESOLVE, resolve_.get()).result();
      if (r != CURLE_OK) LOG(ERROR) << "cannot set the fixed resolve entry (" << r << ")";
    }
  } else if (status != 0) {
    LOG(ERROR) << "lookup failed: " << status << "\n";
    return;
  } else {
    LOG(INFO) << "lookup h_name: " << (host->h_name != nullptr ? host->h_name : "");
    if (host->h_addrtype == AF_INET && host->h_addr_list != nullptr) {
      for (char** addr = host->h_addr_list; *addr != nullptr; ++addr) {
        char text[16] = {};
        if (inet_ntop(AF_INET, *addr, text, sizeof(text)) != nullptr) addresses_.push_back(text);
      }
    }
    if (addresses_.empty()) {
      // Only IPv4 addresses fit the transfer's numeric host; without one there is
      // nothing to connect to.
      LOG(ERROR) << "lookup failed: " << status << " (no IPv4 address)\n";
      return;
    }
    std::string name, port;
    splitHostPort(url_.host, &name, &port);
    host_line_ = "Host: " + url_.host;
    AppendHeader(headers_, host_line_);
    url_.host = addresses_.front() + port;
    addresses_.pop_front();
  }
  int result = Executed(driver_);
  Handler handler = handleCurlCode(static_cast<CURLcode>(result));
  handler(status_);
}

int SecureEvent::Executed(DownloadTask* driver) {
  driver_ = driver;
  int result = PreExecuted();
  if (result != 0) return result;
  result = OnExecuted();
  if (result != 0) return result;
  return PostExecuted();
}

int SecureEvent::PreExecuted() { return 0; }

int SecureEvent::OnExecuted() { return 0; }

int SecureEvent::PostExecuted() {
  // The status file only names the last event to finish; the event's own result
  // stands even when it cannot be written (the failure is logged with its path).
  report_status(getDescriptor());
  jsondump();
  LOG(DEBUG) << ">> SecureEvent::PostExecuted";
  return 0;
}

void SecureEvent::InitResource() {
  error_buffer_.reset(new char[kErrorBufferSize]());
  curl_ = NewTransfer();
}

void SecureEvent::releaseResource() {
  headers_.reset();
  resolve_.reset();
  curl_.reset();
  error_buffer_.reset();
}
