#include "services/measurement/APMMeasurement.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMScheduler.h"

APMMonitor& APMMeasurement::monitor() {
    static APMMonitor* monitor = new APMMonitor();  // lives as long as the process
    return *monitor;
}

APMMonitor& APMExperimentsMonitor() {
    static APMMonitor* monitor = new APMMonitor();
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

struct Shared {
    std::mutex mutex;
    std::shared_ptr<APMMeasurement> engine;
    std::function<void(const APMEvent&)> notifier;
    // Set when the process exits: the worker stops touching storage before
    // the libraries it uses are torn down. Worker blocks run under `running`.
    std::atomic<bool> closing{false};
    std::mutex running;
};

Shared& shared() {
    static auto* state = new Shared();  // used from queue threads until exit
    return *state;
}

APMRawParameters rawParameters(const Dictionary& dictionary) {
    APMRawParameters raw;
    for (const auto& [key, value] : dictionary) raw.emplace(key, value);
    return raw;
}

}  // namespace

void APMMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
    std::shared_ptr<APMMeasurement> engine;
    {
        std::lock_guard lock(shared().mutex);
        if (shared().engine) return;
        // The stored choice of the user wins over the start option; a
        // deactivated collection stays off.
        bool enabled = isAnalyticsCollectionEnabled;
        const int64_t stored = APMPersistedConfig::sharedInstance()->measurementEnabledState();
        if (stored == 1) enabled = true;
        if (stored == 2) enabled = false;
        if (isAnalyticsCollectionDeactivated) enabled = false;
        engine = std::make_shared<APMMeasurement>(appID, enabled, safelistedEvents);
        shared().engine = engine;
    }
    static std::once_flag atExit;
    std::call_once(atExit, [] {
        // Only a flag and a plain lock: queues need thread-local state that
        // is gone by now.
        std::atexit([] {
            shared().closing = true;
            std::lock_guard running(shared().running);
        });
    });
    engine->start();
}

bool APMMeasurement::hasSharedInstance() {
    std::lock_guard lock(shared().mutex);
    return shared().engine != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
    std::lock_guard lock(shared().mutex);
    return shared().engine;
}

std::function<void(const APMEvent&)> APMMeasurement::eventListenerNotifier() {
    std::lock_guard lock(shared().mutex);
    return shared().notifier;
}

void APMMeasurement::setEventListenerNotifier(std::function<void(const APMEvent&)> notifier) {
    std::lock_guard lock(shared().mutex);
    shared().notifier = std::move(notifier);
}

void APMMeasurement::resetSharedInstanceForTesting() {
    std::shared_ptr<APMMeasurement> engine;
    {
        std::lock_guard lock(shared().mutex);
        engine = std::move(shared().engine);
    }
    if (engine) engine->worker_->sync([] {});
    APMConditionalUserPropertyController::sharedInstance()->setEngine({});
}

APMMeasurement::APMMeasurement(std::string appID, bool enabled,
                               std::optional<std::vector<std::string>> safelistedEvents)
    : appID_(std::move(appID)),
      safelistedEvents_(std::move(safelistedEvents)),
      wasEnabledDuringInitialization_(enabled),
      scheduler_(std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel)),
      worker_(scheduler_->workerQueue()),
      alarm_(std::make_unique<APMAlarm>(worker_, "Measurement timer")),
      persistedConfig_(APMPersistedConfig::sharedInstance()),
      enabled_(enabled) {}

APMMeasurement::~APMMeasurement() = default;

void APMMeasurement::start() {
    APMConditionalUserPropertyController::sharedInstance()->setEngine(weak_from_this());
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    worker_->async([weak] {
        std::lock_guard running(shared().running);
        auto self = weak.lock();
        if (!self || shared().closing) return;
        NSError error;
        self->database_ = APMDatabase::initWithDatabaseName(
            APMDatabase::kDefaultName, APMPersistedConfig::sharedInstance(), &error);
        if (!self->database_) {
            monitor().logWithLevel(1, 22001, "Failed to initialize the measurement database",
                                   APMMonitorContext(error));
            return;
        }
        self->componentsInitialized_ = true;
    });
}

bool APMMeasurement::isEnabled() {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void APMMeasurement::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
    std::lock_guard lock(mutex_);
    sessionTimeout_ = seconds;
}

double APMMeasurement::sessionTimeoutInterval() const {
    std::lock_guard lock(mutex_);
    return sessionTimeout_;
}

void APMMeasurement::setDefaultEventParameters(const std::optional<Dictionary>& parameters) {
    std::lock_guard lock(mutex_);
    if (!parameters) {
        defaultEventParameters_.reset();
        return;
    }
    // Merged into what was set before; a null value removes its key.
    Dictionary merged = defaultEventParameters_.value_or(Dictionary{});
    for (const auto& [key, value] : *parameters) {
        if (value.isNull())
            merged.remove(key);
        else
            merged.set(key, value);
    }
    defaultEventParameters_ = std::move(merged);
}

