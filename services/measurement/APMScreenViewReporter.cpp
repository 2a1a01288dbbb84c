#include "services/measurement/APMScreenViewReporter.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMNumericUtil.h"
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

}  // namespace

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
}

void APMScreenViewReporter::handleApplicationWillResignActive() {
    // The active flag stays set: once active, the library treats the
    // application as active for the rest of the process.
    if (auto reporter = APMSessionReporter::current())
        reporter->handleAppWillResignActiveWithScreen(nullptr);
}

void APMScreenViewReporter::resetForTesting(std::int64_t instanceIDSeed) {
    isAppActive_ = false;
    appHasBeenInitialized_ = false;
    currentScreenInstanceID_ = instanceIDSeed;
    queue_->sync([&] { currentScreen_.reset(); });
}

bool APMIsAppActive() {
    return APMScreenViewReporter::sharedInstance()->isAppActive();
}
