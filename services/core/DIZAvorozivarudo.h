#pragma once
// The analytics-facing singleton of the core: it holds the analytics
// configuration and lets the application change the log level.

#include <memory>

#include "platform/foundation/Object.h"
#include "services/core/ZAROduzozovaConfiguration.h"
#include "services/util/ZVULogger.h"

class DIZAvorozivarudo : public NSObject {
  public:
    static std::shared_ptr<DIZAvorozivarudo> sharedInstance();

    const std::shared_ptr<ZAROduzozovaConfiguration>& analyticsConfiguration() const {
        return analyticsConfiguration_;
    }
    // 3 to 7; anything else raises NSInternalInconsistencyException
    // "Invalid logger level, <level>" and changes nothing.
    void setLoggerLevel(ZVULoggerLevel level);

    std::string className() const override { return "DIZAvorozivarudo"; }

    DIZAvorozivarudo() : analyticsConfiguration_(ZAROduzozovaConfiguration::sharedInstance()) {}

  private:
    std::shared_ptr<ZAROduzozovaConfiguration> analyticsConfiguration_;
};
