// First event of every chain: set the clock from the update server's Date header.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>

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

// The time carried by the last header line of `headers` that contains "Date"
// (text from its seventh character on, through curl_getdate); false when no
// line contains "Date". Every line is echoed to standard output.
bool ParseServerDate(FILE* headers, time_t* seconds);
