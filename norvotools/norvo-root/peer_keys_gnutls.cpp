// read_peer_keys() for libcurl built on GnuTLS (the host's libcurl-gnutls). Host
// only: the handset's libcurl uses BoringSSL (see peer_keys.h).
#ifndef NORVO_HOST_STANDINS
#error "host only: a handset's libcurl is BoringSSL's (peer_keys_boringssl.cpp)"
#endif

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "norvotools/norvo-root/peer_keys.h"

namespace tls {

namespace {

KeyKind kind_of(int algorithm) {
  switch (algorithm) {
    case GNUTLS_PK_RSA:
    case GNUTLS_PK_RSA_PSS:
      return KeyKind::kRsa;
    case GNUTLS_PK_ECDSA:
      return KeyKind::kEc;
    case GNUTLS_PK_EDDSA_ED25519:
    case GNUTLS_PK_EDDSA_ED448:
      return KeyKind::kEdwards;
    default:
      return KeyKind::kOther;
  }
}

}  // namespace

bool read_peer_keys(const curl_tlssessioninfo& info, std::vector<PeerKey>* keys, std::string* why) {
  keys->clear();
  if (info.backend != CURLSSLBACKEND_GNUTLS) {
    *why = "this build reads a TLS peer's keys from GnuTLS only, not from TLS backend " +
           std::to_string(static_cast<int>(info.backend));
    return false;
  }
  auto session = static_cast<gnutls_session_t>(info.internals);
  if (session == nullptr) {
    *why = "no TLS session";
    return false;
  }
  unsigned count = 0;
  const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
  if (chain == nullptr || count == 0) {
    *why = "the peer sent no certificate";
    return false;
  }
  for (unsigned i = 0; i < count; ++i) {
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) != GNUTLS_E_SUCCESS) {
      *why = "out of memory";
      return false;
    }
    int rc = gnutls_x509_crt_import(crt, &chain[i], GNUTLS_X509_FMT_DER);
    unsigned bits = 0;
    int algorithm = rc == GNUTLS_E_SUCCESS ? gnutls_x509_crt_get_pk_algorithm(crt, &bits) : rc;
    gnutls_x509_crt_deinit(crt);
    if (algorithm < 0) {
      *why = "certificate " + std::to_string(i) + " of the chain does not parse (" +
             gnutls_strerror(algorithm) + ")";
      return false;
    }
    PeerKey key;
    key.kind = kind_of(algorithm);
    key.bits = bits;
    const char* name = gnutls_pk_algorithm_get_name(static_cast<gnutls_pk_algorithm_t>(algorithm));
    key.algorithm = name != nullptr ? name : "algorithm " + std::to_string(algorithm);
    keys->push_back(std::move(key));
  }
  return true;
}

}  // namespace tls
