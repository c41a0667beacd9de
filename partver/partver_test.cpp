#include "partver/partver.h"

#include <android-base/file.h>
#include <android-base/properties.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

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

// A partition image with its version record where the header says.
std::string Image(bool magic, uint32_t dtbo_size, uint64_t dtbo_offset, int32_t major,
                  int32_t middle, int32_t minor) {
  std::string image = Header(magic, dtbo_size, dtbo_offset);
  const size_t record = (dtbo_offset + dtbo_size + 4095) & ~size_t{4095};
  image.resize(std::max(record + partver::kRecordSize, partver::kHeaderSize), '\0');
  PutLE(&image, record + 8, static_cast<uint32_t>(major), 4);
  PutLE(&image, record + 12, static_cast<uint32_t>(middle), 4);
  PutLE(&image, record + 16, static_cast<uint32_t>(minor), 4);
  return image;
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

// The whole probe on files of the test, with a property directory of its own.
class PartverRunTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("NORVO_PROPERTY_DIR", props_.path, 1); }
  void TearDown() override {
    unsetenv("NORVO_PROPERTY_DIR");
    if (DIR* d = opendir(props_.path)) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') unlink((std::string(props_.path) + "/" + e->d_name).c_str());
      }
      closedir(d);
    }
  }
  std::string Run(std::vector<const char*> args, const std::string& device,
                  const std::string& target) {
    std::vector<char*> argv{const_cast<char*>("partver")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, partver::run(static_cast<int>(argv.size() - 1), argv.data(), device.c_str(),
                              target.c_str()));
    return testing::internal::GetCapturedStdout();
  }
  std::string Prop(const char* name) { return android::base::GetProperty(name, "<unset>"); }
  void WriteImage(const std::string& data) {
    ASSERT_TRUE(android::base::WriteStringToFile(data, image_.path));
  }
  void WriteTarget(const std::string& data) {
    ASSERT_TRUE(android::base::WriteStringToFile(data, target_.path));
  }

  TemporaryDir props_;
  TemporaryFile image_;
  TemporaryFile target_;
};

TEST_F(PartverRunTest, PublishesVersionAndTargets) {
  WriteImage(Image(true, 0x1234, 0x5000, 1234, -5, 7));
  WriteTarget("a=1\nb=2=3\nflag\n");
  EXPECT_EQ("", Run({"-v"}, image_.path, target_.path));
  EXPECT_EQ("1", Prop("ota.norvo.existed"));
  EXPECT_EQ("123", Prop("ota.norvo.source.major"));
  EXPECT_EQ("-5", Prop("ota.norvo.source.middle"));
  EXPECT_EQ("7", Prop("ota.norvo.source.minor"));
  EXPECT_EQ("1", Prop("a"));
  EXPECT_EQ("2=3", Prop("b"));
  EXPECT_EQ("flag", Prop("flag"));
}

TEST_F(PartverRunTest, NoMagicStillReadsTheRecord) {
  WriteImage(Image(false, 100, 4096, 12, 0, 1000));
  Run({"-v"}, image_.path, target_.path);
  EXPECT_EQ("0", Prop("ota.norvo.existed"));
  EXPECT_EQ("12", Prop("ota.norvo.source.major"));
  EXPECT_EQ("0", Prop("ota.norvo.source.middle"));
  EXPECT_EQ("100", Prop("ota.norvo.source.minor"));
}

TEST_F(PartverRunTest, OtherArgumentsDoNothing) {
  WriteImage(Image(true, 0, 0, 1, 2, 3));
  WriteTarget("a=1\n");
  for (std::vector<const char*> args :
       {std::vector<const char*>{}, {"-V"}, {"v"}, {"-v", "-v"}, {"--v"}}) {
    EXPECT_EQ("", Run(args, image_.path, target_.path));
  }
  EXPECT_EQ("<unset>", Prop("ota.norvo.existed"));
  EXPECT_EQ("<unset>", Prop("a"));
}

TEST_F(PartverRunTest, DeviceFailuresStillApplyTargets) {
  WriteTarget("a=1\n");
  EXPECT_EQ("failed to open norvo-dev (No such file or directory)\n",
            Run({"-v"}, "/nonexistent/sda30", target_.path));
  EXPECT_EQ("1", Prop("a"));
  EXPECT_EQ("<unset>", Prop("ota.norvo.existed"));

  WriteImage("ANDROID!short");
  EXPECT_EQ("failed to read norvo-dev (No data available)\n",
            Run({"-v"}, image_.path, target_.path));
  EXPECT_EQ("<unset>", Prop("ota.norvo.existed"));
}

TEST_F(PartverRunTest, RecordFailuresKeepTheExistedProperty) {
  // The record would lie past the end of the image.
  std::string image = Image(true, 0, 8192, 1, 2, 3);
  image.resize(8192 + 10);
  WriteImage(image);
  EXPECT_EQ("failed to read norvo_misc (No data available)\n",
            Run({"-v"}, image_.path, target_.path));
  EXPECT_EQ("1", Prop("ota.norvo.existed"));
  EXPECT_EQ("<unset>", Prop("ota.norvo.source.major"));

  WriteImage(Header(false, 0x2000, UINT64_MAX - 0x1000));
  EXPECT_EQ("failed to seek norvo_dev to 0 (Value too large for defined data type)\n",
            Run({"-v"}, image_.path, target_.path));
  EXPECT_EQ("<unset>", Prop("ota.norvo.source.major"));
  EXPECT_EQ("0", Prop("ota.norvo.existed"));
}

TEST_F(PartverRunTest, MissingTargetFile) {
  WriteImage(Image(true, 0, 0, 1, 2, 3));
  const std::string missing = std::string(props_.path) + "/../no-such-targetversion";
  EXPECT_EQ("failed to open " + missing + ": No such file or directory\n",
            Run({"-v"}, image_.path, missing));
  EXPECT_EQ("1", Prop("ota.norvo.source.major"));
}

}  // namespace
