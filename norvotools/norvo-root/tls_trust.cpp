#define LOG_TAG "TlsTrust"

#include "norvotools/norvo-root/tls_trust.h"

#include <android-base/file.h>
#include <android-base/logging.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/memfd.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "norvo_config.h"
#include "norvotools/norvo-root/bounded_read.h"
#include "norvotools/norvo-root/log_text.h"
#include "norvotools/norvo-root/scoped.h"

namespace tls {

const char kCaStoreDir[] = "/system/etc/security/cacerts";

namespace {

const char kBegin[] = "-----BEGIN CERTIFICATE-----";
const char kEnd[] = "-----END CERTIFICATE-----";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64 with line breaks and blanks between the characters; '=' only as
// the padding of the last group.
bool decode_base64(const std::string& text, std::string* out) {
  std::string clean;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
    if (base64_value(c) < 0 && c != '=') return false;
    clean += c;
  }
  if (clean.empty() || clean.size() % 4 != 0) return false;
  size_t pad = clean.size() - clean.find_last_not_of('=') - 1;
  if (pad > 2 || clean.find('=') < clean.size() - pad) return false;
  out->clear();
  for (size_t i = 0; i < clean.size(); i += 4) {
    unsigned value = 0;
    int chars = 0;
    for (size_t j = 0; j < 4; ++j) {
      int v = clean[i + j] == '=' ? 0 : base64_value(clean[i + j]);
      if (clean[i + j] != '=') ++chars;
      value = (value << 6) | static_cast<unsigned>(v);
    }
    out->push_back(static_cast<char>(value >> 16));
    if (chars > 2) out->push_back(static_cast<char>((value >> 8) & 0xff));
    if (chars > 3) out->push_back(static_cast<char>(value & 0xff));
  }
  return true;
}

// True when `der` is exactly one DER SEQUENCE (definite length) holding a
// SEQUENCE first, as a certificate does. The TLS library parses the rest.
bool one_der_sequence(const std::string& der) {
  auto byte = [&der](size_t i) { return static_cast<unsigned char>(der[i]); };
  auto header = [&](size_t at, size_t* content, size_t* length) {
    if (at + 2 > der.size() || byte(at) != 0x30) return false;
    unsigned first = byte(at + 1);
    if (first < 0x80) {
      *content = at + 2;
      *length = first;
      return true;
    }
    size_t octets = first & 0x7f;
    if (octets == 0 || octets > 3 || at + 2 + octets > der.size()) return false;
    size_t value = 0;
    for (size_t i = 0; i < octets; ++i) value = (value << 8) | byte(at + 2 + i);
    *content = at + 2 + octets;
    *length = value;
    return true;
  };
  size_t content = 0, length = 0, inner = 0, inner_length = 0;
  if (!header(0, &content, &length) || content + length != der.size()) return false;
  return header(content, &inner, &inner_length) && inner + inner_length <= der.size();
}

const char* result_text(StoreResult result) {
  switch (result) {
    case StoreResult::kMissing:
      return "missing";
    case StoreResult::kEmpty:
      return "empty";
    case StoreResult::kUnreadable:
      return "unreadable";
    case StoreResult::kLoaded:
      break;
  }
  return "loaded";
}

// One file of the store: its first certificate, or why it was skipped.
bool read_certificate(int dir_fd, const std::string& name, size_t max_bytes, std::string* der,
                      std::string* why) {
  android::base::unique_fd fd(
      openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd < 0) {
    *why = errno == ELOOP ? "a link" : strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return false;
  }
  if (st.st_size < 0 || static_cast<size_t>(st.st_size) > max_bytes) {
    *why = "larger than " + std::to_string(max_bytes) + " bytes";
    return false;
  }
  // A file that grew after fstat is seen by the bound all the same.
  std::string text;
  if (int rc = read_bounded(fd.get(), max_bytes, &text); rc != 0) {
    *why = rc == -EFBIG ? "larger than " + std::to_string(max_bytes) + " bytes" : strerror(-rc);
    return false;
  }
  if (!first_pem_certificate(text, der)) {
    *why = "no PEM certificate";
    return false;
  }
  return true;
}

// The handle whose peer the key check refused last on this thread, and why.
// Each program runs a transfer on one thread from start to end, so the
// transfer's own thread finds its refusal here afterwards.
struct KeyRefusal {
  const CURL* handle = nullptr;
  std::string reason;
};
thread_local KeyRefusal t_key_refusal;

std::string describe_key(const PeerKey& key) {
  switch (key.kind) {
    case KeyKind::kRsa:
      return "a " + std::to_string(key.bits) + "-bit RSA key";
    case KeyKind::kEc:
      return "a " + std::to_string(key.bits) + "-bit EC key";
    case KeyKind::kEdwards:
    case KeyKind::kOther:
      break;
  }
  return "a " + key.algorithm + " key";
}

// CURLOPT_PREREQFUNCTION: the connection is up (the handshake done), no request
// has left yet.
int check_peer_before_request(void* clientp, char*, char*, int, int) {
  CURL* handle = static_cast<CURL*>(clientp);
  if (!verification_enabled()) return CURL_PREREQFUNC_OK;
  char* scheme = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr) {
    t_key_refusal = {handle, "the transfer's scheme is unknown"};
    return CURL_PREREQFUNC_ABORT;
  }
  if (strcasecmp(scheme, "https") != 0) return CURL_PREREQFUNC_OK;
  curl_tlssessioninfo* info = nullptr;
  std::vector<PeerKey> keys;
  std::string why;
  if (curl_easy_getinfo(handle, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr) {
    why = "libcurl gives no TLS session";
  } else if (read_peer_keys(*info, &keys, &why) && chain_keys_strong_enough(keys, &why)) {
    return CURL_PREREQFUNC_OK;
  }
  t_key_refusal = {handle, why};
  return CURL_PREREQFUNC_ABORT;
}

}  // namespace

