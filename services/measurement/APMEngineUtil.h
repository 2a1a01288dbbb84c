#pragma once
// Small helpers the engine's files share.

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMValue.h"

// Whether an error out-parameter was filled in.
inline bool APMFailed(const NSError& error) {
    return !error.domain.empty() || error.code != 0;
}

// A name the application may use: not empty and not starting with "_".
inline bool APMIsPublicName(const std::string& name) {
    return !name.empty() && name[0] != '_';
}

// Seconds to milliseconds, truncated; out-of-range times are held at the
// 64-bit limits instead of overflowing.
inline std::int64_t APMMillisecondsFromSeconds(double seconds) {
    const double millis = std::trunc(seconds * 1000.0);
    if (std::isnan(millis)) return 0;
    if (millis >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (millis <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(millis);
}

// Monitor contexts of the engine's usual values.
inline APMMonitorContext APMContext(const std::string& text) {
    return APMMonitorContext(Value(text));
}
template <class Integer>
requires std::is_integral_v<Integer> APMMonitorContext APMContext(Integer number) {
    return APMMonitorContext(Value(static_cast<long long>(number)));
}
inline APMMonitorContext APMContext(double number) {
    return APMMonitorContext(Value(number));
}
inline APMMonitorContext APMContext(const APMEventParameters& parameters) {
    Dictionary described;
    for (const auto& [name, value] : parameters) described.set(name, value.object());
    return APMMonitorContext(Value(described));
}
