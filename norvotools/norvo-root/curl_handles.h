// Owners for libcurl's handles and header lists, and the one way options are set
// on a transfer, shared by the update agent's events and the telemetry uploader.
#pragma once

#include <android-base/logging.h>
#include <curl/curl.h>

#include <memory>
#include <string>

#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/tls_trust.h"

using CurlSlist = std::unique_ptr<curl_slist, ReleaseWith<curl_slist_free_all>>;
using CurlEasy = std::unique_ptr<CURL, ReleaseWith<curl_easy_cleanup>>;
using CurlMulti = std::unique_ptr<CURLM, ReleaseWith<curl_multi_cleanup>>;

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

// Sets options on one transfer in the order of the calls and stops at the first
// failure: the options after it are not set, and result() is that failure's code
// (CURLE_OK when every option took). So
//
//   return CurlOptions(curl).set(CURLOPT_POST, 1L).set(CURLOPT_TIMEOUT, 5L).result();
//
// returns the first non-zero result at once, or the result of the last option.
// A null handle (libcurl could not make one) fails as CURLE_FAILED_INIT.
class CurlOptions {
 public:
  explicit CurlOptions(CURL* handle)
      : handle_(handle), result_(handle != nullptr ? CURLE_OK : CURLE_FAILED_INIT) {}

  template <typename T>
  CurlOptions& set(CURLoption option, T value) {
    if (result_ == CURLE_OK) result_ = curl_easy_setopt(handle_, option, value);
    return *this;
  }
  CURLcode result() const { return result_; }
  bool ok() const { return result_ == CURLE_OK; }

 private:
  CURL* handle_;
  CURLcode result_;
};

// A new transfer handle that speaks http and https only, for the first request
// and for every redirect: a server must never steer it to another protocol (a
// gopher:// or dict:// target would carry raw lines to any port). It goes to the
// server directly: an empty proxy makes libcurl ignore http_proxy, https_proxy,
// ALL_PROXY and the rest of the environment (a proxy, if one is ever wanted,
// comes from an explicit setting). It verifies a TLS peer's chain, name and
// keys and trusts nobody until tls::prepare_transfer() gives it the handset's
// CA store. Null when libcurl cannot make one or cannot restrict it.
inline CurlEasy NewTransfer() {
  CurlEasy handle(curl_easy_init());
  if (handle == nullptr) return handle;
  if (!CurlOptions(handle.get())
           .set(CURLOPT_PROTOCOLS_STR, "http,https")
           .set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https")
           .set(CURLOPT_PROXY, "")
           // A verbose transfer's trace shows what the server sent, escaped.
           .set(CURLOPT_DEBUGFUNCTION, &printable_curl_trace)
           .ok()) {
    LOG(ERROR) << "cannot limit a transfer to http and https without a proxy";
    handle.reset();
  } else if (tls::baseline_options(handle.get()) != CURLE_OK) {
    LOG(ERROR) << "cannot make a transfer verify its TLS peer";
    handle.reset();
  }
  return handle;
}
