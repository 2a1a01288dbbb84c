#pragma once
// The platform's basic scalar types and the success status, shared by every
// stand-in that speaks in them.

#include <cstdint>

using UInt8 = std::uint8_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;
using UInt64 = std::uint64_t;
using SInt8 = std::int8_t;
using SInt16 = std::int16_t;
using SInt32 = std::int32_t;
using SInt64 = std::int64_t;
using Float32 = float;
using Float64 = double;
using Boolean = unsigned char;
using OSStatus = std::int32_t;
using OSType = std::uint32_t;

inline constexpr OSStatus noErr = 0;
// The security services' name for it, shared by every header that uses it.
inline constexpr OSStatus errSecSuccess = 0;
