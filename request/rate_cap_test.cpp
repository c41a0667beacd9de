#include "request/rate_cap.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using std::chrono::milliseconds;
using Clock = RatePacer::Clock;

TEST(RateCapCommand, OnlyTheLetterABlankAndUpTo20DigitsAreACap) {
  uint64_t cap = 7;
  EXPECT_TRUE(parse_rate_cap_command("l 204800", &cap));
  EXPECT_EQ(204800u, cap);
  EXPECT_TRUE(parse_rate_cap_command("l 0", &cap));
  EXPECT_EQ(0u, cap);
  // Bounded, not refused: below the least cap, above the greatest.
  EXPECT_TRUE(parse_rate_cap_command("l 1", &cap));
  EXPECT_EQ(kMinRateCap, cap);
  EXPECT_TRUE(parse_rate_cap_command("l 18446744073709551615", &cap));
  EXPECT_EQ(kMaxRateCap, cap);
  cap = 99;
  for (const char* bad : {"l", "l ", "l  5", "l -5", "l +5", "l 5x", "l 5 ", "l 0x10", "l 1e6",
                          "l 18446744073709551616", "l 000000000000000000001", "lx 5", "l\t5",
                          "L 5", "limit 5", "l 5\r"}) {
    EXPECT_FALSE(parse_rate_cap_command(bad, &cap)) << bad;
  }
  EXPECT_EQ(99u, cap);  // a line that is no cap leaves the value alone
  EXPECT_TRUE(parse_rate_cap_value("", &cap));
  EXPECT_EQ(0u, cap);
  EXPECT_TRUE(parse_rate_cap_value("1000000", &cap));
  EXPECT_EQ(1000000u, cap);
  EXPECT_FALSE(parse_rate_cap_value("fast", &cap));
}

TEST(RateCapBuffer, ASixteenthOfASecondUnderACap) {
  EXPECT_EQ(128 * 1024, buffer_for_cap(0));
  EXPECT_EQ(1024, buffer_for_cap(kMinRateCap));
  EXPECT_EQ(12800, buffer_for_cap(204800));
  EXPECT_EQ(128 * 1024, buffer_for_cap(kMaxRateCap));
}

// Pieces as fast as they come: each is taken when its turn is due, so over any
// stretch the bytes taken run ahead of the cap by one piece at most.
TEST(RatePacerTest, HoldsTheRateOverAnyStretch) {
  RatePacer pacer;
  Clock::time_point start = Clock::now(), now = start;
  pacer.setCap(100000, now);
  const size_t piece = 6250;
  uint64_t taken = 0;
  for (int i = 0; i < 400; ++i) {
    now = pacer.due(now);  // the transfer waits until then
    pacer.took(piece, now);
    taken += piece;
    double seconds = std::chrono::duration<double>(now - start).count();
    EXPECT_LE(static_cast<double>(taken), 100000 * seconds + piece + 1) << i;
    EXPECT_GE(static_cast<double>(taken), 100000 * seconds) << i;
  }
  // 400 pieces of 6250 bytes at 100 kB/s: 25 s less the last piece's own worth.
  EXPECT_NEAR(24.9375, std::chrono::duration<double>(now - start).count(), 0.001);
}

// A slow stretch leaves little credit; without a cap nothing waits; a new cap
// starts from now.
TEST(RatePacerTest, CreditAndChangesOfTheCap) {
  RatePacer pacer;
  Clock::time_point now = Clock::now();
  pacer.setCap(0, now);
  pacer.took(1 << 30, now);
  EXPECT_EQ(now, pacer.due(now));
  pacer.setCap(10000, now);
  pacer.took(10000, now);  // a second's worth: the next piece waits a second
  EXPECT_EQ(now + milliseconds(1000), pacer.due(now));
  // Ten idle seconds later at most kSlack's worth may come at once.
  now += std::chrono::seconds(11);
  EXPECT_EQ(now, pacer.due(now));
  pacer.took(1000, now);  // 100 ms worth: all of the slack
  EXPECT_EQ(now, pacer.due(now));
  pacer.took(1000, now);
  EXPECT_EQ(now + milliseconds(100), pacer.due(now));
  // Lifting the cap lets everything through at once; a higher one sooner.
  pacer.setCap(0, now);
  EXPECT_EQ(now, pacer.due(now));
  pacer.setCap(1000000, now);
  pacer.took(10000, now);
  EXPECT_EQ(now + milliseconds(10), pacer.due(now));
}

}  // namespace
