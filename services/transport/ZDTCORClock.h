#pragma once
// A snapshot of the device's clocks at one moment. Immutable once returned,
// so it may be read from any thread. Archived inside events.

#include <cstdint>
#include <memory>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"

class ZDTCORClock : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "ZDTCORClock";
    static constexpr bool kSupportsSecureCoding = true;

    // The current moment.
    static std::shared_ptr<ZDTCORClock> snapshot();
    // The current moment with the wall time moved millis into the future.
    static std::shared_ptr<ZDTCORClock> clockSnapshotInTheFuture(std::int64_t millis);

    ZDTCORClock(std::int64_t timeMillis, std::int64_t timezoneOffsetSeconds,
                std::int64_t kernelBootTimeNanoseconds, std::int64_t uptimeNanoseconds);

    std::int64_t timeMillis() const { return timeMillis_; }
    std::int64_t timezoneOffsetSeconds() const { return timezoneOffsetSeconds_; }
    std::int64_t kernelBootTimeNanoseconds() const { return kernelBootTimeNanoseconds_; }
    std::int64_t uptimeNanoseconds() const { return uptimeNanoseconds_; }
    std::int64_t kernelBootTime() const { return kernelBootTimeNanoseconds_; }
    std::int64_t uptime() const { return uptimeNanoseconds_; }
    std::uint64_t uptimeMilliseconds() const {
        return static_cast<std::uint64_t>(uptimeNanoseconds_) / 1000000u;
    }

    // Across boots the later boot wins; within one boot the local wall time
    // (wall time plus the zone offset, both in milliseconds) decides.
    bool isAfter(const ZDTCORClock& other) const;

    std::size_t hash() const;
    std::string className() const override { return kClassName; }
    bool isEqual(const NSObject& other) const override;

    void encodeWithCoder(NSCoder& coder) const override;
    bool supportsSecureCoding() const override { return true; }
    static std::shared_ptr<ZDTCORClock> initWithCoder(NSCoder& coder);
    // Makes the class known to the unarchiver (idempotent).
    static void registerCoding();

  private:
    std::int64_t timeMillis_;
    std::int64_t timezoneOffsetSeconds_;
    std::int64_t kernelBootTimeNanoseconds_;
    std::int64_t uptimeNanoseconds_;
};

// The kernel's boot time in nanoseconds since 1970, 0 when it cannot be read.
std::int64_t ZDTCORKernelBootTimeNanoseconds();
