#include "platform/dispatch/DispatchQueue.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <thread>
#include <vector>

#include "platform/dispatch/Activity.h"
#include "platform/dispatch/Internal.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/WorkerThreads.h"

namespace sim::detail {

std::vector<Frame>& frames() {
    thread_local std::vector<Frame> f;
    return f;
}

namespace {

constexpr const char* kSyncDeadlock =
    "BUG IN CLIENT OF DISPATCH: dispatch_sync called on queue already owned by current thread";

// One elastic pool for every non-main queue. Leaked on purpose.
class Pool {
  public:
    void submit(std::function<void()> task) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        if (tasks_.size() > idle_) {
            ++threads_;
            std::thread([this] { work(); }).detach();
        } else {
            cv_.notify_one();
        }
    }

  private:
    void work() {
        notifyThreadEvent(PTHREAD_INTROSPECTION_THREAD_START);
        struct Leaving {
            ~Leaving() { notifyThreadEvent(PTHREAD_INTROSPECTION_THREAD_TERMINATE); }
        } leaving;
        std::unique_lock lock(mutex_);
        for (;;) {
            while (tasks_.empty()) {
                ++idle_;
                bool got = cv_.wait_for(lock, std::chrono::seconds(10),
                                        [this] { return !tasks_.empty(); });
                --idle_;
                if (!got) {
                    --threads_;
                    return;
                }
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::size_t idle_ = 0;
    std::size_t threads_ = 0;
};

Pool* gPool;

Pool& pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        gPool = new Pool;
        // A forked child has none of the parent's workers (and perhaps a
        // lock one of them held): it starts a pool of its own.
        ::pthread_atfork(nullptr, nullptr, [] { gPool = new Pool; });
    });
    return *gPool;
}

}  // namespace

std::atomic<std::size_t> gBlocksInFlight{0};
std::atomic<std::size_t> gBlocksWaiting{0};

// Marks a worker block that waits on a semaphore or group: it is not busy,
// it waits for someone else.
struct WaitingGuard {
    const bool inBlock = !frames().empty();
    WaitingGuard() {
        if (inBlock) ++gBlocksWaiting;
    }
    ~WaitingGuard() {
        if (inBlock) --gBlocksWaiting;
    }
    WaitingGuard(const WaitingGuard&) = delete;
    WaitingGuard& operator=(const WaitingGuard&) = delete;
};

MainState& mainState() {
    static MainState* s = new MainState;
    return *s;
}

void postToMain(std::function<void()> block) {
    auto& s = mainState();
    std::lock_guard lock(s.mutex);
    s.blocks.push_back(std::move(block));
    s.cv.notify_all();
}

}  // namespace sim::detail

using sim::detail::Frame;
using sim::detail::FrameGuard;
using sim::detail::frames;

namespace {
struct SyncWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool ready = false;
};
}  // namespace

struct DispatchQueue::Impl {
    struct Item {
        Block block;
        bool exclusive = false;
        SyncWaiter* waiter = nullptr;  // a sync caller waiting for its turn
    };
    std::mutex mutex;
    std::deque<Item> items;
    int running = 0;
    bool exclusiveRunning = false;
    std::shared_ptr<DispatchQueue> keepAlive;  // set while work is pending

    // Takes the items that may start now.
    void takeRunnable(std::vector<Item>& out) {
        while (!items.empty()) {
            Item& item = items.front();
            if (item.exclusive) {
                if (running > 0 || exclusiveRunning) return;
                exclusiveRunning = true;
                out.push_back(std::move(item));
                items.pop_front();
                return;
            }
            if (exclusiveRunning) return;
            ++running;
            out.push_back(std::move(item));
            items.pop_front();
        }
    }
    bool idle() const { return items.empty() && running == 0 && !exclusiveRunning; }
};

struct DispatchQueueAccess {
    static void start(DispatchQueue& q, std::vector<DispatchQueue::Impl::Item>& items) {
        for (auto& item : items) {
            if (item.waiter) {
                std::lock_guard lock(item.waiter->mutex);
                item.waiter->ready = true;
                item.waiter->cv.notify_all();
                continue;
            }
            auto self = q.shared_from_this();
            sim::detail::pool().submit(
                [self, block = std::move(item.block), exclusive = item.exclusive] {
                    {
                        FrameGuard guard(self.get(), exclusive);
                        block();
                    }
                    finish(*self, exclusive);
                    --sim::detail::gBlocksInFlight;
                });
        }
    }
    static void finish(DispatchQueue& q, bool exclusive) {
        std::vector<DispatchQueue::Impl::Item> runnable;
        std::shared_ptr<DispatchQueue> release;
        {
            std::lock_guard lock(q.impl_->mutex);
            if (exclusive) {
                q.impl_->exclusiveRunning = false;
            } else {
                --q.impl_->running;
            }
            q.impl_->takeRunnable(runnable);
            if (q.impl_->idle()) release = std::move(q.impl_->keepAlive);
        }
        start(q, runnable);
        // release (possibly the last reference) goes after everything else
    }
};

