#pragma once
// Asks the platform's search-ads attribution service whether this
// installation came from a search-ads campaign and, when it did, logs one
// campaign event "_cmp" (origin "auto", source "Apple", medium "search").
// A lookup runs at most once a day and at most ten times in the life of the
// installation; once an answer is recorded, none runs again.
//
// Threads: the alarm fires on the worker queue; answers arrive on whatever
// thread the service chooses. Scheduling is serialised by one lock and the
// answer is checked and recorded under another, so two answers never both
// log the event.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMValue.h"

class APMAlarm;
class APMPersistedConfig;
class DispatchQueue;
class NSObject;

class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
  public:
    static constexpr int64_t kMaxLookups = 10;
    static constexpr double kRetryInterval = 86400;
    static constexpr const char* kAlarmName = "Search Ad campaign report alarm";

    // Where "_cmp" goes; the default hands it to the shared engine's write
    // path.
    using EventLogger =
        std::function<void(const std::string& name, const APMEventParameters& parameters)>;
    static EventLogger engineLogger();

    // Null without a queue or settings, once an answer is recorded, or after
    // ten lookups.
    static std::shared_ptr<APMSearchAdReporter> initWithWorkerQueue(
        std::shared_ptr<DispatchQueue> workerQueue,
        std::shared_ptr<APMPersistedConfig> persistedConfig, EventLogger logger = engineLogger());

    class ConstructionKey {
        friend class APMSearchAdReporter;
        ConstructionKey() = default;
    };
    APMSearchAdReporter(ConstructionKey, std::shared_ptr<DispatchQueue> workerQueue,
                        std::shared_ptr<APMPersistedConfig> persistedConfig, EventLogger logger);
    ~APMSearchAdReporter();
    APMSearchAdReporter(const APMSearchAdReporter&) = delete;
    APMSearchAdReporter& operator=(const APMSearchAdReporter&) = delete;

    bool isSearchAdReporterEnabled() const { return enabled_; }
    void setSearchAdReporterEnabled(bool enabled) { enabled_ = enabled; }

    // Does nothing (logged) when the attribution client is missing.
    void start();
    void scheduleSearchAdReport();
    // The alarm's action: one lookup.
    void maybeLogIAdCampaignEvent();
    void fetchAttributionDetails();
    void logCampaignEventWithSearchAdCampaign(bool isSearchAdCampaign, const std::string& campaign,
                                              const std::string& term);
    // Cancels the alarm and releases it for good.
    void cancelScheduling();
    // True while the alarm exists and is armed.
    bool isScheduled() const;

    // The platform's attribution client ("ADClient" sharedClient), or null
    // when the class is missing.
    static std::shared_ptr<NSObject> adClientInstance();

  private:
    void scheduleLocked();
    void cancelSchedulingLocked();
    void handleAttributionAnswer(const std::optional<Dictionary>& details,
                                 const std::optional<NSError>& error);

    std::shared_ptr<DispatchQueue> workerQueue_;
    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    EventLogger logger_;
    std::atomic<bool> enabled_{false};
    mutable std::recursive_mutex schedulingMutex_;
    std::unique_ptr<APMAlarm> alarm_;  // null once scheduling is cancelled
    std::mutex recordingMutex_;
};
