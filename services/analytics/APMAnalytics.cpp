#include "services/analytics/APMAnalytics.h"

namespace {

struct State {
    std::mutex mutex;
    std::vector<APMLoggedEvent> events;
    bool enabled = false;
};

State& state() {
    static auto* shared = new State();
    return *shared;
}

}  // namespace

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const Dictionary& parameters) {
    std::lock_guard lock(state().mutex);
    state().events.push_back({origin, name, parameters});
}

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool) {
    std::lock_guard lock(state().mutex);
    state().enabled = enabled;
}

bool APMAnalytics::isAnalyticsEnabled() {
    std::lock_guard lock(state().mutex);
    return state().enabled;
}

std::vector<APMLoggedEvent> APMAnalytics::loggedEvents() {
    std::lock_guard lock(state().mutex);
    return state().events;
}

void APMAnalytics::clearLoggedEventsForTesting() {
    std::lock_guard lock(state().mutex);
    state().events.clear();
}
