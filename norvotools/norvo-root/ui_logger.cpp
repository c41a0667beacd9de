#include "norvotools/norvo-root/ui_logger.h"

#include <android-base/file.h>
#include <stdio.h>
#include <unistd.h>

std::string ui_log_line(android::base::LogSeverity severity, const char* message) {
  static const char kLetters[] = "VDIWEF";
  int index = static_cast<int>(severity);
  char letter = (index >= 0 && index < 6) ? kLetters[index] : 'F';
  std::string line(1, letter);
  line += ':';
  line += message != nullptr ? message : "";
  line += '\n';
  return line;
}

void UiLogger(android::base::LogId, android::base::LogSeverity severity, const char*, const char*,
              unsigned int, const char* message) {
  std::string line = ui_log_line(severity, message);
  // Whatever stdio still holds goes first (in the command mode the status lines
  // share standard output); then the line leaves in one write so that it never
  // interleaves with other writers of the same descriptor.
  fflush(stdout);
  android::base::WriteFully(STDOUT_FILENO, line.data(), line.size());
}
