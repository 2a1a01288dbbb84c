#include "services/measurement/APMScreenViewReporter.h"

#include <mutex>
#include <utility>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMAdExposureReporter.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMNumericUtil.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/measurement/APMValue.h"

namespace {

constexpr const char* kDidBecomeActive = "NSApplicationDidBecomeActiveNotification";
constexpr const char* kWillResignActive = "NSApplicationWillResignActiveNotification";
constexpr const char* kWindowDidResignKey = "NSWindowDidResignKeyNotification";

bool isValidScreenText(const std::string& text, int64_t* failure) {
    const Value object(text);
    return APMDataTypeValidator::isValidScreenParameterValue(&object, failure);
}

APMRawParameters buildParameters(const APMScreen& screen, const char* idKey, const char* classKey,
                                 const char* nameKey, bool logClassProblems) {
    APMRawParameters parameters;
    parameters.emplace(idKey, APMValue::initWithInt64(screen.instanceID()));
    if (const auto& className = screen.className()) {
        int64_t failure = 0;
        if (className->empty()) {
            if (logClassProblems)
                APMMeasurement::monitor().logWithLevel(3, 31014, "Screen class name is empty");
        } else if (!isValidScreenText(*className, &failure)) {
            // The previous screen's set skips the class and goes on.
            if (logClassProblems) {
                APMMeasurement::monitor().logWithLevel(3, 31015,
                                                       "Screen class name is invalid. Error code",
                                                       APMMonitorContext(Value(failure)));
                return parameters;
            }
        } else {
            parameters.emplace(classKey, APMValue(APMValueTypeString, Value(*className)));
        }
    }
    if (const auto& name = screen.name(); name && !name->empty()) {
        if (!isValidScreenText(*name, nullptr)) return parameters;
        parameters.emplace(nameKey, APMValue(APMValueTypeString, Value(*name)));
    }
    return parameters;
}

void addTyped(APMEventParameters& parameters, const APMRawParameters& raw) {
    for (const auto& [key, value] : raw) {
        if (const APMValue* typed = std::get_if<APMValue>(&value))
            parameters.insert_or_assign(key, *typed);
    }
}

struct ReporterEventSink {
    std::mutex mutex;
    APMReporterEventLogger logger;
};

ReporterEventSink& reporterEventSink() {
    static auto* sink = new ReporterEventSink();  // used from queue threads until exit
    return *sink;
}

void logToEngine(const std::string& origin, const std::string& name,
                 const APMEventParameters& parameters, double timestamp) {
    auto engine = APMMeasurement::sharedInstance();
    if (!engine) return;
    auto event =
        APMEvent::initWithOrigin(origin, false, name, timestamp, 0, APMEvent::raw(parameters));
    if (!event) return;
    if (!APMEventHasScreenParameters(event->parameters()))
        event->addScreenParameters(APMScreenViewReporter::sharedInstance()->screenParameters());
    std::weak_ptr<APMMeasurement> weak = engine;
    engine->scheduleOnWorkerQueue("APMReporterEvent", [weak, event = *event] {
        if (auto self = weak.lock()) self->handleInternalEventOnWorkerQueue(event);
    });
}

// A present screen name or class must be a string of 1 to 100 characters.
bool screenTextFromParameter(const Dictionary& parameters, const char* key,
                             std::optional<std::string>* text) {
    const Value* value = parameters.find(key);
    if (!value) return true;
    if (!APMDataTypeValidator::isValidScreenParameterValue(value, nullptr)) return false;
    *text = value->asString();
    return true;
}

}  // namespace

void APMLogReporterEvent(const std::string& origin, const std::string& name,
                         const APMEventParameters& parameters, double timestamp) {
    APMReporterEventLogger logger;
    {
        std::lock_guard lock(reporterEventSink().mutex);
        logger = reporterEventSink().logger;
    }
    if (logger)
        logger(origin, name, parameters, timestamp);
    else
        logToEngine(origin, name, parameters, timestamp);
}

void APMSetReporterEventLogger(APMReporterEventLogger logger) {
    std::lock_guard lock(reporterEventSink().mutex);
    reporterEventSink().logger = std::move(logger);
}

