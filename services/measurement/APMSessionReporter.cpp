#include "services/measurement/APMSessionReporter.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/system/Sysctl.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScreenViewReporter.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::weak_ptr<APMSessionReporter> current;
};

Registry& registry() {
    static auto* shared = new Registry();  // read from queue threads until exit
    return *shared;
}

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

std::shared_ptr<APMRemoteConfig> config() {
    return APMMeasurement::remoteConfig();
}

void addScreen(APMEventParameters& parameters, const APMRawParameters& screen) {
    for (const auto& [key, value] : screen) {
        if (const APMValue* typed = std::get_if<APMValue>(&value)) parameters.emplace(key, *typed);
    }
}

}  // namespace

APMSessionReporter::Outlet APMSessionReporter::Outlet::engine() {
    Outlet outlet;
    outlet.logInternalEvent = [](const std::string& name, const APMEventParameters& parameters) {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine) return;
        auto event = APMEvent::initWithOrigin("auto", false, name, currentClockTime(), 0,
                                              APMEvent::raw(parameters));
        if (!event) return;
        if (!APMEventHasScreenParameters(event->parameters()))
            event->addScreenParameters(APMScreenViewReporter::sharedInstance()->screenParameters());
        std::weak_ptr<APMMeasurement> weak = engine;
        engine->scheduleOnWorkerQueue("APMSessionReporter", [weak, event = *event] {
            if (auto self = weak.lock()) self->handleInternalEventOnWorkerQueue(event);
        });
    };
    outlet.setInternalUserProperty = [](const std::string& name,
                                        const std::optional<APMValue>& value) {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine) return;
        auto attribute = APMUserAttribute::initWithOrigin(
            "auto", name, value.value_or(APMValue::initWithInt64(0)), currentClockTime());
        if (!attribute) return;
        if (value)
            engine->setUserAttribute(*attribute);
        else
            engine->removeUserAttribute(*attribute);
    };
    return outlet;
}

std::shared_ptr<APMSessionReporter> APMSessionReporter::initWithPersistedConfig(
    std::shared_ptr<APMPersistedConfig> persistedConfig, Outlet outlet) {
    auto reporter = std::make_shared<APMSessionReporter>(
        ConstructionKey(), std::move(persistedConfig), std::move(outlet));
    std::lock_guard lock(registry().mutex);
    registry().current = reporter;
    return reporter;
}

std::shared_ptr<APMSessionReporter> APMSessionReporter::current() {
    std::lock_guard lock(registry().mutex);
    return registry().current.lock();
}

APMSessionReporter::APMSessionReporter(ConstructionKey,
                                       std::shared_ptr<APMPersistedConfig> persistedConfig,
                                       Outlet outlet)
    : persistedConfig_(std::move(persistedConfig)),
      outlet_(std::move(outlet)),
      userEngagementTimer_(std::make_unique<APMAlarm>(DispatchQueue::main(), "Engagement timer")),
      timeoutSessionInterval_(config()->sessionDefaultTimeoutInterval()) {
    const double now = currentUptime();
    engagementStartUptime_ = now;
    freerideEngagementStartUptime_ = now;
}

APMSessionReporter::~APMSessionReporter() {
    userEngagementTimer_->cancel();
}

