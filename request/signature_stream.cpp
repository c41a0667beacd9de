#include "request/signature_stream.h"

#include <string.h>

#include <algorithm>

namespace package_verify {

SignatureStream::SignatureStream() { reset(); }

void SignatureStream::reset() {
  SHA256_Init(&sha_);
  length_ = 0;
  hashed_ = 0;
  tail_.clear();
  tail_.reserve(kMaxTail);
}

void SignatureStream::update(const uint8_t* data, size_t size) {
  length_ += size;
  // Bytes that are no longer among the last kMaxTail are certainly signed ones:
  // first the oldest held ones, then the oldest new ones.
  size_t total = tail_.size() + size;
  if (total > kMaxTail) {
    size_t excess = total - kMaxTail;
    size_t from_tail = std::min(excess, tail_.size());
    if (from_tail > 0) {
      SHA256_Update(&sha_, tail_.data(), from_tail);
      tail_.erase(tail_.begin(), tail_.begin() + static_cast<ptrdiff_t>(from_tail));
    }
    size_t from_data = excess - from_tail;
    if (from_data > 0) SHA256_Update(&sha_, data, from_data);
    hashed_ += excess;
    data += from_data;
    size -= from_data;
  }
  tail_.insert(tail_.end(), data, data + size);
}

Status SignatureStream::verify(const std::vector<PublicKey>& keys, std::string* signer_name) const {
  if (keys.empty()) return Status(Result::kNoKeyStore, "no certificate to verify with");
  // The same bound as the check of a file: no 64-bit archives.
  if (length_ > 0xffffffffULL) return Status(Result::kUnreadable, "larger than 4 GiB");
  Footer footer;
  Status result = ParseFooter(tail_.data(), tail_.size(), length_, &footer);
  if (!result.ok()) return result;
  // The footer bounds the comment, so the signed region never ends before the
  // held tail begins.
  if (footer.signed_length < hashed_ || footer.signed_length > length_) {
    return Status(Result::kMalformed, "the signed region does not end in the archive's tail");
  }
  Signer signer;
  result = ParseSignedData(tail_.data() + footer.block_offset, footer.block_length, &signer);
  if (!result.ok()) return result;
  SHA256_CTX sha = sha_;
  SHA256_Update(&sha, tail_.data(), static_cast<size_t>(footer.signed_length - hashed_));
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &sha);
  const PublicKey* match = nullptr;
  result = MatchSignature(digest, signer, keys, &match);
  if (!result.ok()) return result;
  if (signer_name != nullptr) *signer_name = match->name;
  return Result::kVerified;
}

}  // namespace package_verify
