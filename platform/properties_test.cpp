#include "cutils/properties.h"

#include <android-base/file.h>
#include <android-base/properties.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/property_store.h"
#include "tests/support/test_support.h"

namespace {

// A fresh property directory per test.
class PropertyStoreTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return props_.path() + "/" + name; }
  std::string FileContent(const std::string& name) const {
    std::string content;
    if (!android::base::ReadFileToString(Path(name), &content)) return "<missing>";
    return content;
  }
  int EntryCount() const {
    int n = 0;
    DIR* d = opendir(props_.path().c_str());
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.' || strlen(e->d_name) > 2;
    closedir(d);
    return n;
  }

  test_support::PropertyScope props_;
};

TEST(PropertyRulesTest, Names) {
  for (const char* ok : {"a", "ro.build.type", "debug.logcat", "x-y_z:1@2", "A9"}) {
    EXPECT_TRUE(property_store::IsValidName(ok)) << ok;
  }
  for (const char* bad : {"", ".hidden", ".tmp.abc", "a..b", "..", "a/b", "/etc", "trail.",
                          "with space", "new\nline", "quote'"}) {
    EXPECT_FALSE(property_store::IsValidName(bad)) << bad;
  }
}

TEST(PropertyRulesTest, ValueLengths) {
  EXPECT_TRUE(property_store::IsValidValue("a", std::string(91, 'v')));
  EXPECT_FALSE(property_store::IsValidValue("a", std::string(92, 'v')));
  EXPECT_TRUE(property_store::IsValidValue("ro.a", std::string(500, 'v')));
  EXPECT_FALSE(
      property_store::IsValidValue("ro.a", std::string(property_store::kMaxFileSize + 1, 'v')));
  EXPECT_FALSE(property_store::IsValidValue("a", std::string("x\0y", 3)));
  EXPECT_TRUE(property_store::IsValidValue("a", ""));
}

TEST_F(PropertyStoreTest, SetWritesExactlyTheValueBytes) {
  ASSERT_TRUE(android::base::SetProperty("norvo.timesync.ready", "1"));
  EXPECT_EQ("1", FileContent("norvo.timesync.ready"));
  ASSERT_TRUE(android::base::SetProperty("norvo.timesync.ready", "two words\n"));
  EXPECT_EQ("two words\n", FileContent("norvo.timesync.ready"));
  EXPECT_EQ("two words\n", android::base::GetProperty("norvo.timesync.ready", "d"));
  // No temporary file is left behind.
  EXPECT_EQ(1, EntryCount());
}

TEST_F(PropertyStoreTest, RefusalsWriteNothing) {
  EXPECT_FALSE(android::base::SetProperty("", "x"));
  EXPECT_FALSE(android::base::SetProperty("../escape", "x"));
  EXPECT_FALSE(android::base::SetProperty(".tmp.x", "x"));
  EXPECT_FALSE(android::base::SetProperty("long", std::string(92, 'v')));
  EXPECT_EQ(0, EntryCount());
  EXPECT_EQ("<missing>", FileContent("long"));

  ASSERT_TRUE(android::base::SetProperty("long", "short"));
  EXPECT_FALSE(android::base::SetProperty("long", std::string(92, 'v')));
  EXPECT_EQ("short", FileContent("long"));
}

TEST_F(PropertyStoreTest, ReadOnlyPropertiesAreSetOnce) {
  const std::string fingerprint(200, 'f');  // "ro." values may exceed 91 bytes
  ASSERT_TRUE(android::base::SetProperty("ro.build.fingerprint", fingerprint));
  EXPECT_FALSE(android::base::SetProperty("ro.build.fingerprint", "other"));
  EXPECT_EQ(fingerprint, android::base::GetProperty("ro.build.fingerprint", ""));
  // Even an empty first value fixes the property.
  ASSERT_TRUE(android::base::SetProperty("ro.empty", ""));
  EXPECT_FALSE(android::base::SetProperty("ro.empty", "late"));
  EXPECT_EQ(2, EntryCount());
}

