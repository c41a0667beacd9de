// The signature block of a package and the key that made it (see signed_data.h).
#include "request/signed_data.h"

#include <openssl/bytestring.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/nid.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <string.h>

#include <algorithm>

namespace package_verify {
namespace {

// 1.2.840.113549.1.7.2 signedData, 1.2.840.113549.1.7.1 data, 2.16.840.1.101.3.4.2.1 SHA-256.
constexpr uint8_t kOidSignedData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
constexpr uint8_t kOidData[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};
constexpr uint8_t kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr uint8_t kEocdMagic[] = {0x50, 0x4b, 0x05, 0x06};
constexpr size_t kMaxSignature = 1024;  // an 8192-bit RSA signature

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

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

Status ParseFooter(const uint8_t* tail, size_t tail_len, uint64_t file_size, Footer* out) {
  if (tail_len > file_size || tail_len > kMaxTail) {
    return Status(Result::kUnreadable, "tail longer than the file");
  }
  if (tail_len < kFooterSize + kEocdSize) {
    return Status(Result::kNoFooter, "shorter than a footer and an end-of-archive record");
  }
  const uint8_t* footer = tail + tail_len - kFooterSize;
  if (footer[2] != 0xff || footer[3] != 0xff) {
    return Status(Result::kNoFooter, "the last six bytes are not a signature footer");
  }
  size_t signature_start = Le16(footer);
  size_t comment_size = Le16(footer + 4);
  if (signature_start > comment_size) {
    return Status(Result::kMalformed, "signature starts before the comment");
  }
  if (signature_start <= kFooterSize) return Status(Result::kMalformed, "empty signature");
  size_t eocd_size = comment_size + kEocdSize;
  if (eocd_size > tail_len) {
    return Status(Result::kMalformed, "comment longer than the file");
  }
  const uint8_t* eocd = tail + tail_len - eocd_size;
  if (memcmp(eocd, kEocdMagic, sizeof(kEocdMagic)) != 0) {
    return Status(Result::kMalformed, "no end-of-archive record before the comment");
  }
  if (Le16(eocd + 20) != comment_size) {
    return Status(Result::kMalformed, "the archive's comment length differs from the footer's");
  }
  // A second record in the comment would let the zip reader take a central
  // directory from unsigned bytes.
  for (size_t i = 1; i + sizeof(kEocdMagic) <= eocd_size; ++i) {
    if (memcmp(eocd + i, kEocdMagic, sizeof(kEocdMagic)) == 0) {
      return Status(Result::kMalformed, "a second end-of-archive record in the comment");
    }
  }
  out->signed_length = file_size - eocd_size + 20;
  out->block_offset = tail_len - signature_start;
  out->block_length = signature_start - kFooterSize;
  return Result::kVerified;
}

Status ParseSignedData(const uint8_t* der, size_t len, Signer* out) {
  auto malformed = [](const char* text) { return Status(Result::kMalformed, text); };
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

Status MatchSignature(const uint8_t* digest, const Signer& signer,
                      const std::vector<PublicKey>& keys, const PublicKey** out) {
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
          return Status(Result::kDigestMismatch,
                        "the signature of a key store certificate does not match the package's "
                        "bytes");
        }
        return Status(Result::kSignatureInvalid, "the signature is not one of " + named->name +
                                                     "'s key, whose certificate it names");
      }
      return Status(Result::kSignatureInvalid,
                    "the signature does not verify under " + named->name +
                        "'s EC key, whose certificate it names; with an EC key a wrong key "
                        "cannot be told from changed bytes");
    }
    return Status(Result::kNoCertificateMatch, "signed by a key that is not in the key store (" +
                                                   std::to_string(keys.size()) +
                                                   " certificate(s) tried)");
  }
  *out = match;
  return Result::kVerified;
}

}  // namespace package_verify
