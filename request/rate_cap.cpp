#include "request/rate_cap.h"

#include <algorithm>

namespace {

constexpr size_t kMaxDigits = 20;
constexpr long kMinBuffer = 1024;
constexpr long kMaxBuffer = 128 * 1024;

bool parseDigits(const std::string& text, uint64_t* cap) {
  if (text.empty() || text.size() > kMaxDigits) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;  // past 64 bits
    value = value * 10 + digit;
  }
  *cap = value == 0 ? 0 : std::clamp(value, kMinRateCap, kMaxRateCap);
  return true;
}

}  // namespace

bool parse_rate_cap_command(const std::string& line, uint64_t* cap) {
  if (line.size() < 3 || line[0] != 'l' || line[1] != ' ') return false;
  return parseDigits(line.substr(2), cap);
}

bool parse_rate_cap_value(const std::string& text, uint64_t* cap) {
  if (text.empty()) {
    *cap = 0;
    return true;
  }
  return parseDigits(text, cap);
}

long buffer_for_cap(uint64_t cap) {
  if (cap == 0) return kMaxBuffer;
  return static_cast<long>(std::clamp<uint64_t>(cap / 16, kMinBuffer, kMaxBuffer));
}

void RatePacer::setCap(uint64_t cap, Clock::time_point now) {
  cap_ = cap;
  due_ = now;
}

RatePacer::Clock::time_point RatePacer::next(Clock::time_point now) const {
  return std::max(due_, now - kSlack);
}

RatePacer::Clock::time_point RatePacer::due(Clock::time_point now) const {
  if (cap_ == 0) return now;
  return std::max(due_, now);
}

void RatePacer::took(size_t size, Clock::time_point now) {
  if (cap_ == 0) return;
  auto worth = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(size) / static_cast<double>(cap_)));
  due_ = next(now) + worth;
}
