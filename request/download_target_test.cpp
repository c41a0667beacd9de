#include "request/download_target.h"

#include <android-base/file.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "norvotools/norvo-update/dir2url.h"
#include "tests/support/test_support.h"

namespace {

// The port and the path (query included) are kept; a target without a path keeps its host.
TEST(RedirectSplit, KeepsThePortAndThePath) {
  const struct {
    const char* url;
    const char* scheme;
    const char* host;
    const char* path;
  } cases[] = {
      {"http://cdn.norvo.test:8080/pkgs/a.zip?x=1", "http://", "cdn.norvo.test:8080",
       "/pkgs/a.zip?x=1"},
      {"https://mirror.test:8443", "https://", "mirror.test:8443", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    SplitUrl parts;
    ASSERT_TRUE(split_redirect_url(c.url, &parts));
    EXPECT_EQ(c.scheme, parts.scheme);
    EXPECT_EQ(c.host, parts.host);
    EXPECT_EQ(c.path, parts.path);
  }
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

TEST(FileSize, EmptyOrNonNumericDisablesPercentages) {
  EXPECT_EQ(1027919052u, parse_file_size("1027919052"));
  EXPECT_EQ(0u, parse_file_size(""));
  EXPECT_EQ(0u, parse_file_size("12.5M"));
  EXPECT_EQ(0u, parse_file_size("-5"));
  EXPECT_EQ(0u, parse_file_size("99999999999999999999999"));
}

// The size record holds decimal digits only; a leading zero or a 0x prefix must
// not switch the reading to hexadecimal.
TEST(FileSize, DecimalDigitsOnly) {
  EXPECT_EQ(10u, parse_file_size("010"));
  EXPECT_EQ(0u, parse_file_size("0x10"));
  EXPECT_EQ(0u, parse_file_size("+5"));
}

// The download compares the record's MD5 in lower case; anything that is not 32
// hex digits means "no MD5". A FIFO planted as the record gives none at once
// rather than holding the task.
TEST(RecordMd5, LowerCaseHexDigitsOrNone) {
  test_support::ScratchDir dir;
  const std::string saved = CURRENT_ROM_LINK;
  CURRENT_ROM_LINK = dir / "CurrentRom";
  ASSERT_EQ(0, mkdir((dir / "V2").c_str(), 0755));
  ASSERT_EQ(0, symlink((dir / "V2").c_str(), CURRENT_ROM_LINK.c_str()));
  const std::string md5 = dir / "V2/md5";
  struct {
    const char* text;
    const char* want;
  } cases[] = {
      {" 0123456789ABCDEF0123456789abcdef\n", "0123456789abcdef0123456789abcdef"},
      {"0123456789abcdef0123456789abcde", ""},    // 31 digits
      {"0123456789abcdef0123456789abcdef0", ""},  // 33
      {"0123456789abcdef0123456789abcdeg", ""},   // not hex
      {"0123456789abcdef 0123456789abcde", ""},   // a blank inside
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(android::base::WriteStringToFile(c.text, md5));
    EXPECT_EQ(c.want, record_md5());
  }
  ASSERT_EQ(0, unlink(md5.c_str()));
  EXPECT_EQ("", record_md5());
  ASSERT_EQ(0, mkfifo(md5.c_str(), 0644));
  EXPECT_EQ("", record_md5());
  CURRENT_ROM_LINK = saved;
}

}  // namespace
