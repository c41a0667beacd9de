#define LOG_TAG "ROMDOWNLOAD"

#include "request/romdownload.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/parseint.h>
#include <android-base/strings.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <system_error>
#include <vector>

#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/payload_cipher.h"
#include "request/download_task.h"

std::atomic<int> stopCode{0};

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kFirstBackoff{1000};
constexpr std::chrono::milliseconds kMaxBackoff{60000};
constexpr long kDefaultLowSpeedTime = 60;
constexpr long kConnectTimeout = 30;
// fgets() with a 1024-byte buffer hands out at most 1023 characters per line.
constexpr size_t kMaxCommandLine = 1023;

std::string metaPath() { return UPDATE_PACKAGE_FILE + ".meta"; }

// The ROM record's MD5 as 32 lower-case hex digits, or "" when there is none.
std::string readExpectedMd5() {
  std::string dir;
  if (!android::base::Realpath(CURRENT_ROM_LINK, &dir)) return "";
  std::string text;
  if (!android::base::ReadFileToString(dir + "/md5", &text)) return "";
  text = android::base::Trim(text);
  if (text.size() != 32) return "";
  for (char& ch : text) {
    if (!isxdigit(static_cast<unsigned char>(ch))) return "";
    ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  }
  return text;
}

std::string hexDigest(const MD5_CTX& ctx) {
  MD5_CTX copy = ctx;
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5_Final(digest, &copy);
  return hex_string(digest, sizeof(digest));
}

// libbase's parsers also take a sign and a "0x" prefix; these texts are decimal.
bool isDecimal(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

}  // namespace

bool split_redirect_url(const std::string& url, SplitUrl* out) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || url.compare(colon, 3, "://") != 0) return false;
  SplitUrl parts;
  parts.scheme = url.substr(0, colon + 3);
  std::string rest = url.substr(colon + 3);
  // A target without a path keeps its host; the path is then empty.
  size_t end = rest.find_first_of("/?");
  parts.host = rest.substr(0, end);
  if (end != std::string::npos) parts.path = rest.substr(end);
  if (parts.scheme.size() > 15 || parts.host.empty() || parts.host.size() > 1023 ||
      parts.path.size() > 524287) {
    return false;
  }
  *out = std::move(parts);
  return true;
}

uint64_t parse_file_size(const std::string& text) {
  uint64_t size = 0;
  std::string digits = android::base::Trim(text);
  if (!isDecimal(digits) || !android::base::ParseUint(digits, &size)) return 0;
  return size;
}

char parse_command(const std::string& line) {
  if (line.empty()) return 0;
  char first = line[0];
  return first == 'c' || first == 'p' || first == 's' ? first : 0;
}

int64_t content_range_start(const std::string& value) {
  std::string text = android::base::Trim(value);
  if (!startsWithNoCase(text, "bytes")) return -1;
  text = android::base::Trim(text.substr(5));
  size_t dash = text.find('-');
  if (dash == std::string::npos) return -1;
  int64_t start = -1;
  std::string digits = text.substr(0, dash);
  if (!isDecimal(digits) || !android::base::ParseInt(digits, &start, int64_t{0})) return -1;
  return start;
}

int64_t content_range_total(const std::string& value) {
  size_t slash = value.find('/');
  if (slash == std::string::npos) return -1;
  int64_t total = -1;
  std::string digits = android::base::Trim(value.substr(slash + 1));
  if (!isDecimal(digits) || !android::base::ParseInt(digits, &total, int64_t{0})) {
    return -1;
  }
  return total;
}

long low_speed_time() {
  const char* text = getenv("NORVO_LOW_SPEED_TIME");
  long seconds = 0;
  if (text != nullptr && android::base::ParseInt(text, &seconds, 1L, 3600L)) return seconds;
  return kDefaultLowSpeedTime;
}

namespace {
// The driver's status stream; main keeps the process-wide one equal to it.
FILE* streamOf(RomDownload* event) {
  FILE* stream = event->driverStream();
  return stream != nullptr ? stream : g_status_stream;
}
}  // namespace

