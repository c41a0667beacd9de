#include "request/signed_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/package_signing.h"

namespace {

using namespace package_verify;
using namespace package_signing;

Result Footer(const std::string& file, package_verify::Footer* out = nullptr) {
  package_verify::Footer footer;
  size_t tail = std::min(file.size(), kMaxTail);
  return ParseFooter(U8(file) + file.size() - tail, tail, file.size(), out ? out : &footer).code;
}

TEST(PackageFooter, FindsTheBlockAndTheSignedLength) {
  std::string file = "zip" + Eocd(11) + "BLOCK" + Le16(11) + "\xff\xff" + Le16(11);
  // The footer says the block starts 11 bytes from the end: "BLOCK" is 5 of them.
  package_verify::Footer footer;
  ASSERT_EQ(Result::kVerified, Footer(file, &footer));
  EXPECT_EQ(3u + 20u, footer.signed_length);
  EXPECT_EQ("BLOCK", file.substr(footer.block_offset, footer.block_length));
}

TEST(PackageFooter, RefusesEveryInconsistency) {
  std::string sig = "BLOCK";
  auto make = [&](size_t start, size_t comment, const std::string& record) {
    return "zip" + record + sig + Le16(start) + "\xff\xff" + Le16(comment);
  };
  EXPECT_EQ(Result::kVerified, Footer(make(11, 11, Eocd(11))));
  EXPECT_EQ(Result::kNoFooter, Footer(std::string(20, '\xff')));
  EXPECT_EQ(Result::kNoFooter, Footer("zip" + Eocd(0)));
  EXPECT_EQ(Result::kMalformed, Footer(make(12, 11, Eocd(11))));     // block before the comment
  EXPECT_EQ(Result::kMalformed, Footer(make(6, 11, Eocd(11))));      // empty block
  EXPECT_EQ(Result::kMalformed, Footer(make(11, 11, Eocd(12))));     // lengths differ
  EXPECT_EQ(Result::kMalformed, Footer(make(11, 60000, Eocd(11))));  // beyond the file
  std::string moved = make(11, 11, Eocd(11));
  moved[3] = 'X';  // no record where the comment length puts it
  EXPECT_EQ(Result::kMalformed, Footer(moved));
  // A second record hidden in the comment would point a zip reader at unsigned bytes.
  sig = std::string("PK\x05\x06", 4) + "x";
  EXPECT_EQ(Result::kMalformed, Footer(make(11, 11, Eocd(11))));
}

TEST_F(PackageSignature, VerifiesRsaAndEcAgainstTheirCertificates) {
  EXPECT_EQ(Result::kVerified, Verify(Signed(*rsa_), {rsa_}));
  EXPECT_EQ(Result::kVerified, Verify(Signed(*ec_), {ec_}));
  EXPECT_EQ(Result::kVerified, Verify(Signed(*ec_), {other_, rsa_, ec_}));
}

// A signature of another key that names a trusted certificate, against the same
// key's signature over other bytes.
std::string SignedAs(const TestKey& named, const TestKey& signer, const std::string& signed_over) {
  std::string signed_part = "local entries, central directory" + Eocd(0).substr(0, 20);
  std::string block =
      Block(named.pub, RawSignature(signer, signed_over.empty() ? signed_part : signed_over));
  size_t comment = block.size() + kFooterSize;
  return signed_part + Le16(comment) + block + Le16(comment) + "\xff\xff" + Le16(comment);
}

TEST_F(PackageSignature, AForgeryIsToldFromChangedBytesWhereTheKeyAllows) {
  std::string why;
  // RSA: the named key recovers no digest from another key's signature.
  EXPECT_EQ(Result::kSignatureInvalid, Verify(SignedAs(*rsa_, *other_, ""), {rsa_}, &why));
  EXPECT_NE(std::string::npos, why.find("is not one of")) << why;
  // RSA, the right key over other bytes: the download changed.
  EXPECT_EQ(Result::kDigestMismatch, Verify(SignedAs(*rsa_, *rsa_, "other bytes"), {rsa_}, &why));
  // EC cannot tell the two apart, and says so.
  TestKey ec_other = MakeKey(true, 0, 11);
  for (const std::string& file :
       {SignedAs(*ec_, ec_other, ""), SignedAs(*ec_, *ec_, "other bytes")}) {
    EXPECT_EQ(Result::kSignatureInvalid, Verify(file, {ec_}, &why));
    EXPECT_NE(std::string::npos, why.find("cannot be told from changed bytes")) << why;
  }
  EXPECT_STREQ("signature does not verify under any trusted key",
               ResultText(Result::kSignatureInvalid));
}

TEST_F(PackageSignature, ReasonsForOtherKeysAndNoKeys) {
  std::string why;
  EXPECT_EQ(Result::kNoCertificateMatch, Verify(Signed(*other_), {rsa_, ec_}, &why));
  EXPECT_NE(std::string::npos, why.find("2 certificate(s) tried")) << why;
  EXPECT_EQ(Result::kNoKeyStore, Verify(Signed(*rsa_), {}));
  EXPECT_EQ(Result::kNoFooter, Verify("", {rsa_}));
  std::string file = Signed(*rsa_);
  for (size_t keep = 0; keep < file.size(); keep += 7) {
    EXPECT_NE(Result::kVerified, Verify(file.substr(0, keep), {rsa_})) << keep;
  }
}

TEST_F(PackageSignature, BlockMustBeOneDetachedSha256SignerWithoutAttributes) {
  std::string sig = RawSignature(*rsa_, "x");
  Signer signer;
  std::string good = Block(rsa_->pub, sig);
  Status parsed = ParseSignedData(U8(good), good.size(), &signer);
  ASSERT_EQ(Result::kVerified, parsed.code) << parsed.reason;
  EXPECT_EQ(sig, signer.signature);
  EXPECT_EQ(rsa_->pub.issuer, signer.issuer);
  EXPECT_EQ(rsa_->pub.serial, signer.serial);
  for (BlockOptions o :
       {BlockOptions{true, false, false, false}, BlockOptions{false, true, false, false},
        BlockOptions{false, false, true, false}, BlockOptions{false, false, false, true}}) {
    std::string bad = Block(rsa_->pub, sig, o);
    EXPECT_EQ(Result::kMalformed, ParseSignedData(U8(bad), bad.size(), &signer).code);
  }
  std::string trailing = good + "x";
  EXPECT_EQ(Result::kMalformed, ParseSignedData(U8(trailing), trailing.size(), &signer).code);
  for (size_t keep = 0; keep < good.size(); ++keep) {
    ASSERT_EQ(Result::kMalformed, ParseSignedData(U8(good), keep, &signer).code) << keep;
  }
}

}  // namespace
