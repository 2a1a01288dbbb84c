#include "services/measurement/APMConditionalUserProperty.h"

#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMMeasurement.h"

namespace {

bool inRange(double seconds) {
    return seconds >= APMConditionalUserProperty::kMinimumInterval &&
           seconds <= APMConditionalUserProperty::kMaximumInterval;
}

}  // namespace

bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property) {
    const Value origin(property.origin()), name(property.name());
    if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(&origin) ||
        !APMDataTypeValidator::isValidConditionalUserPropertyName(&name)) {
        return false;
    }
    if (property.value() &&
        !APMDataTypeValidator::isValidConditionalUserPropertyValue(&*property.value())) {
        return false;
    }
    if (!inRange(property.triggerTimeout())) {
        APMMeasurement::monitor().logWithLevel(2, 11000,
                                               "Invalid conditional user property trigger timeout",
                                               Value(property.triggerTimeout()));
        return false;
    }
    if (!inRange(property.timeToLive())) {
        APMMeasurement::monitor().logWithLevel(2, 11001,
                                               "Invalid conditional user property time to live",
                                               Value(property.timeToLive()));
        return false;
    }
    return true;
}
