#pragma once
// An exact decimal number of up to 34 significant digits (IEEE 754 decimal128
// through the system's decimal floating-point library), for the numbers the
// configuration and the audience filters carry as text. Values are plain
// copyable data; not-a-number is a value of its own.

#include <cstdint>
#include <optional>
#include <string>

class APMDecimalNumber {
  public:
    APMDecimalNumber();  // zero
    static APMDecimalNumber notANumber();
    // Plain decimal text ("-12.50", "+.5", "7."); an exponent is accepted
    // too. Anything else, and any magnitude beyond the exponent range, is
    // not-a-number. Digits beyond the precision are rounded.
    static APMDecimalNumber fromString(const std::string& text);
    static APMDecimalNumber fromInt64(std::int64_t value);
    // The shortest text that reads back as the same double, made exact.
    static APMDecimalNumber fromDouble(double value);

    bool isNaN() const;
    bool isNegative() const;
    APMDecimalNumber negated() const;
    // Whether text had to be rounded when this number was read from it.
    bool isInexact() const { return inexact_; }

    // Canonical text: no exponent, no trailing zeros after the point, no
    // leading zeros ("1.5", "-0.25", "100"); "NaN" for not-a-number.
    std::string stringValue() const;
    // Truncated toward zero; nullopt for not-a-number and out-of-range values.
    std::optional<std::int64_t> int64Value() const;
    double doubleValue() const;

    // -1, 0 or 1; nullopt when either is not-a-number.
    std::optional<int> compare(const APMDecimalNumber& other) const;
    bool operator==(const APMDecimalNumber& other) const { return compare(other) == 0; }

  private:
    std::uint64_t w_[2];  // the decimal128 encoding, low word first
    bool inexact_ = false;
};
