#pragma once
// Random identifiers and the decimal numbers that settings and filters carry
// as text. Safe on any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "services/measurement/APMDecimalNumber.h"

struct APMNumericUtil {
    // Fills the buffer; false (with errno set) when it cannot.
    using RandomBytes = std::function<bool(void* buffer, std::size_t size)>;

    // 8 bytes of the system's secure random generator; 0 (logged, 26004)
    // when it fails.
    static std::int64_t randomInt64();
    static std::int64_t randomInt64(const RandomBytes& source);
};

// Whether the whole text is a plain decimal number: an optional sign, digits
// with an optional point, at least one digit ("5.", ".5", "-007").
bool APMIsDecimalNumberString(const std::string& text);

// The exact number the text says, or nil (logged) when the text is not a
// decimal number or holds more digits than the decimal type keeps.
std::optional<APMDecimalNumber> APMDecimalNumberFromString(const std::string& text);
