// Whole-file signature of update packages (see package_verify.h).
#define LOG_TAG "DownloadTask"

#include "request/package_verify.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/memfd.h>
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
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <ziparchive/zip_archive.h>

#include <algorithm>
#include <array>
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
    case Result::kChangedDuringCheck:
      return "package changed during the check";
    case Result::kOpenToWriters:
      return "package open to other writers";
    case Result::kUnusableEntry:
      return "unusable entry";
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

namespace {

constexpr uint32_t kCentralMagic = 0x02014b50;
constexpr uint32_t kLocalMagic = 0x04034b50;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
// A local header's name and extra field are at most 64 KiB each: capturing
// this much beyond the entry's data start always covers the header.
constexpr size_t kMaxLocalHeader = kLocalSize + 2 * 0xffff;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Stored(const std::string& name) { return name == kUpdaterEntry; }
size_t LimitFor(const std::string& name) {
  return Stored(name) ? kMaxUpdaterSize : kMaxMetadataSize;
}

// A wanted entry as the central directory names it.
struct Plan {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressed = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  std::string problem;  // why it cannot be used, found while planning
};

// A range of the signed bytes, either copied as it is hashed (capture) or
// compared with what the planning read saw (expect).
struct Region {
  uint64_t begin = 0;
  uint64_t end = 0;
  std::vector<uint8_t> capture;
  const uint8_t* expect = nullptr;
};

// Sees the range [at, at + len) of the signed bytes go by.
bool Observe(Region* region, const uint8_t* data, uint64_t at, size_t len) {
  uint64_t from = std::max(region->begin, at);
  uint64_t to = std::min(region->end, at + len);
  if (from >= to) return true;
  const uint8_t* src = data + (from - at);
  size_t n = static_cast<size_t>(to - from);
  if (region->expect != nullptr)
    return memcmp(region->expect + (from - region->begin), src, n) == 0;
  memcpy(region->capture.data() + (from - region->begin), src, n);
  return true;
}

// Finds the wanted entries in the central directory that the end-of-archive
// record names. Structure problems are returned as text, not refused here: a
// package whose bytes were changed must be reported as such by the digest.
// *unusable tells a problem of a wanted entry (one named twice) from one of the
// archive's structure.
std::string PlanEntries(int fd, const uint8_t* eocd, uint64_t eocd_offset,
                        const std::vector<std::string>& wanted, std::vector<uint8_t>* cd,
                        uint64_t* cd_offset, std::vector<Plan>* plans, bool* unusable) {
  *unusable = false;
  uint16_t disk = Le16(eocd + 4), cd_disk = Le16(eocd + 6);
  uint16_t on_disk = Le16(eocd + 8), total = Le16(eocd + 10);
  uint32_t cd_size = Le32(eocd + 12);
  *cd_offset = Le32(eocd + 16);
  if (disk != 0 || cd_disk != 0 || on_disk != total) return "an archive of several disks";
  if (*cd_offset + cd_size > eocd_offset) return "central directory beyond its end record";
  if (cd_size > kMaxCentralDirectory) return "central directory larger than 16 MiB";
  cd->resize(cd_size);
  if (!ReadAt(fd, cd->data(), cd_size, *cd_offset)) return "short read of the central directory";
  size_t at = 0;
  for (uint16_t i = 0; i < total; ++i) {
    if (at + kCentralSize > cd->size() || Le32(cd->data() + at) != kCentralMagic) {
      return "central directory record " + std::to_string(i) + " is damaged";
    }
    const uint8_t* r = cd->data() + at;
    size_t name_len = Le16(r + 28), extra = Le16(r + 30), comment = Le16(r + 32);
    size_t next = at + kCentralSize + name_len + extra + comment;
    if (next > cd->size()) return "central directory record " + std::to_string(i) + " is cut";
    std::string name(reinterpret_cast<const char*>(r + kCentralSize), name_len);
    at = next;
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) continue;
    for (const Plan& seen : *plans) {
      // Two entries of one name: a zip reader could take either. The archive
      // itself is sound and signed; the entry cannot be used.
      if (seen.name == name) {
        *unusable = true;
        return "two entries named " + name;
      }
    }
    Plan plan;
    plan.name = name;
    plan.flags = Le16(r + 8);
    plan.method = Le16(r + 10);
    plan.crc = Le32(r + 16);
    plan.compressed = Le32(r + 20);
    plan.size = Le32(r + 24);
    plan.offset = Le32(r + 42);
    size_t limit = LimitFor(name);
    if (plan.size > limit) {
      plan.problem = name + " is larger than " + std::to_string(limit >> 10) + " KiB";
    } else if (plan.compressed > limit + limit / 64 + 4096) {
      // Deflate never grows data this much: the sizes are false.
      plan.problem = name + " has a compressed size that does not fit its size";
    } else if (plan.offset + kLocalSize + plan.compressed > *cd_offset) {
      plan.problem = name + " lies beyond the entries";
    } else if ((plan.flags & 1) != 0) {
      plan.problem = name + " is encrypted";
    } else if (plan.method != 0 && plan.method != 8) {
      plan.problem = name + " uses compression method " + std::to_string(plan.method);
    }
    plans->push_back(std::move(plan));
  }
  return "";
}

