#include "norvotools/norvo-zel/zelprotocal.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "norvotools/norvo-root/scoped.h"
#include "tests/support/test_support.h"

namespace {

using Record = std::map<std::string, std::string>;

using test_support::LogCapture;

class ZelStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = std::string(dir_.path) + "/zel";
    events_ = root_ + "/events";
    pid_file_ = std::string(dir_.path) + "/diagpid";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(events_.c_str(), 0755));
  }

  std::string read(const std::string& path) {
    std::string content;
    EXPECT_TRUE(android::base::ReadFileToString(path, &content)) << path;
    return content;
  }

  JsonPtr snapshot(const std::string& dir) {
    testing::internal::CaptureStdout();
    JsonPtr json(norvozel::zel_sync_to_json(dir));
    printed_ = testing::internal::GetCapturedStdout();
    return json;
  }

  TemporaryDir dir_;
  std::string root_, events_, pid_file_, printed_;
};

TEST_F(ZelStoreTest, OneFilePerKeyLastWriteWins) {
  EXPECT_EQ(0, norvozel::zel_write_data_to(events_, pid_file_,
                                           {{"download_reason", ""}, {"download_status", "28"}}));
  EXPECT_EQ("", read(events_ + "/download_reason"));
  EXPECT_EQ("28", read(events_ + "/download_status"));

  norvozel::zel_write_data_to(events_, pid_file_, {{"download_status", "7"}});
  EXPECT_EQ("7", read(events_ + "/download_status"));
  struct stat st;
  ASSERT_EQ(0, stat((events_ + "/download_status").c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777 & ~0022u);
}

TEST_F(ZelStoreTest, KeysThatAreNotPlainFileNamesAreRefused) {
  LogCapture log;
  const Record record = {{"", "x"},
                         {".", "x"},
                         {"..", "x"},
                         {"../escaped", "x"},
                         {"sub/inner", "x"},
                         {std::string("nul\0/../escaped2", 16), "x"},
                         {"download_status", "5"}};
  EXPECT_EQ(0, norvozel::zel_write_data_to(events_, pid_file_, record));
  EXPECT_EQ("5", read(events_ + "/download_status"));  // the good key still lands
  EXPECT_NE(0, access((root_ + "/escaped").c_str(), F_OK));
  EXPECT_NE(0, access((root_ + "/escaped2").c_str(), F_OK));
  EXPECT_NE(0, access((events_ + "/nul").c_str(), F_OK));
  EXPECT_NE(0, access((events_ + "/sub").c_str(), F_OK));
  int refusals = 0;
  for (const std::string& l : log.lines) refusals += l.rfind("E:refuse event key", 0) == 0;
  EXPECT_EQ(6, refusals);
}

TEST_F(ZelStoreTest, PidFileCheckLogLines) {
  {
    LogCapture log;
    norvozel::zel_write_data_to(events_, pid_file_, {});
    EXPECT_TRUE(log.Has("E:failed to get " + pid_file_ + ":2(No such file or directory)"));
    EXPECT_FALSE(log.HasPrefix("I:file "));
    EXPECT_EQ(1u, log.lines.size());
  }
  ASSERT_TRUE(android::base::WriteStringToFile("1234", pid_file_));
  {
    LogCapture log;
    norvozel::zel_write_data_to(events_, pid_file_, {});
    EXPECT_TRUE(log.Has("I:file " + pid_file_ + "is existed"));
    EXPECT_TRUE(log.Has("I:Quillon disabled the signalling to \"--diag\""));
    EXPECT_FALSE(log.HasPrefix("E:"));
  }
  // The write side never creates the event directory: a missing one fails every write.
  ASSERT_EQ(0, rmdir(events_.c_str()));
  norvozel::zel_write_data_to(events_, pid_file_, {{"k", "v"}});
  EXPECT_NE(0, access(events_.c_str(), F_OK));
}

TEST_F(ZelStoreTest, SnapshotOfTheStore) {
  JsonPtr empty = snapshot(root_);
  ASSERT_NE(nullptr, empty);
  JsonText text(cJSON_PrintUnformatted(empty.get()));
  EXPECT_STREQ("{\"events\":[{}]}", text.get());

  const std::string tricky = "a \"quoted\" \\ back\nslash\ttab";
  norvozel::zel_write_data_to(events_, pid_file_,
                              {{"download_reason", ""}, {"download_status", "7"}, {"t", tricky}});
  ASSERT_TRUE(android::base::WriteStringToFile("beside", root_ + "/top"));
  ASSERT_EQ(0, symlink((events_ + "/download_status").c_str(), (root_ + "/linked").c_str()));
  ASSERT_EQ(0, mkfifo((root_ + "/fifo").c_str(), 0644));

  const std::string printed = norvozel::zel_sync_to_string_of(root_);
  JsonPtr json(cJSON_Parse(printed.c_str()));
  ASSERT_NE(nullptr, json) << printed;
  EXPECT_NE(std::string::npos, printed.find("\n\t\"")) << "not the formatted printer";
  EXPECT_STREQ("beside", cJSON_GetObjectItem(json.get(), "top")->valuestring);
  EXPECT_STREQ("7", cJSON_GetObjectItem(json.get(), "linked")->valuestring);
  EXPECT_EQ(nullptr, cJSON_GetObjectItem(json.get(), "fifo"));

  const cJSON* events = cJSON_GetObjectItem(json.get(), "events");
  ASSERT_TRUE(cJSON_IsArray(events));
  ASSERT_EQ(1, cJSON_GetArraySize(events));
  const cJSON* inner = cJSON_GetArrayItem(events, 0);
  EXPECT_STREQ("", cJSON_GetObjectItem(inner, "download_reason")->valuestring);
  const cJSON* status = cJSON_GetObjectItem(inner, "download_status");
  ASSERT_TRUE(cJSON_IsString(status));  // a string, never a number
  EXPECT_STREQ("7", status->valuestring);
  EXPECT_STREQ(tricky.c_str(), cJSON_GetObjectItem(inner, "t")->valuestring);

  snapshot(root_);
  EXPECT_NE(std::string::npos, printed_.find("zel_sync_to_json: 7\n"));
}

TEST(ZelLiteralTest, EscapesAsThePrinterDoesAndKeepsNul) {
  // Every byte but NUL, against the JSON library's own printer.
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  JsonPtr item(cJSON_CreateString(all.c_str()));
  JsonText printed(cJSON_PrintUnformatted(item.get()));
  EXPECT_EQ(std::string(printed.get()), norvozel::json_string_literal(all));

  EXPECT_EQ("\"ab\\u0000cd\"", norvozel::json_string_literal(std::string("ab\0cd", 5)));
  EXPECT_EQ("\"\\u0000\\u0000\"", norvozel::json_string_literal(std::string(2, '\0')));
}

TEST_F(ZelStoreTest, NulBytesArePostedWholeAndFormatKept) {
  ASSERT_TRUE(android::base::WriteStringToFile(std::string("ab\0cd\n", 6), events_ + "/k"));
  testing::internal::CaptureStdout();
  const std::string printed = norvozel::zel_sync_to_string_of(root_);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("{\n\t\"events\":\t[{\n\t\t\t\"k\":\t\"ab\\u0000cd\\n\"\n\t\t}]\n}", printed);
}

TEST_F(ZelStoreTest, ValuesAndEntriesAreBounded) {
  const size_t max = norvozel::kZelMaxValueBytes;
  ASSERT_TRUE(android::base::WriteStringToFile(std::string(max + 10, 'x'), events_ + "/big"));
  ASSERT_TRUE(android::base::WriteStringToFile(std::string(max, 'y'), events_ + "/exact"));
  LogCapture log;
  JsonPtr json = snapshot(root_);
  ASSERT_NE(nullptr, json);
  const cJSON* inner = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "events"), 0);
  EXPECT_EQ(std::string(max, 'x'), cJSON_GetObjectItem(inner, "big")->valuestring);
  EXPECT_EQ(std::string(max, 'y'), cJSON_GetObjectItem(inner, "exact")->valuestring);
  EXPECT_TRUE(
      log.Has("W:value of " + events_ + "/big cut to its first " + std::to_string(max) + " bytes"));
  EXPECT_FALSE(log.HasPrefix("W:value of " + events_ + "/exact"));

  // More entries than a snapshot takes: the first ones, then a single warning.
  for (size_t i = 0; i < norvozel::kZelMaxEntries + 5; ++i) {
    ASSERT_TRUE(android::base::WriteStringToFile("1", events_ + "/e" + std::to_string(i)));
  }
  LogCapture many;
  json = snapshot(root_);
  ASSERT_NE(nullptr, json);
  inner = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "events"), 0);
  // "events" itself is one of the entries.
  EXPECT_EQ(static_cast<int>(norvozel::kZelMaxEntries) - 1, cJSON_GetArraySize(inner));
  size_t warnings = 0;
  for (const std::string& line : many.lines) {
    if (line.rfind("W:snapshot full", 0) == 0) ++warnings;
  }
  EXPECT_EQ(1u, warnings);
}

