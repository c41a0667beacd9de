#include "norvotools/norvo-root/host_lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

void splitHostPort(const std::string& host, std::string* name, std::string* port_suffix) {
  size_t colon = host.rfind(':');
  bool numeric = colon != std::string::npos && colon + 1 < host.size() && host.find(':') == colon &&
                 host.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  *name = numeric ? host.substr(0, colon) : host;
  *port_suffix = numeric ? host.substr(colon) : std::string();
}

void lookupHost(const URLWrapper& url, ResolveCallback callback) {
  URLWrapper lookup = url;
  std::string port;
  splitHostPort(url.host, &lookup.host, &port);
  resolveName(lookup, callback);
}

ResolvedHost resolvedHost(const std::string& host, const hostent& entry) {
  ResolvedHost resolved;
  resolved.host_line = "Host: " + host;
  // An entry of another family, or one whose addresses are not four bytes long,
  // cannot be read as IPv4 without reading past its addresses.
  if (entry.h_addrtype != AF_INET || entry.h_length != 4 || entry.h_addr_list == nullptr) {
    return resolved;
  }
  for (char** addr = entry.h_addr_list; *addr != nullptr; ++addr) {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, *addr, text, sizeof(text)) != nullptr) {
      resolved.addresses.push_back(text);
    }
  }
  return resolved;
}