class MemoryReader : public zip_archive::Reader {
 public:
  MemoryReader(const uint8_t* data, size_t len) : data_(data), len_(len) {}
  bool ReadAtOffset(uint8_t* buf, size_t len, uint32_t offset) const override {
    if (offset > len_ || len > len_ - offset) return false;
    memcpy(buf, data_ + offset, len);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t len_;
};

// Collects inflated bytes in memory or in a memory file, never more than limit.
class EntryWriter : public zip_archive::Writer {
 public:
  EntryWriter(int fd, std::string* bytes, uint64_t limit) : fd_(fd), bytes_(bytes), limit_(limit) {}
  bool Append(uint8_t* buf, size_t len) override {
    if (len > limit_ - written_) return false;
    written_ += len;
    if (fd_ >= 0) return android::base::WriteFully(fd_, buf, len);
    bytes_->append(reinterpret_cast<const char*>(buf), len);
    return true;
  }
  uint64_t written() const { return written_; }

 private:
  int fd_;
  std::string* bytes_;
  uint64_t limit_;
  uint64_t written_ = 0;
};

uint32_t Crc32(const uint8_t* data, size_t len) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < len; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return crc ^ 0xffffffffu;
}

// The memory file of an entry; sealable, closed on exec unless a caller says so.
android::base::unique_fd NewMemoryFile(const char* name) {
  // Called through syscall(): the target's C library (API 29) has no wrapper, and its
  // <sys/mman.h> has no MFD_ flags either (they come from the kernel's header).
  return android::base::unique_fd(
      static_cast<int>(syscall(SYS_memfd_create, name, MFD_CLOEXEC | MFD_ALLOW_SEALING)));
}

bool Seal(int fd) {
  return fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) == 0;
}

// Takes the entry of plan out of its captured local header and data.
Result Extract(const Plan& plan, const std::vector<uint8_t>& captured, VerifiedEntry* out,
               std::string* why) {
  auto unusable = [&](const std::string& text) {
    return Fail(Result::kUnusableEntry, why, plan.name + ": " + text);
  };
  if (!plan.problem.empty()) return Fail(Result::kUnusableEntry, why, plan.problem);
  const uint8_t* h = captured.data();
  if (captured.size() < kLocalSize || Le32(h) != kLocalMagic) {
    return unusable("no local header where the central directory points");
  }
  size_t name_len = Le16(h + 26), extra = Le16(h + 28);
  if (Le16(h + 8) != plan.method || (Le16(h + 6) & 1) != 0) {
    return unusable("local header disagrees with the central directory");
  }
  if (name_len != plan.name.size() || captured.size() < kLocalSize + name_len ||
      memcmp(h + kLocalSize, plan.name.data(), name_len) != 0) {
    return unusable("local header names another entry");
  }
  size_t start = kLocalSize + name_len + extra;
  if (start + plan.compressed > captured.size()) return unusable("data beyond the signed bytes");
  const uint8_t* data = h + start;
  if (Stored(plan.name)) {
    out->sealed = NewMemoryFile("update-binary");
    if (out->sealed < 0) return unusable(std::string("no memory file: ") + strerror(errno));
  }
  EntryWriter writer(out->sealed.get(), &out->bytes, plan.size);
  uint64_t crc = 0;
  if (plan.method == 0) {
    if (plan.compressed != plan.size) return unusable("stored with two different sizes");
    crc = Crc32(data, static_cast<size_t>(plan.size));
    if (!writer.Append(const_cast<uint8_t*>(data), static_cast<size_t>(plan.size))) {
      return unusable(std::string("cannot be copied: ") + strerror(errno));
    }
  } else {
    MemoryReader reader(data, static_cast<size_t>(plan.compressed));
    int32_t rc = zip_archive::Inflate(reader, static_cast<uint32_t>(plan.compressed),
                                      static_cast<uint32_t>(plan.size), &writer, &crc);
    if (rc != 0) return unusable(std::string("cannot be inflated: ") + ErrorCodeString(rc));
  }
  if (writer.written() != plan.size) return unusable("shorter than its size");
  if (static_cast<uint32_t>(crc) != plan.crc) return unusable("CRC does not match");
  if (out->sealed >= 0 && !Seal(out->sealed.get())) {
    return unusable(std::string("cannot be sealed: ") + strerror(errno));
  }
  out->size = plan.size;
  return Result::kVerified;
}

}  // namespace

