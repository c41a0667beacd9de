#include "request/romdownload.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "request/download_task.h"

namespace {

// Routes the process status stream into memory for one test.
class StatusStream {
 public:
  StatusStream() : saved_(g_status_stream), stream_(open_memstream(&buffer_, &size_)) {
    g_status_stream = stream_;
  }
  ~StatusStream() {
    g_status_stream = saved_;
    fclose(stream_);
    free(buffer_);
  }
  std::string text() {
    fflush(stream_);
    return std::string(buffer_, size_);
  }
  FILE* stream() { return stream_; }

 private:
  FILE* saved_;
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_;
};

class StopGuard {
 public:
  ~StopGuard() { stopCode = 0; }
};

XferProgress Record(int64_t total, int64_t resume) {
  XferProgress p;
  p.fileTotalSize = total;
  p.lastResume = resume;
  return p;
}

TEST(XferInfo, ResumedBytesCountTowardsPercentAndFirstSpeed) {
  StatusStream out;
  XferProgress p = Record(1000, 400);
  p.lastTick -= std::chrono::seconds(2);
  EXPECT_EQ(0, RomDownload::xferinfo(&p, 0, 100, 0, 0));
  // 500 of 1000 bytes: 50 %. The first speed report counts the resumed 400
  // bytes too, since lastSize starts at 0: 500 bytes over about 2 s.
  std::string text = out.text();
  ASSERT_EQ(0u, text.find("3:p:50\n3:s:")) << text;
  unsigned long speed = strtoul(text.c_str() + 11, nullptr, 10);
  EXPECT_GE(speed, 240u);
  EXPECT_LE(speed, 250u);
  EXPECT_EQ(50, p.lastPercent);
  EXPECT_EQ(500, p.lastSize);
  EXPECT_EQ(100, p.lastChunk);
}

TEST(XferInfo, PercentOnlyWhenItRisesAndSpeedAtMostOncePerSecond) {
  StatusStream out;
  XferProgress p = Record(10000, 0);
  RomDownload::xferinfo(&p, 0, 150, 0, 0);
  RomDownload::xferinfo(&p, 0, 180, 0, 0);  // still 1 %
  RomDownload::xferinfo(&p, 0, 320, 0, 0);
  EXPECT_EQ("3:p:1\n3:p:3\n", out.text());
}

TEST(XferInfo, SmallOrMissingSizeWritesNoPercent) {
  StatusStream out;
  XferProgress tiny = Record(99, 0);
  RomDownload::xferinfo(&tiny, 0, 50, 0, 0);
  RomDownload::xferinfo(&tiny, 0, 98, 0, 0);
  XferProgress unknown = Record(0, 0);
  RomDownload::xferinfo(&unknown, 0, 5000, 0, 0);
  EXPECT_EQ("", out.text());
  EXPECT_EQ(0, tiny.lastPercent);
}

TEST(XferInfo, ExactSizeFlushesAndGoesOnEvenWithAStopPending) {
  StatusStream out;
  StopGuard guard;
  char* content = nullptr;
  size_t length = 0;
  FILE* file = open_memstream(&content, &length);
  fputs("abc", file);  // buffered until a flush
  XferProgress p = Record(1000, 600);
  p.file = file;
  stopCode = kStopCode;
  EXPECT_EQ(0, RomDownload::xferinfo(&p, 0, 400, 0, 0));
  EXPECT_EQ(3u, length);
  EXPECT_EQ("", out.text());
  fclose(file);
  free(content);
}

TEST(XferInfo, UnchangedCountReturnsAtOnceWithTheStopValue) {
  StatusStream out;
  StopGuard guard;
  XferProgress p = Record(1000, 0);
  p.lastTick -= std::chrono::seconds(5);
  EXPECT_EQ(0, RomDownload::xferinfo(&p, 0, 0, 0, 0));
  stopCode = kStopCode;
  EXPECT_EQ(kStopCode, RomDownload::xferinfo(&p, 0, 0, 0, 0));
  EXPECT_EQ("", out.text());  // no speed report although 5 s passed
  EXPECT_EQ(kStopCode, RomDownload::xferinfo(&p, 0, 20, 0, 0));
}

TEST(XferInfo, PercentIsNotCapped) {
  StatusStream out;
  XferProgress p = Record(1000, 0);
  RomDownload::xferinfo(&p, 0, 1200, 0, 0);
  EXPECT_EQ("3:p:120\n", out.text().substr(0, 8));
}

TEST(RedirectSplit, KeepsThePortAndThePath) {
  SplitUrl parts;
  ASSERT_TRUE(split_redirect_url("http://cdn.norvo.test:8080/pkgs/a.zip?x=1", &parts));
  EXPECT_EQ("http://", parts.scheme);
  EXPECT_EQ("cdn.norvo.test:8080", parts.host);
  EXPECT_EQ("/pkgs/a.zip?x=1", parts.path);
}

TEST(RedirectSplit, TargetWithoutPathKeepsItsHost) {
  SplitUrl parts;
  ASSERT_TRUE(split_redirect_url("https://mirror.test:8443", &parts));
  EXPECT_EQ("https://", parts.scheme);
  EXPECT_EQ("mirror.test:8443", parts.host);
  EXPECT_EQ("", parts.path);
}

TEST(RedirectSplit, RefusesMalformedAndOversizedTargets) {
  SplitUrl parts;
  EXPECT_FALSE(split_redirect_url("/relative/path", &parts));
  EXPECT_FALSE(split_redirect_url("mailto:someone", &parts));
  EXPECT_FALSE(split_redirect_url("http:///no-host", &parts));
  EXPECT_FALSE(split_redirect_url("averyveryverylongscheme://h/p", &parts));
  EXPECT_FALSE(split_redirect_url("http://" + std::string(1024, 'h') + "/p", &parts));
  EXPECT_TRUE(split_redirect_url("http://" + std::string(1023, 'h') + "/p", &parts));
}

TEST(Commands, OnlyTheFirstByteCounts) {
  EXPECT_EQ('p', parse_command("pause"));
  EXPECT_EQ('c', parse_command("cont"));
  EXPECT_EQ('s', parse_command("stop"));
  EXPECT_EQ(0, parse_command(""));
  EXPECT_EQ(0, parse_command("x"));
  EXPECT_EQ(0, parse_command(" p"));
  EXPECT_EQ(0, parse_command("P"));
}

TEST(FileSize, EmptyOrNonNumericDisablesPercentages) {
  EXPECT_EQ(1027919052u, parse_file_size("1027919052"));
  EXPECT_EQ(0u, parse_file_size(""));
  EXPECT_EQ(0u, parse_file_size("12.5M"));
  EXPECT_EQ(0u, parse_file_size("-5"));
  EXPECT_EQ(0u, parse_file_size("99999999999999999999999"));
}

TEST(ContentRange, StartAndTotal) {
  EXPECT_EQ(100, content_range_start(" bytes 100-199/200"));
  EXPECT_EQ(0, content_range_start("bytes 0-9/10"));
  EXPECT_EQ(-1, content_range_start("bytes */200"));
  EXPECT_EQ(-1, content_range_start("items 1-2/3"));
  EXPECT_EQ(200, content_range_total("bytes */200"));
  EXPECT_EQ(10, content_range_total("bytes 0-9/10"));
  EXPECT_EQ(-1, content_range_total("bytes 0-9/*"));
}

// The size record and Content-Range hold decimal digits only; a leading zero
// or a 0x prefix must not switch the reading to hexadecimal.
TEST(FileSize, DecimalDigitsOnly) {
  EXPECT_EQ(10u, parse_file_size("010"));
  EXPECT_EQ(0u, parse_file_size("0x10"));
  EXPECT_EQ(0u, parse_file_size("+5"));
  EXPECT_EQ(100, content_range_start("bytes 0100-199/200"));
  EXPECT_EQ(-1, content_range_start("bytes 0x10-199/200"));
  EXPECT_EQ(200, content_range_total("bytes 0-9/0200"));
  EXPECT_EQ(-1, content_range_total("bytes 0-9/0x20"));
}

TEST(LowSpeedTime, DefaultsToAMinuteAndTakesATestOverride) {
  unsetenv("NORVO_LOW_SPEED_TIME");
  EXPECT_EQ(60, low_speed_time());
  setenv("NORVO_LOW_SPEED_TIME", "3", 1);
  EXPECT_EQ(3, low_speed_time());
  setenv("NORVO_LOW_SPEED_TIME", "soon", 1);
  EXPECT_EQ(60, low_speed_time());
  unsetenv("NORVO_LOW_SPEED_TIME");
}

TEST(RomDownloadRun, WithoutAPackageUrlEndsAtOnceWithAFailureLine) {
  StatusStream out;
  DownloadTask driver;
  driver.status_stream = out.stream();
  RomDownload download;
  download.setDriver(&driver);
  download.setStatus(STATUS_ROM_DOWNLOAD);
  download.run();
  EXPECT_EQ("3:f:103\n", out.text());
  EXPECT_EQ(nullptr, download.updateFile);
}

}  // namespace
