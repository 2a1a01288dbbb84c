#pragma once
// The crash reporter core's own diagnostics, written to "sdk.log" in the
// report directory with nothing but open and write.
//
// Crash-time code: no allocation, no locks, no stdio. The file is opened
// once per crash context, by whichever thread logs first.
//
// Formats understand %p (64-bit, "0x" and lowercase hex), %s (C string,
// "(null)" for null), %u, %x and %d (32-bit); any other "%" pair is written
// as it stands and takes no argument.

#include <cstdint>

enum RZRCTRSDKLogLevel : std::uint32_t {
    RZRCTRSDKLogLevelDebug = 1,
    RZRCTRSDKLogLevelInfo = 2,
    RZRCTRSDKLogLevelWarn = 3,
    RZRCTRSDKLogLevelError = 4,
};

// Once a crash has been claimed, the lines after this many are dropped: the
// walk of a deep or damaged stack may log at every frame.
inline constexpr std::uint32_t kRZRCTRSDKLogLinesAfterCrash = 10000;

void RZRCTRSDKLog(std::uint32_t level, const char* format, ...);

#define RZRCTRSDKLogDebug(format, ...)                                           \
    RZRCTRSDKLog(RZRCTRSDKLogLevelDebug, "DEBUG [%s:%d] " format "\n", __func__, \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define RZRCTRSDKLogInfo(format, ...)                                           \
    RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "INFO  [%s:%d] " format "\n", __func__, \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define RZRCTRSDKLogWarn(format, ...)                                           \
    RZRCTRSDKLog(RZRCTRSDKLogLevelWarn, "WARN  [%s:%d] " format "\n", __func__, \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define RZRCTRSDKLogError(format, ...)                                           \
    RZRCTRSDKLog(RZRCTRSDKLogLevelError, "ERROR [%s:%d] " format "\n", __func__, \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__)
