// The device's key store: a zip of PEM certificates whose keys may sign update
// packages. Only keys strong enough to vouch for a package are taken: RSA of
// 2048 to 8192 bits, EC on P-256 or P-384. Every size read is bounded first.
#pragma once

#include <openssl/evp.h>
#include <stddef.h>

#include <string>
#include <vector>

#include "request/package_result.h"

namespace package_verify {

constexpr char kKeyStorePath[] = "/system/etc/security/otacerts.zip";

// Limits of the key store.
constexpr size_t kMaxKeyStoreSize = 1 << 20;
constexpr size_t kMaxKeyStoreEntries = 64;
constexpr size_t kMaxCertificateSize = 64 * 1024;

// One certificate of the key store: its public key and the identity a signer
// names it by (issuer name and serial number, both as DER elements).
struct PublicKey {
  std::string name;  // entry name in the key store
  std::string issuer;
  std::string serial;
  bssl::UniquePtr<EVP_PKEY> key;
};

// Reads the key store: every entry whose name ends in ".pem" holds one
// certificate with an RSA key of 2048 to 8192 bits or an EC key on P-256 or
// P-384. Entries that are not such certificates are skipped with a warning.
// kVerified when at least one key was read; kNoKeyStore otherwise.
Status LoadKeyStore(const char* path, std::vector<PublicKey>* keys);

// Reads the certificate of one PEM text (parsed with the same rules):
// kVerified, or kNoKeyStore when it is no certificate the key store takes.
Status ParseCertificate(const std::string& pem, PublicKey* out);

}  // namespace package_verify
