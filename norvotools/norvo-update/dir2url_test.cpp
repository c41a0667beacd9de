#include "norvotools/norvo-update/dir2url.h"

#include <android-base/file.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "norvotools/norvo-root/scoped.h"
#include "tests/support/test_support.h"

using namespace test_support;

namespace {

class RomRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = umask(022);
    saved_ = {DOWNLOAD_DIR, LATEST_ROM_DIR, CROSS_ROM_DIR, CURRENT_ROM_LINK, STATUS_FILE};
    DOWNLOAD_DIR = dir_.path();
    LATEST_ROM_DIR = dir_ / "LatestRom";
    CROSS_ROM_DIR = dir_ / "CrossRom";
    CURRENT_ROM_LINK = dir_ / "CurrentRom";
    STATUS_FILE = dir_ / "status";
    mkdir(LATEST_ROM_DIR.c_str(), 0755);
    mkdir(CROSS_ROM_DIR.c_str(), 0755);
  }
  void TearDown() override {
    DOWNLOAD_DIR = saved_[0];
    LATEST_ROM_DIR = saved_[1];
    CROSS_ROM_DIR = saved_[2];
    CURRENT_ROM_LINK = saved_[3];
    STATUS_FILE = saved_[4];
    umask(old_umask_);
  }

  static JsonHandle Parse(const std::string& text) {
    return JsonHandle(cJSON_Parse(text.c_str()), simple_free_json);
  }
  // Writes the LatestRom record of an answer with the given ROM object members
  // and mirror list.
  void WriteLatest(const std::string& rom, const std::string& mirrors) {
    JsonHandle doc = Parse(R"({"CurrentRom":{"version":"V1"},"LatestRom":{)" + rom +
                           R"(},"MirrorList":)" + mirrors + "}");
    ASSERT_TRUE(doc);
    handle_latestrom_to_dir(std::move(doc));
  }
  std::string Latest(const std::string& name) { return LATEST_ROM_DIR + "/" + name; }

  PropertyScope props_;  // unset properties: the guard allows every write
  LogCapture log_;
  ScratchDir dir_;
  std::vector<std::string> saved_;
  mode_t old_umask_;
};

