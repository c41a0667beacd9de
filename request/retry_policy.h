// When the download tries again, and when it gives up: paced retries with a
// randomised back-off for failures that may pass, a bounded number of attempts
// for those that will not.
#pragma once

#include <stdint.h>

#include <chrono>
#include <random>

// The wait before a retry: with jitter a uniform share of `cap` (0 to cap), else cap.
std::chrono::milliseconds backoff_delay(std::chrono::milliseconds cap, bool jitter,
                                        std::mt19937_64* random);
// False only when the test switch NORVO_FIXED_BACKOFF=1 asks for the fixed schedule.
// Read once, at the first call.
bool backoff_jitter_enabled();

// Attempts in a row that get no answer at all from a mirror (its name not found,
// the connection refused or timed out, closed before any answer) before the
// download leaves it for the next mirror of the record. The last mirror is
// tried on, paced, as a single one always was: an outage may pass.
constexpr int kMaxUnansweredAttempts = 3;
// True for the failures of an attempt that got no answer: `answered` says
// whether any HTTP status came back, or any byte.
bool is_unanswered_failure(int code, bool answered);

// Low-speed abort time in seconds: 60, or NORVO_LOW_SPEED_TIME (1 to 3600) as the
// process found it at start; system tests shorten it that way. A transfer that
// moves less than a byte a second for that long has stalled and is retried.
long low_speed_time();
// The time `text` (the variable's value, or null) asks for.
long low_speed_time_from(const char* text);

class RetryPolicy {
 public:
  static constexpr std::chrono::milliseconds kFirstBackoff{1000};
  static constexpr std::chrono::milliseconds kMaxBackoff{60000};
  // Least wait before asking a server again that asked us to wait: full jitter can
  // draw 0 ms, and a "Retry-After: 0" or a date in the past must not turn a 503
  // into thousands of requests a minute.
  static constexpr std::chrono::milliseconds kMinServerPacedWait{1000};
  // Attempts that failed for a reason that retrying will not mend (an HTTP status
  // such as 404, a redirect to another protocol, a package that cannot be written
  // or does not fit its record) before the task gives up.
  static constexpr int kMaxPermanentFailures = 3;
  // Whole downloads with a wrong checksum before the task gives up.
  static constexpr int kMaxChecksumMismatches = 3;

  explicit RetryPolicy(bool jitter = backoff_jitter_enabled());

  // Counts one failed attempt; true when the task should give up now.
  bool giveUpAfter(bool permanent, bool checksum_mismatch);
  // The wait before the next attempt. `progressed`: the failed attempt wrote
  // bytes, so the back-off starts over. `retry_after_ms`: what the server asked
  // for (-1: nothing; 0 for a value that is now, past or unreadable). A server
  // may lengthen the wait up to the cap, never shorten it below the back-off
  // nor below kMinServerPacedWait.
  std::chrono::milliseconds nextWait(bool progressed, int64_t retry_after_ms);

 private:
  bool jitter_;
  std::mt19937_64 random_;
  std::chrono::milliseconds cap_ = kFirstBackoff;
  int permanent_failures_ = 0;
  int mismatches_ = 0;
};
