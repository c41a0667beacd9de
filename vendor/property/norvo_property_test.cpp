#include "request/vendor/norvo_property.h"

#include <android-base/file.h>
#include <android-base/properties.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

class NorvoPropertyTest : public ::testing::Test {
 protected:
  // Writes the store's file directly: "ro." properties are write-once, and each case
  // stands for a different device.
  void Preset(const std::string& name, const std::string& value) { props_.Set(name, value); }
  test_support::PropertyScope props_;
};

TEST_F(NorvoPropertyTest, InternationalWhenModDeviceEndsWithGlobal) {
  EXPECT_FALSE(isInternationalVersion());
  ASSERT_TRUE(android::base::SetProperty("ro.product.mod_device", "lmi_global"));
  EXPECT_TRUE(isInternationalVersion());
}

TEST_F(NorvoPropertyTest, NotInternationalForOtherSuffixes) {
  for (const char* value : {"lmi", "lmi_global_eea", "lmi_GLOBAL", "global", ""}) {
    Preset("ro.product.mod_device", value);
    EXPECT_FALSE(isInternationalVersion()) << value;
  }
  Preset("ro.product.mod_device", "_global");
  EXPECT_TRUE(isInternationalVersion());
}

TEST_F(NorvoPropertyTest, StableOnlyForUserBuilds) {
  EXPECT_FALSE(isStableVersion());
  for (const char* value : {"userdebug", "eng", "User", "user "}) {
    Preset("ro.build.type", value);
    EXPECT_FALSE(isStableVersion()) << value;
  }
  Preset("ro.build.type", "user");
  EXPECT_TRUE(isStableVersion());
}

TEST_F(NorvoPropertyTest, SerialCopiedWithItsTerminator) {
  char buf[92];
  memset(buf, 0, sizeof(buf));
  EXPECT_EQ(-1, getDeviceSerial(buf));
  EXPECT_STREQ("", buf);

  ASSERT_TRUE(android::base::SetProperty("ro.serialno", "a1b2c3"));
  EXPECT_EQ(0, getDeviceSerial(buf));
  EXPECT_STREQ("a1b2c3", buf);
}

TEST_F(NorvoPropertyTest, LongSerialCutToTheBuffer) {
  // Guard bytes after the 92-byte buffer must stay untouched.
  char buf[100];
  memset(buf, 0, sizeof(buf));
  memset(buf + 92, 'G', 8);
  ASSERT_TRUE(android::base::SetProperty("ro.serialno", std::string(150, 's')));
  EXPECT_EQ(0, getDeviceSerial(buf));
  EXPECT_EQ(std::string(91, 's'), buf);
  EXPECT_EQ(std::string(8, 'G'), std::string(buf + 92, 8));
  EXPECT_EQ(-1, getDeviceSerial(nullptr));
}

}  // namespace
