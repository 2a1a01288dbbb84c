#pragma once
// Once-a-day heartbeats per library tag and for the whole SDK. A heartbeat is
// due when none was recorded for the tag in the last 86400 seconds (rolling,
// not a calendar day); the dates live in the heartbeat storage file
// "HEARTBEAT_INFO_STORAGE" and survive relaunches. Time is the platform's
// wall clock (virtual in tests).

#include <cstdint>
#include <string>

enum class RZRHeartbeatInfoCode : std::int64_t {
    None = 0,      // no heartbeat due
    SDK = 1,       // the library's heartbeat only
    Global = 2,    // the global heartbeat only
    Combined = 3,  // both
};

struct RZRHeartbeatInfo {
    static constexpr const char* kStorageFileName = "HEARTBEAT_INFO_STORAGE";
    static constexpr const char* kGlobalTag = "GLOBAL";
    static constexpr double kHeartbeatInterval = 86400;

    // Records the library's and the global heartbeat when due (both are
    // always checked) and tells which were.
    static RZRHeartbeatInfoCode heartbeatCodeForTag(const std::string& tag);
    // Whether a heartbeat was due for the tag and was recorded.
    static bool updateIfNeededHeartbeatDateForTag(const std::string& tag);
};