const VerifiedEntry* VerifiedPackage::find(const std::string& name) const {
  auto it = entries.find(name);
  return it == entries.end() ? nullptr : &it->second;
}

const std::string* VerifiedPackage::text(const std::string& name) const {
  const VerifiedEntry* entry = find(name);
  return entry == nullptr || entry->sealed >= 0 ? nullptr : &entry->bytes;
}

bool SameAsChecked(const struct stat& checked, const struct stat& now, std::string* why) {
  if (now.st_dev != checked.st_dev || now.st_ino != checked.st_ino) {
    return Fail(why, "another file took its name");
  }
  if (now.st_size != checked.st_size) return Fail(why, "its size changed");
  if (now.st_mtim.tv_sec != checked.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != checked.st_mtim.tv_nsec ||
      now.st_ctim.tv_sec != checked.st_ctim.tv_sec ||
      now.st_ctim.tv_nsec != checked.st_ctim.tv_nsec) {
    return Fail(why, "it was written or its attributes changed");
  }
  return true;
}

Result CheckPackageFile(const struct stat& st, uid_t euid, std::string* why) {
  if (!S_ISREG(st.st_mode)) return Fail(Result::kUnreadable, why, "not a regular file");
  if (st.st_nlink != 1) {
    return Fail(Result::kOpenToWriters, why,
                std::to_string(st.st_nlink) + " links (another name could change it)");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Fail(Result::kOpenToWriters, why, "writable by group or others");
  }
  if (st.st_uid != euid && st.st_uid != 0) {
    return Fail(Result::kOpenToWriters, why, "owned by user " + std::to_string(st.st_uid));
  }
  return Result::kVerified;
}

Result MatchSignature(const uint8_t* digest, const Signer& signer,
                      const std::vector<PublicKey>& keys, const PublicKey** out, std::string* why) {
  const PublicKey* named = nullptr;
  const PublicKey* match = nullptr;
  for (const PublicKey& key : keys) {
    if (KeyVerifies(key, digest, signer.signature)) {
      match = &key;
      break;
    }
    if (named == nullptr && key.issuer == signer.issuer && key.serial == signer.serial) {
      named = &key;
    }
  }
  if (match == nullptr) {
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
  *out = match;
  return Result::kVerified;
}

Result VerifyPackageFd(int fd, const std::vector<PublicKey>& keys, std::string* signer_name,
                       std::string* why) {
  VerifiedPackage package;
  Result result = VerifyPackageFd(fd, keys, {}, &package, why);
  if (result == Result::kVerified && signer_name != nullptr) *signer_name = package.signer;
  return result;
}

Result VerifyPackageFd(int fd, const std::vector<PublicKey>& keys,
                       const std::vector<std::string>& wanted, VerifiedPackage* out,
                       std::string* why, const std::function<void()>& after_planning) {
  if (keys.empty()) return Fail(Result::kNoKeyStore, why, "no certificate to verify with");
  struct stat before;
  if (fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
    return Fail(Result::kUnreadable, why, "not a regular file");
  }
  // The zip reader handles no 64-bit archives; neither does the footer.
  uint64_t size = static_cast<uint64_t>(before.st_size);
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

  // The planning read: where the wanted entries lie. The signed part of the
  // end record and the central directory are compared with the hashed bytes.
  uint64_t eocd_offset = footer.signed_length - 20;
  const uint8_t* eocd = tail.data() + (tail_len - (size - eocd_offset));
  std::vector<Region> regions(1);
  regions[0].begin = eocd_offset;
  regions[0].end = footer.signed_length;
  regions[0].expect = eocd;
  std::vector<uint8_t> cd;
  std::vector<Plan> plans;
  std::string plan_problem;
  bool entry_unusable = false;
  if (!wanted.empty()) {
    uint64_t cd_offset = 0;
    plan_problem =
        PlanEntries(fd, eocd, eocd_offset, wanted, &cd, &cd_offset, &plans, &entry_unusable);
    if (plan_problem.empty()) {
      Region directory;
      directory.begin = cd_offset;
      directory.end = cd_offset + cd.size();
      directory.expect = cd.data();
      regions.push_back(directory);
      for (const Plan& plan : plans) {
        if (!plan.problem.empty()) continue;
        Region entry;
        entry.begin = plan.offset;
        entry.end = std::min<uint64_t>(plan.offset + kMaxLocalHeader + plan.compressed, cd_offset);
        entry.capture.resize(static_cast<size_t>(entry.end - entry.begin));
        regions.push_back(std::move(entry));
      }
    }
  }
  if (after_planning) after_planning();

  SHA256_CTX sha;
  SHA256_Init(&sha);
  std::vector<uint8_t> buffer(kReadChunk);
  bool same = true;
  bool complete = true;
  for (uint64_t done = 0; done < footer.signed_length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, footer.signed_length - done));
    if (!ReadAt(fd, buffer.data(), n, done)) {
      complete = false;
      break;
    }
    SHA256_Update(&sha, buffer.data(), n);
    for (Region& region : regions) same = Observe(&region, buffer.data(), done, n) && same;
    done += n;
  }
  struct stat after;
  std::string moved;
  if (fstat(fd, &after) != 0) return Fail(Result::kUnreadable, why, "cannot stat the package");
  if (!same) {
    return Fail(Result::kChangedDuringCheck, why,
                "the hashed central directory or end record differs from the one read first");
  }
  if (!SameAsChecked(before, after, &moved)) {
    return Fail(Result::kChangedDuringCheck, why, "while it was hashed " + moved);
  }
  if (!complete) return Fail(Result::kUnreadable, why, "short read of the signed bytes");
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &sha);

  const PublicKey* match = nullptr;
  result = MatchSignature(digest, signer, keys, &match, why);
  if (result != Result::kVerified) return result;
  if (!plan_problem.empty()) {
    return Fail(entry_unusable ? Result::kUnusableEntry : Result::kMalformed, why, plan_problem);
  }
  out->signer = match->name;
  out->checked = after;
  out->entries.clear();
  size_t next_region = 2;
  for (const Plan& plan : plans) {
    static const std::vector<uint8_t> kNothing;
    const std::vector<uint8_t>& captured =
        plan.problem.empty() ? regions[next_region++].capture : kNothing;
    VerifiedEntry entry;
    result = Extract(plan, captured, &entry, why);
    if (result != Result::kVerified) {
      out->entries.clear();
      return result;
    }
    out->entries[plan.name] = std::move(entry);
  }
  return Result::kVerified;
}

