#include "request/romdownload.h"

#include <android-base/file.h>
#include <android-base/strings.h>
#include <gtest/gtest.h>
#include <openssl/md5.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "norvotools/norvo-zel/payload_cipher.h"
#include "request/download_task.h"
#include "tests/support/fake_transfer.h"
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

// The attempt loop's decisions, driven through the fake transfer: a plan of a
// folder of its own, two mirrors, no key store, a schedule of milliseconds.
class RomDownloadAttempts : public ::testing::Test {
 protected:
  void SetUp() override {
    plan_.package_path = dir_ / "secure_update.zip";
    plan_.file_size = [this] { return static_cast<uint64_t>(data_.size()); };
    plan_.md5 = [this] { return md5_; };
    plan_.mirrors = [] {
      return std::vector<RomMirror>{{0, {"http://", "127.0.0.1:8081", "/pkgs/p.zip"}},
                                    {1, {"http://", "127.0.0.1:8082", "/pkgs/p.zip"}}};
    };
    plan_.key_store = dir_ / "no-key-store.zip";
    plan_.jitter = false;
    plan_.first_backoff = std::chrono::milliseconds(1);
    driver_.status_stream = out_.stream();
    driver_.url_record.reset(new URLWrapper{"http://", "127.0.0.1:8081", "", "/pkgs/p.zip"});
    for (size_t i = 0; i < data_.size(); ++i) data_[i] = static_cast<char>(i * 7 + (i >> 9));
    md5_ = Md5(data_);
  }

  static std::string Md5(const std::string& bytes) {
    uint8_t digest[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), digest);
    return hex_string(digest, sizeof(digest));
  }

  // One run of the second stage; the status text.
  std::string Run() {
    RomDownload download;
    download.setDriver(&driver_);
    download.setStatus(STATUS_ROM_DOWNLOAD);
    download.setPlan(plan_);
    download.setTransferMaker(
        [this] { return std::make_unique<test_support::FakeTransfer>(&server_); });
    download.run();
    figures_ = download.figures();
    return out_.text();
  }

  // The status lines other than progress and speed.
  std::string Outcome() {
    std::string kept;
    for (const std::string& line : android::base::Split(Run(), "\n")) {
      if (line.rfind("3:p:", 0) != 0 && line.rfind("3:s:", 0) != 0 && !line.empty()) {
        kept += line + "\n";
      }
    }
    return kept;
  }

  std::string File() { return test_support::Read(plan_.package_path); }
  std::vector<std::string> Hosts() {
    std::vector<std::string> hosts;
    for (const Transfer::Request& r : server_.requests) hosts.push_back(r.url.substr(7, 14));
    return hosts;
  }

  StopGuard guard_;
  test_support::ScratchDir dir_;
  StatusStream out_;
  DownloadTask driver_;
  DownloadPlan plan_;
  test_support::FakeServer server_;
  std::string data_ = std::string(300000, '\0');
  std::string md5_;
  DownloadFigures figures_;
};

// Which mirror next: three attempts without a new byte leave mirror 0; the
// package comes whole from mirror 1, and the figures say so.
TEST_F(RomDownloadAttempts, AMirrorThatKeepsFailingIsLeftAndTheFiguresSaySo) {
  server_.answers = {test_support::Status(503), test_support::Status(503),
                     test_support::Status(500), test_support::Body(data_)};
  EXPECT_EQ("3:f:22\n3:f:22\n3:f:22\n3:m:1\n3:c:\n", Outcome());
  EXPECT_EQ(File(), data_);
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1:8081", "127.0.0.1:8081", "127.0.0.1:8081",
                                      "127.0.0.1:8082"}),
            Hosts());
  EXPECT_EQ(4, figures_.attempts);
  EXPECT_EQ((std::map<int, int>{{22, 3}}), figures_.retries);
  EXPECT_EQ((std::vector<int>{0, 1}), figures_.mirrors);
  EXPECT_TRUE(figures_.served);
  EXPECT_EQ(1, figures_.serving);
  EXPECT_EQ(0, figures_.final_code);
  EXPECT_EQ(static_cast<int64_t>(data_.size()), figures_.received);
}

