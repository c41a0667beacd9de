#define LOG_TAG "BoringSsl"

#include "norvotools/norvo-root/boringssl_loader.h"

#include <android-base/logging.h>
#include <dlfcn.h>
#include <openssl/aes.h>
#include <openssl/base64.h>
#include <openssl/bio.h>
#include <openssl/bytestring.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/mem.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

// Every BoringSSL function our programs call: return type, name, parameters, arguments.
// Each line becomes a hidden forwarder below, which the compiler checks against the
// declaration in BoringSSL's header. Keep the list sorted.
#define NORVO_BORINGSSL_FUNCTIONS(F)                                                               \
  F(void, AES_cbc_encrypt,                                                                         \
    (const uint8_t* in, uint8_t* out, size_t len, const AES_KEY* key, uint8_t* ivec,               \
     const int enc),                                                                               \
    (in, out, len, key, ivec, enc))                                                                \
  F(int, AES_set_decrypt_key, (const uint8_t* key, unsigned bits, AES_KEY* aeskey),                \
    (key, bits, aeskey))                                                                           \
  F(int, AES_set_encrypt_key, (const uint8_t* key, unsigned bits, AES_KEY* aeskey),                \
    (key, bits, aeskey))                                                                           \
  F(int, BIO_free, (BIO * bio), (bio))                                                             \
  F(BIO*, BIO_new_mem_buf, (const void* buf, int len), (buf, len))                                 \
  F(const uint8_t*, CBS_data, (const CBS* cbs), (cbs))                                             \
  F(int, CBS_get_asn1, (CBS * cbs, CBS * out, unsigned tag_value), (cbs, out, tag_value))          \
  F(int, CBS_get_asn1_element, (CBS * cbs, CBS * out, unsigned tag_value), (cbs, out, tag_value))  \
  F(int, CBS_get_asn1_uint64, (CBS * cbs, uint64_t * out), (cbs, out))                             \
  F(int, CBS_get_optional_asn1, (CBS * cbs, CBS * out, int* out_present, unsigned tag),            \
    (cbs, out, out_present, tag))                                                                  \
  F(void, CBS_init, (CBS * cbs, const uint8_t* data, size_t len), (cbs, data, len))                \
  F(size_t, CBS_len, (const CBS* cbs), (cbs))                                                      \
  F(int, CBS_mem_equal, (const CBS* cbs, const uint8_t* data, size_t len), (cbs, data, len))       \
  F(int, CBS_peek_asn1_tag, (const CBS* cbs, unsigned tag_value), (cbs, tag_value))                \
  F(int, ECDSA_verify,                                                                             \
    (int type, const uint8_t* digest, size_t digest_len, const uint8_t* sig, size_t sig_len,       \
     const EC_KEY* key),                                                                           \
    (type, digest, digest_len, sig, sig_len, key))                                                 \
  F(int, EC_GROUP_get_curve_name, (const EC_GROUP* group), (group))                                \
  F(const EC_GROUP*, EC_KEY_get0_group, (const EC_KEY* key), (key))                                \
  F(int, EVP_DecodeBase64,                                                                         \
    (uint8_t * out, size_t * out_len, size_t max_out, const uint8_t* in, size_t in_len),           \
    (out, out_len, max_out, in, in_len))                                                           \
  F(int, EVP_DecodedLength, (size_t * out_len, size_t len), (out_len, len))                        \
  F(size_t, EVP_EncodeBlock, (uint8_t * dst, const uint8_t* src, size_t src_len),                  \
    (dst, src, src_len))                                                                           \
  F(int, EVP_EncodedLength, (size_t * out_len, size_t len), (out_len, len))                        \
  F(void, EVP_PKEY_free, (EVP_PKEY * pkey), (pkey))                                                \
  F(EC_KEY*, EVP_PKEY_get0_EC_KEY, (const EVP_PKEY* pkey), (pkey))                                 \
  F(RSA*, EVP_PKEY_get0_RSA, (const EVP_PKEY* pkey), (pkey))                                       \
  F(int, EVP_PKEY_id, (const EVP_PKEY* pkey), (pkey))                                              \
  F(int, MD5_Final, (uint8_t out[MD5_DIGEST_LENGTH], MD5_CTX * md5), (out, md5))                   \
  F(int, MD5_Init, (MD5_CTX * md5), (md5))                                                         \
  F(int, MD5_Update, (MD5_CTX * md5, const void* data, size_t len), (md5, data, len))              \
  F(void, OPENSSL_free, (void* ptr), (ptr))                                                        \
  F(X509*, PEM_read_bio_X509, (BIO * bp, X509 * *x, pem_password_cb * cb, void* u),                \
    (bp, x, cb, u))                                                                                \
  F(unsigned, RSA_bits, (const RSA* rsa), (rsa))                                                   \
  F(unsigned, RSA_size, (const RSA* rsa), (rsa))                                                   \
  F(int, RSA_verify,                                                                               \
    (int hash_nid, const uint8_t* digest, size_t digest_len, const uint8_t* sig, size_t sig_len,   \
     RSA* rsa),                                                                                    \
    (hash_nid, digest, digest_len, sig, sig_len, rsa))                                             \
  F(int, RSA_verify_raw,                                                                           \
    (RSA * rsa, size_t * out_len, uint8_t * out, size_t max_out, const uint8_t* in, size_t in_len, \
     int padding),                                                                                 \
    (rsa, out_len, out, max_out, in, in_len, padding))                                             \
  F(uint8_t*, SHA1, (const uint8_t* data, size_t len, uint8_t out[SHA_DIGEST_LENGTH]),             \
    (data, len, out))                                                                              \
  F(uint8_t*, SHA256, (const uint8_t* data, size_t len, uint8_t out[SHA256_DIGEST_LENGTH]),        \
    (data, len, out))                                                                              \
  F(int, SHA256_Final, (uint8_t out[SHA256_DIGEST_LENGTH], SHA256_CTX * sha), (out, sha))          \
  F(int, SHA256_Init, (SHA256_CTX * sha), (sha))                                                   \
  F(int, SHA256_Update, (SHA256_CTX * sha, const void* data, size_t len), (sha, data, len))        \
  F(void, X509_free, (X509 * x509), (x509))                                                        \
  F(EVP_PKEY*, X509_get_pubkey, (X509 * x509), (x509))                                             \
  F(int, i2d_X509, (X509 * x509, uint8_t * *outp), (x509, outp))

