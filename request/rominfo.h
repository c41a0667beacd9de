// The ROM URL check: form the package URL from the ROM record, check that it
// answers a header-only request and hand it to the driver for the download.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "norvotools/norvo-update/dir2url.h"
#include "request/secure_event.h"

// The whole check, every mirror included, ends within this time (plus at most
// one name lookup under way when it runs out): a list of dead mirrors must not
// hold the first stage for minutes.
constexpr std::chrono::milliseconds kUrlCheckBudget{20000};
// The header-only request to one mirror takes at most this long.
constexpr std::chrono::milliseconds kUrlCheckPerMirror{5000};

class RomInfo : public SecureEvent {
 public:
  RomInfo();
  virtual ~RomInfo();

  void run() override;
  std::string getDescriptor() override { return "RomInfo"; }
  int PreExecuted() override;
  int OnExecuted() override;
  int PostExecuted() override;
  void InitCbmap() override;
  Handler handleCurlCode(CURLcode code) override;

 private:
  using Clock = std::chrono::steady_clock;
  // Checks mirror `at` of mirrors_; the result is left in result_.
  void checkMirror(size_t at);

  std::vector<RomMirror> mirrors_;
  size_t current_ = 0;
  Clock::time_point deadline_;
  bool moreToTry_ = false;  // a failure of the current mirror is not the check's end
  bool skipped_ = false;    // the current mirror failed and the next one is tried
  CURLcode lastCode_ = CURLE_OK;
};
