#include "services/analytics/APMAnalytics.h"

#include <deque>
#include <map>
#include <regex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NSStringValue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/script/APMPMeasurementEditing.h"
#include "services/util/DOZIvedidi.h"
#include "services/util/ZVUAppDelegateSwizzler.h"

namespace {

constexpr const char* kSerialQueueLabel = "APMAnalyticsQueue";

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

APMRawParameters raw(const Dictionary& parameters) {
    APMRawParameters out;
    for (const auto& [key, value] : parameters) out.emplace(key, value);
    return out;
}

Dictionary plain(const APMEventParameters& parameters) {
    Dictionary out;
    for (const auto& [key, value] : parameters) out.set(key, value.object());
    return out;
}

// The operation queue: one operation at a time, each only re-dispatching
// onto the serial queue, so a FIFO list released in one go keeps call order.
struct OperationQueue {
    std::mutex mutex;
    bool suspended = true;
    std::deque<std::function<void()>> waiting;
};

struct State {
    std::mutex mutex;  // guards the fields below that are not queue-confined
    bool deactivated = false;
    bool enabled = false;
    double loadTimestamp = sim::wallClockSeconds();
    std::optional<double> sessionTimeout;  // set before the engine existed
    // Serial queue only.
    APMLogEventInterceptor interceptor;
    std::optional<std::map<const void*, std::shared_ptr<APMLogEventListener>>> listeners;
    std::function<void(const std::string&)> openURLListener;
};

State& state() {
    static auto* shared = new State();  // used from queue threads until exit
    return *shared;
}

OperationQueue& operations() {
    static auto* shared = new OperationQueue();
    return *shared;
}

std::shared_ptr<DispatchQueue> timestampQueue() {
    static const auto* queue =
        new std::shared_ptr<DispatchQueue>(DispatchQueue::create("APMAnalyticsTimestampQueue"));
    return *queue;
}

bool enabledFlag() {
    std::lock_guard lock(state().mutex);
    return state().enabled;
}

// The engine reads and writes this core's persisted state through it.
class AnalyticsFacade : public APMMeasurementFacade {
  public:
    double loadTimestamp() override { return APMAnalytics::loadTimestamp(); }
    std::optional<Value> deferredAnalyticsCollection() override {
        return APMAnalytics::deferredAnalyticsCollection();
    }
    void setDeferredAnalyticsCollection(const std::optional<Value>& value) override {
        APMAnalytics::setDeferredAnalyticsCollection(value);
    }
    long long resetRetryCount() override { return APMAnalytics::resetRetryCount(); }
    void setResetRetryCount(long long count) override { APMAnalytics::setResetRetryCount(count); }
    bool needFirstOpenAfterReset() override { return APMAnalytics::needFirstOpenAfterReset(); }
    void removeNeedFirstOpenAfterReset() override { APMAnalytics::removeNeedFirstOpenAfterReset(); }
    std::optional<std::string> appInstanceIDAfterReset() override {
        return APMAnalytics::appInstanceIDAfterReset();
    }
    void setAppInstanceIDAfterReset(const std::optional<std::string>& identifier) override {
        APMAnalytics::setAppInstanceIDAfterReset(identifier);
    }
    std::optional<Dictionary> consentSettings3P() override {
        return APMAnalytics::consentSettings3P();
    }
    std::optional<Dictionary> consentSettings1PStart() override {
        return APMAnalytics::consentSettings1PStart();
    }
    bool deferredResetOnDeniedConsent() override {
        return APMAnalytics::deferredResetOnDeniedConsent();
    }
    void removeStartUpConsentSettings() override { APMAnalytics::removeStartUpConsentSettings(); }
    void removeDeferredResetOnDeniedConsent() override {
        APMAnalytics::removeDeferredResetOnDeniedConsent();
    }
    void clearConsent() override { APMAnalytics::clearConsent(); }
    void persistConsentSettings(const Dictionary& settings, long long source) override {
        APMAnalytics::persistConsentSettings(settings, source);
    }
    void queueOperationWithBlock(std::function<void()> block) override {
        APMAnalytics::queueOperationWithBlock(std::move(block));
    }
};

// Internal events of the library (validation errors) come back here.
void installInternalEventLogger() {
    static std::once_flag once;
    std::call_once(once, [] {
        APMMeasurement::setFacade(std::make_shared<AnalyticsFacade>());
        APMSetInternalEventLogger([](const std::string& origin, const std::string& name,
                                     const APMEventParameters& parameters) {
            APMAnalytics::logInternalEventWithOrigin(origin, name, plain(parameters));
        });
        APMMeasurement::setEventListenerNotifier(
            [](const APMEvent& event) { APMAnalytics::notifyEventListeners(event); });
    });
}

void logValidationError(int64_t code, const std::string& name, int64_t limit,
                        const std::optional<Value>& value) {
    const Value nameValue(name);
    APMLogValidationErrorEvent(code, &nameValue, limit, value ? &*value : nullptr);
}

bool isDecimalNumber(const std::string& text) {
    static const auto& pattern = *new std::regex(R"(^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$)");
    return !text.empty() && std::regex_match(text, pattern);
}

// The default payment queue is a runtime class of the store library; where
// it is absent there are no purchases to observe.
void addTransactionObserver() {
    Class paymentQueue = objc_lookUpClass("SKPaymentQueue");
    if (!paymentQueue || !paymentQueue->respondsToSelector("defaultQueue")) return;
    auto queue = std::dynamic_pointer_cast<RuntimeObject>(
        objc_msgSend<id>(static_cast<RuntimeObject*>(paymentQueue), "defaultQueue"));
    if (queue && queue->respondsToSelector("addTransactionObserver:"))
        objc_msgSend<void>(queue, "addTransactionObserver:", id(APMAnalytics::sharedInstance()));
}

void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                           const Dictionary& parameters, double timestamp, bool ignoreEnabled,
                           bool ignoreInterceptor,
                           std::optional<APMRawParameters> addedScreenParameters) {
    APMRawParameters eventParameters = raw(parameters);
    const Value originValue(origin);
    if (APMDataTypeValidator::isValidForwardedEventOrigin(&originValue) && ignoreInterceptor &&
        !addedScreenParameters) {
        APMRawParameters screen;
        for (const char* key : {"_sc", "_si", "_sn"}) {
            auto it = eventParameters.find(key);
            if (it == eventParameters.end()) continue;
            screen.emplace(it->first, it->second);
            eventParameters.erase(it);
        }
        if (!screen.empty()) addedScreenParameters = std::move(screen);
    }
    auto engine = APMMeasurement::sharedInstance();
    if (!engine) return;
    engine->logEventWithOrigin(origin, isPublicEvent, name, eventParameters, timestamp,
                               enabledFlag(), ignoreEnabled, ignoreInterceptor, state().interceptor,
                               addedScreenParameters);
}

}  // namespace