APMRawParameters APMScreenParameters(const APMScreen& screen) {
    return buildParameters(screen, "_si", "_sc", "_sn", true);
}

APMRawParameters APMPreviousScreenParameters(const APMScreen& screen) {
    return buildParameters(screen, "_pi", "_pc", "_pn", false);
}

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
    // Kept for the whole process: queue threads and observers use it.
    static auto* shared = [] {
        auto* reporter =
            new std::shared_ptr<APMScreenViewReporter>(std::make_shared<APMScreenViewReporter>());
        (*reporter)->observeApplicationNotifications();
        return reporter;
    }();
    return *shared;
}

APMScreenViewReporter::APMScreenViewReporter()
    : queue_(DispatchQueue::create(kQueueLabel)),
      currentScreenInstanceID_(APMNumericUtil::randomInt64()) {}

APMScreenViewReporter::~APMScreenViewReporter() {
    NSNotificationCenter::defaultCenter()->removeObserver(static_cast<const void*>(this));
}

void APMScreenViewReporter::observeApplicationNotifications() {
    auto center = NSNotificationCenter::defaultCenter();
    std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
    center->addObserver(
        this,
        [weak](const NSNotification&) {
            if (auto self = weak.lock()) self->handleApplicationDidBecomeActive();
        },
        kDidBecomeActive, nullptr);
    center->addObserver(
        this,
        [weak](const NSNotification&) {
            if (auto self = weak.lock()) self->handleApplicationWillResignActive();
        },
        kWillResignActive, nullptr);
    center->addObserver(
        this, [](const NSNotification&) {}, kWindowDidResignKey, nullptr);
}

APMRawParameters APMScreenViewReporter::screenParameters() {
    if (!isAppActive_ && appHasBeenInitialized_) return {};
    auto screen = currentScreen();
    if (!screen) return {};
    APMRawParameters parameters = APMScreenParameters(*screen);
    return parameters;
}

std::optional<APMScreen> APMScreenViewReporter::currentScreen() {
    std::shared_ptr<APMScreen> screen;
    // Queue-confined state; a caller already on the queue reads it in place.
    if (DispatchQueue::currentLabel() == queue_->label()) {
        screen = currentScreen_;
    } else {
        queue_->sync([&] { screen = currentScreen_; });
    }
    if (!screen) return std::nullopt;
    return *screen;
}

