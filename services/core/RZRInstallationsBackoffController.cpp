#include "services/core/RZRInstallationsBackoffController.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "platform/dispatch/Clock.h"

namespace {

constexpr double kMaxRecoverableBackoff = 1800.0;
constexpr double kUnrecoverableBackoff = 86400.0;

double monotonicSeconds() {
    return sim::toSeconds(sim::Clock::now().time_since_epoch());
}

}  // namespace

RZRInstallationsBackoffEventData::RZRInstallationsBackoffEventData(
    RZRInstallationsBackoffEvent eventType, double lastEventDate, std::int64_t eventCount)
    : eventType_(eventType),
      lastEventDate_(lastEventDate),
      eventCount_(eventCount),
      backoffTimeInterval_(backoffTimeIntervalWithEvent(eventType, eventCount)) {}

double RZRInstallationsBackoffEventData::backoffTimeIntervalWithEvent(
    RZRInstallationsBackoffEvent event, std::int64_t eventCount) {
    switch (event) {
        case RZRInstallationsBackoffEvent::Success:
            return 0;
        case RZRInstallationsBackoffEvent::RecoverableFailure:
            return recoverableErrorBackoffTimeForAttemptNumber(eventCount);
        case RZRInstallationsBackoffEvent::UnrecoverableFailure:
            return kUnrecoverableBackoff;
    }
    return 0;
}

double RZRInstallationsBackoffEventData::recoverableErrorBackoffTimeForAttemptNumber(
    std::int64_t attempt) {
    // 2^11 already exceeds the cap; larger exponents would only overflow.
    const double exponent = static_cast<double>(std::min<std::int64_t>(attempt, 32));
    return std::min(std::pow(2.0, exponent) + randomMilliseconds(), kMaxRecoverableBackoff);
}

double RZRInstallationsBackoffEventData::randomMilliseconds() {
    std::uint32_t random = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&random), sizeof random) != 1) {
        random = static_cast<std::uint32_t>(std::random_device{}());
    }
    return static_cast<double>(random % 1000) * 0.001;
}

RZRInstallationsBackoffController::RZRInstallationsBackoffController()
    : RZRInstallationsBackoffController(&monotonicSeconds) {}

RZRInstallationsBackoffController::RZRInstallationsBackoffController(DateProvider provider)
    : currentDateProvider_(std::move(provider)) {}

void RZRInstallationsBackoffController::registerEvent(RZRInstallationsBackoffEvent event) {
    std::lock_guard lock(mutex_);
    const double now = currentDateProvider_();
    std::int64_t count = 1;
    if (lastEventData_ && lastEventData_->eventType() == event) {
        count = lastEventData_->eventCount() + 1;
    }
    lastEventData_ = std::make_shared<RZRInstallationsBackoffEventData>(event, now, count);
}

bool RZRInstallationsBackoffController::isNextRequestAllowed() {
    std::lock_guard lock(mutex_);
    if (!lastEventData_) return true;
    const double now = currentDateProvider_();
    if (now < lastEventData_->lastEventDate()) {
        // The clock went back: count the wait from now rather than from a
        // date that may lie far in the future.
        lastEventData_ = std::make_shared<RZRInstallationsBackoffEventData>(
            lastEventData_->eventType(), now, lastEventData_->eventCount());
        return lastEventData_->backoffTimeInterval() <= 0;
    }
    return now - lastEventData_->lastEventDate() >= lastEventData_->backoffTimeInterval();
}

std::shared_ptr<RZRInstallationsBackoffEventData> RZRInstallationsBackoffController::lastEventData()
    const {
    std::lock_guard lock(mutex_);
    return lastEventData_;
}
