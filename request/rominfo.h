// The ROM URL check: form the package URL from the ROM record, check that it
// answers a header-only request and hand it to the driver for the download.
#pragma once

#include <string>

#include "request/secure_event.h"

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
};
