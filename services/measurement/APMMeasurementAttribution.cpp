#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/NSURL.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAEU.h"
#include "services/measurement/APMDeepLinkInfo.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/util/DOZIvedidi.h"

namespace {

constexpr const char* kDeepLinkKey = "/zevera/measurement/deep_link";
constexpr const char* kDeepLinkTimestampKey = "/zevera/measurement/deep_link_timestamp_seconds";
constexpr const char* kDeferredDeepLinkInfoKey = "ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
constexpr const char* kNotSet = "(not set)";
constexpr std::int64_t kHourInMs = 3600000;

// URL query key -> campaign event parameter.
constexpr std::pair<const char*, const char*> kCampaignParameters[] = {
    {"aclid", "aclid"},       {"anid", "anid"},           {"utm_campaign", "campaign"},
    {"cis", "_cis"},          {"utm_content", "content"}, {"cp1", "cp1"},
    {"zclid", "zclid"},       {"zbraid", "zbraid"},       {"utm_medium", "medium"},
    {"utm_source", "source"}, {"utm_term", "term"},
};

// The query of a URL text (what follows the first "?", up to a "#").
std::string queryOfURL(const std::string& url) {
    const auto withoutFragment = url.substr(0, url.find('#'));
    const auto mark = withoutFragment.find('?');
    return mark == std::string::npos ? std::string() : withoutFragment.substr(mark + 1);
}

// Only unreserved characters stay, so no identifier can add arguments of its
// own to the request.
std::string percentEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool nonEmptyString(const Value* value) {
    return value && value->isString() && !value->asString().value_or("").empty();
}

// The stored launch URL is kept in the application's standard defaults.
APMConfigStore& launchURLStore() {
    return *APMUserDefaults::standardUserDefaults();
}

void storeLaunchURL(const std::string& url) {
    APMConfigStore& store = launchURLStore();
    store.setObject(Value(url), kDeepLinkKey);
    store.setDouble(sim::wallClockSeconds(), kDeepLinkTimestampKey);
}

std::shared_ptr<APMRemoteConfig> configOf(const std::shared_ptr<APMRemoteConfig>& config) {
    return config ? config : APMRemoteConfig::defaultInstance();
}

bool isStoredLinkExpired(APMConfigStore& store, double ttl) {
    auto stamp = store.objectForKey(kDeepLinkTimestampKey);
    if (!stamp || !stamp->isNumber()) return false;
    return std::fabs(sim::wallClockSeconds() - stamp->asDouble().value_or(0)) > ttl;
}

}  // namespace

// ---- Launch URL

void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(
    const NSNotification& notification) {
    const Dictionary& info = notification.userInfo;
    // The launch carries a browsing activity as a dictionary of its
    // properties ("activityType", "webpageURL").
    if (const Value* activities = info.find("UIApplicationLaunchOptionsUserActivityDictionaryKey");
        activities && activities->asDictionary() && !activities->asDictionary()->empty()) {
        const Value* activity =
            activities->asDictionary()->find("UIApplicationLaunchOptionsUserActivityKey");
        const Dictionary* properties = activity ? activity->asDictionary() : nullptr;
        if (properties) {
            const Value* type = properties->find("activityType");
            const Value* page = properties->find("webpageURL");
            if (type && type->asString() == std::string("NSUserActivityTypeBrowsingWeb") &&
                nonEmptyString(page)) {
                storeLaunchURL(*page->asString());
                return;
            }
        }
    }
    if (const Value* url = info.find("UIApplicationLaunchOptionsURLKey"); nonEmptyString(url))
        storeLaunchURL(*url->asString());
}

