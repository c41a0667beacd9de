// Whole-file signature of an update package, in the form Android's signing tool
// makes: a CMS (PKCS#7) SignedData block at the end of the zip comment, found
// through a six-byte footer, over every byte of the archive up to the comment's
// length field. Verified against the certificates of the device's key store, a
// zip of PEM certificates. Every size read from the package is bounded before it
// is used; a package that does not verify is never handed on.
//
// Everything the install acts on comes from the one pass that computes the
// signature's digest: the central directory read to plan that pass is compared
// with the bytes that went through the hash, and the entries asked for (the
// updater, the metadata) are copied out of those hashed bytes, never read again.
#pragma once

#include <android-base/unique_fd.h>
#include <openssl/evp.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace package_verify {

constexpr char kKeyStorePath[] = "/system/etc/security/otacerts.zip";
constexpr char kUpdaterEntry[] = "META-INF/com/google/android/update-binary";
constexpr char kMetadataEntry[] = "META-INF/com/android/metadata";

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
constexpr size_t kMaxMetadataSize = 64 << 10;
// The central directory is read whole to plan the pass; real packages need a
// few hundred KiB.
constexpr size_t kMaxCentralDirectory = 16 << 20;

// Every reason a package is refused, one list for the whole install. New
// reasons go at the end: the numbers are not stored, but the texts are what
// logs and tests match.
enum class Result {
  kVerified,
  kNoKeyStore,
  kUnreadable,
  kNoFooter,
  kMalformed,
  kDigestMismatch,
  kNoCertificateMatch,
  // The bytes hashed differ from those read to plan the pass, or the file was
  // written while it was checked.
  kChangedDuringCheck,
  // Another process could change the file under the updater: more than one
  // link, writable by group or others, owned by another user.
  kOpenToWriters,
  // A signed entry that cannot be used: too large, not inflatable, bad CRC.
  kUnusableEntry,
  // The signer names a key store certificate, but its key did not make this
  // signature: a forgery (or a damaged signature), not a changed download.
  kSignatureInvalid,
};

// The reason as the log states it ("no signature footer", ...).
const char* ResultText(Result result);

// One entry copied out of the hashed bytes. The updater is kept in a memory
// file sealed against writes, growth and shrinking (`sealed`); every other
// entry is kept in `bytes`.
struct VerifiedEntry {
  uint64_t size = 0;
  std::string bytes;
  android::base::unique_fd sealed;
};

// What a successful check hands on: who signed, the file's state at the end of
// the pass, and each asked-for entry that the package holds (absent ones are
// simply missing from `entries`).
struct VerifiedPackage {
  std::string signer;
  struct stat checked {};
  std::map<std::string, VerifiedEntry> entries;

  const VerifiedEntry* find(const std::string& name) const;
  // The entry's bytes (e.g. the metadata text); nullptr when the package has
  // no such entry or it is kept sealed.
  const std::string* text(const std::string& name) const;
};

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

// Which key of `keys` made the signer's signature over `digest` (the SHA-256 of
// the signed bytes): kVerified with *match set, else kDigestMismatch (a key store
// key signed other bytes), kSignatureInvalid (the named key made no such
// signature) or kNoCertificateMatch, with why filled.
Result MatchSignature(const uint8_t* digest, const Signer& signer,
                      const std::vector<PublicKey>& keys, const PublicKey** match,
                      std::string* why);

// Verifies the whole-file signature of the package open on fd (a regular
// file) against keys, in one pass over the file. On success, *signer_name
// names the key store entry. Extracts nothing.
Result VerifyPackageFd(int fd, const std::vector<PublicKey>& keys, std::string* signer_name,
                       std::string* why);

// The same check, and each entry named in `wanted` that the package holds is
// copied out of the hashed bytes into out->entries: kUpdaterEntry (at most
// kMaxUpdaterSize) into a sealed memory file, any other (at most
// kMaxMetadataSize) into memory. Entries are inflated only once the signature
// verified. `after_planning`, when set, runs between the planning read and the
// hashed pass (tests change the file there).
Result VerifyPackageFd(int fd, const std::vector<PublicKey>& keys,
                       const std::vector<std::string>& wanted, VerifiedPackage* out,
                       std::string* why, const std::function<void()>& after_planning = nullptr);

// Whether a package file in this state may be handed to an updater running
// as `euid`: a regular file with one link, not writable by group or others,
// owned by euid or root. kVerified or kOpenToWriters / kUnreadable with why.
Result CheckPackageFile(const struct stat& st, uid_t euid, std::string* why);

// Whether the file open on fd is still the one checked: same inode, size and
// modification and change times. False (why says what moved) otherwise.
bool SameAsChecked(const struct stat& checked, const struct stat& now, std::string* why);

// A memory file holding a copy of the regular file at path (not followed if a
// link, at most max bytes), sealed against writes, growth and shrinking.
bool SealedCopyOfFile(const char* path, size_t max, android::base::unique_fd* out,
                      std::string* why);

// Makes path hold exactly the bytes of the file open on source with mode 0755:
// kept when it already does, otherwise written to a new file beside it and
// renamed over it, so that no link at path is followed and no reader sees half
// a file. *replaced tells whether it was written.
bool InstallUpdater(int source, const std::string& path, bool* replaced, std::string* why);
// The same from bytes in memory.
bool InstallUpdater(const std::string& contents, const std::string& path, bool* replaced,
                    std::string* why);

}  // namespace package_verify
