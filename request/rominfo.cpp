#define LOG_TAG "ROMINFO"

#include "request/rominfo.h"

#include <android-base/logging.h>

#include <algorithm>
#include <map>

#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-update/dir2url.h"
#include "norvotools/norvo-zel/zelprotocal.h"
#include "request/download_task.h"

RomInfo::RomInfo() {
  EventWrapper<RomInfo>::instance = this;
  RomInfo::InitCbmap();
}

RomInfo::~RomInfo() {
  if (EventWrapper<RomInfo>::instance == this) EventWrapper<RomInfo>::instance = nullptr;
}

void RomInfo::InitCbmap() {
  SecureEvent::InitCbmap();
  cbmap_[CURLE_OK] = [this](DownloadStatus status) {
    // No line feed: in the first stage this is the last line, ended by the end of the stream.
    bool offered = driver_ != nullptr && driver_->rom_state == 0;
    writeStatus(
        offered ? frontend_protocol::Line::kRomOffered : frontend_protocol::Line::kNoRomOffered,
        status);
    runNext();
    return true;
  };
}

void RomInfo::run() {
  LOG(INFO) << ">> RomInfo is running...";
  mirrors_ = rom_mirror_urls();
  if (mirrors_.empty()) {
    LOG(INFO) << ">> RomInfo has no url info!! End the RomInfo";
    cbmap_[CURLE_OK](STATUS_ROM_INFO);
    return;
  }
  norvozel::zel_write_data({});
  if (driver_ != nullptr && driver_->rom_state == 2) {
    // Nothing is on offer: the URL is an older record's, which its mirror may
    // long have dropped. Asking for it could only turn "nothing new" into an
    // error for the user, so the check is not made.
    const std::vector<std::string>& parts = mirrors_.front().parts;
    url_ = URLWrapper{parts[0], parts[1], "", parts[2]};
    driver_->url_record = std::make_unique<URLWrapper>(url_);
    LOG(INFO) << ">> RomInfo: no ROM on offer, the package URL is not checked";
    cbmap_[CURLE_OK](STATUS_ROM_INFO);
    return;
  }
  deadline_ = Clock::now() + kUrlCheckBudget;
  // The first mirror that answers becomes the URL record; a mirror that answers
  // with an HTTP error or cannot be reached gives way to the next one.
  for (current_ = 0; current_ < mirrors_.size(); ++current_) {
    if (current_ > 0) {
      releaseResource();
      InitResource();
    }
    moreToTry_ = current_ + 1 < mirrors_.size();
    skipped_ = false;
    checkMirror(current_);
    if (!skipped_) return;  // it answered, or its failure ended the check
    if (Clock::now() >= deadline_) {
      for (size_t rest = current_ + 1; rest < mirrors_.size(); ++rest) {
        LOG(WARNING) << ">> RomInfo skips mirror " << mirrors_[rest].index << " ("
                     << printable(mirrors_[rest].url()) << "): the check's "
                     << kUrlCheckBudget.count() / 1000 << " s are spent";
      }
      // The last failure ends the check; its line was held back for the next mirror.
      auto found = cbmap_.find(lastCode_);
      (found != cbmap_.end() ? found->second : defaultHandler(lastCode_))(status_);
      return;
    }
  }
}

void RomInfo::checkMirror(size_t at) {
  const std::vector<std::string>& parts = mirrors_[at].parts;
  URLWrapper url{parts[0], parts[1], "", parts[2]};
  LOG(DEBUG) << "RomInfo url " << printable(url.scheme) << " " << printable(url.host) << " "
             << printable(url.path);
  url_ = url;
  if (driver_ != nullptr) driver_->url_record = std::make_unique<URLWrapper>(url_);
  resolveHost(url_, EventWrapper<RomInfo>::fake_callback);
}

Handler RomInfo::handleCurlCode(CURLcode code) {
  if (code == CURLE_OK || !moreToTry_ || Clock::now() >= deadline_) {
    if (code != CURLE_OK && mirrors_.size() > 1) {
      LOG(ERROR) << ">> RomInfo: every mirror failed the check, the last with " << code;
    }
    return SecureEvent::handleCurlCode(code);
  }
  zelstub(code);
  skipped_ = true;
  lastCode_ = code;
  const RomMirror& mirror = mirrors_[current_];
  return [mirror, code](DownloadStatus) {
    LOG(WARNING) << ">> RomInfo skips mirror " << mirror.index << " (" << printable(mirror.url())
                 << "): "
                 << (code == CURLE_HTTP_RETURNED_ERROR ? "HTTP error" : curl_easy_strerror(code))
                 << " (" << code << ")";
    return false;
  };
}

int RomInfo::PreExecuted() {
  LOG(DEBUG) << ">> RomInfo::PreExecuted";
  appendRequestHeaders();
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
  // The lookup may have used up what was left of the check's time.
  if (left.count() <= 0) return CURLE_OPERATION_TIMEDOUT;
  CurlOptions options(curl_.get());
  // The check's own limit (per mirror, within what is left of the whole check)
  // replaces the first stage's time-out: libcurl keeps the value set last.
  return firstStageOptions(options)
      .set(CURLOPT_NOBODY, 1L)
      .set(CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(left, kUrlCheckPerMirror).count()))
      // A package URL that answers 404 or 500 cannot be downloaded: say so now
      // (2:f:22) rather than offer the ROM and let the download fail.
      .set(CURLOPT_FAILONERROR, 1L)
      .result();
}

int RomInfo::OnExecuted() {
  LOG(DEBUG) << ">> RomInfo::OnExecuted, url=" << printable(url_.url());
  return performTransfer();
}

int RomInfo::PostExecuted() {
  LOG(DEBUG) << ">> RomInfo::PostExecuted";
  return SecureEvent::PostExecuted();
}