namespace boringssl {

const char kLibrary[] = "libcrypto.so.0";

namespace {

#define NORVO_INDEX(ret, name, params, args) k_##name,
enum Index : size_t { NORVO_BORINGSSL_FUNCTIONS(NORVO_INDEX) kCount };
#undef NORVO_INDEX

}  // namespace

const std::vector<const char*>& forwarded_names() {
#define NORVO_NAME(ret, name, params, args) #name,
  static const std::vector<const char*> names{NORVO_BORINGSSL_FUNCTIONS(NORVO_NAME)};
#undef NORVO_NAME
  return names;
}

std::string resolve_functions(const char* library, std::vector<void*>* functions) {
  // RTLD_LOCAL: OpenSSL and libssh2 never see these definitions. RTLD_DEEPBIND: the
  // library's calls to its own exported functions bind to itself, not to OpenSSL's
  // same-named ones in the global scope. RTLD_NOW: a broken library fails here.
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
  if (handle == nullptr) {
    const char* error = dlerror();
    return error != nullptr ? error : std::string("cannot load ") + library;
  }
  std::vector<void*> found;
  found.reserve(kCount);
  for (const char* name : forwarded_names()) {
    void* fn = dlsym(handle, name);
    if (fn == nullptr) {
      dlclose(handle);
      return std::string(library) + " has no function " + name;
    }
    found.push_back(fn);
  }
  // Kept open: the pointers live as long as the process.
  *functions = std::move(found);
  return "";
}

std::vector<void*> resolve_or_die(const char* library) {
  std::vector<void*> functions;
  std::string error = resolve_functions(library, &functions);
  if (!error.empty()) LOG(FATAL) << "cannot load BoringSSL (" << library << "): " << error;
  return functions;
}

const std::vector<void*>& functions_or_die() {
  static const std::vector<void*> functions = resolve_or_die(kLibrary);
  return functions;
}

namespace {
// Loaded when the program starts, as a linked library would be, so that a missing one
// stops the program before it does anything.
[[maybe_unused]] const bool loaded_at_start = (functions_or_die(), true);
}  // namespace

}  // namespace boringssl

// The forwarders. Hidden: the executable never exports them, so no other library can bind
// to them either. Each resolves its pointer once (a function-local static).
#define NORVO_FORWARD(ret, name, params, args)                                                 \
  extern "C" __attribute__((visibility("hidden"))) ret name params {                           \
    static const auto fn =                                                                     \
        reinterpret_cast<decltype(&name)>(boringssl::functions_or_die()[boringssl::k_##name]); \
    return fn args;                                                                            \
  }
NORVO_BORINGSSL_FUNCTIONS(NORVO_FORWARD)
#undef NORVO_FORWARD
