#pragma once
// The log lines of remote configuration and A/B testing: the core logger with
// the service's tag, so its line format, levels and debug switch apply.

#include <string>

#include "services/core/RZRLogger.h"

inline constexpr const char* kRZRLoggerABTesting = "[Reruzera/ABTesting]";

inline void RCNLog(ZVULoggerLevel level, const std::string& code, const std::string& message) {
    RZRLogBasic(level, kRZRLoggerRemoteConfig, code, message);
}

inline void ABTLog(ZVULoggerLevel level, const std::string& code, const std::string& message) {
    RZRLogBasic(level, kRZRLoggerABTesting, code, message);
}
