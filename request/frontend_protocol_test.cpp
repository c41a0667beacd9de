#include "request/frontend_protocol.h"

#include <android-base/file.h>
#include <android-base/strings.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using frontend_protocol::Detail;
using frontend_protocol::Line;
using frontend_protocol::Retry;

std::vector<Line> AllLines() {
  std::vector<Line> lines;
  for (int i = 0; i < static_cast<int>(Line::kCount); ++i) lines.push_back(static_cast<Line>(i));
  return lines;
}

std::string RetryCell(Retry retry) {
  switch (retry) {
    case Retry::kNotAFailure:
      return "—";
    case Retry::kRetries:
      return "yes";
    case Retry::kFinal:
      return "no";
  }
  return "?";
}

// The cells of one table row, without the backquotes around code.
std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells = android::base::Split(row, "|");
  // "| a | b |" splits into "", " a ", " b ", "".
  std::vector<std::string> out;
  for (size_t i = 1; i + 1 < cells.size(); ++i) {
    std::string cell = android::base::Trim(cells[i]);
    if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') {
      cell = cell.substr(1, cell.size() - 2);
    }
    out.push_back(cell);
  }
  return out;
}

// The rows of the code table of docs/frontend-protocol.md: between its two
// markers, after the header and the separator.
std::vector<std::vector<std::string>> DocumentRows() {
  std::string text;
  const std::string path = std::string(NORVO_SOURCE_DIR) + "/docs/frontend-protocol.md";
  EXPECT_TRUE(android::base::ReadFileToString(path, &text)) << path;
  size_t begin = text.find("<!-- code table begin -->");
  size_t end = text.find("<!-- code table end -->");
  EXPECT_NE(begin, std::string::npos);
  EXPECT_NE(end, std::string::npos);
  std::vector<std::vector<std::string>> rows;
  if (begin == std::string::npos || end == std::string::npos) return rows;
  for (const std::string& row : android::base::Split(text.substr(begin, end - begin), "\n")) {
    if (!android::base::StartsWith(row, "| `")) continue;
    rows.push_back(Cells(row));
  }
  return rows;
}

// The document and the catalogue list the same lines in the same order, with
// the same form, line feed and retry rule; and every row explains itself.
TEST(FrontendProtocolDoc, CodeTableMatchesTheCatalogueRowByRow) {
  std::vector<std::vector<std::string>> rows = DocumentRows();
  std::vector<Line> lines = AllLines();
  ASSERT_EQ(rows.size(), lines.size()) << "rows in the document's code table";
  for (size_t i = 0; i < lines.size(); ++i) {
    const frontend_protocol::LineEntry& entry = frontend_protocol::Entry(lines[i]);
    const std::vector<std::string>& row = rows[i];
    ASSERT_EQ(row.size(), 6u) << "row " << i + 1;
    EXPECT_EQ(row[0], frontend_protocol::Pattern(lines[i])) << entry.name;
    EXPECT_EQ(row[1], entry.name) << "row " << i + 1;
    EXPECT_EQ(row[2], entry.line_feed ? "yes" : "no") << entry.name;
    EXPECT_EQ(row[3], RetryCell(entry.retry)) << entry.name;
    EXPECT_FALSE(row[4].empty()) << entry.name << ": meaning";
    EXPECT_FALSE(row[5].empty()) << entry.name << ": what the front end does";
  }
}

TEST(FrontendProtocolDoc, StatesTheProtocolVersion) {
  std::string text;
  ASSERT_TRUE(android::base::ReadFileToString(
      std::string(NORVO_SOURCE_DIR) + "/docs/frontend-protocol.md", &text));
  EXPECT_NE(text.find("Protocol version: **" + std::to_string(frontend_protocol::kProtocolVersion) +
                      "**"),
            std::string::npos);
}

// The front-end simulator reads the lines by the same names, in the same order.
TEST(FrontendProtocolDoc, SimulatorUsesTheSameNames) {
  std::string text;
  ASSERT_TRUE(
      android::base::ReadFileToString(std::string(NORVO_SOURCE_DIR) + "/tools/frontend.py", &text));
  size_t begin = text.find("\nLINES = {\n");
  ASSERT_NE(begin, std::string::npos);
  size_t end = text.find("\n}\n", begin);
  ASSERT_NE(end, std::string::npos);
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& row : android::base::Split(text.substr(begin, end - begin), "\n")) {
    // Rows read    "3:f:122": "kGaveUpHttpError",
    std::vector<std::string> quoted = android::base::Split(row, "\"");
    if (quoted.size() == 5) entries.emplace_back(quoted[1], quoted[3]);
  }
  std::vector<Line> lines = AllLines();
  ASSERT_EQ(entries.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(entries[i].first, frontend_protocol::Pattern(lines[i]));
    EXPECT_EQ(entries[i].second, frontend_protocol::Entry(lines[i]).name);
  }
}