namespace {

// Whether path is a regular file of mode 0755 holding exactly the size bytes
// of source.
bool HoldsExactly(const std::string& path, int source, uint64_t size) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  struct stat st;
  if (fd < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0755 ||
      static_cast<uint64_t>(st.st_size) != size) {
    return false;
  }
  std::vector<uint8_t> held(kReadChunk), want(kReadChunk);
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - done));
    if (!ReadAt(fd.get(), held.data(), n, done) || !ReadAt(source, want.data(), n, done) ||
        memcmp(held.data(), want.data(), n) != 0) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

bool SealedCopyOfFile(const char* path, size_t max, android::base::unique_fd* out,
                      std::string* why) {
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  if (fd < 0) return Fail(why, strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(why, "not a regular file");
  if (static_cast<uint64_t>(st.st_size) > max) return Fail(why, "too large");
  android::base::unique_fd copy = NewMemoryFile("update-binary");
  if (copy < 0) return Fail(why, strerror(errno));
  std::vector<uint8_t> buffer(kReadChunk);
  uint64_t total = 0;
  for (;;) {
    ssize_t n = TEMP_FAILURE_RETRY(read(fd.get(), buffer.data(), buffer.size()));
    if (n < 0) return Fail(why, strerror(errno));
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    // It may grow while we copy; the copy never passes the bound.
    if (total > max) return Fail(why, "too large");
    if (!android::base::WriteFully(copy.get(), buffer.data(), static_cast<size_t>(n))) {
      return Fail(why, strerror(errno));
    }
  }
  if (!Seal(copy.get())) return Fail(why, std::string("cannot seal: ") + strerror(errno));
  *out = std::move(copy);
  return true;
}

bool InstallUpdater(int source, const std::string& path, bool* replaced, std::string* why) {
  *replaced = false;
  struct stat st;
  if (fstat(source, &st) != 0) return Fail(why, std::string("updater: ") + strerror(errno));
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (HoldsExactly(path, source, size)) return true;
  std::string temp = path + ".XXXXXX";
  // mkostemp creates the file with O_EXCL: it never opens what is already there.
  android::base::unique_fd fd(mkostemp(&temp[0], O_CLOEXEC | O_NOFOLLOW));
  if (fd < 0) return Fail(why, "cannot create " + temp + ": " + strerror(errno));
  bool ok = fchmod(fd.get(), 0755) == 0;
  std::vector<uint8_t> buffer(kReadChunk);
  for (uint64_t done = 0; ok && done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - done));
    ok = ReadAt(source, buffer.data(), n, done) &&
         android::base::WriteFully(fd.get(), buffer.data(), n);
    done += n;
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

bool InstallUpdater(const std::string& contents, const std::string& path, bool* replaced,
                    std::string* why) {
  android::base::unique_fd copy = NewMemoryFile("update-binary");
  if (copy < 0 || !android::base::WriteFully(copy.get(), contents.data(), contents.size())) {
    return Fail(why, std::string("updater: ") + strerror(errno));
  }
  return InstallUpdater(copy.get(), path, replaced, why);
}

}  // namespace package_verify
