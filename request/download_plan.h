// What a download needs of the ROM record and of its settings, as one plan that the
// driver builds and hands to the event: the event reads nothing of the records or
// the environment itself, so that its attempt loop runs as well against a plan of a
// test (a folder of its own, a fake transfer, a fast schedule) as against the
// device's.
#pragma once

#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "norvotools/norvo-update/dir2url.h"

struct DownloadPlan {
  // The package file (its side file and lock beside it).
  std::string package_path;
  // The record's expected size in bytes (0: none) and MD5 (32 lower-case hex
  // digits, or ""): readers, asked at every attempt, since the record may change
  // between attempts.
  std::function<uint64_t()> file_size;
  std::function<std::string()> md5;
  // The record's usable mirrors, in its order.
  std::function<std::vector<RomMirror>()> mirrors;
  // The key store that vouches for a complete package ("" or a missing file: none).
  std::string key_store;
  // The retry schedule: randomised or fixed, and its first cap.
  bool jitter = true;
  std::chrono::milliseconds first_backoff{1000};
  // Seconds below one byte per second that end an attempt.
  long low_speed_time = 60;

  // The device's plan: the current ROM record, UPDATE_PACKAGE_FILE, the system's
  // key store, and the test switches of the environment (NORVO_FIXED_BACKOFF,
  // NORVO_LOW_SPEED_TIME).
  static DownloadPlan FromRecords();
};
