#define LOG_TAG "ROMDOWNLOAD"

// The download event, read top to bottom: run() takes the lock and starts the
// listener; runAttempts() runs one Attempt after another (a restart after a
// failure, a redirect's target, the next mirror) with the waits between them;
// an attempt resolves the host (the base), opens the package file and performs
// the transfer, whose callbacks read the answer, write the body and report
// progress; the handler of its result checks a completed file or decides what
// the failure means for the next attempt.

#include "request/romdownload.h"

#include <android-base/logging.h>
#include <android-base/properties.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/tls_trust.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/payload_cipher.h"
#include "norvotools/norvo-zel/zelprotocal.h"
#include "request/download_task.h"

namespace {

using Clock = std::chrono::steady_clock;
using frontend_protocol::Line;
constexpr long kConnectTimeout = 30;

std::string hexDigest(const MD5_CTX& ctx) {
  MD5_CTX copy = ctx;
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5_Final(digest, &copy);
  return hex_string(digest, sizeof(digest));
}

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

RomDownload::RomDownload() {
  EventWrapper<RomDownload>::instance = this;
  InitCbmap();
}

RomDownload::~RomDownload() {
  listener_.stop();
  releaseResource();
  if (EventWrapper<RomDownload>::instance == this) EventWrapper<RomDownload>::instance = nullptr;
}

void RomDownload::run() {
  if (driver_ == nullptr || driver_->url_record == nullptr) {
    // Nothing to fetch: the ROM URL check found no package URL.
    LOG(ERROR) << ">> RomDownload has no package URL, nothing to download";
    writeStatus(Line::kNoPackageUrl, status_);
    return;
  }
  // One download per package: a second one would interleave its bytes with ours.
  package_ = std::make_unique<PackageFile>(plan_.package_path);
  PackageFile::LockResult locked = package_->lock();
  if (locked != PackageFile::LockResult::kLocked) {
    LOG(ERROR) << ">> RomDownload: "
               << (locked == PackageFile::LockResult::kBusy
                       ? "another download is writing " + package_->path()
                       : "cannot lock " + package_->lockPath());
    writeStatus(
        locked == PackageFile::LockResult::kBusy ? Line::kPackageBusy : Line::kPackageLockFailed,
        status_);
    return;
  }
  // Commands are obeyed from the first moment, name resolution included.
  if (driver_->fork_flag && driver_->command_stream != nullptr) {
    listener_.start(fileno(driver_->command_stream));
  }
  resolveNameAbortOn(listener_.stopFd());
  vouch_.load(plan_.key_store.c_str());
  Clock::time_point start = Clock::now();
  figures_ = DownloadFigures();
  // The cap from the first byte, as the front end set it before this stage.
  std::string capText = android::base::GetProperty(kRateCapProperty, "");
  uint64_t cap = 0;
  if (!parse_rate_cap_value(capText, &cap)) {
    LOG(WARNING) << ">> RomDownload: " << kRateCapProperty << " \"" << printable(capText)
                 << "\" is no speed cap (bytes per second); downloading without one";
    cap = 0;
  }
  pacer_.setCap(cap, start);
  figures_.cap = cap;
  if (cap != 0) LOG(INFO) << ">> RomDownload: speed cap " << cap << " bytes per second";
  runAttempts();
  figures_.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  resolveNameAbortOn(-1);
  listener_.stop();
  releaseResource();
  writeFigures();
}

void RomDownload::runAttempts() {
  identity_ = PackageIdentity();
  identity_.path = driver_->url_record->path;
  identity_.mirror = driver_->url_record->scheme + driver_->url_record->host;
  redirects_ = 0;
  freshNext_ = false;
  const URLWrapper& given = *driver_->url_record;
  mirrors_ = mirror_failover_order(plan_.mirrors(), given.scheme + given.host + given.path);
  mirror_ = 0;
  rotation_ = MirrorRotation(mirrors_.size());
  policies_.assign(mirrors_.size(), RetryPolicy(plan_.jitter, plan_.first_backoff));
  figures_.mirrors = {mirrors_.front().index};
  if (mirrors_.size() > 1) {
    LOG(INFO) << ">> RomDownload may fail over to " << mirrors_.size() - 1 << " more mirror(s)";
  }
  // Every restart and every redirect runs as the next turn of this loop rather
  // than nested inside the attempt before it; the status lines come in the
  // same order either way.
  for (;;) {
    attempt_.reset(new Attempt(*package_));
    startAttempt();
    const Attempt& ended = *attempt_;
    figures_.received += ended.written;
    Outcome outcome = ended.outcome;
    if (outcome != Outcome::kRedirect) redirects_ = 0;
    bool stop = listener_.stopRequested();
    if (outcome == Outcome::kNone && stop) {
      // Stopped while the name was being looked up: no transfer ran.
      LOG(ERROR) << " stop command during name resolution, download stopped";
      writeStatus(Line::kStopped, status_);
      figures_.final_code = kStopCode;
      break;
    }
    if (outcome != Outcome::kRestart && outcome != Outcome::kRedirect &&
        outcome != Outcome::kReshape) {
      break;
    }
    // What the wait needs of the attempt, before releaseResource() drops it.
    bool progressed = ended.written > 0;
    bool failover = ended.failover;
    int64_t retryAfterMs = ended.retryAfterMs;
    releaseResource();
    InitResource();
    if (failover) {
      nextMirror();
      // What the last mirror asked for is no word of this one.
      retryAfterMs = -1;
    }
    if (!stop && outcome == Outcome::kRestart) {
      std::chrono::milliseconds wait = retry().nextWait(progressed, retryAfterMs);
      LOG(INFO) << ">> RomDownload retries in " << wait.count() << " ms"
                << (retryAfterMs >= 0 ? ", as the server asked" : "");
      stop = !waitBeforeRetry(wait);
    }
    if (stop) {
      LOG(ERROR) << " stop command while waiting to retry, download stopped";
      writeStatus(Line::kStopped, status_);
      figures_.final_code = kStopCode;
      break;
    }
  }
}

void RomDownload::startAttempt() {
  LOG(INFO) << ">> RomDownload is running...";
  url_ = *driver_->url_record;
  LOG(INFO) << ">> RomDownload url " << printable(url_.scheme + url_.host + url_.path);
  fileTotalSize = plan_.file_size();
  expectedMd5_ = plan_.md5();
  identity_.size = fileTotalSize;
  identity_.md5 = expectedMd5_;
  bounds_ = record_size_bounds(fileTotalSize);
  resolveHost(url_, EventWrapper<RomDownload>::fake_callback);
}

int RomDownload::Executed(DownloadTask* driver) {
  driver_ = driver;
  // A stop that came while the name was looked up ends the task before it connects.
  if (stopCode.load() == kStopCode || listener_.stopRequested()) return kStopCode;
  int result = PreExecuted();
  if (result != 0) return result;
  return OnExecuted();
}

int RomDownload::PreExecuted() {
  LOG(DEBUG) << ">> RomDownload::PreExecuted, updatefile=" << package_->path();
  // Bytes worth keeping: of the same package, or found without a record when
  // the record's MD5 will judge them at the end (prepareFile decides the rest).
  PackageIdentity stored;
  bool known = package_->readIdentity(&stored);
  bool keep = !freshNext_ && (known ? identity_.samePackage(stored) || keepsAcrossMirrors(stored)
                                    : !expectedMd5_.empty());
  if (!package_->open(keep)) {
    failAttempt(CURLE_WRITE_ERROR, true);
    return CURLE_WRITE_ERROR;
  }
  updateFile = package_->stream();
  int64_t resume = 0;
  if (!prepareFile(&resume)) {
    failAttempt(CURLE_WRITE_ERROR, true);
    return CURLE_WRITE_ERROR;
  }
  // Before a request: room for the whole package, or no request at all.
  if (!ensureSpace(resume)) {
    endForLackOfSpace();
    return kCauseNoSpace;
  }

  // The bytes as the server stores them: a coded body would be written as the
  // package, and its ranges would not be the package's.
  Transfer::Request& request = attempt_->request;
  request.headers.push_back("Accept-Encoding: identity");
  // Only the bytes still missing, and only if they are still the same package;
  // the answer is checked in onHeader().
  if (resume > 0) {
    request.headers.push_back("Range: bytes=" + std::to_string(resume) + "-");
    if (!identity_.validator.empty()) request.headers.push_back("If-Range: " + identity_.validator);
  }
  // Packages are large: with libcurl's 16 KiB default a 256 MiB download took
  // about eight times the reads, polls and progress callbacks of 128 KiB ones.
  // Under a speed cap one read is a sixteenth of a second's worth at most, so
  // that the rate holds over short stretches too.
  request.buffer_size = attempt_->bufferSize = buffer_for_cap(pacer_.cap());
  request.connect_timeout = kConnectTimeout;
  request.low_speed_time = plan_.low_speed_time;
  request.wake_fd = listener_.commandFd();

  progress = &attempt_->progress;
  progress->fileTotalSize = static_cast<int64_t>(fileTotalSize);
  progress->lastTick = Clock::now();
  progress->lastResume = resume;
  progress->bodyKept = false;
  progress->file = updateFile;
  progress->status = statusStream();
  progress->event = this;
  return CURLE_OK;
}

bool RomDownload::prepareFile(int64_t* resume) {
  int64_t size = package_->size();
  if (size < 0) return false;
  PackageIdentity stored;
  bool known = package_->readIdentity(&stored);
  bool same = known && identity_.samePackage(stored);
  if (known && !same && !freshNext_ && keepsAcrossMirrors(stored)) {
    // An earlier mirror's bytes of this very package: the record's MD5 judges
    // them at the end, as it judges the rest. This mirror's own validator, once
    // it answers, is the only one that may vouch for them from now on.
    LOG(INFO) << ">> RomDownload keeps the " << size << " bytes from " << printable(stored.mirror)
              << " for the MD5 to judge";
    stored = identity_;
    stored.validator.clear();
    stored.total = -1;
    same = true;
    if (!package_->writeIdentity(stored)) return false;
  }
  // Bytes without a side file (left by an older agent, or copied in by a front
  // end) are kept when the record's MD5 will judge them at the end.
  bool unvouched = size > 0 && !known && !expectedMd5_.empty();
  if (unvouched) {
    LOG(INFO) << ">> RomDownload resumes " << size << " bytes found without a record; the MD5 "
              << "check at the end decides";
    stored = identity_;
    same = true;
    if (!package_->writeIdentity(stored)) return false;
  }
  if (size > 0 && same && !freshNext_ && !vouch_.active() && stored.validator.empty() &&
      expectedMd5_.empty()) {
    // No signature check will judge the result, the record has no MD5 and the
    // server gave no validator to ask If-Range with: appending could splice two
    // packages unnoticed.
    LOG(INFO) << ">> RomDownload: nothing vouches for the " << size
              << " bytes here (no key store, MD5 or validator), starting afresh";
    freshNext_ = true;
  }
  if (freshNext_ || (size > 0 && !same)) {
    if (size > 0) {
      LOG(INFO) << ">> RomDownload drops " << size << " bytes of "
                << (same ? "a package the server would not resume" : "another package");
    }
    if (!package_->truncate()) return false;
    size = 0;
    freshNext_ = false;
    digestLength_ = -1;
    stored = PackageIdentity();
    same = false;
  }
  if (!same) {
    // Remember which package these bytes belong to before the first one lands.
    stored = identity_;
    if (!package_->writeIdentity(stored)) return false;
  }
  identity_.validator = stored.validator;
  identity_.total = stored.total;
  if (digestLength_ != size) startDigests(size);
  *resume = size;
  return true;
}

bool RomDownload::keepsAcrossMirrors(const PackageIdentity& stored) const {
  return !stored.mirror.empty() && stored.mirror != identity_.mirror && !expectedMd5_.empty() &&
         stored.size == identity_.size && stored.md5 == expectedMd5_;
}

int RomDownload::OnExecuted() {
  std::string url = url_.scheme + url_.host + url_.path;
  LOG(DEBUG) << ">> RomDownload::OnExecuted, url=" << printable(url);
  attempt_->request.url = url;
  CURLcode rc = CURLE_OK;
  if ((rc = prepareTls()) != CURLE_OK) {
    // Without trust anchors no https mirror can ever be verified: waiting will not help.
    if (rc == CURLE_SSL_CACERT_BADFILE) attempt_->noRetry = true;
    return rc;
  }
  ++figures_.attempts;
  attempt_->transfer =
      makeTransfer_ ? makeTransfer_()
                    : std::make_unique<CurlTransfer>(curl_.get(), &headers_, error_buffer_.get());
  rc = noteTlsResult(attempt_->transfer->perform(attempt_->request, *this));
  if (attempt_->reshape && rc == CURLE_OK) {
    // Ended by us for a receive buffer that fits the new cap: the next request
    // goes on from the byte this one reached.
    LOG(INFO) << ">> RomDownload: going on with a new request for the new speed cap";
    attempt_->outcome = Outcome::kReshape;
    return CURLE_OK;
  }
  // A certificate that did not verify stays so however often we ask.
  if (tls::is_verification_failure(rc)) failAttempt(rc, true);
  if (rc != CURLE_OK) {
    // onHeader() or writeBody() refused the answer: report why rather than a write error.
    if (rc == CURLE_WRITE_ERROR && attempt_->failCode != 0) return attempt_->failCode;
    return rc;
  }
  std::string redirect;
  rc = attempt_->transfer->redirectTarget(&redirect);
  if (rc != CURLE_OK) return rc;
  const char* target = redirect.c_str();
  if (redirect.empty()) {
    // A redirect status without a target carries no package.
    if (attempt_->httpCode >= 300 && attempt_->httpCode < 400) {
      failAttempt(CURLE_HTTP_RETURNED_ERROR, true);
      return CURLE_HTTP_RETURNED_ERROR;
    }
    return CURLE_OK;
  }
  LOG(DEBUG) << "######################################";
  LOG(DEBUG) << ">> Redirected URL=" << printable(target);
  if (++redirects_ > kMaxRedirects) {
    LOG(ERROR) << ">> RomDownload gives up after " << kMaxRedirects << " redirects";
    return CURLE_TOO_MANY_REDIRECTS;
  }
  SplitUrl parts;
  if (!split_redirect_url(target, &parts)) {
    LOG(ERROR) << ">> RomDownload cannot follow the redirect to " << printable(target);
    failAttempt(kRedirectUnparsable, true);
    return kRedirectUnparsable;
  }
  if (!allowed_scheme(parts.scheme)) {
    // Only http and https: a redirect must never make us talk another protocol
    // to whatever port it names.
    LOG(ERROR) << ">> RomDownload refuses the redirect to " << printable(parts.scheme)
               << " (only http and https)";
    failAttempt(CURLE_UNSUPPORTED_PROTOCOL, true);
    return CURLE_UNSUPPORTED_PROTOCOL;
  }
  if (redirect_leaves_tls(url_.scheme, parts.scheme)) {
    // A package asked for over https must not go on in clear, where anyone on
    // the path could read or swap it: refused like another protocol.
    LOG(ERROR) << ">> RomDownload refuses the redirect from https to " << printable(target)
               << " (the package would travel in clear)";
    failAttempt(CURLE_UNSUPPORTED_PROTOCOL, true);
    return CURLE_UNSUPPORTED_PROTOCOL;
  }
  driver_->url_record.reset(new URLWrapper{parts.scheme, parts.host, "", parts.path});
  attempt_->outcome = Outcome::kRedirect;
  return CURLE_OK;
}

bool RomDownload::onWake(bool commands) {
  Attempt& attempt = *attempt_;
  if (commands) {
    // Requests that cannot apply yet (no package body has begun) stay queued
    // for the progress calls; the descriptor must not keep the wait awake.
    listener_.clearCommandFd();
    applyCaps();
    applyRequests();
  }
  if (attempt.capHeld && Clock::now() >= attempt.capResume) {
    attempt.capHeld = false;
    // The front end's own pause holds on; its continue releases the body then.
    // The piece the transfer kept is delivered from inside the call.
    if (!attempt.pauseApplied) attempt.transfer->pause(false);
  }
  // A new cap that wants a receive buffer of another size ends this request.
  return !attempt.reshape;
}

Transfer::Clock::time_point RomDownload::wakeBy() {
  // The body is held for the speed cap: wake when its turn comes.
  return attempt_->capHeld ? attempt_->capResume : Clock::time_point::max();
}

bool RomDownload::onHeader(const std::string& line) {
  Attempt& attempt = *attempt_;
  switch (attempt.head.add(line)) {
    case AnswerHead::Line::kStatus:
      // A new response begins (after an interim 1xx, or the only one).
      attempt.httpCode = attempt.head.facts().status;
      attempt.discardBody = false;
      return true;
    case AnswerHead::Line::kField:
      return true;
    case AnswerHead::Line::kEnd:
      break;
  }
  return onHeadersEnd();
}

bool RomDownload::onHeadersEnd() {
  Attempt& attempt = *attempt_;
  XferProgress& progress = attempt.progress;
  long code = attempt.httpCode;
  if (code >= 100 && code < 200) return true;
  if (code >= 300 && code < 400) {
    // Only the final answer's body belongs in the package.
    attempt.discardBody = true;
    return true;
  }
  const AnswerFacts& answer = attempt.head.facts();
  int64_t resume = progress.lastResume;
  AnswerDecision decision = decide_answer(answer, resume, identity_, bounds_);
  switch (decision.action) {
    case AnswerAction::kAlreadyComplete:
      LOG(INFO) << ">> RomDownload: all " << resume << " bytes are already here";
      if (figures_.resumed < 0) figures_.resumed = resume;
      attempt.discardBody = true;
      attempt.expectedTotal = decision.total;
      return true;
    case AnswerAction::kRestartFromZero:
      LOG(ERROR) << ">> RomDownload: HTTP " << code << " does not continue the " << resume
                 << " bytes here, starting afresh";
      freshNext_ = true;
      failAttempt(decision.code, false);
      return false;
    case AnswerAction::kFail:
      LOG(ERROR) << ">> RomDownload: HTTP status " << code << ", announced total " << decision.total
                 << (decision.permanent ? " (giving up soon)" : "");
      if ((code == 429 || code == 503) && !attempt.head.retryAfter().empty()) {
        int64_t seconds =
            parse_retry_after(attempt.head.retryAfter(), static_cast<int64_t>(time(nullptr)));
        // A value that cannot be read paces like "now": the floor of the
        // schedule, never an immediate retry.
        attempt.retryAfterMs = seconds >= 0 ? std::min<int64_t>(seconds, 3600) * 1000 : 0;
      }
      failAttempt(decision.code, decision.permanent);
      return false;
    case AnswerAction::kReplace:
      LOG(INFO) << ">> RomDownload: the server sends the whole package, dropping " << resume
                << " bytes";
      // The file is emptied before the side file names the new answer: a kill in
      // between leaves no bytes that the new validator would vouch for.
      if (!package_->truncate()) {
        failAttempt(CURLE_WRITE_ERROR, true);
        return false;
      }
      progress.lastResume = 0;
      progress.lastSize = 0;
      progress.lastPercent = 0;
      startDigests(0);
      // The truncation gave the reserved blocks back.
      if (!ensureSpace(0)) {
        endForLackOfSpace();
        failAttempt(kCauseNoSpace, true);
        return false;
      }
      break;
    case AnswerAction::kAppend:
      break;
  }
  attempt.expectedTotal = decision.total;
  if (figures_.resumed < 0) figures_.resumed = progress.lastResume;
  progress.bodyKept = true;
  // The bytes already on disk count from now on: say so before the rest arrives,
  // which may come whole in the next progress call.
  if (progress.lastResume > 0) reportProgress(&progress, 0, 0, 0, 0);
  attempt.limit = kMaxPackageBytes;
  if (decision.total >= 0) attempt.limit = std::min(attempt.limit, decision.total);
  if (bounds_.known()) attempt.limit = std::min(attempt.limit, bounds_.high);
  if (progress.lastResume == 0 || identity_.validator != answer.validator ||
      identity_.total != decision.total) {
    identity_.validator = answer.validator;
    identity_.total = decision.total;
    if (!package_->writeIdentity(identity_)) {
      failAttempt(CURLE_WRITE_ERROR, true);
      return false;
    }
  }
  return true;
}

Transfer::Events::Body RomDownload::onBody(const char* data, size_t count) {
  Attempt& attempt = *attempt_;
  if (attempt.discardBody) return Body::kTaken;
  if (updateFile == nullptr) return Body::kRefused;
  if (pacer_.cap() != 0) {
    // Each piece when its turn comes: until then the transfer keeps it and reads no more.
    Clock::time_point now = Clock::now(), due = pacer_.due(now);
    if (due > now) {
      attempt.capHeld = true;
      attempt.capResume = due;
      return Body::kHold;
    }
  }
  int64_t room = attempt.limit - attempt.progress.lastResume - attempt.written;
  size_t take = count;
  if (room < static_cast<int64_t>(count)) {
    // More than the answer announced, or than the record allows: keep the valid
    // prefix and fail the attempt.
    take = room > 0 ? static_cast<size_t>(room) : 0;
    LOG(ERROR) << ">> RomDownload: the body goes past " << attempt.limit << " bytes";
    failAttempt(CURLE_FILESIZE_EXCEEDED, true);
  }
  size_t done = fwrite(data, 1, take, updateFile);
  attempt.written += static_cast<int64_t>(done);
  pacer_.took(done, Clock::now());
  if (digestLength_ >= 0 && done > 0) {
    // The hashing thread reads these bytes back from the file: they must be there.
    if (fflush(updateFile) == 0) {
      hasher_.advance(done, [this] { return stopped(); });
      digestLength_ += static_cast<int64_t>(done);
    } else {
      digestLength_ = -1;
    }
  }
  if (done != take) {
    PLOG(ERROR) << "cannot write " << package_->path();
    failAttempt(CURLE_WRITE_ERROR, true);
    return Body::kRefused;
  }
  return take == count ? Body::kTaken : Body::kRefused;
}

int RomDownload::onProgress(int64_t received) {
  return xferinfo(progress, 0, static_cast<curl_off_t>(received), 0, 0);
}

int RomDownload::xferinfo(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                          curl_off_t ulnow) {
  auto* p = static_cast<XferProgress*>(clientp);
  int result = reportProgress(p, dltotal, dlnow, ultotal, ulnow);
  // Pause and continue take effect here, on the transfer's own thread, after the
  // lines about the bytes that came before them. While paused, libcurl keeps
  // calling this about once a second, so a continue or a stop still gets through.
  if (p->event != nullptr) {
    p->event->applyCaps();
    p->event->applyRequests();
  }
  return result;
}

int RomDownload::reportProgress(XferProgress* p, curl_off_t, curl_off_t dlnow, curl_off_t,
                                curl_off_t) {
  int status = p->event != nullptr ? p->event->status() : STATUS_ROM_DOWNLOAD;
  // A status stream that failed a write has lost its reader: the front end is
  // gone and nobody can follow, pause or stop this download any more. End it as
  // a stop would; the bytes so far stay for the next attempt.
  FILE* stream = p->status;
  if (frontend_protocol::StreamLost(stream)) {
    LOG(ERROR) << ">> RomDownload: the status stream is closed, download stopped";
    return kStopCode;
  }
  p->lastChunk = dlnow;
  int64_t abs = p->lastResume + dlnow;
  // Nothing new since the last report. Compared as absolute sizes: a transfer that
  // resumes bytes already on disk reports them at its first call once the answer
  // continues them, before the rest (which may all come in one call) completes the file.
  if (!p->bodyKept || p->lastSize == abs) return stopCode.load();
  if (abs == p->fileTotalSize) {
    if (p->file != nullptr) fflush(p->file);
    return 0;
  }
  int64_t unit = p->fileTotalSize / 100;
  int32_t percent = unit == 0 ? 0 : static_cast<int32_t>(abs / unit);
  if (p->lastPercent < percent) {
    LOG(DEBUG) << "[xferinfo] " << status << ":p:" << percent;
    frontend_protocol::Emit(stream, Line::kProgress, status, percent);
    p->lastPercent = percent;
  }
  Clock::time_point now = Clock::now();
  double elapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - p->lastTick).count() / 1e9;
  if (elapsed >= 1.0) {
    int64_t grown = std::max<int64_t>(abs - p->lastSize, 0);
    unsigned long speed = static_cast<unsigned long>(grown / elapsed);
    frontend_protocol::Emit(stream, Line::kSpeed, status, static_cast<long long>(speed));
    p->lastTick = now;
    p->lastSize = abs;
  }
  return stopCode.load();
}

