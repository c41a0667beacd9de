// The whole-file signature of a package checked from its bytes as they arrive,
// front to back, so that a download hashes every byte once, as it writes it. The
// signed region ends just before the end record's comment-length field, and
// where that is only the file's end tells: the last kMaxTail bytes are held back
// until then, every earlier byte is hashed as it comes.
#pragma once

#include <openssl/sha.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "request/package_keys.h"
#include "request/package_result.h"
#include "request/signed_data.h"

namespace package_verify {

class SignatureStream {
 public:
  SignatureStream();

  // Starts over from byte 0.
  void reset();
  // The next bytes of the file.
  void update(const uint8_t* data, size_t size);
  // Bytes fed so far.
  uint64_t length() const { return length_; }
  // At the file's end: whether the bytes fed are a package signed by a key of
  // `keys`, with the same rules and results as VerifyPackageFd(). On success
  // *signer_name (when given) names the key store entry. The stream is left as
  // it was (more bytes may follow and be verified again).
  Status verify(const std::vector<PublicKey>& keys, std::string* signer_name) const;

 private:
  SHA256_CTX sha_;
  uint64_t length_ = 0;
  uint64_t hashed_ = 0;        // bytes in sha_: every one before the held tail
  std::vector<uint8_t> tail_;  // the last bytes, at most kMaxTail
};

}  // namespace package_verify
