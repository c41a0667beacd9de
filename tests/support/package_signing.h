// Test keys and signed packages for the unit tests of the package check: keys
// made with BoringSSL at run time, certificates read back as the key store reads
// them, SignedData blocks as Android's signing tool makes them, and archives
// signed whole the way that tool signs them.
#pragma once

#include <android-base/file.h>
#include <android-base/unique_fd.h>
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
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>
#include <ziparchive/zip_writer.h>

#include <string>
#include <tuple>
#include <vector>

#include "norvotools/norvo-root/scoped.h"
#include "request/package_keys.h"
#include "request/package_verify.h"
#include "request/signed_data.h"

namespace package_signing {

using package_verify::kFooterSize;
using package_verify::ParseCertificate;
using package_verify::PublicKey;
using package_verify::Result;
using package_verify::VerifyPackageFd;

inline constexpr uint8_t kSignedData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
inline constexpr uint8_t kData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
inline constexpr uint8_t kSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
inline constexpr uint8_t kSha1[] = {0x2b, 0x0e, 0x03, 0x02, 0x1a};
inline constexpr uint8_t kRsa[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};

inline const uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

inline std::string Le16(size_t v) {
  return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}

// An end-of-archive record with the given comment length.
inline std::string Eocd(size_t comment) {
  return std::string("PK\x05\x06", 4) + std::string(16, '\0') + Le16(comment);
}

struct TestKey {
  bssl::UniquePtr<EVP_PKEY> pkey;
  std::string pem;
  PublicKey pub;
};

// A key with a self-signed certificate, read back as the key store reads it.
inline TestKey MakeKey(bool ec, int bits = 2048, long serial = 7) {
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
  key.pub.name = "unit.x509.pem";
  package_verify::Status parsed = ParseCertificate(key.pem, &key.pub);
  EXPECT_EQ(ec || bits >= 2048, parsed.ok()) << parsed.reason;
  return key;
}

inline std::string RawSignature(const TestKey& key, const std::string& data) {
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

inline void AddOid(CBB* parent, const uint8_t* oid, size_t len) {
  CBB child;
  ASSERT_TRUE(CBB_add_asn1(parent, &child, CBS_ASN1_OBJECT));
  ASSERT_TRUE(CBB_add_bytes(&child, oid, len));
  ASSERT_TRUE(CBB_flush(parent));
}

inline void AddAlgorithm(CBB* parent, const uint8_t* oid, size_t len) {
  CBB alg, null;
  ASSERT_TRUE(CBB_add_asn1(parent, &alg, CBS_ASN1_SEQUENCE));
  AddOid(&alg, oid, len);
  ASSERT_TRUE(CBB_add_asn1(&alg, &null, CBS_ASN1_NULL));
  ASSERT_TRUE(CBB_flush(parent));
}

inline void AddSigner(CBB* set, const PublicKey& pub, const std::string& sig,
                      const BlockOptions& o) {
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
inline std::string Block(const PublicKey& pub, const std::string& sig, const BlockOptions& o = {}) {
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
inline std::string Signed(const TestKey& key, size_t* signed_length = nullptr) {
  std::string signed_part = "local entries, central directory" + Eocd(0).substr(0, 20);
  std::string block = Block(key.pub, RawSignature(key, signed_part));
  size_t comment = block.size() + kFooterSize;
  if (signed_length != nullptr) *signed_length = signed_part.size();
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

inline Result Verify(const std::string& file, const std::vector<const TestKey*>& keys,
                     std::string* why = nullptr) {
  android::base::unique_fd fd(memfd_create("package", MFD_CLOEXEC));
  EXPECT_TRUE(android::base::WriteStringToFd(file, fd.get()));
  std::vector<PublicKey> store;
  for (const TestKey* key : keys) {
    PublicKey copy;
    EXPECT_TRUE(ParseCertificate(key->pem, &copy).ok());
    store.push_back(std::move(copy));
  }
  std::string name;
  package_verify::Status result = VerifyPackageFd(fd.get(), store, &name);
  if (why != nullptr) *why = result.reason;
  return result.code;
}

inline std::string Flip(std::string s, size_t at) {
  s[at] ^= 0x01;
  return s;
}

// The keys of the signature tests, made once for all of them.
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
  inline static TestKey* rsa_ = nullptr;
  inline static TestKey* ec_ = nullptr;
  inline static TestKey* other_ = nullptr;
};

// A zip archive of the given entries (name, bytes, compressed), made with the
// platform's zip writer.
inline std::string Zip(const std::vector<std::tuple<std::string, std::string, bool>>& entries) {
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
inline std::string SignZip(const TestKey& key, const std::string& zip) {
  std::string signed_part = zip.substr(0, zip.size() - 2);
  std::string block = Block(key.pub, RawSignature(key, signed_part));
  size_t comment = block.size() + kFooterSize;
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

}  // namespace package_signing
