#include "request/download_target.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
