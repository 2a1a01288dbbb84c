#include "platform/dispatch/Timer.h"

#include <set>

#include "platform/dispatch/Internal.h"

struct DispatchTimer::Impl : std::enable_shared_from_this<DispatchTimer::Impl> {
    std::mutex mutex;
    std::shared_ptr<DispatchQueue> queue;
    std::function<void()> handler;
    std::function<void()> cancelHandler;
    std::optional<sim::Time> deadline;
    std::optional<sim::Duration> interval;
    bool resumed = false;
    bool cancelled = false;
    std::uint64_t entry = 0;
    std::uint64_t generation = 0;

    // With mutex held: (re)arms the scheduler entry for the current state.
    void rearm() {
        if (entry != 0) {
            sim::detail::cancelScheduled(entry);
            entry = 0;
        }
        ++generation;
        if (!resumed || cancelled || !deadline) return;
        entry = sim::detail::scheduleAt(*deadline, [weak = weak_from_this(), gen = generation] {
            if (auto self = weak.lock()) self->fired(gen);
        });
    }

    void fired(std::uint64_t gen) {
        {
            std::lock_guard lock(mutex);
            if (gen != generation || cancelled || !resumed) return;
            entry = 0;
            if (interval && interval->count() > 0) {
                sim::Time next = *deadline + *interval;
                if (!sim::isVirtualClock()) {
                    sim::Time now = sim::Clock::now();
                    while (next <= now) next += *interval;
                }
                deadline = next;
            } else {
                deadline.reset();
            }
            rearm();
        }
        queue->async([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            std::function<void()> h;
            {
                std::lock_guard lock(self->mutex);
                if (self->cancelled) return;
                h = self->handler;
            }
            if (h) h();
        });
    }
};

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue)
    : impl_(std::make_shared<Impl>()) {
    impl_->queue = queue ? std::move(queue) : DispatchQueue::global();
}

std::shared_ptr<DispatchTimer> DispatchTimer::make(std::shared_ptr<DispatchQueue> queue) {
    return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(queue)));
}

DispatchTimer::~DispatchTimer() {
    std::lock_guard lock(impl_->mutex);
    impl_->resumed = false;
    impl_->rearm();
}

void DispatchTimer::schedule(sim::Duration delay, std::optional<sim::Duration> interval) {
    scheduleAt(sim::Clock::now() + delay, interval);
}

void DispatchTimer::scheduleAt(sim::Time deadline, std::optional<sim::Duration> interval) {
    std::lock_guard lock(impl_->mutex);
    impl_->deadline = deadline;
    impl_->interval = interval;
    impl_->rearm();
}

void DispatchTimer::setEventHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

void DispatchTimer::setCancelHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->cancelHandler = std::move(handler);
}

void DispatchTimer::resume() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->resumed || impl_->cancelled) return;
    impl_->resumed = true;
    impl_->rearm();
}

void DispatchTimer::suspend() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->resumed) return;
    impl_->resumed = false;
    impl_->rearm();
}

void DispatchTimer::cancel() {
    std::function<void()> handler;
    std::function<void()> cancelHandler;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->cancelled) return;
        impl_->cancelled = true;
        impl_->rearm();
        handler = std::move(impl_->handler);  // released outside the lock
        impl_->handler = nullptr;
        cancelHandler = std::move(impl_->cancelHandler);
        impl_->cancelHandler = nullptr;
    }
    if (cancelHandler) impl_->queue->async(std::move(cancelHandler));
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->cancelled;
}

// ---------------------------------------------------------------- Timer

namespace {
struct Registry {
    std::mutex mutex;
    std::set<std::shared_ptr<Timer>> timers;  // the run loop retains valid timers
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}
}  // namespace

Timer::Timer(sim::Duration interval, bool repeats, Block block)
    : interval_(interval), repeats_(repeats), block_(std::move(block)) {}

Timer::~Timer() {
    if (source_) source_->cancel();
}

std::shared_ptr<Timer> Timer::scheduledTimer(sim::Duration interval, bool repeats, Block block) {
    if (interval <= sim::Duration::zero()) interval = std::chrono::microseconds(100);  // as NSTimer
    auto timer = std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(block)));
    timer->start();
    return timer;
}

std::shared_ptr<Timer> Timer::scheduledTimer(sim::Duration interval, bool repeats,
                                             std::function<void()> block) {
    return scheduledTimer(interval, repeats,
                          Block([block = std::move(block)](Timer&) { block(); }));
}

std::shared_ptr<Timer> Timer::scheduledTimer(double intervalSeconds, bool repeats, Block block) {
    return scheduledTimer(sim::seconds(intervalSeconds), repeats, std::move(block));
}

std::shared_ptr<Timer> Timer::scheduledTimer(double intervalSeconds, bool repeats,
                                             std::function<void()> block) {
    return scheduledTimer(sim::seconds(intervalSeconds), repeats, std::move(block));
}

void Timer::start() {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        r.timers.insert(shared_from_this());
    }
    auto source = DispatchTimer::make(DispatchQueue::main());
    std::weak_ptr<Timer> weak = weak_from_this();
    source->setEventHandler([weak] {
        if (auto self = weak.lock()) self->fire();
    });
    source->schedule(interval_, repeats_ ? std::optional<sim::Duration>(interval_) : std::nullopt);
    std::lock_guard lock(mutex_);
    source_ = source;
    source_->resume();
}

void Timer::fire() {
    auto keep = shared_from_this();
    Block block;
    {
        std::lock_guard lock(mutex_);
        if (!valid_) return;
        block = block_;
    }
    if (block) block(*this);
    if (!repeats_) invalidate();
}

void Timer::invalidate() {
    auto keep = shared_from_this();
    Block block;
    std::shared_ptr<DispatchTimer> source;
    {
        std::lock_guard lock(mutex_);
        if (!valid_) return;
        valid_ = false;
        block = std::move(block_);
        block_ = nullptr;
        source = source_;
    }
    if (source) source->cancel();
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.timers.erase(keep);
}

bool Timer::isValid() const {
    std::lock_guard lock(mutex_);
    return valid_;
}