RomDownload::RomDownload() {
  EventWrapper<RomDownload>::instance = this;
  InitCbmap();
}

RomDownload::~RomDownload() {
  stopListener();
  releaseResource();
  if (EventWrapper<RomDownload>::instance == this) EventWrapper<RomDownload>::instance = nullptr;
}

void RomDownload::InitCbmap() {
  SecureEvent::InitCbmap();
  cbmap_[CURLE_OK] = [this](DownloadStatus status) {
    XferProgress none;
    XferProgress* p = progress ? progress.get() : &none;
    // The bytes that reached the file; dlnow also counts discarded bodies.
    if (progress) p->lastChunk = written_;
    LOG(DEBUG) << "[CURLE_OK] lastsize=" << p->lastSize << ", lastresume=" << p->lastResume
               << ", lastchunk=" << p->lastChunk << ", filetotalsize=" << fileTotalSize;
    p->lastSize = p->lastChunk + p->lastResume;
    LOG(INFO) << ">> Totally " << p->lastSize << " bytes downloaded";
    if (updateFile != nullptr) fflush(updateFile);
    if (p->lastSize == 0) {
      writeStatusLine(streamOf(this), "%d:%c:%d\n", status, 'f', CURLE_GOT_NOTHING);
      outcome_ = Outcome::kFailed;
      return false;
    }
    if (!expectedMd5_.empty()) {
      off_t size = updateFile != nullptr ? ftello(updateFile) : -1;
      if (size < 0 || md5Length_ != size) hashPrefix(size < 0 ? 0 : size);
      std::string actual = md5Length_ >= 0 ? hexDigest(md5_) : std::string();
      if (actual != expectedMd5_) {
        // A package that does not match its record is useless to the installer:
        // drop it so that the next attempt starts from byte 0.
        ++mismatches_;
        LOG(ERROR) << ">> RomDownload checksum mismatch (" << mismatches_ << "): expected "
                   << expectedMd5_ << ", got " << actual;
        unlink(UPDATE_PACKAGE_FILE.c_str());
        unlink(metaPath().c_str());
        md5Length_ = -1;
        zelstub(static_cast<CURLcode>(kChecksumMismatch));
        writeStatusLine(streamOf(this), "%d:%c:%d\n", status, 'f', kChecksumMismatch);
        outcome_ = mismatches_ >= kMaxChecksumMismatches ? Outcome::kFailed : Outcome::kRestart;
        return false;
      }
    }
    writeStatusLine(streamOf(this), "%d:%c:%s\n", status, 'c',
                    driver_ != nullptr ? driver_->result_text.c_str() : "");
    outcome_ = Outcome::kComplete;
    if (next_ != nullptr) {
      next_->run();
    } else {
      LOG(INFO) << status << " is the last task, byebye";
    }
    return true;
  };
  cbmap_[kStopCode] = [this](DownloadStatus status) {
    LOG(ERROR) << " CURLE_ABORTED_BY_CALLBACK lead to download stopped";
    writeStatusLine(streamOf(this), "%d:%c:%c", status, 'r', 's');
    outcome_ = Outcome::kStopped;
    return false;
  };
}

void RomDownload::run() {
  if (driver_ == nullptr || driver_->url_record == nullptr) {
    // Nothing to fetch: the ROM URL check found no package URL.
    LOG(ERROR) << ">> RomDownload has no package URL, nothing to download";
    writeStatusLine(streamOf(this), "%d:%c:%d\n", status_, 'f', CURLE_URL_MALFORMAT);
    return;
  }
  identityPath_ = driver_->url_record->path;
  redirects_ = 0;
  mismatches_ = 0;
  freshNext_ = false;
  std::chrono::milliseconds backoff = kFirstBackoff;
  // Every restart and every redirect runs as the next turn of this loop rather
  // than nested inside the attempt before it; the status lines come in the
  // same order either way.
  for (;;) {
    outcome_ = Outcome::kNone;
    written_ = 0;
    startAttempt();
    Outcome outcome = outcome_;
    if (outcome != Outcome::kRedirect) redirects_ = 0;
    if (outcome != Outcome::kRestart && outcome != Outcome::kRedirect) break;
    releaseResource();
    InitResource();
    bool stop;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop = stopRequested_;
    }
    if (!stop && outcome == Outcome::kRestart) {
      if (written_ > 0) backoff = kFirstBackoff;
      stop = !waitBackoff(backoff);
      backoff = std::min(backoff * 2, kMaxBackoff);
    }
    if (stop) {
      LOG(ERROR) << " stop command while waiting to retry, download stopped";
      writeStatusLine(streamOf(this), "%d:%c:%c", status_, 'r', 's');
      break;
    }
  }
  stopListener();
  releaseResource();
}

