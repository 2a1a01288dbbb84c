#include "services/measurement/APMDailyCounts.h"

#include <cmath>

int32_t APMDailyCounts::currentDay(double now, double midnightOffset) {
    return static_cast<int32_t>(std::floor((now - midnightOffset) / 86400.0));
}

void APMDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion, int32_t effectiveEventCount) {
    if (day != day_) {
        day_ = day;
        conversionsCount_ = isConversion ? 1 : 0;
        allEventsCount_ = effectiveEventCount;
        publicEventsCount_ = isPublicEvent ? effectiveEventCount : 0;
        errorEventsCount_ = 0;
        realtimeCount_ = 0;
        return;
    }
    conversionsCount_ += isConversion ? 1 : 0;
    allEventsCount_ += effectiveEventCount;
    if (isPublicEvent) publicEventsCount_ += effectiveEventCount;
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
    if (day != day_) {
        day_ = day;
        conversionsCount_ = 0;
        allEventsCount_ = 1;
        publicEventsCount_ = 0;
        errorEventsCount_ = 1;
        realtimeCount_ = 0;
        return;
    }
    ++allEventsCount_;
    ++errorEventsCount_;
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
    if (day != day_) {
        resetWithNewDay(day);
        realtimeCount_ = 1;
        return;
    }
    ++realtimeCount_;
}

void APMDailyCounts::decrementAllEventsCount() {
    allEventsCount_ = allEventsCount_ > 0 ? allEventsCount_ - 1 : 0;
}

void APMDailyCounts::resetWithNewDay(int32_t day) {
    day_ = day;
    conversionsCount_ = allEventsCount_ = publicEventsCount_ = errorEventsCount_ = realtimeCount_ =
        0;
}
