#pragma once
// Upload destinations and quality-of-service tiers of transport events.

#include <cstdint>
#include <string>

using ZDTCORTarget = std::int64_t;
inline constexpr ZDTCORTarget ZDTCORTargetStorageOnly = 999;
inline constexpr ZDTCORTarget ZDTCORTargetLGS = 1000;
inline constexpr ZDTCORTarget ZDTCORTargetRLG = 1001;
inline constexpr ZDTCORTarget ZDTCORTargetCRS = 1002;
inline constexpr ZDTCORTarget ZDTCORTargetINT = 1003;

using ZDTCOREventQoS = std::int64_t;
inline constexpr ZDTCOREventQoS ZDTCOREventQoSUnset = 0;
inline constexpr ZDTCOREventQoS ZDTCOREventQoSTelemetry = 1;
inline constexpr ZDTCOREventQoS ZDTCOREventQoSDefault = 3;
inline constexpr ZDTCOREventQoS ZDTCOREventQoSImmediate = 4;
inline constexpr ZDTCOREventQoS ZDTCOREventQoSWifiOnly = 5;