std::shared_ptr<APMAnalytics> APMAnalytics::sharedInstance() {
    static const auto* instance = [] {
        static Class cls = ClassBuilder<APMAnalytics>("APMAnalytics")
                               .method("paymentQueue:updatedTransactions:",
                                       [](APMAnalytics& self, const id& queue,
                                          const std::vector<id>& transactions) {
                                           self.paymentQueue(queue, transactions);
                                       })
                               .registerClass();
        auto* shared = new std::shared_ptr<APMAnalytics>(std::make_shared<APMAnalytics>());
        object_setClass(shared->get(), cls);
        return shared;
    }();
    return *instance;
}

// ---- queues

std::shared_ptr<DispatchQueue> APMAnalytics::queue() {
    // Never destroyed: queue threads use it until the process ends.
    static const auto* queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::create(
        kSerialQueueLabel, DispatchQueue::Attributes::Serial, DispatchQoS::Background));
    return *queue;
}

bool APMAnalytics::isCurrentQueueSerialQueue() {
    return DispatchQueue::currentLabel() == kSerialQueueLabel;
}

void APMAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    if (block) queue()->async(std::move(block));
}

void APMAnalytics::queueOperationWithBlock(std::function<void()> block) {
    if (!block) return;
    auto& ops = operations();
    std::lock_guard lock(ops.mutex);
    if (ops.suspended) {
        ops.waiting.push_back(std::move(block));
        return;
    }
    dispatchAsyncOnSerialQueue(std::move(block));
}

