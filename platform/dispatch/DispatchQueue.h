#pragma once
// Dispatch stand-in: queues, groups, semaphores and once.
//
// Guarantees:
//  * Posting (async, asyncAfter, asyncBarrier, group async/notify) never runs
//    the block inline; it runs later on the queue's thread(s).
//  * Serial queues (and the main queue) run their blocks one at a time, in
//    FIFO order of posting.
//  * Concurrent queues (global() and create(..., Concurrent)) run blocks in
//    parallel on worker threads. A barrier block waits until every block
//    posted before it has finished, runs alone, and blocks posted after it
//    start only once it has finished.
//  * The main queue runs its blocks only on the thread that pumps the main
//    run loop (sim::MainLoop in MainLoop.h), one at a time, in FIFO order.
//  * Worker threads come from one shared, elastic pool (a thread is added
//    whenever all are busy, idle threads exit after a while), so blocks that
//    block do not starve the others. Idle queues use no CPU. The pool is
//    leaked at exit on purpose: process exit never waits for it. A forked
//    child starts a pool of its own. WorkerThreads.h tells crash-time
//    code which queue each thread runs.
//  * sync(fn) runs fn and returns when it has finished, with the queue's
//    serial/barrier exclusivity. sync (or syncBarrier) onto a serial queue that
//    the current thread is already running (directly or through nested syncs),
//    or onto the main queue from the main thread, aborts the process at once
//    with "BUG IN CLIENT OF DISPATCH: dispatch_sync called on queue already
//    owned by current thread" instead of deadlocking. sync onto the main queue
//    from another thread works while the main thread pumps. An exception
//    thrown by fn propagates to the sync caller.
//  * asyncAfter deadlines are measured on sim::Clock (Clock.h): in virtual
//    mode they fire only when sim::advanceClock passes them.
//  * currentLabel() is the label of the queue whose block the calling thread
//    is running (the innermost one for nested syncs); on the main thread
//    outside any block it is "com.apple.main-thread"; elsewhere "".
//
// Timed waits (DispatchSemaphore::wait, DispatchGroup::wait) with a timeout:
// with the real clock they are real timed waits; with the virtual clock they
// end when signalled or when virtual time passes the deadline, i.e. when
// another thread calls sim::advanceClock past it (no real time limit).

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/dispatch/Clock.h"

enum class DispatchQoS {
    Background,
    Utility,
    Default,
    UserInitiated,
    UserInteractive,
    Unspecified
};

enum class DispatchTimeoutResult { success, timedOut };

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    using QoS = DispatchQoS;
    enum class Attributes { Serial, Concurrent };
    using Block = std::function<void()>;

    // The main queue, label "com.apple.main-thread".
    static std::shared_ptr<DispatchQueue> main();
    // A shared concurrent queue per QoS (label "com.apple.root.<qos>-qos").
    static std::shared_ptr<DispatchQueue> global(QoS qos = QoS::Default);
    static std::shared_ptr<DispatchQueue> create(std::string label,
                                                 Attributes attributes = Attributes::Serial,
                                                 QoS qos = QoS::Default);

    void async(Block block);
    void asyncBarrier(Block block);  // same as async on a serial queue
    // Posts block when the sim clock reaches now + delay (or deadline).
    void asyncAfter(sim::Duration delay, Block block);
    void asyncAfter(sim::Time deadline, Block block);
    void sync(const Block& block);
    void syncBarrier(const Block& block);
    // sync returning the block's value.
    template <class F>
    auto syncValue(F&& f) -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync(std::forward<F>(f));
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    const std::string& label() const { return label_; }
    bool isSerial() const { return kind_ != Kind::Concurrent; }
    bool isMain() const { return kind_ == Kind::Main; }
    QoS qos() const { return qos_; }
    static std::string currentLabel();

    // Queue-specific data (dispatch_queue_set_specific). A null value removes.
    void setSpecific(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> specific(const void* key) const;
    // The value for key on the queue running the current block (the innermost
    // one for nested syncs; the main queue on the main thread outside any
    // block), or null.
    static std::shared_ptr<void> getSpecific(const void* key);

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;
    ~DispatchQueue();

    struct Impl;  // implementation detail

  private:
    enum class Kind { Main, Serial, Concurrent };
    DispatchQueue(std::string label, Kind kind, QoS qos);
    void submit(Block block, bool barrier);
    void doSync(const Block& block, bool barrier);

    std::string label_;
    Kind kind_;
    QoS qos_;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex specificMutex_;
    std::map<const void*, std::shared_ptr<void>> specific_;
    friend struct DispatchQueueAccess;
};

class DispatchGroup {
  public:
    DispatchGroup();
    void enter();
    void leave();  // leaving more often than entering aborts, as on the platform
    void async(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block);
    // Posts block to queue once the group is empty (at once if it is now).
    void notify(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block);
    void wait();
    DispatchTimeoutResult wait(sim::Duration timeout);
    DispatchTimeoutResult wait(sim::Time deadline);

    struct State;

  private:
    std::shared_ptr<State> state_;  // shared with pending blocks and waits
};

class DispatchSemaphore {
  public:
    explicit DispatchSemaphore(long value = 0);
    // Returns true when it woke a waiter (as dispatch_semaphore_signal != 0).
    bool signal();
    void wait();
    DispatchTimeoutResult wait(sim::Duration timeout);
    DispatchTimeoutResult wait(sim::Time deadline);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

// dispatch_once: runs the block once per token, other callers wait for it.
class DispatchOnce {
  public:
    template <class F>
    void operator()(F&& f) {
        std::call_once(flag_, std::forward<F>(f));
    }

  private:
    std::once_flag flag_;
};
template <class F>
void dispatch_once(DispatchOnce& token, F&& f) {
    token(std::forward<F>(f));
}
