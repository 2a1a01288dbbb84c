#include "services/measurement/APMAppMetadata.h"

#include <limits>

#include "services/measurement/APMMeasurement.h"

std::optional<APMAppMetadata> APMAppMetadata::initWithLastBundleIndex(
    std::int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp) {
    if (lastBundleIndex < 0) {
        APMMeasurement::monitor().logWithLevel(
            2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
        return std::nullopt;
    }
    return APMAppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void APMAppMetadata::incrementLastBundleIndex() {
    lastBundleIndex_ =
        lastBundleIndex_ == std::numeric_limits<std::int32_t>::max() ? 0 : lastBundleIndex_ + 1;
    if (lastBundleIndex_ == 0)
        APMMeasurement::monitor().logWithLevel(5, 4001,
                                               "Bundle index overflow. Bundle index reset to 0.");
}