void RomDownload::applyRequests() {
  // Only a final answer that feeds the package can be paused; until it has
  // begun, requests wait in the queue.
  Attempt& attempt = *attempt_;
  if (attempt.transfer == nullptr || attempt.discardBody ||
      (attempt.httpCode != 200 && attempt.httpCode != 206)) {
    return;
  }
  // The front end paused an earlier attempt and has not continued it since.
  if (paused_ && !attempt.pauseApplied) {
    attempt.pauseApplied = attempt.transfer->pause(true);
  }
  std::deque<char> requests = listener_.takeRequests();
  if (!requests.empty() && listener_.stopRequested()) {
    // A stop ends the transfer anyway: pausing or continuing it first, and
    // answering for it, would only hold the stop's own line.
    LOG(INFO) << ">> RomDownload drops " << requests.size() << " pause/continue request(s) "
              << "made moot by a stop";
    return;
  }
  for (char request : requests) {
    bool pause = request == 'p';
    if (!attempt.transfer->pause(pause)) continue;
    paused_ = pause;
    attempt.pauseApplied = pause;
    writeStatus(pause ? Line::kPaused : Line::kContinued, status_);
    // A stop that came while the replies were written ends them here.
    if (listener_.stopRequested()) break;
  }
}

void RomDownload::applyCaps() {
  std::deque<CapRequest> requests = listener_.takeCapRequests();
  for (const CapRequest& request : requests) {
    if (request.readable) {
      setRateCap(request.cap);
    } else {
      LOG(WARNING) << "RomDownload INVALID SPEED CAP: " << printable(request.line)
                   << " (the cap stays " << pacer_.cap() << " bytes per second)";
    }
    writeStatus(Line::kRateCap, status_, static_cast<long long>(pacer_.cap()));
  }
}

