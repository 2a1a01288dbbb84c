#include "services/measurement/APMPBFlag.h"

#include "services/measurement/APMMeasurement.h"

Value APMPBFlagGetValue(const APMPBFlag* flag) {
    if (flag == nullptr) return Value();
    if (APMPBHasField(flag, kAPMPBFlagIntValue)) {
        return Value(static_cast<long long>(APMPBGetInt64(flag, kAPMPBFlagIntValue)));
    }
    if (APMPBHasField(flag, kAPMPBFlagDoubleValue)) {
        return Value(APMPBGetDouble(flag, kAPMPBFlagDoubleValue));
    }
    if (APMPBHasField(flag, kAPMPBFlagStringValue)) {
        if (auto s = APMPBGetString(flag, kAPMPBFlagStringValue)) return Value(*s);
        return Value();
    }
    if (APMPBHasField(flag, kAPMPBFlagBoolValue)) {
        return Value(APMPBGetBool(flag, kAPMPBFlagBoolValue));
    }
    return Value();
}

std::shared_ptr<APMPBFlag> APMPBFlagCreate(const Value& name, const Value& value) {
    APMMonitor& monitor = APMMeasurement::monitor();
    if (name.isNull()) {
        monitor.logWithLevel(1, 850000, "Flag name must not be nil");
        return nullptr;
    }
    if (!name.isString()) {
        monitor.logWithLevel(1, 850001, "Flag name must be a string", Value(APMPBClassName(name)));
        return nullptr;
    }
    if (!value.isString() && !value.isNumber() && !value.isBool()) {
        monitor.logWithLevel(1, 850002, "Flag value is invalid", Value(APMPBClassName(value)));
        return nullptr;
    }
    auto flag = APMPBFlag::make();
    if (flag == nullptr) return nullptr;
    APMPBSetString(flag.get(), kAPMPBFlagName, name);
    if (value.isString()) {
        APMPBSetString(flag.get(), kAPMPBFlagStringValue, value);
    } else if (value.type() == Value::Type::Double) {
        APMPBSetDouble(flag.get(), kAPMPBFlagDoubleValue, *value.asDouble());
    } else if (value.isBool()) {
        APMPBSetInt64(flag.get(), kAPMPBFlagIntValue, *value.asBool() ? 1 : 0);
    } else if (value.type() == Value::Type::UInt) {
        APMPBSetInt64(flag.get(), kAPMPBFlagIntValue, static_cast<std::int64_t>(*value.asUInt()));
    } else {
        APMPBSetInt64(flag.get(), kAPMPBFlagIntValue, *value.asInt());
    }
    return flag;
}
