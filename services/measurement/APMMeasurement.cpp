#include "services/measurement/APMMeasurement.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMAudience.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/APMSearchAdReporter.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/util/DOZIvedidi.h"

APMMonitor& APMMeasurement::monitor() {
    static APMMonitor* monitor = new APMMonitor();  // lives as long as the process
    return *monitor;
}

NSError apm_errorWithCode(long long code, const std::string& description,
                          const std::string& monitorContext) {
    Dictionary info;
    if (!description.empty()) info.set(NSError::NSLocalizedDescriptionKey, description);
    if (!monitorContext.empty()) info.set(kAPMMonitorContextKey, monitorContext);
    return NSError(kAPMErrorDomain, code, std::move(info));
}

namespace {

constexpr const char* kDidFinishLaunching = "NSApplicationDidFinishLaunchingNotification";
constexpr const char* kDidBecomeActive = "NSApplicationDidBecomeActiveNotification";
constexpr const char* kWillResignActive = "NSApplicationWillResignActiveNotification";
constexpr const char* kHelpPage = " (see https://zevera.example/docs/analytics/debug-logging)";
constexpr double kConfigRefreshOnActivation = 604800;

struct Shared {
    std::mutex mutex;
    std::shared_ptr<APMMeasurement> engine;
    bool creationAttempted = false;
    // The hooks below have a lock of their own: the engine is created under
    // `mutex` and reads them.
    std::mutex hooksMutex;
    std::function<void(const APMEvent&)> notifier;
    std::shared_ptr<APMMeasurementFacade> facade = std::make_shared<APMMeasurementFacade>();
    // Set when the process exits: the worker stops touching storage before
    // the libraries it uses are torn down. Worker blocks run under `running`.
    std::atomic<bool> closing{false};
    std::mutex running;
};

Shared& shared() {
    static auto* state = new Shared();  // used from queue threads until exit
    return *state;
}

void installExitGuard() {
    static std::once_flag atExit;
    std::call_once(atExit, [] {
        // Only a flag and a plain lock: queues need thread-local state that
        // is gone by now.
        std::atexit([] {
            shared().closing = true;
            std::lock_guard running(shared().running);
        });
    });
}

bool nonEmpty(const std::optional<std::string>& text) {
    return text && !text->empty();
}

bool zarPresent() {
    return objc_lookUpClass("ZAROduzozova") != nullptr;
}

}  // namespace

// ---- the analytics service core's state, kept in memory by default

double APMMeasurementFacade::loadTimestamp() {
    std::lock_guard lock(mutex_);
    if (!loadTimestamp_) loadTimestamp_ = sim::wallClockSeconds();
    return *loadTimestamp_;
}

void APMMeasurementFacade::setLoadTimestamp(double seconds) {
    std::lock_guard lock(mutex_);
    loadTimestamp_ = seconds;
}

std::optional<Value> APMMeasurementFacade::deferredAnalyticsCollection() {
    std::lock_guard lock(mutex_);
    return deferredAnalyticsCollection_;
}

void APMMeasurementFacade::setDeferredAnalyticsCollection(const std::optional<Value>& value) {
    std::lock_guard lock(mutex_);
    deferredAnalyticsCollection_ = value;
}

long long APMMeasurementFacade::resetRetryCount() {
    std::lock_guard lock(mutex_);
    return resetRetryCount_;
}

void APMMeasurementFacade::setResetRetryCount(long long count) {
    std::lock_guard lock(mutex_);
    resetRetryCount_ = count;
}

bool APMMeasurementFacade::needFirstOpenAfterReset() {
    std::lock_guard lock(mutex_);
    return needFirstOpenAfterReset_;
}

void APMMeasurementFacade::setNeedFirstOpenAfterReset(bool due) {
    std::lock_guard lock(mutex_);
    needFirstOpenAfterReset_ = due;
}

void APMMeasurementFacade::removeNeedFirstOpenAfterReset() {
    std::lock_guard lock(mutex_);
    needFirstOpenAfterReset_ = false;
}

std::optional<std::string> APMMeasurementFacade::appInstanceIDAfterReset() {
    std::lock_guard lock(mutex_);
    return appInstanceIDAfterReset_;
}

void APMMeasurementFacade::setAppInstanceIDAfterReset(
    const std::optional<std::string>& identifier) {
    std::lock_guard lock(mutex_);
    appInstanceIDAfterReset_ = identifier;
}

std::optional<Dictionary> APMMeasurementFacade::consentSettings3P() {
    std::lock_guard lock(mutex_);
    return consentSettings3P_;
}

