// The device's key store (see package_keys.h).
#define LOG_TAG "DownloadTask"

#include "request/package_keys.h"

#include <android-base/logging.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bytestring.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/nid.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ziparchive/zip_archive.h>

#include <memory>

#include "norvotools/norvo-root/scoped.h"

namespace package_verify {
namespace {

using Archive = std::unique_ptr<ZipArchive, ReleaseWith<CloseArchive>>;

// A certificate the key store does not take.
Status Unusable(const std::string& text) { return {Result::kNoKeyStore, text}; }

std::string ToString(const CBS& cbs) {
  return std::string(reinterpret_cast<const char*>(CBS_data(&cbs)), CBS_len(&cbs));
}

}  // namespace

Status ParseCertificate(const std::string& pem, PublicKey* out) {
  if (pem.size() > kMaxCertificateSize) return Unusable("certificate too large");
  bssl::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), pem.size()));
  if (!bio) return Unusable("out of memory");
  bssl::UniquePtr<X509> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) return Unusable("not a PEM certificate");
  uint8_t* der = nullptr;
  int der_len = i2d_X509(cert.get(), &der);
  if (der_len <= 0) return Unusable("certificate cannot be encoded");
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
    return Unusable("certificate without issuer and serial number");
  }
  bssl::UniquePtr<EVP_PKEY> key(X509_get_pubkey(cert.get()));
  if (!key) return Unusable("certificate without a usable public key");
  switch (EVP_PKEY_id(key.get())) {
    case EVP_PKEY_RSA: {
      unsigned bits = RSA_bits(EVP_PKEY_get0_RSA(key.get()));
      if (bits < 2048 || bits > 8192) {
        return Unusable("RSA key of " + std::to_string(bits) + " bits (2048 to 8192 accepted)");
      }
      break;
    }
    case EVP_PKEY_EC: {
      int curve = EC_GROUP_get_curve_name(EC_KEY_get0_group(EVP_PKEY_get0_EC_KEY(key.get())));
      if (curve != NID_X9_62_prime256v1 && curve != NID_secp384r1) {
        return Unusable("EC key on a curve other than P-256 or P-384");
      }
      break;
    }
    default:
      return Unusable("key neither RSA nor EC");
  }
  out->issuer = ToString(issuer);
  out->serial = ToString(serial);
  out->key = std::move(key);
  return Result::kVerified;
}

Status LoadKeyStore(const char* path, std::vector<PublicKey>* keys) {
  keys->clear();
  android::base::unique_fd fd(
      TEMP_FAILURE_RETRY(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)));
  if (fd < 0) return Status(Result::kNoKeyStore, std::string(path) + ": " + strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Status(Result::kNoKeyStore, std::string(path) + " is not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxKeyStoreSize) {
    return Status(Result::kNoKeyStore, std::string(path) + " is larger than 1 MiB");
  }
  ZipArchiveHandle handle = nullptr;
  int32_t rc = OpenArchiveFd(fd.get(), path, &handle, false);
  Archive archive(handle);
  if (rc != 0) {
    return Status(Result::kNoKeyStore,
                  std::string(path) + " is not a zip archive: " + ErrorCodeString(rc));
  }
  void* cookie = nullptr;
  if (StartIteration(archive.get(), &cookie, "", ".pem") != 0) {
    return Status(Result::kNoKeyStore, std::string(path) + " cannot be listed");
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
    Status parsed = ParseCertificate(pem, &key);
    if (!parsed.ok()) {
      LOG(WARNING) << path << ": " << name << " skipped: " << parsed.reason;
      continue;
    }
    key.name = name;
    keys->push_back(std::move(key));
  }
  if (keys->empty()) {
    return Status(Result::kNoKeyStore, std::string(path) + " holds no usable certificate");
  }
  return Result::kVerified;
}

}  // namespace package_verify
