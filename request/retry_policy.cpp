#include "request/retry_policy.h"

#include <android-base/parseint.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr long kDefaultLowSpeedTime = 60;

}  // namespace

bool is_unanswered_failure(int code, bool answered) {
  if (answered) return false;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    default:
      return false;
  }
}

long low_speed_time_from(const char* text) {
  long seconds = 0;
  if (text != nullptr && android::base::ParseInt(text, &seconds, 1L, 3600L)) return seconds;
  return kDefaultLowSpeedTime;
}

long low_speed_time() {
  // Read once: every attempt of the process uses the same limit.
  static const long seconds = low_speed_time_from(getenv("NORVO_LOW_SPEED_TIME"));
  return seconds;
}

std::chrono::milliseconds backoff_delay(std::chrono::milliseconds cap, bool jitter,
                                        std::mt19937_64* random) {
  if (!jitter || cap.count() <= 0) return cap;
  // "Full jitter": a fleet that lost its mirror at the same moment must not come
  // back in the same second, so each device waits a uniform share of the cap.
  std::uniform_int_distribution<int64_t> pick(0, cap.count());
  return std::chrono::milliseconds(pick(*random));
}

bool backoff_jitter_enabled() {
  // Test-only: the fleet simulation compares the randomised schedule with the
  // fixed one, and pacing tests need exact waits.
  static const bool enabled = [] {
    const char* text = getenv("NORVO_FIXED_BACKOFF");
    return text == nullptr || strcmp(text, "1") != 0;
  }();
  return enabled;
}

RetryPolicy::RetryPolicy(bool jitter, std::chrono::milliseconds first)
    : jitter_(jitter), random_(std::random_device{}()), first_(first), cap_(first) {}

bool RetryPolicy::giveUpAfter(bool permanent, bool checksum_mismatch) {
  if (checksum_mismatch && ++mismatches_ >= kMaxChecksumMismatches) return true;
  return permanent && ++permanent_failures_ >= kMaxPermanentFailures;
}

std::chrono::milliseconds RetryPolicy::nextWait(bool progressed, int64_t retry_after_ms) {
  if (progressed) cap_ = first_;
  std::chrono::milliseconds wait = backoff_delay(cap_, jitter_, &random_);
  if (retry_after_ms >= 0) {
    int64_t asked = std::min<int64_t>(retry_after_ms, kMaxBackoff.count());
    wait = std::max({wait, std::chrono::milliseconds(asked), kMinServerPacedWait});
  }
  cap_ = std::min(cap_ * 2, kMaxBackoff);
  return wait;
}

MirrorRotation::MirrorRotation(size_t count)
    : exhausted_(count == 0 ? 1 : count, false), visits_(count == 0 ? 1 : count, 0) {
  visits_[0] = 1;
}

bool MirrorRotation::anotherLeft() const {
  for (size_t i = 0; i < exhausted_.size(); ++i) {
    if (i != current_ && !exhausted_[i]) return true;
  }
  return false;
}

MirrorRotation::Next MirrorRotation::afterFailure(bool progressed, bool gave_up) {
  fruitless_ = progressed ? 0 : fruitless_ + 1;
  if (gave_up) exhausted_[current_] = true;
  if (!anotherLeft()) return gave_up ? Next::kFinal : Next::kStay;
  return gave_up || fruitless_ >= kMaxFruitlessAttempts ? Next::kMove : Next::kStay;
}

size_t MirrorRotation::move() {
  size_t count = exhausted_.size();
  for (size_t step = 1; step < count; ++step) {
    size_t next = (current_ + step) % count;
    if (!exhausted_[next]) {
      current_ = next;
      break;
    }
  }
  fruitless_ = 0;
  ++visits_[current_];
  return current_;
}
