// When the download tries again, and when it gives up: paced retries with a
// randomised back-off for failures that may pass, a bounded number of attempts
// for those that will not.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <random>
#include <vector>

// The wait before a retry: with jitter a uniform share of `cap` (0 to cap), else cap.
std::chrono::milliseconds backoff_delay(std::chrono::milliseconds cap, bool jitter,
                                        std::mt19937_64* random);
// False only when the test switch NORVO_FIXED_BACKOFF=1 asks for the fixed schedule.
// Read once, at the first call.
bool backoff_jitter_enabled();

// Failed attempts in a row that brought no new byte of the package, whatever
// their cause (no answer at all, a 5xx or 429 answer, a stall, a cut before the
// first byte), before the download leaves a mirror for the next one of the
// record. With a single mirror there is nowhere to go: it is tried on, paced,
// for as long as its failures may pass.
constexpr int kMaxFruitlessAttempts = 3;
// True for the failures of an attempt that got no answer: `answered` says
// whether any HTTP status came back, or any byte.
bool is_unanswered_failure(int code, bool answered);

// Which mirror the download uses, and when it moves on. A mirror is left after
// kMaxFruitlessAttempts failed attempts in a row that brought no new byte, or
// once retrying it is pointless (it gave up: three permanent failures); the
// download then goes round the mirrors that have not given up, in their order,
// for as long as one of them is left. Positions are those of the task's mirror
// list (0 is the URL the task was given).
class MirrorRotation {
 public:
  enum class Next {
    kStay,   // try the same mirror again
    kMove,   // go on from another mirror (move() says which)
    kFinal,  // no mirror is left: the task ends
  };

  explicit MirrorRotation(size_t count = 1);

  size_t current() const { return current_; }
  // Whether the mirror in use is used for the first time in this task.
  bool firstVisit() const { return visits_[current_] == 1; }
  // Failed attempts in a row on the mirror in use that brought no new byte.
  int fruitless() const { return fruitless_; }
  // Counts a failed attempt on the mirror in use: `progressed` when it wrote
  // new bytes, `gave_up` when retrying this mirror is pointless.
  Next afterFailure(bool progressed, bool gave_up);
  // Goes on from the next mirror that has not given up (after afterFailure()
  // said kMove); its position.
  size_t move();

 private:
  bool anotherLeft() const;

  size_t current_ = 0;
  int fruitless_ = 0;
  std::vector<bool> exhausted_;
  std::vector<int> visits_;
};

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

  // `first`: the first cap of the schedule (tests shorten it; the device's is
  // kFirstBackoff).
  explicit RetryPolicy(bool jitter = backoff_jitter_enabled(),
                       std::chrono::milliseconds first = kFirstBackoff);

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
  std::chrono::milliseconds first_;
  std::chrono::milliseconds cap_;
  int permanent_failures_ = 0;
  int mismatches_ = 0;
};
