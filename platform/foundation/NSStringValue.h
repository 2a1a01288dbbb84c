#pragma once
// The platform's readers of a number at the head of a text (NSString's
// integerValue, doubleValue and boolValue), for stores that keep numbers and
// switches as text. Each skips leading white space and ignores whatever
// follows the number; a text that does not begin with one reads as 0 / NO.

#include <cstdint>
#include <string_view>

namespace NSStringValue {

// Optional sign and decimal digits; saturates at the 64-bit limits.
std::int64_t integerValue(std::string_view text);
// A decimal number with optional fraction and exponent (no hex, inf or nan).
double doubleValue(std::string_view text);
// YES when the text begins with Y, y, T or t, or with a number whose
// integer digits are not all zero (an optional sign and leading zeros are
// skipped).
bool boolValue(std::string_view text);

}  // namespace NSStringValue
