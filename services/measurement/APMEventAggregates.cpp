#include "services/measurement/APMEventAggregates.h"

#include <climits>

#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMMeasurement.h"

namespace {

void increment(int32_t& count, long long code, const char* message) {
    if (count == INT32_MAX) {
        count = 0;
        APMMeasurement::monitor().logWithLevel(5, code, message);
    } else {
        ++count;
    }
}

}  // namespace

std::optional<APMEventAggregates> APMEventAggregates::initWithName(const std::string& name,
                                                                   int32_t lifetimeCount,
                                                                   int32_t currentBundleCount,
                                                                   int32_t currentSessionCount,
                                                                   double lastFireTimestamp) {
    const Value nameObject(name);
    if (!APMDataTypeValidator::isValidInternalEventName(&nameObject)) return std::nullopt;
    if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
        APMMeasurement::monitor().logWithLevel(
            5, 17000, "Failed to create event aggregates object. Received negative count.");
        return std::nullopt;
    }
    APMEventAggregates aggregates;
    aggregates.name_ = name;
    aggregates.lifetimeCount_ = lifetimeCount;
    aggregates.currentBundleCount_ = currentBundleCount;
    aggregates.currentSessionCount_ = currentSessionCount;
    aggregates.lastFireTimestamp_ = lastFireTimestamp;
    return aggregates;
}

void APMEventAggregates::incrementLifetimeCount() {
    increment(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
    increment(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void APMEventAggregates::incrementCurrentSessionCount() {
    increment(currentSessionCount_, 17003, "Session count overflow. Session count reset to 0.");
}

std::optional<APMRawEventData> APMRawEventData::initWithRawEvent(
    const std::optional<APMEvent>& rawEvent, int64_t rowID, int64_t metadataFingerprint) {
    if (!rawEvent) {
        APMMeasurement::monitor().logWithLevel(
            4, 28000, "Failed to create raw event data. Received invalid raw event.");
        return std::nullopt;
    }
    if (rowID < 0) {
        APMMeasurement::monitor().logWithLevel(
            4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
            Value(static_cast<long long>(rowID)));
        return std::nullopt;
    }
    return APMRawEventData(*rawEvent, rowID, metadataFingerprint);
}
