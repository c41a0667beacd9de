#include "request/package_file.h"

#include <android-base/file.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

constexpr int64_t kMiB = 1 << 20;

struct Case {
  const char* name;
  AnswerFacts answer;
  int64_t on_disk;
  PackageIdentity stored;
  AnswerAction action;
  int64_t total;
  int code;
  bool permanent;
};

PackageIdentity Stored(const char* validator, int64_t total) {
  PackageIdentity id;
  id.path = "/p.zip";
  id.size = 4 * kMiB;
  id.validator = validator;
  id.total = total;
  return id;
}

AnswerFacts Answer(long status, int64_t start, int64_t total, int64_t length,
                   const char* validator = "") {
  AnswerFacts a;
  a.status = status;
  a.range_start = start;
  a.range_total = total;
  a.content_length = length;
  a.validator = validator;
  return a;
}

TEST(DecideAnswer, Table) {
  const int64_t size = 4 * kMiB;
  const SizeBounds bounds = record_size_bounds(size);
  const Case cases[] = {
      {"fresh 200", Answer(200, -1, -1, size), 0, Stored("", -1), AnswerAction::kAppend, size, 0,
       false},
      {"200 on resume replaces", Answer(200, -1, -1, size), 1000, Stored("\"a\"", size),
       AnswerAction::kReplace, size, 0, false},
      {"206 continues", Answer(206, 1000, size, size - 1000, "\"a\""), 1000, Stored("\"a\"", size),
       AnswerAction::kAppend, size, 0, false},
      {"206 from 0 replaces", Answer(206, 0, size, size), 1000, Stored("", -1),
       AnswerAction::kReplace, size, 0, false},
      {"206 elsewhere", Answer(206, 500, size, size - 500), 1000, Stored("", -1),
       AnswerAction::kRestartFromZero, -1, 33, false},
      {"206 of a changed package", Answer(206, 1000, size, size - 1000, "\"b\""), 1000,
       Stored("\"a\"", size), AnswerAction::kRestartFromZero, -1, 33, false},
      {"206 with another total", Answer(206, 1000, size + 5, size - 995), 1000, Stored("", size),
       AnswerAction::kRestartFromZero, -1, 33, false},
      {"416 whole", Answer(416, -1, size, 0), size, Stored("\"a\"", size),
       AnswerAction::kAlreadyComplete, size, 0, false},
      {"416 lie about a half", Answer(416, -1, size / 2, 0), size / 2, Stored("\"a\"", size),
       AnswerAction::kRestartFromZero, -1, 22, false},
      {"416 half without a side total", Answer(416, -1, size / 2, 0), size / 2, Stored("", -1),
       AnswerAction::kRestartFromZero, -1, 22, false},
      {"404", Answer(404, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, true},
      {"410", Answer(410, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, true},
      {"503", Answer(503, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, false},
      {"429", Answer(429, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, false},
      {"505", Answer(505, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, true},
      {"302 without target", Answer(302, -1, -1, 0), 0, Stored("", -1), AnswerAction::kFail, -1, 22,
       true},
      {"twice the record", Answer(200, -1, -1, 2 * size), 0, Stored("", -1), AnswerAction::kFail,
       -1, 63, true},
      {"half the record", Answer(200, -1, -1, size / 2), 0, Stored("", -1), AnswerAction::kFail, -1,
       18, true},
      {"within the rounding", Answer(200, -1, -1, size + kMiB / 20), 0, Stored("", -1),
       AnswerAction::kAppend, size + kMiB / 20, 0, false},
      {"no length", Answer(200, -1, -1, -1), 0, Stored("", -1), AnswerAction::kAppend, -1, 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerDecision d = decide_answer(c.answer, c.on_disk, c.stored, bounds);
    EXPECT_EQ(c.action, d.action);
    EXPECT_EQ(c.total, d.total);
    if (c.action == AnswerAction::kFail || c.action == AnswerAction::kRestartFromZero) {
      EXPECT_EQ(c.code, d.code);
      EXPECT_EQ(c.permanent, d.permanent);
    }
  }
  // Without a record size only the hard cap bounds the answer.
  EXPECT_EQ(AnswerAction::kFail,
            decide_answer(Answer(200, -1, -1, kMaxPackageBytes + 1), 0, Stored("", -1), {}).action);
}

struct ValidatorCase {
  const char* etag;
  const char* last_modified;
  const char* chosen;
};

class ValidatorChoice : public testing::TestWithParam<ValidatorCase> {};

TEST_P(ValidatorChoice, OnlyAStrongTagOrElseLastModified) {
  const ValidatorCase& c = GetParam();
  EXPECT_EQ(c.chosen, choose_validator(c.etag, c.last_modified));
  // The same through the head of an answer.
  AnswerHead head;
  head.add("HTTP/1.1 200 OK\r\n");
  if (*c.etag) head.add(std::string("ETag: ") + c.etag + "\r\n");
  if (*c.last_modified) head.add(std::string("Last-Modified: ") + c.last_modified + "\r\n");
  head.add("\r\n");
  EXPECT_EQ(c.chosen, head.facts().validator);
}

constexpr char kDate[] = "Tue, 08 Dec 2026 10:00:00 GMT";
INSTANTIATE_TEST_SUITE_P(
    Tags, ValidatorChoice,
    testing::Values(ValidatorCase{"\"s1\"", kDate, "\"s1\""}, ValidatorCase{"\"s1\"", "", "\"s1\""},
                    ValidatorCase{"W/\"w1\"", kDate, kDate}, ValidatorCase{"W/\"w1\"", "", ""},
                    ValidatorCase{"w/\"w1\"", "", ""}, ValidatorCase{"unquoted", kDate, kDate},
                    ValidatorCase{"\"a\"b\"", "", ""}, ValidatorCase{"\"", "", ""},
                    ValidatorCase{"", kDate, kDate}, ValidatorCase{"", "", ""}));

TEST(ContentEncodingTest, OnlyIdentityBodiesAreThePackage) {
  for (const char* ok : {"", "identity", "Identity", " identity , identity"}) {
    EXPECT_TRUE(is_identity_encoding(ok)) << ok;
  }
  for (const char* coded : {"gzip", "br", "identity, gzip", "x-gzip", "deflate"}) {
    EXPECT_FALSE(is_identity_encoding(coded)) << coded;
    for (long status : {200L, 206L}) {
      AnswerFacts answer;
      answer.status = status;
      answer.range_start = status == 206 ? 100 : -1;
      answer.content_length = 100;
      answer.content_encoding = coded;
      PackageIdentity stored;
      AnswerDecision d = decide_answer(answer, status == 206 ? 100 : 0, stored, {});
      EXPECT_EQ(AnswerAction::kFail, d.action) << coded;
      EXPECT_EQ(kForeignEncoding, d.code);
      EXPECT_TRUE(d.permanent);
    }
  }
}

TEST(AnswerHeadTest, EachStatusLineStartsAfreshAndEtagWinsOverLastModified) {
  AnswerHead head;
  EXPECT_EQ(AnswerHead::Line::kStatus, head.add("HTTP/1.1 302 Found\r\n"));
  EXPECT_EQ(AnswerHead::Line::kField, head.add("ETag: \"old\"\r\n"));
  EXPECT_EQ(AnswerHead::Line::kField, head.add("Retry-After: 9\r\n"));
  EXPECT_EQ(AnswerHead::Line::kEnd, head.add("\r\n"));
  EXPECT_EQ(302, head.facts().status);
  // The redirect target's answer owes nothing to the redirect's head.
  EXPECT_EQ(AnswerHead::Line::kStatus, head.add("HTTP/1.1 206 Partial Content\r\n"));
  head.add("last-modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n");
  head.add("content-range: bytes 100-199/200\r\n");
  head.add("Content-Length: 100\r\n");
  EXPECT_EQ(AnswerHead::Line::kEnd, head.add("\r\n"));
  EXPECT_EQ(206, head.facts().status);
  EXPECT_EQ(100, head.facts().range_start);
  EXPECT_EQ(200, head.facts().range_total);
  EXPECT_EQ(100, head.facts().content_length);
  EXPECT_EQ("Wed, 21 Oct 2015 07:28:00 GMT", head.facts().validator);
  EXPECT_EQ("", head.retryAfter());
  head.add("HTTP/1.1 200 OK\r\n");
  head.add("Last-Modified: x\r\n");
  head.add("ETag: W/\"e\"\r\n");
  head.add("Content-Length: 99999999999999999999999\r\n");  // too large to hold
  head.add("\r\n");
  // A weak tag never vouches for bytes: Last-Modified is the validator.
  EXPECT_EQ("x", head.facts().validator);
  EXPECT_EQ(INT64_MAX, head.facts().content_length);
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

// Content-Range holds decimal digits only; a leading zero or a 0x prefix must
// not switch the reading to hexadecimal.
TEST(ContentRange, DecimalDigitsOnly) {
  EXPECT_EQ(100, content_range_start("bytes 0100-199/200"));
  EXPECT_EQ(-1, content_range_start("bytes 0x10-199/200"));
  EXPECT_EQ(200, content_range_total("bytes 0-9/0200"));
  EXPECT_EQ(-1, content_range_total("bytes 0-9/0x20"));
}

TEST(SizeBounds, ATenthOfTheUnitEitherWay) {
  SizeBounds mib = record_size_bounds(2621440);  // "2.5M"
  EXPECT_TRUE(mib.contains(2621440 + kMiB / 10));
  EXPECT_FALSE(mib.contains(2621440 + kMiB / 10 + 2));
  EXPECT_FALSE(mib.contains(2621440 / 2));
  SizeBounds gib = record_size_bounds(1610612736);  // "1.5G"
  EXPECT_TRUE(gib.contains(1610612736 + 100 * kMiB));
  EXPECT_FALSE(gib.contains(1610612736 + 110 * kMiB));
  EXPECT_FALSE(record_size_bounds(0).known());
  EXPECT_TRUE(record_size_bounds(0).contains(12345));
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

TEST(RetryAfter, SecondsOrDate) {
  EXPECT_EQ(2, parse_retry_after(" 2 ", 0));
  EXPECT_EQ(-1, parse_retry_after("soon", 0));
  EXPECT_EQ(-1, parse_retry_after("", 0));
  // Wed, 21 Oct 2015 07:28:00 GMT is 1445412480.
  EXPECT_EQ(30, parse_retry_after("Wed, 21 Oct 2015 07:28:00 GMT", 1445412450));
  EXPECT_EQ(0, parse_retry_after("Wed, 21 Oct 2015 07:28:00 GMT", 1445412999));
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
