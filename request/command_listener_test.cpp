#include "request/command_listener.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

TEST(Commands, OnlyTheFirstByteCounts) {
  EXPECT_EQ('p', parse_command("pause"));
  EXPECT_EQ('c', parse_command("cont"));
  EXPECT_EQ('s', parse_command("stop"));
  EXPECT_EQ(0, parse_command(""));
  EXPECT_EQ(0, parse_command("x"));
  EXPECT_EQ(0, parse_command(" p"));
  EXPECT_EQ(0, parse_command("P"));
  EXPECT_EQ('l', parse_command("l 1024"));
}

// Cap lines reach the transfer in order, readable or not (each gets its reply),
// wake a waiting transfer without ending its wait as a stop would, and a flood
// keeps only the newest.
TEST(CommandListenerTest, CapRequestsAreQueuedWithTheirValue) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  android::base::unique_fd read_end(fds[0]), write_end(fds[1]);
  test_support::StopGuard guard;
  CommandListener listener;
  ASSERT_TRUE(listener.start(read_end.get()));
  ASSERT_TRUE(android::base::WriteStringToFd("l 2048\nl fast\n", write_end.get()));
  EXPECT_EQ(CommandListener::Wake::kCap, listener.waitForStopOrCap(std::chrono::seconds(10)));
  std::deque<CapRequest> got;
  for (int i = 0; i < 500 && got.size() < 2; ++i) {
    for (CapRequest& r : listener.takeCapRequests()) got.push_back(std::move(r));
    if (got.size() < 2) listener.waitForStopOrCap(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(2u, got.size());
  EXPECT_TRUE(got[0].readable);
  EXPECT_EQ(2048u, got[0].cap);
  EXPECT_FALSE(got[1].readable);
  EXPECT_EQ("l fast", got[1].line);
  EXPECT_TRUE(listener.takeRequests().empty());  // no pause or continue among them

  std::string flood;
  for (int i = 0; i < 100; ++i) flood += "l " + std::to_string(1024 + i) + "\n";
  ASSERT_TRUE(android::base::WriteStringToFd(flood + "s\n", write_end.get()));
  pollfd stop{listener.stopFd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&stop, 1, 5000));
  EXPECT_EQ(CommandListener::Wake::kStop, listener.waitForStopOrCap(std::chrono::seconds(5)));
  std::deque<CapRequest> kept = listener.takeCapRequests();
  ASSERT_EQ(CommandListener::kMaxCapRequests, kept.size());
  EXPECT_EQ(1024u + 100 - CommandListener::kMaxCapRequests, kept.front().cap);
  EXPECT_EQ(1024u + 99, kept.back().cap);
  listener.stop();
}

TEST(CommandListenerTest, StopWakesEveryWaiter) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  android::base::unique_fd read_end(fds[0]), write_end(fds[1]);
  test_support::StopGuard guard;
  CommandListener listener;
  ASSERT_TRUE(listener.start(read_end.get()));
  ASSERT_TRUE(android::base::WriteStringToFd("pause\ncont\n", write_end.get()));
  pollfd commands{listener.commandFd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&commands, 1, 5000));
  // Both requests, in order, once the listener has read them.
  std::string got;
  for (int i = 0; i < 500 && got.size() < 2; ++i) {
    for (char c : listener.takeRequests()) got += c;
    if (got.size() < 2) usleep(10000);
  }
  EXPECT_EQ("pc", got);
  listener.clearCommandFd();
  EXPECT_EQ(0, poll(&commands, 1, 0));

  ASSERT_TRUE(android::base::WriteStringToFd("s\n", write_end.get()));
  pollfd stop{listener.stopFd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&stop, 1, 5000));
  EXPECT_TRUE(listener.stopRequested());
  EXPECT_EQ(kStopCode, stopCode.load());
  EXPECT_FALSE(listener.waitUnlessStopped(std::chrono::seconds(5)));
  listener.stop();
}

}  // namespace
