#include "services/transport/ZDTCORClock.h"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/system/Sysctl.h"

namespace {
constexpr const char* kTimeMillisKey = "ZDTCORClockTimeMillis";
constexpr const char* kTimezoneOffsetSecondsKey = "ZDTCORClockTimezoneOffsetSeconds";
constexpr const char* kKernelBootTimeKey = "ZDTCORClockKernelBootTime";
constexpr const char* kUptimeKey = "ZDTCORClockUptime";

// Linux keeps the boot time in /proc/stat ("btime <seconds>").
std::int64_t linuxBootTimeNanoseconds() {
    std::ifstream stat("/proc/stat");
    std::string line;
    while (std::getline(stat, line)) {
        if (line.rfind("btime ", 0) == 0) {
            std::istringstream fields(line.substr(6));
            long long seconds = 0;
            if (fields >> seconds) return seconds * 1000000000LL;
        }
    }
    return 0;
}

std::int64_t timezoneOffsetAt(double unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return 0;
    return local.tm_gmtoff;
}

std::int64_t wallNanoseconds(double unixSeconds) {
    const double whole = std::floor(unixSeconds);
    const auto micros = static_cast<std::int64_t>((unixSeconds - whole) * 1e6);
    return static_cast<std::int64_t>(whole) * 1000000000LL + micros * 1000LL;
}
}  // namespace

std::int64_t ZDTCORKernelBootTimeNanoseconds() {
    // The platform's boot-time record: 64-bit seconds and 32-bit microseconds.
    struct {
        std::int64_t seconds;
        std::int32_t microseconds;
        std::int32_t padding;
    } record{};
    std::size_t size = sizeof record;
    if (sysctlbyname("kern.boottime", &record, &size, nullptr, 0) == 0) {
        if (size < sizeof record.seconds + sizeof record.microseconds) return 0;
        return record.seconds * 1000000000LL +
               static_cast<std::int64_t>(record.microseconds) * 1000LL;
    }
    if (errno == ENOENT) return linuxBootTimeNanoseconds();
    return 0;
}

ZDTCORClock::ZDTCORClock(std::int64_t timeMillis, std::int64_t timezoneOffsetSeconds,
                         std::int64_t kernelBootTimeNanoseconds, std::int64_t uptimeNanoseconds)
    : timeMillis_(timeMillis),
      timezoneOffsetSeconds_(timezoneOffsetSeconds),
      kernelBootTimeNanoseconds_(kernelBootTimeNanoseconds),
      uptimeNanoseconds_(uptimeNanoseconds) {}

std::shared_ptr<ZDTCORClock> ZDTCORClock::snapshot() {
    const std::int64_t bootTime = ZDTCORKernelBootTimeNanoseconds();
    std::int64_t before = bootTime;
    double wall = sim::wallClockSeconds();
    std::int64_t after = ZDTCORKernelBootTimeNanoseconds();
    while (after != before) {
        before = after;
        wall = sim::wallClockSeconds();
        after = ZDTCORKernelBootTimeNanoseconds();
    }
    const std::int64_t uptime = wallNanoseconds(wall) - before;
    const auto millis = static_cast<std::int64_t>(std::trunc(wall * 1000.0));
    return std::make_shared<ZDTCORClock>(millis, timezoneOffsetAt(wall), bootTime, uptime);
}

std::shared_ptr<ZDTCORClock> ZDTCORClock::clockSnapshotInTheFuture(std::int64_t millis) {
    auto now = snapshot();
    now->timeMillis_ += millis;
    return now;
}

bool ZDTCORClock::isAfter(const ZDTCORClock& other) const {
    if (kernelBootTimeNanoseconds_ != other.kernelBootTimeNanoseconds_) {
        return other.kernelBootTimeNanoseconds_ < kernelBootTimeNanoseconds_;
    }
    // Absolute time: a change to or from summer time moves neither clock.
    return timeMillis_ > other.timeMillis_;
}

std::size_t ZDTCORClock::hash() const {
    std::hash<std::int64_t> h;
    return h(kernelBootTimeNanoseconds_) ^ h(uptimeNanoseconds_) ^ h(timeMillis_) ^
           h(timezoneOffsetSeconds_);
}

bool ZDTCORClock::isEqual(const NSObject& other) const {
    auto* clock = dynamic_cast<const ZDTCORClock*>(&other);
    return clock && clock->timeMillis_ == timeMillis_ &&
           clock->timezoneOffsetSeconds_ == timezoneOffsetSeconds_ &&
           clock->kernelBootTimeNanoseconds_ == kernelBootTimeNanoseconds_ &&
           clock->uptimeNanoseconds_ == uptimeNanoseconds_;
}

void ZDTCORClock::encodeWithCoder(NSCoder& coder) const {
    coder.encodeInteger(timeMillis_, kTimeMillisKey);
    coder.encodeInteger(timezoneOffsetSeconds_, kTimezoneOffsetSecondsKey);
    coder.encodeInteger(kernelBootTimeNanoseconds_, kKernelBootTimeKey);
    coder.encodeInteger(uptimeNanoseconds_, kUptimeKey);
}

std::shared_ptr<ZDTCORClock> ZDTCORClock::initWithCoder(NSCoder& coder) {
    return std::make_shared<ZDTCORClock>(coder.decodeIntegerForKey(kTimeMillisKey),
                                         coder.decodeIntegerForKey(kTimezoneOffsetSecondsKey),
                                         coder.decodeIntegerForKey(kKernelBootTimeKey),
                                         coder.decodeIntegerForKey(kUptimeKey));
}

void ZDTCORClock::registerCoding() {
    static std::once_flag once;
    std::call_once(once, [] { registerCodingClass<ZDTCORClock>(); });
}