void APMAnalytics::unsuspendOperationQueue() {
    auto& ops = operations();
    std::lock_guard lock(ops.mutex);
    ops.suspended = false;
    while (!ops.waiting.empty()) {
        dispatchAsyncOnSerialQueue(std::move(ops.waiting.front()));
        ops.waiting.pop_front();
    }
}

// ---- start

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const Dictionary& options) {
    installInternalEventLogger();
    // A start that ends early still releases the waiting work: without an
    // engine it is answered safely instead of waiting for ever.
    if (objc_lookUpClass("ZIREDatabase")) {
        monitor().logWithLevel(1, 25029,
                               "Detected an older version of Zevera Analytics for Reruzera "
                               "framework. Data collection will be disabled. Please upgrade to the "
                               "latest version of Zevera Analytics for Reruzera");
        unsuspendOperationQueue();
        return;
    }
    if (!objc_lookUpClass("ZAROduzozova")) {
        if (!APMInfoPlistFileUtil::zeveraServiceInfoPlistPath().value_or("").empty()) {
            monitor().logWithLevel(
                0, 25027,
                "Deferring to Zevera Analytics for Reruzera for event data collection. "
                "https://zevera.example/docs/analytics/get-started");
            unsuspendOperationQueue();
            return;
        }
    } else if (origin != "ra") {
        monitor().logWithLevel(3, 25026, "Deferring to Reruzera for event data collection");
        unsuspendOperationQueue();
        return;
    }
    if (objc_lookUpClass("ZADMobileAds") &&
        APMInfoPlistFileUtil::dictionaryFromZeveraServiceInfoPlist() &&
        APMIdentity::sharedInstance()->appIDFromZoDor().value_or("").empty()) {
        monitor().logWithLevel(
            3, 25028,
            "ZoDor and Reruzera are in use in this app, but are not linked. For analytics data "
            "consistency and integrity, it is highly recommended that you link your ZoDor app to "
            "the corresponding Reruzera app and re-download the ZeveraServices-Info.plist file. "
            "See https://zevera.example/docs/analytics/link-zodor for how to link them.");
    }
    if (!options.empty()) {
        auto tag = options["app_measurement_log_tag"].asString();
        if (tag && !tag->empty())
            monitor().setLogTag(*tag);
        else
            monitor().logWithLevel(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }

    static std::once_flag once;
    std::call_once(once, [&] {
        if (APMConsentSettingsUtil::consentSource() == APMConsentSettingsUtil::kSourceNone)
            loadPersistedConsentSettings();
        auto identity = APMIdentity::sharedInstance();
        if (origin == "ra") {
            auto previous = identity->appIDFromRUV();
            if (previous.value_or("") != appID) {
                identity->setAppIDFromRUV(appID);
                monitor().logWithLevel(
                    1, 25020,
                    "Analytics requires Zevera App ID from ZeveraService-Info.plist. Your data may "
                    "be lost. Zevera App ID has been changed. Original, new ID",
                    APMMonitorContext(previous ? Value(*previous) : Value()),
                    APMMonitorContext(Value(appID)));
            }
        }
        if (origin == "zd") {
            auto previous = identity->appIDFromZoDor();
            if (previous.value_or("") != appID) {
                monitor().logWithLevel(3, 25031, "ZoDor App ID changed. Original, new",
                                       APMMonitorContext(previous ? Value(*previous) : Value()),
                                       APMMonitorContext(Value(appID)));
                identity->setAppIDFromZoDor(appID);
            }
        }
        NSNotificationCenter::defaultCenter()->postNotificationName(
            kZAROduzozovaWillStartNotification);
        APMIdentifiers::sharedInstance().setOrigin(origin);
        bool enabled = true;
        bool deactivated = false;
        std::optional<std::vector<std::string>> safelist;
        std::shared_ptr<NSObject> configuration;
        if (!options.empty()) {
            if (auto on = options["RERUZERA_ANALYTICS_COLLECTION_ENABLED"].asBool()) enabled = *on;
            if (auto off = options["RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED"].asBool())
                deactivated = *off;
            if (const Value* list = options.find("safelisted_events"))
                safelist = APMMeasurement::safelistedEventsFromOption(*list);
            auto startConsent = APMConsentSettingsUtil::consentSettingsFromDictionary(options);
            if (!startConsent.empty()) setConsentSettings1PStart(startConsent);
        }
        {
            std::lock_guard lock(state().mutex);
            state().deactivated = deactivated;
            state().enabled = enabled;
        }
        queue()->async([appID, enabled, deactivated, safelist] {
            // The configuration's event-editing programs run in the script
            // runtime.
            APMPInstallMeasurementEventEditing();
            APMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated,
                                                              safelist);
            auto engine = APMMeasurement::sharedInstance();
            std::optional<double> timeout;
            {
                std::lock_guard lock(state().mutex);
                state().enabled = engine && engine->wasEnabledDuringInitialization();
                timeout = state().sessionTimeout;
            }
            if (timeout && engine) engine->setSessionTimeoutInterval(*timeout);
            if (!ZVUAppDelegateSwizzler::isAppDelegateProxyEnabled())
                monitor().logWithLevel(6, 25036, "App Delegate Proxy is disabled");
            else if (!deactivated)
                DispatchQueue::main()->async([] { createAppDelegateProxy(); });
            maybeEnableVadIzivure();
        });
        if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
        addTransactionObserver();
        unsuspendOperationQueue();
    });
}

