// The archive pass of the package check: one read of every signed byte, which
// computes the signature's digest (signed_data.h) against the device's key store
// (package_keys.h). A package that does not verify is never handed on.
//
// Everything the install acts on comes from that one pass: the central
// directory read to plan it is compared with the bytes that went through the
// hash, and the entries asked for (the updater, the metadata) are copied out of
// those hashed bytes, never read again.
#pragma once

#include <android-base/unique_fd.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "request/package_keys.h"
#include "request/package_result.h"

namespace package_verify {

constexpr char kUpdaterEntry[] = "META-INF/com/google/android/update-binary";
constexpr char kMetadataEntry[] = "META-INF/com/android/metadata";

// Limits of the entries taken out of the package.
constexpr size_t kMaxUpdaterSize = 64 << 20;
constexpr size_t kMaxMetadataSize = 64 << 10;
// The central directory is read whole to plan the pass; real packages need a
// few hundred KiB.
constexpr size_t kMaxCentralDirectory = 16 << 20;

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

// Verifies the whole-file signature of the package open on fd (a regular
// file) against keys, in one pass over the file. On success, *signer_name
// names the key store entry. Extracts nothing.
Status VerifyPackageFd(int fd, const std::vector<PublicKey>& keys, std::string* signer_name);

// The same check, and each entry named in `wanted` that the package holds is
// copied out of the hashed bytes into out->entries: kUpdaterEntry (at most
// kMaxUpdaterSize) into a sealed memory file, any other (at most
// kMaxMetadataSize) into memory. Entries are inflated only once the signature
// verified. `after_planning`, when set, runs between the planning read and the
// hashed pass (tests change the file there).
Status VerifyPackageFd(int fd, const std::vector<PublicKey>& keys,
                       const std::vector<std::string>& wanted, VerifiedPackage* out,
                       const std::function<void()>& after_planning = nullptr);

// Whether a package file in this state may be handed to an updater running
// as `euid`: a regular file with one link, not writable by group or others,
// owned by euid or root. kVerified, or kOpenToWriters / kUnreadable.
Status CheckPackageFile(const struct stat& st, uid_t euid);

// Whether the file open on fd is still the one checked: same inode, size and
// modification and change times. kVerified, or kChangedDuringCheck with what
// moved.
Status SameAsChecked(const struct stat& checked, const struct stat& now);

}  // namespace package_verify