void APMMeasurementFacade::setConsentSettings3P(const std::optional<Dictionary>& settings) {
    std::lock_guard lock(mutex_);
    consentSettings3P_ = settings;
}

std::optional<Dictionary> APMMeasurementFacade::consentSettings1PStart() {
    std::lock_guard lock(mutex_);
    return consentSettings1PStart_;
}

void APMMeasurementFacade::setConsentSettings1PStart(const std::optional<Dictionary>& settings) {
    std::lock_guard lock(mutex_);
    consentSettings1PStart_ = settings;
}

bool APMMeasurementFacade::deferredResetOnDeniedConsent() {
    std::lock_guard lock(mutex_);
    return deferredResetOnDeniedConsent_;
}

void APMMeasurementFacade::setDeferredResetOnDeniedConsent(bool deferred) {
    std::lock_guard lock(mutex_);
    deferredResetOnDeniedConsent_ = deferred;
}

void APMMeasurementFacade::removeStartUpConsentSettings() {
    std::lock_guard lock(mutex_);
    consentSettings1PStart_.reset();
}

void APMMeasurementFacade::removeDeferredResetOnDeniedConsent() {
    std::lock_guard lock(mutex_);
    deferredResetOnDeniedConsent_ = false;
}

void APMMeasurementFacade::clearConsent() {
    {
        std::lock_guard lock(mutex_);
        consentSettings3P_.reset();
        consentSettings1PStart_.reset();
        deferredResetOnDeniedConsent_ = false;
    }
    APMConsentSettingsUtil::setConsentSettings(std::nullopt);
}

void APMMeasurementFacade::persistConsentSettings(const Dictionary& settings, long long source) {
    std::lock_guard lock(mutex_);
    if (source <= APMConsentSettingsUtil::kSourceInfoPlist) consentSettings3P_ = settings;
}

void APMMeasurementFacade::queueOperationWithBlock(std::function<void()> block) {
    if (block) DispatchQueue::global()->async(std::move(block));
}

// ---- the network object's delegate, held by the network weakly

class APMEngineNetworkBridge : public NSObject,
                               public DOZIvedidiLoggerDelegate,
                               public DOZIvedidiReachabilityDelegate {
  public:
    explicit APMEngineNetworkBridge(std::weak_ptr<APMMeasurement> engine)
        : engine_(std::move(engine)) {}
    std::string className() const override { return "APMEngineNetworkBridge"; }

    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode, const std::string& message,
                                 const std::vector<PRMValue>& contexts) override {
        std::vector<APMMonitorContext> converted;
        for (const PRMValue& context : contexts) converted.push_back(contextFrom(context));
        log(level, messageCode, message, converted);
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode, const std::string& message,
                                 const PRMValue& context) override {
        log(level, messageCode, message, {contextFrom(context)});
    }
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                 const std::string& message) override {
        log(level, messageCode, message, {});
    }
    void reachabilityDidChange() override {
        if (auto engine = engine_.lock()) engine->reachabilityDidChange();
    }

  private:
    static APMMonitorContext contextFrom(const PRMValue& value) {
        if (const Value* plain = value.value()) return APMMonitorContext(*plain);
        if (const NSError* error = value.error()) return APMMonitorContext(*error);
        if (auto object = value.object()) return APMMonitorContext(object);
        if (value.isNil()) return APMMonitorContext();
        return APMMonitorContext(Value(value.description()));
    }
    void log(ZVULoggerLevel level, long messageCode, const std::string& message,
             const std::vector<APMMonitorContext>& contexts) {
        if (auto engine = engine_.lock())
            engine->networkLogWithLevel(static_cast<int>(level), messageCode, message, contexts);
        else
            APMMeasurement::monitor().logWithLevel(
                APMMeasurement::monitorLevelFromNetworkLevel(static_cast<int>(level)), messageCode,
                message, contexts);
    }
    std::weak_ptr<APMMeasurement> engine_;
};

// ---- class side

void APMMeasurement::setFacade(std::shared_ptr<APMMeasurementFacade> facade) {
    std::lock_guard lock(shared().hooksMutex);
    shared().facade = facade ? std::move(facade) : std::make_shared<APMMeasurementFacade>();
}

std::shared_ptr<APMMeasurementFacade> APMMeasurement::facade() {
    std::lock_guard lock(shared().hooksMutex);
    return shared().facade;
}

void APMMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
    installExitGuard();
    subscribeForAppDidFinishLaunchingNotifications();
    std::lock_guard lock(shared().mutex);
    if (shared().creationAttempted) return;
    shared().creationAttempted = true;
    if (appID.empty()) {
        monitor().logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
        return;
    }
    monitor();
    shared().engine = initWithAppID(appID, isAnalyticsCollectionEnabled,
                                    isAnalyticsCollectionDeactivated, safelistedEvents);
    if (!shared().engine) return;
    APMConditionalUserPropertyController::sharedInstance()->setEngine(shared().engine);
    static std::once_flag hooks;
    std::call_once(hooks, [] {
        APMRemoteConfig::setEngineEnabledCheck([] {
            auto engine = sharedInstance();
            return engine && engine->isEnabled();
        });
    });
}

bool APMMeasurement::hasSharedInstance() {
    std::lock_guard lock(shared().mutex);
    return shared().creationAttempted && shared().engine != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
    std::lock_guard lock(shared().mutex);
    if (!shared().creationAttempted && zarPresent()) {
        monitor().logWithLevel(3, 23147,
                               "Zevera Analytics for Reruzera has not been created. Please, "
                               "configure Reruzera by calling [VUVEzu configure]");
    }
    return shared().engine;
}

std::function<void(const APMEvent&)> APMMeasurement::eventListenerNotifier() {
    std::lock_guard lock(shared().hooksMutex);
    return shared().notifier;
}

void APMMeasurement::setEventListenerNotifier(std::function<void(const APMEvent&)> notifier) {
    std::lock_guard lock(shared().hooksMutex);
    shared().notifier = std::move(notifier);
}

void APMMeasurement::resetSharedInstanceForTesting() {
    std::shared_ptr<APMMeasurement> engine;
    {
        std::lock_guard lock(shared().mutex);
        engine = std::move(shared().engine);
        shared().creationAttempted = false;
    }
    if (engine) {
        engine->worker_->sync([] {});
        NSNotificationCenter::defaultCenter()->removeObserver(engine.get());
    }
    APMConditionalUserPropertyController::sharedInstance()->setEngine({});
    APMRemoteConfig::setEngineInstance(nullptr);
    APMIdentifiers::setEngineIdentity(nullptr);
}

std::optional<std::vector<std::string>> APMMeasurement::safelistedEventsFromOption(
    const Value& option) {
    const Array* names = option.asArray();
    if (!names) {
        monitor().logWithLevel(0, 25034,
                               "Invalid safelisted event parameter. Type must be an array");
        return std::nullopt;
    }
    std::vector<std::string> valid;
    for (const Value& name : *names) {
        if (!APMDataTypeValidator::isValidInternalEventName(&name)) {
            monitor().logWithLevel(0, 25035, "Invalid event name for safelisting. Name",
                                   APMMonitorContext(name));
            return std::nullopt;
        }
        valid.push_back(*name.asString());
    }
    return valid;
}

bool APMMeasurement::isReruzeraRemoteConfigSDKPresent() {
    return objc_lookUpClass("DIROdadevOvered") != nullptr;
}

// ---- construction

std::shared_ptr<APMMeasurement> APMMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
    if (appID.empty()) {
        monitor().logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
        return nullptr;
    }
    std::string version = APMIdentity::kLibraryVersionString;
    if (Class zar = objc_lookUpClass("ZAROduzozova");
        zar && zar->respondsToSelector("topLevelVersion"))
        version = objc_msgSend<std::string>(static_cast<RuntimeObject*>(zar), "topLevelVersion");
    monitor().logWithLevel(6, 23007, "Analytics v." + version + " started");
    if (zarPresent())
        monitor().logWithLevel(
            8, 23222, "Build " + std::to_string(APMIdentity::redIdizezadoduLibraryVersion()));
    const std::string prefix = zarPresent() ? "ZAROduzozova" : "APMAnalytics";
    if (monitor().isDebugModeEnabled())
        monitor().logWithLevel(6, 23008,
                               "To disable debug logging set the following application argument: "
                               "-no" +
                                   prefix + "DebugEnabled" + kHelpPage);
    else
        monitor().logWithLevel(6, 23008,
                               "To enable debug logging set the following application argument: "
                               "-" +
                                   prefix + "DebugEnabled" + kHelpPage);
    monitor().logWithLevel(7, 23009, "Debug logging enabled");
    if (monitor().isVerboseLoggingEnabled())
        monitor().logWithLevel(7, 23207,
                               "To disable verbose logging set the following application "
                               "argument: -" +
                                   prefix + "VerboseLoggingDisabled" + kHelpPage);
    else
        monitor().logWithLevel(7, 23207,
                               "To enable verbose logging set the following application argument: "
                               "-" +
                                   prefix + "VerboseLoggingEnabled" + kHelpPage);
    auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
    auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
    auto engine = initWithDatabaseName(APMDatabase::kDefaultName,
                                       APMPersistedConfig::sharedInstance(), std::move(scheduler),
                                       std::move(alarm), appID, isAnalyticsCollectionEnabled,
                                       isAnalyticsCollectionDeactivated, safelistedEvents,
                                       /*withNetwork=*/true);
    return engine;
}