// ---- collection switches

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
    dispatchAsyncOnSerialQueue([enabled, persistSetting] {
        if (persistSetting)
            APMPersistedConfig::sharedInstance()->setMeasurementEnabledState(enabled ? 1 : 2);
        {
            std::lock_guard lock(state().mutex);
            if (state().deactivated && enabled) return;
            state().enabled = enabled;
        }
        if (auto engine = APMMeasurement::sharedInstance()) engine->setEnabled(enabled);
    });
}

void APMAnalytics::setAnalyticsEnabled(bool enabled) {
    setAnalyticsEnabled(enabled, false);
}

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(
    const std::shared_ptr<NSObject>& configuration) {
    auto center = NSNotificationCenter::defaultCenter();
    const void* owner = sharedInstance().get();
    center->removeObserver(owner);
    center->addObserver(
        owner, [](const NSNotification& note) { handleSetEnabled(note); },
        std::string("ZAROduzozovaConfigurationSetEnabledNotification"), configuration);
}

void APMAnalytics::handleSetEnabled(const NSNotification& notification) {
    const Value& value = notification.userInfo["ZAROduzozovaConfigurationSetEnabledNotification"];
    if (value.isNumber() || value.asBool()) {
        setAnalyticsEnabled(value.asBool().value_or(value.asDouble().value_or(0) != 0), false);
        return;
    }
    monitor().logWithLevel(4, 25000, "Received setEnabled notification without NSNumber",
                           APMMonitorContext(value));
}

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
    dispatchAsyncOnSerialQueue([seconds] {
        if (auto engine = APMMeasurement::sharedInstance()) {
            engine->setSessionTimeoutInterval(seconds);
            return;
        }
        std::lock_guard lock(state().mutex);
        state().sessionTimeout = seconds;
    });
}

void APMAnalytics::setDefaultEventParameters(const std::optional<Dictionary>& parameters) {
    queueOperationWithBlock([parameters] {
        auto engine = APMMeasurement::sharedInstance();
        if (enabledFlag() && engine) engine->setDefaultEventParameters(parameters);
    });
}

