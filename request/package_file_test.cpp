#include "request/package_file.h"

#include <android-base/file.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

constexpr int64_t kMiB = 1 << 20;

PackageIdentity Stored(const char* validator, int64_t total) {
  PackageIdentity id;
  id.path = "/p.zip";
  id.size = 4 * kMiB;
  id.validator = validator;
  id.total = total;
  return id;
}

TEST(PackageIdentity, RoundTripAndOlderFiles) {
  PackageIdentity id = Stored("W/\"x=1\"", 77);
  id.md5 = "0123456789abcdef0123456789abcdef";
  PackageIdentity back;
  ASSERT_TRUE(PackageIdentity::parse(id.serialize(), &back));
  EXPECT_EQ(id.serialize(), back.serialize());
  // A side file from before validators and totals were kept still names the package.
  PackageIdentity old;
  ASSERT_TRUE(PackageIdentity::parse("path=/p.zip\nsize=4194304\n", &old));
  EXPECT_TRUE(id.samePackage(old));
  EXPECT_EQ(-1, old.total);
  PackageIdentity other = id;
  other.md5 = "ffffffffffffffffffffffffffffffff";
  EXPECT_FALSE(other.samePackage(id));
  EXPECT_FALSE(PackageIdentity::parse("garbage", &old));
  EXPECT_FALSE(PackageIdentity::parse("path=/p\nsize=-1\n", &old));
}

TEST(PackageIdentity, AnotherMirrorIsNotTheSameAnswer) {
  // Mirrors often serve the same path; only the mirror tells their answers apart,
  // and a validator of one vouches for nothing on another.
  PackageIdentity id = Stored("\"tag\"", 77);
  id.mirror = "http://m0.example:8081";
  PackageIdentity back;
  ASSERT_TRUE(PackageIdentity::parse(id.serialize(), &back));
  EXPECT_EQ("http://m0.example:8081", back.mirror);
  EXPECT_TRUE(id.samePackage(back));
  PackageIdentity other = id;
  other.mirror = "http://m0.example:8082";
  EXPECT_FALSE(other.samePackage(id));
  // A side file of an older agent names no mirror: its bytes stay the task's own.
  PackageIdentity old;
  ASSERT_TRUE(
      PackageIdentity::parse("path=" + id.path + "\nsize=" + std::to_string(id.size) + "\n", &old));
  EXPECT_TRUE(id.samePackage(old));
}

TEST(PackageFileTest, SecondHolderOfTheLockIsTurnedAway) {
  TemporaryDir dir;
  std::string path = std::string(dir.path) + "/pkg.zip";
  PackageFile first(path), second(path);
  EXPECT_EQ(PackageFile::LockResult::kLocked, first.lock());
  EXPECT_EQ(PackageFile::LockResult::kBusy, second.lock());
}

TEST(PackageFileTest, SideFileReplacesAPlantedLinkAndHashCoversThePrefix) {
  TemporaryDir dir;
  std::string path = std::string(dir.path) + "/pkg.zip";
  std::string victim = std::string(dir.path) + "/victim";
  ASSERT_TRUE(android::base::WriteStringToFile("keep", victim));
  ASSERT_EQ(0, symlink(victim.c_str(), (path + ".meta").c_str()));
  PackageFile file(path);
  PackageIdentity id = Stored("\"v\"", 6);
  ASSERT_TRUE(file.writeIdentity(id));
  std::string text;
  ASSERT_TRUE(android::base::ReadFileToString(victim, &text));
  EXPECT_EQ("keep", text);
  PackageIdentity back;
  ASSERT_TRUE(file.readIdentity(&back));
  EXPECT_EQ("\"v\"", back.validator);

  ASSERT_TRUE(file.open(false));
  ASSERT_EQ(6u, fwrite("abcdef", 1, 6, file.stream()));
  EXPECT_EQ(6, file.size());
  MD5_CTX whole, prefix, expected;
  ASSERT_TRUE(file.hashPrefix(3, &prefix));
  MD5_Init(&expected);
  MD5_Update(&expected, "abc", 3);
  uint8_t a[MD5_DIGEST_LENGTH], b[MD5_DIGEST_LENGTH];
  MD5_Final(a, &prefix);
  MD5_Final(b, &expected);
  EXPECT_EQ(0, memcmp(a, b, sizeof(a)));
  EXPECT_FALSE(file.hashPrefix(7, &whole));  // past the end
  ASSERT_TRUE(file.truncate());
  EXPECT_EQ(0, file.size());
}

