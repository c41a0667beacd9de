// First event of every chain: set the clock from the update server's Date header.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>

#include "request/frontend_protocol.h"
#include "request/secure_event.h"

class SyncServerTime : public SecureEvent {
 public:
  SyncServerTime();
  virtual ~SyncServerTime();

  void run() override;
  std::string getDescriptor() override { return "SyncServerTime"; }
  int PreExecuted() override;
  int OnExecuted() override;
  int PostExecuted() override;
  void InitCbmap() override;

 private:
  TransferFile time_file_;
};

// Status codes of a step 0 that got an answer but no time it may set the clock to.
// Above libcurl's own codes, so that a front end tells them from a transfer failure,
// and below 128: results travel as a CURLcode, whose values end there.
constexpr int kServerDateUnreadable = frontend_protocol::kCauseDateUnparsable;    // 0:f:120
constexpr int kServerDateImplausible = frontend_protocol::kCauseDateImplausible;  // 0:f:121
constexpr int kServerDateMissing = frontend_protocol::kCauseDateMissing;          // 0:f:122

// What every raw header line that step 0 prints on standard output begins with:
// never a digit, so that a server's header cannot read as a status line.
constexpr char kHeaderLinePrefix[] = "H:";

// The earliest time a clock is set to when the build names no build time
// (ro.build.date.utc unset or not a number): 1 January 2024, before any build of
// this agent.
constexpr int64_t kEarliestBuildTime = 1704067200;
// How far after the build a server's date may lie: a handset is not updated for
// longer than this, so a later date is a broken or hostile server, not the time.
constexpr int64_t kMaxAheadOfBuild = int64_t{30} * 366 * 24 * 3600;

enum class ServerTime { kApply, kUnreadable, kBeforeBuild, kTooFarAhead };
// Whether a server's date (curl_getdate's result, -1 when it could not read the
// text) may set the clock of a build made at `build_utc` (seconds; <= 0: unknown).
ServerTime check_server_time(int64_t server, int64_t build_utc);

// The time of the answer's header named exactly "Date" (any case; the last one
// when there are several), through curl_getdate: -1 when its value is no date.
// Only an answer without that header falls back to the last line that contains
// "Date" anywhere (its text from the seventh character on). False when no line
// does at all. Every line is echoed to standard output as "H:" and the line
// without its line end, control bytes escaped (printable()).
bool ParseServerDate(FILE* headers, time_t* seconds);
