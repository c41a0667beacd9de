// Tuning of libnorvo-dns, apart from resolveName so that tests can aim the resolver at a
// server of their own and shorten its limits.
#pragma once

#include <string>

#include "request/vendor/norvo_dns.h"

namespace norvo_dns {

struct ResolverConfig {
  // Name servers as "host:port,..." for c-ares; empty uses the system's resolver setup.
  std::string servers;
  int attempt_timeout_ms = 2000;  // first try per server; c-ares doubles it on later tries
  int tries = 2;
  // resolveName never waits longer than this; then it reports ARES_ETIMEOUT.
  int deadline_ms = 10000;
};

int resolveNameWith(URLWrapper& url, ResolveCallback callback, const ResolverConfig& config);

}  // namespace norvo_dns
