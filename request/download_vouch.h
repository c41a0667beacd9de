// Whether the bytes of a finished download are the vendor's package: the
// whole-file signature against the device's key store, checked before the
// download says it is complete. Without a key store (or on a development build
// that does not verify packages) nothing vouches for the bytes but the
// record's MD5 and the server's validator.
#pragma once

#include <string>
#include <vector>

#include "request/package_keys.h"
#include "request/package_result.h"

class DownloadVouch {
 public:
  // Reads the key store once; `path` is the device's, tests give their own.
  void load(const char* path = package_verify::kKeyStorePath);
  // A key store is there and packages are verified.
  bool active() const { return !keys_.empty(); }
  const std::vector<package_verify::PublicKey>& keys() const { return keys_; }
  // Verifies the package open on `fd` (flushed): kVerified, or the reason.
  package_verify::Status check(int fd) const;

 private:
  std::vector<package_verify::PublicKey> keys_;
};
