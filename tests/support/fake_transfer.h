// A Transfer that plays scripted answers, one per request, and records every
// request it was given: the download's attempt loop runs against it in a unit test
// as it runs against a server, without one.
#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "request/transfer.h"

namespace test_support {

struct FakeAnswer {
  int status = 200;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  size_t piece = 16384;                  // bytes per onBody() call
  CURLcode result = CURLE_OK;            // how the transfer ends once the body is given
  size_t cut_after = std::string::npos;  // the body stops here (the connection breaks)
  std::string redirect;                  // CURLINFO_REDIRECT_URL
};

inline FakeAnswer Status(int status, std::vector<std::string> headers = {}) {
  FakeAnswer answer;
  answer.status = status;
  answer.headers = std::move(headers);
  answer.headers.push_back("Content-Length: 0");
  return answer;
}

inline FakeAnswer Body(const std::string& body, std::vector<std::string> headers = {},
                       int status = 200) {
  FakeAnswer answer;
  answer.status = status;
  answer.body = body;
  answer.headers = std::move(headers);
  answer.headers.push_back("Content-Length: " + std::to_string(body.size()));
  return answer;
}

// The script and what was asked, shared by every transfer the maker makes.
struct FakeServer {
  // Past its end the script refuses every request in a way the download gives up
  // on (an unsupported protocol, three times a mirror), so a test that asked too
  // much ends instead of retrying for ever.
  std::deque<FakeAnswer> answers;
  std::vector<Transfer::Request> requests;
};

class FakeTransfer : public Transfer {
 public:
  explicit FakeTransfer(FakeServer* server) : server_(server) {}

  CURLcode perform(const Request& request, Events& events) override {
    server_->requests.push_back(request);
    if (server_->answers.empty()) return CURLE_UNSUPPORTED_PROTOCOL;
    answer_ = server_->answers.front();
    server_->answers.pop_front();
    std::vector<std::string> lines = {"HTTP/1.1 " + std::to_string(answer_.status) + " Fake\r\n"};
    for (const std::string& header : answer_.headers) lines.push_back(header + "\r\n");
    lines.push_back("\r\n");
    for (const std::string& line : lines) {
      if (!events.onHeader(line)) return CURLE_WRITE_ERROR;
    }
    size_t end = std::min(answer_.body.size(), answer_.cut_after);
    for (size_t at = 0; at < end;) {
      size_t n = std::min(answer_.piece, end - at);
      Events::Body taken = events.onBody(answer_.body.data() + at, n);
      if (taken == Events::Body::kRefused) return CURLE_WRITE_ERROR;
      if (taken == Events::Body::kHold) {
        // As libcurl does: no more reading, and the same piece again once continued.
        paused_ = true;
        for (int turn = 0; paused_ && turn < 100000; ++turn) {
          if (!events.onWake(false)) return CURLE_OK;
        }
        continue;
      }
      at += n;
      int stop = events.onProgress(static_cast<int64_t>(at));
      if (stop != 0) return CURLE_ABORTED_BY_CALLBACK;
      if (!events.onWake(false)) return CURLE_OK;
    }
    if (end < answer_.body.size()) return CURLE_PARTIAL_FILE;
    return answer_.result;
  }

  bool pause(bool receive_paused) override {
    paused_ = receive_paused;
    return true;
  }

  CURLcode redirectTarget(std::string* target) override {
    *target = answer_.redirect;
    return CURLE_OK;
  }

 private:
  FakeServer* server_;
  FakeAnswer answer_;
  bool paused_ = false;
};

// The header value a request carried, or "" (names compared as written).
inline std::string RequestHeader(const Transfer::Request& request, const std::string& name) {
  for (const std::string& line : request.headers) {
    if (line.compare(0, name.size() + 2, name + ": ") == 0) return line.substr(name.size() + 2);
  }
  return "";
}

}  // namespace test_support