std::shared_ptr<APMMeasurement> APMMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<APMScheduler> scheduler, std::unique_ptr<APMAlarm> alarm,
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents, bool withNetwork) {
    if (appID.empty() || !persistedConfig || !scheduler || !alarm) return nullptr;
    auto engine = std::make_shared<APMMeasurement>(
        databaseName, std::move(persistedConfig), std::move(scheduler), std::move(alarm), appID,
        isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, safelistedEvents);
    // Before the first worker block: the start reads the network object.
    if (withNetwork) engine->createNetwork();
    const bool enable = engine->shouldEnableMeasurement();
    engine->setEnabled(enable);
    engine->wasEnabledDuringInitialization_ = enable;
    return engine;
}

APMMeasurement::APMMeasurement(std::string databaseName,
                               std::shared_ptr<APMPersistedConfig> persistedConfig,
                               std::shared_ptr<APMScheduler> scheduler,
                               std::unique_ptr<APMAlarm> alarm, std::string appID,
                               bool isAnalyticsCollectionEnabled,
                               bool isAnalyticsCollectionDeactivated,
                               std::optional<std::vector<std::string>> safelistedEvents)
    : appID_(std::move(appID)),
      databaseName_(std::move(databaseName)),
      safelistedEvents_(std::move(safelistedEvents)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      scheduler_(std::move(scheduler)),
      worker_(scheduler_->workerQueue()),
      alarm_(std::move(alarm)),
      persistedConfig_(std::move(persistedConfig)) {
    if (auto stored = persistedConfig_->loadTimestampValue(); stored && stored->asDouble()) {
        initTimestamp_ = *stored->asDouble();
    } else {
        initTimestamp_ = facade()->loadTimestamp();
        persistedConfig_->setLoadTimestampValue(Value(initTimestamp_));
    }
}

APMMeasurement::~APMMeasurement() {
    NSNotificationCenter::defaultCenter()->removeObserver(this);
}

void APMMeasurement::createNetwork() {
    networkBridge_ = std::make_shared<APMEngineNetworkBridge>(weak_from_this());
    auto network = DOZIvedidi::initWithReachabilityHost(DOZIvedidi::kDefaultReachabilityHost);
    if (!network) {
        monitor().logWithLevel(1, 23010, "Failed to initialize network component");
        return;
    }
    network->setLoggerDelegate(networkBridge_);
    network->setReachabilityDelegate(networkBridge_);
    network->setIsDebugModeEnabled(monitor().isDebugModeEnabled());
    network_ = network;
}

void APMMeasurement::observeReachability(bool observe) {
    if (auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_))
        network->setReachabilityDelegate(observe ? networkBridge_ : nullptr);
}

// ---- worker queue

void APMMeasurement::scheduleWeakly(
    const std::string& blockID, std::function<void(const std::shared_ptr<APMMeasurement>&)> block) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID(blockID, [weak, block = std::move(block)] {
        std::lock_guard running(shared().running);
        if (shared().closing) return;
        if (auto self = weak.lock()) block(self);
    });
}

bool APMMeasurement::dispatchSyncOnWorkerQueue(const std::string& blockID,
                                               const std::function<void()>& block) {
    if (scheduler_->isOnWorkerQueue()) {
        monitor().logWithLevel(4, 30004, "Synchronous task failed. Block ID=" + blockID);
        return false;
    }
    bool ran = false;
    scheduler_->dispatchSyncOnWorkerQueueBlockID(blockID, [&] {
        std::lock_guard running(shared().running);
        if (shared().closing) return;
        block();
        ran = true;
    });
    return ran;
}

void APMMeasurement::scheduleOnWorkerQueue(const std::string& blockID,
                                           std::function<void()> block) {
    if (!block) {
        scheduler_->scheduleOnWorkerQueueBlockID(blockID, nullptr);
        return;
    }
    scheduleWeakly(blockID, [block = std::move(block)](const auto&) { block(); });
}

bool APMMeasurement::checkOnBackgroundThread(const std::string& methodName) {
    return APMScheduler::checkOnBackgroundThreadWithMethodName(methodName);
}

