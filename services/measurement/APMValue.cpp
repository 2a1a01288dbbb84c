#include "services/measurement/APMValue.h"

#include <functional>
#include <typeinfo>

#include "services/measurement/APMMeasurement.h"

namespace {

void refuse(long long code, const std::string& message) {
    APMMeasurement::monitor().logWithLevel(0, code, message);
}

void refuse(long long code, const std::string& message, const Value& context) {
    APMMeasurement::monitor().logWithLevel(0, code, message, context);
}

// Arrays share their storage between copies of a Value; keep our own.
Value deepCopy(const Value& value) {
    if (const Array* array = value.asArray()) {
        Array copy;
        copy.reserve(array->size());
        for (const auto& item : *array) copy.push_back(deepCopy(item));
        return Value(std::move(copy));
    }
    if (const Dictionary* dictionary = value.asDictionary()) {
        Dictionary copy;
        for (const auto& [key, item] : *dictionary) copy.set(key, deepCopy(item));
        return Value(std::move(copy));
    }
    return value;
}

}  // namespace

std::optional<APMValue> APMValue::valueFromObject(const Value* object, bool allowArray) {
    if (!object || object->isNull()) {
        refuse(35000, "Cannot create Value type with nil value");
        return std::nullopt;
    }
    switch (object->type()) {
        case Value::Type::String:
            return initWithString(object);
        case Value::Type::Double:
            return initWithDouble(*object->asDouble());
        case Value::Type::Bool:
            return initWithInt64(*object->asBool() ? 1 : 0);
        case Value::Type::Int:
            return initWithInt64(*object->asInt());
        case Value::Type::UInt:
            return initWithInt64(static_cast<int64_t>(*object->asUInt()));
        case Value::Type::Array:
            if (allowArray) return initWithArray(object);
            break;
        default:
            break;
    }
    refuse(35001,
           "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
           "NSString or NSArray (if supported). Value",
           *object);
    return std::nullopt;
}

APMValue APMValue::initWithDouble(double value) {
    return APMValue(APMValueTypeDouble, Value(value));
}

APMValue APMValue::initWithInt64(int64_t value) {
    return APMValue(APMValueTypeInt64, Value(static_cast<long long>(value)));
}

std::optional<APMValue> APMValue::initWithString(const Value* value) {
    if (!value || value->isNull()) {
        refuse(35002, "Cannot create String value with nil");
        return std::nullopt;
    }
    if (!value->isString()) {
        refuse(35003, "Cannot create String value with non-string value. Value", *value);
        return std::nullopt;
    }
    return APMValue(APMValueTypeString, *value);
}

std::optional<APMValue> APMValue::initWithArray(const Value* value) {
    if (!value || value->isNull()) {
        refuse(35004, "Cannot create Array value with nil");
        return std::nullopt;
    }
    if (!value->isArray()) {
        refuse(35005, "Cannot create Array value with non-array value. Value", *value);
        return std::nullopt;
    }
    return APMValue(APMValueTypeArray, deepCopy(*value));
}

double APMValue::doubleValue() const {
    return isDouble() ? value_.asDouble().value_or(0) : 0.0;
}

int64_t APMValue::int64Value() const {
    return isInt64() ? value_.asInt().value_or(0) : 0;
}

std::optional<std::string> APMValue::stringValue() const {
    return isString() ? value_.asString() : std::nullopt;
}

std::optional<Array> APMValue::arrayValue() const {
    if (!isArray() || !value_.asArray()) return std::nullopt;
    return *value_.asArray();
}

std::string APMValue::description() const {
    return value_.description();
}

bool APMValue::isEqual(const APMValue& other) const {
    return typeid(*this) == typeid(other) && valueType_ == other.valueType_ &&
           value_ == other.value_;
}

size_t APMValue::hash() const {
    return std::hash<std::string>()(value_.description()) ^ (static_cast<size_t>(valueType_) * 31u);
}
