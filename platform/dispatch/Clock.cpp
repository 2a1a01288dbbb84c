#include "platform/dispatch/Clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/dispatch/Internal.h"

namespace sim {
namespace {

std::atomic<bool> gVirtual{false};
std::atomic<Clock::rep> gVirtualNow{kVirtualEpoch.time_since_epoch().count()};

// Leaked on purpose: the timer thread may outlive static destruction.
struct Scheduler {
    std::mutex mutex;
    std::condition_variable cv;
    using Key = std::pair<Time, std::uint64_t>;
    std::map<Key, std::function<void()>> entries;
    std::unordered_map<std::uint64_t, Time> deadlines;
    std::uint64_t nextId = 1;
    bool threadStarted = false;
    std::mutex advanceMutex;  // one advanceClock at a time

    void startThreadLocked() {
        if (threadStarted) return;
        threadStarted = true;
        std::thread([this] { run(); }).detach();
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            if (gVirtual.load() || entries.empty()) {
                cv.wait(lock);
                continue;
            }
            auto it = entries.begin();
            Time deadline = it->first.first;
            if (deadline <= Clock::now()) {
                auto fire = std::move(it->second);
                deadlines.erase(it->first.second);
                entries.erase(it);
                lock.unlock();
                fire();
                fire = nullptr;
                lock.lock();
                continue;
            }
            cv.wait_until(lock, std::chrono::steady_clock::time_point(deadline.time_since_epoch()));
        }
    }

    // Virtual mode: fires the earliest entry due at or before target.
    bool step(Time target) {
        std::unique_lock lock(mutex);
        if (entries.empty()) return false;
        auto it = entries.begin();
        Time deadline = it->first.first;
        if (deadline > target) return false;
        if (deadline.time_since_epoch().count() > gVirtualNow.load()) {
            gVirtualNow.store(deadline.time_since_epoch().count());
        }
        auto fire = std::move(it->second);
        deadlines.erase(it->first.second);
        entries.erase(it);
        lock.unlock();
        fire();
        return true;
    }
};

Scheduler& scheduler() {
    static Scheduler* s = new Scheduler;
    return *s;
}

}  // namespace

Clock::time_point Clock::now() {
    if (gVirtual.load(std::memory_order_acquire)) {
        return time_point(duration(gVirtualNow.load(std::memory_order_acquire)));
    }
    return time_point(std::chrono::steady_clock::now().time_since_epoch());
}

void useVirtualClock() {
    auto& s = scheduler();
    std::lock_guard lock(s.mutex);
    gVirtualNow.store(kVirtualEpoch.time_since_epoch().count());
    gVirtual.store(true, std::memory_order_release);
    s.cv.notify_all();
}

void useRealClock() {
    auto& s = scheduler();
    std::lock_guard lock(s.mutex);
    gVirtual.store(false, std::memory_order_release);
    if (!s.entries.empty()) s.startThreadLocked();
    s.cv.notify_all();
}

bool isVirtualClock() {
    return gVirtual.load(std::memory_order_acquire);
}

namespace detail {
// Advances to target one due entry at a time; returns false when none is due.
bool stepClock(Time target) {
    return scheduler().step(target);
}
std::mutex& advanceMutex() {
    return scheduler().advanceMutex;
}
void setVirtualNow(Time t) {
    auto& s = scheduler();
    std::lock_guard lock(s.mutex);
    if (t.time_since_epoch().count() > gVirtualNow.load()) {
        gVirtualNow.store(t.time_since_epoch().count());
    }
}
}  // namespace detail

void advanceClock(Duration d) {
    if (!isVirtualClock()) return;
    std::lock_guard advancing(detail::advanceMutex());
    Time target = Clock::now() + d;
    while (detail::stepClock(target)) {
    }
    detail::setVirtualNow(target);
    // Another thread may have scheduled an item due by target after the loop
    // above looked; once now is target, a later one sees its deadline passed.
    while (detail::stepClock(target)) {
    }
}

double wallClockSeconds() {
    if (isVirtualClock()) {
        return kVirtualWallEpochUnixSeconds + toSeconds(Clock::now() - kVirtualEpoch);
    }
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace detail {

std::uint64_t scheduleAt(Time deadline, std::function<void()> fire) {
    auto& s = scheduler();
    std::lock_guard lock(s.mutex);
    std::uint64_t id = s.nextId++;
    bool earliest = s.entries.empty() || deadline < s.entries.begin()->first.first;
    s.entries.emplace(Scheduler::Key{deadline, id}, std::move(fire));
    s.deadlines.emplace(id, deadline);
    if (!gVirtual.load()) {
        s.startThreadLocked();
        if (earliest) s.cv.notify_all();
    }
    return id;
}

bool cancelScheduled(std::uint64_t id) {
    auto& s = scheduler();
    std::function<void()> doomed;  // destroyed outside the lock
    {
        std::lock_guard lock(s.mutex);
        auto d = s.deadlines.find(id);
        if (d == s.deadlines.end()) return false;
        auto it = s.entries.find(Scheduler::Key{d->second, id});
        if (it != s.entries.end()) {
            doomed = std::move(it->second);
            s.entries.erase(it);
        }
        s.deadlines.erase(d);
    }
    return true;
}

void fatal(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace detail
}  // namespace sim
