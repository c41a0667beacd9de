// Whole-file signature of an update package, in the form Android's signing tool
// makes: a CMS (PKCS#7) SignedData block at the end of the zip comment, found
// through a six-byte footer, over every byte of the archive up to the comment's
// length field. Verified against the certificates of the device's key store, a
// zip of PEM certificates. Every size read from the package is bounded before it
// is used; a package that does not verify is never handed on.
#pragma once

#include <openssl/evp.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace package_verify {

constexpr char kKeyStorePath[] = "/system/etc/security/otacerts.zip";
constexpr char kUpdaterEntry[] = "META-INF/com/google/android/update-binary";

// Footer (6 bytes) and end-of-archive record (22 bytes) without comment.
constexpr size_t kFooterSize = 6;
constexpr size_t kEocdSize = 22;
// The comment length is 16 bits: the tail that holds footer, record and
// comment is never longer than this.
constexpr size_t kMaxTail = kEocdSize + 0xffff;
// Limits of the key store and of the updater entry.
constexpr size_t kMaxKeyStoreSize = 1 << 20;
constexpr size_t kMaxKeyStoreEntries = 64;
constexpr size_t kMaxCertificateSize = 64 * 1024;
constexpr size_t kMaxUpdaterSize = 64 << 20;

enum class Result {
  kVerified,
  kNoKeyStore,
  kUnreadable,
  kNoFooter,
  kMalformed,
  kDigestMismatch,
  kNoCertificateMatch,
  // The signer names a key store certificate, but its key did not make this
  // signature: a forgery (or a damaged signature), not a changed download.
  kSignatureInvalid,
};

// The reason as the log states it ("no signature footer", ...).
const char* ResultText(Result result);

// One certificate of the key store: its public key and the identity a signer
// names it by (issuer name and serial number, both as DER elements).
struct PublicKey {
  std::string name;  // entry name in the key store
  std::string issuer;
  std::string serial;
  bssl::UniquePtr<EVP_PKEY> key;
};

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

// Reads the key store: every entry whose name ends in ".pem" holds one
// certificate with an RSA key of 2048 to 8192 bits or an EC key on P-256 or
// P-384. Entries that are not such certificates are skipped with a warning.
// kVerified when at least one key was read; kNoKeyStore otherwise (why says so).
Result LoadKeyStore(const char* path, std::vector<PublicKey>* keys, std::string* why);

// Reads the certificates of one PEM text (parsed with the same rules).
bool ParseCertificate(const std::string& pem, PublicKey* out, std::string* why);

// Parses the footer and the end-of-archive record in the last tail_len bytes
// of a file of file_size bytes (tail_len = min(file_size, kMaxTail)).
Result ParseFooter(const uint8_t* tail, size_t tail_len, uint64_t file_size, Footer* out,
                   std::string* why);

// Parses a DER SignedData block: one signer, SHA-256, no signed attributes,
// no embedded content.
Result ParseSignedData(const uint8_t* der, size_t len, Signer* out, std::string* why);

// Verifies the whole-file signature of the package open on fd (a regular
// file) against keys. On success, *signer_name names the key store entry.
Result VerifyPackageFd(int fd, const std::vector<PublicKey>& keys, std::string* signer_name,
                       std::string* why);

// Reads the updater entry of the package open on fd (call after it verified).
bool ReadUpdaterEntry(int fd, std::string* contents, std::string* why);

// Makes path hold exactly contents with mode 0755: kept when it already does,
// otherwise written to a new file beside it and renamed over it, so that no
// link at path is followed and no reader sees half a file. *replaced tells
// whether it was written.
bool InstallUpdater(const std::string& contents, const std::string& path, bool* replaced,
                    std::string* why);

}  // namespace package_verify
