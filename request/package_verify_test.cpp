#include "request/package_verify.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/bytestring.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/nid.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ziparchive/zip_writer.h>

#include <functional>
#include <string>
#include <vector>

#include "request/signature_stream.h"
#include "tests/support/test_support.h"

namespace {

using namespace package_verify;

const uint8_t kSignedData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
const uint8_t kData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
const uint8_t kSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const uint8_t kSha1[] = {0x2b, 0x0e, 0x03, 0x02, 0x1a};
const uint8_t kRsa[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Le16(size_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}

// An end-of-archive record with the given comment length.
std::string Eocd(size_t comment) {
  return std::string("PK\x05\x06", 4) + std::string(16, '\0') + Le16(comment);
}

struct TestKey {
  bssl::UniquePtr<EVP_PKEY> pkey;
  std::string pem;
  PublicKey pub;
};

// A key with a self-signed certificate, read back as the key store reads it.
TestKey MakeKey(bool ec, int bits = 2048, long serial = 7) {
  TestKey key;
  key.pkey.reset(EVP_PKEY_new());
  if (ec) {
    EC_KEY* e = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    EXPECT_EQ(1, EC_KEY_generate_key(e));
    EVP_PKEY_assign_EC_KEY(key.pkey.get(), e);
  } else {
    RSA* r = RSA_new();
    bssl::UniquePtr<BIGNUM> e(BN_new());
    BN_set_word(e.get(), RSA_F4);
    EXPECT_EQ(1, RSA_generate_key_ex(r, bits, e.get(), nullptr));
    EVP_PKEY_assign_RSA(key.pkey.get(), r);
  }
  bssl::UniquePtr<X509> cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const uint8_t*>("unit"), -1,
                             -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.pkey.get());
  EXPECT_GT(X509_sign(cert.get(), key.pkey.get(), EVP_sha256()), 0);
  bssl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert.get());
  const uint8_t* pem = nullptr;
  size_t pem_len = 0;
  BIO_mem_contents(bio.get(), &pem, &pem_len);
  key.pem.assign(reinterpret_cast<const char*>(pem), pem_len);
  std::string why;
  key.pub.name = "unit.x509.pem";
  EXPECT_EQ(ec || bits >= 2048, ParseCertificate(key.pem, &key.pub, &why)) << why;
  return key;
}

std::string RawSignature(const TestKey& key, const std::string& data) {
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(U8(data), data.size(), digest);
  std::vector<uint8_t> sig(EVP_PKEY_size(key.pkey.get()));
  unsigned len = 0;
  if (EVP_PKEY_id(key.pkey.get()) == EVP_PKEY_EC) {
    EXPECT_EQ(1, ECDSA_sign(0, digest, sizeof(digest), sig.data(), &len,
                            EVP_PKEY_get0_EC_KEY(key.pkey.get())));
  } else {
    EXPECT_EQ(1, RSA_sign(NID_sha256, digest, sizeof(digest), sig.data(), &len,
                          EVP_PKEY_get0_RSA(key.pkey.get())));
  }
  return std::string(reinterpret_cast<char*>(sig.data()), len);
}

struct BlockOptions {
  bool sha1 = false;
  bool signed_attrs = false;
  bool two_signers = false;
  bool embedded_content = false;
};

void AddOid(CBB* parent, const uint8_t* oid, size_t len) {
  CBB child;
  ASSERT_TRUE(CBB_add_asn1(parent, &child, CBS_ASN1_OBJECT));
  ASSERT_TRUE(CBB_add_bytes(&child, oid, len));
  ASSERT_TRUE(CBB_flush(parent));
}

void AddAlgorithm(CBB* parent, const uint8_t* oid, size_t len) {
  CBB alg, null;
  ASSERT_TRUE(CBB_add_asn1(parent, &alg, CBS_ASN1_SEQUENCE));
  AddOid(&alg, oid, len);
  ASSERT_TRUE(CBB_add_asn1(&alg, &null, CBS_ASN1_NULL));
  ASSERT_TRUE(CBB_flush(parent));
}

