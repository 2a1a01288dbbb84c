#pragma once
// The timestamps of dynamic, session-scoped and sequence filters collected
// while one bundle is evaluated: seeded from each audience's stored result
// the first time the audience is touched, updated as filters match, and read
// back when the audience's new result data is built. Lives for one bundling
// pass (or one evaluation call) and is never stored. Worker queue only.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "services/measurement/APMEventFilter.h"
#include "services/measurement/APMFilterResult.h"
#include "services/measurement/APMPBMessage.h"

// The sequence steps of one audience: per filter, the times its step matched.
class APMSequenceTimestampsCache {
  public:
    // Null for a missing audience ID.
    static std::shared_ptr<APMSequenceTimestampsCache> initWithAudienceID(
        std::optional<std::int32_t> audienceID);

    std::int32_t audienceID() const { return audienceID_; }
    // A copy of the filter's list; nullopt for a missing ID or an unknown
    // filter.
    std::optional<std::vector<double>> sequenceTimestampsForFilterID(
        std::optional<std::int32_t> filterID) const;
    // Appends, keeping at most one entry per whole time unit in a row; an
    // earlier time than the last is logged and still added.
    void addEventFilterTimestamp(double timestamp, std::optional<std::int32_t> filterID);
    // A property step keeps only the latest time set.
    void setUserPropertyTimestamp(double timestamp, std::optional<std::int32_t> filterID);
    // One entry per filter, by filter ID; each list ascending, truncated to
    // whole units.
    std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
    sequenceFilterResultTimestamps() const;

  private:
    explicit APMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}
    std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
    std::int32_t audienceID_;
};

class APMAudienceTimestampsCache {
  public:
    APMAudienceTimestampsCache() = default;

    // Loads the audience's stored timestamps unless it was loaded before.
    void populateCachedTimestamps(const std::optional<APMFilterResult>& result,
                                  std::int32_t audienceID);
    // Records a match of the filter at `timestamp`.
    void addEvaluationTimestamp(double timestamp, const APMAudienceFilter& filter);
    // Never null entries; empty when the audience has no dynamic timestamps.
    std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
        std::int32_t audienceID) const;
    // Nullopt when the audience has no sequence cache.
    std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
    sequenceTimestampsForAudienceID(std::int32_t audienceID) const;

  private:
    // Audience ID to filter ID to the latest match.
    std::map<std::int32_t, std::map<std::int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
    std::map<std::int32_t, std::shared_ptr<APMSequenceTimestampsCache>>
        cachedSequenceEvaluationTimestamps_;
};
