// Pieces of the installer bridge (request/installer.cpp) that its unit test and
// fuzz target drive directly; not for other callers.
#pragma once

#include <string>

// One line from the updater (a piece of a longer line counts as a line): logs
// the command word and, for a command with bad parameters, why.
void handle_updater_line(const std::string& line);