void AddSigner(CBB* set, const PublicKey& pub, const std::string& sig, const BlockOptions& o) {
  CBB si, ias, attrs, octets;
  ASSERT_TRUE(CBB_add_asn1(set, &si, CBS_ASN1_SEQUENCE));
  ASSERT_TRUE(CBB_add_asn1_uint64(&si, 1));
  ASSERT_TRUE(CBB_add_asn1(&si, &ias, CBS_ASN1_SEQUENCE));
  ASSERT_TRUE(CBB_add_bytes(&ias, U8(pub.issuer), pub.issuer.size()));
  ASSERT_TRUE(CBB_add_bytes(&ias, U8(pub.serial), pub.serial.size()));
  if (o.sha1) {
    AddAlgorithm(&si, kSha1, sizeof(kSha1));
  } else {
    AddAlgorithm(&si, kSha256, sizeof(kSha256));
  }
  if (o.signed_attrs) {
    ASSERT_TRUE(CBB_add_asn1(&si, &attrs, CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 0));
  }
  AddAlgorithm(&si, kRsa, sizeof(kRsa));
  ASSERT_TRUE(CBB_add_asn1(&si, &octets, CBS_ASN1_OCTETSTRING));
  ASSERT_TRUE(CBB_add_bytes(&octets, U8(sig), sig.size()));
  ASSERT_TRUE(CBB_flush(set));
}

// A SignedData block as Android's signing tool makes it, from a raw signature.
std::string Block(const PublicKey& pub, const std::string& sig, const BlockOptions& o = {}) {
  bssl::ScopedCBB cbb;
  CBB ci, wrapped, sd, algs, encap, content, signers;
  EXPECT_TRUE(CBB_init(cbb.get(), 0));
  EXPECT_TRUE(CBB_add_asn1(cbb.get(), &ci, CBS_ASN1_SEQUENCE));
  AddOid(&ci, kSignedData, sizeof(kSignedData));
  EXPECT_TRUE(CBB_add_asn1(&ci, &wrapped, CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 0));
  EXPECT_TRUE(CBB_add_asn1(&wrapped, &sd, CBS_ASN1_SEQUENCE));
  EXPECT_TRUE(CBB_add_asn1_uint64(&sd, 1));
  EXPECT_TRUE(CBB_add_asn1(&sd, &algs, CBS_ASN1_SET));
  AddAlgorithm(&algs, kSha256, sizeof(kSha256));
  EXPECT_TRUE(CBB_add_asn1(&sd, &encap, CBS_ASN1_SEQUENCE));
  AddOid(&encap, kData, sizeof(kData));
  if (o.embedded_content) {
    EXPECT_TRUE(CBB_add_asn1(&encap, &content, CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED));
  }
  EXPECT_TRUE(CBB_add_asn1(&sd, &signers, CBS_ASN1_SET));
  AddSigner(&signers, pub, sig, o);
  if (o.two_signers) AddSigner(&signers, pub, sig, o);
  uint8_t* out = nullptr;
  size_t len = 0;
  EXPECT_TRUE(CBB_finish(cbb.get(), &out, &len));
  std::string block(reinterpret_cast<char*>(out), len);
  OPENSSL_free(out);
  return block;
}