TEST_F(PropertyStoreTest, GetPropertyDefaults) {
  EXPECT_EQ("dflt", android::base::GetProperty("unset", "dflt"));
  ASSERT_TRUE(android::base::SetProperty("empty", ""));
  EXPECT_EQ("dflt", android::base::GetProperty("empty", "dflt"));
  EXPECT_EQ("dflt", android::base::GetProperty("../etc/passwd", "dflt"));
  ASSERT_TRUE(android::base::SetProperty("flag", "yes"));
  EXPECT_TRUE(android::base::GetBoolProperty("flag", false));
  ASSERT_TRUE(android::base::SetProperty("count", "42"));
  EXPECT_EQ(42, android::base::GetIntProperty("count", 0));
  EXPECT_EQ(7, android::base::GetIntProperty("count", 7, 0, 10));
}

TEST_F(PropertyStoreTest, PropertyGetFillsTheBuffer) {
  char buf[PROPERTY_VALUE_MAX];
  memset(buf, 'z', sizeof(buf));
  EXPECT_EQ(7, property_get("ro.rom.zone", buf, "default"));
  EXPECT_STREQ("default", buf);
  EXPECT_EQ(0, property_get("ro.rom.zone", buf, nullptr));
  EXPECT_STREQ("", buf);

  ASSERT_TRUE(android::base::SetProperty("ro.rom.zone", "1"));
  EXPECT_EQ(1, property_get("ro.rom.zone", buf, "default"));
  EXPECT_STREQ("1", buf);

  // A value of the maximum length fits with its NUL; a longer "ro." value is cut.
  ASSERT_TRUE(android::base::SetProperty("max", std::string(91, 'm')));
  EXPECT_EQ(91, property_get("max", buf, ""));
  EXPECT_EQ(std::string(91, 'm'), buf);
  ASSERT_TRUE(android::base::SetProperty("ro.long", std::string(300, 'l')));
  EXPECT_EQ(91, property_get("ro.long", buf, ""));
  EXPECT_EQ(std::string(91, 'l'), buf);
  // An over-long default is cut as well.
  EXPECT_EQ(91, property_get("unset", buf, std::string(150, 'd').c_str()));
}

TEST_F(PropertyStoreTest, HostileFilesReadAsUnset) {
  ASSERT_TRUE(android::base::WriteStringToFile(std::string(property_store::kMaxFileSize + 1, 'x'),
                                               Path("huge")));
  EXPECT_EQ("d", android::base::GetProperty("huge", "d"));
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));  // must not block the reader
  EXPECT_EQ("d", android::base::GetProperty("fifo", "d"));
  ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0700));
  EXPECT_EQ("d", android::base::GetProperty("dir", "d"));
  rmdir(Path("dir").c_str());
  ASSERT_TRUE(android::base::WriteStringToFile("secret", Path("target")));
  ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
  EXPECT_EQ("d", android::base::GetProperty("link", "d"));
}

TEST_F(PropertyStoreTest, ListIsSortedAndSkipsStrayFiles) {
  ASSERT_TRUE(android::base::SetProperty("b", "2"));
  ASSERT_TRUE(android::base::SetProperty("a", "1"));
  ASSERT_TRUE(android::base::WriteStringToFile("half", Path(".tmp.XYZ")));
  auto all = property_store::List();
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ(std::make_pair(std::string("a"), std::string("1")), all[0]);
  EXPECT_EQ(std::make_pair(std::string("b"), std::string("2")), all[1]);
}

TEST_F(PropertyStoreTest, MissingDirectoryFailsCleanly) {
  property_store::SetDirForTesting(Path("absent"));  // props_ restores the folder
  EXPECT_FALSE(android::base::SetProperty("a", "1"));
  EXPECT_EQ("d", android::base::GetProperty("a", "d"));
  EXPECT_TRUE(property_store::List().empty());
}

}  // namespace
