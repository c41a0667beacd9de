// The whole-file signature of an update package, in the form Android's signing
// tool makes: a CMS (PKCS#7) SignedData block at the end of the zip comment,
// found through a six-byte footer, over every byte of the archive up to the
// comment's length field. Here: finding the block, parsing it, and telling which
// key of the key store made the signature over a digest. Every size read from
// the package is bounded before it is used.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "request/package_keys.h"
#include "request/package_result.h"

namespace package_verify {

// Footer (6 bytes) and end-of-archive record (22 bytes) without comment.
constexpr size_t kFooterSize = 6;
constexpr size_t kEocdSize = 22;
// The comment length is 16 bits: the tail that holds footer, record and
// comment is never longer than this.
constexpr size_t kMaxTail = kEocdSize + 0xffff;

// Where the signature lies, found from the end of the file.
struct Footer {
  uint64_t signed_length = 0;  // bytes covered by the signature, from offset 0
  size_t block_offset = 0;     // offset of the CMS block in the tail
  size_t block_length = 0;
};

// The one signer of a SignedData block.
struct Signer {
  std::string issuer;     // DER element of the issuer name
  std::string serial;     // DER element of the serial number
  std::string signature;  // the signature bytes
};

// Parses the footer and the end-of-archive record in the last tail_len bytes
// of a file of file_size bytes (tail_len = min(file_size, kMaxTail)).
Status ParseFooter(const uint8_t* tail, size_t tail_len, uint64_t file_size, Footer* out);

// Parses a DER SignedData block: one signer, SHA-256, no signed attributes,
// no embedded content.
Status ParseSignedData(const uint8_t* der, size_t len, Signer* out);

// Which key of `keys` made the signer's signature over `digest` (the SHA-256 of
// the signed bytes): kVerified with *match set, else kDigestMismatch (a key store
// key signed other bytes), kSignatureInvalid (the named key made no such
// signature) or kNoCertificateMatch.
Status MatchSignature(const uint8_t* digest, const Signer& signer,
                      const std::vector<PublicKey>& keys, const PublicKey** match);

}  // namespace package_verify
