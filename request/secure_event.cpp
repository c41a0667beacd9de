#define LOG_TAG "SecureEvent"

#include "request/secure_event.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <map>

#include "norvo_config.h"
#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-root/tls_trust.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/zelprotocal.h"
#include "request/download_task.h"

namespace {

constexpr size_t kErrorBufferSize = 256;
constexpr long kFirstStageTimeoutSeconds = 5;

}  // namespace

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
  stream_ = StreamOver(fd, read_back ? "w+" : "w");
  return stream_ ? 0 : -errno;
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

void SecureEvent::writeStatus(frontend_protocol::Line line, DownloadStatus status,
                              long long value) {
  frontend_protocol::Emit(statusStream(), line, status, value);
}

void SecureEvent::writeFailure(DownloadStatus status, int code) {
  frontend_protocol::EmitFailure(statusStream(), status, code);
}

CURLcode SecureEvent::performTransfer() {
  CURLcode r = CurlOptions(curl_.get()).set(CURLOPT_URL, url_.url().c_str()).result();
  if (r == CURLE_OK) r = prepareTls();
  if (r != CURLE_OK) return r;
  return noteTlsResult(curl_easy_perform(curl_.get()));
}

CURLcode SecureEvent::prepareTls() {
  if (!curl_) return CURLE_FAILED_INIT;
  return tls::prepare_transfer(curl_.get(), url_.scheme, url_.host);
}

CURLcode SecureEvent::noteTlsResult(CURLcode code) {
  std::string reason;
  code = tls::peer_check_result(curl_.get(), code, &reason);
  if (!tls::is_verification_failure(code)) return code;
  if (reason.empty()) {
    reason =
        error_buffer_ && error_buffer_[0] != '\0' ? error_buffer_.get() : curl_easy_strerror(code);
  }
  tls::log_verification_failure(url_.host, reason);
  return code;
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

CurlOptions& SecureEvent::firstStageOptions(CurlOptions& options) {
  return options.set(CURLOPT_HTTPHEADER, headers_.get())
      .set(CURLOPT_ERRORBUFFER, error_buffer_.get())
      .set(CURLOPT_VERBOSE, 1L)
      .set(CURLOPT_TIMEOUT, kFirstStageTimeoutSeconds);
}

void SecureEvent::resolveHost(const URLWrapper& url, void (*callback)(void*, int, int, hostent*)) {
  lookupHost(url, callback);
}

void SecureEvent::InitCbmap() {
  cbmap_[CURLE_OK] = [this](DownloadStatus status) {
    writeStatus(status == STATUS_SYNC_SERVER_TIME ? frontend_protocol::Line::kClockSynchronised
                                                  : frontend_protocol::Line::kUpdateChecked,
                status);
    runNext();
    return true;
  };
  cbmap_[CURLE_COULDNT_RESOLVE_HOST] = [this](DownloadStatus status) {
    LOG(ERROR) << "operator()" << (error_buffer_ ? error_buffer_.get() : "") << "("
               << CURLE_COULDNT_RESOLVE_HOST << "), retry";
    // Said on the pipe as well: without a line the front end could not tell a
    // host it cannot find from a program that died.
    writeFailure(status, CURLE_COULDNT_RESOLVE_HOST);
    return false;
  };
  cbmap_[CURLE_OPERATION_TIMEDOUT] = [this](DownloadStatus status) {
    writeFailure(status, CURLE_OPERATION_TIMEDOUT);
    return false;
  };
}

void SecureEvent::runNext() {
  if (next_ != nullptr) {
    next_->run();
  } else {
    LOG(INFO) << "this is the last task, byebye";
  }
}

Handler SecureEvent::defaultHandler(CURLcode code) {
  return [this, code](DownloadStatus status) {
    LOG(ERROR) << "in " << status << ", function for " << code << " has not been registed";
    writeFailure(status, code);
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
    // No transfer; the result is libcurl's own for a name it cannot resolve.
    handleCurlCode(CURLE_COULDNT_RESOLVE_HOST)(status_);
    return;
  } else {
    LOG(INFO) << "lookup h_name: " << printable(host->h_name);
    ResolvedHost resolved = resolvedHost(url_.host, *host);
    std::string name, port;
    splitHostPort(url_.host, &name, &port);
    // One address list per host: the addresses left over from another host
    // (before a redirect or a change of mirror) must never be taken for this
    // one, whose Host: line the transfer carries. The same host again keeps
    // its list: addresses left from an earlier attempt are used first, so that
    // successive attempts go to successive addresses.
    if (name != addresses_name_) {
      addresses_.clear();
      addresses_name_ = name;
    }
    addresses_.splice(addresses_.end(), resolved.addresses);
    if (addresses_.empty()) {
      // Only IPv4 addresses fit the transfer's numeric host; without one there is
      // nothing to connect to.
      LOG(ERROR) << "lookup failed: " << status << " (no IPv4 address)\n";
      handleCurlCode(CURLE_COULDNT_RESOLVE_HOST)(status_);
      return;
    }
    host_line_ = resolved.host_line;
    AppendHeader(headers_, host_line_);
    if (tls::is_https(url_.scheme)) {
      // TLS sends the URL's host as the server name and checks the certificate
      // against it: the name stays in the URL and the address is pinned instead.
      AppendHeader(resolve_, tls::resolve_entry(url_.host, addresses_.front(), 443));
      CURLcode r = CurlOptions(curl_.get()).set(CURLOPT_RESOLVE, resolve_.get()).result();
      if (r != CURLE_OK)
        LOG(ERROR) << "cannot pin " << printable(url_.host) << " to its address (" << r << ")";
    } else {
      url_.host = addresses_.front() + port;
    }
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
