#define LOG_TAG "DownloadTask"

#include <android-base/logging.h>
#include <android-base/properties.h>
#include <curl/curl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "norvotools/norvo-root/ui_logger.h"
#include "norvotools/norvo-root/version_text.h"
#include "request/download_task.h"
#include "request/entry.h"

namespace {

const char kBanner[] = "================================================== Start corvane ";

// Opens the front end's two pipe ends; false (with a message) when they are
// missing or cannot be opened as streams.
bool OpenForkStreams(int argc, char** argv, FILE** status, FILE** command) {
  if (argc < 5) {
    printf("wrong command format %s: the status and command descriptors are missing\n", argv[1]);
    return false;
  }
  int write_fd = ParseDescriptor(argv[3]);
  int read_fd = ParseDescriptor(argv[4]);
  if (write_fd < 0 || read_fd < 0) {
    printf("wrong command format %s: bad descriptor %s %s\n", argv[1], argv[3], argv[4]);
    return false;
  }
  *status = fdopen(write_fd, "wb");
  if (*status == nullptr) {
    printf("cannot open the status stream on descriptor %d: %m\n", write_fd);
    return false;
  }
  *command = fdopen(read_fd, "r");
  if (*command == nullptr) {
    printf("cannot open the command stream on descriptor %d: %m\n", read_fd);
    fclose(*status);
    *status = nullptr;
    return false;
  }
  return true;
}

int RunFork(int argc, char** argv) {
  FILE* status = nullptr;
  FILE* command = nullptr;
  if (!OpenForkStreams(argc, argv, &status, &command)) return 0;
  std::string stage = argc > 2 ? argv[2] : "";
  if (stage == "--first_stage") {
    LOG(INFO) << kBanner << "1st-stage [" << getpid() << "]...";
    DownloadTask driver;
    driver.fork_flag = true;
    driver.status_stream = status;
    driver.command_stream = command;
    driver.run_first_stage();
  } else if (stage == "--second_stage") {
    if (argc < 8) {
      printf("wrong command format %s: the package URL (scheme host path) is missing\n", argv[2]);
    } else {
      LOG(INFO) << kBanner << "2nd-stage [" << getpid() << "]...";
      DownloadTask driver;
      driver.url_record = std::make_unique<URLWrapper>(URLWrapper{argv[5], argv[6], "", argv[7]});
      driver.fork_flag = true;
      driver.status_stream = status;
      driver.command_stream = command;
      driver.run_second_stage();
    }
  }
  fclose(status);
  fclose(command);
  return 0;
}

int RunCommand(char** argv) {
  int value = ParseCommandDigit(argv[2]);
  if (value < 0) {
    printf("wrong command format %s %s\n", argv[1], argv[2]);
    return 0;
  }
  LOG(INFO) << kBanner << "run-command [" << getpid() << "]...";
  DownloadTask driver;
  driver.fork_flag = false;
  driver.status_stream = stdout;
  driver.run_from_command(static_cast<DownloadStatus>(value));
  fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything touches the device (logging, the work area, the tmpfs), so
  // that asking for the version changes nothing.
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs(norvo_version::VersionText("corvane").c_str(), stdout);
    return 0;
  }
  android::base::SetMinimumLogSeverity(android::base::DEBUG);
  if (android::base::GetProperty("debug.logcat", "0") != "1") {
    android::base::InitLogging(argv, &UiLogger, &android::base::DefaultAborter);
  }
  if (android::base::GetMinimumLogSeverity() < android::base::INFO) {
    LOG(DEBUG) << "LogSeverity=" << android::base::GetMinimumLogSeverity();
  }
  prepare_and_correct_dir();
  curl_global_init(CURL_GLOBAL_DEFAULT);

  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--run_from_fork") {
    RunFork(argc, argv);
  } else if (mode == "--run_from_command") {
    if (argc != 3) {
      perror("argc");
    } else {
      RunCommand(argv);
    }
  } else {
    printf("wrong command format %s\n", argc > 1 ? argv[1] : "");
  }
  curl_global_cleanup();
  return 0;
}
