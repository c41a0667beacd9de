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

// The bytes already on disk first (read once by the hashing thread), then the new
// ones in pieces of every size the transfer may hand over, some larger than the
// whole queue: the digest is the file's, in file order.
TEST(PackageHasher, FileThenPiecesHashInFileOrder) {
  std::string disk = Bytes(3 << 20, 1), fresh = Bytes(5 << 20, 2);
  android::base::unique_fd fd(memfd_create("package", MFD_CLOEXEC));
  ASSERT_TRUE(android::base::WriteStringToFd(disk + "junk after the prefix", fd.get()));
  PackageHasher hasher;
  hasher.restart(true, false);
  ASSERT_TRUE(hasher.addFile(fd.get(), static_cast<int64_t>(disk.size())));
  fd.reset();  // the hasher keeps a descriptor of its own
  size_t pieces[] = {1, 16384, 131072, PackageHasher::kQueueBytes + 5, 7};
  for (size_t at = 0, i = 0; at < fresh.size(); ++i) {
    size_t n = std::min(pieces[i % 5], fresh.size() - at);
    ASSERT_TRUE(hasher.push(fresh.data() + at, n, Never));
    at += n;
  }
  ASSERT_TRUE(hasher.drain(Never));
  EXPECT_EQ(static_cast<int64_t>(disk.size() + fresh.size()), hasher.length());
  EXPECT_EQ(static_cast<int64_t>(disk.size()), hasher.fileBytesRead());
  EXPECT_EQ(Md5Hex(disk + fresh), hasher.md5Hex());
}

// A restart drops whatever was queued or being read: only what follows counts.
TEST(PackageHasher, RestartStartsFromByteZero) {
  std::string big = Bytes(16 << 20, 3);
  android::base::unique_fd fd(memfd_create("package", MFD_CLOEXEC));
  ASSERT_TRUE(android::base::WriteStringToFd(big, fd.get()));
  PackageHasher hasher;
  hasher.restart(true, true);
  ASSERT_TRUE(hasher.addFile(fd.get(), static_cast<int64_t>(big.size())));
  ASSERT_TRUE(hasher.push("stale", 5, Never));
  hasher.restart(true, false);
  EXPECT_TRUE(hasher.md5() && !hasher.signature());
  std::string after = Bytes(1 << 20, 4);
  ASSERT_TRUE(hasher.push(after.data(), after.size(), Never));
  ASSERT_TRUE(hasher.drain(Never));
  EXPECT_EQ(static_cast<int64_t>(after.size()), hasher.length());
  EXPECT_EQ(0, hasher.fileBytesRead());
  EXPECT_EQ(Md5Hex(after), hasher.md5Hex());
  // Nothing was asked of the signature stream, which saw no bytes.
  std::string why;
  EXPECT_EQ(package_verify::Result::kNoKeyStore, hasher.verify({}, nullptr, &why));
}

// A file that is shorter than it was said to be leaves the digests unknown.
TEST(PackageHasher, AShortFileMakesTheLengthUnknown) {
  android::base::unique_fd fd(memfd_create("package", MFD_CLOEXEC));
  ASSERT_TRUE(android::base::WriteStringToFd("only this", fd.get()));
  PackageHasher hasher;
  hasher.restart(true, false);
  ASSERT_TRUE(hasher.addFile(fd.get(), 1000));
  ASSERT_TRUE(hasher.push("more", 4, Never));
  ASSERT_TRUE(hasher.drain(Never));
  EXPECT_EQ(-1, hasher.length());
}

}  // namespace