// The side file vouches only for the very file it recorded, ours alone.
TEST(PackageFileTest, SideFileVouchesOnlyForItsOwnPrivateFile) {
  struct stat st {};
  st.st_mode = S_IFREG | 0600;
  st.st_nlink = 1;
  st.st_dev = 5;
  st.st_ino = 77;
  st.st_uid = 1000;
  PackageIdentity id = Stored("\"v\"", 6);
  id.file_dev = 5;
  id.file_ino = 77;
  id.file_uid = 1000;
  EXPECT_TRUE(vouches_for(id, st, 1000));
  struct Change {
    const char* what;
    void (*apply)(struct stat*, PackageIdentity*);
  };
  const Change changes[] = {
      {"not recorded", [](struct stat*, PackageIdentity* i) { i->file_uid = -1; }},
      {"other inode", [](struct stat* s, PackageIdentity*) { s->st_ino = 78; }},
      {"other device", [](struct stat* s, PackageIdentity*) { s->st_dev = 6; }},
      {"other owner", [](struct stat* s, PackageIdentity*) { s->st_uid = 1001; }},
      {"group readable", [](struct stat* s, PackageIdentity*) { s->st_mode = S_IFREG | 0640; }},
      {"second link", [](struct stat* s, PackageIdentity*) { s->st_nlink = 2; }},
      {"a FIFO", [](struct stat* s, PackageIdentity*) { s->st_mode = S_IFIFO | 0600; }},
  };
  for (const Change& change : changes) {
    struct stat changed = st;
    PackageIdentity stored = id;
    change.apply(&changed, &stored);
    EXPECT_FALSE(vouches_for(stored, changed, 1000)) << change.what;
  }
  EXPECT_FALSE(vouches_for(id, st, 0)) << "recorded for another user";
  PackageIdentity back;
  ASSERT_TRUE(PackageIdentity::parse(id.serialize(), &back));
  EXPECT_TRUE(vouches_for(back, st, 1000));
  EXPECT_FALSE(PackageIdentity::parse("path=/p\nsize=1\nfile=1:2\n", &back));
}

// Bytes at the path that nobody vouches for are carried into a new file before
// a byte is added; a descriptor kept on the old file sees none of our writes.
TEST(PackageFileTest, WritesOnlyIntoAFileOfItsOwn) {
  TemporaryDir dir;
  std::string path = std::string(dir.path) + "/pkg.zip";
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "kept" : "dropped");
    unlink(path.c_str());
    unlink((path + ".meta").c_str());
    ASSERT_TRUE(android::base::WriteStringToFile("abc", path));
    chmod(path.c_str(), 0666);
    android::base::unique_fd held(open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_GE(held.get(), 0);
    struct stat old_st, new_st;
    ASSERT_EQ(0, fstat(held.get(), &old_st));
    {
      PackageFile file(path);
      ASSERT_TRUE(file.open(keep));
      EXPECT_EQ(keep ? 3 : 0, file.size());
      ASSERT_TRUE(file.writeIdentity(Stored("\"v\"", 6)));
      ASSERT_EQ(3u, fwrite("def", 1, 3, file.stream()));
      file.close();
    }
    ASSERT_EQ(0, lstat(path.c_str(), &new_st));
    EXPECT_NE(old_st.st_ino, new_st.st_ino);
    EXPECT_EQ(0600u, new_st.st_mode & 07777);
    std::string text;
    ASSERT_TRUE(android::base::ReadFileToString(path, &text));
    EXPECT_EQ(keep ? "abcdef" : "def", text);
    ASSERT_TRUE(android::base::ReadFdToString(held.get(), &text));
    EXPECT_EQ("abc", text);  // the old inode, untouched
    EXPECT_EQ(3, lseek(held.get(), 0, SEEK_END));
    // The next run resumes the same file in place: it is ours now.
    PackageFile again(path);
    ASSERT_TRUE(again.open(true));
    struct stat reopened;
    ASSERT_EQ(0, fstat(fileno(again.stream()), &reopened));
    EXPECT_EQ(new_st.st_ino, reopened.st_ino);
    EXPECT_EQ(keep ? 6 : 3, again.size());
  }
  // A second link to our file: no longer vouched for, so carried into another.
  std::string link = std::string(dir.path) + "/link";
  ASSERT_EQ(0, ::link(path.c_str(), link.c_str()));
  PackageFile linked(path);
  ASSERT_TRUE(linked.open(true));
  struct stat st;
  ASSERT_EQ(0, fstat(fileno(linked.stream()), &st));
  EXPECT_EQ(1u, st.st_nlink);
  EXPECT_EQ(3, linked.size());  // "def", from the last round
}

}  // namespace
