// The target of a request: the URL text is scheme + host + path.
#pragma once

#include <string>

struct URLWrapper {
  std::string scheme;   // with its separator, such as "http://"
  std::string host;     // host name; the numeric address once resolved
  std::string address;  // never part of the URL text (quillon keeps the address here)
  std::string path;     // possibly empty

  std::string url() const { return scheme + host + path; }
};
