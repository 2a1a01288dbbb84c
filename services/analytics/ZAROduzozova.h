#pragma once
// The face of analytics for the application and the other components. It
// forwards to the service core; nothing here reports failure to the caller.

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class ZAROduzozova {
public:
    // Same as logEventWithOrigin with the origin "app".
    static void logEventWithName(const std::string& name,
                                 const std::optional<Dictionary>& parameters);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const std::optional<Dictionary>& parameters);
    // Always persists the setting.
    static void setAnalyticsCollectionEnabled(bool enabled);
};
