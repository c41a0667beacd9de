// Whole-file signature of update packages (see package_verify.h).
#define LOG_TAG "DownloadTask"

#include "request/package_verify.h"

#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bytestring.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/nid.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ziparchive/zip_archive.h>

#include <algorithm>
#include <memory>

#include "norvotools/norvo-root/scoped.h"

namespace package_verify {
namespace {

// 1.2.840.113549.1.7.2 signedData, 1.2.840.113549.1.7.1 data, 2.16.840.1.101.3.4.2.1 SHA-256.
constexpr uint8_t kOidSignedData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
constexpr uint8_t kOidData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
constexpr uint8_t kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr uint8_t kEocdMagic[] = {0x50, 0x4b, 0x05, 0x06};
constexpr size_t kMaxSignature = 1024;  // an 8192-bit RSA signature
constexpr size_t kReadChunk = 1 << 20;

using Archive = std::unique_ptr<ZipArchive, ReleaseWith<CloseArchive>>;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool Fail(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

Result Fail(Result result, std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return result;
}

std::string ToString(const CBS& cbs) {
  return std::string(reinterpret_cast<const char*>(CBS_data(&cbs)), CBS_len(&cbs));
}

bool IsOid(const CBS& oid, const uint8_t* want, size_t len) {
  return CBS_mem_equal(&oid, want, len) == 1;
}

// An AlgorithmIdentifier whose algorithm is want, with absent or NULL parameters.
bool GetAlgorithm(CBS* in, const uint8_t* want, size_t want_len) {
  CBS alg, oid;
  if (!CBS_get_asn1(in, &alg, CBS_ASN1_SEQUENCE) || !CBS_get_asn1(&alg, &oid, CBS_ASN1_OBJECT)) {
    return false;
  }
  if (want != nullptr && !IsOid(oid, want, want_len)) return false;
  if (want == nullptr) return true;  // parameters of the signature algorithm are the key's
  CBS null;
  if (CBS_len(&alg) == 0) return true;
  return CBS_get_asn1(&alg, &null, CBS_ASN1_NULL) && CBS_len(&null) == 0 && CBS_len(&alg) == 0;
}

// Reads exactly len bytes at offset; false on a short read.
bool ReadAt(int fd, uint8_t* buffer, size_t len, uint64_t offset) {
  while (len > 0) {
    ssize_t n = TEMP_FAILURE_RETRY(pread(fd, buffer, len, static_cast<off_t>(offset)));
    if (n <= 0) return false;
    buffer += n;
    len -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool KeyVerifies(const PublicKey& key, const uint8_t* digest, const std::string& signature) {
  const uint8_t* sig = reinterpret_cast<const uint8_t*>(signature.data());
  switch (EVP_PKEY_id(key.key.get())) {
    case EVP_PKEY_RSA: {
      const RSA* rsa = EVP_PKEY_get0_RSA(key.key.get());
      return RSA_verify(NID_sha256, digest, SHA256_DIGEST_LENGTH, sig, signature.size(),
                        const_cast<RSA*>(rsa)) == 1;
    }
    case EVP_PKEY_EC: {
      const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(key.key.get());
      return ECDSA_verify(0, digest, SHA256_DIGEST_LENGTH, sig, signature.size(), ec) == 1;
    }
    default:
      return false;
  }
}

// For a signature that did not verify under the RSA key of the certificate its
// signer names: true when the key recovers a SHA-256 digest from it, so that the
// key did sign, only other bytes than these. A forged or damaged signature
// recovers no digest at all.
bool RsaRecoversADigest(const PublicKey& key, const std::string& signature) {
  static const uint8_t kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                          0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                          0x01, 0x05, 0x00, 0x04, 0x20};
  const RSA* rsa = EVP_PKEY_get0_RSA(key.key.get());
  if (rsa == nullptr) return false;
  std::vector<uint8_t> out(RSA_size(rsa));
  size_t length = 0;
  if (RSA_verify_raw(const_cast<RSA*>(rsa), &length, out.data(), out.size(),
                     reinterpret_cast<const uint8_t*>(signature.data()), signature.size(),
                     RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  return length == sizeof(kSha256Prefix) + SHA256_DIGEST_LENGTH &&
         std::equal(kSha256Prefix, kSha256Prefix + sizeof(kSha256Prefix), out.begin());
}

}  // namespace

const char* ResultText(Result result) {
  switch (result) {
    case Result::kVerified:
      return "verified";
    case Result::kNoKeyStore:
      return "no key store";
    case Result::kUnreadable:
      return "package unreadable";
    case Result::kNoFooter:
      return "no signature footer";
    case Result::kMalformed:
      return "malformed signature block";
    case Result::kDigestMismatch:
      return "digest mismatch";
    case Result::kNoCertificateMatch:
      return "no certificate matches";
    case Result::kSignatureInvalid:
      return "signature does not verify under any trusted key";
  }
  return "unknown";
}

bool ParseCertificate(const std::string& pem, PublicKey* out, std::string* why) {
  if (pem.size() > kMaxCertificateSize) return Fail(why, "certificate too large");
  bssl::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), pem.size()));
  if (!bio) return Fail(why, "out of memory");
  bssl::UniquePtr<X509> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) return Fail(why, "not a PEM certificate");
  uint8_t* der = nullptr;
  int der_len = i2d_X509(cert.get(), &der);
  if (der_len <= 0) return Fail(why, "certificate cannot be encoded");
  bssl::UniquePtr<uint8_t> der_owner(der);
  // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
  //   serialNumber INTEGER, signature AlgorithmIdentifier, issuer Name, ... } ... }
  CBS in, certificate, tbs, serial, issuer;
  CBS_init(&in, der, static_cast<size_t>(der_len));
  if (!CBS_get_asn1(&in, &certificate, CBS_ASN1_SEQUENCE) ||
      !CBS_get_asn1(&certificate, &tbs, CBS_ASN1_SEQUENCE) ||
      !CBS_get_optional_asn1(&tbs, nullptr, nullptr,
                             CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 0) ||
      !CBS_get_asn1_element(&tbs, &serial, CBS_ASN1_INTEGER) ||
      !CBS_get_asn1(&tbs, nullptr, CBS_ASN1_SEQUENCE) ||
      !CBS_get_asn1_element(&tbs, &issuer, CBS_ASN1_SEQUENCE)) {
    return Fail(why, "certificate without issuer and serial number");
  }
  bssl::UniquePtr<EVP_PKEY> key(X509_get_pubkey(cert.get()));
  if (!key) return Fail(why, "certificate without a usable public key");
  switch (EVP_PKEY_id(key.get())) {
    case EVP_PKEY_RSA: {
      unsigned bits = RSA_bits(EVP_PKEY_get0_RSA(key.get()));
      if (bits < 2048 || bits > 8192) {
        return Fail(why, "RSA key of " + std::to_string(bits) + " bits (2048 to 8192 accepted)");
      }
      break;
    }
    case EVP_PKEY_EC: {
      int curve = EC_GROUP_get_curve_name(EC_KEY_get0_group(EVP_PKEY_get0_EC_KEY(key.get())));
      if (curve != NID_X9_62_prime256v1 && curve != NID_secp384r1) {
        return Fail(why, "EC key on a curve other than P-256 or P-384");
      }
      break;
    }
    default:
      return Fail(why, "key neither RSA nor EC");
  }
  out->issuer = ToString(issuer);
  out->serial = ToString(serial);
  out->key = std::move(key);
  return true;
}

Result LoadKeyStore(const char* path, std::vector<PublicKey>* keys, std::string* why) {
  keys->clear();
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  if (fd < 0) return Fail(Result::kNoKeyStore, why, std::string(path) + ": " + strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Fail(Result::kNoKeyStore, why, std::string(path) + " is not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxKeyStoreSize) {
    return Fail(Result::kNoKeyStore, why, std::string(path) + " is larger than 1 MiB");
  }
  ZipArchiveHandle handle = nullptr;
  int32_t rc = OpenArchiveFd(fd.get(), path, &handle, false);
  Archive archive(handle);
  if (rc != 0) {
    return Fail(Result::kNoKeyStore, why,
                std::string(path) + " is not a zip archive: " + ErrorCodeString(rc));
  }
  void* cookie = nullptr;
  if (StartIteration(archive.get(), &cookie, "", ".pem") != 0) {
    return Fail(Result::kNoKeyStore, why, std::string(path) + " cannot be listed");
  }
  std::unique_ptr<void, ReleaseWith<EndIteration>> iteration(cookie);
  ZipEntry entry;
  std::string name;
  size_t seen = 0;
  while (Next(cookie, &entry, &name) == 0) {
    if (++seen > kMaxKeyStoreEntries) {
      LOG(WARNING) << path << ": more than " << kMaxKeyStoreEntries
                   << " certificates; the rest are ignored";
      break;
    }
    if (entry.uncompressed_length > kMaxCertificateSize) {
      LOG(WARNING) << path << ": " << name << " skipped: larger than 64 KiB";
      continue;
    }
    std::string pem(entry.uncompressed_length, '\0');
    if (ExtractToMemory(archive.get(), &entry, reinterpret_cast<uint8_t*>(&pem[0]),
                        entry.uncompressed_length) != 0) {
      LOG(WARNING) << path << ": " << name << " skipped: cannot be extracted";
      continue;
    }
    PublicKey key;
    std::string reason;
    if (!ParseCertificate(pem, &key, &reason)) {
      LOG(WARNING) << path << ": " << name << " skipped: " << reason;
      continue;
    }
    key.name = name;
    keys->push_back(std::move(key));
  }
  if (keys->empty()) {
    return Fail(Result::kNoKeyStore, why, std::string(path) + " holds no usable certificate");
  }
  return Result::kVerified;
}

Result ParseFooter(const uint8_t* tail, size_t tail_len, uint64_t file_size, Footer* out,
                   std::string* why) {
  if (tail_len > file_size || tail_len > kMaxTail) {
    return Fail(Result::kUnreadable, why, "tail longer than the file");
  }
  if (tail_len < kFooterSize + kEocdSize) {
    return Fail(Result::kNoFooter, why, "shorter than a footer and an end-of-archive record");
  }
  const uint8_t* footer = tail + tail_len - kFooterSize;
  if (footer[2] != 0xff || footer[3] != 0xff) {
    return Fail(Result::kNoFooter, why, "the last six bytes are not a signature footer");
  }
  size_t signature_start = Le16(footer);
  size_t comment_size = Le16(footer + 4);
  if (signature_start > comment_size) {
    return Fail(Result::kMalformed, why, "signature starts before the comment");
  }
  if (signature_start <= kFooterSize) return Fail(Result::kMalformed, why, "empty signature");
  size_t eocd_size = comment_size + kEocdSize;
  if (eocd_size > tail_len) {
    return Fail(Result::kMalformed, why, "comment longer than the file");
  }
  const uint8_t* eocd = tail + tail_len - eocd_size;
  if (memcmp(eocd, kEocdMagic, sizeof(kEocdMagic)) != 0) {
    return Fail(Result::kMalformed, why, "no end-of-archive record before the comment");
  }
  if (Le16(eocd + 20) != comment_size) {
    return Fail(Result::kMalformed, why, "the archive's comment length differs from the footer's");
  }
  // A second record in the comment would let the zip reader take a central
  // directory from unsigned bytes.
  for (size_t i = 1; i + sizeof(kEocdMagic) <= eocd_size; ++i) {
    if (memcmp(eocd + i, kEocdMagic, sizeof(kEocdMagic)) == 0) {
      return Fail(Result::kMalformed, why, "a second end-of-archive record in the comment");
    }
  }
  out->signed_length = file_size - eocd_size + 20;
  out->block_offset = tail_len - signature_start;
  out->block_length = signature_start - kFooterSize;
  return Result::kVerified;
}

Result ParseSignedData(const uint8_t* der, size_t len, Signer* out, std::string* why) {
  auto malformed = [why](const char* text) { return Fail(Result::kMalformed, why, text); };
  // ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT SignedData }
  CBS in, content_info, oid, wrapped, signed_data;
  CBS_init(&in, der, len);
  if (!CBS_get_asn1(&in, &content_info, CBS_ASN1_SEQUENCE) || CBS_len(&in) != 0) {
    return malformed("not one DER element");
  }
  if (!CBS_get_asn1(&content_info, &oid, CBS_ASN1_OBJECT) ||
      !IsOid(oid, kOidSignedData, sizeof(kOidSignedData))) {
    return malformed("not a SignedData block");
  }
  if (!CBS_get_asn1(&content_info, &wrapped,
                    CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 0) ||
      CBS_len(&content_info) != 0 || !CBS_get_asn1(&wrapped, &signed_data, CBS_ASN1_SEQUENCE) ||
      CBS_len(&wrapped) != 0) {
    return malformed("SignedData content missing");
  }
  // SignedData ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo,
  //   certificates [0] OPTIONAL, crls [1] OPTIONAL, signerInfos SET }
  uint64_t version = 0;
  CBS encap, signer_infos, signer_info;
  if (!CBS_get_asn1_uint64(&signed_data, &version) ||
      !CBS_get_asn1(&signed_data, nullptr, CBS_ASN1_SET) ||
      !CBS_get_asn1(&signed_data, &encap, CBS_ASN1_SEQUENCE) ||
      !CBS_get_asn1(&encap, &oid, CBS_ASN1_OBJECT)) {
    return malformed("SignedData header");
  }
  if (!IsOid(oid, kOidData, sizeof(kOidData)) || CBS_len(&encap) != 0) {
    return malformed("not a detached signature of data");
  }
  if (!CBS_get_optional_asn1(&signed_data, nullptr, nullptr,
                             CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 0) ||
      !CBS_get_optional_asn1(&signed_data, nullptr, nullptr,
                             CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 1) ||
      !CBS_get_asn1(&signed_data, &signer_infos, CBS_ASN1_SET) || CBS_len(&signed_data) != 0) {
    return malformed("SignedData certificates or signers");
  }
  if (!CBS_get_asn1(&signer_infos, &signer_info, CBS_ASN1_SEQUENCE) ||
      CBS_len(&signer_infos) != 0) {
    return malformed("not exactly one signer");
  }
  // SignerInfo ::= SEQUENCE { version, issuerAndSerialNumber, digestAlgorithm,
  //   signedAttrs [0] OPTIONAL, signatureAlgorithm, signature OCTET STRING,
  //   unsignedAttrs [1] OPTIONAL }
  CBS issuer_serial, issuer, serial, signature;
  if (!CBS_get_asn1_uint64(&signer_info, &version) || version != 1 ||
      !CBS_get_asn1(&signer_info, &issuer_serial, CBS_ASN1_SEQUENCE) ||
      !CBS_get_asn1_element(&issuer_serial, &issuer, CBS_ASN1_SEQUENCE) ||
      !CBS_get_asn1_element(&issuer_serial, &serial, CBS_ASN1_INTEGER) ||
      CBS_len(&issuer_serial) != 0) {
    return malformed("signer not named by issuer and serial number");
  }
  if (!GetAlgorithm(&signer_info, kOidSha256, sizeof(kOidSha256))) {
    return malformed("digest is not SHA-256");
  }
  if (CBS_peek_asn1_tag(&signer_info, CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 0)) {
    return malformed("signed attributes (a whole-file signature has none)");
  }
  if (!GetAlgorithm(&signer_info, nullptr, 0) ||
      !CBS_get_asn1(&signer_info, &signature, CBS_ASN1_OCTETSTRING) ||
      !CBS_get_optional_asn1(&signer_info, nullptr, nullptr,
                             CBS_ASN1_CONTEXT_SPECIFIC | CBS_ASN1_CONSTRUCTED | 1) ||
      CBS_len(&signer_info) != 0) {
    return malformed("signer's algorithm or signature");
  }
  if (CBS_len(&signature) == 0 || CBS_len(&signature) > kMaxSignature) {
    return malformed("signature length");
  }
  out->issuer = ToString(issuer);
  out->serial = ToString(serial);
  out->signature = ToString(signature);
  return Result::kVerified;
}

Result VerifyPackageFd(int fd, const std::vector<PublicKey>& keys, std::string* signer_name,
                       std::string* why) {
  if (keys.empty()) return Fail(Result::kNoKeyStore, why, "no certificate to verify with");
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return Fail(Result::kUnreadable, why, "not a regular file");
  }
  // The zip reader handles no 64-bit archives; neither does the footer.
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > 0xffffffffULL) return Fail(Result::kUnreadable, why, "larger than 4 GiB");
  size_t tail_len = static_cast<size_t>(std::min<uint64_t>(size, kMaxTail));
  std::vector<uint8_t> tail(tail_len);
  if (!ReadAt(fd, tail.data(), tail_len, size - tail_len)) {
    return Fail(Result::kUnreadable, why, "short read of the archive's end");
  }
  Footer footer;
  Result result = ParseFooter(tail.data(), tail_len, size, &footer, why);
  if (result != Result::kVerified) return result;
  Signer signer;
  result = ParseSignedData(tail.data() + footer.block_offset, footer.block_length, &signer, why);
  if (result != Result::kVerified) return result;

