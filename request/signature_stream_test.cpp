#include "request/signature_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/package_signing.h"

namespace {

using namespace package_verify;
using namespace package_signing;

// The same check over bytes fed in pieces of `piece` bytes, as a download feeds them.
Result StreamVerify(const std::string& file, const std::vector<const TestKey*>& keys,
                    size_t piece) {
  std::vector<PublicKey> store;
  for (const TestKey* key : keys) {
    PublicKey copy;
    EXPECT_TRUE(ParseCertificate(key->pem, &copy).ok());
    store.push_back(std::move(copy));
  }
  package_verify::SignatureStream stream;
  for (size_t at = 0; at < file.size(); at += piece) {
    stream.update(U8(file) + at, std::min(piece, file.size() - at));
  }
  EXPECT_EQ(file.size(), stream.length());
  return stream.verify(store, nullptr).code;
}

// A signed archive whose signed part is `payload` bytes longer: the held-back tail
// then covers only part of the file.
std::string SignedLong(const TestKey& key, size_t payload) {
  std::string signed_part(payload, '\0');
  for (size_t i = 0; i < payload; ++i) signed_part[i] = static_cast<char>((i * 131) >> 3);
  signed_part += "central directory" + Eocd(0).substr(0, 20);
  std::string block = Block(key.pub, RawSignature(key, signed_part));
  size_t comment = block.size() + kFooterSize;
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

// Fed front to back in any pieces, the bytes get the very verdict the file gets,
// whether the archive is shorter than the held-back tail or much longer.
TEST_F(PackageSignature, StreamedBytesGetTheFilesVerdict) {
  for (const std::string& file : {Signed(*rsa_), SignedLong(*rsa_, 300000)}) {
    std::vector<std::string> variants = {file};
    for (size_t at :
         {size_t{0}, file.size() / 2, file.size() - 300, file.size() - 40, file.size() - 3}) {
      variants.push_back(Flip(file, at));
    }
    variants.push_back(file.substr(0, file.size() - 1));
    variants.push_back(file + "x");
    for (const std::string& variant : variants) {
      Result expected = Verify(variant, {rsa_});
      for (size_t piece : {size_t{1} << 20, size_t{65536}, size_t{4093}, size_t{1}}) {
        if (piece == 1 && variant.size() > 100000) continue;  // byte by byte: the short one
        EXPECT_EQ(expected, StreamVerify(variant, {rsa_}, piece))
            << "size " << variant.size() << ", pieces of " << piece;
      }
    }
  }
  EXPECT_EQ(Result::kVerified, StreamVerify(SignedLong(*ec_, 200000), {other_, ec_}, 131072));
  EXPECT_EQ(Result::kNoCertificateMatch, StreamVerify(Signed(*ec_), {other_}, 7));
  EXPECT_EQ(Result::kNoKeyStore, StreamVerify(Signed(*ec_), {}, 7));
}

}  // namespace
