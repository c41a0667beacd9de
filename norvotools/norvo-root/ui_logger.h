// The console logger of both programs: every log message as one "%c:%s\n" line on
// standard output, the letter taken from "VDIWEF" by severity.
#pragma once

#include <android-base/logging.h>

#include <string>

void UiLogger(android::base::LogId id, android::base::LogSeverity severity, const char* tag,
              const char* file, unsigned int line, const char* message);
// Formats one console line; fatal, beyond the six letters, shares the letter F.
std::string ui_log_line(android::base::LogSeverity severity, const char* message);