  SHA256_CTX sha;
  SHA256_Init(&sha);
  std::vector<uint8_t> buffer(kReadChunk);
  for (uint64_t done = 0; done < footer.signed_length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, footer.signed_length - done));
    if (!ReadAt(fd, buffer.data(), n, done)) {
      return Fail(Result::kUnreadable, why, "short read of the signed bytes");
    }
    SHA256_Update(&sha, buffer.data(), n);
    done += n;
  }
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &sha);

  const PublicKey* named = nullptr;
  for (const PublicKey& key : keys) {
    if (KeyVerifies(key, digest, signer.signature)) {
      if (signer_name != nullptr) *signer_name = key.name;
      return Result::kVerified;
    }
    if (named == nullptr && key.issuer == signer.issuer && key.serial == signer.serial) {
      named = &key;
    }
  }
  if (named != nullptr) {
    // The signer names a certificate of the key store, yet the signature does not
    // cover these bytes. With RSA the key tells which: a digest recovered from the
    // signature means the key signed other bytes (the download changed); none
    // means the key never made this signature (a forgery). ECDSA recovers nothing.
    if (EVP_PKEY_id(named->key.get()) == EVP_PKEY_RSA) {
      if (RsaRecoversADigest(*named, signer.signature)) {
        return Fail(Result::kDigestMismatch, why,
                    "the signature of a key store certificate does not match the package's "
                    "bytes");
      }
      return Fail(
          Result::kSignatureInvalid, why,
          "the signature is not one of " + named->name + "'s key, whose certificate it names");
    }
    return Fail(Result::kSignatureInvalid, why,
                "the signature does not verify under " + named->name +
                    "'s EC key, whose certificate it names; with an EC key a wrong key "
                    "cannot be told from changed bytes");
  }
  return Fail(Result::kNoCertificateMatch, why,
              "signed by a key that is not in the key store (" + std::to_string(keys.size()) +
                  " certificate(s) tried)");
}

