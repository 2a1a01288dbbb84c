#include "services/core/RZRHeartbeatInfo.h"

#include <mutex>

#include "platform/dispatch/Clock.h"
#include "services/util/ZVUHeartbeatDateStorage.h"

namespace {

std::mutex& heartbeatMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

bool RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag(const std::string& tag) {
    std::lock_guard lock(heartbeatMutex());
    auto storage = ZVUHeartbeatDateStorage::initWithFileName(std::string(kStorageFileName));
    const Date now = Date::fromUnix(sim::wallClockSeconds());
    if (auto last = storage->heartbeatDateForTag(tag)) {
        const double elapsed = now.secondsSinceReferenceDate - last->secondsSinceReferenceDate;
        // A date in the future (the clock was set back) must not hold the
        // heartbeat back until the clock catches up with it.
        if (elapsed >= 0 && elapsed < kHeartbeatInterval) return false;
    }
    return storage->setHearbeatDate(now, tag);
}

RZRHeartbeatInfoCode RZRHeartbeatInfo::heartbeatCodeForTag(const std::string& tag) {
    const bool library = updateIfNeededHeartbeatDateForTag(tag);
    const bool global = updateIfNeededHeartbeatDateForTag(kGlobalTag);
    if (library && global) return RZRHeartbeatInfoCode::Combined;
    if (library) return RZRHeartbeatInfoCode::SDK;
    if (global) return RZRHeartbeatInfoCode::Global;
    return RZRHeartbeatInfoCode::None;
}
