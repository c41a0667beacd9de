// read_peer_keys() for libcurl built on BoringSSL, as the platform's libcurl is:
// info.internals is the connection's SSL*. The handset's build of this file; the
// host's libcurl uses GnuTLS (peer_keys_gnutls.cpp).
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "norvotools/norvo-root/peer_keys.h"

namespace tls {

namespace {

KeyKind kind_of(int id) {
  switch (id) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
      return KeyKind::kRsa;
    case EVP_PKEY_EC:
      return KeyKind::kEc;
    case EVP_PKEY_ED25519:
      return KeyKind::kEdwards;
    default:
      return KeyKind::kOther;
  }
}

const char* name_of(int id) {
  switch (id) {
    case EVP_PKEY_RSA:
      return "RSA";
    case EVP_PKEY_RSA_PSS:
      return "RSA-PSS";
    case EVP_PKEY_EC:
      return "EC";
    case EVP_PKEY_ED25519:
      return "Ed25519";
    default:
      return "another algorithm";
  }
}

}  // namespace

bool read_peer_keys(const curl_tlssessioninfo& info, std::vector<PeerKey>* keys, std::string* why) {
  keys->clear();
  // BoringSSL reports itself as the OpenSSL backend (the same number).
  if (info.backend != CURLSSLBACKEND_OPENSSL) {
    *why = "this build reads a TLS peer's keys from BoringSSL only, not from TLS backend " +
           std::to_string(static_cast<int>(info.backend));
    return false;
  }
  auto* ssl = static_cast<SSL*>(info.internals);
  if (ssl == nullptr) {
    *why = "no TLS session";
    return false;
  }
  // The chain as the peer sent it, its own certificate first (borrowed).
  STACK_OF(X509)* chain = SSL_get_peer_full_cert_chain(ssl);
  if (chain == nullptr || sk_X509_num(chain) == 0) {
    *why = "the peer sent no certificate";
    return false;
  }
  for (size_t i = 0; i < sk_X509_num(chain); ++i) {
    bssl::UniquePtr<EVP_PKEY> key(X509_get_pubkey(sk_X509_value(chain, i)));
    if (key == nullptr) {
      *why = "certificate " + std::to_string(i) + " of the chain has no readable key";
      return false;
    }
    int id = EVP_PKEY_id(key.get());
    PeerKey peer;
    peer.kind = kind_of(id);
    peer.bits = static_cast<unsigned>(EVP_PKEY_bits(key.get()));
    peer.algorithm = name_of(id);
    keys->push_back(std::move(peer));
  }
  return true;
}

}  // namespace tls