DispatchQueue::DispatchQueue(std::string label, Kind kind, QoS qos)
    : label_(std::move(label)), kind_(kind), qos_(qos), impl_(std::make_unique<Impl>()) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static auto* q = new std::shared_ptr<DispatchQueue>(
        new DispatchQueue("com.apple.main-thread", Kind::Main, QoS::UserInteractive));
    return *q;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QoS qos) {
    static auto* queues = [] {
        auto* a = new std::array<std::shared_ptr<DispatchQueue>, 6>;
        const char* names[] = {"background",     "utility",          "default",
                               "user-initiated", "user-interactive", "default"};
        for (int i = 0; i < 6; ++i) {
            (*a)[i] = std::shared_ptr<DispatchQueue>(
                new DispatchQueue(std::string("com.apple.root.") + names[i] + "-qos",
                                  Kind::Concurrent, static_cast<QoS>(i)));
        }
        return a;
    }();
    int index = static_cast<int>(qos);
    if (qos == QoS::Unspecified) index = static_cast<int>(QoS::Default);
    return (*queues)[index];
}

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, Attributes attributes,
                                                     QoS qos) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(
        std::move(label), attributes == Attributes::Serial ? Kind::Serial : Kind::Concurrent, qos));
}

void DispatchQueue::submit(Block block, bool barrier) {
    if (kind_ == Kind::Main) {
        sim::detail::postToMain(std::move(block));
        return;
    }
    ++sim::detail::gBlocksInFlight;
    std::vector<Impl::Item> runnable;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->keepAlive) impl_->keepAlive = shared_from_this();
        impl_->items.push_back({std::move(block), barrier || kind_ == Kind::Serial, nullptr});
        impl_->takeRunnable(runnable);
    }
    DispatchQueueAccess::start(*this, runnable);
}

void DispatchQueue::async(Block block) {
    submit(std::move(block), false);
}
void DispatchQueue::asyncBarrier(Block block) {
    submit(std::move(block), true);
}

void DispatchQueue::asyncAfter(sim::Duration delay, Block block) {
    asyncAfter(sim::Clock::now() + delay, std::move(block));
}

void DispatchQueue::asyncAfter(sim::Time deadline, Block block) {
    if (deadline <= sim::Clock::now()) {
        async(std::move(block));
        return;
    }
    auto shared = std::make_shared<Block>(std::move(block));
    std::uint64_t id = sim::detail::scheduleAt(
        deadline, [self = shared_from_this(), shared] { self->async(*shared); });
    // The clock may have passed the deadline on another thread since the
    // check above, after its advance had looked for due items.
    if (deadline <= sim::Clock::now() && sim::detail::cancelScheduled(id)) async(*shared);
}

void DispatchQueue::sync(const Block& block) {
    doSync(block, false);
}
void DispatchQueue::syncBarrier(const Block& block) {
    doSync(block, true);
}

void DispatchQueue::doSync(const Block& block, bool barrier) {
    bool exclusive = barrier || kind_ != Kind::Concurrent;
    if (kind_ == Kind::Main && NSThread::isMainThread())
        sim::detail::fatal(sim::detail::kSyncDeadlock);
    if (exclusive) {
        for (const Frame& f : frames()) {
            if (f.queue == this) sim::detail::fatal(sim::detail::kSyncDeadlock);
        }
    }
    if (kind_ == Kind::Main) {
        SyncWaiter waiter;
        std::exception_ptr error;
        sim::detail::postToMain([&] {
            try {
                block();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard lock(waiter.mutex);
            waiter.ready = true;
            waiter.cv.notify_all();
        });
        std::unique_lock lock(waiter.mutex);
        waiter.cv.wait(lock, [&] { return waiter.ready; });
        if (error) std::rethrow_exception(error);
        return;
    }
    auto self = shared_from_this();
    SyncWaiter waiter;
    std::vector<Impl::Item> runnable;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->keepAlive) impl_->keepAlive = self;
        impl_->items.push_back({nullptr, exclusive, &waiter});
        impl_->takeRunnable(runnable);
    }
    DispatchQueueAccess::start(*this, runnable);
    {
        std::unique_lock lock(waiter.mutex);
        waiter.cv.wait(lock, [&] { return waiter.ready; });
    }
    struct Finish {
        DispatchQueue& q;
        bool exclusive;
        ~Finish() { DispatchQueueAccess::finish(q, exclusive); }
    } finish{*this, exclusive};
    FrameGuard guard(this, exclusive);
    block();
}

std::string DispatchQueue::currentLabel() {
    const auto& f = frames();
    if (!f.empty()) return f.back().queue->label();
    if (NSThread::isMainThread()) return "com.apple.main-thread";
    return "";
}

void DispatchQueue::setSpecific(const void* key, std::shared_ptr<void> value) {
    std::lock_guard lock(specificMutex_);
    if (value) {
        specific_[key] = std::move(value);
    } else {
        specific_.erase(key);
    }
}

std::shared_ptr<void> DispatchQueue::specific(const void* key) const {
    std::lock_guard lock(specificMutex_);
    auto it = specific_.find(key);
    return it == specific_.end() ? nullptr : it->second;
}

