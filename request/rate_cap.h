// The download's speed cap: a front end can hold the download to a number of
// bytes per second (the "l" command, or a property before the second stage), and
// change it while the download runs. The cap's promise is the rate over any two
// seconds, not libcurl's receive-speed option, which bursts a whole buffer past a
// small cap and then falls silent: the transfer takes each piece of the body only
// when it is due (RatePacer), pausing the transfer until then, and under a cap it
// reads the socket in pieces small enough for the cap (buffer_for_cap).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>

// The property a front end sets before the second stage for the cap from the first
// byte: bytes per second as a decimal number, "0" or unset for none.
constexpr char kRateCapProperty[] = "norvo.download.rate_cap";
// Caps below this are raised to it: libcurl's smallest buffer, one piece a second.
constexpr uint64_t kMinRateCap = 1024;
// Caps above this are lowered to it (1 TiB/s: no link of a handset comes near).
constexpr uint64_t kMaxRateCap = uint64_t{1} << 40;

// The value of a cap command line: "l", one blank, 1 to 20 decimal digits, nothing
// else (no sign, no blank after, no overflow of 64 bits). True with the cap in
// force for it (0: none; otherwise within kMinRateCap..kMaxRateCap).
bool parse_rate_cap_command(const std::string& line, uint64_t* cap);
// The same for the property's value (the digits alone). "" is no cap.
bool parse_rate_cap_value(const std::string& text, uint64_t* cap);

// libcurl's receive buffer for a transfer under `cap` (0: none): small enough that
// one piece is a sixteenth of a second's worth at most, 128 KiB without a cap.
long buffer_for_cap(uint64_t cap);

class RatePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // Credit a slow stretch may leave for later: at most this much time's worth of
  // bytes may then come at once.
  static constexpr std::chrono::milliseconds kSlack{100};

  // A new cap (0: none) from `now` on; no credit from before carries over.
  void setCap(uint64_t cap, Clock::time_point now);
  uint64_t cap() const { return cap_; }
  // When the next piece may be taken: `now`, or later while the bytes taken so far
  // run ahead of the cap (never later without a cap). A piece is taken whole once
  // its turn came, so the rate runs ahead by one piece at most.
  Clock::time_point due(Clock::time_point now) const;
  // Counts `size` bytes taken at `now`: the cap's clock moves on by their worth.
  void took(size_t size, Clock::time_point now);

 private:
  // When the bytes taken so far are all due: the cap's clock.
  Clock::time_point next(Clock::time_point now) const;

  uint64_t cap_ = 0;
  Clock::time_point due_{};
};