// An archive (any bytes ending with a comment-less record) signed with key.
std::string Signed(const TestKey& key, size_t* signed_length = nullptr) {
  std::string signed_part = "local entries, central directory" + Eocd(0).substr(0, 20);
  std::string block = Block(key.pub, RawSignature(key, signed_part));
  size_t comment = block.size() + kFooterSize;
  if (signed_length != nullptr) *signed_length = signed_part.size();
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

Result Verify(const std::string& file, const std::vector<const TestKey*>& keys,
              std::string* why = nullptr) {
  android::base::unique_fd fd(memfd_create("package", MFD_CLOEXEC));
  EXPECT_TRUE(android::base::WriteStringToFd(file, fd.get()));
  std::vector<PublicKey> store;
  for (const TestKey* key : keys) {
    PublicKey copy;
    std::string reason;
    EXPECT_TRUE(ParseCertificate(key->pem, &copy, &reason));
    store.push_back(std::move(copy));
  }
  std::string name, reason;
  Result result = VerifyPackageFd(fd.get(), store, &name, why ? why : &reason);
  return result;
}

Result Footer(const std::string& file, package_verify::Footer* out = nullptr) {
  package_verify::Footer footer;
  size_t tail = std::min(file.size(), kMaxTail);
  std::string why;
  return ParseFooter(U8(file) + file.size() - tail, tail, file.size(), out ? out : &footer, &why);
}

std::string Flip(std::string s, size_t at) {
  s[at] ^= 0x01;
  return s;
}

TEST(PackageFooter, FindsTheBlockAndTheSignedLength) {
  std::string file = "zip" + Eocd(11) + "BLOCK" + Le16(11) + "\xff\xff" + Le16(11);
  // The footer says the block starts 11 bytes from the end: "BLOCK" is 5 of them.
  package_verify::Footer footer;
  ASSERT_EQ(Result::kVerified, Footer(file, &footer));
  EXPECT_EQ(3u + 20u, footer.signed_length);
  EXPECT_EQ("BLOCK", file.substr(footer.block_offset, footer.block_length));
}

TEST(PackageFooter, RefusesEveryInconsistency) {
  std::string sig = "BLOCK";
  auto make = [&](size_t start, size_t comment, const std::string& record) {
    return "zip" + record + sig + Le16(start) + "\xff\xff" + Le16(comment);
  };
  EXPECT_EQ(Result::kVerified, Footer(make(11, 11, Eocd(11))));
  EXPECT_EQ(Result::kNoFooter, Footer(std::string(20, '\xff')));
  EXPECT_EQ(Result::kNoFooter, Footer("zip" + Eocd(0)));
  EXPECT_EQ(Result::kMalformed, Footer(make(12, 11, Eocd(11))));     // block before the comment
  EXPECT_EQ(Result::kMalformed, Footer(make(6, 11, Eocd(11))));      // empty block
  EXPECT_EQ(Result::kMalformed, Footer(make(11, 11, Eocd(12))));     // lengths differ
  EXPECT_EQ(Result::kMalformed, Footer(make(11, 60000, Eocd(11))));  // beyond the file
  std::string moved = make(11, 11, Eocd(11));
  moved[3] = 'X';  // no record where the comment length puts it
  EXPECT_EQ(Result::kMalformed, Footer(moved));
  // A second record hidden in the comment would point a zip reader at unsigned bytes.
  sig = std::string("PK\x05\x06", 4) + "x";
  EXPECT_EQ(Result::kMalformed, Footer(make(11, 11, Eocd(11))));
}

class PackageSignature : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa_ = new TestKey(MakeKey(false));
    ec_ = new TestKey(MakeKey(true, 256, 8));
    other_ = new TestKey(MakeKey(false, 2048, 9));
  }
  static void TearDownTestSuite() {
    delete rsa_;
    delete ec_;
    delete other_;
  }
  static TestKey* rsa_;
  static TestKey* ec_;
  static TestKey* other_;
};
TestKey* PackageSignature::rsa_ = nullptr;
TestKey* PackageSignature::ec_ = nullptr;
TestKey* PackageSignature::other_ = nullptr;

TEST_F(PackageSignature, VerifiesRsaAndEcAgainstTheirCertificates) {
  EXPECT_EQ(Result::kVerified, Verify(Signed(*rsa_), {rsa_}));
  EXPECT_EQ(Result::kVerified, Verify(Signed(*ec_), {ec_}));
  EXPECT_EQ(Result::kVerified, Verify(Signed(*ec_), {other_, rsa_, ec_}));
}

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

