// The stage driver: builds the chain of request events a stage asks for, runs
// it on the main thread and holds the results the events share.
#pragma once

#include <cjson/cJSON.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "request/secure_event.h"
#include "request/vendor/url_wrapper.h"

class DownloadTask {
 public:
  DownloadTask() = default;
  DownloadTask(const DownloadTask&) = delete;
  DownloadTask& operator=(const DownloadTask&) = delete;

  int run_first_stage();
  int run_second_stage();
  int run_from_command(DownloadStatus status);

  cJSON* parsed_answer = nullptr;  // not owned
  std::string result_text;         // always empty: the completion line is the fixed "3:c:"
  std::unique_ptr<URLWrapper> url_record;
  bool fork_flag = false;
  int rom_state = 0;
  // The front end's two pipes (the command mode: standard output and none);
  // borrowed from main. Every status line of the stage goes to status_stream.
  FILE* status_stream = nullptr;
  FILE* command_stream = nullptr;

 private:
  int run_installer();
  // Verifies the package and runs its updater; the line that tells how it went.
  frontend_protocol::Line RunUpdater();
};
