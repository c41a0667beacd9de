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

TEST(ServerDateTest, LastLineContainingDateWins) {
  time_t seconds = 0;
  ASSERT_TRUE(ParseText("Date: Thu, 01 Jan 2026 00:00:00 GMT\r\nLast-Date-Seen: x\r\n", &seconds));
  // "Last-Date-Seen: x" from its seventh character on is "e-Seen: x": no date.
  EXPECT_EQ(seconds, -1);
}

TEST(ServerDateTest, NoDateLineIsReported) {
  time_t seconds = 42;
  EXPECT_FALSE(ParseText("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", &seconds));
  EXPECT_EQ(seconds, 42);
}

}  // namespace
