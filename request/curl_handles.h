// Owners for libcurl's handles and header lists, shared by the update agent's
// events and the telemetry uploader.
#pragma once

#include <android-base/logging.h>
#include <curl/curl.h>

#include <memory>
#include <string>

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// Appends `line` to `list`; keeps the list intact when libcurl cannot allocate.
inline void AppendHeader(CurlSlist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) {
    LOG(ERROR) << "cannot add header line " << line;
    return;
  }
  list.release();
  list.reset(grown);
}

// A new transfer handle that speaks http and https only, for the first request
// and for every redirect: a server must never steer it to another protocol (a
// gopher:// or dict:// target would carry raw lines to any port). Null when
// libcurl cannot make one or cannot restrict it.
inline CurlEasy NewTransfer() {
  CurlEasy handle(curl_easy_init());
  if (handle == nullptr) return handle;
  if (curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(handle.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK) {
    LOG(ERROR) << "cannot limit a transfer to http and https";
    handle.reset();
  }
  return handle;
}
