#include "request/private/installer.h"

#include <android-base/logging.h>
#include <android-base/strings.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "request/secure_event.h"
#include "tests/support/test_support.h"

namespace {

// Collects the error lines the bridge logs for one updater line. libbase logs
// each line of a message on its own, so a message ending in a line feed arrives
// as its text followed by an empty line.
std::vector<std::string> Relay(const std::string& line) {
  test_support::LogCapture log;
  handle_updater_line(line);
  return log.Messages(android::base::ERROR, "DownloadTask");
}

using Lines = std::vector<std::string>;

TEST(UpdaterLines, ProgressNeedsAFractionAndA32BitDuration) {
  EXPECT_EQ(Lines({"progress"}), Relay("progress 0.5 10\n"));
  EXPECT_EQ(Lines({"progress"}), Relay("progress 0.25 0x1F\n"));
  EXPECT_EQ(Lines({"progress", "invalid \"progress\" parameters: progress 0.5", ""}),
            Relay("progress 0.5\n"));
  EXPECT_EQ(Lines({"progress", "invalid \"progress\" parameters: progress x 10", ""}),
            Relay("progress x 10\n"));
  EXPECT_EQ(Lines({"progress", "invalid \"progress\" parameters: progress 0.5 4294967296", ""}),
            Relay("progress 0.5 4294967296\n"));
  EXPECT_EQ(Lines({"progress", "invalid \"progress\" parameters: progress 0.5 10 3", ""}),
            Relay("progress 0.5 10 3\n"));
}

TEST(UpdaterLines, LogNeedsText) {
  EXPECT_EQ(Lines({"log", "invalid \"log\" parameters: log", ""}), Relay("log\n"));
  EXPECT_EQ(Lines({"log"}), Relay("log hello\n"));
}

TEST(UpdaterLines, UiPrintTrimsItsText) {
  EXPECT_EQ(Lines({"ui_print", "ui_print: Installing"}), Relay("ui_print   Installing  \n"));
}

TEST(UpdaterLines, UnknownAndEmptyWords) {
  EXPECT_EQ(Lines({"wipe_cache", "unknown command [wipe_cache]"}), Relay("wipe_cache\n"));
  EXPECT_EQ(Lines(), Relay("\n"));
  EXPECT_EQ(Lines(), Relay(" progress 0.5 10\n"));
  // A piece of an over-long line without its line end.
  EXPECT_EQ(Lines({"xxxx", "unknown command [xxxx]"}), Relay("xxxx"));
}

// Every refusal reason has a 6:f line of its own, and only a verified package
// goes on to the updater.
// The pipe's bytes come in whatever pieces the reads return; the lines are cut
// as a 1024-byte stdio read cuts them, whatever those pieces were.
TEST(UpdaterLines, CutAtLineFeedsAndIntoPiecesOf1023Bytes) {
  std::string text = "ui_print a\n\nlog b\n" + std::string(2100, 'x') + "\nprogress 1 2";
  std::vector<Lines> splits;
  for (size_t piece : {size_t{1}, size_t{7}, size_t{1000}, text.size()}) {
    UpdaterLines cutter;
    Lines lines;
    auto take = [&lines](const std::string& line) { lines.push_back(line); };
    for (size_t at = 0; at < text.size(); at += piece) {
      cutter.feed(text.data() + at, std::min(piece, text.size() - at), take);
    }
    cutter.finish(take);
    splits.push_back(lines);
  }
  Lines expected = {"ui_print a\n",
                    "\n",
                    "log b\n",
                    std::string(1023, 'x'),
                    std::string(1023, 'x'),
                    std::string(54, 'x') + "\n",
                    "progress 1 2"};
  for (const Lines& lines : splits) EXPECT_EQ(expected, lines);
}

TEST(InstallResult, EveryRefusalReasonHasItsOwnLine) {
  using package_verify::Result;
  std::set<std::string> seen;
  for (Result reason : {Result::kNoKeyStore, Result::kUnreadable, Result::kNoFooter,
                        Result::kMalformed, Result::kDigestMismatch, Result::kNoCertificateMatch}) {
    std::string line = frontend_protocol::Encode(InstallResultLine(reason), STATUS_INSTALL);
    EXPECT_TRUE(android::base::StartsWith(line, "6:f:")) << package_verify::ResultText(reason);
    EXPECT_TRUE(seen.insert(line).second) << line << " for two reasons";
  }
  EXPECT_EQ(frontend_protocol::Line::kInstalled, InstallResultLine(Result::kVerified));
}

// The gate's two refusals are told apart on the result line; a fitting
// package is not refused there.
TEST(InstallResult, TheGatesRefusalsHaveTheirOwnLines) {
  using install_gate::Fit;
  EXPECT_EQ(frontend_protocol::Line::kInstalled, InstallResultLine(Fit::kFits));
  EXPECT_EQ(frontend_protocol::Line::kRefusedNotForThisHandset,
            InstallResultLine(Fit::kNotForThisHandset));
  EXPECT_EQ(frontend_protocol::Line::kRefusedRollback, InstallResultLine(Fit::kRollback));
  // Through a status as the installer passes it.
  EXPECT_EQ(frontend_protocol::Line::kRefusedRollback,
            InstallResultLine(install_gate::Status(Fit::kRollback, "post-timestamp: ...")));
}

// Only an updater that exits with 0 installed the package; a failure status, a
// signal, or an updater that could not run (exit 1 from the child) did not.
TEST(InstallResult, OnlyExitStatusZeroIsInstalled) {
  auto exited = [](int code) { return code << 8; };  // the wait status of exit(code)
  EXPECT_EQ(frontend_protocol::Line::kInstalled, UpdaterExitLine(exited(0)));
  EXPECT_EQ(frontend_protocol::Line::kUpdaterFailed, UpdaterExitLine(exited(1)));
  EXPECT_EQ(frontend_protocol::Line::kUpdaterFailed, UpdaterExitLine(exited(7)));
  EXPECT_EQ(frontend_protocol::Line::kUpdaterFailed, UpdaterExitLine(SIGKILL));
}

}  // namespace