void RomDownload::setRateCap(uint64_t cap) {
  if (cap == pacer_.cap()) return;
  LOG(INFO) << ">> RomDownload: speed cap "
            << (cap == 0 ? std::string("lifted") : std::to_string(cap) + " bytes per second");
  pacer_.setCap(cap, Clock::now());
  figures_.cap = cap;
  figures_.cap_changed = true;
  if (attempt_ == nullptr) return;
  // A body held for the old cap goes on by the new one at the next wake.
  if (attempt_->capHeld) attempt_->capResume = pacer_.due(Clock::now());
  // A receive buffer far from what the new cap wants (much larger under a low
  // cap: bursts; much smaller without: many small reads) is replaced by a new
  // request from the byte the transfer reached.
  long wanted = buffer_for_cap(cap);
  if (attempt_->bufferSize > 0 &&
      (attempt_->bufferSize > 2 * wanted || wanted > 4 * attempt_->bufferSize)) {
    attempt_->reshape = true;
  }
}

bool RomDownload::waitBeforeRetry(std::chrono::milliseconds wait) {
  Clock::time_point until = Clock::now() + wait;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return !listener_.stopRequested();
    switch (listener_.waitForStopOrCap(left)) {
      case CommandListener::Wake::kStop:
        return false;
      case CommandListener::Wake::kCap:
        applyCaps();  // answered now, in force from the next attempt on
        break;
      case CommandListener::Wake::kTimeout:
        return !listener_.stopRequested();
    }
  }
}