// ---- events

void APMAnalytics::logEventWithName(const std::string& name, const Dictionary& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const Dictionary& parameters) {
    installInternalEventLogger();
    const Value nameValue(name);
    int64_t failure = 0;
    if (!APMDataTypeValidator::isValidPublicEventName(&nameValue, &failure)) {
        logValidationError(failure == 4 ? 13 : 2, name, 40, nameValue);
        return;
    }
    logEventWithOrigin(origin, true, name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Dictionary& parameters) {
    logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const Dictionary& parameters) {
    if (name == "screen_view") {
        // Screen views go to the engine's screen tracking directly; one
        // logged before start waits for the engine with the other work.
        const double now = sim::wallClockSeconds();
        if (auto engine = APMMeasurement::sharedInstance()) {
            engine->trackScreenWithParameters(parameters, now);
            return;
        }
        queueOperationWithBlock([parameters, now] {
            if (auto engine = APMMeasurement::sharedInstance())
                engine->trackScreenWithParameters(parameters, now);
        });
        return;
    }
    // Time is read and the work queued inside one serial queue, so times
    // rise in the order of the queued operations.
    timestampQueue()->sync([&] {
        const double now = sim::wallClockSeconds();
        queueOperationWithBlock([origin, isPublicEvent, name, parameters, now] {
            logEventOnSerialQueue(origin, isPublicEvent, name, parameters, now, false, false,
                                  std::nullopt);
        });
    });
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              double timestamp, const Dictionary& parameters) {
    queueOperationWithBlock([origin, name, timestamp, parameters] {
        logEventOnSerialQueue(origin, false, name, parameters, timestamp, false, false,
                              std::nullopt);
    });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const Dictionary& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    queueOperationWithBlock(
        [origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor] {
            logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                  ignoreInterceptor, std::nullopt);
        });
}

void APMAnalytics::logInternalEventForInterop(const std::string& origin, const std::string& name,
                                              const Dictionary& parameters) {
    Dictionary copy = parameters;
    if (origin == "zd") {
        if (auto id = parameters["_aeid"].asString()) {
            if (isDecimalNumber(*id)) {
                copy.set("_aeid", Value(static_cast<long long>(std::stoll(*id))));
            } else {
                monitor().logWithLevel(2, 25024, "AdEvent ID string is not a number");
            }
        }
    }
    logInternalEventWithOrigin(origin, name, copy);
}

// ---- user properties

namespace {

// The platform's boolValue: a text by its leading characters, a number when
// not zero.
bool personalizedAdsFlag(const Value& value) {
    if (auto text = value.asString()) return NSStringValue::boolValue(*text);
    if (auto flag = value.asBool()) return *flag;
    if (value.isNumber()) return value.asDouble().value_or(0) != 0;
    return false;
}

}  // namespace

void APMAnalytics::setUserPropertyString(const std::optional<Value>& value,
                                         const std::string& name) {
    installInternalEventLogger();
    if (name == "allow_personalized_ads") {
        queueOperationWithBlock([value] {
            const bool enabled = enabledFlag();
            if (!enabled)
                monitor().logWithLevel(
                    7, 25033, "Personalized Ads property changed while Analytics is disabled");
            std::optional<Value> flag;
            if (value) flag = Value(personalizedAdsFlag(*value));
            APMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(flag);
            auto engine = APMMeasurement::sharedInstance();
            if (!enabled || !engine) return;
            // "_npa" follows the choice at once, not at the next switch of
            // collection.
            if (auto disable = engine->shouldDisableAdPersonalization()) {
                engine->setUserAttribute(APMUserAttribute::initWithOrigin(
                    "auto", "_npa", APMValue::initWithInt64(*disable ? 1 : 0),
                    sim::wallClockSeconds()));
            } else {
                engine->removeUserAttribute(APMUserAttribute::initWithOrigin(
                    "auto", "_npa", APMValue::initWithInt64(0), sim::wallClockSeconds()));
            }
        });
        return;
    }
    if (!value) {
        removeUserAttributeForName(name);
        return;
    }
    const Value nameValue(name);
    int64_t failure = 0;
    if (!APMDataTypeValidator::isValidPublicUserAttributeName(&nameValue, &failure)) {
        logValidationError(failure == 4 ? 15 : 6, name, 24, nameValue);
        return;
    }
    if (!value->asString()) {
        monitor().logWithLevel(0, 25003, "User property must be NSString. Value",
                               APMMonitorContext(*value));
        return;
    }
    auto typed = APMValue::initWithString(&*value);
    if (!typed) return;
    failure = 0;
    if (!APMDataTypeValidator::isValidPublicUserAttributeValue(&*typed, &failure)) {
        if (failure == 2) logValidationError(7, name, 24, *value);
        return;
    }
    sharedInstance()->setInternalUserProperty(value, name, "app");
}