// A signature of another key that names a trusted certificate, against the same
// key's signature over other bytes.
std::string SignedAs(const TestKey& named, const TestKey& signer, const std::string& signed_over) {
  std::string signed_part = "local entries, central directory" + Eocd(0).substr(0, 20);
  std::string block =
      Block(named.pub, RawSignature(signer, signed_over.empty() ? signed_part : signed_over));
  size_t comment = block.size() + kFooterSize;
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

TEST_F(PackageSignature, AForgeryIsToldFromChangedBytesWhereTheKeyAllows) {
  std::string why;
  // RSA: the named key recovers no digest from another key's signature.
  EXPECT_EQ(Result::kSignatureInvalid, Verify(SignedAs(*rsa_, *other_, ""), {rsa_}, &why));
  EXPECT_NE(std::string::npos, why.find("is not one of")) << why;
  // RSA, the right key over other bytes: the download changed.
  EXPECT_EQ(Result::kDigestMismatch, Verify(SignedAs(*rsa_, *rsa_, "other bytes"), {rsa_}, &why));
  // EC cannot tell the two apart, and says so.
  TestKey ec_other = MakeKey(true, 0, 11);
  for (const std::string& file :
       {SignedAs(*ec_, ec_other, ""), SignedAs(*ec_, *ec_, "other bytes")}) {
    EXPECT_EQ(Result::kSignatureInvalid, Verify(file, {ec_}, &why));
    EXPECT_NE(std::string::npos, why.find("cannot be told from changed bytes")) << why;
  }
  EXPECT_STREQ("signature does not verify under any trusted key",
               ResultText(Result::kSignatureInvalid));
}

TEST_F(PackageSignature, ReasonsForOtherKeysAndNoKeys) {
  std::string why;
  EXPECT_EQ(Result::kNoCertificateMatch, Verify(Signed(*other_), {rsa_, ec_}, &why));
  EXPECT_NE(std::string::npos, why.find("2 certificate(s) tried")) << why;
  EXPECT_EQ(Result::kNoKeyStore, Verify(Signed(*rsa_), {}));
  EXPECT_EQ(Result::kNoFooter, Verify("", {rsa_}));
  std::string file = Signed(*rsa_);
  for (size_t keep = 0; keep < file.size(); keep += 7) {
    EXPECT_NE(Result::kVerified, Verify(file.substr(0, keep), {rsa_})) << keep;
  }
}

TEST_F(PackageSignature, BlockMustBeOneDetachedSha256SignerWithoutAttributes) {
  std::string sig = RawSignature(*rsa_, "x");
  Signer signer;
  std::string why;
  std::string good = Block(rsa_->pub, sig);
  ASSERT_EQ(Result::kVerified, ParseSignedData(U8(good), good.size(), &signer, &why)) << why;
  EXPECT_EQ(sig, signer.signature);
  EXPECT_EQ(rsa_->pub.issuer, signer.issuer);
  EXPECT_EQ(rsa_->pub.serial, signer.serial);
  for (BlockOptions o :
       {BlockOptions{true, false, false, false}, BlockOptions{false, true, false, false},
        BlockOptions{false, false, true, false}, BlockOptions{false, false, false, true}}) {
    std::string bad = Block(rsa_->pub, sig, o);
    EXPECT_EQ(Result::kMalformed, ParseSignedData(U8(bad), bad.size(), &signer, &why));
  }
  std::string trailing = good + "x";
  EXPECT_EQ(Result::kMalformed, ParseSignedData(U8(trailing), trailing.size(), &signer, &why));
  for (size_t keep = 0; keep < good.size(); ++keep) {
    ASSERT_EQ(Result::kMalformed, ParseSignedData(U8(good), keep, &signer, &why)) << keep;
  }
}

// The same check over bytes fed in pieces of `piece` bytes, as a download feeds them.
Result StreamVerify(const std::string& file, const std::vector<const TestKey*>& keys,
                    size_t piece) {
  std::vector<PublicKey> store;
  for (const TestKey* key : keys) {
    PublicKey copy;
    std::string reason;
    EXPECT_TRUE(ParseCertificate(key->pem, &copy, &reason));
    store.push_back(std::move(copy));
  }
  package_verify::SignatureStream stream;
  for (size_t at = 0; at < file.size(); at += piece) {
    stream.update(U8(file) + at, std::min(piece, file.size() - at));
  }
  EXPECT_EQ(file.size(), stream.length());
  std::string why;
  return stream.verify(store, nullptr, &why);
}

// A signed archive whose signed part is `payload` bytes longer: the held-back tail
// then covers only part of the file.
std::string SignedLong(const TestKey& key, size_t payload) {
  std::string signed_part(payload, '\0');
  for (size_t i = 0; i < payload; ++i) signed_part[i] = static_cast<char>((i * 131) >> 3);
  signed_part += "central directory" + Eocd(0).substr(0, 20);
  std::string block = Block(key.pub, RawSignature(key, signed_part));
  size_t comment = block.size() + kFooterSize;
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

// Fed front to back in any pieces, the bytes get the very verdict the file gets,
// whether the archive is shorter than the held-back tail or much longer.
TEST_F(PackageSignature, StreamedBytesGetTheFilesVerdict) {
  for (const std::string& file : {Signed(*rsa_), SignedLong(*rsa_, 300000)}) {
    std::vector<std::string> variants = {file};
    for (size_t at :
         {size_t{0}, file.size() / 2, file.size() - 300, file.size() - 40, file.size() - 3}) {
      variants.push_back(Flip(file, at));
    }
    variants.push_back(file.substr(0, file.size() - 1));
    variants.push_back(file + "x");
    for (const std::string& variant : variants) {
      Result expected = Verify(variant, {rsa_});
      for (size_t piece : {size_t{1} << 20, size_t{65536}, size_t{4093}, size_t{1}}) {
        if (piece == 1 && variant.size() > 100000) continue;  // byte by byte: the short one
        EXPECT_EQ(expected, StreamVerify(variant, {rsa_}, piece))
            << "size " << variant.size() << ", pieces of " << piece;
      }
    }
  }
  EXPECT_EQ(Result::kVerified, StreamVerify(SignedLong(*ec_, 200000), {other_, ec_}, 131072));
  EXPECT_EQ(Result::kNoCertificateMatch, StreamVerify(Signed(*ec_), {other_}, 7));
  EXPECT_EQ(Result::kNoKeyStore, StreamVerify(Signed(*ec_), {}, 7));
}

TEST(PackageKeyStore, RefusesWeakKeysAndNonCertificates) {
  PublicKey pub;
  std::string why;
  TestKey weak = MakeKey(false, 1024);
  EXPECT_FALSE(ParseCertificate(weak.pem, &pub, &why));
  EXPECT_EQ("RSA key of 1024 bits (2048 to 8192 accepted)", why);
  EXPECT_FALSE(ParseCertificate("-----BEGIN CERTIFICATE-----\nAAAA\n", &pub, &why));
  std::vector<PublicKey> keys;
  EXPECT_EQ(Result::kNoKeyStore, LoadKeyStore("/nonexistent/otacerts.zip", &keys, &why));
}

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

// A zip archive of the given entries (name, bytes, compressed), made with the
// platform's zip writer.
std::string Zip(const std::vector<std::tuple<std::string, std::string, bool>>& entries) {
  UniqueFile f(tmpfile());
  ZipWriter writer(f.get());
  for (const auto& [name, bytes, compress] : entries) {
    EXPECT_EQ(0, writer.StartEntry(name, compress ? ZipWriter::kCompress : 0));
    EXPECT_EQ(0, writer.WriteBytes(bytes.data(), bytes.size()));
    EXPECT_EQ(0, writer.FinishEntry());
  }
  EXPECT_EQ(0, writer.Finish());
  fflush(f.get());
  std::string zip;
  lseek(fileno(f.get()), 0, SEEK_SET);
  EXPECT_TRUE(android::base::ReadFdToString(fileno(f.get()), &zip));
  return zip;
}

// The archive signed as the signing tool signs it: everything up to the
// comment length is covered, the block sits in the comment.
std::string SignZip(const TestKey& key, const std::string& zip) {
  std::string signed_part = zip.substr(0, zip.size() - 2);
  std::string block = Block(key.pub, RawSignature(key, signed_part));
  size_t comment = block.size() + kFooterSize;
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
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
    EXPECT_TRUE(ParseCertificate(rsa_->pem, &store[0], why));
    store[0].name = "unit.x509.pem";
    std::function<void()> hook;
    if (change) hook = [this, &change] { change(fd_.get()); };
    return VerifyPackageFd(fd_.get(), store, {kUpdaterEntry, kMetadataEntry}, out, why, hook);
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
  std::string why;
  EXPECT_EQ(Result::kVerified, CheckPackageFile(st, 0, &why));
  EXPECT_EQ(Result::kVerified, CheckPackageFile(st, 1000, &why)) << "root's file";
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
    EXPECT_EQ(c.want, CheckPackageFile(st, 1000, &why))
        << std::oct << c.mode << " " << c.links << " " << std::dec << c.owner;
  }
  struct stat later = st;
  EXPECT_TRUE(SameAsChecked(st, later, &why));
  later.st_mtim.tv_nsec += 1;
  EXPECT_FALSE(SameAsChecked(st, later, &why));
  later = st;
  later.st_ino += 1;
  EXPECT_FALSE(SameAsChecked(st, later, &why));
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