Handler RomDownload::handleCurlCode(CURLcode code) {
  if (attempt_->outcome == Outcome::kReshape) {
    // Not an end of any kind: the next turn of the loop goes on.
    return [](DownloadStatus) { return true; };
  }
  if (attempt_->outcome == Outcome::kFailed) {
    // The attempt already wrote the line that ends the task.
    zelstub(code);
    return [](DownloadStatus) { return false; };
  }
  if (attempt_->outcome == Outcome::kRedirect && code == CURLE_OK) {
    // The followed target reports the outcome once, in the next turn of run().
    return [](DownloadStatus) { return true; };
  }
  zelstub(code);
  if (code == CURLE_OK || code == kStopCode) return cbmap_[code];
  LOG(DEBUG) << "######################################";
  LOG(ERROR) << "Unexception(" << code << ") occurred...retry the downloading";
  return [this, code](DownloadStatus status) {
    reportFailure(status, code);
    return false;
  };
}

void RomDownload::InitCbmap() {
  SecureEvent::InitCbmap();
  cbmap_[CURLE_OK] = [this](DownloadStatus status) {
    // The transfer has just ended: what follows until 3:c: is the checks' cost.
    Clock::time_point lastByte = Clock::now();
    Attempt& attempt = *attempt_;
    XferProgress* p = &attempt.progress;
    // The bytes that reached the file; dlnow also counts discarded bodies.
    p->lastChunk = attempt.written;
    LOG(DEBUG) << "[CURLE_OK] lastsize=" << p->lastSize << ", lastresume=" << p->lastResume
               << ", lastchunk=" << p->lastChunk << ", filetotalsize=" << fileTotalSize;
    p->lastSize = p->lastChunk + p->lastResume;
    LOG(INFO) << ">> Totally " << p->lastSize << " bytes downloaded";
    if (updateFile != nullptr) fflush(updateFile);
    if (p->lastSize == 0) {
      writeStatus(Line::kNothingReceived, status);
      attempt.outcome = Outcome::kFailed;
      figures_.final_code = CURLE_GOT_NOTHING;
      return false;
    }
    if (!checkComplete(status) || !checkSignature(status)) return false;
    auto checks = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - lastByte);
    LOG(INFO) << ">> RomDownload: " << checks.count() / 1000 << "." << checks.count() % 1000 / 100
              << " ms from the last byte to the complete line";
    writeStatus(Line::kComplete, status);
    attempt.outcome = Outcome::kComplete;
    figures_.final_code = 0;
    figures_.served = true;
    figures_.serving = mirrors_.empty() ? -1 : mirrors_[mirror_].index;
    if (next_ != nullptr) {
      next_->run();
    } else {
      LOG(INFO) << status << " is the last task, byebye";
    }
    return true;
  };
  cbmap_[kStopCode] = [this](DownloadStatus status) {
    LOG(ERROR) << " CURLE_ABORTED_BY_CALLBACK lead to download stopped";
    writeStatus(Line::kStopped, status);
    attempt_->outcome = Outcome::kStopped;
    figures_.final_code = kStopCode;
    return false;
  };
}

