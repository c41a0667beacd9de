#include "request/syncservertime.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

namespace {

bool ParseText(const std::string& text, time_t* seconds) {
  FILE* fp = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  bool found = ParseServerDate(fp, seconds);
  fclose(fp);
  return found;
}

TEST(ServerDateTest, DateHeaderGivesItsInstant) {
  time_t seconds = 0;
  ASSERT_TRUE(
      ParseText("HTTP/1.1 200 OK\r\nDate: Tue, 08 Dec 2026 05:00:00 GMT\r\n\r\n", &seconds));
  EXPECT_EQ(seconds, 1796706000);
}

TEST(ServerDateTest, TheDateHeaderWinsWhereverItStands) {
  time_t seconds = 0;
  // Other headers whose names contain "Date", before and after it, never stand in for it.
  ASSERT_TRUE(
      ParseText("HTTP/1.1 200 OK\r\nX-Date-Seen: soon\r\ndate:Tue, 08 Dec 2026 05:00:00 GMT"
                "\r\nX-Amz-Date: 20260101T000000Z\r\nLast-Date-Seen: x\r\n\r\n",
                &seconds));
  EXPECT_EQ(seconds, 1796706000);
  // A Date header that is no date is not mended by another line.
  ASSERT_TRUE(ParseText("DATE: never\r\nX-Date: Tue, 08 Dec 2026 05:00:00 GMT\r\n", &seconds));
  EXPECT_EQ(seconds, -1);
}

TEST(ServerDateTest, WithoutADateHeaderTheLastLineContainingDateWins) {
  time_t seconds = 0;
  // The rule of servers without the header: the text from the seventh character on.
  ASSERT_TRUE(ParseText("XDate: Thu, 01 Jan 2026 00:00:00 GMT\r\nServer: x\r\n", &seconds));
  EXPECT_EQ(seconds, 1767225600);
  // "Last-Date-Seen: x" from its seventh character on is "e-Seen: x": no date.
  ASSERT_TRUE(ParseText("XDate: Thu, 01 Jan 2026 00:00:00 GMT\r\nLast-Date-Seen: x\r\n", &seconds));
  EXPECT_EQ(seconds, -1);
}

TEST(ServerDateTest, HeaderLinesAreEchoedBehindAPrefixAndEscaped) {
  time_t seconds = 0;
  testing::internal::CaptureStdout();
  ParseText(
      "HTTP/1.1 200 OK\r\nX-Evil: 2:s:0\r3:c:\x1b[2J\r\nDate: Tue, 08 Dec 2026 05:00:00 GMT\r\n",
      &seconds);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      "H:HTTP/1.1 200 OK\nH:X-Evil: 2:s:0\\r3:c:\\x1b[2J\nH:Date: Tue, 08 Dec 2026 05:00:00 GMT\n",
      out);
  EXPECT_EQ(seconds, 1796706000);
}

TEST(ServerDateTest, NoDateLineIsReported) {
  time_t seconds = 42;
  EXPECT_FALSE(ParseText("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", &seconds));
  EXPECT_EQ(seconds, 42);
}

struct ClockCase {
  int64_t server;
  int64_t build;
  ServerTime expected;
};

class ClockBounds : public testing::TestWithParam<ClockCase> {};

TEST_P(ClockBounds, OnlyDatesBetweenTheBuildAndItsPlausibleFutureAreApplied) {
  EXPECT_EQ(GetParam().expected, check_server_time(GetParam().server, GetParam().build));
}

constexpr int64_t kBuild = 1790000000;  // a build of 2026
INSTANTIATE_TEST_SUITE_P(
    Dates, ClockBounds,
    testing::Values(ClockCase{-1, kBuild, ServerTime::kUnreadable},
                    ClockCase{0, kBuild, ServerTime::kBeforeBuild},
                    ClockCase{kBuild - 1, kBuild, ServerTime::kBeforeBuild},
                    ClockCase{kBuild, kBuild, ServerTime::kApply},
                    ClockCase{1796706000, kBuild, ServerTime::kApply},
                    ClockCase{kBuild + kMaxAheadOfBuild, kBuild, ServerTime::kApply},
                    ClockCase{kBuild + kMaxAheadOfBuild + 1, kBuild, ServerTime::kTooFarAhead},
                    ClockCase{5707010977, kBuild, ServerTime::kTooFarAhead},    // 2150
                    ClockCase{253402300799, kBuild, ServerTime::kTooFarAhead},  // 9999
                    // No build time: the agent's own earliest date is the floor.
                    ClockCase{kEarliestBuildTime - 1, 0, ServerTime::kBeforeBuild},
                    ClockCase{1796706000, 0, ServerTime::kApply},
                    ClockCase{1796706000, -5, ServerTime::kApply},
                    ClockCase{5707010977, 0, ServerTime::kTooFarAhead}));

}  // namespace