bool ReadUpdaterEntry(int fd, std::string* contents, std::string* why) {
  ZipArchiveHandle handle = nullptr;
  int32_t rc = OpenArchiveFd(fd, "/tmp/secure_update.zip", &handle, false);
  Archive archive(handle);
  if (rc != 0) return Fail(why, std::string("not a zip archive: ") + ErrorCodeString(rc));
  ZipEntry entry;
  rc = FindEntry(archive.get(), kUpdaterEntry, &entry);
  if (rc != 0) return Fail(why, std::string("no ") + kUpdaterEntry + " in the package");
  if (entry.uncompressed_length > kMaxUpdaterSize) {
    return Fail(why, std::string(kUpdaterEntry) + " is larger than 64 MiB");
  }
  contents->assign(entry.uncompressed_length, '\0');
  rc = ExtractToMemory(archive.get(), &entry, reinterpret_cast<uint8_t*>(&(*contents)[0]),
                       entry.uncompressed_length);
  if (rc != 0) {
    return Fail(why, std::string(kUpdaterEntry) + " cannot be extracted: " + ErrorCodeString(rc));
  }
  return true;
}

namespace {

// Whether path is a regular file of mode 0755 holding exactly contents.
bool HoldsExactly(const std::string& path, const std::string& contents) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  struct stat st;
  if (fd < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0755 ||
      static_cast<uint64_t>(st.st_size) != contents.size()) {
    return false;
  }
  std::string held(contents.size(), '\0');
  if (!contents.empty() &&
      !ReadAt(fd.get(), reinterpret_cast<uint8_t*>(&held[0]), held.size(), 0)) {
    return false;
  }
  return held == contents;
}

}  // namespace

bool InstallUpdater(const std::string& contents, const std::string& path, bool* replaced,
                    std::string* why) {
  *replaced = false;
  if (HoldsExactly(path, contents)) return true;
  std::string temp = path + ".XXXXXX";
  // mkostemp creates the file with O_EXCL: it never opens what is already there.
  android::base::unique_fd fd(mkostemp(&temp[0], O_CLOEXEC | O_NOFOLLOW));
  if (fd < 0) return Fail(why, "cannot create " + temp + ": " + strerror(errno));
  bool ok = fchmod(fd.get(), 0755) == 0;
  for (size_t done = 0; ok && done < contents.size();) {
    ssize_t n = TEMP_FAILURE_RETRY(write(fd.get(), contents.data() + done, contents.size() - done));
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  int err = errno;
  // Closed before the rename: a program cannot be started while a writer holds it.
  fd.reset();
  if (ok && rename(temp.c_str(), path.c_str()) == 0) {
    *replaced = true;
    return true;
  }
  if (ok) err = errno;
  unlink(temp.c_str());
  return Fail(why, "cannot write " + path + ": " + strerror(err));
}

}  // namespace package_verify
