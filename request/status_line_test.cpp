#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "request/frontend_protocol.h"

namespace {

int Queued(int fd) {
  int queued = 0;
  EXPECT_EQ(0, ioctl(fd, FIONREAD, &queued));
  return queued;
}

// A front end that stopped reading: progress lines fill the pipe up to the room
// kept for the others, then are dropped without blocking, and a final line still
// goes through.
TEST(StatusLines, ProgressNeverTakesTheRoomOfFinalLines) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  android::base::unique_fd read_end(fds[0]);
  ASSERT_EQ(4096, fcntl(fds[1], F_SETPIPE_SZ, 4096));
  FILE* stream = fdopen(fds[1], "w");
  ASSERT_NE(nullptr, stream);
  for (int i = 0; i < 2000; ++i) {
    frontend_protocol::Emit(stream, frontend_protocol::Line::kProgress, 3, i % 100);
  }
  int queued = Queued(read_end.get());
  EXPECT_GT(queued, 2048);             // progress was written while there was room
  EXPECT_LE(queued, 4096 - 4096 / 8);  // and left an eighth of the pipe free
  frontend_protocol::Emit(stream, frontend_protocol::Line::kStopped, 3);
  EXPECT_EQ(queued + 5, Queued(read_end.get()));
  std::string all(static_cast<size_t>(queued + 5), '\0');
  ASSERT_EQ(static_cast<ssize_t>(all.size()), read(read_end.get(), &all[0], all.size()));
  EXPECT_EQ("3:p:0\n", all.substr(0, 6));
  EXPECT_EQ("3:r:s", all.substr(all.size() - 5));
  fclose(stream);
}

}  // namespace
