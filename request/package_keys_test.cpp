#include "request/package_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/package_signing.h"

namespace {

using namespace package_verify;
using namespace package_signing;

TEST(PackageKeyStore, RefusesWeakKeysAndNonCertificates) {
  PublicKey pub;
  TestKey weak = MakeKey(false, 1024);
  Status parsed = ParseCertificate(weak.pem, &pub);
  EXPECT_FALSE(parsed.ok());
  EXPECT_EQ("RSA key of 1024 bits (2048 to 8192 accepted)", parsed.reason);
  EXPECT_FALSE(ParseCertificate("-----BEGIN CERTIFICATE-----\nAAAA\n", &pub).ok());
  std::vector<PublicKey> keys;
  EXPECT_EQ(Result::kNoKeyStore, LoadKeyStore("/nonexistent/otacerts.zip", &keys).code);
}

}  // namespace