std::shared_ptr<void> DispatchQueue::getSpecific(const void* key) {
    const auto& f = frames();
    if (!f.empty()) return f.back().queue->specific(key);
    if (NSThread::isMainThread()) return main()->specific(key);
    return nullptr;
}

// ---------------------------------------------------------------- waits

namespace {

// Waits on cv until ready() or the deadline on the sim clock. Virtual mode:
// the deadline passes only when sim::advanceClock moves past it.
template <class Ready>
DispatchTimeoutResult waitUntil(std::mutex& mutex, std::condition_variable& cv, sim::Time deadline,
                                Ready ready) {
    sim::detail::WaitingGuard waiting;
    std::unique_lock lock(mutex);
    if (ready()) return DispatchTimeoutResult::success;
    if (!sim::isVirtualClock()) {
        auto realDeadline = std::chrono::steady_clock::time_point(deadline.time_since_epoch());
        bool ok = cv.wait_until(lock, realDeadline, ready);
        return ok ? DispatchTimeoutResult::success : DispatchTimeoutResult::timedOut;
    }
    if (sim::Clock::now() >= deadline) return DispatchTimeoutResult::timedOut;
    auto expired = std::make_shared<bool>(false);
    lock.unlock();
    // The wake entry locks the same mutex, so no wake-up is lost.
    std::uint64_t id = sim::detail::scheduleAt(deadline, [&mutex, &cv, expired] {
        std::lock_guard l(mutex);
        *expired = true;
        cv.notify_all();
    });
    lock.lock();
    bool ok = false;  // ready() may consume (a semaphore), so call it once per check
    // The clock may have passed the deadline on another thread between the
    // check above and scheduling, after its advance had looked for due items.
    cv.wait(lock, [&] {
        if (ready()) ok = true;
        return ok || *expired || sim::Clock::now() >= deadline;
    });
    lock.unlock();
    if (!sim::detail::cancelScheduled(id)) {
        // It fired (or is firing): wait until it has let go of the mutex.
        lock.lock();
        cv.wait(lock, [&] { return *expired; });
    }
    return ok ? DispatchTimeoutResult::success : DispatchTimeoutResult::timedOut;
}

}  // namespace

struct DispatchSemaphore::State {
    std::mutex mutex;
    std::condition_variable cv;
    long value = 0;
    long waiters = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_shared<State>()) {
    state_->value = value;
}

bool DispatchSemaphore::signal() {
    std::lock_guard lock(state_->mutex);
    ++state_->value;
    state_->cv.notify_all();
    return state_->waiters > 0;
}

void DispatchSemaphore::wait() {
    sim::detail::WaitingGuard waiting;
    std::unique_lock lock(state_->mutex);
    ++state_->waiters;
    state_->cv.wait(lock, [&] { return state_->value > 0; });
    --state_->waiters;
    --state_->value;
}

DispatchTimeoutResult DispatchSemaphore::wait(sim::Duration timeout) {
    return wait(sim::Clock::now() + timeout);
}

DispatchTimeoutResult DispatchSemaphore::wait(sim::Time deadline) {
    auto st = state_;
    {
        std::lock_guard lock(st->mutex);
        ++st->waiters;
    }
    auto result = waitUntil(st->mutex, st->cv, deadline, [&] {
        if (st->value <= 0) return false;
        --st->value;
        return true;
    });
    std::lock_guard lock(st->mutex);
    --st->waiters;
    return result;
}

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>> notifies;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>> notifies;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count <= 0) {
            sim::detail::fatal(
                "BUG IN CLIENT OF LIBDISPATCH: Unbalanced call to dispatch_group_leave()");
        }
        if (--state_->count == 0) {
            notifies.swap(state_->notifies);
            state_->cv.notify_all();
        }
    }
    for (auto& [queue, block] : notifies) queue->async(std::move(block));
}

void DispatchGroup::async(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) {
    enter();
    DispatchGroup self = *this;
    queue->async([self, block = std::move(block)]() mutable {
        block();
        self.leave();
    });
}

void DispatchGroup::notify(const std::shared_ptr<DispatchQueue>& queue,
                           DispatchQueue::Block block) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifies.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

void DispatchGroup::wait() {
    sim::detail::WaitingGuard waiting;
    std::unique_lock lock(state_->mutex);
    state_->cv.wait(lock, [&] { return state_->count == 0; });
}

DispatchTimeoutResult DispatchGroup::wait(sim::Duration timeout) {
    return wait(sim::Clock::now() + timeout);
}

DispatchTimeoutResult DispatchGroup::wait(sim::Time deadline) {
    auto st = state_;
    return waitUntil(st->mutex, st->cv, deadline, [&] { return st->count == 0; });
}

std::size_t sim::busyDispatchBlocks() {
    const std::size_t inFlight = sim::detail::gBlocksInFlight.load();
    const std::size_t waiting = sim::detail::gBlocksWaiting.load();
    return inFlight > waiting ? inFlight - waiting : 0;
}