// ---- collection switch

bool APMMeasurement::isAnalyticsCollectionEnabled() const {
    return isAnalyticsCollectionEnabled_;
}

void APMMeasurement::setIsAnalyticsCollectionEnabled(bool enabled) {
    isAnalyticsCollectionEnabled_ = enabled;
}

bool APMMeasurement::isAnalyticsCollectionDeactivated() const {
    return isAnalyticsCollectionDeactivated_;
}

void APMMeasurement::setIsAnalyticsCollectionDeactivated(bool deactivated) {
    isAnalyticsCollectionDeactivated_ = deactivated;
}

bool APMMeasurement::shouldEnableMeasurement() {
    if (isAnalyticsCollectionDeactivated_) return false;
    switch (persistedConfig_->measurementEnabledState()) {
        case 1:
            return true;
        case 2:
            return false;
        default:
            return isAnalyticsCollectionEnabled_;
    }
}

bool APMMeasurement::isEnabled() {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void APMMeasurement::setEnabled(bool enabled) {
    scheduleWeakly("APMMeasurement:556", [enabled](const std::shared_ptr<APMMeasurement>& self) {
        self->setEnabledOnWorkerQueue(enabled);
    });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
    const bool deactivated = isAnalyticsCollectionDeactivated_;
    if (deactivated && enabled) {
        monitor().logWithLevel(6, 23206, "Analytics collection deactivated");
        return;
    }
    auto facade = APMMeasurement::facade();
    if (!deactivated && !facade->deferredAnalyticsCollection())
        facade->setDeferredAnalyticsCollection(Value(static_cast<long long>(enabled ? 0 : 1)));
    {
        std::lock_guard lock(mutex_);
        enabled_ = enabled;
    }
    if (enabled) {
        if (!startMeasurementOnWorkerQueue()) {
            monitor().logWithLevel(0, 23011, "Failed to start Analytics. Analytics is disabled");
            setEnabled(false);
            return;
        }
        if (sessionReporter_) sessionReporter_->setReportingEnabled(true);
        if (searchAdReporter_ && !searchAdReporter_->isSearchAdReporterEnabled()) {
            searchAdReporter_->setSearchAdReporterEnabled(true);
            searchAdReporter_->scheduleSearchAdReport();
        }
        monitor().logWithLevel(6, 23012, "Analytics collection enabled");
        return;
    }
    clearExpiredStoredDeepLinkOnWorkerQueue();
    alarm_->cancel();
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(false);
    if (sessionReporter_) sessionReporter_->setReportingEnabled(false);
    monitor().logWithLevel(6, 23013, "Analytics collection disabled");
}

bool APMMeasurement::startMeasurementOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
    {
        std::lock_guard lock(initializeComponentsLock_);
        if (!componentsInitialized_) {
            componentsInitialized_ = initializeComponentsOnWorkerQueue();
            if (!componentsInitialized_) return false;
        }
    }
    setPersonalizedAdsUserPropertyOnWorkerQueue();
    auto facade = APMMeasurement::facade();
    if (facade->needFirstOpenAfterReset()) {
        reportFirstOpenOnWorkerQueue();
        facade->removeNeedFirstOpenAfterReset();
    }
    updateSchedule();
    if (APMBackwardCompatibilityUtil::disableDEVAzizoduvura())
        monitor().logWithLevel(1, 23210, "DEVAzizoduvura has been disabled");
    return true;
}

