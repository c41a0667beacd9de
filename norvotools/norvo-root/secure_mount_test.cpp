#include "norvotools/norvo-root/secure_mount.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "norvotools/norvo-root/scoped.h"
#include "norvotools/norvo-root/secure_mount_internal.h"
#include "norvotools/norvo-update/dir2url.h"
#include "tests/support/test_support.h"

using namespace test_support;

namespace {

const char kTmpfsLine[] = "I:file in tmpfs, allow dump";
const std::string kLatest = "/cache/norvo/download/LatestRom/";
const std::string kCross = "/cache/norvo/download/CrossRom/";

class GuardTest : public ::testing::Test {
 protected:
  PropertyScope props_;
  LogCapture log_;
};

TEST_F(GuardTest, TestKeysAllowEverythingSilently) {
  props_.Set("ro.build.tags", "test-keys");
  props_.Set("ro.bootimage.name", "recovery");
  EXPECT_TRUE(allowcreate(kLatest + "Validate"));
  EXPECT_TRUE(allowcreate("/data/anything"));
  EXPECT_TRUE(allowcreate("relative"));
  EXPECT_TRUE(log_.lines.empty());
}

TEST_F(GuardTest, ReleaseBuildInUpdaterEnvironments) {
  for (const char* env : {"recovery", "norvo"}) {
    SCOPED_TRACE(env);
    props_.Set("ro.bootimage.name", env);  // fresh store per value is not needed: plain file

    log_.lines.clear();
    EXPECT_TRUE(allowcreate("/tmp/download/status"));
    EXPECT_TRUE(allowcreate("/cache/tmp/download/LatestRom/filesize"));
    // Prefixes are on characters, not path components.
    EXPECT_TRUE(allowcreate("/tmpfoo/x"));
    EXPECT_TRUE(allowcreate("/cache/tmpx"));
    EXPECT_EQ(4u, log_.Count(kTmpfsLine));
    EXPECT_EQ(4u, log_.lines.size());

    log_.lines.clear();
    EXPECT_TRUE(allowcreate(kLatest + "version"));
    EXPECT_TRUE(allowcreate(kCross + "2"));
    EXPECT_TRUE(log_.lines.empty());  // table decisions are silent

    EXPECT_FALSE(allowcreate(kLatest + "Validate"));
    EXPECT_FALSE(allowcreate("/cache/norvo/download/response.norvo.encrypted"));
    EXPECT_FALSE(allowcreate("/cache/norvo/last_tmp"));
    EXPECT_FALSE(allowcreate(kLatest + "3"));
    EXPECT_FALSE(allowcreate(kLatest + "filesize"));
    // Exact keys only: no normalisation, case matters, relative never matches.
    EXPECT_FALSE(allowcreate(kLatest + "version/"));
    EXPECT_FALSE(allowcreate("/cache/norvo/download//LatestRom/version"));
    EXPECT_FALSE(allowcreate("//tmp/x"));
    EXPECT_FALSE(allowcreate("/cache/norvo/download/latestrom/version"));
    EXPECT_FALSE(allowcreate("tmp/x"));
    EXPECT_FALSE(allowcreate(""));
    EXPECT_TRUE(log_.lines.empty());
  }
}

TEST(GuardTable, HoldsExactlyTheRecordEntriesAndDumpNames) {
  PropertyScope props;
  EXPECT_EQ(22u, norvo_storage::allow_table_size());
  for (const std::string& dir : {kLatest, kCross}) {
    for (const char* yes : {"0", "1", "2", "filename", "md5", "version"}) {
      EXPECT_TRUE(norvo_storage::allowcreate_with(dir + yes, "null", "norvo")) << dir << yes;
    }
    for (const char* no : {"Validate", "curr_version", "filesize", "3"}) {
      EXPECT_FALSE(norvo_storage::allowcreate_with(dir + no, "null", "norvo")) << dir << no;
    }
  }
  for (const char* a : {"request", "response"}) {
    for (const char* e : {"norvo", "android"}) {
      for (const char* b : {"uncrypted", "encrypted"}) {
        std::string path = std::string("/cache/norvo/download/") + a + "." + e + "." + b;
        EXPECT_FALSE(norvo_storage::allowcreate_with(path, "null", "recovery")) << path;
      }
    }
  }
}

// Runs `body` in a child whose files may not grow past `limit` bytes (writes
// beyond it fail with EFBIG); returns the child's exit status, which `body`
// gives as its result.
template <typename Body>
int InChildWithFileLimit(rlim_t limit, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(body() & 0xff);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FileHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { old_umask_ = umask(022); }
  void TearDown() override { umask(old_umask_); }
  PropertyScope props_;  // unset properties: every path is allowed
  LogCapture log_;
  ScratchDir dir_;
  mode_t old_umask_;
};

TEST_F(FileHelperTest, WriterCreates0644AndTruncates) {
  const std::string path = dir_ / "f";
  ASSERT_EQ(0, create_file_and_writedata(path, "x"));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ("x", Read(path));

  ASSERT_EQ(0, create_file_and_writedata(path, "longer content\n"));
  ASSERT_EQ(0, create_file_and_writedata(path, ""));
  EXPECT_TRUE(Exists(path));
  EXPECT_EQ("", Read(path));
}

TEST_F(FileHelperTest, WriterReportsOpenAndWriteFailuresWithErrno) {
  const std::string missing = dir_ / "no/such/file";
  EXPECT_EQ(-ENOENT, create_file_and_writedata(missing, "x"));
  EXPECT_TRUE(log_.Has("E:failed to open file " + missing + "(2)No such file or directory"));

  // A device is never written to (nor removed).
  EXPECT_EQ(-ENODEV, create_file_and_writedata("/dev/full", "data"));
  EXPECT_TRUE(log_.Has("E:refuse to write /dev/full: not a regular file"));
  struct stat st;
  ASSERT_EQ(0, lstat("/dev/full", &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // A write that fails part way (the file size limit here, ENOSPC on a device)
  // reports its errno.
  EXPECT_EQ(EFBIG, InChildWithFileLimit(
                       4, [&] { return -create_file_and_writedata(dir_ / "big", "0123456789"); }));
}

TEST_F(FileHelperTest, ThreeArgumentFormInsertsOneSlashAndNormalisesNothing) {
  ASSERT_EQ(0, create_file_and_writedata(dir_.path(), "k", "v"));
  EXPECT_EQ("v", Read(dir_ / "k"));

  EXPECT_EQ(-ENOENT, create_file_and_writedata(dir_ / "gone/", "k", "v"));
  EXPECT_TRUE(
      log_.Has("E:failed to open file " + dir_.path() + "/gone//k(2)No such file or directory"));
}

TEST_F(FileHelperTest, RefusedPathIsNotWrittenButReportsSuccess) {
  props_.Set("ro.bootimage.name", "recovery");
  // A relative name never matches the guard's rules; write it from inside the
  // scratch directory so that an unwanted file would land there.
  char old_cwd[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(old_cwd, sizeof(old_cwd)));
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  int rc = create_file_and_writedata("refused", "x");
  ASSERT_EQ(0, chdir(old_cwd));
  EXPECT_EQ(0, rc);
  EXPECT_FALSE(Exists(dir_ / "refused"));
  EXPECT_TRUE(log_.Has("E:copy refused only in test-keys"));
}

TEST_F(FileHelperTest, ReaderReturnsContentUnchangedOrEmpty) {
  ASSERT_TRUE(android::base::WriteStringToFile(" a b \n\n", dir_ / "r"));
  EXPECT_EQ(" a b \n\n", open_file_and_readdata(dir_ / "r"));

  EXPECT_EQ("", open_file_and_readdata(dir_ / "missing"));
  EXPECT_TRUE(
      log_.Has("E:failed to open file" + (dir_ / "missing") + "(2)No such file or directory"));

  EXPECT_EQ("", open_file_and_readdata(dir_.path()));
  EXPECT_TRUE(log_.Has("E:failed to read data 21Is a directory"));
}

// -- work-area files: planted links and special files -----------------------------

TEST_F(FileHelperTest, WriterReplacesPlantedLinksAndFifosNeverWritesThrough) {
  const std::string outside = dir_ / "outside";
  ASSERT_TRUE(android::base::WriteStringToFile("keep", outside));
  const std::string link = dir_ / "status";
  ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
  ASSERT_EQ(0, create_file_and_writedata(link, "RomInfo"));
  EXPECT_EQ("keep", Read(outside));
  EXPECT_EQ("RomInfo", Read(link));
  struct stat st;
  ASSERT_EQ(0, lstat(link.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_TRUE(log_.Has("W:replace the link at " + link));

  // A dangling link would otherwise create its target.
  const std::string dangling = dir_ / "time";
  ASSERT_EQ(0, symlink((dir_ / "created-elsewhere").c_str(), dangling.c_str()));
  ASSERT_EQ(0, create_file_and_writedata(dangling, "x"));
  EXPECT_FALSE(Exists(dir_ / "created-elsewhere"));

  // A FIFO without a reader would block an ordinary open for ever.
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  ASSERT_EQ(0, create_file_and_writedata(fifo, "v"));
  EXPECT_EQ("v", Read(fifo));

  // A second name of a file elsewhere: the work-area name gets a file of its own.
  const std::string hard = dir_ / "hard";
  ASSERT_EQ(0, ::link(outside.c_str(), hard.c_str()));
  ASSERT_EQ(0, create_file_and_writedata(hard, "new"));
  EXPECT_EQ("keep", Read(outside));
  EXPECT_EQ("new", Read(hard));

  // A folder is refused, not removed.
  ASSERT_EQ(0, mkdir((dir_ / "folder").c_str(), 0755));
  EXPECT_EQ(-EISDIR, create_file_and_writedata(dir_ / "folder", "x"));
  EXPECT_TRUE(log_.Has("E:refuse to write " + (dir_ / "folder") + ": not a regular file"));

  // Appending keeps what is there and still refuses links.
  android::base::unique_fd fd;
  ASSERT_EQ(0, open_work_file(link, O_WRONLY | O_APPEND, 0644, &fd));
  ASSERT_TRUE(android::base::WriteStringToFd("+", fd.get()));
  EXPECT_EQ("RomInfo+", Read(link));
  EXPECT_TRUE(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(FileHelperTest, RecordReaderNeverBlocksAndIsBounded) {
  std::string out = "untouched";
  const std::string fifo = dir_ / "md5";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  alarm(10);  // a blocking open would hang the test; fail it instead
  EXPECT_EQ(-EINVAL, read_record_file(fifo, kRecordValueMax, &out));
  alarm(0);
  EXPECT_EQ("untouched", out);

  ASSERT_TRUE(android::base::WriteStringToFile("0123456789", dir_ / "size"));
  ASSERT_EQ(0, symlink((dir_ / "size").c_str(), (dir_ / "link").c_str()));
  EXPECT_EQ(-ELOOP, read_record_file(dir_ / "link", kRecordValueMax, &out));
  EXPECT_EQ(-EISDIR, read_record_file(dir_.path(), kRecordValueMax, &out));
  EXPECT_EQ(-ENOENT, read_record_file(dir_ / "missing", kRecordValueMax, &out));
  EXPECT_EQ(-EFBIG, read_record_file(dir_ / "size", 9, &out));
  EXPECT_EQ("untouched", out);
  EXPECT_EQ(0, read_record_file(dir_ / "size", 10, &out));
  EXPECT_EQ("0123456789", out);
  ASSERT_TRUE(android::base::WriteStringToFile("", dir_ / "empty"));
  EXPECT_EQ(0, read_record_file(dir_ / "empty", 10, &out));
  EXPECT_EQ("", out);

  // The generic reader refuses a FIFO the same way instead of waiting for a writer.
  alarm(10);
  EXPECT_EQ("", open_file_and_readdata(fifo));
  alarm(0);
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  UniqueDir d(opendir(dir.c_str()));
  while (d) {
    struct dirent* e = readdir(d.get());
    if (e == nullptr) break;
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(FileHelperTest, AtomicWriteReplacesWholeOrNotAtAll) {
  const std::string path = dir_ / "status";
  ASSERT_EQ(0, write_file_atomically(path, "SyncServerTime"));
  ASSERT_EQ(0, write_file_atomically(path, "RomInfo"));
  EXPECT_EQ("RomInfo", Read(path));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ(std::vector<std::string>{"status"}, Listing(dir_.path()));

  // A failed write (the size limit stands for a full file system) leaves the old
  // content and no temporary file.
  EXPECT_EQ(EFBIG, InChildWithFileLimit(
                       4, [&] { return -write_file_atomically(path, "AddressInfo and more"); }));
  EXPECT_EQ("RomInfo", Read(path));
  EXPECT_EQ(std::vector<std::string>{"status"}, Listing(dir_.path()));

  // A planted link is replaced, its target untouched.
  const std::string outside = dir_ / "outside";
  ASSERT_TRUE(android::base::WriteStringToFile("keep", outside));
  unlink(path.c_str());
  ASSERT_EQ(0, symlink(outside.c_str(), path.c_str()));
  ASSERT_EQ(0, write_file_atomically(path, "new"));
  EXPECT_EQ("keep", Read(outside));
  EXPECT_EQ("new", Read(path));

  // A folder there is refused.
  ASSERT_EQ(0, mkdir((dir_ / "d").c_str(), 0755));
  EXPECT_EQ(-EISDIR, write_file_atomically(dir_ / "d", "x"));
}

TEST_F(FileHelperTest, AtomicWriteSweepsTheTemporariesOfKilledWriters) {
  const std::string path = dir_ / "status";
  pid_t gone = fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) _exit(0);
  ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
  const std::string prefix = dir_ / ".norvo-tmp.status.";
  const std::string dead = prefix + std::to_string(gone) + ".aaaaaa";
  const std::string mine = prefix + std::to_string(getpid()) + ".bbbbbb";
  const std::string live = prefix + "1.cccccc";  // init never ends
  const std::string other = dir_ / ".norvo-tmp.time.1.dddddd";
  for (const std::string& name : {dead, mine, live, other}) {
    ASSERT_TRUE(android::base::WriteStringToFile("half", name));
  }
  ASSERT_EQ(0, write_file_atomically(path, "RomInfo"));
  EXPECT_EQ("RomInfo", Read(path));
  std::vector<std::string> expected{".norvo-tmp.status.1.cccccc", ".norvo-tmp.time.1.dddddd",
                                    "status"};
  EXPECT_EQ(expected, Listing(dir_.path()));
}

TEST_F(FileHelperTest, LinkSwapAndFolderRepair) {
  const std::string link = dir_ / "CurrentRom";
  ASSERT_EQ(0, replace_symlink_atomically("/a", link));
  ASSERT_EQ(0, replace_symlink_atomically("/b", link));
  std::string target;
  ASSERT_TRUE(android::base::Readlink(link, &target));
  EXPECT_EQ("/b", target);
  EXPECT_EQ(std::vector<std::string>{"CurrentRom"}, Listing(dir_.path()));

  // A link in place of a folder is replaced by a folder; its target stays empty.
  const std::string outside = dir_ / "outside";
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  const std::string record = dir_ / "LatestRom";
  ASSERT_EQ(0, symlink(outside.c_str(), record.c_str()));
  ASSERT_EQ(0, ensure_work_dir(record, 0755));
  struct stat st;
  ASSERT_EQ(0, lstat(record.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0, ensure_work_dir(record, 0755));  // a folder stays as it is
  EXPECT_TRUE(Listing(outside).empty());
}

// Runs redirect_stdio in a child whose standard output is a pipe back to the
// test, then runs `body` and exits. Returns everything that reached the pipe:
// the log writer inherits it too, so end of input means the writer is done.
std::string RunRedirected(const std::string& log_path, void (*body)(), int* status_out = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed in test";
  // The child must not flush the test runner's buffered output into the pipe.
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    redirect_stdio(log_path.c_str());
    body();
    fflush(nullptr);
    _exit(0);
  }
  close(fds[1]);
  android::base::unique_fd in(fds[0]);
  std::string seen;
  android::base::ReadFdToString(in.get(), &seen);
  int status = 0;
  waitpid(pid, &status, 0);
  if (status_out != nullptr) *status_out = status;
  return seen;
}

TEST(RedirectStdio, StampsEveryLineWithTheElapsedTime) {
  ScratchDir dir;
  const std::string log = dir / "log";
  ASSERT_TRUE(android::base::WriteStringToFile("kept\n", log));
  std::string seen = RunRedirected(log, [] {
    printf("hello world\n");
    printf("\n");
    fprintf(stderr, "to stderr\n");
    printf("no newline");
  });
  // The writer's own notices go to the standard output it inherited.
  EXPECT_EQ("getline failed", seen);

  std::string content = Read(log);
  std::regex expected(
      "kept\n"
      "\\[ {4}\\d\\.\\d{6}\\] hello world\n"
      "\\[ {4}\\d\\.\\d{6}\\]\n"
      "\\[ {4}\\d\\.\\d{6}\\] to stderr\n"
      "\\[ {4}\\d\\.\\d{6}\\] no newline");
  EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST(RedirectStdio, WithoutALogTheConsoleStays) {
  ScratchDir dir;
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0644));
  // No folder for it, a folder in its place, a FIFO that nobody reads.
  for (const std::string& log : {dir / "missing/log", dir.path(), dir / "fifo"}) {
    int status = -1;
    std::string seen = RunRedirected(
        log,
        [] {
          printf("still here\n");
          fprintf(stderr, "and here\n");
        },
        &status);
    EXPECT_EQ("fopen \"" + log + "\" failed" + "still here\n", seen) << log;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log << " " << status;
  }
}

TEST(RedirectStdio, AWriterThatGoesAwayCostsLinesNotTheProcess) {
  ScratchDir dir;
  const std::string log = dir / "log";
  int status = -1;
  RunRedirected(
      log,
      [] {
        // The only child of this process is the log writer.
        std::string children;
        android::base::ReadFileToString("/proc/self/task/" + std::to_string(getpid()) + "/children",
                                        &children);
        pid_t writer = atoi(children.c_str());
        if (writer <= 0 || kill(writer, SIGKILL) != 0) _exit(3);
        waitpid(writer, nullptr, 0);
        printf("after\n");
        fprintf(stderr, "after on stderr\n");
      },
      &status);
  // Killed by SIGPIPE (or stopped at exit 3) otherwise.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {DOWNLOAD_DIR, LATEST_ROM_DIR, CROSS_ROM_DIR, CURRENT_ROM_LINK};
    DOWNLOAD_DIR = src_.path();
    LATEST_ROM_DIR = src_ / "LatestRom";
    CROSS_ROM_DIR = src_ / "CrossRom";
    CURRENT_ROM_LINK = src_ / "CurrentRom";
    base_ = dst_ / "download";
  }
  void TearDown() override {
    DOWNLOAD_DIR = saved_[0];
    LATEST_ROM_DIR = saved_[1];
    CROSS_ROM_DIR = saved_[2];
    CURRENT_ROM_LINK = saved_[3];
  }
  void Put(const std::string& path, const std::string& data) {
    ASSERT_TRUE(android::base::WriteStringToFile(data, path)) << path;
  }
  PropertyScope props_;
  LogCapture log_;
  ScratchDir src_, dst_;
  std::string base_;
  std::vector<std::string> saved_;
};

TEST_F(DumpTest, CopiesRecordFlatAndExchangeNamedWithEnvironment) {
  ASSERT_EQ(0, mkdir(LATEST_ROM_DIR.c_str(), 0755));
  const std::pair<const char*, const char*> entries[] = {
      {"version", "V2"},    {"filename", "ota.zip"}, {"curr_version", "V1"},
      {"filesize", "1536"}, {"Validate", "ok"},      {"md5", "abc"}};
  for (const auto& e : entries) Put(LATEST_ROM_DIR + "/" + e.first, e.second);
  for (const char* m : {"0", "1"}) {
    ASSERT_EQ(0, mkdir((LATEST_ROM_DIR + "/" + m).c_str(), 0644));
    Put(LATEST_ROM_DIR + "/" + m + "/host", "http://h");
  }
  ASSERT_EQ(0, symlink(LATEST_ROM_DIR.c_str(), CURRENT_ROM_LINK.c_str()));
  Put(src_ / "request.uncrypted", "{q}");
  Put(src_ / "request.encrypted", "q=1");
  Put(src_ / "response.uncrypted", "{a}");
  // A file squatting where the destination directory belongs is replaced.
  Put(base_, "squatter");

  norvo_storage::jsondump_to(base_, "android");

  for (const auto& e : entries) EXPECT_EQ(e.second, Read(base_ + "/LatestRom/" + e.first));
  struct stat st;
  for (const char* m : {"0", "1"}) {
    ASSERT_EQ(0, lstat((base_ + "/LatestRom/" + m).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0, st.st_size);
  }
  ASSERT_EQ(0, stat((base_ + "/CrossRom").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ("LatestRom", Read(base_ + "/CurrentRom"));
  EXPECT_EQ("{q}", Read(base_ + "/request.android.uncrypted"));
  EXPECT_EQ("q=1", Read(base_ + "/request.android.encrypted"));
  EXPECT_EQ("{a}", Read(base_ + "/response.android.uncrypted"));
  EXPECT_TRUE(Exists(base_ + "/response.android.encrypted"));
  EXPECT_EQ("", Read(base_ + "/response.android.encrypted"));

  EXPECT_TRUE(log_.Has("D:>> Dump LatestRom under \"" + LATEST_ROM_DIR + "\" to \"" + base_ +
                       "/LatestRom\""));
  // The missing CrossRom source is skipped, not fatal.
  EXPECT_FALSE(log_.Has("D:>> Dump LatestRom under \"" + CROSS_ROM_DIR + "\" to \"" + base_ +
                        "/CrossRom\""));
}

TEST_F(DumpTest, CurrentRomNamesTheLinkedRecordOrStaysUnchanged) {
  ASSERT_EQ(0, mkdir(CROSS_ROM_DIR.c_str(), 0755));
  Put(CROSS_ROM_DIR + "/version", "X");
  ASSERT_EQ(0, symlink(CROSS_ROM_DIR.c_str(), CURRENT_ROM_LINK.c_str()));
  norvo_storage::jsondump_to(base_, "norvo");
  EXPECT_EQ("CrossRom", Read(base_ + "/CurrentRom"));
  EXPECT_EQ("X", Read(base_ + "/CrossRom/version"));
  EXPECT_TRUE(Exists(base_ + "/request.norvo.uncrypted"));

  // A link to somewhere else leaves the earlier answer in place.
  ASSERT_EQ(0, unlink(CURRENT_ROM_LINK.c_str()));
  ASSERT_EQ(0, symlink(src_.path().c_str(), CURRENT_ROM_LINK.c_str()));
  norvo_storage::jsondump_to(base_, "norvo");
  EXPECT_EQ("CrossRom", Read(base_ + "/CurrentRom"));
}

}  // namespace
