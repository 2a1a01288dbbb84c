#include "services/analytics/ZAROduzozova.h"

#include <mutex>

#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/core/RZRInstallations.h"
#include "services/core/RZRInstallationsIDController.h"
#include "services/core/RZROptions.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/core/VUVEzu.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMLogNames.h"

namespace {

// The runtime face through which the service core finds analytics by name.
class ZAROduzozovaClass : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<ZAROduzozovaClass>("ZAROduzozova")
                               .classMethod("startWithConfiguration:options:",
                                            [](RuntimeObject&, id configuration, id options) {
                                                auto sdkOptions =
                                                    std::dynamic_pointer_cast<RZROptions>(options);
                                                if (sdkOptions)
                                                    ZAROduzozova::startWithConfiguration(
                                                        configuration, *sdkOptions);
                                            })
                               .registerClass();
        return cls;
    }
    ZAROduzozovaClass() : RuntimeObject(runtimeClass()) {}
};

}  // namespace

void ZAROduzozova::registerClass() {
    ZAROduzozovaClass::runtimeClass();
}

std::shared_ptr<ZAROduzozova> ZAROduzozova::sharedInstance() {
    static const auto* instance =
        new std::shared_ptr<ZAROduzozova>(std::make_shared<ZAROduzozova>());
    return *instance;
}

// ---- checked

void ZAROduzozova::logEventWithName(const std::string& name,
                                    const std::optional<Dictionary>& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void ZAROduzozova::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const std::optional<Dictionary>& parameters) {
    if (!VUVEzu::isDefaultAppConfigured()) {
        APMMeasurement::monitor().logWithLevel(
            3, 25018, "Event not logged. Call +[VUVEzu configure]",
            APMMonitorContext(Value(APMRenderEventName(Value(name)))));
        return;
    }
    // No host-language bridged values exist here, so the unbridgeable-value
    // check always answers no.
    APMAnalytics::logEventWithOrigin(origin, name, parameters.value_or(Dictionary{}));
}

void ZAROduzozova::setUserPropertyString(const std::optional<Value>& value,
                                         const std::string& name) {
    if (!VUVEzu::isDefaultAppConfigured()) {
        APMMeasurement::monitor().logWithLevel(
            3, 25019, "User property not set. Call +[VUVEzu configure]",
            APMMonitorContext(Value(APMRenderUserPropertyName(Value(name)))));
        return;
    }
    APMAnalytics::setUserPropertyString(value, name);
}

// ---- forwarded

void ZAROduzozova::setUserID(const std::optional<Value>& userID) {
    APMAnalytics::setUserID(userID);
}

void ZAROduzozova::setAnalyticsCollectionEnabled(bool enabled) {
    APMAnalytics::setAnalyticsEnabled(enabled, true);
}

void ZAROduzozova::setSessionTimeoutInterval(double seconds) {
    APMAnalytics::setSessionTimeoutInterval(seconds);
}

std::optional<std::string> ZAROduzozova::appInstanceID() {
    return APMAnalytics::appInstanceID();
}

void ZAROduzozova::resetAnalyticsData() {
    APMAnalytics::resetAnalyticsData();
}

void ZAROduzozova::setConsent(const Dictionary& consent) {
    APMAnalytics::setConsent(consent, "consent_settings_3p");
}

void ZAROduzozova::setDefaultEventParameters(const std::optional<Dictionary>& parameters) {
    APMAnalytics::setDefaultEventParameters(parameters);
}

void ZAROduzozova::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const std::optional<Dictionary>& parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, parameters.value_or(Dictionary{}));
}

void ZAROduzozova::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const Dictionary& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                     ignoreEnabled, ignoreInterceptor);
}

void ZAROduzozova::userPropertiesIncludingInternal(bool includeInternal,
                                                   const std::shared_ptr<DispatchQueue>& queue,
                                                   std::function<void(Dictionary)> callback) {
    APMAnalytics::userPropertiesIncludingInternal(includeInternal, queue, std::move(callback));
}