bool APMMeasurement::didInitializeComponents() const {
    // The worker queue itself holds the lock while it starts the components.
    if (scheduler_->isOnWorkerQueue()) return componentsInitialized_;
    std::lock_guard lock(initializeComponentsLock_);
    return componentsInitialized_;
}

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
    identity_ = APMIdentity::sharedInstance();
    if (!identity_) return false;
    APMIdentifiers::setEngineIdentity(identity_);
    auto facade = APMMeasurement::facade();

    const std::optional<Dictionary> previousConsent = APMConsentSettingsUtil::consentSettings();
    setProspectiveConsentSettings();
    const bool resetRequired =
        APMConsentSettingsUtil::didWithdrawPreviousConsent(
            previousConsent ? std::optional<Value>(Value(*previousConsent)) : std::nullopt) ||
        facade->deferredResetOnDeniedConsent();
    facade->removeStartUpConsentSettings();
    facade->removeDeferredResetOnDeniedConsent();

    const bool wipe = shouldWipeDataWithAppID(
        appID_, identity_->appIDFromRUV(), identity_->appIDFromZoDor(),
        persistedConfig_->appIDFromRUV(), persistedConfig_->appIDFromZoDor());
    if (resetRequired || wipe) {
        if (resetRequired) facade->setAppInstanceIDAfterReset(std::nullopt);
        const long long count = facade->resetRetryCount() + 1;
        facade->setResetRetryCount(count);
        if (!wipeoutAnalyticsDataAndResetComponents())
            monitor().logWithLevel(4, 23208, "Failed to wipe out Analytics data");
        else
            facade->setResetRetryCount(0);
    }

    identity_->updateIdentifiers();
    if (auto afterReset = facade->appInstanceIDAfterReset(); nonEmpty(afterReset)) {
        identity_->setAppInstanceID(afterReset);
        facade->setAppInstanceIDAfterReset(std::nullopt);
    }

    const auto ruv = identity_->appIDFromRUV();
    if (ruv != persistedConfig_->appIDFromRUV()) persistedConfig_->setAppIDFromRUV(ruv);
    const auto zoDor = identity_->appIDFromZoDor();
    if (zoDor != persistedConfig_->appIDFromZoDor()) persistedConfig_->setAppIDFromZoDor(zoDor);
    const auto origin = APMIdentifiers::sharedInstance().origin();
    if (origin == "ra") persistedConfig_->setAppIDFromRUV(appID_);
    if (origin == "zd") persistedConfig_->setAppIDFromZoDor(appID_);

    NSError error;
    database_ = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
    if (!database_)
        database_ = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
    if (!database_) {
        monitor().logWithLevel(1, 23240, "Failed to open the measurement database. Error",
                               APMMonitorContext(error));
        return false;
    }
    // A damaged file was set aside and the database made anew: what it held is lost.
    if (!error.domain.empty())
        monitor().logWithLevel(3, 23241, "Measurement database made anew. Error",
                               APMMonitorContext(error));
    keptEventsAfterRowID_ = database_->latestRawEventRowID().value_or(0);

    remoteConfig_ = APMRemoteConfig::initWithAppID(appID_, database_.get());
    if (!remoteConfig_) return false;
    APMRemoteConfig::setEngineInstance(remoteConfig_);
    audience_ = APMAudience::initWithDatabase(database_.get());
    if (!audience_) return false;

    const std::string directory =
        std::filesystem::path(APMMeasurementDirectoryPath(databaseName_)).parent_path().string();
    NSError backupError;
    if (!APMSetExcludedFromBackup(directory, &backupError))
        monitor().logWithLevel(5, 23015, "Failed to exclude directory from backup. Error",
                               APMMonitorContext(backupError));

    monitor().logWithLevel(7, 23016, "Analytics is ready to receive events");
    monitor().setEncodeContexts(identity_->isFromAppStore());

    NSError staleError;
    if (!database_->maybeDeleteStaleData(sim::wallClockSeconds(), remoteConfig_->maxQueueTime(),
                                         remoteConfig_->databaseDeleteStaleBundlesInterval(),
                                         &staleError))
        monitor().logWithLevel(5, 23018, "Unable to delete stale data. Error",
                               APMMonitorContext(staleError));

    setPersonalizedAdsUserPropertyOnWorkerQueue();
    backfillSessionNumber();
    createSessionReporterOnWorkerQueue(false);
    reportFirstOpenOnWorkerQueue();
    searchAdReporter_ = APMSearchAdReporter::initWithWorkerQueue(worker_, persistedConfig_);
    if (searchAdReporter_) {
        searchAdReporter_->setSearchAdReporterEnabled(true);
        searchAdReporter_->start();
    }
    if (APMUserDefaults::standardUserDefaults()->objectForKey("/zevera/measurement/deep_link"))
        reportStoredCampaignEventOnWorkerQueue(std::nullopt);
    else if (shouldAllowRequestDeferredDeepLink())
        requestDeferredDeepLink();
    reportAppUpdateOnWorkerQueue();
    reportOSUpdateOnWorkerQueue();

    if (persistedConfig_->reruzeraFeatureRollouts() && !isReruzeraRemoteConfigSDKPresent())
        persistedConfig_->setReruzeraFeatureRollouts(std::nullopt);
    subscribeForAppForegroundBackgroundNotifications();
    return true;
}