void APMMeasurement::clearExpiredStoredDeepLinkOnWorkerQueue() {
    checkOnBackgroundThread("clearExpiredStoredDeepLinkOnWorkerQueue");
    APMConfigStore& store = launchURLStore();
    if (isStoredLinkExpired(store, configOf(remoteConfigInstance())->attributionCacheTTLInterval()))
        APMRemoveStoredDeepLink(store);
}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(
    std::optional<std::int64_t> clickTimestampInMs) {
    checkOnBackgroundThread("reportStoredCampaignEventWithClickTimestampInMillisOnWorkerQueue:");
    APMConfigStore& store = launchURLStore();
    auto stored = store.stringForKey(kDeepLinkKey);
    if (!stored || stored->empty()) return;
    const bool expired =
        isStoredLinkExpired(store, configOf(remoteConfigInstance())->attributionCacheTTLInterval());
    // A URL stored without its time counts as stored now.
    auto stamp = store.objectForKey(kDeepLinkTimestampKey);
    const double storedAt =
        stamp && stamp->isNumber() ? stamp->asDouble().value_or(0) : sim::wallClockSeconds();
    std::string url;
    Dictionary extra;
    if (expired) {
        url = kNotSet;
        extra.set("utm_source", kNotSet);
        extra.set("utm_medium", kNotSet);
        extra.set("_cc", 1LL);
    } else {
        url = *stored;
        const auto storedMs = static_cast<std::int64_t>(storedAt * 1000);
        extra.set("_cc", static_cast<long long>(storedMs / kHourInMs * kHourInMs - kHourInMs));
    }
    APMRemoveStoredDeepLink(store);
    handleOpenURLOnWorkerQueue(url, clickTimestampInMs, storedAt, extra);
}

// ---- URLs that open the running application

std::optional<std::string> APMMeasurement::deepLinkFromUserActivity(
    const std::shared_ptr<NSObject>& activity) {
    if (!activity) {
        monitor().logWithLevel(7, 23003, "User Activity is empty. User Activity");
        return std::nullopt;
    }
    auto object = std::dynamic_pointer_cast<RuntimeObject>(activity);
    if (!object || !object->respondsToSelector("activityType") ||
        !object->respondsToSelector("webpageURL")) {
        monitor().logWithLevel(3, 23005, "NSUserActivity is not supported");
        return std::nullopt;
    }
    auto url = objc_msgSend<std::string>(object, "webpageURL");
    if (objc_msgSend<std::string>(object, "activityType") != "NSUserActivityTypeBrowsingWeb" ||
        url.empty()) {
        monitor().logWithLevel(3, 23006, "User Activity does not have Deep Link. User Activity",
                               APMMonitorContext(activity));
        return std::nullopt;
    }
    return url;
}

void APMMeasurement::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds) {
    if (DispatchQueue::currentLabel() == worker_->label()) {
        monitor().logWithLevel(
            2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
        return;
    }
    handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void APMMeasurement::handleOpenURL(const std::string& url,
                                   std::optional<std::int64_t> clickTimestampInMs,
                                   double eventTimestampInSeconds) {
    if (url.empty()) return;
    handleDebugModeWithURL(url);
    handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds);
}

void APMMeasurement::handleDebugModeWithURL(const std::string&) {}

void APMMeasurement::handleDeepLink(const std::string& url,
                                    std::optional<std::int64_t> clickTimestampInMs,
                                    double eventTimestampInSeconds) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue(
        "APMMeasurement:388", [weak, url, clickTimestampInMs, eventTimestampInSeconds] {
            auto self = weak.lock();
            if (!self) return;
            monitor().logWithLevel(7, 23242, "Handling deep link. URL, time", Value(url),
                                   Value(eventTimestampInSeconds));
            self->handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds, {});
        });
}

std::vector<std::pair<std::string, double>> APMMeasurement::openedURLs() {
    worker_->sync([] {});
    std::vector<std::pair<std::string, double>> urls;
    for (const auto& line : monitor().lines()) {
        if (line.messageCode != 23242 || line.contexts.size() != 2) continue;
        urls.emplace_back(line.contexts[0].asString().value_or(""),
                          line.contexts[1].asDouble().value_or(0));
    }
    return urls;
}

// ---- The campaign event

bool APMMeasurement::isValidCampaignURLParamDictionary(const Dictionary& parameters) {
    for (const char* key : {"utm_campaign", "zclid", "utm_medium", "utm_source", "zbraid"}) {
        if (nonEmptyString(parameters.find(key))) return true;
    }
    return false;
}

bool APMMeasurement::shouldAllowClickID() {
    auto identity = attributionIdentity();
    if (!identity || !identity->iOS14OrAbove()) return true;
    const auto deviceID = identity->resettableDeviceID();
    return (deviceID && !deviceID->empty()) || identity->appleConsentStatus() == 3;
}

