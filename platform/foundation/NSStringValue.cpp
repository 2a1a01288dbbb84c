#include "platform/foundation/NSStringValue.h"

#include <cctype>
#include <cstdlib>
#include <limits>
#include <string>

namespace NSStringValue {
namespace {

std::size_t skipSpace(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return i;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::int64_t integerValue(std::string_view text) {
    std::size_t i = skipSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulated as a negative number, whose range is the larger one.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        const int digit = text[i] - '0';
        if (value < (kMin + digit) / 10) {
            overflow = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (overflow) return negative ? kMin : std::numeric_limits<std::int64_t>::max();
    if (negative) return value;
    return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

double doubleValue(std::string_view text) {
    std::size_t i = skipSpace(text);
    std::size_t j = i;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j >= text.size() || !(isDigit(text[j]) || text[j] == '.')) return 0;
    if (text[j] == '0' && j + 1 < text.size() && (text[j + 1] == 'x' || text[j + 1] == 'X')) {
        return 0;  // "0x..." reads as the leading zero
    }
    const std::string copy(text.substr(i));
    return std::strtod(copy.c_str(), nullptr);
}

bool boolValue(std::string_view text) {
    std::size_t i = skipSpace(text);
    if (i >= text.size()) return false;
    const char first = text[i];
    if (first == 'Y' || first == 'y' || first == 'T' || first == 't') return true;
    if (first == '+' || first == '-') ++i;
    while (i < text.size() && text[i] == '0') ++i;
    return i < text.size() && text[i] >= '1' && text[i] <= '9';
}

}  // namespace NSStringValue