bool RomDownload::checkComplete(DownloadStatus status) {
  int64_t size = package_->size();
  int64_t expected = attempt_->expectedTotal;
  int code = 0;
  if (size < 0) {
    code = CURLE_WRITE_ERROR;
  } else if (expected >= 0 && size < expected) {
    // The answer ended early without an error: fetch the rest.
    LOG(ERROR) << ">> RomDownload: " << size << " of " << expected << " bytes";
    failAttempt(CURLE_PARTIAL_FILE, false);
    reportFailure(status, CURLE_PARTIAL_FILE);
    return false;
  } else if ((expected >= 0 && size != expected) || !bounds_.contains(size)) {
    LOG(ERROR) << ">> RomDownload: the package holds " << size << " bytes; the answer announced "
               << expected << " and the record " << fileTotalSize;
    code = size > bounds_.high ? CURLE_FILESIZE_EXCEEDED : CURLE_PARTIAL_FILE;
  } else if (!expectedMd5_.empty()) {
    std::string actual;
    if (digestsCover(size) && hasher_.md5()) {
      actual = hasher_.md5Hex();
    } else {
      // The digests missed some bytes (a stop while the queue was full, a read
      // that failed): the file is hashed once more.
      MD5_CTX ctx;
      Clock::time_point start = Clock::now();
      if (package_->hashPrefix(size, &ctx)) actual = hexDigest(ctx);
      LOG(INFO) << ">> RomDownload: MD5 of the whole file read again in " << msSince(start)
                << " ms, " << size << " bytes read at the end";
    }
    if (actual != expectedMd5_) {
      LOG(ERROR) << ">> RomDownload checksum mismatch: expected " << expectedMd5_ << ", got "
                 << actual;
      code = kChecksumMismatch;
    }
  }
  if (code == 0) return true;
  // A wrong checksum may be a corrupted transfer; a wrong size is the server's.
  dropCorrupt(status, code, code != kChecksumMismatch);
  return false;
}

