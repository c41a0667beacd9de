#define LOG_TAG "ROMINFO"

#include "request/rominfo.h"

#include <android-base/logging.h>

#include <map>

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
    if (next_ != nullptr) {
      next_->run();
    } else {
      LOG(INFO) << "this is the last task, byebye";
    }
    return true;
  };
}

void RomInfo::run() {
  LOG(INFO) << ">> RomInfo is running...";
  std::vector<std::string> parts = handle_rom_to_url(0);
  if (parts.size() != 3) {
    LOG(INFO) << ">> RomInfo has no url info!! End the RomInfo";
    cbmap_[CURLE_OK](STATUS_ROM_INFO);
    return;
  }
  URLWrapper url{parts[0], parts[1], "", parts[2]};
  LOG(DEBUG) << "RomInfo url " << url.scheme << " " << url.host << " " << url.path;
  norvozel::zel_write_data({});
  url_ = url;
  if (driver_ != nullptr) driver_->url_record = std::make_unique<URLWrapper>(url_);
  if (driver_ != nullptr && driver_->rom_state == 2) {
    // Nothing is on offer: the URL is an older record's, which its mirror may
    // long have dropped. Asking for it could only turn "nothing new" into an
    // error for the user, so the check is not made.
    LOG(INFO) << ">> RomInfo: no ROM on offer, the package URL is not checked";
    cbmap_[CURLE_OK](STATUS_ROM_INFO);
    return;
  }
  resolveHost(url_, EventWrapper<RomInfo>::fake_callback);
}

int RomInfo::PreExecuted() {
  LOG(DEBUG) << ">> RomInfo::PreExecuted";
  appendRequestHeaders();
  return CurlOptions(curl_.get())
      .set(CURLOPT_HTTPHEADER, headers_.get())
      .set(CURLOPT_ERRORBUFFER, error_buffer_.get())
      .set(CURLOPT_NOBODY, 1L)
      .set(CURLOPT_TIMEOUT, 5L)
      // A package URL that answers 404 or 500 cannot be downloaded: say so now
      // (2:f:22) rather than offer the ROM and let the download fail.
      .set(CURLOPT_FAILONERROR, 1L)
      .set(CURLOPT_VERBOSE, 1L)
      .result();
}

int RomInfo::OnExecuted() {
  LOG(DEBUG) << ">> RomInfo::OnExecuted, url=" << url_.url();
  return performTransfer();
}

int RomInfo::PostExecuted() {
  LOG(DEBUG) << ">> RomInfo::PostExecuted";
  return SecureEvent::PostExecuted();
}
