#pragma once
// What remote configuration and A/B testing logged. Their lines go through
// the core logger, which writes them on its own queue and leaves out info
// and debug lines unless asked for them.

#include <cstddef>
#include <string>

#include "platform/log/Log.h"
#include "services/core/RZRLogger.h"
#include "services/util/ZVULoggerTesting.h"

// Lets info and debug lines through while it lives.
class VerboseServiceLog {
  public:
    VerboseServiceLog() { RZRSetLoggerLevel(ZVULoggerLevel::Debug); }
    ~VerboseServiceLog() { sim::resetZVULoggerForTesting(); }
    VerboseServiceLog(const VerboseServiceLog&) = delete;
    VerboseServiceLog& operator=(const VerboseServiceLog&) = delete;
};

// The captured lines holding the fragment, once the logger has written them.
inline std::size_t loggedCount(const sim::LogCapture& capture, const std::string& fragment) {
    sim::flushZVULogger();
    std::size_t count = 0;
    for (const auto& line : capture.lines())
        if (line.find(fragment) != std::string::npos) ++count;
    return count;
}
