#include "request/package_hasher.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <gtest/gtest.h>
#include <openssl/md5.h>
#include <sys/mman.h>

#include <string>

#include "norvotools/norvo-zel/payload_cipher.h"

namespace {

std::string Md5Hex(const std::string& data) {
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5(reinterpret_cast<const uint8_t*>(data.data()), data.size(), digest);
  return hex_string(digest, sizeof(digest));
}

std::string Bytes(size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
  return out;
}

bool Never() { return false; }

// A file as the download writes it: what was there, then pieces appended and
// announced one by one.
class PackageHasherTest : public ::testing::Test {
 protected:
  void SetUp() override { fd_.reset(memfd_create("package", MFD_CLOEXEC)); }
  void Append(const std::string& bytes) {
    ASSERT_TRUE(android::base::WriteStringToFd(bytes, fd_.get()));
  }
  android::base::unique_fd fd_;
};

// The bytes already there first (read once), then every announced piece, of any
// size: the digest is the file's, in file order, and nothing past what was
// announced counts.
TEST_F(PackageHasherTest, HashesTheResumedBytesThenEveryAnnouncedPiece) {
  std::string disk = Bytes(3 << 20, 1), fresh = Bytes(5 << 20, 2);
  Append(disk);
  PackageHasher hasher;
  ASSERT_TRUE(hasher.restart(fd_.get(), static_cast<int64_t>(disk.size()), true, false));
  size_t pieces[] = {1, 16384, 131072, PackageHasher::kReadPiece * 3 + 5, 7};
  for (size_t at = 0, i = 0; at < fresh.size(); ++i) {
    size_t n = std::min(pieces[i % 5], fresh.size() - at);
    Append(fresh.substr(at, n));
    hasher.advance(n, Never);
    at += n;
  }
  Append("written, but never announced");
  ASSERT_TRUE(hasher.drain(Never));
  EXPECT_EQ(static_cast<int64_t>(disk.size() + fresh.size()), hasher.length());
  EXPECT_EQ(static_cast<int64_t>(disk.size()), hasher.resumedBytes());
  EXPECT_EQ(Md5Hex(disk + fresh), hasher.md5Hex());
}

// A restart (the file truncated, or another file) drops whatever was being
// hashed: only what follows it counts.
TEST_F(PackageHasherTest, RestartStartsFromByteZero) {
  Append(Bytes(16 << 20, 3));
  PackageHasher hasher;
  ASSERT_TRUE(hasher.restart(fd_.get(), 16 << 20, true, true));
  ASSERT_EQ(0, ftruncate(fd_.get(), 0));
  ASSERT_EQ(0, lseek(fd_.get(), 0, SEEK_SET));
  ASSERT_TRUE(hasher.restart(fd_.get(), 0, true, false));
  EXPECT_TRUE(hasher.md5() && !hasher.signature());
  std::string after = Bytes(1 << 20, 4);
  Append(after);
  hasher.advance(after.size(), Never);
  ASSERT_TRUE(hasher.drain(Never));
  EXPECT_EQ(static_cast<int64_t>(after.size()), hasher.length());
  EXPECT_EQ(0, hasher.resumedBytes());
  EXPECT_EQ(Md5Hex(after), hasher.md5Hex());
  // The signature stream was not asked for, and saw no bytes.
  EXPECT_EQ(package_verify::Result::kNoKeyStore, hasher.verify({}, nullptr).code);
  // Letting go of the file covers nothing any more.
  EXPECT_FALSE(hasher.restart(-1, 0, false, false));
  EXPECT_EQ(-1, hasher.length());
}

// Announced bytes that the file does not have (it shrank under the download)
// leave the digests unknown rather than short.
TEST_F(PackageHasherTest, AFileShorterThanAnnouncedMakesTheLengthUnknown) {
  Append("only this");
  PackageHasher hasher;
  ASSERT_TRUE(hasher.restart(fd_.get(), 9, true, false));
  hasher.advance(1000, Never);
  ASSERT_TRUE(hasher.drain(Never));
  EXPECT_EQ(-1, hasher.length());
}

}  // namespace
