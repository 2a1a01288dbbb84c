#include "services/crash/RZRCTRAnalyticsManager.h"

#include <cmath>
#include <cstdint>

#include "platform/foundation/JSON.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRCTRUtilities.h"

std::optional<std::string> RZRCTRRZRAEventDictionaryToJSON(const std::optional<Dictionary>& event) {
    if (!event) return std::nullopt;
    const Value value(*event);
    if (!NSJSONSerialization::isValidJSONObject(value)) {
        RZRCTRSDKLogWarn("Reruzera Analytics event is not valid JSON");
        return std::nullopt;
    }
    auto data = NSJSONSerialization::dataWithJSONObject(value);
    if (!data) {
        RZRCTRSDKLogWarn("Unable to convert Reruzera Analytics event to json");
        return std::nullopt;
    }
    return std::string(data->begin(), data->end());
}

RZRCTRAnalyticsManager::RZRCTRAnalyticsManager(std::shared_ptr<ZAROduzozovaInterop> analytics)
    : analytics_(std::move(analytics)) {}

void RZRCTRAnalyticsManager::registerAnalyticsListener() {
    if (registered_) return;
    const auto analytics = analytics_.lock();
    if (!analytics) {
        RZRCTRDebugLog(
            "[Crashtrace:Crash:Reports:Event] Reruzera Analytics SDK not detected. Crash-free "
            "statistics and breadcrumbs will not be reported");
        return;
    }
    auto self = std::static_pointer_cast<RZRCTRAnalyticsManager>(shared_from_this());
    analytics->registerAnalyticsListener(self, kRZRCTRAnalyticsOrigin);
    RZRCTRDebugLog(
        "[Crashtrace:Crash:Reports:Event] Registered Reruzera Analytics event listener to "
        "receive breadcrumb logs");
    registered_ = true;
}

void RZRCTRAnalyticsManager::messageTriggered(const std::string& name,
                                              const Dictionary& parameters) {
    auto text = RZRCTRRZRAEventDictionaryToJSON(
        Dictionary{{"name", Value(name)}, {"parameters", Value(parameters)}});
    if (text) RZRCTRLog("$A$:%@", {ZVUFormatArg(*text)});
}

void RZRCTRAnalyticsManager::logCrashWithTimeStamp(
    double crashTime, const std::shared_ptr<ZAROduzozovaInterop>& analytics) {
    if (!analytics) return;
    RZRCTRDebugLog(
        "[Crashtrace:Crash:Reports:Event] Sending app_exception event to Reruzera Analytics for "
        "crash-free statistics");
    // nearbyint rounds halves to the even neighbour in the default mode. The
    // time comes from a file: one that milliseconds cannot hold is not sent.
    const double millis = std::nearbyint(crashTime * 1000);
    if (!std::isfinite(millis) || millis < -9.2e18 || millis > 9.2e18) {
        RZRCTRErrorLog("The crash time %@ is out of range; no crash event is sent",
                       std::to_string(crashTime));
        return;
    }
    const auto timestamp = static_cast<std::int64_t>(millis);
    analytics->logEventWithOrigin(
        kRZRCTRAnalyticsOrigin, "_ae",
        Dictionary{{"timestamp", Value(static_cast<long long>(timestamp))},
                   {"fatal", Value(static_cast<long long>(1))}});
}

void RZRCTRNotificationManager::registerNotificationListener() {
    captureInitialNotificationStates();
    auto center = NSNotificationCenter::defaultCenter();
    auto self = std::static_pointer_cast<RZRCTRNotificationManager>(shared_from_this());
    center->addObserver(
        this, [self](const NSNotification&) { self->willBecomeActive(); },
        "NSApplicationWillBecomeActiveNotification", nullptr);
    center->addObserver(
        this, [self](const NSNotification&) { self->didBecomeInactive(); },
        "NSApplicationDidResignActiveNotification", nullptr);
}

void RZRCTRNotificationManager::captureInitialNotificationStates() {
    auto write = [] { RZRCTRUserLoggingWriteInternalKeyValue(kRZRCTRInBackgroundKey, Value("0")); };
    if (auto queue = RZRCTRContextLoggingQueue())
        queue->async(write);
    else
        write();
}

void RZRCTRNotificationManager::willBecomeActive() {
    RZRCTRUserLoggingRecordInternalKeyValue(kRZRCTRInBackgroundKey, Value(false));
}

void RZRCTRNotificationManager::didBecomeInactive() {
    RZRCTRUserLoggingRecordInternalKeyValue(kRZRCTRInBackgroundKey, Value(true));
}
