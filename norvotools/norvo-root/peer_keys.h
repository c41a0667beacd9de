// The public keys of the certificates a TLS peer sent, read from the TLS
// library's own session, which libcurl hands out after the handshake
// (CURLINFO_TLS_SSL_PTR). tls_trust.cpp judges them before any request is sent.
//
// The session is the TLS library's type, so the reading is one small file per
// library, each defining read_peer_keys():
//  - peer_keys_gnutls.cpp: the host's libcurl-gnutls (info.internals is a
//    gnutls_session_t): gnutls_certificate_get_peers() and
//    gnutls_x509_crt_get_pk_algorithm(). Host only.
//  - peer_keys_boringssl.cpp: the handset's libcurl, built on BoringSSL
//    (info.backend CURLSSLBACKEND_OPENSSL, info.internals an SSL*):
//    SSL_get_peer_full_cert_chain() with X509_get_pubkey(), EVP_PKEY_id() and
//    EVP_PKEY_bits(). Built by Android.bp, checked by tools/android-check.sh.
// A reader given a session of another TLS library refuses it: the check fails
// closed, a peer is never let through unchecked.
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

namespace tls {

enum class KeyKind {
  kRsa,      // RSA, RSA-PSS: `bits` is the modulus size
  kEc,       // ECDSA on a prime curve: `bits` is the curve size
  kEdwards,  // Ed25519, Ed448
  kOther,    // DSA, GOST, anything else
};

struct PeerKey {
  KeyKind kind = KeyKind::kOther;
  unsigned bits = 0;
  std::string algorithm;  // the library's name of it, for the log
};

// The keys of every certificate the peer sent, its own first, in the order it
// sent them. False (and `why`) when the session cannot be read: an unknown TLS
// library, no session, a certificate that does not parse.
bool read_peer_keys(const curl_tlssessioninfo& info, std::vector<PeerKey>* keys, std::string* why);

}  // namespace tls
