#pragma once
// The name of the current run, and so of its report directory: 32 lowercase
// hexadecimal characters, fixed at creation.

#include <string>

#include "platform/foundation/Object.h"

class RZRCTRExecutionIdentifierModel : public NSObject {
  public:
    RZRCTRExecutionIdentifierModel();
    std::string className() const override { return "RZRCTRExecutionIdentifierModel"; }
    const std::string& executionID() const { return executionID_; }

  private:
    const std::string executionID_;
};
