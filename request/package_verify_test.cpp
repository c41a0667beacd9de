#include "request/package_verify.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/package_signing.h"

namespace {

using namespace package_verify;
using namespace package_signing;

TEST_F(PackageSignature, EveryChangedSignedOrSignatureByteIsRefused) {
  size_t signed_length = 0;
  std::string file = Signed(*rsa_, &signed_length);
  size_t signature_start = file.size() - kFooterSize - 256;  // RSA-2048: the block's last bytes
  for (size_t i = 0; i < file.size(); ++i) {
    Result result = Verify(Flip(file, i), {rsa_});
    size_t record = signed_length - 20;
    if (i >= record && i < record + 4) {
      EXPECT_EQ(Result::kMalformed, result) << "byte " << i;  // the record's marker
    } else if (i < signed_length) {
      EXPECT_EQ(Result::kDigestMismatch, result) << "byte " << i;
    } else if (i >= signature_start) {
      EXPECT_NE(Result::kVerified, result) << "byte " << i;
    }
    // Elsewhere in the block (names, algorithm parameters) only the parse is at stake:
    // the signed bytes and the signature are unchanged.
  }
}

const std::string kUpdater = "#!/bin/sh\necho installing\n" + std::string(5000, 'u');
const std::string kMetadata = "ota-type=BLOCK\npre-device=norvo\n";

class VerifiedEntries : public PackageSignature {
 protected:
  Result Check(const std::string& file, VerifiedPackage* out, std::string* why,
               const std::function<void(int)>& change = nullptr) {
    fd_.reset(memfd_create("package", MFD_CLOEXEC));
    EXPECT_TRUE(android::base::WriteStringToFd(file, fd_.get()));
    std::vector<PublicKey> store(1);
    EXPECT_TRUE(ParseCertificate(rsa_->pem, &store[0]).ok());
    store[0].name = "unit.x509.pem";
    std::function<void()> hook;
    if (change) hook = [this, &change] { change(fd_.get()); };
    Status result = VerifyPackageFd(fd_.get(), store, {kUpdaterEntry, kMetadataEntry}, out, hook);
    *why = result.reason;
    return result.code;
  }
  android::base::unique_fd fd_;
};

TEST_F(VerifiedEntries, TakesTheEntriesFromTheHashedBytesIntoSealedOrMemoryCopies) {
  for (bool compress : {true, false}) {
    SCOPED_TRACE(compress ? "deflated" : "stored");
    std::string zip = Zip({{"payload.bin", std::string(300000, 'p'), compress},
                           {kUpdaterEntry, kUpdater, compress},
                           {kMetadataEntry, kMetadata, compress}});
    VerifiedPackage package;
    std::string why;
    ASSERT_EQ(Result::kVerified, Check(SignZip(*rsa_, zip), &package, &why)) << why;
    EXPECT_EQ("unit.x509.pem", package.signer);
    ASSERT_NE(nullptr, package.text(kMetadataEntry));
    EXPECT_EQ(kMetadata, *package.text(kMetadataEntry));
    const VerifiedEntry* updater = package.find(kUpdaterEntry);
    ASSERT_NE(nullptr, updater);
    ASSERT_GE(updater->sealed.get(), 0);
    EXPECT_EQ(nullptr, package.text(kUpdaterEntry));
    std::string held(kUpdater.size() + 1, '\0');
    EXPECT_EQ(static_cast<ssize_t>(kUpdater.size()),
              pread(updater->sealed.get(), &held[0], held.size(), 0));
    held.resize(kUpdater.size());
    EXPECT_EQ(kUpdater, held);
    EXPECT_EQ(F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL,
              fcntl(updater->sealed.get(), F_GET_SEALS));
    EXPECT_EQ(-1, pwrite(updater->sealed.get(), "x", 1, 0));
    EXPECT_EQ(-1, ftruncate(updater->sealed.get(), 0));
  }
  // An entry the package lacks is simply absent; the whole-file entry point
  // extracts nothing.
  VerifiedPackage package;
  std::string why;
  ASSERT_EQ(Result::kVerified, Check(SignZip(*rsa_, Zip({{"a", "b", false}})), &package, &why));
  EXPECT_TRUE(package.entries.empty());
}

TEST_F(VerifiedEntries, BytesChangedBetweenPlanningAndHashingAreTheirOwnReason) {
  std::string file =
      SignZip(*rsa_, Zip({{kUpdaterEntry, kUpdater, true}, {kMetadataEntry, kMetadata, false}}));
  size_t cd = file.find("PK\x01\x02");
  size_t data = file.find(kMetadata);
  struct Case {
    const char* what;
    size_t at;
    const char* told;  // what gives the change away
  };
  const char* kBytes = "differs from the one read first";
  const char* kTimes = "while it was hashed it was written";
  for (const Case& c : {Case{"central directory", cd + 46, kBytes},
                        Case{"end record", file.rfind("PK\x05\x06") + 8, kBytes},
                        // The entry is read once, in the hashed pass: a change
                        // before it is simply what was hashed; the times tell.
                        Case{"entry data", data, kTimes},
                        // The signature block is not hashed.
                        Case{"signature block", file.size() - 300, kTimes}}) {
    SCOPED_TRACE(c.what);
    VerifiedPackage package;
    std::string why;
    Result result = Check(file, &package, &why, [&](int fd) {
      char byte = static_cast<char>(file[c.at] ^ 0x20);
      ASSERT_EQ(1, pwrite(fd, &byte, 1, static_cast<off_t>(c.at)));
    });
    EXPECT_EQ(Result::kChangedDuringCheck, result) << why;
    EXPECT_NE(std::string::npos, why.find(c.told)) << why;
    EXPECT_TRUE(package.entries.empty());
  }
}

TEST_F(VerifiedEntries, SignedButUnusableEntriesAreRefused) {
  std::string zip = Zip({{kUpdaterEntry, kUpdater, true}});
  // A wrong CRC in the central directory, signed as it is.
  std::string bad_crc = zip;
  bad_crc[bad_crc.find("PK\x01\x02") + 16] ^= 0x01;
  VerifiedPackage package;
  std::string why;
  EXPECT_EQ(Result::kUnusableEntry, Check(SignZip(*rsa_, bad_crc), &package, &why));
  EXPECT_NE(std::string::npos, why.find("CRC")) << why;
  // Two entries of the updater's name: either could be the one a reader takes.
  std::string twin(kUpdaterEntry);
  twin.back() = 'z';
  std::string dup = Zip({{kUpdaterEntry, kUpdater, false}, {twin, "#!/bin/sh\nevil\n", false}});
  for (size_t at = dup.find(twin); at != std::string::npos; at = dup.find(twin, at + 1)) {
    dup.replace(at, twin.size(), kUpdaterEntry);
  }
  // The signed archive is sound; the entry cannot be used (6:f:22, as the protocol
  // document says), which is not a malformed signature block (6:f:4).
  EXPECT_EQ(Result::kUnusableEntry, Check(SignZip(*rsa_, dup), &package, &why));
  EXPECT_NE(std::string::npos, why.find("two entries named")) << why;
  // Unsigned bytes are reported by the signature, not by their structure.
  EXPECT_EQ(Result::kDigestMismatch, Check(Flip(SignZip(*rsa_, dup), 40), &package, &why));
}

TEST(PackageFileRules, OnlyAPrivateSingleLinkFileIsHandedOn) {
  struct stat st {};
  st.st_mode = S_IFREG | 0644;
  st.st_nlink = 1;
  st.st_uid = 0;
  EXPECT_EQ(Result::kVerified, CheckPackageFile(st, 0).code);
  EXPECT_EQ(Result::kVerified, CheckPackageFile(st, 1000).code) << "root's file";
  struct Case {
    mode_t mode;
    nlink_t links;
    uid_t owner;
    Result want;
  };
  for (const Case& c : {Case{S_IFREG | 0664, 1, 0, Result::kOpenToWriters},
                        Case{S_IFREG | 0646, 1, 0, Result::kOpenToWriters},
                        Case{S_IFREG | 0600, 2, 0, Result::kOpenToWriters},
                        Case{S_IFREG | 0600, 1, 1001, Result::kOpenToWriters},
                        Case{S_IFIFO | 0600, 1, 0, Result::kUnreadable},
                        Case{S_IFREG | 0600, 1, 1000, Result::kVerified}}) {
    st.st_mode = c.mode;
    st.st_nlink = c.links;
    st.st_uid = c.owner;
    EXPECT_EQ(c.want, CheckPackageFile(st, 1000).code)
        << std::oct << c.mode << " " << c.links << " " << std::dec << c.owner;
  }
  struct stat later = st;
  EXPECT_TRUE(SameAsChecked(st, later).ok());
  later.st_mtim.tv_nsec += 1;
  EXPECT_FALSE(SameAsChecked(st, later).ok());
  later = st;
  later.st_ino += 1;
  EXPECT_FALSE(SameAsChecked(st, later).ok());
  // What moved is the reason of a package that changed during the check.
  EXPECT_EQ(Result::kChangedDuringCheck, SameAsChecked(st, later).code);
  EXPECT_EQ("another file took its name", SameAsChecked(st, later).reason);
}

}  // namespace
