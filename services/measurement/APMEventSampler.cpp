#include "services/measurement/APMEventSampler.h"

#include <stdlib.h>

#include <climits>
#include <cmath>
#include <map>
#include <string>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

constexpr std::int32_t kEventParams = 0;
constexpr std::int32_t kEventName = 1;
constexpr std::int32_t kEventTimestamp = 2;
constexpr std::int32_t kEventPreviousTimestamp = 3;
constexpr std::int32_t kParamName = 0;
constexpr std::int32_t kParamInt = 2;

constexpr const char* kSamplingRateParam = "_sr";
constexpr const char* kExemptFromSamplingParam = "_efs";
constexpr const char* kComplexEventIDParam = "_eid";

// The sampling fields of one event name while a bundle is sampled.
struct SamplingState {
    double lastBundledTimestamp = 0;
    std::int32_t lastBundledDay = 0;
    std::int32_t lastSamplingRate = 1;
    std::optional<std::int64_t> lastSampledComplexEventID;
    bool lastExemptFromSampling = false;
    bool touched = false;
};

std::optional<std::shared_ptr<APMPBEventParam>> parameterNamed(const APMPBEvent& event,
                                                               const std::string& name) {
    auto params = APMPBGetArray(&event, kEventParams, APMPBEventParam::classObject());
    if (!params) return std::nullopt;
    for (const auto& object : *params) {
        auto param = std::static_pointer_cast<APMPBEventParam>(object.message());
        if (param && APMPBGetString(param.get(), kParamName) == name) return param;
    }
    return std::nullopt;
}

}  // namespace

APMEventSampler::APMEventSampler(APMDatabase& database,
                                 std::shared_ptr<APMRemoteConfig> remoteConfig, APMMonitor& monitor,
                                 UniformRandom random)
    : database_(database),
      remoteConfig_(std::move(remoteConfig)),
      monitor_(monitor),
      random_(std::move(random)) {
    if (!random_) random_ = [](std::uint32_t bound) { return arc4random_uniform(bound); };
}

