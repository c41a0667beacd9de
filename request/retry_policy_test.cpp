#include "request/retry_policy.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using std::chrono::milliseconds;

TEST(Backoff, FullJitterSpreadsWaitsOverTheWholeCap) {
  std::mt19937_64 random(7);
  const std::chrono::milliseconds cap(8000);
  int64_t low = cap.count(), high = 0;
  for (int i = 0; i < 2000; ++i) {
    int64_t wait = backoff_delay(cap, true, &random).count();
    ASSERT_GE(wait, 0);
    ASSERT_LE(wait, cap.count());
    low = std::min(low, wait);
    high = std::max(high, wait);
  }
  // A fleet spread over the whole window, not bunched at the cap.
  EXPECT_LT(low, cap.count() / 10);
  EXPECT_GT(high, cap.count() * 9 / 10);
  EXPECT_EQ(backoff_delay(cap, false, &random), cap);
}

TEST(RetryPolicyTest, FixedScheduleDoublesToTheCapAndStartsOverAfterProgress) {
  RetryPolicy retry(false);
  EXPECT_EQ(milliseconds(1000), retry.nextWait(false, -1));
  EXPECT_EQ(milliseconds(2000), retry.nextWait(false, -1));
  EXPECT_EQ(milliseconds(4000), retry.nextWait(false, -1));
  for (int i = 0; i < 10; ++i) retry.nextWait(false, -1);
  EXPECT_EQ(milliseconds(60000), retry.nextWait(false, -1));
  EXPECT_EQ(milliseconds(1000), retry.nextWait(true, -1));
  // The server's Retry-After wins, never beyond the cap.
  EXPECT_EQ(milliseconds(2000), retry.nextWait(false, 2000));
  EXPECT_EQ(milliseconds(60000), retry.nextWait(false, 3600 * 1000));
}

TEST(RetryPolicyTest, GivesUpOnTheThirdPermanentFailureOrChecksumMismatch) {
  RetryPolicy retry(false);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(retry.giveUpAfter(false, false));  // temporary
  EXPECT_FALSE(retry.giveUpAfter(true, false));
  EXPECT_FALSE(retry.giveUpAfter(true, false));
  EXPECT_TRUE(retry.giveUpAfter(true, false));

  RetryPolicy checksums(false);
  EXPECT_FALSE(checksums.giveUpAfter(false, true));
  EXPECT_FALSE(checksums.giveUpAfter(true, false));
  EXPECT_FALSE(checksums.giveUpAfter(false, true));
  EXPECT_TRUE(checksums.giveUpAfter(false, true));
}

}  // namespace
