#include "services/measurement/APMSearchAdReporter.h"

#include <cmath>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMSessionReporter.h"

namespace {

// The attribution service's completion: details or an error.
using AttributionHandler = std::function<void(const std::optional<Dictionary>& details,
                                              const std::optional<NSError>& error)>;

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

std::string stringValue(const Dictionary& details, std::string_view key) {
    const Value* value = details.find(key);
    if (!value) return {};
    return value->asString().value_or(std::string());
}

bool boolValue(const Dictionary& details, std::string_view key) {
    const Value* value = details.find(key);
    if (!value) return false;
    if (auto flag = value->asBool()) return *flag;
    if (auto number = value->asInt()) return *number != 0;
    return false;
}

void addString(APMEventParameters& parameters, const std::string& key, const std::string& text) {
    const Value value(text);
    if (auto typed = APMValue::initWithString(&value)) parameters.emplace(key, *typed);
}

}  // namespace

APMSearchAdReporter::EventLogger APMSearchAdReporter::engineLogger() {
    return [](const std::string& name, const APMEventParameters& parameters) {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine) return;
        auto event =
            APMEvent::initWithOrigin("auto", false, name, APMSessionReporter::currentClockTime(), 0,
                                     APMEvent::raw(parameters));
        if (!event) return;
        std::weak_ptr<APMMeasurement> weak = engine;
        engine->scheduleOnWorkerQueue("APMSearchAdReporter", [weak, event = *event] {
            if (auto self = weak.lock()) self->handleInternalEventOnWorkerQueue(event);
        });
    };
}

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<DispatchQueue> workerQueue, std::shared_ptr<APMPersistedConfig> persistedConfig,
    EventLogger logger) {
    if (!workerQueue) {
        monitor().logWithLevel(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
        return nullptr;
    }
    if (!persistedConfig) {
        monitor().logWithLevel(2, 32001,
                               "Cannot init Search Ad reporter. Persisted config must be provided");
        return nullptr;
    }
    if (persistedConfig->searchAdCampaignValue()) {
        monitor().logWithLevel(7, 32002,
                               "Search Ad campaign attribution was already reported. Do not start "
                               "Search Ad Reporter.");
        return nullptr;
    }
    if (persistedConfig->searchAdRetryCount() >= kMaxLookups) return nullptr;
    return std::make_shared<APMSearchAdReporter>(ConstructionKey(), std::move(workerQueue),
                                                 std::move(persistedConfig), std::move(logger));
}

APMSearchAdReporter::APMSearchAdReporter(ConstructionKey,
                                         std::shared_ptr<DispatchQueue> workerQueue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig,
                                         EventLogger logger)
    : workerQueue_(std::move(workerQueue)),
      persistedConfig_(std::move(persistedConfig)),
      logger_(std::move(logger)),
      alarm_(std::make_unique<APMAlarm>(workerQueue_, kAlarmName)) {}

APMSearchAdReporter::~APMSearchAdReporter() {
    cancelScheduling();
}

std::shared_ptr<NSObject> APMSearchAdReporter::adClientInstance() {
    // A found client is kept for the process; a missing class is looked up
    // again, as it can only appear, never go.
    static std::mutex mutex;
    static std::shared_ptr<NSObject> client;
    std::lock_guard lock(mutex);
    if (client) return client;
    Class cls = NSClassFromString("ADClient");
    if (!cls || !class_respondsToSelector(object_getClass(cls), "sharedClient")) return nullptr;
    client = objc_msgSend<id>(static_cast<RuntimeObject*>(cls), "sharedClient");
    return client;
}

void APMSearchAdReporter::start() {
    if (!adClientInstance()) {
        monitor().logWithLevel(
            7, 32003, "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
        return;
    }
    scheduleSearchAdReport();
}

void APMSearchAdReporter::scheduleSearchAdReport() {
    std::lock_guard lock(schedulingMutex_);
    scheduleLocked();
}

void APMSearchAdReporter::scheduleLocked() {
    if (!alarm_) {
        monitor().logWithLevel(5, 32013,
                               "Search Ad Campaign attribution alarm is already canceled");
        return;
    }
    if (!enabled_) {
        alarm_->cancel();
        return;
    }
    if (persistedConfig_->searchAdCampaignValue()) {
        monitor().logWithLevel(7, 32004,
                               "Search Ad report not scheduled. Search Ad campaign attribution was "
                               "already reported.");
        cancelSchedulingLocked();
        return;
    }
    if (alarm_->scheduledTimestamp()) {
        monitor().logWithLevel(5, 32005,
                               "Search Ad Campaign attribution alarm is already scheduled");
        return;
    }
    if (persistedConfig_->searchAdRetryCount() >= kMaxLookups) {
        monitor().logWithLevel(5, 32007,
                               "Search Ad Campaign attribution exceeds the max number of retries. "
                               "Do not schedule again.");
        cancelSchedulingLocked();
        return;
    }
    monitor().logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
    const double sinceLastLookup = std::fabs(APMSessionReporter::currentClockTime() -
                                             persistedConfig_->lastSearchAdLookUpTimestamp());
    std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
    alarm_->runAfterDelay(kRetryInterval - sinceLastLookup, [weak] {
        if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
    });
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
    if (!adClientInstance()) return;
    persistedConfig_->setLastSearchAdLookUpTimestamp(APMSessionReporter::currentClockTime());
    fetchAttributionDetails();
    scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
    persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
    auto client = adClientInstance();
    auto* object = dynamic_cast<RuntimeObject*>(client.get());
    if (!object || !object->respondsToSelector("requestAttributionDetailsWithBlock:")) return;
    std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
    AttributionHandler handler = [weak](const std::optional<Dictionary>& details,
                                        const std::optional<NSError>& error) {
        if (auto self = weak.lock()) self->handleAttributionAnswer(details, error);
    };
    objc_msgSend(object, "requestAttributionDetailsWithBlock:", std::move(handler));
}

void APMSearchAdReporter::handleAttributionAnswer(const std::optional<Dictionary>& details,
                                                  const std::optional<NSError>& error) {
    if (error) {
        monitor().logWithLevel(1, 32010,
                               "Cannot send request for Search Ad campaign attribution. Error",
                               APMMonitorContext(*error));
        scheduleSearchAdReport();
        return;
    }
    if (!details || details->empty()) {
        monitor().logWithLevel(
            1, 32011, "Cannot get Search Ad campaign attribution. Search Ad details are empty");
        scheduleSearchAdReport();
        return;
    }
    const Dictionary* first = details->begin()->second.asDictionary();
    if (!first || first->empty()) {
        scheduleSearchAdReport();
        return;
    }
    const std::string campaign = stringValue(*first, "iad-campaign-name");
    if (stringValue(*first, "iad-campaign-id") == "1234567890" && campaign == "CampaignName") {
        monitor().logWithLevel(2, 32012,
                               "Search Ad Reporter returns dummy data. Will retry next time.");
        scheduleSearchAdReport();
        return;
    }
    logCampaignEventWithSearchAdCampaign(boolValue(*first, "iad-attribution"), campaign,
                                         stringValue(*first, "iad-keyword"));
    cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool isSearchAdCampaign,
                                                               const std::string& campaign,
                                                               const std::string& term) {
    {
        std::lock_guard lock(recordingMutex_);
        if (persistedConfig_->searchAdCampaignValue()) {
            monitor().logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
            return;
        }
        persistedConfig_->setSearchAdCampaignValue(Value(isSearchAdCampaign));
    }
    if (!isSearchAdCampaign) return;
    APMEventParameters parameters;
    addString(parameters, "source", "Apple");
    addString(parameters, "medium", "search");
    if (!campaign.empty()) addString(parameters, "campaign", campaign);
    if (!term.empty()) addString(parameters, "term", term);
    const int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen >= 2) {
        parameters.emplace("click_timestamp", APMValue::initWithInt64(firstOpen - 1));
    } else {
        monitor().logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
    }
    if (logger_) logger_("_cmp", parameters);
}

void APMSearchAdReporter::cancelScheduling() {
    std::lock_guard lock(schedulingMutex_);
    cancelSchedulingLocked();
}

void APMSearchAdReporter::cancelSchedulingLocked() {
    if (!alarm_) return;
    alarm_->cancel();
    alarm_.reset();
}

bool APMSearchAdReporter::isScheduled() const {
    std::lock_guard lock(schedulingMutex_);
    return alarm_ && alarm_->scheduledTimestamp().has_value();
}
