#pragma once
// Experiment flags as values: a flag message's value as an object, and a
// flag message built from a name and a value.

#include <memory>

#include "platform/foundation/Value.h"
#include "services/measurement/APMPBMessage.h"

// Field IDs of Flag.
enum APMPBFlagField : std::int32_t {
    kAPMPBFlagName = 0,
    kAPMPBFlagIntValue = 1,
    kAPMPBFlagStringValue = 2,
    kAPMPBFlagDoubleValue = 3,
    kAPMPBFlagBoolValue = 4,
};

// The first present of the integer, double, string and bool values; null
// when none is set or the flag is null.
Value APMPBFlagGetValue(const APMPBFlag* flag);

// A flag named `name` holding `value`: a string as the string value, a
// floating number as the double value, any other number (booleans too) as
// the integer value. Null, after logging through the experiment manager's
// monitor, when the name is null or not a string or the value is neither a
// string nor a number.
std::shared_ptr<APMPBFlag> APMPBFlagCreate(const Value& name, const Value& value);

// The names the measurement engine uses.
inline Value APMPBFlagValue(const APMPBFlag* flag) {
    return APMPBFlagGetValue(flag);
}
inline std::shared_ptr<APMPBFlag> APMPBFlagFromNameAndValue(const Value& name, const Value& value) {
    return APMPBFlagCreate(name, value);
}
