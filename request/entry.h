// Process entry pieces of corvane: console logger, work-area preparation and
// the command line.
#pragma once

#include <android-base/logging.h>

#include <string>

// Creates the work area; outside the updater environment mounts a tmpfs on
// "/cache/tmp" and moves the download record paths under "/cache".
void prepare_and_correct_dir();

// The stage value of "--run_from_command D": the first character of `arg` as a
// decimal digit, or -1 when it is not one.
int ParseCommandDigit(const char* arg);

// A descriptor number given on the command line: a plain non-negative decimal
// number, or -1.
int ParseDescriptor(const char* arg);
