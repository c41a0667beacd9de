// Trust for every https transfer of corvane and quillon: the handset's CA store,
// read by us into one bounded PEM bundle, and the libcurl options that verify the
// peer's chain and host name against that bundle and nothing else.
//
// The store is read here rather than handed to the TLS library as a folder: the
// handset's libcurl sits on another TLS library than the host's, and the folder's
// subject-hash file names are one library's convention. Reading the files
// ourselves also bounds what we read and follows no link.
#pragma once

#include <android-base/unique_fd.h>
#include <curl/curl.h>
#include <stddef.h>

#include <string>
#include <vector>

#include "norvotools/norvo-root/peer_keys.h"

namespace tls {

// The handset's CA store: one PEM certificate per file, often followed by a text dump.
extern const char kCaStoreDir[];  // "/system/etc/security/cacerts"

struct CaStoreLimits {
  size_t max_entries = 1024;              // folder entries looked at
  size_t max_file_bytes = 64 * 1024;      // one file, text dump included
  size_t max_certificates = 512;          // certificates taken into the bundle
  size_t max_bundle_bytes = 1024 * 1024;  // the bundle's PEM text
};

// The usable certificates of a store as one PEM bundle in a sealed memfd.
struct CaBundle {
  android::base::unique_fd fd;
  size_t certificates = 0;
  size_t skipped = 0;  // entries that were no certificate: junk, links, folders, oversized
  // "/proc/self/fd/N": how libcurl (and a child given the same descriptor number)
  // opens the bundle.
  std::string path() const;
};

enum class StoreResult { kLoaded, kMissing, kUnreadable, kEmpty };

// The DER bytes of the first CERTIFICATE block of `text`; text before and after
// the block (a dump of the certificate, say) is ignored. False without a
// well-formed block: base64 only, and one complete DER SEQUENCE inside.
bool first_pem_certificate(const std::string& text, std::string* der);
// One certificate as PEM text, 64 characters a line.
std::string pem_certificate(const std::string& der);
// A memfd holding `text`, sealed against every change, positioned at 0; an
// invalid descriptor (errno set) on failure.
android::base::unique_fd sealed_memfd(const std::string& text);

// Reads the store folder `dir` (not a link), each regular file opened without
// following a link and only up to its limit; the first certificate of every
// file goes into the bundle. `detail` says what went wrong when the result is
// not kLoaded.
StoreResult load_ca_store(const std::string& dir, const CaStoreLimits& limits, CaBundle* bundle,
                          std::string* detail);

// The handset's store, read at the first https transfer and kept for the
// process; null when it is missing, empty or unreadable (every https transfer
// is then refused). `detail` (may be null) gets the reason.
const CaBundle* handset_ca_bundle(std::string* detail = nullptr);

// False only in development builds configured with NORVO_VERIFY_TLS=OFF.
bool verification_enabled();

bool is_https(const std::string& scheme);

// The least a TLS peer must offer: TLS 1.2, and for every certificate it sends an
// RSA key of 2048 bits or an EC key on a curve of 256 bits (Ed25519 and Ed448
// pass; DSA and other kinds do not).
constexpr long kMinTlsVersion = CURL_SSLVERSION_TLSv1_2;
constexpr unsigned kMinRsaBits = 2048;
constexpr unsigned kMinEcBits = 256;

// Whether every key of a peer's chain (its own certificate first) is strong
// enough; `why` names the first certificate that is not, and what it lacks.
bool chain_keys_strong_enough(const std::vector<PeerKey>& keys, std::string* why);

// Options every new transfer handle gets: peer and host-name verification on,
// neither CA file nor CA folder of libcurl's own defaults, so that a handle
// trusts nobody until prepare_transfer() gives it the handset's store; TLS 1.2
// at least; and the check of the peer's keys, after the handshake and before
// the request (CURLOPT_PREREQFUNCTION): a peer whose chain is too weak gets no
// request, and the transfer ends with CURLE_ABORTED_BY_CALLBACK, which
// peer_check_result() turns into a failed verification.
CURLcode baseline_options(CURL* handle);

// The result of a transfer on a handle of baseline_options(): when the peer-key
// check refused the peer, CURLE_PEER_FAILED_VERIFICATION (and `reason`, may be
// null, says why) instead of the abort, which callers also use for a stop of
// their own; otherwise `code` as it is. Called once after each transfer, on the
// thread that ran it.
CURLcode peer_check_result(CURL* handle, CURLcode code, std::string* reason);

// Right before a transfer to `scheme` + `host`. For https: hands the store to the
// handle, or refuses with CURLE_SSL_CACERT_BADFILE (and an ERROR line naming the
// store folder) when there is none. In a development build without verification
// it turns verification off instead, with a WARNING, for every transfer.
CURLcode prepare_transfer(CURL* handle, const std::string& scheme, const std::string& host);

// The peer's certificate did not verify (chain, name or dates): a retry cannot
// mend it.
bool is_verification_failure(CURLcode code);
// The ERROR line of a failed verification: the host and the TLS library's reason
// (both escaped: the host may come from a redirect, the reason from a certificate).
void log_verification_failure(const std::string& host, const std::string& reason);

// The libcurl resolve entry "name:port:address" that pins `host` ("name" or
// "name:port"; `default_port` without one) to `address` while the URL keeps the
// name, as TLS needs it for the server name and the certificate check.
std::string resolve_entry(const std::string& host, const std::string& address, long default_port);

}  // namespace tls