TEST_F(ZelStoreTest, SnapshotBytesAreBounded) {
  const size_t max = norvozel::kZelMaxValueBytes;
  const size_t fit = norvozel::kZelMaxSnapshotBytes / max;
  for (size_t i = 0; i < fit + 3; ++i) {
    ASSERT_TRUE(android::base::WriteStringToFile(std::string(max, 'z'),
                                                 events_ + "/v" + std::to_string(i)));
  }
  LogCapture log;
  JsonPtr json = snapshot(root_);
  ASSERT_NE(nullptr, json);
  const cJSON* inner = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "events"), 0);
  EXPECT_EQ(static_cast<int>(fit), cJSON_GetArraySize(inner));
  EXPECT_TRUE(log.HasPrefix("W:snapshot full"));
}

TEST_F(ZelStoreTest, SkippedEntriesCountAgainstTheBudget) {
  // A folder of dangling links, reached through several links to it: nothing in it
  // is kept, yet every entry costs a look. The budget ends the walk all the same.
  const std::string dead = root_ + "/dead";
  ASSERT_EQ(0, mkdir(dead.c_str(), 0755));
  for (size_t i = 0; i < norvozel::kZelMaxEntries; ++i) {
    ASSERT_EQ(0, symlink("/nonexistent/x", (dead + "/l" + std::to_string(i)).c_str()));
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(0, symlink(dead.c_str(), (events_ + "/to" + std::to_string(i)).c_str()));
  }
  LogCapture log;
  JsonPtr json = snapshot(root_);
  ASSERT_NE(nullptr, json);
  EXPECT_TRUE(log.HasPrefix("W:snapshot full"));
}

