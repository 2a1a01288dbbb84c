#pragma once
// A custom exception that the application records, with its stack trace.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "services/crash/RZRStackFrame.h"

class RZRExceptionModel : public NSObject {
  public:
    static std::shared_ptr<RZRExceptionModel> exceptionModelWithName(const std::string& name,
                                                                     const std::string& reason);
    RZRExceptionModel(std::string name, std::string reason)
        : name(std::move(name)), reason(std::move(reason)) {}

    std::string className() const override { return "RZRExceptionModel"; }

    std::vector<std::shared_ptr<RZRStackFrame>> stackTrace;
    std::string name;
    std::string reason;
};
