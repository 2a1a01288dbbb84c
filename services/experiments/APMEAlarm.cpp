#include "services/experiments/APMEAlarm.h"

#include "platform/dispatch/Clock.h"

APMEAlarm::APMEAlarm(std::string name, std::shared_ptr<DispatchQueue> queue)
    : name_(std::move(name)), queue_(std::move(queue)) {}

APMEAlarm::~APMEAlarm() {
    cancel();
}

void APMEAlarm::runAfterDelay(double seconds, std::function<void()> block) {
    std::lock_guard lock(mutex_);
    if (timer_) timer_->cancel();
    const unsigned long generation = ++generation_;
    scheduledTime_ = sim::wallClockSeconds() + seconds;
    timer_ = DispatchTimer::make(queue_);
    timer_->schedule(sim::seconds(seconds));
    timer_->setEventHandler([this, generation, block = std::move(block)] {
        {
            std::lock_guard lock(mutex_);
            if (generation != generation_) return;
            if (timer_) timer_->cancel();
            timer_.reset();
            scheduledTime_ = 0;
        }
        block();
    });
    timer_->resume();
}

void APMEAlarm::cancel() {
    std::lock_guard lock(mutex_);
    ++generation_;
    if (timer_) timer_->cancel();
    timer_.reset();
    scheduledTime_ = 0;
}

double APMEAlarm::scheduledTime() const {
    std::lock_guard lock(mutex_);
    return scheduledTime_;
}