void RomDownload::startAttempt() {
  LOG(INFO) << ">> RomDownload is running...";
  url_ = *driver_->url_record;
  LOG(INFO) << ">> RomDownload url " << url_.scheme << url_.host << url_.path;
  fileTotalSize = parse_file_size(getFileSize());
  expectedMd5_ = readExpectedMd5();
  resolveHost(url_, EventWrapper<RomDownload>::fake_callback);
}

int RomDownload::Executed(DownloadTask* driver) {
  driver_ = driver;
  int result = PreExecuted();
  if (result != 0) return result;
  return OnExecuted();
}

std::string RomDownload::packageIdentity() const {
  return "path=" + identityPath_ + "\nsize=" + std::to_string(fileTotalSize) + "\n";
}

bool RomDownload::prepareFile(int64_t* resume) {
  if (fseeko(updateFile, 0, SEEK_END) != 0) return false;
  off_t size = ftello(updateFile);
  if (size < 0) return false;
  std::string identity = packageIdentity();
  std::string stored;
  bool same = android::base::ReadFileToString(metaPath(), &stored) && stored == identity;
  if (freshNext_ || (size > 0 && !same)) {
    if (size > 0) {
      LOG(INFO) << ">> RomDownload drops " << size << " bytes of "
                << (same ? "a package the server would not resume" : "another package");
    }
    if (ftruncate(fileno(updateFile), 0) != 0) {
      PLOG(ERROR) << "cannot truncate " << UPDATE_PACKAGE_FILE;
      return false;
    }
    size = 0;
    freshNext_ = false;
    md5Length_ = -1;
  }
  if (size == 0 && !same) {
    // Remember which package these bytes belong to before the first one lands.
    std::string temp = metaPath() + ".tmp";
    if (!android::base::WriteStringToFile(identity, temp) ||
        rename(temp.c_str(), metaPath().c_str()) != 0) {
      PLOG(WARNING) << "cannot record the package identity in " << metaPath();
    }
  }
  if (!expectedMd5_.empty() && md5Length_ != size) hashPrefix(size);
  *resume = size;
  return true;
}