void APMScreenViewReporter::trackScreenWithParameters(const Dictionary& parameters,
                                                      double timestamp) {
    auto& monitor = APMMeasurement::monitor();
    if (!isAppActive_ && appHasBeenInitialized_) {
        monitor.logWithLevel(3, 31026, "Cannot log screen view event when the app is not active");
        return;
    }
    std::optional<std::string> name;
    std::optional<std::string> className;
    if (!screenTextFromParameter(parameters, "screen_name", &name)) {
        monitor.logWithLevel(3, 31027, "Received invalid name for screen",
                             APMMonitorContext(*parameters.find("screen_name")));
        return;
    }
    if (!screenTextFromParameter(parameters, "screen_class", &className)) {
        monitor.logWithLevel(3, 31028, "Received invalid class for screen",
                             APMMonitorContext(*parameters.find("screen_class")));
        return;
    }
    auto screen = std::make_shared<APMScreen>(name, className, incrementScreenInstanceID());
    screen->setManuallyTracked(true);
    screen->setEventTimestamp(timestamp);
    monitor.logWithLevel(7, 31029, "Logging screen view with screen name and screen class",
                         APMMonitorContext(name ? Value(*name) : Value()),
                         APMMonitorContext(className ? Value(*className) : Value()));
    std::shared_ptr<APMScreen> previous;
    queue_->sync([&] {
        previous = currentScreen_;
        currentScreen_ = screen;
    });

    std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
    queue_->async([weak, previous, screen, parameters] {
        auto self = weak.lock();
        if (!self) return;
        self->postScreenDidChangeNotificationWithPreviousScreen(previous.get(), screen.get());
        APMRawParameters raw;
        for (const auto& [key, value] : parameters) raw.emplace(key, value);
        const std::string eventName = "screen_view";
        auto converted = APMSanitizeEventParameters(
            raw, &eventName, true, false, APMMeasurement::remoteConfig()->maxPublicEventParams());
        APMEventParameters rest = converted.value_or(APMEventParameters{});
        rest.erase("screen_name");
        rest.erase("screen_class");
        self->logViewScreenEventWithPreviousScreen(previous.get(), screen.get(), rest);
    });
}

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const APMScreen* previous, const APMScreen* screen) {
    if (!isAppActive_) return;
    if (previous) {
        if (auto reporter = APMSessionReporter::current())
            reporter->handleScreenDidChangeFromScreen(previous, screen);
    }
    APMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(previous, screen);
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(
    const APMScreen* previous, const APMScreen* screen, const APMEventParameters& parameters) {
    if (!screen) return;
    auto& monitor = APMMeasurement::monitor();
    if (!isAppActive_ && appHasBeenInitialized_) {
        monitor.logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
        return;
    }
    APMEventParameters all = parameters;
    addTyped(all, APMScreenParameters(*screen));
    if (previous) {
        addTyped(all, APMPreviousScreenParameters(*previous));
        auto reporter = APMSessionReporter::current();
        if (reporter && APMMeasurement::remoteConfig()->efficientEngagementReportingEnabled()) {
            const std::int64_t milliseconds = reporter->cutFreerideEngagementTimeMillis();
            if (milliseconds >= 1)
                all.insert_or_assign("_et", APMValue::initWithInt64(milliseconds));
        }
    }
    all.insert_or_assign("_mst", APMValue::initWithInt64(1));
    if (!APMEventHasScreenParameters(all)) {
        monitor.logWithLevel(1, 31012,
                             "Screen view event not logged. Screen parameters were empty");
        return;
    }
    APMLogReporterEvent("app", "_vs", all, screen->eventTimestamp());
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* name,
                                          std::optional<std::string>* className) {
    if (!name && !className) return;
    auto screen = currentScreen();
    if (name) *name = screen ? screen->name() : std::nullopt;
    if (className) *className = screen ? screen->className() : std::nullopt;
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>&,
                                          const std::optional<std::string>&) {
    APMMeasurement::monitor().logWithLevel(
        3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
}

APMScreen APMScreenViewReporter::setCurrentScreen(const std::optional<std::string>& name,
                                                  const std::optional<std::string>& className,
                                                  double timestamp) {
    auto screen = std::make_shared<APMScreen>(name, className, incrementScreenInstanceID());
    screen->setManuallyTracked(true);
    screen->setEventTimestamp(timestamp);
    queue_->sync([&] { currentScreen_ = screen; });
    return *screen;
}

std::int64_t APMScreenViewReporter::incrementScreenInstanceID() {
    // Wraps like the platform's signed counter, without undefined overflow.
    std::int64_t current = currentScreenInstanceID_.load();
    std::int64_t next = 0;
    do {
        next = static_cast<std::int64_t>(static_cast<std::uint64_t>(current) + 1);
    } while (!currentScreenInstanceID_.compare_exchange_weak(current, next));
    return next;
}

void APMScreenViewReporter::handleApplicationDidBecomeActive() {
    isAppActive_ = true;
    appHasBeenInitialized_ = true;
    if (auto reporter = APMSessionReporter::current()) reporter->handleAppDidBecomeActive();
    APMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
}

void APMScreenViewReporter::handleApplicationWillResignActive() {
    // The active flag stays set: once active, the library treats the
    // application as active for the rest of the process.
    if (auto reporter = APMSessionReporter::current())
        reporter->handleAppWillResignActiveWithScreen(nullptr);
    APMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(nullptr);
}

void APMScreenViewReporter::resetForTesting(std::int64_t instanceIDSeed) {
    isAppActive_ = false;
    appHasBeenInitialized_ = false;
    currentScreenInstanceID_ = instanceIDSeed;
    queue_->sync([&] { currentScreen_.reset(); });
}

void APMScreenViewReporter::waitForPendingWorkForTesting() {
    queue_->sync([] {});
}

bool APMIsAppActive() {
    return APMScreenViewReporter::sharedInstance()->isAppActive();
}