void APMAnalytics::setUserAttributeNumber(const Value& number, const std::string& name) {
    const Value nameValue(name);
    int64_t failure = 0;
    if (!APMDataTypeValidator::isValidPublicUserAttributeName(&nameValue, &failure)) {
        logValidationError(failure == 4 ? 15 : 6, name, 24, nameValue);
        return;
    }
    if (!number.isNumber()) return;
    sharedInstance()->setInternalUserProperty(number, name, "auto");
}

void APMAnalytics::setUserID(const std::optional<Value>& userID) {
    if (!userID) {
        removeInternalUserAttributeForName("_id");
        auto config = APMMeasurement::remoteConfig();
        if (config && config->lastAdvertisingIDResetFeatureEnabled())
            removeInternalUserAttributeForName("_lair");
        return;
    }
    if (!userID->asString()) {
        monitor().logWithLevel(0, 25004, "User ID must be NSString. User ID",
                               APMMonitorContext(*userID));
        return;
    }
    sharedInstance()->setInternalUserProperty(userID, "_id", "app");
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
    const Value nameValue(name);
    if (APMDataTypeValidator::isValidPublicUserAttributeName(&nameValue))
        removeInternalUserAttributeForName(name);
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
    auto attribute = APMUserAttribute::initWithOrigin("", name, APMValue::initWithDouble(0),
                                                      sim::wallClockSeconds());
    if (!attribute) return;
    queueOperationWithBlock([attribute = *attribute] {
        if (auto engine = APMMeasurement::sharedInstance()) engine->removeUserAttribute(attribute);
    });
}

void APMAnalytics::setInternalUserProperty(const std::optional<Value>& value,
                                           const std::string& name, const std::string& origin) {
    installInternalEventLogger();
    const Value nameValue(name);
    if (!APMDataTypeValidator::isValidInternalUserAttributeName(&nameValue)) {
        logValidationError(6, name, 24, nameValue);
        return;
    }
    if (origin.empty() || origin.size() > 32) {
        monitor().logWithLevel(2, 25005,
                               "Unable to set user property. Origin is invalid. Origin, name",
                               APMMonitorContext(Value(origin)), APMMonitorContext(nameValue));
        return;
    }
    if (!value) {
        removeInternalUserAttributeForName(name);
        return;
    }
    auto typed = APMValue::valueFromObject(*value);
    if (!typed) return;
    int64_t failure = 0;
    if (!APMDataTypeValidator::isValidInternalUserAttributeValue(&*typed, name, &failure)) {
        if (failure == 2) {
            std::optional<Value> text;
            if (typed->isString())
                text = typed->object();
            else if (auto s = typed->stringValue())
                text = Value(*s);
            logValidationError(7, name, 24, text);
        }
        return;
    }
    auto attribute =
        APMUserAttribute::initWithOrigin(origin, name, *typed, sim::wallClockSeconds());
    if (!attribute) return;
    queueOperationWithBlock([attribute = *attribute] {
        if (auto engine = APMMeasurement::sharedInstance()) engine->setUserAttribute(attribute);
    });
}

