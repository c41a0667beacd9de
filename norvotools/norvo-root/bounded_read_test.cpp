#include "norvotools/norvo-root/bounded_read.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// A pipe holding `content` and then its end: a source whose size no fstat
// tells, so the bound is all that stops the read.
android::base::unique_fd PipeOf(const std::string& content) {
  int ends[2];
  if (pipe(ends) != 0) return android::base::unique_fd();
  android::base::unique_fd read_end(ends[0]);
  android::base::unique_fd write_end(ends[1]);
  if (!android::base::WriteStringToFd(content, write_end.get())) return android::base::unique_fd();
  return read_end;
}

// Content of `size` bytes that differ, so that a chunk lost or doubled shows.
std::string Pattern(size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i % 23);
  return text;
}

struct BoundCase {
  size_t size;
  size_t max;
  int rc;
};

class ReadBounded : public testing::TestWithParam<BoundCase> {};

TEST_P(ReadBounded, TakesWhatFitsAndRefusesMore) {
  const BoundCase c = GetParam();
  const std::string content = Pattern(c.size);
  android::base::unique_fd fd = PipeOf(content);
  ASSERT_NE(-1, fd.get());
  std::string out = "untouched";
  EXPECT_EQ(c.rc, read_bounded(fd.get(), c.max, &out));
  EXPECT_EQ(c.rc == 0 ? content : "untouched", out);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadBounded,
                         testing::Values(BoundCase{0, 0, 0}, BoundCase{1, 0, -EFBIG},
                                         BoundCase{10, 10, 0}, BoundCase{11, 10, -EFBIG},
                                         // past the first chunk, so the buffer grows
                                         BoundCase{9000, 9000, 0}, BoundCase{9001, 9000, -EFBIG},
                                         BoundCase{9000, 60000, 0}));

TEST(ReadUpTo, StopsAtTheCountAndLeavesTheRest) {
  android::base::unique_fd fd = PipeOf("0123456789");
  std::string out;
  ASSERT_EQ(0, read_up_to(fd.get(), 4, &out));
  EXPECT_EQ("0123", out);
  ASSERT_EQ(0, read_up_to(fd.get(), 100, &out));
  EXPECT_EQ("456789", out);
}

TEST(ReadUpTo, AFailedReadIsItsErrorAndChangesNothing) {
  std::string out = "untouched";
  EXPECT_EQ(-EBADF, read_up_to(-1, 10, &out));
  EXPECT_EQ(-EBADF, read_bounded(-1, 10, &out));
  EXPECT_EQ("untouched", out);
}

}  // namespace