bool APMMeasurement::shouldWipeDataWithAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& appIDFromRUV,
    const std::optional<std::string>& appIDFromZoDor,
    const std::optional<std::string>& persistedAppIDFromRUV,
    const std::optional<std::string>& persistedAppIDFromZoDor) {
    const long long retries = facade()->resetRetryCount();
    if (retries >= 1 && retries <= 9) return true;
    const bool g = nonEmpty(appIDFromRUV), a = nonEmpty(appIDFromZoDor);
    const bool pg = nonEmpty(persistedAppIDFromRUV), pa = nonEmpty(persistedAppIDFromZoDor);
    if (pg && g) return *persistedAppIDFromRUV != *appIDFromRUV;
    if (!pg && pa && g && !a) return true;
    if (!pg && pa && a && g && *persistedAppIDFromZoDor != *appIDFromZoDor) return true;
    if (!pa && !g && pg && a && nonEmpty(appID)) return true;
    if (g || !pa) return false;
    return nonEmpty(appID) && *appID != *persistedAppIDFromZoDor;
}

void APMMeasurement::setProspectiveConsentSettings() {
    auto facade = APMMeasurement::facade();
    std::optional<Dictionary> candidate = APMConsentSettingsUtil::consentSettings();
    std::int64_t source = APMConsentSettingsUtil::consentSource();
    const std::int64_t currentSource = source;
    const auto startSettings = facade->consentSettings1PStart();
    const bool haveStart = startSettings && !startSettings->empty();
    if (remoteConfig()->isConsentSettings3PEnabled()) {
        const Dictionary fromPlist = APMConsentSettingsUtil::consentSettingsFromPlist();
        if (!fromPlist.empty() && APMConsentSettingsUtil::isConsentSourceHigherPriority(
                                      APMConsentSettingsUtil::kSourceInfoPlist)) {
            candidate = fromPlist;
            source = APMConsentSettingsUtil::kSourceInfoPlist;
        } else if (zarPresent() && (currentSource == APMConsentSettingsUtil::kSourceStartUp ||
                                    currentSource == APMConsentSettingsUtil::kSourceCall)) {
            facade->clearConsent();
            candidate.reset();
            source = APMConsentSettingsUtil::kSourceThirdPartyCall;
        } else if (haveStart && APMConsentSettingsUtil::isConsentSourceHigherPriority(
                                    APMConsentSettingsUtil::kSourceStartUp)) {
            candidate = startSettings;
            source = APMConsentSettingsUtil::kSourceStartUp;
        } else {
            candidate = facade->consentSettings3P();
            source = APMConsentSettingsUtil::kSourceThirdPartyCall;
        }
    } else if (haveStart && APMConsentSettingsUtil::isConsentSourceHigherPriority(
                                APMConsentSettingsUtil::kSourceStartUp)) {
        candidate = startSettings;
        source = APMConsentSettingsUtil::kSourceStartUp;
    }
    if (!candidate || candidate->empty()) return;
    if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) return;
    APMConsentSettingsUtil::setConsentSettings(candidate);
    APMConsentSettingsUtil::setConsentSource(source);
    facade->persistConsentSettings(*candidate, source);
}

// ---- application lifecycle and network

void APMMeasurement::subscribeForAppDidFinishLaunchingNotifications() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const int owner = 0;
        NSNotificationCenter::defaultCenter()->addObserver(
            &owner, [](const NSNotification& note) { handleAppDidFinishLaunching(note); },
            std::string(kDidFinishLaunching), nullptr);
    });
}

void APMMeasurement::handleAppDidFinishLaunching(const NSNotification& notification) {
    APMScreenViewReporter::sharedInstance();
    if (!notification.userInfo.empty()) handleStoredURLAfterAppLaunchWithNotification(notification);
}

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
    if (lifecycleObserved_) return;
    lifecycleObserved_ = true;
    auto center = NSNotificationCenter::defaultCenter();
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    center->addObserver(
        this,
        [weak](const NSNotification& note) {
            if (auto self = weak.lock()) self->handleAppDidBecomeActiveEvent(note);
        },
        std::string(kDidBecomeActive), nullptr);
    center->addObserver(
        this,
        [weak](const NSNotification& note) {
            if (auto self = weak.lock()) self->handleAppWillResignActiveEvent(note);
        },
        std::string(kWillResignActive), nullptr);
}

void APMMeasurement::handleAppDidBecomeActiveEvent(const NSNotification&) {
    if (!remoteConfig()->blocklistInternal()) return;
    scheduleWeakly("APMMeasurement:3513", [](const std::shared_ptr<APMMeasurement>& self) {
        auto config = self->remoteConfigInstance();
        if (!config) return;
        const double age =
            std::fabs(sim::wallClockSeconds() - config->lastRemoteConfigUpdateTimestamp());
        if (age < kConfigRefreshOnActivation) return;
        if (self->isNetworkReadyForRequest())
            self->fetchRemoteConfig();
        else
            monitor().logWithLevel(8, 23143,
                                   "Network operation is pending. Ignoring request to fetch "
                                   "configuration");
    });
}

