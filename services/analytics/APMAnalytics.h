#pragma once
// The analytics service core behind ZAROduzozova.
//
// This first version keeps what it is given: every event with its origin and
// parameters, and the collection switch. The measurement library takes over
// behind the same entry points.

#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

struct APMLoggedEvent {
    std::string origin;
    std::string name;
    Dictionary parameters;
};

class APMAnalytics {
public:
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const Dictionary& parameters);
    static void setAnalyticsEnabled(bool enabled, bool persistSetting);
    static bool isAnalyticsEnabled();

    // What has been logged so far, oldest first (tests and the console).
    static std::vector<APMLoggedEvent> loggedEvents();
    static void clearLoggedEventsForTesting();
};
