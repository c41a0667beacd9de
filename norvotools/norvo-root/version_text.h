// What every program prints for --version: its name and version, and the version of
// the front-end protocol (docs/frontend-protocol.md) that this release speaks. The
// protocol module (request/frontend_protocol.h) owns the status lines; the number
// lives here, below it, so that quillon and partver print it without that module.
#pragma once

#include <string>

#include "norvo_config.h"

namespace norvo_version {

// Raise it when a front end must learn something new (request/frontend_protocol.h
// says when).
constexpr int kProtocolVersion = 5;

// "<program> <version>\nprotocol <N>\n".
inline std::string VersionText(const char* program) {
  return std::string(program) + " " + NORVO_VERSION + "\nprotocol " +
         std::to_string(kProtocolVersion) + "\n";
}

}  // namespace norvo_version
