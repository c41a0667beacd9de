#include "partver/partver.h"

#include <android-base/file.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

void PutLE(std::string* image, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*image)[at + i] = static_cast<char>(value >> (8 * i));
}

std::string Header(bool magic, uint32_t dtbo_size, uint64_t dtbo_offset) {
  std::string header(partver::kHeaderSize, '\0');
  memcpy(&header[0], magic ? "ANDROID!" : "ANDROXD!", 8);
  PutLE(&header, partver::kDtboSizeOffset, dtbo_size, 4);
  PutLE(&header, partver::kDtboOffsetOffset, dtbo_offset, 8);
  return header;
}

TEST(PartverFormatTest, CutToThreeCharacters) {
  EXPECT_EQ("7", partver::format_version_number(7));
  EXPECT_EQ("12", partver::format_version_number(12));
  EXPECT_EQ("999", partver::format_version_number(999));
  EXPECT_EQ("100", partver::format_version_number(1000));
  EXPECT_EQ("123", partver::format_version_number(1234));
  EXPECT_EQ("-5", partver::format_version_number(-5));
  EXPECT_EQ("-12", partver::format_version_number(-1234));
  EXPECT_EQ("-21", partver::format_version_number(INT32_MIN));
}

TEST(PartverOffsetTest, RoundsTheDtboEndUp) {
  uint64_t at = 1;
  std::string h = Header(true, 0, 0);
  ASSERT_TRUE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
  EXPECT_EQ(0u, at);
  h = Header(true, 1, 4096);
  ASSERT_TRUE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
  EXPECT_EQ(8192u, at);
  h = Header(true, 0x1000, 0x7000);
  ASSERT_TRUE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
  EXPECT_EQ(0x8000u, at);
  h = Header(false, 0xffffffffu, 0x123456789ull);
  ASSERT_TRUE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
  EXPECT_EQ((0x123456789ull + 0xffffffffull + 4095) & ~4095ull, at);
}

TEST(PartverOffsetTest, HostileHeadersAreRefused) {
  uint64_t at = 0;
  // Near 2^64 the sum wraps to a small position that would read the wrong bytes.
  std::string h = Header(true, 0x2000, UINT64_MAX - 0x1000);
  EXPECT_FALSE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
  // Beyond what a file offset can express.
  h = Header(true, 0, 1ull << 63);
  EXPECT_FALSE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
  h = Header(true, 0xffffffffu, INT64_MAX - 0x1000);
  EXPECT_FALSE(partver::version_record_offset(reinterpret_cast<const uint8_t*>(h.data()), &at));
}

TEST(PartverTargetTest, KeyBeforeFirstEquals) {
  using Entries = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ((Entries{{"a", "1"}, {"b", "2=3"}, {"", ""}}),
            partver::parse_target_versions("a=1\nb=2=3\n"));
  EXPECT_EQ((Entries{{"flag", "flag"}}), partver::parse_target_versions("flag"));
  EXPECT_EQ((Entries{{"k", ""}, {"", "v"}, {"", ""}, {"x", "y"}}),
            partver::parse_target_versions("k=\n=v\n\nx=y"));
  EXPECT_EQ((Entries{{"", ""}}), partver::parse_target_versions(""));
}

// Runs `body` and returns what it printed.
template <typename F>
std::string Printed(F body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

TEST(PartverKindTest, OnlyPartitionsAndRegularFilesAreRead) {
  TemporaryDir dir;
  test_support::PropertyScope props;
  const std::string fifo = std::string(dir.path) + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  // A FIFO nobody writes would block the open and the read for ever.
  for (const std::string& path : {fifo, std::string("/dev/null"), std::string(dir.path)}) {
    EXPECT_EQ("failed to open norvo-dev (not a block device or regular file)\n",
              Printed([&] { partver::probe_partition(path.c_str()); }))
        << path;
  }
  EXPECT_EQ("failed to open " + fifo + ": not a regular file\n",
            Printed([&] { partver::apply_target_versions(fifo.c_str()); }));

  const std::string big = std::string(dir.path) + "/big";
  ASSERT_TRUE(android::base::WriteStringToFile(
      "k=v\n" + std::string(partver::kMaxTargetVersionBytes, 'x'), big));
  EXPECT_EQ("failed to read " + big + ": File too large\n",
            Printed([&] { partver::apply_target_versions(big.c_str()); }));
  std::string value;
  EXPECT_FALSE(android::base::ReadFileToString(props.path() + "/k", &value));

  const std::string fits = std::string(dir.path) + "/fits";
  std::string text = "k=v\n";
  text += std::string(partver::kMaxTargetVersionBytes - text.size(), '\n');
  ASSERT_TRUE(android::base::WriteStringToFile(text, fits));
  EXPECT_EQ("", Printed([&] { partver::apply_target_versions(fits.c_str()); }));
  EXPECT_TRUE(android::base::ReadFileToString(props.path() + "/k", &value));
  EXPECT_EQ("v", value);
}

}  // namespace
