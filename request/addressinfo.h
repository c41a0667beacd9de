// The update check request: post the encrypted query, decode the answer and
// record the offered ROM.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>

#include "request/secure_event.h"

class AddressInfo : public SecureEvent {
 public:
  AddressInfo();
  virtual ~AddressInfo();

  void run() override;
  std::string getDescriptor() override { return "AddressInfo"; }
  int PreExecuted() override;
  int OnExecuted() override;
  int PostExecuted() override;
  // Interprets the clear answer: ROM state 0 and the ROM record when a newer
  // ROM is offered, state 2 and the "???" records otherwise. 0, or -errno when
  // the record could not be written.
  int PostExecutedFinal(const char* answer);

  const std::string& postBody() const { return post_body_; }

 private:
  TransferFile response_file_;
  std::string post_body_;
};
