#include "services/measurement/APMAdExposureReporter.h"

#include <cmath>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/measurement/APMValue.h"

namespace {

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

APMEventParameters typed(const APMRawParameters& raw) {
    APMEventParameters parameters;
    for (const auto& [key, value] : raw) {
        if (const APMValue* typedValue = std::get_if<APMValue>(&value))
            parameters.emplace(key, *typedValue);
    }
    return parameters;
}

APMEventParameters currentScreenParameters() {
    return typed(APMScreenViewReporter::sharedInstance()->screenParameters());
}

// Uptimes carry microseconds: the span is taken in whole microseconds first,
// so that a span of exactly one second never reads as 999 ms.
std::int64_t elapsedMilliseconds(double start, double end) {
    return std::llround((end - start) * 1e6) / 1000;
}

Value idValue(const std::optional<std::string>& adUnitID) {
    return adUnitID ? Value(*adUnitID) : Value();
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
    // Kept for the whole process: its queue and the timer observer use it.
    static auto* shared = [] {
        auto* reporter =
            new std::shared_ptr<APMAdExposureReporter>(std::make_shared<APMAdExposureReporter>());
        (*reporter)->observeEngagementTimer();
        return reporter;
    }();
    return *shared;
}

APMAdExposureReporter::APMAdExposureReporter() : queue_(DispatchQueue::create(kQueueLabel)) {}

APMAdExposureReporter::~APMAdExposureReporter() {
    NSNotificationCenter::defaultCenter()->removeObserver(static_cast<const void*>(this));
}

void APMAdExposureReporter::observeEngagementTimer() {
    std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
    NSNotificationCenter::defaultCenter()->addObserver(
        this,
        [weak](const NSNotification&) {
            if (auto self = weak.lock()) self->handleEngagementTimer();
        },
        kAPMSessionReporterEngagementTimerDidFire, nullptr);
}

double APMAdExposureReporter::currentTime() {
    return APMSessionReporter::currentUptime();
}

void APMAdExposureReporter::beginAdUnitExposure(const std::optional<std::string>& adUnitID) {
    if (!adUnitID || adUnitID->empty()) {
        monitor().logWithLevel(
            5, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double now = currentTime();
    std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
    queue_->async([weak, id = *adUnitID, now] {
        auto self = weak.lock();
        if (!self) return;
        if (self->adUnitCounts_.size() >= kMaxAdUnits) {
            monitor().logWithLevel(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID",
                                   APMMonitorContext(Value(id)));
            return;
        }
        if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = now;
        if (!self->adUnitCounts_.count(id)) self->adUnitStartTimes_[id] = now;
        ++self->adUnitCounts_[id];
    });
}

void APMAdExposureReporter::endAdUnitExposure(const std::optional<std::string>& adUnitID) {
    if (!adUnitID || adUnitID->empty()) {
        monitor().logWithLevel(5, 1003,
                               "Ignoring call to end ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double now = currentTime();
    const APMEventParameters screen = currentScreenParameters();
    queue_->sync([&] {
        auto count = adUnitCounts_.find(*adUnitID);
        if (count == adUnitCounts_.end()) {
            monitor().logWithLevel(5, 1004, "Unknown ad unit. Ignoring ad unit with ID",
                                   APMMonitorContext(idValue(adUnitID)));
            return;
        }
        if (count->second >= 2) {
            --count->second;
            return;
        }
        logAdUnitExposureEventOnSerialQueueWithID(*adUnitID, now, screen);
        adUnitCounts_.erase(count);
        adUnitStartTimes_.erase(*adUnitID);
        if (adUnitCounts_.empty()) {
            logAdExposureEventOnSerialQueueWithEndTime(now, screen);
            adExposureStartTime_ = now;
        }
    });
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(
    const APMRawParameters& screenParameters) {
    const double now = currentTime();
    const APMEventParameters screen = typed(screenParameters);
    queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(now, screen); });
}

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const APMScreen* from,
                                                            const APMScreen*) {
    if (!from) return;
    logExposureEventsWithScreenParameters(APMScreenParameters(*from));
}

void APMAdExposureReporter::handleEngagementTimer() {
    logExposureEventsWithScreenParameters(
        APMScreenViewReporter::sharedInstance()->screenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
    const double now = currentTime();
    queue_->sync([&] { updateStartTimesOnSerialQueue(now); });
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const APMScreen* screen) {
    APMRawParameters parameters;
    if (screen) parameters = APMScreenParameters(*screen);
    if (parameters.empty())
        parameters = APMScreenViewReporter::sharedInstance()->screenParameters();
    logExposureEventsWithScreenParameters(parameters);
}

void APMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(
    double endTime, const APMEventParameters& screenParameters) {
    for (const auto& [id, count] : adUnitCounts_)
        logAdUnitExposureEventOnSerialQueueWithID(id, endTime, screenParameters);
    if (!adUnitCounts_.empty())
        logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
    updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(
    double endTime, const APMEventParameters& screenParameters) {
    if (!reportingEnabled_) {
        monitor().logWithLevel(5, 1005, "Ad exposure not logged. Reporting is disabled.");
        return;
    }
    if (!APMIsAppActive()) {
        monitor().logWithLevel(8, 1010, "Ad exposure not logged. App is not active.");
        return;
    }
    const std::int64_t milliseconds = elapsedMilliseconds(adExposureStartTime_, endTime);
    if (milliseconds < 1000) {
        monitor().logWithLevel(8, 1006,
                               "Ad exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    APMEventParameters parameters = screenParameters;
    parameters.insert_or_assign("_xt", APMValue::initWithInt64(milliseconds));
    APMLogReporterEvent("zd", "_xa", parameters, sim::wallClockSeconds());
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(
    const std::string& adUnitID, double endTime, const APMEventParameters& screenParameters) {
    if (!reportingEnabled_) {
        monitor().logWithLevel(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
        return;
    }
    if (adUnitID.empty()) {
        monitor().logWithLevel(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
        return;
    }
    if (!APMIsAppActive()) {
        monitor().logWithLevel(8, 1011, "Ad unit exposure not logged. App is not active.");
        return;
    }
    auto start = adUnitStartTimes_.find(adUnitID);
    const std::int64_t milliseconds =
        start == adUnitStartTimes_.end() ? 0 : elapsedMilliseconds(start->second, endTime);
    if (milliseconds < 1000) {
        monitor().logWithLevel(8, 1009,
                               "Ad unit exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    APMEventParameters parameters = screenParameters;
    const Value idText(adUnitID);
    if (auto idValue = APMValue::initWithString(&idText))
        parameters.insert_or_assign("_ai", *idValue);
    parameters.insert_or_assign("_xt", APMValue::initWithInt64(milliseconds));
    APMLogReporterEvent("zd", "_xu", parameters, sim::wallClockSeconds());
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
    if (adUnitCounts_.empty()) return;
    for (auto& [id, start] : adUnitStartTimes_) start = time;
    adExposureStartTime_ = time;
}

void APMAdExposureReporter::resetForTesting() {
    reportingEnabled_ = true;
    queue_->sync([&] {
        adUnitCounts_.clear();
        adUnitStartTimes_.clear();
        adExposureStartTime_ = 0;
    });
}

void APMAdExposureReporter::waitForPendingWorkForTesting() {
    queue_->sync([] {});
}

std::int64_t APMAdExposureReporter::openCountForTesting(const std::string& adUnitID) {
    std::int64_t count = 0;
    queue_->sync([&] {
        auto it = adUnitCounts_.find(adUnitID);
        if (it != adUnitCounts_.end()) count = it->second;
    });
    return count;
}
