#include "services/measurement/APMDecimalNumber.h"

#include <charconv>
#include <cstring>
#include <string>

#define DECIMAL_CALL_BY_REFERENCE 0
#define DECIMAL_GLOBAL_ROUNDING 0
#define DECIMAL_GLOBAL_EXCEPTION_FLAGS 0
#include <bid_conf.h>
#include <bid_functions.h>

namespace {

constexpr _IDEC_flags kInexact = 0x20;
constexpr _IDEC_flags kInvalid = 0x01;

BID_UINT128 load(const std::uint64_t* w) {
    BID_UINT128 x;
    std::memcpy(&x, w, sizeof x);
    return x;
}

void store(std::uint64_t* w, const BID_UINT128& x) {
    std::memcpy(w, &x, sizeof x);
}

}  // namespace

static_assert(sizeof(BID_UINT128) == 2 * sizeof(std::uint64_t));

APMDecimalNumber::APMDecimalNumber() {
    store(w_, bid128_from_int64(0));
}

APMDecimalNumber APMDecimalNumber::notANumber() {
    return fromString("NaN");
}

APMDecimalNumber APMDecimalNumber::fromString(const std::string& text) {
    APMDecimalNumber number;
    // The library reads up to the first NUL; such text is no number.
    if (text.find('\0') != std::string::npos) return notANumber();
    _IDEC_flags flags = 0;
    std::string copy = text;
    BID_UINT128 x = bid128_from_string(copy.data(), BID_ROUNDING_TO_NEAREST, &flags);
    // Beyond the exponent range the library answers an infinity: no number
    // this type can hold.
    if (bid128_isInf(x))
        x = bid128_from_string(const_cast<char*>("NaN"), BID_ROUNDING_TO_NEAREST, &flags);
    store(number.w_, x);
    number.inexact_ = (flags & kInexact) != 0;
    return number;
}

APMDecimalNumber APMDecimalNumber::fromInt64(std::int64_t value) {
    APMDecimalNumber number;
    store(number.w_, bid128_from_int64(value));
    return number;
}

APMDecimalNumber APMDecimalNumber::fromDouble(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc()) return notANumber();
    return fromString(std::string(buffer, end));
}

bool APMDecimalNumber::isNaN() const {
    return bid128_isNaN(load(w_)) != 0;
}

bool APMDecimalNumber::isNegative() const {
    return !isNaN() && bid128_isSigned(load(w_)) && !bid128_isZero(load(w_));
}

APMDecimalNumber APMDecimalNumber::negated() const {
    APMDecimalNumber number = *this;
    store(number.w_, bid128_negate(load(w_)));
    return number;
}

std::string APMDecimalNumber::stringValue() const {
    if (isNaN()) return "NaN";
    char buffer[128];
    _IDEC_flags flags = 0;
    bid128_to_string(buffer, load(w_), &flags);
    // The library writes "<sign><coefficient>E<exponent>".
    std::string text = buffer;
    const bool negative = text[0] == '-';
    const auto e = text.find('E');
    if (e == std::string::npos || e < 2) return "NaN";
    std::string digits = text.substr(1, e - 1);
    int exponent = std::stoi(text.substr(e + 1));
    while (digits.size() > 1 && digits.back() == '0' && exponent < 0) {
        digits.pop_back();
        ++exponent;
    }
    std::string plain;
    if (digits == "0") {
        plain = "0";
    } else if (exponent >= 0) {
        plain = digits + std::string(static_cast<std::size_t>(exponent), '0');
    } else {
        const std::size_t fraction = static_cast<std::size_t>(-exponent);
        if (digits.size() <= fraction) {
            plain = "0." + std::string(fraction - digits.size(), '0') + digits;
        } else {
            plain = digits.substr(0, digits.size() - fraction) + "." +
                    digits.substr(digits.size() - fraction);
        }
    }
    return negative && plain != "0" ? "-" + plain : plain;
}

std::optional<std::int64_t> APMDecimalNumber::int64Value() const {
    _IDEC_flags flags = 0;
    const BID_SINT64 v = bid128_to_int64_int(load(w_), &flags);
    if (flags & kInvalid) return std::nullopt;
    return v;
}

double APMDecimalNumber::doubleValue() const {
    _IDEC_flags flags = 0;
    return bid128_to_binary64(load(w_), BID_ROUNDING_TO_NEAREST, &flags);
}

std::optional<int> APMDecimalNumber::compare(const APMDecimalNumber& other) const {
    if (isNaN() || other.isNaN()) return std::nullopt;
    _IDEC_flags flags = 0;
    if (bid128_quiet_less(load(w_), load(other.w_), &flags)) return -1;
    if (bid128_quiet_greater(load(w_), load(other.w_), &flags)) return 1;
    return 0;
}
