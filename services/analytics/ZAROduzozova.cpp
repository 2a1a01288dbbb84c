#include "services/analytics/ZAROduzozova.h"

#include "services/analytics/APMAnalytics.h"

void ZAROduzozova::logEventWithName(const std::string& name,
                                    const std::optional<Dictionary>& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void ZAROduzozova::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<Dictionary>& parameters) {
    APMAnalytics::logEventWithOrigin(origin, name, parameters.value_or(Dictionary{}));
}

void ZAROduzozova::setAnalyticsCollectionEnabled(bool enabled) {
    APMAnalytics::setAnalyticsEnabled(enabled, true);
}
