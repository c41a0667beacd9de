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
  // The server's Retry-After lengthens the wait, never beyond the cap.
  EXPECT_EQ(milliseconds(1000), retry.nextWait(true, -1));
  EXPECT_EQ(milliseconds(5000), retry.nextWait(false, 5000));
  EXPECT_EQ(milliseconds(60000), retry.nextWait(false, 3600 * 1000));
}

struct FloorCase {
  bool jitter;
  int64_t retry_after_ms;  // 0 also stands for a past date or an unreadable value
  int64_t least_ms;        // of every one of the first waits
};

class RetryAfterFloor : public ::testing::TestWithParam<FloorCase> {};

// Each wait of a series of answers that all carry the same Retry-After, against
// what the plain schedule would have waited at that step.
TEST_P(RetryAfterFloor, NeverShorterThanTheBackoffNorTheMinimum) {
  const FloorCase& c = GetParam();
  RetryPolicy paced(c.jitter);
  RetryPolicy plain(false);
  int64_t total = 0;
  for (int i = 0; i < 8; ++i) {
    int64_t wait = paced.nextWait(false, c.retry_after_ms).count();
    int64_t schedule = plain.nextWait(false, -1).count();
    EXPECT_GE(wait, std::max<int64_t>(c.least_ms, RetryPolicy::kMinServerPacedWait.count()));
    if (!c.jitter) {
      EXPECT_GE(wait, schedule) << "step " << i;
    }
    EXPECT_LE(wait, RetryPolicy::kMaxBackoff.count());
    total += wait;
  }
  // Eight answers of "come back now" took at least eight seconds, not eight requests
  // in a blink.
  EXPECT_GE(total, 8 * RetryPolicy::kMinServerPacedWait.count());
}

INSTANTIATE_TEST_SUITE_P(ZeroPastOrGarbage, RetryAfterFloor,
                         ::testing::Values(FloorCase{false, 0, 1000}, FloorCase{true, 0, 1000},
                                           FloorCase{false, 500, 1000}, FloorCase{true, 500, 1000},
                                           FloorCase{true, 3000, 3000},
                                           FloorCase{false, 90000, 60000}));

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

TEST(LowSpeedTime, DefaultsToAMinuteAndTakesATestOverride) {
  EXPECT_EQ(60, low_speed_time_from(nullptr));
  EXPECT_EQ(3, low_speed_time_from("3"));
  EXPECT_EQ(3600, low_speed_time_from("3600"));
  for (const char* text : {"", "soon", "0", "3601", "-2", "2s"}) {
    EXPECT_EQ(60, low_speed_time_from(text)) << text;
  }
}

}  // namespace

// One mirror: nowhere to go, so retryable failures stay and giving up is final.
TEST(MirrorRotationTest, ASingleMirrorIsTriedOnUntilItGivesUp) {
  MirrorRotation one(1);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(MirrorRotation::Next::kStay, one.afterFailure(false, false));
  EXPECT_EQ(MirrorRotation::Next::kFinal, one.afterFailure(false, true));
}

// Three fruitless attempts leave a mirror whatever they were; an attempt that
// brought bytes starts the count over.
TEST(MirrorRotationTest, ThreeAttemptsWithoutNewBytesLeaveTheMirror) {
  MirrorRotation rotation(3);
  EXPECT_EQ(MirrorRotation::Next::kStay, rotation.afterFailure(false, false));
  EXPECT_EQ(MirrorRotation::Next::kStay, rotation.afterFailure(false, false));
  EXPECT_EQ(MirrorRotation::Next::kStay, rotation.afterFailure(true, false));
  EXPECT_EQ(0, rotation.fruitless());
  EXPECT_EQ(MirrorRotation::Next::kStay, rotation.afterFailure(false, false));
  EXPECT_EQ(MirrorRotation::Next::kStay, rotation.afterFailure(false, false));
  EXPECT_EQ(MirrorRotation::Next::kMove, rotation.afterFailure(false, false));
  EXPECT_EQ(3, rotation.fruitless());
  EXPECT_TRUE(rotation.firstVisit());
  EXPECT_EQ(1u, rotation.move());
  EXPECT_EQ(0, rotation.fruitless());
  EXPECT_TRUE(rotation.firstVisit());
}

// Every mirror failing in a retryable way: round and round, each visit counted;
// those that gave up are left out, and the last one standing is tried on.
TEST(MirrorRotationTest, GoesRoundTheMirrorsThatHaveNotGivenUp) {
  MirrorRotation rotation(3);
  std::vector<size_t> order;
  auto fail_three = [&rotation] {
    rotation.afterFailure(false, false);
    rotation.afterFailure(false, false);
    return rotation.afterFailure(false, false);
  };
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(MirrorRotation::Next::kMove, fail_three());
    order.push_back(rotation.move());
  }
  EXPECT_EQ((std::vector<size_t>{1, 2, 0, 1}), order);
  EXPECT_FALSE(rotation.firstVisit());
  // Mirror 1 gives up for good: from now on only 2 and 0 take turns.
  EXPECT_EQ(MirrorRotation::Next::kMove, rotation.afterFailure(false, true));
  EXPECT_EQ(2u, rotation.move());
  ASSERT_EQ(MirrorRotation::Next::kMove, fail_three());
  EXPECT_EQ(0u, rotation.move());
  ASSERT_EQ(MirrorRotation::Next::kMove, fail_three());
  EXPECT_EQ(2u, rotation.move());
  // 2 gives up too: 0 is the only one left, tried on like a single mirror.
  EXPECT_EQ(MirrorRotation::Next::kMove, rotation.afterFailure(false, true));
  EXPECT_EQ(0u, rotation.move());
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(MirrorRotation::Next::kStay, rotation.afterFailure(false, false));
  }
  EXPECT_EQ(MirrorRotation::Next::kFinal, rotation.afterFailure(true, true));
}