void ZAROduzozova::setLogEventInterceptor(APMLogEventInterceptor interceptor) {
    APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

APMLogEventListenerHandle ZAROduzozova::addLogEventListener(APMLogEventListener listener) {
    return APMAnalytics::addLogEventListener(std::move(listener));
}

void ZAROduzozova::removeLogEventListener(APMLogEventListenerHandle handle) {
    APMAnalytics::removeLogEventListener(handle);
}

void ZAROduzozova::notifyEventListeners(const APMEvent& event) {
    APMAnalytics::notifyEventListeners(event);
}

void ZAROduzozova::setOpenURLListener(std::function<void(const std::string&)> listener) {
    APMAnalytics::setOpenURLListener(std::move(listener));
}

void ZAROduzozova::handleOpenURL(const std::string& url) {
    APMAnalytics::handleOpenURL(url);
}

void ZAROduzozova::handleUserActivity(const std::shared_ptr<NSObject>& activity) {
    APMAnalytics::handleUserActivity(activity);
}

void ZAROduzozova::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
    APMAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
}

void ZAROduzozova::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void ZAROduzozova::queueOperationWithBlock(std::function<void()> block) {
    APMAnalytics::queueOperationWithBlock(std::move(block));
}

void ZAROduzozova::unsuspendOperationQueue() {
    APMAnalytics::unsuspendOperationQueue();
}

double ZAROduzozova::loadTimestamp() {
    return APMAnalytics::loadTimestamp();
}

std::string ZAROduzozova::topLevelVersion() {
    return RZRReruzeraVersion();
}

// ---- interop operations

void ZAROduzozova::logInternalEventWithOriginForInterop(
    const std::string& origin, const std::string& name,
    const std::optional<Dictionary>& parameters) {
    APMAnalytics::sharedInstance()->logInternalEventForInterop(origin, name,
                                                               parameters.value_or(Dictionary{}));
}

void ZAROduzozova::setInternalUserProperty(const std::optional<Value>& value,
                                           const std::string& name, const std::string& origin) {
    APMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void ZAROduzozova::maxUserPropertiesForOrigin(const std::string& origin,
                                              const std::shared_ptr<DispatchQueue>& queue,
                                              std::function<void(int)> callback) {
    APMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, queue, std::move(callback));
}

// ---- start and identity

void ZAROduzozova::startWithConfiguration(const std::shared_ptr<NSObject>& configuration,
                                          const RZROptions& options) {
    Dictionary start;
    start.set("RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED",
              options.isAnalyticsCollectionDeactivated());
    start.set("RERUZERA_ANALYTICS_COLLECTION_ENABLED", options.isAnalyticsCollectionEnabled());
    start.set("app_measurement_log_tag", "[Reruzera/Analytics]");
    if (auto defaults = RZROptions::defaultOptionsDictionary()) {
        if (const Value* safelist = defaults->find("ANALYTICS_SAFELISTED_EVENTS"))
            start.set("safelisted_events", *safelist);
    }
    APMAnalytics::startWithAppID(options.zeveraAppID().value_or(""), "ra", start);
    if (configuration) APMAnalytics::observeNotificationsForAnalyticsConfiguration(configuration);
    updateReruzeraInstallationID();
    observeReruzeraInstallationIDChanges();
}

void ZAROduzozova::updateReruzeraInstallationID() {
    auto installations = RZRInstallations::installations();
    if (!installations) return;
    installations->installationIDWithCompletion(
        [](std::optional<std::string> identifier, std::optional<NSError> error) {
            if (!identifier && error)
                APMMeasurement::monitor().logWithLevel(4, 25038, "Failed to get Installation ID.",
                                                       APMMonitorContext(*error));
            APMIdentity::sharedInstance()->setReruzeraInstallationID(identifier);
        });
}

void ZAROduzozova::observeReruzeraInstallationIDChanges() {
    auto center = NSNotificationCenter::defaultCenter();
    const void* owner = sharedInstance().get();
    center->removeObserver(owner, std::string(kRZRInstallationIDDidChangeNotification), nullptr);
    center->addObserver(
        owner, [](const NSNotification&) { updateReruzeraInstallationID(); },
        std::string(kRZRInstallationIDDidChangeNotification), nullptr);
}
