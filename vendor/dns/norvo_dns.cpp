// Placeholder until the vendor stand-in is written.
#include "request/vendor/norvo_dns.h"
int resolveName(URLWrapper&, ResolveCallback callback) {
  callback(nullptr, 1, 0, nullptr);
  return 0;
}
