#include "services/analytics/ZAROduzozova.h"

#include <atomic>

#include "services/analytics/APMAnalytics.h"

namespace {

// Collection is on until the application switches it off (the service's
// default); while it is off, events are dropped here and nothing is kept.
std::atomic<bool>& collecting() {
    static std::atomic<bool> on{true};
    return on;
}

}  // namespace

void ZAROduzozova::logEventWithName(const std::string& name,
                                    const std::optional<Dictionary>& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void ZAROduzozova::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<Dictionary>& parameters) {
    if (!collecting()) return;
    APMAnalytics::logEventWithOrigin(origin, name, parameters.value_or(Dictionary{}));
}

void ZAROduzozova::setAnalyticsCollectionEnabled(bool enabled) {
    collecting() = enabled;
    APMAnalytics::setAnalyticsEnabled(enabled, true);
}