// One meaning per code: no two lines of a stage share letter and detail.
TEST(FrontendProtocol, EveryCodeHasOneLine) {
  std::set<std::tuple<int, char, std::string>> seen;
  for (Line line : AllLines()) {
    const frontend_protocol::LineEntry& entry = frontend_protocol::Entry(line);
    if (entry.detail == Detail::kValue) continue;  // a stage's catch-all, checked below
    for (int stage = 0; stage < 32; ++stage) {
      if ((entry.stages & (1u << stage)) == 0) continue;
      std::string detail = frontend_protocol::Encode(line, stage);
      EXPECT_TRUE(seen.emplace(stage, entry.letter, detail).second)
          << entry.name << " repeats " << detail;
    }
  }
}

struct Encoded {
  Line line;
  int status;
  long long value;
  const char* bytes;
};

class EncodeTest : public ::testing::TestWithParam<Encoded> {};

// The forms front ends of old parse, byte for byte: the missing line feeds of
// 2:s:N and 3:r:s, the time-out's text, the empty detail of 3:c:.
TEST_P(EncodeTest, Bytes) {
  const Encoded& e = GetParam();
  EXPECT_EQ(e.bytes, frontend_protocol::Encode(e.line, e.status, e.value));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, EncodeTest,
    ::testing::Values(
        Encoded{Line::kClockSynchronised, 0, 0, "0:s\n"}, Encoded{Line::kRomOffered, 2, 0, "2:s:0"},
        Encoded{Line::kNoRomOffered, 2, 0, "2:s:2"},
        Encoded{Line::kStepTimedOut, 1, 0, "1:f:CURLE_OPERATION_TIMEDOUT\n"},
        Encoded{Line::kStepFailed, 2, 35, "2:f:35\n"}, Encoded{Line::kProgress, 3, 42, "3:p:42\n"},
        Encoded{Line::kSpeed, 3, 5000000000LL, "3:s:5000000000\n"},
        Encoded{Line::kPaused, 3, 0, "3:r:p\n"}, Encoded{Line::kStopped, 3, 0, "3:r:s"},
        Encoded{Line::kRateCap, 3, 204800, "3:r:l:204800\n"},
        Encoded{Line::kRateCap, 3, 0, "3:r:l:0\n"}, Encoded{Line::kComplete, 3, 0, "3:c:\n"},
        Encoded{Line::kMirrorChanged, 3, 2, "3:m:2\n"}, Encoded{Line::kGaveUp, 3, 135, "3:f:135\n"},
        Encoded{Line::kInstalled, 6, 0, "6:s\n"}, Encoded{Line::kUpdaterFailed, 6, 0, "6:f:31\n"}));

struct Failure {
  int status;
  int code;
  const char* bytes;
  Retry retry;
};

class FailureTest : public ::testing::TestWithParam<Failure> {};

// A result code becomes the stage's line for it: the same number means "retry"
// in the download and "over" in the first stage.
TEST_P(FailureTest, PicksTheStagesLine) {
  const Failure& f = GetParam();
  Line line = frontend_protocol::FailureLine(f.status, f.code);
  EXPECT_EQ(f.bytes, frontend_protocol::Encode(line, f.status, f.code));
  EXPECT_EQ(f.retry, frontend_protocol::Entry(line).retry);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FailureTest,
    ::testing::Values(
        Failure{0, 28, "0:f:CURLE_OPERATION_TIMEDOUT\n", Retry::kFinal},
        Failure{3, 28, "3:f:28\n", Retry::kRetries}, Failure{1, 6, "1:f:6\n", Retry::kFinal},
        Failure{3, 6, "3:f:6\n", Retry::kRetries}, Failure{2, 22, "2:f:22\n", Retry::kFinal},
        Failure{0, 22, "0:f:22\n", Retry::kFinal}, Failure{1, 26, "1:f:26\n", Retry::kFinal},
        Failure{3, 35, "3:f:35\n", Retry::kRetries}, Failure{3, 8, "3:f:8\n", Retry::kRetries}));

TEST(FrontendProtocol, FinalLinesAreTheCausePlusAHundred) {
  EXPECT_EQ(Line::kGaveUpHttpError, frontend_protocol::FinalLine(22));
  EXPECT_EQ(Line::kGaveUpRedirectUnparsable, frontend_protocol::FinalLine(8));
  EXPECT_EQ(Line::kGaveUpChecksum, frontend_protocol::FinalLine(61));
  // A cause without a line of its own still ends with 100 + cause.
  EXPECT_EQ(Line::kGaveUp, frontend_protocol::FinalLine(33));
  for (Line line : AllLines()) {
    const frontend_protocol::LineEntry& entry = frontend_protocol::Entry(line);
    if (entry.stages == frontend_protocol::kStage3 && entry.letter == 'f') {
      // In the download, 100 and above (and 52) end the task; below, a retry follows.
      bool final_code = entry.detail == Detail::kNumber &&
                        (entry.number >= frontend_protocol::kFinalCodeBase || entry.number == 52);
      if (entry.detail == Detail::kNumber) {
        EXPECT_EQ(final_code, entry.retry == Retry::kFinal) << entry.name;
      }
    }
  }
}

}  // namespace