TEST_F(ZelStoreTest, UnlistableRootGivesNothing) {
  const std::string missing = std::string(dir_.path) + "/missing";
  EXPECT_EQ(nullptr, snapshot(missing));
  EXPECT_EQ("zeldiag info is not ready", printed_);
  testing::internal::CaptureStdout();
  EXPECT_EQ("", norvozel::zel_sync_to_string_of(missing));
  testing::internal::GetCapturedStdout();
}

int depthOf(const cJSON* obj, const char* name) {
  int depth = 0;
  for (const cJSON* arr = cJSON_GetObjectItem(obj, name); cJSON_IsArray(arr);
       arr = cJSON_GetObjectItem(cJSON_GetArrayItem(arr, 0), name)) {
    ++depth;
  }
  return depth;
}

TEST_F(ZelStoreTest, LinkLoopsAndDeepTreesEnd) {
  // Two links back to the root at different levels: without a guard the snapshot
  // would recurse forever.
  ASSERT_EQ(0, symlink(root_.c_str(), (events_ + "/up").c_str()));
  ASSERT_EQ(0, symlink(root_.c_str(), (root_ + "/self").c_str()));
  std::string deep = root_;
  for (int i = 0; i < 20; ++i) {
    deep += "/d";
    ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
  }
  ASSERT_TRUE(android::base::WriteStringToFile("v", events_ + "/k"));

  LogCapture log;
  JsonPtr json = snapshot(root_);
  ASSERT_NE(nullptr, json);
  EXPECT_EQ(nullptr, cJSON_GetObjectItem(json.get(), "self"));
  const cJSON* inner = cJSON_GetArrayItem(cJSON_GetObjectItem(json.get(), "events"), 0);
  EXPECT_STREQ("v", cJSON_GetObjectItem(inner, "k")->valuestring);
  EXPECT_EQ(nullptr, cJSON_GetObjectItem(inner, "up"));
  EXPECT_EQ(norvozel::kZelMaxDepth, depthOf(json.get(), "d"));
  EXPECT_TRUE(log.HasPrefix("W:skip " + root_ + "/self"));
}

}  // namespace
