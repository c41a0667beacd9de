#include "request/curl_transfer.h"

#include <algorithm>

#include "request/command_listener.h"

namespace {

using Clock = Transfer::Clock;

}  // namespace

CurlTransfer::CurlTransfer(CURL* handle, CurlSlist* headers, char* error_buffer)
    : handle_(handle), headers_(headers), error_buffer_(error_buffer) {}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* self = static_cast<CurlTransfer*>(userdata);
  size_t count = size * nmemb;
  return self->events_->onHeader(std::string(data, count)) ? count : 0;
}

size_t CurlTransfer::onBody(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* self = static_cast<CurlTransfer*>(userdata);
  size_t count = size * nmemb;
  switch (self->events_->onBody(data, count)) {
    case Events::Body::kTaken:
      return count;
    case Events::Body::kHold:
      // libcurl keeps the piece, reads no more and offers it again once continued.
      return CURL_WRITEFUNC_PAUSE;
    case Events::Body::kRefused:
      break;
  }
  return 0;
}

int CurlTransfer::onProgress(void* clientp, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t) {
  return static_cast<CurlTransfer*>(clientp)->events_->onProgress(static_cast<int64_t>(dlnow));
}

CURLcode CurlTransfer::perform(const Request& request, Events& events) {
  if (handle_ == nullptr) return CURLE_FAILED_INIT;
  events_ = &events;
  for (const std::string& line : request.headers) AppendHeader(*headers_, line);
  CurlOptions options(handle_);
  options.set(CURLOPT_ERRORBUFFER, error_buffer_)
      .set(CURLOPT_HTTPHEADER, headers_->get())
      .set(CURLOPT_HEADER, 0L)
      .set(CURLOPT_TCP_KEEPALIVE, 1L)
      .set(CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody)
      .set(CURLOPT_WRITEDATA, this)
      .set(CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader)
      .set(CURLOPT_HEADERDATA, this)
      .set(CURLOPT_NOSIGNAL, 1L)
      .set(CURLOPT_BUFFERSIZE, request.buffer_size)
      // A dead connection must not hang the download for ever.
      .set(CURLOPT_CONNECTTIMEOUT, request.connect_timeout)
      .set(CURLOPT_LOW_SPEED_LIMIT, 1L)
      .set(CURLOPT_LOW_SPEED_TIME, request.low_speed_time)
      .set(CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress)
      .set(CURLOPT_XFERINFODATA, this)
      .set(CURLOPT_NOPROGRESS, 0L)
      .set(CURLOPT_URL, request.url.c_str());
  if (!options.ok()) return options.result();

  // The transfer runs on this thread as curl_easy_perform would, but its wait
  // also watches the command descriptor, so that a command takes effect at once
  // instead of at libcurl's next progress call (about once a second while paused).
  CurlMulti multi(curl_multi_init());
  if (multi == nullptr || curl_multi_add_handle(multi.get(), handle_) != CURLM_OK) {
    return CURLE_OUT_OF_MEMORY;
  }
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
    if (running == 0) {
      int left = 0;
      CURLMsg* msg = curl_multi_info_read(multi.get(), &left);
      result = msg != nullptr && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_GOT_NOTHING;
      break;
    }
    if (stopCode.load() == kStopCode) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_waitfd extra[1];
    unsigned count = 0;
    if (request.wake_fd >= 0) extra[count++] = {request.wake_fd, CURL_WAIT_POLLIN, 0};
    int timeout_ms = 1000;
    Clock::time_point by = events.wakeBy();
    if (by != Clock::time_point::max()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(by - Clock::now());
      timeout_ms = static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, 1000));
    }
    if (curl_multi_poll(multi.get(), extra, count, timeout_ms, nullptr) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
    // Result CURLE_OK: the attempt ended it, and knows why.
    if (!events.onWake(count > 0 && extra[0].revents != 0)) break;
  }
  curl_multi_remove_handle(multi.get(), handle_);
  events_ = nullptr;
  return result;
}

bool CurlTransfer::pause(bool receive_paused) {
  return curl_easy_pause(handle_, receive_paused ? CURLPAUSE_RECV : CURLPAUSE_CONT) == CURLE_OK;
}

CURLcode CurlTransfer::redirectTarget(std::string* target) {
  char* url = nullptr;
  CURLcode rc = curl_easy_getinfo(handle_, CURLINFO_REDIRECT_URL, &url);
  target->assign(url != nullptr ? url : "");
  return rc;
}