bool chain_keys_strong_enough(const std::vector<PeerKey>& keys, std::string* why) {
  if (keys.empty()) {
    *why = "the peer sent no certificate";
    return false;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    const PeerKey& key = keys[i];
    const char* wanted = nullptr;
    if (key.kind == KeyKind::kRsa && key.bits < kMinRsaBits) {
      wanted = "RSA keys of at least 2048 bits";
    } else if (key.kind == KeyKind::kEc && key.bits < kMinEcBits) {
      wanted = "EC keys of at least 256 bits";
    } else if (key.kind == KeyKind::kOther) {
      wanted = "RSA, EC or Edwards keys";
    }
    if (wanted != nullptr) {
      *why = "certificate " + std::to_string(i) + " of the chain" +
             (i == 0 ? " (the server's)" : "") + " has " + describe_key(key) + "; only " + wanted +
             " are accepted";
      return false;
    }
  }
  return true;
}

CURLcode peer_check_result(CURL* handle, CURLcode code, std::string* reason) {
  if (t_key_refusal.handle != handle) return code;
  std::string why = std::move(t_key_refusal.reason);
  t_key_refusal = KeyRefusal();
  if (code != CURLE_ABORTED_BY_CALLBACK) return code;
  if (reason != nullptr) *reason = why;
  return CURLE_PEER_FAILED_VERIFICATION;
}

std::string CaBundle::path() const { return "/proc/self/fd/" + std::to_string(fd.get()); }

bool first_pem_certificate(const std::string& text, std::string* der) {
  size_t begin = text.find(kBegin);
  if (begin == std::string::npos) return false;
  begin += strlen(kBegin);
  size_t end = text.find(kEnd, begin);
  if (end == std::string::npos) return false;
  std::string bytes;
  if (!decode_base64(text.substr(begin, end - begin), &bytes) || !one_der_sequence(bytes)) {
    return false;
  }
  *der = std::move(bytes);
  return true;
}

std::string pem_certificate(const std::string& der) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (size_t i = 0; i < der.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(der[i]) << 16;
    if (i + 1 < der.size()) value |= static_cast<unsigned char>(der[i + 1]) << 8;
    if (i + 2 < der.size()) value |= static_cast<unsigned char>(der[i + 2]);
    encoded += kAlphabet[(value >> 18) & 63];
    encoded += kAlphabet[(value >> 12) & 63];
    encoded += i + 1 < der.size() ? kAlphabet[(value >> 6) & 63] : '=';
    encoded += i + 2 < der.size() ? kAlphabet[value & 63] : '=';
  }
  std::string pem = std::string(kBegin) + "\n";
  for (size_t i = 0; i < encoded.size(); i += 64) pem += encoded.substr(i, 64) + "\n";
  return pem + kEnd + "\n";
}

android::base::unique_fd sealed_memfd(const std::string& text) {
  // The system call itself: bionic's wrapper is newer than the handsets' API level.
  android::base::unique_fd fd(static_cast<int>(
      syscall(SYS_memfd_create, "norvo-cacerts", MFD_CLOEXEC | MFD_ALLOW_SEALING)));
  if (fd < 0) return fd;
  if (!android::base::WriteFully(fd.get(), text.data(), text.size()) ||
      fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0 ||
      lseek(fd.get(), 0, SEEK_SET) != 0) {
    int saved = errno;
    fd.reset();
    errno = saved;
  }
  return fd;
}

