#include "services/measurement/APMAudienceTimestampsCache.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"

namespace {

namespace result_field {
constexpr std::int32_t kDynamicTimestamps = 2, kSequenceTimestamps = 3;
}
namespace timestamp_field {
constexpr std::int32_t kFilterID = 0, kTimestamps = 1;
}

// Toward zero; a value beyond the 64-bit range is held at its edge.
std::int64_t truncated(double timestamp) {
    if (std::isnan(timestamp)) return 0;
    if (timestamp >= 9223372036854775807.0) return INT64_MAX;
    if (timestamp <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(std::trunc(timestamp));
}

template <class T>
std::vector<std::shared_ptr<T>> messages(const APMPBMessage& message, std::int32_t fieldID) {
    std::vector<std::shared_ptr<T>> out;
    auto array = APMPBGetArray(&message, fieldID, T::classObject());
    if (!array) return out;
    for (const auto& element : *array) {
        if (element.message()) out.push_back(std::static_pointer_cast<T>(element.message()));
    }
    return out;
}

}  // namespace

// ---- sequence steps of one audience ----

std::shared_ptr<APMSequenceTimestampsCache> APMSequenceTimestampsCache::initWithAudienceID(
    std::optional<std::int32_t> audienceID) {
    if (!audienceID) return nullptr;
    return std::shared_ptr<APMSequenceTimestampsCache>(new APMSequenceTimestampsCache(*audienceID));
}

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::optional<std::int32_t> filterID) const {
    if (!filterID) return std::nullopt;
    auto found = allSequenceTimestampsByFilterID_.find(*filterID);
    if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
    return found->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp,
                                                         std::optional<std::int32_t> filterID) {
    if (!filterID) return;
    auto& list = allSequenceTimestampsByFilterID_[*filterID];
    if (!list.empty() && list.back() > timestamp) {
        APMMeasurement::monitor().logWithLevel(
            5, 42000, "Adding a sequence timestamp less than the last added timestamp",
            Value(list.back()), Value(timestamp));
    }
    if (!list.empty() && truncated(list.back()) == truncated(timestamp)) return;
    list.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp,
                                                          std::optional<std::int32_t> filterID) {
    if (!filterID) return;
    auto& list = allSequenceTimestampsByFilterID_[*filterID];
    if (!list.empty() && list.back() > timestamp) {
        APMMeasurement::monitor().logWithLevel(
            5, 42001, "Setting a sequence timestamp less than the last set timestamp",
            Value(list.back()), Value(timestamp));
    }
    list.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
    std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> out;
    for (const auto& [filterID, list] : allSequenceTimestampsByFilterID_) {
        auto entry = APMPBSequenceFilterResultTimestamp::make();
        APMPBSetInt32(entry.get(), timestamp_field::kFilterID, filterID);
        if (!list.empty()) {
            std::vector<double> sorted = list;
            std::sort(sorted.begin(), sorted.end());
            std::vector<APMPBObject> values;
            for (double t : sorted)
                values.emplace_back(Value(static_cast<long long>(truncated(t))));
            APMPBSetArray(entry.get(), timestamp_field::kTimestamps, values);
        }
        out.push_back(std::move(entry));
    }
    return out;
}

// ---- per bundle ----

void APMAudienceTimestampsCache::populateCachedTimestamps(
    const std::optional<APMFilterResult>& result, std::int32_t audienceID) {
    std::shared_ptr<APMPBResultData> data;
    if (result && result->currentResults()) {
        data = APMPBResultData::initWithBuffer(*result->currentResults());
    }
    if (!cachedDynamicFilterEvaluationTimestamps_.count(audienceID)) {
        std::map<std::int32_t, double> timestamps;
        if (data) {
            for (const auto& entry : messages<APMPBDynamicFilterResultTimestamp>(
                     *data, result_field::kDynamicTimestamps)) {
                timestamps[APMPBGetInt32(entry.get(), timestamp_field::kFilterID)] =
                    static_cast<double>(APMPBGetInt64(entry.get(), timestamp_field::kTimestamps));
            }
        }
        cachedDynamicFilterEvaluationTimestamps_[audienceID] = std::move(timestamps);
    }
    if (!cachedSequenceEvaluationTimestamps_.count(audienceID)) {
        auto sequence = APMSequenceTimestampsCache::initWithAudienceID(audienceID);
        if (data) {
            for (const auto& entry : messages<APMPBSequenceFilterResultTimestamp>(
                     *data, result_field::kSequenceTimestamps)) {
                auto list =
                    APMPBGetArray(entry.get(), timestamp_field::kTimestamps, kAPMPBNumberClass);
                if (!list || list->empty()) continue;
                // Only the last stored step is carried over into the new pass.
                sequence->addEventFilterTimestamp(
                    list->back().value().asDouble().value_or(0),
                    APMPBGetInt32(entry.get(), timestamp_field::kFilterID));
            }
        }
        cachedSequenceEvaluationTimestamps_[audienceID] = std::move(sequence);
    }
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const APMAudienceFilter& filter) {
    const std::int32_t audienceID = filter.audienceID();
    if (filter.isSequence()) {
        auto& sequence = cachedSequenceEvaluationTimestamps_[audienceID];
        if (!sequence) sequence = APMSequenceTimestampsCache::initWithAudienceID(audienceID);
        if (dynamic_cast<const APMEventFilter*>(&filter)) {
            sequence->addEventFilterTimestamp(timestamp, filter.filterID());
        } else {
            sequence->setUserPropertyTimestamp(timestamp, filter.filterID());
        }
        return;
    }
    if (!filter.isSessionScoped() && !filter.isDynamic()) return;
    auto found = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
    if (found == cachedDynamicFilterEvaluationTimestamps_.end()) return;
    auto& timestamps = found->second;
    auto stored = timestamps.find(filter.filterID());
    const double current = stored == timestamps.end() ? 0 : stored->second;
    if (timestamp > current) {
        timestamps[filter.filterID()] = timestamp;
    } else {
        APMMeasurement::monitor().logWithLevel(
            5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp",
            Value(timestamp), Value(current));
    }
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
    std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> out;
    auto found = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
    if (found == cachedDynamicFilterEvaluationTimestamps_.end()) return out;
    for (const auto& [filterID, timestamp] : found->second) {
        auto entry = APMPBDynamicFilterResultTimestamp::make();
        APMPBSetInt32(entry.get(), timestamp_field::kFilterID, filterID);
        APMPBSetInt64(entry.get(), timestamp_field::kTimestamps, truncated(timestamp));
        out.push_back(std::move(entry));
    }
    return out;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
    auto found = cachedSequenceEvaluationTimestamps_.find(audienceID);
    if (found == cachedSequenceEvaluationTimestamps_.end() || !found->second) return std::nullopt;
    return found->second->sequenceFilterResultTimestamps();
}
