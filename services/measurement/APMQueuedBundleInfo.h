#pragma once
// What the database tells of one queued bundle without decoding it.

#include <cstdint>

struct APMQueuedBundleInfo {
    int64_t rowID = 0;
    double endTimestamp = 0;
    bool realtime = false;
    int64_t retryCount = 0;
    int64_t compressedBytes = 0;
};
