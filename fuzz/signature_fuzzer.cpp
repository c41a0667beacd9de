// The package signature's parsers on hostile bytes: the input is the end of a
// package (footer, end-of-archive record, comment with the SignedData block),
// verified as a whole file through a memory descriptor against one key (also
// with the install's entries asked for), and parsed as a SignedData block alone.
#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "request/package_keys.h"
#include "request/package_verify.h"
#include "request/signed_data.h"

using namespace package_verify;

namespace {

// One RSA key with a self-signed certificate, made once.
std::vector<PublicKey>& Keys() {
  static std::vector<PublicKey> keys = [] {
    bssl::UniquePtr<EVP_PKEY> pkey(EVP_PKEY_new());
    RSA* rsa = RSA_new();
    bssl::UniquePtr<BIGNUM> e(BN_new());
    BN_set_word(e.get(), RSA_F4);
    FUZZ_CHECK(RSA_generate_key_ex(rsa, 2048, e.get(), nullptr) == 1);
    EVP_PKEY_assign_RSA(pkey.get(), rsa);
    bssl::UniquePtr<X509> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const uint8_t*>("fuzz"),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), pkey.get());
    FUZZ_CHECK(X509_sign(cert.get(), pkey.get(), EVP_sha256()) > 0);
    bssl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert.get());
    const uint8_t* pem = nullptr;
    size_t len = 0;
    BIO_mem_contents(bio.get(), &pem, &len);
    std::vector<PublicKey> out(1);
    FUZZ_CHECK(
        ParseCertificate(std::string(reinterpret_cast<const char*>(pem), len), &out[0]).ok());
    return out;
  }();
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Quiet();
  Keys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxTail + 64) return 0;
  Signer signer;
  Status parsed = ParseSignedData(data, size, &signer);
  FUZZ_CHECK(parsed.code == Result::kVerified || parsed.code == Result::kMalformed);
  if (parsed.ok()) FUZZ_CHECK(!signer.signature.empty());
  // A refusal always says why.
  FUZZ_CHECK(parsed.ok() == parsed.reason.empty());

  Footer footer;
  Status found = ParseFooter(data, size, size, &footer);
  if (found.ok()) {
    FUZZ_CHECK(footer.block_offset + footer.block_length + kFooterSize == size);
    FUZZ_CHECK(footer.signed_length + 2 <= size);
  }

  android::base::unique_fd fd(memfd_create("package", MFD_CLOEXEC));
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(android::base::WriteFully(fd.get(), data, size));
  std::string signer_name;
  Status result = VerifyPackageFd(fd.get(), Keys(), &signer_name);
  // Without the private key no input can carry a valid signature.
  FUZZ_CHECK(!result.ok() && !result.reason.empty());
  // The same with the install's entries: the central directory is then parsed
  // and the entries captured before the signature is known.
  VerifiedPackage package;
  result = VerifyPackageFd(fd.get(), Keys(), {kUpdaterEntry, kMetadataEntry}, &package);
  FUZZ_CHECK(!result.ok());
  FUZZ_CHECK(package.entries.empty());
  return 0;
}