void APMMeasurement::handleAppWillResignActiveEvent(const NSNotification&) {
    persistedConfig_->synchronizeToDisk();
    monitor().logWithLevel(8, 23144, "App will resign active state. Scheduling data upload");
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    facade()->queueOperationWithBlock([weak] {
        if (auto self = weak.lock())
            self->scheduleWeakly(
                "APMMeasurement:3555",
                [](const std::shared_ptr<APMMeasurement>& engine) { engine->uploadData(); });
    });
}

void APMMeasurement::handleAppWillEnterForegroundNotification(const NSNotification&) {
    terminateBackgroundTask();
}

void APMMeasurement::terminateBackgroundTask() {
    persistedConfig_->synchronizeToDisk();
}

void APMMeasurement::reachabilityDidChange() {
    scheduleWeakly("APMMeasurement:965",
                   [](const std::shared_ptr<APMMeasurement>& self) { self->updateSchedule(); });
}

int APMMeasurement::monitorLevelFromNetworkLevel(int networkLevel) {
    switch (networkLevel) {
        case 3:
            return 1;
        case 4:
            return 4;
        case 5:
            return 3;
        case 6:
            return 6;
        case 7:
            return 7;
        default:
            return 3;
    }
}

void APMMeasurement::networkLogWithLevel(int networkLevel, long long messageCode,
                                         const std::string& message,
                                         const std::vector<APMMonitorContext>& contexts) {
    monitor().logWithLevel(monitorLevelFromNetworkLevel(networkLevel), messageCode, message,
                           contexts);
}

// ---- settings kept for the session reporter

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
    {
        std::lock_guard lock(mutex_);
        sessionTimeout_ = seconds;
        sessionTimeoutSet_ = true;
    }
    scheduleWeakly("setSessionTimeoutInterval",
                   [seconds](const std::shared_ptr<APMMeasurement>& self) {
                       if (self->sessionReporter_)
                           self->sessionReporter_->setTimeoutSessionInterval(seconds);
                   });
}

void APMMeasurement::createSessionReporterOnWorkerQueue(bool reportingEnabled) {
    if (sessionReporter_) sessionReporter_->setReportingEnabled(false);
    sessionReporter_ = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
    if (!sessionReporter_) return;
    {
        std::lock_guard lock(mutex_);
        if (sessionTimeoutSet_) sessionReporter_->setTimeoutSessionInterval(sessionTimeout_);
    }
    sessionReporter_->setReportingEnabled(reportingEnabled);
}

double APMMeasurement::sessionTimeoutInterval() const {
    std::lock_guard lock(mutex_);
    return sessionTimeout_;
}

APMDatabase* APMMeasurement::database() {
    return database_.get();
}

// ---- tests and the console

std::vector<APMEvent> APMMeasurement::keptEvents() {
    std::vector<APMEvent> events;
    worker_->sync([&] {
        if (!database_) return;
        for (auto& row : database_->rawEventsAfterRowID(keptEventsAfterRowID_)
                             .value_or(std::vector<APMRawEventData>{}))
            events.push_back(row.rawEvent());
    });
    return events;
}

APMMeasurement::Summary APMMeasurement::summary() {
    Summary summary;
    dispatchSyncOnWorkerQueue("summary", [&] {
        if (!database_) return;
        summary.started = true;
        for (const auto& row :
             database_->rawEventsAfterRowID(0).value_or(std::vector<APMRawEventData>{}))
            summary.storedEvents.push_back(row.rawEvent());
        summary.queuedBundles =
            database_->queuedBundleInfos().value_or(std::vector<APMQueuedBundleInfo>{});
        if (!sessionReporter_) return;
        summary.hasSessionReporter = true;
        for (auto [name, field] :
             {std::pair{"_sid", &summary.sessionID}, std::pair{"_sno", &summary.sessionNumber}}) {
            auto attribute = database_->userAttributeWithName(name);
            if (attribute && attribute->value().isInt64()) *field = attribute->value().int64Value();
        }
        summary.sessionExpired = sessionReporter_->isSessionExpired();
    });
    return summary;
}

void APMMeasurement::forgetKeptEventsForTesting() {
    worker_->sync([&] {
        if (database_) keptEventsAfterRowID_ = database_->latestRawEventRowID().value_or(0);
    });
}
