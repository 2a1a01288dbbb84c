// Crash-time code: no allocation, no locks, no stdio, no logging.
#include "services/crash/RZRCTRHex.h"

namespace {
constexpr char kDigits[] = "0123456789abcdef";
}

void RZRCTRHexFromByte(std::uint8_t byte, char* output) {
    if (!output) return;
    output[0] = kDigits[byte >> 4];
    output[1] = kDigits[byte & 0x0f];
}

void RZRCTRSafeHexToString(const std::uint8_t* bytes, std::size_t length, char* output) {
    if (!output) return;
    for (std::size_t i = 0; i < 2 * length + 1; ++i) output[i] = '\0';
    if (!bytes || length == 0) return;
    for (std::size_t i = 0; i < length; ++i) RZRCTRHexFromByte(bytes[i], output + 2 * i);
}
