// Pieces of the installer bridge (request/installer.cpp) that its unit test and
// fuzz target drive directly; not for other callers.
#pragma once

#include <string>

#include "request/frontend_protocol.h"
#include "request/package_verify.h"

// One line from the updater (a piece of a longer line counts as a line): logs
// the command word and, for a command with bad parameters, why.
void handle_updater_line(const std::string& line);
// The result line of the install command for a verification result.
frontend_protocol::Line InstallResultLine(package_verify::Result result);
// The result line for the updater's wait status: installed only for exit status 0.
frontend_protocol::Line UpdaterExitLine(int wait_status);
