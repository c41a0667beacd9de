#include "norvotools/norvo-root/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesEveryByteThatCouldForgeALineOrDriveATerminal) {
  // A forged status line after a carriage return, a screen clear, DEL, a C1 CSI,
  // a right-to-left override (U+202E) and a NUL.
  const std::string hostile(
      "a\r3:c:\n\x1b[2J\x7f\x9b"
      "1m\xe2\x80\xae"
      "b\0c",
      21);
  EXPECT_EQ("a\\r3:c:\\n\\x1b[2J\\x7f\\x9b1m\\xe2\\x80\\xaeb\\x00c", printable(hostile));
  EXPECT_EQ("tab\\there", printable("tab\there"));
  // Nothing of it is left that a terminal or a line splitter acts on.
  for (unsigned char c : printable(hostile)) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
}

TEST(Printable, AnEscapeInTheLogIsNeverTheTextsOwn) {
  // The text "\x1b" (four characters) must not read like an escaped ESC, and a
  // quote must not end a quoted value early.
  EXPECT_EQ("\\\\x1b", printable("\\x1b"));
  EXPECT_EQ("say \\\"hi\\\"", printable("say \"hi\""));
  EXPECT_EQ("http://update.norvo.test/pkgs/V2.0.1/norvo-update.zip?a=1&b=%0D",
            printable("http://update.norvo.test/pkgs/V2.0.1/norvo-update.zip?a=1&b=%0D"));
}

TEST(Printable, LongTextIsCutAtItsBound) {
  EXPECT_EQ("abc...", printable("abcdef", 3));
  EXPECT_EQ("abc", printable("abc", 3));
  // The bound counts the text's bytes, not the escapes they become.
  EXPECT_EQ("\\r\\r...", printable("\r\r\r", 2));
  EXPECT_EQ(kPrintableMax + 3, printable(std::string(kPrintableMax + 1, 'x')).size());
  EXPECT_EQ("", printable(static_cast<const char*>(nullptr)));
}

TEST(PrintableTrace, EveryTraceLineKeepsItsPrefixAndItsTextIsEscaped) {
  auto trace = [](curl_infotype type, std::string data) {
    testing::internal::CaptureStderr();
    printable_curl_trace(nullptr, type, &data[0], data.size(), nullptr);
    return testing::internal::GetCapturedStderr();
  };
  EXPECT_EQ("< X-Evil: a\\r2:s:0\\x1b[2J\n",
            trace(CURLINFO_HEADER_IN, "X-Evil: a\r2:s:0\x1b[2J\r\n"));
  // A block of several lines: each one gets the prefix (libcurl's own trace
  // gives it only to the first).
  EXPECT_EQ("> GET / HTTP/1.1\n> Host: x\n> \n",
            trace(CURLINFO_HEADER_OUT, "GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ("* Issue another request to: 'http://h/\\x1b]0;x'\n",
            trace(CURLINFO_TEXT, "Issue another request to: 'http://h/\x1b]0;x'\n"));
  EXPECT_EQ("", trace(CURLINFO_DATA_IN, "body\n3:c:\n"));
}

}  // namespace
