#include "request/sealed_file.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

using namespace package_verify;

TEST(PackageUpdater, WritesANewFileUnlessTheSameOneIsThere) {
  test_support::ScratchDir dir;
  std::string path = dir.path() + "/update-binary";
  bool replaced = false;
  std::string why;
  ASSERT_TRUE(InstallUpdater("#!/bin/sh\n", path, &replaced, &why)) << why;
  EXPECT_TRUE(replaced);
  struct stat first, again;
  ASSERT_EQ(0, stat(path.c_str(), &first));
  EXPECT_EQ(0755u, first.st_mode & 07777);
  ASSERT_TRUE(InstallUpdater("#!/bin/sh\n", path, &replaced, &why));
  EXPECT_FALSE(replaced);
  ASSERT_EQ(0, stat(path.c_str(), &again));
  EXPECT_EQ(first.st_ino, again.st_ino);
  // Same bytes, wrong mode: written again.
  chmod(path.c_str(), 0644);
  ASSERT_TRUE(InstallUpdater("#!/bin/sh\n", path, &replaced, &why));
  EXPECT_TRUE(replaced);
  // A link is replaced, never written through.
  std::string victim = dir.path() + "/victim";
  ASSERT_TRUE(android::base::WriteStringToFile("keep", victim));
  unlink(path.c_str());
  ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
  ASSERT_TRUE(InstallUpdater("new", path, &replaced, &why));
  std::string content;
  ASSERT_TRUE(android::base::ReadFileToString(victim, &content));
  EXPECT_EQ("keep", content);
  ASSERT_TRUE(android::base::ReadFileToString(path, &content));
  EXPECT_EQ("new", content);
}

TEST(PackageUpdater, SealedCopyOfAFileNeverFollowsALink) {
  test_support::ScratchDir dir;
  std::string path = dir / "update-binary";
  ASSERT_TRUE(android::base::WriteStringToFile("#!/bin/sh\n", path));
  android::base::unique_fd copy;
  std::string why;
  ASSERT_TRUE(SealedCopyOfFile(path.c_str(), 64, &copy, &why)) << why;
  EXPECT_EQ(F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL,
            fcntl(copy.get(), F_GET_SEALS));
  EXPECT_FALSE(SealedCopyOfFile(path.c_str(), 5, &copy, &why));
  std::string link = dir / "link";
  ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
  EXPECT_FALSE(SealedCopyOfFile(link.c_str(), 64, &copy, &why));
}

}  // namespace