void APMSessionReporter::setReportingEnabled(bool enabled) {
    reportingEnabled_ = enabled;
    if (!enabled) {
        userEngagementTimer_->cancel();
        return;
    }
    if (APMIsAppActive() && !userEngagementTimer_->scheduledTimestamp())
        rescheduleUserEngagementTimer();
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
    if (seconds < 0) {
        monitor().logWithLevel(
            3, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
        seconds = 0;
    }
    timeoutSessionInterval_ = seconds;
}

bool APMSessionReporter::isSessionExpired() {
    const double elapsed = currentClockTime() - persistedConfig_->lastSessionActivityClockTime();
    return std::fabs(elapsed) > timeoutSessionInterval_;
}

bool APMSessionReporter::shouldStartNewSession() {
    return APMIsAppActive() && isSessionExpired();
}

bool APMSessionReporter::extendSession() {
    if (isSessionExpired()) return false;
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    return true;
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
    persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

std::optional<APMUserAttribute> APMSessionReporter::sessionIDPropertyWithTimestamp(
    double timestamp) {
    return APMUserAttribute::initWithOrigin(
        "auto", "_sid", APMValue::initWithInt64(static_cast<std::int64_t>(timestamp)), timestamp);
}

std::optional<APMUserAttribute> APMSessionReporter::sessionNumberProperty() {
    return APMUserAttribute::initWithOrigin(
        "auto", "_sno", APMValue::initWithInt64(persistedConfig_->sessionNumber()),
        currentClockTime());
}

void APMSessionReporter::setSessionID(const std::optional<std::int64_t>& sessionID,
                                      const std::optional<std::int64_t>& sessionNumber) {
    if (!outlet_.setInternalUserProperty) return;
    auto value = [](const std::optional<std::int64_t>& number) -> std::optional<APMValue> {
        if (!number) return std::nullopt;
        return APMValue::initWithInt64(*number);
    };
    outlet_.setInternalUserProperty("_sid", value(sessionID));
    outlet_.setInternalUserProperty("_sno", value(sessionNumber));
}

void APMSessionReporter::logEvent(const std::string& name, const APMEventParameters& parameters) {
    if (outlet_.logInternalEvent) outlet_.logInternalEvent(name, parameters);
}

void APMSessionReporter::logSessionStartEvent() {
    if (!APMIsAppActive()) {
        monitor().logWithLevel(7, 33005,
                               "Session start event not logged. Application is not active");
        return;
    }
    if (!reportingEnabled_) return;
    updatePropertiesForNewSessionStart();
    const auto sessionID = static_cast<std::int64_t>(currentClockTime());
    const std::int64_t sessionNumber = persistedConfig_->sessionNumber();
    setSessionID(sessionID, sessionNumber);
    logEvent("_s", {{"_sid", APMValue::initWithInt64(sessionID)},
                    {"_sno", APMValue::initWithInt64(sessionNumber)}});
}

void APMSessionReporter::logUserEngagementEvent() {
    logEngagementEventAndReturnTimeWithScreen(nullptr, false);
}

std::int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const APMScreen* screen,
                                                                           bool isRedundant) {
    if (!APMIsAppActive()) {
        monitor().logWithLevel(7, 33006,
                               "User engagement event not logged. Application is not active");
        return 0;
    }
    const bool efficient = config()->efficientEngagementReportingEnabled();
    const bool enabled = reportingEnabled_;
    double incurred = 0;
    {
        // One step under the lock: the span that is reported is exactly the
        // span that is restarted, whatever the other queue does meanwhile.
        std::lock_guard lock(uptimeLock_);
        const double now = currentUptime();
        incurred = now - (efficient ? freerideEngagementStartUptime_ : engagementStartUptime_);
        engagementStartUptime_ = now;
        if (efficient && !isRedundant) freerideEngagementStartUptime_ = now;
    }
    if (incurred < 0) {
        monitor().logWithLevel(4, 33004,
                               "Incurred engagement time is negative. Setting to 0.0 instead");
        incurred = 0;
    }
    std::int64_t milliseconds = 0;
    if (enabled) {
        milliseconds = static_cast<std::int64_t>(std::min(incurred, 3600.0) * 1000);
        APMEventParameters parameters{{"_et", APMValue::initWithInt64(milliseconds)}};
        if (screen) addScreen(parameters, APMScreenParameters(*screen));
        if (efficient && isRedundant) parameters.emplace("_fr", APMValue::initWithInt64(1));
        logEvent("_e", parameters);
    }
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    rescheduleUserEngagementTimer();
    return milliseconds;
}

void APMSessionReporter::logAppBackgroundEvent(std::int64_t milliseconds) {
    if (!reportingEnabled_ || !config()->appBackgroundedEventEnabled()) return;
    if (!APMIsAppActive()) {
        monitor().logWithLevel(7, 33008,
                               "App backgrounded event not logged. Application is not active");
        return;
    }
    APMEventParameters parameters;
    if (milliseconds >= 1 && config()->efficientEngagementReportingEnabled())
        parameters.emplace("_et", APMValue::initWithInt64(milliseconds));
    logEvent("_ab", parameters);
}

void APMSessionReporter::handleAppDidBecomeActive() {
    {
        std::lock_guard lock(uptimeLock_);
        const double now = currentUptime();
        engagementStartUptime_ = now;
        freerideEngagementStartUptime_ = now;
    }
    rescheduleUserEngagementTimer();
    if (APMIsAppActive() && isSessionExpired() && reportingEnabled_) {
        setSessionID(std::nullopt, std::nullopt);
        logSessionStartEvent();
    }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const APMScreen* screen) {
    auto remote = config();
    const bool backgrounded = remote->appBackgroundedEventEnabled();
    std::int64_t milliseconds = 0;
    if (backgrounded && remote->redundantEngagementRemovalEnabled())
        milliseconds = cutFreerideEngagementTimeMillis();
    else
        milliseconds = logEngagementEventAndReturnTimeWithScreen(screen, backgrounded);
    logAppBackgroundEvent(milliseconds);
    userEngagementTimer_->cancel();
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const APMScreen* from, const APMScreen*) {
    if (!from || incurredEngagementTime() < 1.0) return;
    auto remote = config();
    if (remote->efficientEngagementReportingEnabled()) {
        if (remote->redundantEngagementRemovalEnabled()) return;
        logEngagementEventAndReturnTimeWithScreen(from, true);
    } else {
        logEngagementEventAndReturnTimeWithScreen(from, false);
    }
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
    std::weak_ptr<APMSessionReporter> weak = weak_from_this();
    userEngagementTimer_->runAfterDelay(config()->sessionEventUserEngagementInterval(), [weak] {
        NSNotificationCenter::defaultCenter()->postNotificationName(
            kAPMSessionReporterEngagementTimerDidFire);
        if (auto self = weak.lock()) self->logUserEngagementEvent();
    });
}

double APMSessionReporter::incurredEngagementTime() {
    const bool efficient = config()->efficientEngagementReportingEnabled();
    double incurred = 0;
    {
        std::lock_guard lock(uptimeLock_);
        incurred =
            currentUptime() - (efficient ? freerideEngagementStartUptime_ : engagementStartUptime_);
    }
    if (incurred < 0) {
        monitor().logWithLevel(4, 33004,
                               "Incurred engagement time is negative. Setting to 0.0 instead");
        return 0;
    }
    return incurred;
}

std::int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
    if (!config()->efficientEngagementReportingEnabled()) return 0;
    double incurred = 0;
    {
        std::lock_guard lock(uptimeLock_);
        const double now = currentUptime();
        incurred = now - freerideEngagementStartUptime_;
        freerideEngagementStartUptime_ = now;
    }
    if (incurred < 0) {
        monitor().logWithLevel(4, 33004,
                               "Incurred engagement time is negative. Setting to 0.0 instead");
        incurred = 0;
    }
    return static_cast<std::int64_t>(incurred * 1000);
}

