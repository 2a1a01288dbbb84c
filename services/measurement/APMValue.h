#pragma once
// One typed analytics value: a double, a signed 64-bit integer, a string or
// an array (in event parameters, an array of parameter dictionaries).
// Immutable after creation; refusals are logged to the measurement monitor
// and answer nullopt.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

enum APMValueType : int64_t {
    APMValueTypeDouble = 0,
    APMValueTypeInt64 = 1,
    APMValueTypeString = 2,
    APMValueTypeArray = 3,
};

class APMValue {
  public:
    virtual ~APMValue() = default;
    APMValue(const APMValue&) = default;
    APMValue& operator=(const APMValue&) = default;

    // A string, a number (floating types as double, others, booleans
    // included, as int64) or, when allowed, an array; else nullopt, logged.
    static std::optional<APMValue> valueFromObject(const Value* object, bool allowArray = false);
    static std::optional<APMValue> valueFromObject(const Value& object, bool allowArray = false) {
        return valueFromObject(&object, allowArray);
    }

    static APMValue initWithDouble(double value);
    static APMValue initWithInt64(int64_t value);
    static std::optional<APMValue> initWithString(const Value* value);
    static std::optional<APMValue> initWithArray(const Value* value);
    // Stores both as given.
    APMValue(APMValueType type, Value value) : valueType_(type), value_(std::move(value)) {}

    APMValueType valueType() const { return valueType_; }
    bool isDouble() const { return valueType_ == APMValueTypeDouble; }
    bool isInt64() const { return valueType_ == APMValueTypeInt64; }
    bool isString() const { return valueType_ == APMValueTypeString; }
    bool isArray() const { return valueType_ == APMValueTypeArray; }
    double doubleValue() const;
    int64_t int64Value() const;
    std::optional<std::string> stringValue() const;
    std::optional<Array> arrayValue() const;
    const Value& object() const { return value_; }
    std::string description() const;

    // Equal when both are of the same class, the same type and equal
    // values; symmetric, so a subclass instance never equals a plain one
    // from either side.
    bool isEqual(const APMValue& other) const;
    bool operator==(const APMValue& other) const { return isEqual(other); }
    size_t hash() const;

  private:
    APMValueType valueType_;
    Value value_;
};

// The value class the event-editing runtime hands out; no behaviour of its
// own.
class ZIREValue : public APMValue {
  public:
    using APMValue::APMValue;
    explicit ZIREValue(const APMValue& value) : APMValue(value) {}
};

// Event parameters: name to value.
using APMEventParameters = std::map<std::string, APMValue>;