TEST_F(RomRecordTest, WritesEveryValueMirrorsAndLink) {
  WriteLatest(R"("version":"V2","filename":"ota.zip","filesize":"980.3M","Validate":"val",)"
              R"("md5":"abc")",
              R"(["https://s.example/x","http://h.example"])");
  EXPECT_EQ("V2", Read(Latest("version")));
  EXPECT_EQ("ota.zip", Read(Latest("filename")));
  EXPECT_EQ("V1", Read(Latest("curr_version")));
  EXPECT_EQ("1027919052", Read(Latest("filesize")));
  EXPECT_EQ("val", Read(Latest("Validate")));
  EXPECT_EQ("abc", Read(Latest("md5")));
  EXPECT_EQ("https://s.example/x", Read(Latest("0/host")));
  EXPECT_EQ("http://h.example", Read(Latest("1/host")));
  EXPECT_FALSE(Exists(Latest("2")));

  struct stat st;
  ASSERT_EQ(0, stat(Latest("0").c_str(), &st));
  EXPECT_EQ(static_cast<mode_t>(S_IFDIR | 0644), st.st_mode & (S_IFMT | 07777));

  std::string target;
  ASSERT_TRUE(android::base::Readlink(CURRENT_ROM_LINK, &target));
  EXPECT_EQ(LATEST_ROM_DIR, target);

  EXPECT_TRUE(log_.Has("I:>> Now we have V1"));
  EXPECT_TRUE(log_.Has("I:>> Download ROM info:V2 - ota.zip, 980.3M"));
  EXPECT_EQ(2u, log_.Count("I:===================================="));
  EXPECT_TRUE(log_.Has("D:>> MirrorList:2"));
  EXPECT_TRUE(log_.Has("I:>> \t Mirror 1:http://h.example"));
  EXPECT_TRUE(log_.Has("I:Create the CurrentRom info \"" + CURRENT_ROM_LINK + "\" -> \"" +
                       LATEST_ROM_DIR + "\""));
}

TEST_F(RomRecordTest, SizeIsWrittenOnlyForAWholeNumberWithUnit) {
  WriteLatest(R"("filesize":"1.5G")", "[]");
  EXPECT_EQ("1610612736", Read(Latest("filesize")));
  WriteLatest(R"("filesize":"2M")", "[]");
  EXPECT_EQ("2097152", Read(Latest("filesize")));

  // None of these replaces the size already recorded.
  for (const char* bad : {"1536", "", "M", "abcM", "1.5xG", "1.5 G", "1e300G", "nanM"}) {
    SCOPED_TRACE(bad);
    WriteLatest(std::string(R"("filesize":")") + bad + "\"", "[]");
    EXPECT_EQ("2097152", Read(Latest("filesize")));
  }
  WriteLatest(R"("filesize":1536)", "[]");
  EXPECT_EQ("2097152", Read(Latest("filesize")));
}

TEST_F(RomRecordTest, MalformedAnswerGivesEmptyValuesWithoutCrashing) {
  JsonHandle doc =
      Parse(R"({"CurrentRom":"V1","LatestRom":{"version":2,"filename":null,"Validate":[],)"
            R"("md5":{}},"MirrorList":["http://a",7,"http://c"]})");
  handle_latestrom_to_dir(std::move(doc));
  for (const char* name : {"version", "filename", "curr_version", "Validate", "md5"}) {
    EXPECT_TRUE(Exists(Latest(name))) << name;
    EXPECT_EQ("", Read(Latest(name))) << name;
  }
  EXPECT_FALSE(Exists(Latest("filesize")));
  EXPECT_EQ("http://a", Read(Latest("0/host")));
  EXPECT_EQ("", Read(Latest("1/host")));
  EXPECT_EQ("http://c", Read(Latest("2/host")));

  // No ROM object and a list that is not an array.
  handle_latestrom_to_dir(Parse(R"({"MirrorList":{"0":"http://x"}})"));
  EXPECT_EQ("", Read(Latest("version")));
  EXPECT_EQ("http://a", Read(Latest("0/host")));  // untouched
  EXPECT_TRUE(log_.Has("D:>> MirrorList:0"));

  // Not even a document.
  handle_latestrom_to_dir(JsonHandle(nullptr, simple_free_json));
  EXPECT_EQ("", Read(Latest("md5")));
}

TEST_F(RomRecordTest, OtherKeysGoToCrossRomAndHandleIsReturned) {
  int deleted = 0;
  JsonHandle doc(cJSON_Parse(R"({"CrossRom":{"version":"X"},"MirrorList":[]})"),
                 [&deleted](cJSON* j) {
                   ++deleted;
                   cJSON_Delete(j);
                 });
  cJSON* raw = doc.get();
  JsonHandle back = handle_norvodo(std::move(doc), "CrossRom");
  EXPECT_EQ(raw, back.get());
  EXPECT_EQ(0, deleted);
  EXPECT_EQ("X", Read(CROSS_ROM_DIR + "/version"));
  std::string target;
  ASSERT_TRUE(android::base::Readlink(CURRENT_ROM_LINK, &target));
  EXPECT_EQ(CROSS_ROM_DIR, target);

  handle_latestrom_to_dir(std::move(back));
  EXPECT_EQ(1, deleted);
}

TEST_F(RomRecordTest, UrlSkipsHttpsMirrorsAndSplitsPathPrefix) {
  WriteLatest(R"("version":"V2","filename":"ota.zip")",
              R"(["https://s.example","http://h.example/a/b","http://plain.example"])");
  EXPECT_EQ((std::vector<std::string>{"http://", "h.example", "/a/b/V2/ota.zip"}),
            handle_rom_to_url(0));
  EXPECT_EQ((std::vector<std::string>{"http://", "plain.example", "/V2/ota.zip"}),
            handle_rom_to_url(2));

  // Everything left uses https: the walk ends at the first missing index.
  WriteLatest(R"("version":"V2","filename":"ota.zip")",
              R"(["https://s.example","https://t.example","https://u.example"])");
  log_.lines.clear();
  EXPECT_TRUE(handle_rom_to_url(0).empty());
  EXPECT_TRUE(log_.Has("E:failed to read host: No such file or directory"));
}

TEST_F(RomRecordTest, MirrorListHasEveryUsableMirrorInRecordOrder) {
  WriteLatest(R"("version":"V2","filename":"ota.zip")",
              R"(["http://a.example/p","https://s.example","ftp:","http://b.example:8081"])");
  std::vector<RomMirror> mirrors = rom_mirror_urls();
  ASSERT_EQ(2u, mirrors.size());
  EXPECT_EQ(0, mirrors[0].index);
  EXPECT_EQ((std::vector<std::string>{"http://", "a.example", "/p/V2/ota.zip"}), mirrors[0].parts);
  // The same parts as handle_rom_to_url gives for the first usable one.
  EXPECT_EQ(handle_rom_to_url(0), mirrors[0].parts);
  EXPECT_EQ(3, mirrors[1].index);
  EXPECT_EQ("http://b.example:8081/V2/ota.zip", mirrors[1].url());
}

TEST_F(RomRecordTest, FailoverOrderStartsAtTheGivenUrlAndTriesEachMirrorOnce) {
  WriteLatest(R"("version":"V2","filename":"f")",
              R"(["http://m0.example","http://m1.example","http://m2.example"])");
  std::vector<RomMirror> usable = rom_mirror_urls();
  struct Case {
    std::string url;
    std::vector<int> order;
  };
  for (const Case& c : std::vector<Case>{{"http://m0.example/V2/f", {0, 1, 2}},
                                         {"http://m1.example/V2/f", {1, 2, 0}},
                                         {"http://m2.example/V2/f", {2, 0, 1}},
                                         // Not the record's: only that URL, no failover.
                                         {"http://elsewhere.example/V2/f", {-1}},
                                         {"http://m1.example/V2/g", {-1}}}) {
    SCOPED_TRACE(c.url);
    std::vector<int> order;
    for (const RomMirror& m : mirror_failover_order(usable, c.url)) order.push_back(m.index);
    EXPECT_EQ(c.order, order);
  }
  EXPECT_EQ(std::vector<int>{-1}, [] {
    std::vector<int> order;
    for (const RomMirror& m : mirror_failover_order({}, "http://m0.example/V2/f"))
      order.push_back(m.index);
    return order;
  }());
}

TEST_F(RomRecordTest, ShorterSecondListLeavesOlderMirrorsReachable) {
  WriteLatest(R"("version":"V2","filename":"f")",
              R"(["https://a","https://b","http://old.example"])");
  WriteLatest(R"("version":"V3","filename":"g")", R"(["https://c","https://d"])");
  EXPECT_EQ("http://old.example", Read(Latest("2/host")));
  EXPECT_EQ((std::vector<std::string>{"http://", "old.example", "/V3/g"}), handle_rom_to_url(0));
}

// Lists that end inside the bound, at it, and past it (the only plain-http mirror
// comes last): past the bound the record keeps the first kMaxMirrors and gives no URL,
// as a record without a usable mirror does.
class MirrorBoundTest : public RomRecordTest, public testing::WithParamInterface<int> {};

TEST_P(MirrorBoundTest, KeepsAtMostTheBoundAndChoosesOnlyAmongThose) {
  const int count = GetParam();
  std::string list = "[";
  for (int i = 0; i + 1 < count; ++i) list += "\"https://m" + std::to_string(i) + "\",";
  list += "\"http://last.example\"]";
  WriteLatest(R"("version":"V2","filename":"f")", list);
  int kept = 0;
  while (access(Latest(std::to_string(kept)).c_str(), F_OK) == 0) ++kept;
  EXPECT_EQ(std::min(count, kMaxMirrors), kept);
  std::vector<std::string> url = handle_rom_to_url(0);
  if (count <= kMaxMirrors) {
    EXPECT_EQ((std::vector<std::string>{"http://", "last.example", "/V2/f"}), url);
  } else {
    EXPECT_TRUE(url.empty());
    EXPECT_TRUE(log_.HasPrefix("W:the answer lists more than"));
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, MirrorBoundTest,
                         testing::Values(3, kMaxMirrors, kMaxMirrors + 1, 20000));

TEST_F(RomRecordTest, UrlIsEmptyWhenTheRecordIsIncomplete) {
  EXPECT_TRUE(handle_rom_to_url(0).empty());
  EXPECT_TRUE(log_.Has("E:failed to get realpath of \"" + CURRENT_ROM_LINK +
                       "\": No such file or directory"));

  // A host with nothing after the scheme, then a record without a filename.
  WriteLatest(R"("version":"V2","filename":"f")", R"(["ftp:"])");
  EXPECT_TRUE(handle_rom_to_url(0).empty());
  WriteLatest(R"("version":"V2","filename":"f")", R"(["http://h"])");
  ASSERT_EQ(0, unlink(Latest("filename").c_str()));
  log_.lines.clear();
  EXPECT_TRUE(handle_rom_to_url(0).empty());
  EXPECT_TRUE(log_.Has("E:failed to read filename: No such file or directory"));
}

TEST_F(RomRecordTest, FileSizeReadsTheCurrentRecord) {
  EXPECT_EQ("", getFileSize());
  EXPECT_TRUE(log_.Has("E:failed to get realpath: No such file or directory"));

  WriteLatest(R"("filesize":"1536")", "[]");
  EXPECT_EQ("", getFileSize());
  EXPECT_TRUE(log_.Has("E:failed to get filesize: No such file or directory"));

  WriteLatest(R"("filesize":"1.5G")", "[]");
  EXPECT_EQ("1610612736", getFileSize());
}

TEST_F(RomRecordTest, LinkIsReplacedEvenWhenDangling) {
  ASSERT_EQ(0, symlink((dir_ / "gone").c_str(), CURRENT_ROM_LINK.c_str()));
  create_symlink_forrom(CROSS_ROM_DIR);
  std::string target;
  ASSERT_TRUE(android::base::Readlink(CURRENT_ROM_LINK, &target));
  EXPECT_EQ(CROSS_ROM_DIR, target);
}

TEST_F(RomRecordTest, StatusHoldsExactlyTheName) {
  report_status("SyncServerTime");
  report_status("RomInfo");
  EXPECT_EQ("RomInfo", Read(dir_ / "status"));
}

// -- planted links, FIFOs, failures and kills ------------------------------------

TEST_F(RomRecordTest, LinkedRecordFolderIsReplacedNotWrittenThrough) {
  const std::string outside = dir_ / "outside";
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  ASSERT_TRUE(android::base::WriteStringToFile("keep", outside + "/version"));
  ASSERT_EQ(0, rmdir(LATEST_ROM_DIR.c_str()));
  ASSERT_EQ(0, symlink(outside.c_str(), LATEST_ROM_DIR.c_str()));

  WriteLatest(R"("version":"V2","filename":"f","md5":"m")", R"(["http://h"])");
  EXPECT_EQ("keep", Read(outside + "/version"));
  EXPECT_FALSE(Exists(outside + "/md5"));
  EXPECT_FALSE(Exists(outside + "/0"));
  struct stat st;
  ASSERT_EQ(0, lstat(LATEST_ROM_DIR.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ("V2", Read(Latest("version")));
  EXPECT_EQ("http://h", Read(Latest("0/host")));

  // A link planted as a mirror folder or a value of the old record is dropped.
  ASSERT_EQ(0, symlink(outside.c_str(), Latest("1").c_str()));
  ASSERT_EQ(0, unlink(Latest("md5").c_str()));
  ASSERT_EQ(0, symlink((outside + "/version").c_str(), Latest("md5").c_str()));
  WriteLatest(R"("version":"V3","filename":"f")", R"(["http://h","http://i"])");
  EXPECT_EQ("http://i", Read(Latest("1/host")));
  EXPECT_FALSE(Exists(outside + "/host"));
  EXPECT_EQ("keep", Read(outside + "/version"));
  ASSERT_EQ(0, lstat(Latest("md5").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(RomRecordTest, FifoInTheRecordBlocksNeitherWriterNorReaders) {
  WriteLatest(R"("version":"V2","filename":"f","filesize":"1M")", R"(["http://h"])");
  for (const char* name : {"filesize", "version", "0/host"}) {
    ASSERT_EQ(0, unlink(Latest(name).c_str()));
    ASSERT_EQ(0, mkfifo(Latest(name).c_str(), 0644));
  }
  alarm(20);  // a blocking open would hang the test; fail it instead
  EXPECT_EQ("", getFileSize());
  EXPECT_TRUE(handle_rom_to_url(0).empty());
  // The writer drops the FIFOs with the old record.
  WriteLatest(R"("version":"V3","filename":"g")", R"(["http://h"])");
  alarm(0);
  EXPECT_EQ("V3", Read(Latest("version")));
  EXPECT_EQ((std::vector<std::string>{"http://", "h", "/V3/g"}), handle_rom_to_url(0));
  struct stat st;
  EXPECT_NE(0, lstat(Latest("filesize").c_str(), &st));  // no size in the new answer
}

// The record's values as one text, to compare whole records.
std::string Snapshot(const std::string& dir) {
  std::string text;
  for (const char* name :
       {"version", "filename", "curr_version", "filesize", "Validate", "md5", "0/host", "1/host"}) {
    text += std::string(name) + "=" + Read(dir + "/" + name) + ";";
  }
  return text;
}

TEST_F(RomRecordTest, FailedWriteLeavesTheOldRecordWhole) {
  WriteLatest(R"("version":"V1","filename":"a","filesize":"1M","md5":"old")", R"(["http://a"])");
  const std::string before = Snapshot(LATEST_ROM_DIR);
  std::string target_before;
  ASSERT_TRUE(android::base::Readlink(CURRENT_ROM_LINK, &target_before));

  // The first values fit under the limit, the long checksum does not: the new
  // record fails half way, as on a full /tmp.
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {64, 64};
    setrlimit(RLIMIT_FSIZE, &rl);
    JsonHandle doc = Parse(R"({"LatestRom":{"version":"V2","filename":"b","md5":")" +
                           std::string(200, 'f') + R"("},"MirrorList":["http://b"]})");
    _exit(-handle_latestrom_to_dir(std::move(doc)) & 0xff);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(EFBIG, WEXITSTATUS(status));
  EXPECT_EQ(before, Snapshot(LATEST_ROM_DIR));
  // Nothing of the attempt is left beside the record.
  std::vector<std::string> names;
  UniqueDir d(opendir(dir_.path().c_str()));
  while (struct dirent* e = readdir(d.get())) names.push_back(e->d_name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{".", "..", "CrossRom", "CurrentRom", "LatestRom"}), names);
}

TEST_F(RomRecordTest, KillAtAnyInstantLeavesOldOrNewRecord) {
  const std::string answer_a =
      R"({"CurrentRom":{"version":"V0"},"LatestRom":{"version":"VA","filename":"a",)"
      R"("filesize":"1M","Validate":"va","md5":"ma"},"MirrorList":["http://a0","http://a1"]})";
  const std::string answer_b =
      R"({"CurrentRom":{"version":"V0"},"LatestRom":{"version":"VB","filename":"b",)"
      R"("filesize":"2M","Validate":"vb","md5":"mb"},"MirrorList":["http://b0","http://b1"]})";
  handle_latestrom_to_dir(Parse(answer_a));
  const std::string a = Snapshot(LATEST_ROM_DIR);
  handle_latestrom_to_dir(Parse(answer_b));
  const std::string b = Snapshot(LATEST_ROM_DIR);
  ASSERT_NE(a, b);

  unsigned seed = 12345;
  int torn = 0;
  for (int round = 0; round < 40; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0;; ++i) handle_latestrom_to_dir(Parse(i % 2 ? answer_a : answer_b));
    }
    usleep(200 + rand_r(&seed) % 30000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string now = Snapshot(LATEST_ROM_DIR);
    if (now != a && now != b) ++torn;
    std::string target;
    EXPECT_TRUE(android::base::Readlink(CURRENT_ROM_LINK, &target));
    EXPECT_EQ(LATEST_ROM_DIR, target);
  }
  EXPECT_EQ(0, torn);
  // The next write succeeds over whatever a kill left behind.
  EXPECT_EQ(0, handle_latestrom_to_dir(Parse(answer_a)));
  EXPECT_EQ(a, Snapshot(LATEST_ROM_DIR));
}

}  // namespace
