#pragma once
// The event-editing script runtime's event: a name, a time in seconds and
// plain parameters (kept as a copy the runtime may change).

#include <string>

#include "platform/foundation/Value.h"

struct APMPEvent {
    APMPEvent(std::string name, double timestamp, Dictionary parameters)
        : name(std::move(name)), timestamp(timestamp), parameters(std::move(parameters)) {}
    std::string name;
    double timestamp = 0;
    Dictionary parameters;
};
