#pragma once
// Timers: a dispatch timer source firing on any queue and an NSTimer-like
// timer on the main run loop. Deadlines are measured on sim::Clock.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

// DispatchSource.makeTimerSource(queue). Created suspended: set a schedule and
// an event handler, then resume(). When due, the handler is posted to the
// queue (never run inline). Repeating timers fire at deadline, deadline +
// interval, ...; in real mode missed periods are skipped. cancel() (from any
// thread, also from inside the handler) stops it for good: a cancelled timer
// never runs its handler again, even one already posted. The timer stops if
// its last shared_ptr goes away (keep it while you need it).
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
  public:
    static std::shared_ptr<DispatchTimer> make(std::shared_ptr<DispatchQueue> queue);
    ~DispatchTimer();

    // First fire after delay (or at deadline), then every interval if given.
    void schedule(sim::Duration delay, std::optional<sim::Duration> interval = std::nullopt);
    void scheduleAt(sim::Time deadline, std::optional<sim::Duration> interval = std::nullopt);
    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);  // posted once on cancel
    void resume();
    void suspend();
    void cancel();
    bool isCancelled() const;

    struct Impl;

  private:
    explicit DispatchTimer(std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<Impl> impl_;
};

// NSTimer on the main run loop (scheduledTimer(withTimeInterval:repeats:block:)).
// The run loop keeps a scheduled timer alive until it is invalidated; a
// one-shot timer invalidates itself after firing. invalidate() from any place,
// including the block, stops it for good.
class Timer : public std::enable_shared_from_this<Timer> {
  public:
    using Block = std::function<void(Timer&)>;
    static std::shared_ptr<Timer> scheduledTimer(sim::Duration interval, bool repeats, Block block);
    static std::shared_ptr<Timer> scheduledTimer(sim::Duration interval, bool repeats,
                                                 std::function<void()> block);
    static std::shared_ptr<Timer> scheduledTimer(double intervalSeconds, bool repeats, Block block);
    static std::shared_ptr<Timer> scheduledTimer(double intervalSeconds, bool repeats,
                                                 std::function<void()> block);

    void invalidate();
    bool isValid() const;
    void fire();  // runs the block now (a one-shot timer is then invalidated)
    sim::Duration timeInterval() const { return interval_; }

    ~Timer();

  private:
    Timer(sim::Duration interval, bool repeats, Block block);
    void start();

    sim::Duration interval_;
    bool repeats_;
    Block block_;  // only touched on the main thread
    mutable std::mutex mutex_;
    bool valid_ = true;
    std::shared_ptr<DispatchTimer> source_;
};