// Resume: a cut keeps its bytes and the next request asks for the rest only,
// from the same mirror (the cut brought bytes: no failover).
TEST_F(RomDownloadAttempts, ACutIsResumedWithARangeForTheMissingBytes) {
  test_support::FakeAnswer cut = test_support::Body(data_, {"ETag: \"v1\""});
  cut.cut_after = 100000;
  test_support::FakeAnswer rest = test_support::Body(
      data_.substr(100000), {"ETag: \"v1\"", "Content-Range: bytes 100000-299999/300000"}, 206);
  server_.answers = {cut, rest};
  EXPECT_EQ("3:f:18\n3:c:\n", Outcome());
  EXPECT_EQ(File(), data_);
  ASSERT_EQ(2u, server_.requests.size());
  EXPECT_EQ("", test_support::RequestHeader(server_.requests[0], "Range"));
  EXPECT_EQ("bytes=100000-", test_support::RequestHeader(server_.requests[1], "Range"));
  EXPECT_EQ("\"v1\"", test_support::RequestHeader(server_.requests[1], "If-Range"));
  // The first answer that was kept started at byte 0; every byte came once.
  EXPECT_EQ(0, figures_.resumed);
  EXPECT_EQ(static_cast<int64_t>(data_.size()), figures_.received);
  EXPECT_EQ((std::vector<int>{0}), figures_.mirrors);
}

// Restart: bytes of another package on disk (a side file naming other bytes) are
// dropped before the first request; a server that answers a range with the whole
// file replaces what was here.
TEST_F(RomDownloadAttempts, BytesTheAnswerDoesNotContinueAreReplaced) {
  ASSERT_TRUE(android::base::WriteStringToFile(data_.substr(0, 50000), plan_.package_path));
  // No side file: the record's MD5 will judge the kept bytes, so they are asked on.
  server_.answers = {test_support::Body(data_)};  // 200 to the range: the whole package
  EXPECT_EQ("3:c:\n", Outcome());
  EXPECT_EQ(File(), data_);
  ASSERT_EQ(1u, server_.requests.size());
  EXPECT_EQ("bytes=50000-", test_support::RequestHeader(server_.requests[0], "Range"));
}

// When a failure is final: a status retrying will not mend ends a single mirror's
// task at the third; with two mirrors the second is tried first, and the last
// one standing gives the final line.
TEST_F(RomDownloadAttempts, PermanentFailuresEndTheTaskOnceEveryMirrorGaveUp) {
  plan_.mirrors = [] { return std::vector<RomMirror>{}; };  // the URL is no mirror of the record
  server_.answers = {test_support::Status(404), test_support::Status(404),
                     test_support::Status(404), test_support::Body(data_)};
  EXPECT_EQ("3:f:22\n3:f:22\n3:f:122\n", Outcome());
  EXPECT_EQ(3u, server_.requests.size());
  EXPECT_EQ(122, figures_.final_code);
  EXPECT_FALSE(figures_.served);
  EXPECT_EQ((std::vector<int>{-1}), figures_.mirrors);
}

TEST_F(RomDownloadAttempts, AWrongChecksumIsDroppedAndFetchedAgainThreeTimesAMirror) {
  md5_ = std::string(32, '0');
  for (int i = 0; i < 6; ++i) server_.answers.push_back(test_support::Body(data_));
  // The third mismatch on mirror 0 moves the task to mirror 1, where the same
  // happens; then no mirror is left, and nothing wrong stays on disk.
  EXPECT_EQ("3:f:61\n3:f:61\n3:f:61\n3:m:1\n3:f:61\n3:f:61\n3:f:161\n", Outcome());
  EXPECT_FALSE(test_support::Exists(plan_.package_path));
  EXPECT_TRUE(server_.answers.empty());
  EXPECT_EQ(161, figures_.final_code);
}

}  // namespace
