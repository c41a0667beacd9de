// libnorvo-dns: the vendor resolver.
#pragma once

#include <netdb.h>

#include "request/vendor/url_wrapper.h"

using ResolveCallback = void (*)(void* arg, int status, int timeouts, hostent* host);

// Looks up url.host (IPv4; the hosts file first, then DNS) and calls `callback` exactly
// once before returning: status 0 and a host entry on success, a non-zero status and a
// null entry on failure. The wait is bounded. The return value carries no meaning.
int resolveName(URLWrapper& url, ResolveCallback callback);

// Makes lookups give up at once (a non-zero status, no entry) while `fd` is
// readable, so that a caller's stop reaches a lookup in progress; -1 turns it off.
// The descriptor is borrowed and must stay open until it is turned off.
void resolveNameAbortOn(int fd);