void RomDownload::hashPrefix(int64_t size) {
  MD5_Init(&md5_);
  md5Length_ = 0;
  if (size == 0) return;
  android::base::unique_fd fd(open(UPDATE_PACKAGE_FILE.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd < 0) {
    md5Length_ = -1;
    return;
  }
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  while (md5Length_ < size) {
    size_t want = static_cast<size_t>(std::min<int64_t>(size - md5Length_, 1 << 16));
    ssize_t got = TEMP_FAILURE_RETRY(read(fd, buffer.get(), want));
    if (got <= 0) {
      md5Length_ = -1;
      return;
    }
    MD5_Update(&md5_, buffer.get(), static_cast<size_t>(got));
    md5Length_ += got;
  }
}

void RomDownload::truncateFile() {
  fflush(updateFile);
  if (ftruncate(fileno(updateFile), 0) != 0) {
    PLOG(ERROR) << "cannot truncate " << UPDATE_PACKAGE_FILE;
    failCode_ = CURLE_WRITE_ERROR;
    return;
  }
  if (progress) {
    progress->lastResume = 0;
    progress->lastSize = 0;
    progress->lastPercent = 0;
  }
  if (!expectedMd5_.empty()) {
    MD5_Init(&md5_);
    md5Length_ = 0;
  }
}

int RomDownload::PreExecuted() {
  updateFile = fopen(UPDATE_PACKAGE_FILE.c_str(), "ae");
  LOG(DEBUG) << ">> RomDownload::PreExecuted, updatefile=" << UPDATE_PACKAGE_FILE;
  if (updateFile == nullptr) {
    PLOG(ERROR) << "cannot open " << UPDATE_PACKAGE_FILE;
    return CURLE_WRITE_ERROR;
  }
  int64_t resume = 0;
  if (!prepareFile(&resume)) return CURLE_WRITE_ERROR;
  startListener();

  CURL* handle = curl_.get();
  if (handle == nullptr) return CURLE_FAILED_INIT;
  // Only the bytes still missing; the answer is checked in onHeader().
  if (resume > 0) AppendHeader(headers_, "Range: bytes=" + std::to_string(resume) + "-");
#define SET_OPTION(option, value)                          \
  do {                                                     \
    CURLcode rc = curl_easy_setopt(handle, option, value); \
    if (rc != CURLE_OK) return rc;                         \
  } while (0)
  SET_OPTION(CURLOPT_ERRORBUFFER, error_buffer_.get());
  SET_OPTION(CURLOPT_HTTPHEADER, headers_.get());
  SET_OPTION(CURLOPT_HEADER, 0L);
  SET_OPTION(CURLOPT_TCP_KEEPALIVE, 1L);
  SET_OPTION(CURLOPT_WRITEFUNCTION, &RomDownload::writeBody);
  SET_OPTION(CURLOPT_WRITEDATA, this);
  SET_OPTION(CURLOPT_HEADERFUNCTION, &RomDownload::onHeader);
  SET_OPTION(CURLOPT_HEADERDATA, this);
  SET_OPTION(CURLOPT_SSL_VERIFYPEER, 0L);
  SET_OPTION(CURLOPT_SSL_VERIFYHOST, 0L);
  SET_OPTION(CURLOPT_NOSIGNAL, 1L);
  // Packages are large: with libcurl's 16 KiB default a 256 MiB download took
  // about eight times the reads, polls and progress callbacks of 128 KiB ones.
  SET_OPTION(CURLOPT_BUFFERSIZE, 128L * 1024);
  // A dead connection must not hang the download for ever.
  SET_OPTION(CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
  SET_OPTION(CURLOPT_LOW_SPEED_LIMIT, 1L);
  SET_OPTION(CURLOPT_LOW_SPEED_TIME, low_speed_time());

  progress.reset(new XferProgress);
  progress->fileTotalSize = static_cast<int64_t>(fileTotalSize);
  progress->lastTick = Clock::now();
  progress->lastResume = resume;
  progress->file = updateFile;
  progress->event = this;
  SET_OPTION(CURLOPT_XFERINFOFUNCTION, &RomDownload::xferinfo);
  SET_OPTION(CURLOPT_XFERINFODATA, progress.get());
  SET_OPTION(CURLOPT_NOPROGRESS, 0L);
#undef SET_OPTION
  return 0;
}

int RomDownload::OnExecuted() {
  std::string url = url_.scheme + url_.host + url_.path;
  LOG(DEBUG) << ">> RomDownload::OnExecuted, url=" << url;
  CURL* handle = curl_.get();
  CURLcode rc = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (rc != CURLE_OK) return rc;
  httpCode_ = 0;
  discardBody_ = false;
  alreadyComplete_ = false;
  failCode_ = 0;
  written_ = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pauseApplied_ = false;
  }
  rc = curl_easy_perform(handle);
  if (rc != CURLE_OK) {
    // onHeader() refused the answer: report why rather than a write error.
    if (rc == CURLE_WRITE_ERROR && failCode_ != 0) return failCode_;
    return rc;
  }
  char* target = nullptr;
  rc = curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &target);
  if (rc != CURLE_OK) return rc;
  if (target == nullptr) {
    // A redirect status without a target carries no package.
    if (httpCode_ >= 300 && httpCode_ < 400) return CURLE_HTTP_RETURNED_ERROR;
    return CURLE_OK;
  }
  LOG(DEBUG) << "######################################";
  LOG(DEBUG) << ">> Redirected URL=" << target;
  if (++redirects_ > kMaxRedirects) {
    LOG(ERROR) << ">> RomDownload gives up after " << kMaxRedirects << " redirects";
    return CURLE_TOO_MANY_REDIRECTS;
  }
  SplitUrl parts;
  if (!split_redirect_url(target, &parts)) {
    LOG(ERROR) << ">> RomDownload cannot follow the redirect to " << target;
    return CURLE_URL_MALFORMAT;
  }
  driver_->url_record.reset(new URLWrapper{parts.scheme, parts.host, "", parts.path});
  outcome_ = Outcome::kRedirect;
  return CURLE_OK;
}

