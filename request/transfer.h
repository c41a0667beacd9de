// One HTTP request of the download, as the download's attempt loop sees it: the
// request goes out; the answer's head and body come back through the attempt's
// callbacks; the transfer can be paused and continued while it runs; it ends with
// a result (a libcurl code) and, for a redirect, the target. CurlTransfer
// (curl_transfer.h) is the real one; the unit tests drive the download through a
// fake that plays scripted answers, so that its decisions (which mirror next,
// resume or restart, when a failure is final, what the figures record) are tested
// without a network.
#pragma once

#include <curl/curl.h>
#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

class Transfer {
 public:
  using Clock = std::chrono::steady_clock;

  // The attempt's side. Every call comes on the transfer's thread, inside perform().
  class Events {
   public:
    enum class Body {
      kTaken,    // written
      kHold,     // not yet: offer the same bytes again once the transfer is continued
      kRefused,  // the answer is refused: the transfer ends (CURLE_WRITE_ERROR)
    };

    virtual ~Events() = default;
    // One header line as it came, its line end included; false refuses the answer.
    virtual bool onHeader(const std::string& line) = 0;
    virtual Body onBody(const char* data, size_t size) = 0;
    // The body bytes received so far (`received`); non-zero ends the transfer with
    // CURLE_ABORTED_BY_CALLBACK.
    virtual int onProgress(int64_t received) = 0;
    // Each turn of the transfer's wait (`commands`: the request's wake_fd became
    // readable): commands may pause or continue it here. False ends the transfer
    // at once with CURLE_OK (the attempt knows why).
    virtual bool onWake(bool commands) = 0;
    // The latest time the wait may last until the next onWake(), e.g. when a piece
    // held for the speed cap is due; Clock::time_point::max(): no need.
    virtual Clock::time_point wakeBy() = 0;
  };

  struct Request {
    std::string url;
    std::vector<std::string> headers;  // request header lines beyond the event's own
    long buffer_size = 128 * 1024;     // bytes read from the socket at a time
    long connect_timeout = 30;         // seconds
    long low_speed_time = 60;          // seconds below 1 byte per second end it
    int wake_fd = -1;                  // readable: call onWake() at once (commands)
  };

  virtual ~Transfer() = default;
  // Runs the request to its end; the result is libcurl's code for it.
  virtual CURLcode perform(const Request& request, Events& events) = 0;
  // Pauses (true) or continues receiving; false when the transfer refused.
  virtual bool pause(bool receive_paused) = 0;
  // After perform(): the target of a redirect answer ("" for none).
  virtual CURLcode redirectTarget(std::string* target) = 0;
};
