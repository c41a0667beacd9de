// Drives the storage and record functions from the command line so that system
// tests can exercise them inside the emulated device. Results go to standard
// output, log lines to standard error as "<severity letter>:<message>".
//
//   storage_probe env                    environment name
//   storage_probe allow PATH...          1 or 0 per path
//   storage_probe write PATH DATA        writer, prints its return value
//   storage_probe write3 DIR NAME DATA   three-argument writer, prints its return value
//   storage_probe read PATH              the content, as read
//   storage_probe redirect LOG LINE...   redirects, then prints each LINE ("2>" prefix: stderr)
//   storage_probe record JSONFILE        writes the LatestRom record of an answer
//   storage_probe url FIRST              URL parts, one per line
//   storage_probe filesize               size text of the current record
//   storage_probe status NAME            writes the status file
//   storage_probe dump                   record dump to the cache partition
#include <android-base/file.h>
#include <android-base/logging.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "norvotools/norvo-root/secure_mount.h"
#include "norvotools/norvo-update/dir2url.h"

namespace {

void StderrLetterLogger(android::base::LogId, android::base::LogSeverity severity, const char*,
                        const char*, unsigned int, const char* message) {
  fprintf(stderr, "%c:%s\n", "VDIWEFF"[severity], message);
}

int Usage() {
  fprintf(stderr,
          "usage: storage_probe env|allow|write|write3|read|redirect|record|url|"
          "filesize|status|dump ...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  android::base::InitLogging(argv, StderrLetterLogger);
  android::base::SetMinimumLogSeverity(android::base::DEBUG);
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];

  if (cmd == "env" && argc == 2) {
    printf("%s\n", whichEnvironment().c_str());
  } else if (cmd == "allow" && argc >= 3) {
    for (int i = 2; i < argc; ++i) printf("%d\n", allowcreate(argv[i]) ? 1 : 0);
  } else if (cmd == "write" && argc == 4) {
    printf("%d\n", create_file_and_writedata(std::string(argv[2]), std::string(argv[3])));
  } else if (cmd == "write3" && argc == 5) {
    printf("%d\n", create_file_and_writedata(argv[2], argv[3], argv[4]));
  } else if (cmd == "read" && argc == 3) {
    const std::string content = open_file_and_readdata(argv[2]);
    fwrite(content.data(), 1, content.size(), stdout);
  } else if (cmd == "redirect" && argc >= 3) {
    redirect_stdio(argv[2]);
    for (int i = 3; i < argc; ++i) {
      if (strncmp(argv[i], "2>", 2) == 0) {
        fprintf(stderr, "%s\n", argv[i] + 2);
      } else {
        printf("%s\n", argv[i]);
      }
    }
  } else if (cmd == "record" && argc == 3) {
    std::string text;
    if (!android::base::ReadFileToString(argv[2], &text)) {
      fprintf(stderr, "cannot read %s\n", argv[2]);
      return 1;
    }
    handle_latestrom_to_dir(JsonHandle(cJSON_Parse(text.c_str()), simple_free_json));
  } else if (cmd == "url" && argc == 3) {
    for (const std::string& part : handle_rom_to_url(atoi(argv[2]))) printf("%s\n", part.c_str());
  } else if (cmd == "filesize" && argc == 2) {
    printf("%s\n", getFileSize().c_str());
  } else if (cmd == "status" && argc == 3) {
    report_status(argv[2]);
  } else if (cmd == "dump" && argc == 2) {
    jsondump();
  } else {
    return Usage();
  }
  return 0;
}