size_t RomDownload::onHeader(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* self = static_cast<RomDownload*>(userdata);
  size_t count = size * nmemb;
  std::string line(data, count);
  if (startsWithNoCase(line, "HTTP/")) {
    // A new response begins (after an interim 1xx, or the only one).
    std::vector<std::string> words = android::base::Split(android::base::Trim(line), " ");
    long code = 0;
    if (words.size() < 2 || !android::base::ParseInt(words[1], &code)) code = 0;
    self->httpCode_ = code;
    self->discardBody_ = false;
    self->alreadyComplete_ = false;
    self->contentRange_.clear();
    return count;
  }
  std::string text = android::base::Trim(line);
  if (!text.empty()) {
    if (startsWithNoCase(text, "Content-Range:")) self->contentRange_ = text.substr(14);
    return count;
  }
  return self->onHeadersEnd() ? count : 0;
}

bool RomDownload::onHeadersEnd() {
  long code = httpCode_;
  int64_t resume = progress ? progress->lastResume : 0;
  if (code >= 100 && code < 200) return true;
  if (code >= 300 && code < 400) {
    // Only the final answer's body belongs in the package.
    discardBody_ = true;
    return true;
  }
  if (code == 416) {
    if (resume > 0 && content_range_total(contentRange_) == resume) {
      LOG(INFO) << ">> RomDownload: all " << resume << " bytes are already here";
      alreadyComplete_ = true;
      discardBody_ = true;
      return true;
    }
    LOG(ERROR) << ">> RomDownload: range from " << resume << " refused, starting afresh";
    freshNext_ = true;
    failCode_ = CURLE_HTTP_RETURNED_ERROR;
    return false;
  }
  if (code >= 400) {
    LOG(ERROR) << ">> RomDownload: HTTP status " << code;
    failCode_ = CURLE_HTTP_RETURNED_ERROR;
    return false;
  }
  if (code == 206) {
    int64_t start = content_range_start(contentRange_);
    if (start == resume) return true;
    if (start != 0) {
      LOG(ERROR) << ">> RomDownload: range starts at " << start << ", not " << resume
                 << ", starting afresh";
      freshNext_ = true;
      failCode_ = CURLE_RANGE_ERROR;
      return false;
    }
  }
  // A whole body (200, or a range from byte 0): it replaces what the file holds.
  if (resume > 0) {
    LOG(INFO) << ">> RomDownload: the server sends the whole package, dropping " << resume
              << " bytes";
    truncateFile();
    if (failCode_ != 0) return false;
  }
  return true;
}

size_t RomDownload::writeBody(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* self = static_cast<RomDownload*>(userdata);
  size_t count = size * nmemb;
  if (self->discardBody_) return count;
  if (self->updateFile == nullptr) return 0;
  size_t done = fwrite(data, 1, count, self->updateFile);
  if (done != count) {
    PLOG(ERROR) << "cannot write " << UPDATE_PACKAGE_FILE;
    self->md5Length_ = -1;
    return done;
  }
  self->written_ += static_cast<int64_t>(count);
  if (self->md5Length_ >= 0) {
    MD5_Update(&self->md5_, data, count);
    self->md5Length_ += static_cast<int64_t>(count);
  }
  return count;
}

