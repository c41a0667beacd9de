// Pieces of the installer bridge (request/installer.cpp) that its unit test and
// fuzz target drive directly; not for other callers.
#pragma once

#include <stddef.h>

#include <functional>
#include <string>

#include "request/frontend_protocol.h"
#include "request/install_gate.h"
#include "request/package_result.h"
#include "request/status.h"

// One line from the updater (a piece of a longer line counts as a line): logs
// the command word and, for a command with bad parameters, why.
void handle_updater_line(const std::string& line);
// The install command's result line for a code of the package check or of the
// install gate: the one place where such a code becomes a status line. One case
// per code, no default: a new code without a line does not compile.
frontend_protocol::Line InstallResultLine(package_verify::Result result);
frontend_protocol::Line InstallResultLine(install_gate::Fit fit);
// The same for the status of a step: its code alone decides the line.
template <typename Code>
frontend_protocol::Line InstallResultLine(const norvo::Status<Code>& status) {
  return InstallResultLine(status.code);
}
// The result line for the updater's wait status: installed only for exit status 0.
frontend_protocol::Line UpdaterExitLine(int wait_status);

// The updater's command pipe is read as lines into a buffer of this size.
constexpr size_t kLineBuffer = 1024;

// Cuts the bytes read from the updater's pipe into lines as a stdio read into a
// kLineBuffer-byte buffer would: at each line feed (kept), and a longer line
// into pieces of kLineBuffer - 1 bytes, each handled as a line.
class UpdaterLines {
 public:
  void feed(const char* data, size_t size, const std::function<void(const std::string&)>& line);
  // At the end of the pipe: the rest, if any.
  void finish(const std::function<void(const std::string&)>& line);

 private:
  std::string pending_;
};