void APMMeasurement::logEventWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const APMRawParameters& parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const APMLogEventInterceptor& interceptor,
    const std::optional<APMRawParameters>& addedScreenParameters) {
    if (!enabled && !ignoreEnabled) return;
    if (safelistedEvents_ && !isPublicEvent &&
        std::find(safelistedEvents_->begin(), safelistedEvents_->end(), name) ==
            safelistedEvents_->end())
        return;
    APMRawParameters all;
    {
        std::lock_guard lock(mutex_);
        if (defaultEventParameters_) all = rawParameters(*defaultEventParameters_);
    }
    for (const auto& [key, value] : parameters) all.insert_or_assign(key, value);
    if (!ignoreInterceptor && interceptor && !interceptor(name, all)) return;
    auto event = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, all);
    if (!event) return;
    if (addedScreenParameters) event->addScreenParameters(*addedScreenParameters);
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("logEvent", [weak, kept = *event] {
        if (auto self = weak.lock()) self->writeEventOnWorkerQueue(kept);
    });
}

void APMMeasurement::trackScreenWithParameters(const Dictionary& parameters, double timestamp) {
    if (!isEnabled()) return;
    auto event = APMEvent::initWithOrigin("app", true, "screen_view", timestamp, 0,
                                          rawParameters(parameters));
    if (!event) return;
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("trackScreen", [weak, kept = *event] {
        if (auto self = weak.lock()) self->writeEventOnWorkerQueue(kept);
    });
}

void APMMeasurement::setUserAttribute(const APMUserAttribute& attribute) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("setUserAttribute", [weak, attribute] {
        auto self = weak.lock();
        if (self && self->database_ && self->isEnabled())
            self->database_->updateUserAttribute(attribute);
    });
}

void APMMeasurement::removeUserAttribute(const APMUserAttribute& attribute) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("removeUserAttribute", [weak, name = attribute.name()] {
        auto self = weak.lock();
        if (self && self->database_) self->database_->deleteUserAttributeWithName(name);
    });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                     std::function<void(Dictionary)> callback) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("userProperties", [weak, includeInternal, callback] {
        Dictionary properties;
        auto self = weak.lock();
        if (self && self->database_) {
            for (const auto& attribute :
                 self->database_->userAttributesIncludingInternal(includeInternal)
                     .value_or(std::vector<APMUserAttribute>{}))
                properties.set(attribute.name(), attribute.value().object());
        }
        if (callback) callback(properties);
    });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string&,
                                                std::function<void(int)> callback) {
    // The number of public user properties an app may set.
    scheduleOnWorkerQueue("maxUserProperties", [callback] {
        if (callback) callback(25);
    });
}

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
    bool ok = false;
    worker_->sync([&] {
        kept_.clear();
        ok = database_ && database_->reset();
    });
    if (ok) APMIdentity::sharedInstance()->setAppInstanceID(appInstanceID);
    return ok;
}

bool APMMeasurement::didInitializeComponents() const {
    return componentsInitialized_;
}

APMDatabase* APMMeasurement::database() {
    return database_.get();
}

void APMMeasurement::scheduleOnWorkerQueue(const std::string&, std::function<void()> block) {
    if (!block) {
        monitor().logWithLevel(1, 30005, "Attempted to schedule a nil block");
        return;
    }
    worker_->async([block = std::move(block)] {
        std::lock_guard running(shared().running);
        if (!shared().closing) block();
    });
}

bool APMMeasurement::checkOnBackgroundThread(const std::string& methodName) {
    if (DispatchQueue::currentLabel() == worker_->label()) return true;
    monitor().logWithLevel(
        1, 30001, "Method must not be called on the main thread",
        APMMonitorContext(Value(methodName.empty() ? "<empty method name>" : methodName)));
    return false;
}

std::vector<APMEvent> APMMeasurement::keptEvents() {
    std::vector<APMEvent> events;
    worker_->sync([&] { events = kept_; });
    return events;
}

void APMMeasurement::forgetKeptEventsForTesting() {
    worker_->sync([&] { kept_.clear(); });
}

void APMMeasurement::filterPurchaseTransactions(
    std::vector<std::shared_ptr<NSObject>> transactions,
    std::function<void(std::vector<std::shared_ptr<NSObject>>)> callback) {
    if (!callback) return;
    worker_->async([transactions = std::move(transactions), callback = std::move(callback)] {
        callback(transactions);
    });
}

APMInAppPurchaseTransactionReporter& APMInAppPurchaseTransactionReporter::sharedInstance() {
    static auto* reporter = new APMInAppPurchaseTransactionReporter();
    return *reporter;
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::shared_ptr<NSObject>&, const std::vector<std::shared_ptr<NSObject>>& transactions) {
    std::lock_guard lock(mutex_);
    reported_.insert(reported_.end(), transactions.begin(), transactions.end());
}

std::vector<std::shared_ptr<NSObject>> APMInAppPurchaseTransactionReporter::reportedTransactions()
    const {
    std::lock_guard lock(mutex_);
    return reported_;
}