StoreResult load_ca_store(const std::string& dir, const CaStoreLimits& limits, CaBundle* bundle,
                          std::string* detail) {
  *bundle = CaBundle();
  android::base::unique_fd dir_fd(
      open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir_fd < 0) {
    *detail = strerror(errno);
    return errno == ENOENT ? StoreResult::kMissing : StoreResult::kUnreadable;
  }
  int listing_fd = fcntl(dir_fd.get(), F_DUPFD_CLOEXEC, 0);
  UniqueDir listing(listing_fd >= 0 ? fdopendir(listing_fd) : nullptr);
  if (!listing) {
    *detail = strerror(errno);
    if (listing_fd >= 0) close(listing_fd);
    return StoreResult::kUnreadable;
  }
  std::vector<std::string> names;
  bool truncated = false;
  while (dirent* entry = readdir(listing.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (names.size() == limits.max_entries) {
      truncated = true;
      break;
    }
    names.push_back(std::move(name));
  }
  if (truncated) {
    LOG(WARNING) << "CA store " << dir << ": only the first " << limits.max_entries
                 << " entries are read";
  }
  // The same certificates in the same order, whatever order the folder lists them in.
  std::sort(names.begin(), names.end());

  std::string pem;
  for (const std::string& name : names) {
    if (bundle->certificates == limits.max_certificates) {
      LOG(WARNING) << "CA store " << dir << ": more than " << limits.max_certificates
                   << " certificates, the rest is ignored";
      break;
    }
    std::string der, why;
    if (!read_certificate(dir_fd.get(), name, limits.max_file_bytes, &der, &why)) {
      LOG(WARNING) << "CA store " << dir << ": skipped " << name << " (" << why << ")";
      ++bundle->skipped;
      continue;
    }
    std::string block = pem_certificate(der);
    if (pem.size() + block.size() > limits.max_bundle_bytes) {
      LOG(WARNING) << "CA store " << dir << ": more than " << limits.max_bundle_bytes
                   << " bytes of certificates, the rest is ignored";
      break;
    }
    pem += block;
    ++bundle->certificates;
  }
  if (bundle->certificates == 0) {
    *detail = "no certificate in " + std::to_string(names.size()) + " entries";
    return StoreResult::kEmpty;
  }
  bundle->fd = sealed_memfd(pem);
  if (bundle->fd < 0) {
    *detail = std::string("cannot hold the bundle: ") + strerror(errno);
    bundle->certificates = 0;
    return StoreResult::kUnreadable;
  }
  return StoreResult::kLoaded;
}

const CaBundle* handset_ca_bundle(std::string* detail) {
  struct Loaded {
    CaBundle bundle;
    StoreResult result = StoreResult::kMissing;
    std::string detail;
  };
  // Read once, at the first https transfer; the store is read-only on the handset.
  static const Loaded* const loaded = [] {
    auto* l = new Loaded;
    l->result = load_ca_store(kCaStoreDir, CaStoreLimits(), &l->bundle, &l->detail);
    if (l->result == StoreResult::kLoaded) {
      LOG(INFO) << "CA store " << kCaStoreDir << ": " << l->bundle.certificates << " certificates ("
                << l->bundle.skipped << " entries skipped)";
    } else {
      l->detail = std::string(result_text(l->result)) + ": " + l->detail;
    }
    return l;
  }();
  if (detail != nullptr) *detail = loaded->detail;
  return loaded->result == StoreResult::kLoaded ? &loaded->bundle : nullptr;
}

bool verification_enabled() { return NORVO_VERIFY_TLS != 0; }

bool is_https(const std::string& scheme) { return strcasecmp(scheme.c_str(), "https://") == 0; }

CURLcode baseline_options(CURL* handle) {
  CURLcode r = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  if (r == CURLE_OK) r = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (r == CURLE_OK) r = curl_easy_setopt(handle, CURLOPT_CAINFO, static_cast<char*>(nullptr));
  if (r == CURLE_OK) r = curl_easy_setopt(handle, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  if (r == CURLE_OK) r = curl_easy_setopt(handle, CURLOPT_SSLVERSION, kMinTlsVersion);
  if (r == CURLE_OK)
    r = curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &check_peer_before_request);
  if (r == CURLE_OK) r = curl_easy_setopt(handle, CURLOPT_PREREQDATA, static_cast<void*>(handle));
  return r;
}

CURLcode prepare_transfer(CURL* handle, const std::string& scheme, const std::string& host) {
  if (!verification_enabled()) {
    LOG(WARNING) << "DEVELOPMENT BUILD: TLS verification is off for " << printable(scheme + host);
    CURLcode r = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    return r == CURLE_OK ? curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L) : r;
  }
  if (!is_https(scheme)) return CURLE_OK;
  std::string detail;
  const CaBundle* bundle = handset_ca_bundle(&detail);
  if (bundle == nullptr) {
    LOG(ERROR) << "https to " << printable(host) << " refused: no usable CA store in "
               << kCaStoreDir << " (" << detail << ")";
    return CURLE_SSL_CACERT_BADFILE;
  }
  return curl_easy_setopt(handle, CURLOPT_CAINFO, bundle->path().c_str());
}

bool is_verification_failure(CURLcode code) { return code == CURLE_PEER_FAILED_VERIFICATION; }

void log_verification_failure(const std::string& host, const std::string& reason) {
  LOG(ERROR) << "TLS verification of " << printable(host) << " failed: " << printable(reason);
}

std::string resolve_entry(const std::string& host, const std::string& address, long default_port) {
  size_t colon = host.rfind(':');
  bool has_port = colon != std::string::npos && colon + 1 < host.size() &&
                  host.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  if (has_port) return host + ":" + address;
  return host + ":" + std::to_string(default_port) + ":" + address;
}

}  // namespace tls