double APMSessionReporter::engagementStartUptime() const {
    std::lock_guard lock(uptimeLock_);
    return engagementStartUptime_;
}

double APMSessionReporter::freerideEngagementStartUptime() const {
    std::lock_guard lock(uptimeLock_);
    return freerideEngagementStartUptime_;
}

double APMSessionReporter::currentClockTime() {
    return sim::wallClockSeconds();
}

double APMSessionReporter::currentUptime() {
    // The platform's boot-time record: 64-bit seconds and 32-bit microseconds.
    struct {
        std::int64_t seconds;
        std::int32_t microseconds;
        std::int32_t padding;
    } boot{};
    std::size_t size = sizeof boot;
    if (sysctlbyname("kern.boottime", &boot, &size, nullptr, 0) != 0 ||
        size < sizeof boot.seconds + sizeof boot.microseconds ||
        (boot.seconds == 0 && boot.microseconds == 0))
        return -1.0;
    const double wall = sim::wallClockSeconds();
    const double wholeSeconds = std::floor(wall);
    std::int64_t seconds = static_cast<std::int64_t>(wholeSeconds) - boot.seconds;
    std::int64_t microseconds =
        static_cast<std::int64_t>(std::llround((wall - wholeSeconds) * 1e6)) - boot.microseconds;
    if (microseconds < 0) {
        seconds -= 1;
        microseconds += 1000000;
    }
    return static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6;
}
