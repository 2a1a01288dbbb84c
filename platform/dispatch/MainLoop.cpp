#include "platform/dispatch/MainLoop.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/dispatch/Activity.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Internal.h"

namespace {
// The thread that runs static initialisation is the main thread.
std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};

bool runOne() {
    auto& s = sim::detail::mainState();
    std::function<void()> block;
    {
        std::lock_guard lock(s.mutex);
        if (s.blocks.empty()) return false;
        block = std::move(s.blocks.front());
        s.blocks.pop_front();
    }
    static DispatchQueue* mainQueue = DispatchQueue::main().get();
    sim::detail::FrameGuard guard(mainQueue, true);
    block();
    return true;
}
}  // namespace

bool NSThread::isMainThread() {
    return std::this_thread::get_id() == gMainThread.load();
}

namespace sim {

std::size_t MainLoop::runUntilIdle() {
    std::size_t count = 0;
    while (runOne()) ++count;
    return count;
}

bool MainLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto& s = detail::mainState();
    for (;;) {
        if (predicate()) return true;
        if (runOne()) continue;
        // The predicate may turn true from other threads without a main-queue
        // block: recheck it every millisecond while waiting.
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return predicate();
        std::unique_lock lock(s.mutex);
        s.cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(1)),
                        [&] { return !s.blocks.empty(); });
    }
}

void MainLoop::runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

void MainLoop::run() {
    auto& s = detail::mainState();
    {
        std::lock_guard lock(s.mutex);
        s.stopRequested = false;
    }
    for (;;) {
        runOne();
        std::unique_lock lock(s.mutex);
        if (s.stopRequested) {
            s.stopRequested = false;
            return;
        }
        s.cv.wait(lock, [&] { return !s.blocks.empty() || s.stopRequested; });
        if (s.stopRequested) {
            s.stopRequested = false;
            return;
        }
    }
}

void MainLoop::stop() {
    auto& s = detail::mainState();
    std::lock_guard lock(s.mutex);
    s.stopRequested = true;
    s.cv.notify_all();
}

void MainLoop::adoptCurrentThreadAsMain() {
    gMainThread.store(std::this_thread::get_id());
}

std::size_t MainLoop::pendingCount() {
    auto& s = detail::mainState();
    std::lock_guard lock(s.mutex);
    return s.blocks.size();
}

namespace detail {
bool stepClock(Time target);
std::mutex& advanceMutex();
void setVirtualNow(Time t);
}  // namespace detail

void advanceAndRun(Duration d) {
    advanceAndRun(d, [] {});
}

void advanceAndRun(Duration d, const std::function<void()>& afterEachStep) {
    if (!isVirtualClock()) {
        MainLoop::runUntilIdle();
        afterEachStep();
        return;
    }
    Time target = Clock::now() + d;
    for (;;) {
        bool stepped;
        {
            std::lock_guard advancing(detail::advanceMutex());
            stepped = detail::stepClock(target);
        }
        if (!stepped) break;
        MainLoop::runUntilIdle();
        afterEachStep();
    }
    {
        std::lock_guard advancing(detail::advanceMutex());
        detail::setVirtualNow(target);
    }
    MainLoop::runUntilIdle();
    afterEachStep();
}

}  // namespace sim