void APMAnalytics::userPropertiesIncludingInternal(bool includeInternal,
                                                   const std::shared_ptr<DispatchQueue>& queue,
                                                   std::function<void(Dictionary)> callback) {
    queueOperationWithBlock([includeInternal, queue, callback] {
        if (!callback) {
            monitor().logWithLevel(2, 25006, "Analytics userProperties callback cannot be nil");
            return;
        }
        if (!queue) {
            monitor().logWithLevel(
                2, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
            DispatchQueue::main()->async([callback] { callback(Dictionary{}); });
            return;
        }
        auto engine = APMMeasurement::sharedInstance();
        if (!enabledFlag() || !engine) {
            monitor().logWithLevel(
                5, 25008, "Cannot query for public user properties when Analytics is disabled");
            queue->async([callback] { callback(Dictionary{}); });
            return;
        }
        engine->userPropertiesIncludingInternal(
            includeInternal, [queue, callback](Dictionary properties) {
                queue->async([callback, properties] { callback(properties); });
            });
    });
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              const std::shared_ptr<DispatchQueue>& queue,
                                              std::function<void(int)> callback) {
    if (origin.empty()) {
        monitor().logWithLevel(2, 25009,
                               "Cannot query Analytics for max user properties. Origin must be a "
                               "non-empty string");
        return;
    }
    if (!queue) {
        monitor().logWithLevel(
            2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
            APMMonitorContext(Value(origin)));
        return;
    }
    if (!callback) {
        monitor().logWithLevel(2, 25011,
                               "Cannot query Analytics for max user properties. MaxUserProperties "
                               "callback cannot be nil. Origin",
                               APMMonitorContext(Value(origin)));
        return;
    }
    queueOperationWithBlock([origin, queue, callback] {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine) {
            queue->async([callback] { callback(0); });
            return;
        }
        engine->maxUserPropertiesForOrigin(origin, [queue, callback](int count) {
            queue->async([callback, count] { callback(count); });
        });
    });
}

// ---- interceptor and listeners

void APMAnalytics::setLogEventInterceptor(APMLogEventInterceptor interceptor) {
    auto store = [interceptor] { state().interceptor = interceptor; };
    if (isCurrentQueueSerialQueue())
        store();
    else
        queueOperationWithBlock(store);
}

APMLogEventListenerHandle APMAnalytics::addLogEventListener(APMLogEventListener listener) {
    if (!listener) {
        monitor().logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
        return nullptr;
    }
    auto copy = std::make_shared<APMLogEventListener>(std::move(listener));
    APMLogEventListenerHandle handle = copy.get();
    auto add = [copy, handle] {
        auto& listeners = state().listeners;
        if (!listeners) listeners.emplace();
        listeners->emplace(handle, copy);
    };
    if (isCurrentQueueSerialQueue())
        add();
    else
        queueOperationWithBlock(add);
    return handle;
}

void APMAnalytics::removeLogEventListener(APMLogEventListenerHandle handle) {
    if (!handle) {
        monitor().logWithLevel(2, 25013, "Attempted removal of nil log event.");
        return;
    }
    queueOperationWithBlock([handle] {
        auto& listeners = state().listeners;
        if (!listeners) {
            monitor().logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
            return;
        }
        if (!listeners->erase(handle))
            monitor().logWithLevel(2, 25015,
                                   "Attempted removal of log event listener with invalid token.");
    });
}

void APMAnalytics::notifyEventListeners(const APMEvent& event) {
    queueOperationWithBlock([event] {
        if (!state().listeners) return;
        // A copy: a listener may add or remove listeners.
        auto listeners = *state().listeners;
        for (const auto& [handle, listener] : listeners) (*listener)(event);
    });
}

// ---- application hooks

void APMAnalytics::setOpenURLListener(std::function<void(const std::string&)> listener) {
    dispatchAsyncOnSerialQueue([listener] { state().openURLListener = listener; });
}