void APMMeasurement::handleOpenURLOnWorkerQueue(const std::string& url,
                                                std::optional<std::int64_t> clickTimestampInMs,
                                                double eventTimestampInSeconds,
                                                const Dictionary& extraParameters) {
    checkOnBackgroundThread(
        "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
    Dictionary campaign;
    std::vector<std::pair<std::string, Value>> numbers;
    for (const auto& [key, value] : extraParameters) {
        if (value.isString())
            campaign.set(key, value);
        else if (value.isNumber())
            numbers.emplace_back(key, value);
    }
    for (const auto& [key, value] : apm_dictionaryWithHttpArgumentsString(queryOfURL(url)))
        campaign.set(key, value);
    if (campaign.empty()) {
        monitor().logWithLevel(7, 23000, "Deep Link Web URL query is empty");
        return;
    }
    if (!isValidCampaignURLParamDictionary(campaign)) {
        monitor().logWithLevel(3, 23001,
                               "Deep Link does not contain valid required params. URL params",
                               APMMonitorContext(Value(campaign)));
        return;
    }

    APMRawParameters parameters;
    for (const auto& [key, name] : kCampaignParameters) {
        const Value* value = campaign.find(key);
        if (nonEmptyString(value)) parameters.insert_or_assign(name, *value);
    }
    if (!shouldAllowClickID()) parameters.erase("zclid");
    for (const auto& [key, value] : numbers) parameters.insert_or_assign(key, value);
    if (clickTimestampInMs)
        parameters.insert_or_assign("click_timestamp",
                                    APMValue::initWithInt64(*clickTimestampInMs));

    const double firstOpen =
        static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000;
    const double timestamp = std::max(firstOpen, eventTimestampInSeconds);

    if (auto zbraid = parameters.find("zbraid"); zbraid != parameters.end()) {
        const Value* text = std::get_if<Value>(&zbraid->second);
        if (nonEmptyString(text)) {
            if (auto value = APMValue::initWithString(text)) {
                if (auto property =
                        APMUserAttribute::initWithOrigin("auto", "_zbraid", *value, timestamp))
                    setUserPropertyInDatabaseOnWorkerQueue(*property);
            }
        }
    }

    bool crossChannel = false;
    if (auto cc = parameters.find("_cc"); cc != parameters.end()) {
        const Value* number = std::get_if<Value>(&cc->second);
        crossChannel = number && number->isNumber() && number->asDouble() == 1.0;
    }
    auto event = APMEvent::initWithOrigin("auto", false, crossChannel ? "_cmpx" : "_cmp", timestamp,
                                          0, parameters);
    if (!event) return;
    // The write path tells the event listeners; telling them here as well
    // would report one campaign twice.
    handleInternalEventOnWorkerQueue(*event);
}

// ---- Deferred deep link

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
    auto config = configOf(remoteConfigInstance());
    if (!config->isDeferredDeepLinkEnabled()) {
        monitor().logWithLevel(5, 23243, "Deferred Deep Link feature disabled");
        return false;
    }
    const Value* switched =
        NSBundle::mainBundle()->objectForInfoDictionaryKey(kDeferredDeepLinkInfoKey);
    if (!switched || !switched->isBool() || !switched->asBool().value_or(false)) return false;
    if (persistedConfig_->deferredDeepLinkRetrievalComplete()) {
        monitor().logWithLevel(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
        return false;
    }
    if (persistedConfig_->deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
        monitor().logWithLevel(3, 23195,
                               "Failed to retrieve Deferred Deep Link. Reached retry limit");
        persistedConfig_->setDeferredDeepLinkRetrievalComplete(Value(1LL));
        return false;
    }
    auto identity = attributionIdentity();
    if (!identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking()) {
        monitor().logWithLevel(3, 23196,
                               "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
        return false;
    }
    monitor().logWithLevel(7, 23197, "Deferred Deep Link feature enabled");
    return true;
}

void APMMeasurement::requestDeferredDeepLink() {
    auto identity = attributionIdentity();
    const std::string rdid = identity ? identity->resettableDeviceID().value_or("") : "";
    std::string query =
        "sdk_version=" + std::to_string(APMIdentity::redIdizezadoduLibraryVersion()) +
        "&rdid=" + percentEncoded(rdid) + "&id_type=idfa&bundleid=" + percentEncoded(appID_) +
        "&retry=" + std::to_string(persistedConfig_->deferredDeepLinkRetryCount());
    const auto arguments = NSProcessInfo::processInfo()->arguments();
    if (std::find(arguments.begin(), arguments.end(), "-DebugDeferredDeepLink") !=
            arguments.end() &&
        !APMAEU::isFAS())
        query += "&ddl_test=1";
    auto url = NSURL::URLWithString(std::string("https://") + kDeferredDeepLinkHost +
                                    "/ads/conversion/app/deeplink?" + query);
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
    if (!url || !network) {
        monitor().logWithLevel(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
        return;
    }
    setIsNetworkRequestPending(true);
    network->setTimeoutInterval(configOf(remoteConfigInstance())->networkTimeout());
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    network->getURL(
        *url, {}, worker_, false,
        [weak](std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> data,
               std::optional<NSError> error) {
            auto self = weak.lock();
            if (!self) return;
            self->setIsNetworkRequestPending(false);
            const long status = response ? response->statusCode() : 0;
            if (error || (status != 200 && status != 304 && status != 204)) {
                monitor().logWithLevel(
                    1, 23199,
                    "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                    APMMonitorContext(Value(static_cast<long long>(status))),
                    error ? APMMonitorContext(*error) : APMMonitorContext());
                auto& config = *self->persistedConfig_;
                config.setDeferredDeepLinkRetryCount(config.deferredDeepLinkRetryCount() + 1);
                self->updateSchedule();
                return;
            }
            self->persistedConfig_->setDeferredDeepLinkRetrievalComplete(Value(0LL));
            auto info = deepLinkInfoFromResponseData(data);
            if (!info) {
                self->updateSchedule();
                return;
            }
            monitor().logWithLevel(7, 23200, "Successfully retrieved Deferred Deep Link");
            self->handleDeferredDeepLinkInfo(*info);
        });
}

std::optional<Dictionary> APMMeasurement::deepLinkInfoFromResponseData(
    const std::optional<Data>& data) {
    APMDeepLinkInfoFailure failure = APMDeepLinkInfoFailure::None;
    NSError error;
    auto info = APMDeepLinkInfoFromData(data.value_or(Data{}), &failure, &error);
    if (failure == APMDeepLinkInfoFailure::EmptyData)
        monitor().logWithLevel(8, 23201, "Deferred Deep Link response is empty");
    if (failure == APMDeepLinkInfoFailure::NotJSON)
        monitor().logWithLevel(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error",
                               APMMonitorContext(error));
    return info;
}

void APMMeasurement::handleDeferredDeepLinkInfo(const Dictionary& info) {
    const Value* link = info.find("deeplink");
    const auto url = link ? link->asString() : std::nullopt;
    if (!url || !NSURL::URLWithString(*url)) return;
    Dictionary extra{{"cis", "ddp"}};
    for (const char* key : {"zclid", "zbraid"}) {
        if (const Value* value = info.find(key); value && !value->isNull()) extra.set(key, *value);
    }
    Dictionary extraInfo;
    if (const Value* stamp = info.find("timestamp"); stamp && !stamp->isNull())
        extraInfo.set("timestamp", *stamp);
    monitor().logWithLevel(8, 23203, "Sending Deferred Deep Link to app delegate");
    const double eventTimestamp = sim::wallClockSeconds();
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    DispatchQueue::main()->async([weak, url = *url, extra, extraInfo, eventTimestamp] {
        if (!sendDeepLinkURLToAppDelegateOnMainThread(url, extraInfo)) {
            monitor().logWithLevel(3, 23204,
                                   "App delegate not configured to handle Deferred Deep Link",
                                   APMMonitorContext(Value(url)));
            return;
        }
        auto self = weak.lock();
        if (!self) return;
        self->scheduleOnWorkerQueue("APMMeasurement:310", [weak, url, extra, eventTimestamp] {
            if (auto engine = weak.lock())
                engine->handleOpenURLOnWorkerQueue(url, std::nullopt, eventTimestamp, extra);
        });
    });
}

bool APMMeasurement::sendDeepLinkURLToAppDelegateOnMainThread(const std::string&,
                                                              const Dictionary&) {
    return false;
}

// ---- Tests

void APMMeasurement::setAttributionIdentityForTesting(std::shared_ptr<APMIdentity> identity) {
    worker_->sync([&] { attributionIdentityForTesting_ = std::move(identity); });
}

std::shared_ptr<APMIdentity> APMMeasurement::attributionIdentity() {
    if (attributionIdentityForTesting_) return attributionIdentityForTesting_;
    return identity() ? identity() : APMIdentity::sharedInstance();
}