bool RomDownload::checkSignature(DownloadStatus status) {
  if (!vouch_.active() || updateFile == nullptr) return true;
  // Nobody else vouches for bytes that came without an MD5 or a validator, and
  // even with both a mirror may serve a forgery: "complete" means signed.
  Clock::time_point start = Clock::now();
  int64_t size = package_->size();
  int64_t readAtEnd = 0;
  package_verify::Status result;
  if (size >= 0 && digestsCover(size) && hasher_.signature()) {
    // The digest went along with the transfer: one public-key operation is left.
    result = hasher_.verify(vouch_.keys(), nullptr);
  } else {
    readAtEnd = size;
    result = vouch_.check(fileno(updateFile));
  }
  // Its cost, and what it read of the file at the end, are logged for the benchmark.
  long ms = msSince(start);
  if (result.ok()) {
    LOG(INFO) << ">> RomDownload: package signature verified in " << ms << " ms, " << readAtEnd
              << " bytes read at the end";
    return true;
  }
  LOG(ERROR) << ">> RomDownload: package rejected: " << package_verify::ResultText(result.code)
             << ": " << result.reason;
  dropCorrupt(status, kSignatureMismatch, false);
  return false;
}

void RomDownload::dropCorrupt(DownloadStatus status, int code, bool permanent) {
  // A package that does not match its record or its signature is useless to the
  // installer: drop it so that the next attempt starts from byte 0.
  package_->remove();
  updateFile = nullptr;
  attempt_->progress.file = nullptr;
  digestLength_ = -1;
  // Nor may the hashing keep the removed file (and its room) alive until the next attempt.
  hasher_.restart(-1, 0, false, false);
  zelstub(static_cast<CURLcode>(code));
  failAttempt(code, permanent);
  reportFailure(status, code);
}