int RomDownload::xferinfo(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                          curl_off_t ulnow) {
  auto* p = static_cast<XferProgress*>(clientp);
  int result = reportProgress(p, dltotal, dlnow, ultotal, ulnow);
  // Pause and continue take effect here, on the transfer's own thread, after the
  // lines about the bytes that came before them. While paused, libcurl keeps
  // calling this about once a second, so a continue or a stop still gets through.
  if (p->event != nullptr) p->event->applyRequests();
  return result;
}

int RomDownload::reportProgress(XferProgress* p, curl_off_t, curl_off_t dlnow, curl_off_t,
                                curl_off_t) {
  int status = p->event != nullptr ? p->event->status() : STATUS_ROM_DOWNLOAD;
  // A status stream that failed a write has lost its reader: the front end is
  // gone and nobody can follow, pause or stop this download any more. End it as
  // a stop would; the bytes so far stay for the next attempt.
  FILE* stream = p->event != nullptr ? streamOf(p->event) : g_status_stream;
  if (stream != nullptr && ferror(stream)) {
    LOG(ERROR) << ">> RomDownload: the status stream is closed, download stopped";
    return kStopCode;
  }
  p->lastChunk = dlnow;
  if (p->lastSize == dlnow) return stopCode.load();
  int64_t abs = p->lastResume + dlnow;
  if (abs == p->fileTotalSize) {
    if (p->file != nullptr) fflush(p->file);
    return 0;
  }
  int64_t unit = p->fileTotalSize / 100;
  int32_t percent = unit == 0 ? 0 : static_cast<int32_t>(abs / unit);
  if (p->lastPercent < percent) {
    LOG(DEBUG) << "[xferinfo] " << status << ":p:" << percent;
    writeStatusLine(stream, "%d:%c:%d\n", status, 'p', percent);
    p->lastPercent = percent;
  }
  Clock::time_point now = Clock::now();
  double elapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - p->lastTick).count() / 1e9;
  if (elapsed >= 1.0) {
    int64_t grown = std::max<int64_t>(abs - p->lastSize, 0);
    unsigned long speed = static_cast<unsigned long>(grown / elapsed);
    writeStatusLine(stream, "%d:%c:%lu\n", status, 's', speed);
    p->lastTick = now;
    p->lastSize = abs;
  }
  return stopCode.load();
}

void RomDownload::applyRequests() {
  CURL* handle = curl_.get();
  // Only a final answer that feeds the package can be paused; until it has
  // begun, requests wait in the queue.
  if (handle == nullptr || discardBody_ || (httpCode_ != 200 && httpCode_ != 206)) return;
  std::deque<char> todo;
  bool reapply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    todo.swap(requests_);
    reapply = paused_ && !pauseApplied_;
    if (reapply) pauseApplied_ = true;
  }
  // The front end paused an earlier attempt and has not continued it since.
  if (reapply && curl_easy_pause(handle, CURLPAUSE_RECV) != CURLE_OK) {
    std::lock_guard<std::mutex> lock(mutex_);
    pauseApplied_ = false;
  }
  for (char request : todo) {
    bool pause = request == 'p';
    if (curl_easy_pause(handle, pause ? CURLPAUSE_RECV : CURLPAUSE_CONT) != CURLE_OK) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      paused_ = pause;
      pauseApplied_ = pause;
    }
    writeStatusLine(streamOf(this), "%d:%c:%c\n", status_, 'r', request);
  }
}

void RomDownload::releaseResource() {
  SecureEvent::releaseResource();
  if (updateFile != nullptr) {
    fflush(updateFile);
    fclose(updateFile);
    updateFile = nullptr;
  }
  progress.reset();
  stopCode = 0;
}

Handler RomDownload::handleCurlCode(CURLcode code) {
  if (outcome_ == Outcome::kRedirect && code == CURLE_OK) {
    // The followed target reports the outcome once, in the next turn of run().
    return [](DownloadStatus) { return true; };
  }
  zelstub(code);
  if (code == CURLE_OK || code == kStopCode) return cbmap_[code];
  LOG(DEBUG) << "######################################";
  LOG(ERROR) << "Unexception(" << code << ") occurred...retry the downloading";
  return [this, code](DownloadStatus status) {
    writeStatusLine(streamOf(this), "%d:%c:%d\n", status, 'f', code);
    outcome_ = Outcome::kRestart;
    return false;
  };
}

