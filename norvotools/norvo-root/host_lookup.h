// Name resolution as every program uses it: the vendor resolver is asked for
// the bare name, and its answer becomes the addresses a transfer may connect to
// and the "Host: " line that keeps the name in the request. Shared by the
// update agent's events and the telemetry uploader.
#pragma once

#include <netdb.h>

#include <list>
#include <string>

#include "request/vendor/norvo_dns.h"
#include "request/vendor/url_wrapper.h"

// Splits "name:port" into the name and ":port" (empty when there is no numeric port).
void splitHostPort(const std::string& host, std::string* name, std::string* port_suffix);

// Starts the lookup of `url`'s host with `callback`, which the resolver calls
// before this returns. The resolver looks up host names only, so a ":port"
// suffix is left out of the lookup; the caller keeps it on the resolved address.
void lookupHost(const URLWrapper& url, ResolveCallback callback);

// What a completed lookup gives a transfer to `host` ("name" or "name:port").
struct ResolvedHost {
  // IPv4, dotted, in the resolver's order; empty when the entry holds none
  // (only an IPv4 address fits the transfers' numeric host).
  std::list<std::string> addresses;
  std::string host_line;  // "Host: " + `host` as the URL names it
};
ResolvedHost resolvedHost(const std::string& host, const hostent& entry);