bool RomDownload::ensureSpace(int64_t size) {
  if (!bounds_.known()) return true;  // no size in the record: nothing to compare
  // The record's size is rounded text: its upper bound, until an answer told the
  // exact size.
  int64_t total = identity_.total >= 0 ? identity_.total : bounds_.high;
  int64_t free = 0, held = 0;
  if (!package_->space(&free, &held)) {
    PLOG(WARNING) << ">> RomDownload: cannot tell the free space of " << package_->path();
    return true;
  }
  int64_t needed = std::max<int64_t>(0, total - std::max(size, held));
  if (figures_.space_needed < 0) {
    figures_.space_needed = needed;
    figures_.space_free = free;
  }
  if (needed > free) {
    LOG(ERROR) << ">> RomDownload: the package needs " << needed << " bytes more, "
               << package_->path() << " has " << free << " bytes free";
    figures_.space_needed = needed;
    figures_.space_free = free;
    return false;
  }
  int err = package_->reserve(total);
  if (err == ENOSPC) {
    LOG(ERROR) << ">> RomDownload: the room for " << total << " bytes could not be reserved ("
               << strerror(err) << "); " << free << " bytes were free";
    figures_.space_needed = needed;
    figures_.space_free = free;
    return false;
  }
  if (err != 0 && !reserveRefused_) {
    reserveRefused_ = true;
    LOG(INFO) << ">> RomDownload: the file system does not reserve room (" << strerror(err)
              << "); going on without";
  }
  return true;
}