std::chrono::milliseconds backoff_delay(std::chrono::milliseconds cap, bool jitter,
                                        std::mt19937_64* random) {
  if (!jitter || cap.count() <= 0) return cap;
  // "Full jitter": a fleet that lost its mirror at the same moment must not come
  // back in the same second, so each device waits a uniform share of the cap.
  std::uniform_int_distribution<int64_t> pick(0, cap.count());
  return std::chrono::milliseconds(pick(*random));
}

bool backoff_jitter_enabled() {
  // Test-only: the fleet simulation compares the randomised schedule with the
  // fixed one. Read once; the choice holds for the whole process.
  static const bool enabled = [] {
    const char* text = getenv("NORVO_FIXED_BACKOFF");
    return text == nullptr || strcmp(text, "1") != 0;
  }();
  return enabled;
}

bool RomDownload::waitBackoff(std::chrono::milliseconds cap) {
  static std::mt19937_64 random{std::random_device{}()};
  std::chrono::milliseconds delay = backoff_delay(cap, backoff_jitter_enabled(), &random);
  LOG(INFO) << ">> RomDownload retries in " << delay.count() << " ms";
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, delay, [this] { return stopRequested_; });
}

void RomDownload::startListener() {
  if (listener_.joinable() || driver_ == nullptr || !driver_->fork_flag) return;
  FILE* commands = driver_->command_stream != nullptr ? driver_->command_stream : g_command_stream;
  if (commands == nullptr) return;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    PLOG(ERROR) << "cannot make the listener's wake-up pipe";
    return;
  }
  wakeRead_.reset(fds[0]);
  wakeWrite_.reset(fds[1]);
  commandFd_ = fileno(commands);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = false;
  }
  try {
    listener_ = std::thread(&RomDownload::listen, this);
  } catch (const std::system_error& error) {
    LOG(ERROR) << "cannot start the command listener: " << error.what();
  }
}

void RomDownload::stopListener() {
  if (listener_.joinable()) {
    char byte = 0;
    if (TEMP_FAILURE_RETRY(write(wakeWrite_.get(), &byte, 1)) != 1) {
      PLOG(ERROR) << "cannot wake the command listener";
    }
    listener_.join();
  }
  wakeRead_.reset();
  wakeWrite_.reset();
}

bool RomDownload::handleCommand(const std::string& line) {
  LOG(ERROR) << "---->receive command: " << line;
  char command = parse_command(line);
  if (command == 'c' || command == 'p') {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(command);
    return false;
  }
  if (command == 's') {
    stopCode = kStopCode;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopRequested_ = true;
    }
    wake_.notify_all();
    return true;
  }
  LOG(WARNING) << "RomDownload INVALID COMMAND: " << line;
  return false;
}

void RomDownload::listen() {
  // Only what startListener() set before the thread began: the transfer thread
  // keeps writing the event's other members.
  int fd = commandFd_;
  if (fd < 0) return;
  std::string pending;
  char buffer[1024];
  for (;;) {
    for (;;) {
      size_t end = pending.find('\n');
      std::string line;
      if (end != std::string::npos && end < kMaxCommandLine) {
        line = pending.substr(0, end);
        pending.erase(0, end + 1);
      } else if (pending.size() >= kMaxCommandLine) {
        line = pending.substr(0, kMaxCommandLine);
        pending.erase(0, kMaxCommandLine);
      } else {
        break;
      }
      if (handleCommand(line)) return;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      PLOG(ERROR) << "command listener";
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      // End of stream: a last line without a line feed still counts.
      if (!pending.empty()) handleCommand(pending);
      return;
    }
    pending.append(buffer, static_cast<size_t>(got));
  }
}

FILE* RomDownload::driverStream() const {
  return driver_ != nullptr ? driver_->status_stream : nullptr;
}
