#include "services/measurement/APMAlarm.h"

#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Timer.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMMeasurement.h"

struct APMAlarm::State {
    std::mutex mutex;
    std::shared_ptr<DispatchTimer> timer;
    std::optional<double> scheduledTimestamp;
};

APMAlarm::APMAlarm(std::shared_ptr<DispatchQueue> queue, const std::string& name)
    : queue_(std::move(queue)),
      name_(name.empty() ? "Timer" : name),
      state_(std::make_shared<State>()) {}

APMAlarm::~APMAlarm() {
    cancel();
}

void APMAlarm::runAfterDelay(double delaySeconds, std::function<void()> block) {
    if (!block) {
        APMMeasurement::monitor().logWithLevel(1, 2000,
                                               name_ + " tried to schedule an empty block");
        return;
    }
    cancel();
    auto timer = DispatchTimer::make(queue_);
    std::weak_ptr<State> weakState = state_;
    std::weak_ptr<DispatchTimer> weakTimer = timer;
    timer->setEventHandler([weakState, weakTimer, name = name_, block = std::move(block)] {
        auto state = weakState.lock();
        if (!state) return;
        std::shared_ptr<DispatchTimer> fired;
        {
            // Checked and disarmed in one step: a timer armed meanwhile by
            // another thread must stay armed.
            std::lock_guard lock(state->mutex);
            if (!state->timer || state->timer != weakTimer.lock()) return;
            fired = std::move(state->timer);
            state->timer.reset();
            state->scheduledTimestamp.reset();
        }
        APMMeasurement::monitor().logWithLevel(7, 2001, name + " fired");
        fired->cancel();
        block();
    });
    {
        std::lock_guard lock(state_->mutex);
        state_->scheduledTimestamp = sim::wallClockSeconds() + delaySeconds;
        state_->timer = timer;
    }
    timer->schedule(sim::seconds(delaySeconds > 0 ? delaySeconds : 0));
    timer->resume();
    APMMeasurement::monitor().logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)",
                                           APMMonitorContext(Value(delaySeconds)));
}

void APMAlarm::cancel() {
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->scheduledTimestamp) return;
        state_->scheduledTimestamp.reset();
        timer = std::move(state_->timer);
        state_->timer.reset();
    }
    APMMeasurement::monitor().logWithLevel(7, 2003, name_ + " canceled");
    if (!timer || timer->isCancelled())
        APMMeasurement::monitor().logWithLevel(4, 2004, name_ + " is not active");
    else
        timer->cancel();
}

bool APMAlarm::hasActiveTimer() const {
    std::lock_guard lock(state_->mutex);
    return state_->timer && !state_->timer->isCancelled();
}

std::optional<double> APMAlarm::scheduledTimestamp() const {
    std::lock_guard lock(state_->mutex);
    return state_->scheduledTimestamp;
}
