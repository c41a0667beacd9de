// What one run of the download did, as one telemetry record: the bytes, the
// time, the attempts and their failures, the mirrors. Written at the end of
// every run (complete, final failure or stop) so that the operators of a fleet
// can see how updates went without asking the handsets.
#pragma once

#include <stdint.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

constexpr size_t kMaxFigureMirrors = 64;

struct DownloadFigures {
  int64_t received = 0;       // body bytes this run wrote into the package
  int64_t resumed = -1;       // bytes on disk the first kept answer continued; -1: none kept
  uint64_t package_size = 0;  // the record's size (0: none)
  std::chrono::milliseconds duration{0};
  int attempts = 0;            // requests made for the package, redirects included
  std::map<int, int> retries;  // cause -> failed attempts followed by another attempt
  // Record indexes tried, in order (-1: a URL not in the record); the first
  // kMaxFigureMirrors changes only, as a download may go round its mirrors for
  // as long as they fail.
  std::vector<int> mirrors;
  int serving = -1;     // record index of the mirror the complete package came from
  bool served = false;  // the package is complete
  int final_code = -1;  // 0 complete (3:c:), 42 stopped (3:r:s), else the final 3:f: code
  // The room check before the first request: bytes the package still needed and
  // bytes its file system had free; -1 when not checked (no size in the record).
  int64_t space_needed = -1;
  int64_t space_free = -1;
  // The speed cap last in force (bytes per second, 0: none), and whether a front
  // end changed it during the run.
  uint64_t cap = 0;
  bool cap_changed = false;

  // Mean speed over the run, bytes per second (0 for a run shorter than 1 ms).
  int64_t meanSpeed() const;
  // The record for the event store: one key per figure, all prefixed
  // "download_figures_", values as decimal text; lists comma-separated
  // ("retries": "cause:count,..."). An empty value for a figure the run has not.
  std::map<std::string, std::string> record() const;
};