void RomDownload::endForLackOfSpace() {
  writeStatus(Line::kNoSpace, status_);
  attempt_->outcome = Outcome::kFailed;
  figures_.final_code = kCauseNoSpace;
}

void RomDownload::startDigests(int64_t size) {
  digestLength_ = -1;
  prefixReported_ = false;
  if (expectedMd5_.empty() && !vouch_.active()) return;
  if (updateFile == nullptr || fflush(updateFile) != 0) return;
  if (hasher_.restart(fileno(updateFile), size, !expectedMd5_.empty(), vouch_.active())) {
    digestLength_ = size;
  }
}

bool RomDownload::digestsCover(int64_t size) {
  if (digestLength_ != size || !hasher_.drain([this] { return stopped(); })) return false;
  if (hasher_.length() != size) return false;
  if (hasher_.resumedBytes() > 0 && !prefixReported_) {
    prefixReported_ = true;
    LOG(INFO) << ">> RomDownload: the digests read the " << hasher_.resumedBytes()
              << " bytes that were already here once, at the start";
  }
  return true;
}

bool RomDownload::stopped() const {
  return stopCode.load() == kStopCode || listener_.stopRequested();
}

void RomDownload::failAttempt(int code, bool permanent) {
  attempt_->failCode = code;
  attempt_->permanent = permanent;
}

void RomDownload::reportFailure(DownloadStatus status, int code) {
  // 3:f:52 ends the task (a transfer that brought nothing into the file); an
  // attempt whose server closed without any answer is a failed receive, retried.
  if (code == CURLE_GOT_NOTHING) code = CURLE_RECV_ERROR;
  Attempt& attempt = *attempt_;
  bool give_up = attempt.noRetry ||
                 retry().giveUpAfter(attempt.permanent,
                                     code == kChecksumMismatch || code == kSignatureMismatch);
  MirrorRotation::Next next = rotation_.afterFailure(attempt.written > 0, give_up);
  if (next == MirrorRotation::Next::kMove) {
    // Another mirror may well serve what this one cannot: the task goes on
    // there. The line is this attempt's own retry line; the mirror line follows.
    bool answered = attempt.httpCode != 0 || attempt.written > 0;
    LOG(ERROR) << ">> RomDownload leaves mirror " << mirrors_[mirror_].index << " ("
               << printable(mirrors_[mirror_].url()) << ") after failure " << code
               << (give_up ? ""
                           : ", " + std::to_string(rotation_.fruitless()) +
                                 " attempts in a row brought no new byte" +
                                 (is_unanswered_failure(code, answered) ? " (no answer)" : ""));
    writeFailure(status, code);
    ++figures_.retries[code];
    attempt.failover = true;
    attempt.outcome = Outcome::kRestart;
    return;
  }
  if (give_up) {
    LOG(ERROR) << ">> RomDownload gives up after failure " << code
               << (mirrors_.size() > 1 ? ", every mirror failed" : "");
    writeStatus(frontend_protocol::FinalLine(code), status,
                frontend_protocol::kFinalCodeBase + code);
    attempt.outcome = Outcome::kFailed;
    figures_.final_code = frontend_protocol::kFinalCodeBase + code;
    return;
  }
  writeFailure(status, code);
  ++figures_.retries[code];
  attempt.outcome = Outcome::kRestart;
}

void RomDownload::nextMirror() {
  mirror_ = rotation_.move();
  const RomMirror& next = mirrors_[mirror_];
  driver_->url_record.reset(new URLWrapper{next.parts[0], next.parts[1], "", next.parts[2]});
  // A validator, and the request path, belong to the mirror that answered; the
  // package's own identity (size and MD5) is all that carries over.
  identity_.path = next.parts[2];
  identity_.mirror = next.parts[0] + next.parts[1];
  identity_.validator.clear();
  identity_.total = -1;
  if (expectedMd5_.empty()) {
    // Nothing but an MD5 could tell whether the next mirror's bytes continue
    // these: start over there.
    freshNext_ = true;
  }
  // A mirror's first visit is paced afresh: the last mirror's failures are no
  // word of this one. When the download comes round to a mirror again, its own
  // pacing goes on growing where it stopped, so a fleet whose every mirror fails
  // does not come back ever faster.
  redirects_ = 0;
  if (figures_.mirrors.size() < kMaxFigureMirrors) figures_.mirrors.push_back(next.index);
  LOG(INFO) << ">> RomDownload goes on from mirror " << next.index << " (" << printable(next.url())
            << ")" << (rotation_.firstVisit() ? "" : ", once more");
  writeStatus(Line::kMirrorChanged, status_, next.index);
}

void RomDownload::releaseResource() {
  SecureEvent::releaseResource();
  // The attempt's end: its stream closes, its counters and answer go.
  attempt_.reset();
  updateFile = nullptr;
  progress = nullptr;
  // Only the running transfer's stop: the listener keeps a stop for the task.
  stopCode = 0;
}

void RomDownload::writeFigures() {
  figures_.package_size = fileTotalSize;
  LOG(INFO) << ">> RomDownload figures: " << figures_.received << " bytes received, "
            << std::max<int64_t>(figures_.resumed, 0) << " resumed, " << figures_.attempts
            << " attempts, " << figures_.duration.count() << " ms, final " << figures_.final_code;
  norvozel::zel_write_data(figures_.record());
}
