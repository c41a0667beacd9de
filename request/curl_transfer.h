// The download's transfer over libcurl: the event's handle (its resolve entry, TLS
// options and header list already in place), driven by a multi handle whose wait
// also watches the command listener, so that a pause, continue or stop takes
// effect at once instead of at libcurl's next progress call.
#pragma once

#include "norvotools/norvo-root/curl_handles.h"
#include "request/transfer.h"

class CurlTransfer : public Transfer {
 public:
  // Borrows the handle, the header list (the request's lines are appended to it)
  // and the error buffer of the event; all outlive the transfer.
  CurlTransfer(CURL* handle, CurlSlist* headers, char* error_buffer);

  CURLcode perform(const Request& request, Events& events) override;
  bool pause(bool receive_paused) override;
  CURLcode redirectTarget(std::string* target) override;

 private:
  static size_t onHeader(char* data, size_t size, size_t nmemb, void* userdata);
  static size_t onBody(char* data, size_t size, size_t nmemb, void* userdata);
  static int onProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                        curl_off_t ulnow);

  CURL* handle_;
  CurlSlist* headers_;
  char* error_buffer_;
  Events* events_ = nullptr;
};