void APMAnalytics::handleOpenURL(const std::string& url) {
    const double now = sim::wallClockSeconds();
    dispatchAsyncOnSerialQueue([url, now] {
        if (auto engine = APMMeasurement::sharedInstance())
            engine->handleNonFirstOpenEventURL(url, now);
        if (state().openURLListener) state().openURLListener(url);
    });
}

void APMAnalytics::handleUserActivity(const std::shared_ptr<NSObject>& activity) {
    const double now = sim::wallClockSeconds();
    dispatchAsyncOnSerialQueue([activity, now] {
        auto link = APMMeasurement::deepLinkFromUserActivity(activity);
        if (!link || link->empty()) return;
        if (auto engine = APMMeasurement::sharedInstance())
            engine->handleNonFirstOpenEventURL(*link, now);
    });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
    DOZIvedidi::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

void APMAnalytics::createAppDelegateProxy() {
    static std::once_flag once;
    std::call_once(once, [] {
        ZVUAppDelegateSwizzler::proxyOriginalDelegate();
        ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(
            APMAppDelegateInterceptor::sharedInstance());
    });
}

void APMAnalytics::maybeEnableVadIzivure() {
    Class cls = objc_lookUpClass("VADIzivure");
    if (!cls) return;
    if (!class_getMethodImplementation(object_getClass(cls), "initializeSharedInstance")) {
        monitor().logWithLevel(2, 25016,
                               "VADIzivure class doesn't define initializeSharedInstance");
        return;
    }
    objc_msgSend<void>(static_cast<RuntimeObject*>(cls), "initializeSharedInstance");
}

void APMAnalytics::paymentQueueUpdatedTransactions(
    const std::shared_ptr<NSObject>& paymentQueue,
    const std::vector<std::shared_ptr<NSObject>>& transactions) {
    queueOperationWithBlock([paymentQueue, transactions] {
        auto engine = APMMeasurement::sharedInstance();
        if (!enabledFlag() || !engine) return;
        engine->filterPurchaseTransactions(
            transactions, [paymentQueue](std::vector<std::shared_ptr<NSObject>> filtered) {
                APMInAppPurchaseTransactionReporter::sharedInstance()
                    .paymentQueueUpdatedFilteredTransactions(paymentQueue, filtered);
            });
    });
}

void APMAnalytics::paymentQueue(const std::shared_ptr<NSObject>& paymentQueue,
                                const std::vector<std::shared_ptr<NSObject>>& transactions) {
    paymentQueueUpdatedTransactions(paymentQueue, transactions);
}

double APMAnalytics::loadTimestamp() {
    std::lock_guard lock(state().mutex);
    return state().loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double seconds) {
    std::lock_guard lock(state().mutex);
    state().loadTimestamp = seconds;
}

// ---- tests and the console

bool APMAnalytics::isAnalyticsEnabled() {
    queue()->sync([] {});
    return enabledFlag();
}

void APMAnalytics::waitForPendingWorkForTesting() {
    timestampQueue()->sync([] {});
    // Work queued by work that ran (listeners, internal events) runs too.
    for (int round = 0; round < 3; ++round) {
        queue()->sync([] {});
        // Screen views reach the engine through the screen-view reporter.
        APMScreenViewReporter::sharedInstance()->waitForPendingWorkForTesting();
        if (auto engine = APMMeasurement::sharedInstance()) engine->keptEvents();
    }
}

std::vector<APMLoggedEvent> APMAnalytics::loggedEvents() {
    waitForPendingWorkForTesting();
    std::vector<APMLoggedEvent> out;
    auto engine = APMMeasurement::sharedInstance();
    if (!engine) return out;
    for (const APMEvent& event : engine->keptEvents()) {
        Dictionary parameters = plain(event.parameters());
        parameters.remove("_o");
        out.push_back({event.origin(), event.name(), std::move(parameters)});
    }
    return out;
}

void APMAnalytics::clearLoggedEventsForTesting() {
    waitForPendingWorkForTesting();
    if (auto engine = APMMeasurement::sharedInstance()) engine->forgetKeptEventsForTesting();
}
