#pragma once
// Event sampling of a bundle's events. For each event name the configuration
// may give a rate N: an event of that name then survives with probability
// 1/N, except that the first one of the name on each day (in the analytics
// account's time zone) always survives, marked "_efs" = 1. Every kept event
// of a sampled name carries its rate as "_sr". The per-name state lives in
// the event aggregates of the database.
//
// The engine's sampling operations in a class of their own, so bundling and
// tests reach them without the whole engine. Used on the engine's worker
// queue, inside the bundling transaction: a nil answer must roll it back.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Error.h"
#include "services/measurement/APMPBMessage.h"

class APMDatabase;
class APMMonitor;
class APMRemoteConfig;

class APMEventSampler {
  public:
    // A uniform draw in [0, upperBound); upperBound is at least 2.
    using UniformRandom = std::function<std::uint32_t(std::uint32_t upperBound)>;
    using Events = std::vector<std::shared_ptr<APMPBEvent>>;

    // Without a random source, the system's uniform one.
    APMEventSampler(APMDatabase& database, std::shared_ptr<APMRemoteConfig> remoteConfig,
                    APMMonitor& monitor, UniformRandom random = nullptr);

    // What bundling calls: the events unchanged when sampling is switched off
    // or the monitor is in debug mode, otherwise sampleEvents.
    std::optional<Events> sampleBundleEvents(const Events& events, NSError* error = nullptr);
    // The kept events in their incoming order (changed in place where a
    // parameter is added); nil with the database's error when the
    // aggregates cannot be read or written.
    std::optional<Events> sampleEvents(const Events& events, NSError* error = nullptr);
    bool canEventBeSampled(const APMPBEvent& event);
    bool isEventBundledAfterRoll(int rate);

    // The day of a time in seconds since 1970 for an account offset in
    // minutes: truncated toward zero, held within 32 bits.
    static std::int32_t dayNumber(double seconds, int offsetMinutes);

  private:
    void addParameter(APMPBEvent& event, const char* name, std::int64_t value,
                      long long failureCode, const char* failureText);

    APMDatabase& database_;
    std::shared_ptr<APMRemoteConfig> remoteConfig_;
    APMMonitor& monitor_;
    UniformRandom random_;
};
