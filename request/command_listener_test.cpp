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