std::int32_t APMEventSampler::dayNumber(double seconds, int offsetMinutes) {
    const double day = std::trunc((seconds + offsetMinutes * 60.0) / 86400.0);
    if (std::isnan(day)) return 0;
    if (day >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (day <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<std::int32_t>(day);
}

bool APMEventSampler::canEventBeSampled(const APMPBEvent& event) {
    if (!remoteConfig_ || !remoteConfig_->isEventSamplingEnabled()) return false;
    const std::string name = APMPBGetString(&event, kEventName).value_or("");
    if (!remoteConfig_->eventHasSamplingRate(name)) return false;
    if (remoteConfig_->samplingRateForEvent(name) <= 1) {
        monitor_.logWithLevel(5, 23154, "Invalid sampling rate provided");
        return false;
    }
    return true;
}

bool APMEventSampler::isEventBundledAfterRoll(int rate) {
    if (rate <= 1) return true;
    return random_(static_cast<std::uint32_t>(rate)) == 0;
}

void APMEventSampler::addParameter(APMPBEvent& event, const char* name, std::int64_t value,
                                   long long failureCode, const char* failureText) {
    if (parameterNamed(event, name)) {
        monitor_.logWithLevel(4, 23156, "Event parameter already exists. Parameter name",
                              APMMonitorContext(Value(name)));
        return;
    }
    auto param = APMPBEventParam::make();
    if (!param) {
        monitor_.logWithLevel(2, failureCode, failureText);
        return;
    }
    APMPBSetString(param.get(), kParamName, Value(name));
    APMPBSetInt64(param.get(), kParamInt, value);
    auto params = APMPBGetArray(&event, kEventParams, APMPBEventParam::classObject())
                      .value_or(std::vector<APMPBObject>{});
    params.emplace_back(param);
    APMPBSetArray(&event, kEventParams, params);
}

std::optional<APMEventSampler::Events> APMEventSampler::sampleBundleEvents(const Events& events,
                                                                           NSError* error) {
    if (!remoteConfig_ || !remoteConfig_->isEventSamplingEnabled() ||
        monitor_.isDebugModeEnabled()) {
        return events;
    }
    return sampleEvents(events, error);
}

std::optional<APMEventSampler::Events> APMEventSampler::sampleEvents(const Events& events,
                                                                     NSError* error) {
    NSError readError;
    auto stored = database_.allEventAggregates(&readError);
    if (!stored) {
        monitor_.logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error",
                              APMMonitorContext(readError));
        if (error) *error = readError;
        return std::nullopt;
    }
    std::map<std::string, SamplingState> cache;
    for (const auto& aggregates : *stored) {
        SamplingState& state = cache[aggregates.name()];
        state.lastBundledTimestamp = aggregates.lastBundledTimestamp();
        state.lastBundledDay = aggregates.lastBundledDay();
        state.lastSamplingRate = aggregates.lastSamplingRate();
        state.lastSampledComplexEventID = aggregates.lastSampledComplexEventID();
        state.lastExemptFromSampling = aggregates.lastExemptFromSampling();
    }
    const int offsetMinutes =
        remoteConfig_ ? remoteConfig_->analyticsAccountTimeZoneOffsetMinutes() : 0;

    Events kept;
    for (const auto& event : events) {
        if (!event) continue;
        const std::string name = APMPBGetString(event.get(), kEventName).value_or("");
        if (name.empty()) {
            monitor_.logWithLevel(2, 23155, "Dropping event at sampling. Event has no name");
            continue;
        }
        const double t = static_cast<double>(APMPBGetInt64(event.get(), kEventTimestamp)) / 1000.0;
        const std::int32_t today = dayNumber(t, offsetMinutes);
        // A name without stored aggregates still keeps its state for the
        // rest of the bundle, so its second event that day is not exempt too.
        SamplingState& state = cache[name];
        state.touched = true;
        if (!canEventBeSampled(*event)) {
            state.lastBundledTimestamp = t;
            state.lastBundledDay = today;
            kept.push_back(event);
            continue;
        }
        const int rate = remoteConfig_->samplingRateForEvent(name);
        state.lastSamplingRate = rate;
        if (isEventBundledAfterRoll(rate)) {
            state.lastSampledComplexEventID.reset();
            state.lastBundledTimestamp = t;
            state.lastBundledDay = today;
            addParameter(*event, kSamplingRateParam, rate, 23153,
                         "Failed to create sampling rate parameter");
            kept.push_back(event);
            continue;
        }
        const std::int32_t lastDay =
            state.lastBundledDay != 0
                ? state.lastBundledDay
                : dayNumber(
                      static_cast<double>(APMPBGetInt64(event.get(), kEventPreviousTimestamp)) /
                          1000.0,
                      offsetMinutes);
        if (lastDay != today) {
            state.lastBundledTimestamp = t;
            state.lastBundledDay = today;
            state.lastExemptFromSampling = true;
            addParameter(*event, kSamplingRateParam, rate, 23153,
                         "Failed to create sampling rate parameter");
            addParameter(*event, kExemptFromSamplingParam, 1, 23158,
                         "Failed to create exempt from sampling parameter");
            kept.push_back(event);
            continue;
        }
        if (auto complexID = parameterNamed(*event, kComplexEventIDParam)) {
            state.lastSampledComplexEventID = APMPBGetInt64(complexID->get(), kParamInt);
        }
    }

    for (const auto& [name, state] : cache) {
        if (!state.touched) continue;
        NSError queryError;
        auto aggregates = database_.eventAggregatesWithName(name, &queryError);
        if (!aggregates) {
            if (queryError.code != 0 || !queryError.domain.empty()) {
                monitor_.logWithLevel(1, 23151,
                                      "Unable to query event aggregates to update database. Name, "
                                      "error",
                                      APMMonitorContext(Value(name)),
                                      APMMonitorContext(queryError));
                if (error) *error = queryError;
                return std::nullopt;
            }
            // The write path keeps aggregates for every stored event; a name
            // without them starts a record of its own.
            aggregates = APMEventAggregates::initWithName(name, 0, 0, 0, 0);
            if (!aggregates) continue;
        }
        if (state.lastBundledTimestamp != 0)
            aggregates->setLastBundledTimestamp(state.lastBundledTimestamp);
        aggregates->setLastSamplingRate(state.lastSamplingRate);
        aggregates->setLastSampledComplexEventID(state.lastSampledComplexEventID);
        aggregates->setLastExemptFromSampling(state.lastExemptFromSampling);
        aggregates->setLastBundledDay(state.lastBundledDay);
        NSError writeError;
        if (!database_.updateEventAggregates(*aggregates, &writeError)) {
            monitor_.logWithLevel(
                1, 23152,
                "Failed to update event aggregates after removing removing events due to "
                "sampling. Error",
                APMMonitorContext(writeError));
            if (error) *error = writeError;
            return std::nullopt;
        }
    }
    return kept;
}
