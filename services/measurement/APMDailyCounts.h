#pragma once
// The day's event counters kept in the metadata row. Every increment takes
// the current day first: a new day resets all counters before counting.

#include <cstdint>

class APMDailyCounts {
  public:
    APMDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
                   int32_t publicEventsCount, int32_t errorEventsCount, int32_t realtimeCount)
        : day_(day),
          conversionsCount_(conversionsCount),
          allEventsCount_(allEventsCount),
          publicEventsCount_(publicEventsCount),
          errorEventsCount_(errorEventsCount),
          realtimeCount_(realtimeCount) {}

    // floor((now - midnightOffset) / 86400), times in seconds since 1970.
    static int32_t currentDay(double now, double midnightOffset);

    void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                      int32_t effectiveEventCount = 1);
    void incrementErrorEventsCountForCurrentDay(int32_t day);
    void incrementRealtimeCountsForCurrentDay(int32_t day);
    void decrementAllEventsCount();
    void resetWithNewDay(int32_t day);

    int32_t day() const { return day_; }
    int32_t conversionsCount() const { return conversionsCount_; }
    int32_t allEventsCount() const { return allEventsCount_; }
    int32_t publicEventsCount() const { return publicEventsCount_; }
    int32_t errorEventsCount() const { return errorEventsCount_; }
    int32_t realtimeCount() const { return realtimeCount_; }

  private:
    int32_t day_;
    int32_t conversionsCount_;
    int32_t allEventsCount_;
    int32_t publicEventsCount_;
    int32_t errorEventsCount_;
    int32_t realtimeCount_;
};
