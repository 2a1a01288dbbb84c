#include "services/core/RZRLogger.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>

#include "platform/bundle/NSProcessInfo.h"
#include "platform/defaults/NSUserDefaults.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/core/VUVEzuTesting.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

struct CoreLoggerState {
    std::mutex setUpMutex;
    bool setUp = false;
    std::atomic<bool> analyticsDebug{false};
    std::optional<std::vector<std::string>> argumentsOverride;
};

CoreLoggerState& state() {
    static auto* s = new CoreLoggerState;  // used by loggers running at exit
    return *s;
}

bool contains(const std::vector<std::string>& arguments, const char* argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

}  // namespace

void RZRLoggerInitialize() {
    auto& s = state();
    std::lock_guard lock(s.setUpMutex);
    if (s.setUp) return;
    s.setUp = true;
    ZVULoggerRegisterVersion(RZRReruzeraVersion());
    const auto arguments =
        s.argumentsOverride ? *s.argumentsOverride : NSProcessInfo::processInfo()->arguments();
    const bool forceSTDERR = contains(arguments, "-RZRLoggerForceSTDERR");
    auto defaults = NSUserDefaults::standardUserDefaults();
    const bool debugModeStored = defaults->boolForKey(kRZRLoggerDebugModeKey);
    if (contains(arguments, "-ZEVOzaveDisabled")) {
        defaults->removeObjectForKey(kRZRLoggerDebugModeKey);
        ZVULoggerInitializeASL();
        if (forceSTDERR) ZVULoggerEnableSTDERR();
    } else if (contains(arguments, "-ZEVOzaveEnabled") || debugModeStored) {
        defaults->setBool(true, kRZRLoggerDebugModeKey);
        ZVULoggerInitializeASL();
        if (forceSTDERR) ZVULoggerEnableSTDERR();
        ZVULoggerForceDebug();
    } else {
        ZVULoggerInitializeASL();
        if (forceSTDERR) ZVULoggerEnableSTDERR();
    }
}

void RZRLogBasic(ZVULoggerLevel level, const std::string& service, const std::string& code,
                 const std::string& format, const std::vector<ZVUFormatArg>* args) {
    RZRLoggerInitialize();
    const bool forced = state().analyticsDebug && service == kRZRLoggerAnalytics;
    ZVULogBasic(level, service, forced, code, format, args);
}

void RZRSetLoggerLevel(ZVULoggerLevel level) {
    RZRLoggerInitialize();
    ZVUSetLoggerLevel(level);
}

bool RZRIsLoggableLevel(ZVULoggerLevel level, bool analyticsComponent) {
    RZRLoggerInitialize();
    if (state().analyticsDebug && analyticsComponent) return true;
    return ZVUIsLoggableLevel(level);
}

void RZRSetAnalyticsDebugMode(bool enabled) {
    state().analyticsDebug = enabled;
}

namespace sim {

void resetRZRLoggerForTesting(std::optional<std::vector<std::string>> launchArguments) {
    resetZVULoggerForTesting();
    auto& s = state();
    std::lock_guard lock(s.setUpMutex);
    s.setUp = false;
    s.analyticsDebug = false;
    s.argumentsOverride = std::move(launchArguments);
}

}  // namespace sim
