#include "request/romdownload.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "request/download_task.h"
#include "tests/support/test_support.h"

namespace {

using test_support::StatusStream;
using test_support::StopGuard;

// A progress record that reports to `out`.
XferProgress Record(int64_t total, int64_t resume, const StatusStream& out) {
  XferProgress p;
  p.fileTotalSize = total;
  p.lastResume = resume;
  p.status = out.stream();
  return p;
}

TEST(XferInfo, ResumedBytesCountTowardsPercentAndFirstSpeed) {
  StatusStream out;
  XferProgress p = Record(1000, 400, out);
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

TEST(XferInfo, ResumedBytesAreReportedAtTheFirstCall) {
  StatusStream out;
  XferProgress p = Record(1000, 600, out);
  // Before the answer's head says the bytes on disk stay, they are not reported: the
  // answer may still restart the file.
  p.bodyKept = false;
  EXPECT_EQ(0, RomDownload::xferinfo(&p, 0, 0, 0, 0));
  EXPECT_EQ("", out.text());
  // Then the first call, before any new byte: the 600 bytes on disk are 60 %.
  p.bodyKept = true;
  EXPECT_EQ(0, RomDownload::xferinfo(&p, 0, 0, 0, 0));
  EXPECT_EQ("3:p:60\n", out.text());
  XferProgress fresh = Record(1000, 0, out);
  EXPECT_EQ(0, RomDownload::xferinfo(&fresh, 0, 0, 0, 0));
  EXPECT_EQ("3:p:60\n", out.text());
}

TEST(XferInfo, PercentOnlyWhenItRisesAndSpeedAtMostOncePerSecond) {
  StatusStream out;
  XferProgress p = Record(10000, 0, out);
  RomDownload::xferinfo(&p, 0, 150, 0, 0);
  RomDownload::xferinfo(&p, 0, 180, 0, 0);  // still 1 %
  RomDownload::xferinfo(&p, 0, 320, 0, 0);
  EXPECT_EQ("3:p:1\n3:p:3\n", out.text());
}

TEST(XferInfo, SmallOrMissingSizeWritesNoPercent) {
  StatusStream out;
  XferProgress tiny = Record(99, 0, out);
  RomDownload::xferinfo(&tiny, 0, 50, 0, 0);
  RomDownload::xferinfo(&tiny, 0, 98, 0, 0);
  XferProgress unknown = Record(0, 0, out);
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
  XferProgress p = Record(1000, 600, out);
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
  XferProgress p = Record(1000, 0, out);
  p.lastTick -= std::chrono::seconds(5);
  EXPECT_EQ(0, RomDownload::xferinfo(&p, 0, 0, 0, 0));
  stopCode = kStopCode;
  EXPECT_EQ(kStopCode, RomDownload::xferinfo(&p, 0, 0, 0, 0));
  EXPECT_EQ("", out.text());  // no speed report although 5 s passed
  EXPECT_EQ(kStopCode, RomDownload::xferinfo(&p, 0, 20, 0, 0));
}

TEST(XferInfo, PercentIsNotCapped) {
  StatusStream out;
  XferProgress p = Record(1000, 0, out);
  RomDownload::xferinfo(&p, 0, 1200, 0, 0);
  EXPECT_EQ("3:p:120\n", out.text().substr(0, 8));
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
