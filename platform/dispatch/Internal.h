#pragma once
// Shared internals of the dispatch stand-in (not a public header).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

namespace sim::detail {

// The deadline scheduler behind asyncAfter, timers and virtual timed waits.
// fire runs on the timer thread (real mode) or on the thread that advances
// the clock (virtual mode), never with a scheduler lock held; it must only
// post work or wake waiters. Returns an id for cancel (never 0).
std::uint64_t scheduleAt(Time deadline, std::function<void()> fire);
// Removes a pending entry; returns false if it already fired or is unknown.
bool cancelScheduled(std::uint64_t id);

// Which queue blocks the current thread is running (innermost last).
struct Frame {
    DispatchQueue* queue;
    bool exclusive;
};
std::vector<Frame>& frames();
// Publishes the innermost frame's label for crash-time readers
// (WorkerThreads.h).
void noteCurrentQueue();
struct FrameGuard {
    FrameGuard(DispatchQueue* queue, bool exclusive) {
        frames().push_back({queue, exclusive});
        noteCurrentQueue();
    }
    ~FrameGuard() {
        frames().pop_back();
        noteCurrentQueue();
    }
    FrameGuard(const FrameGuard&) = delete;
    FrameGuard& operator=(const FrameGuard&) = delete;
};

// The main run loop's pending blocks.
struct MainState {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> blocks;
    bool stopRequested = false;
};
MainState& mainState();
void postToMain(std::function<void()> block);

// Calls the introspection hook, if any, on the calling thread.
void notifyThreadEvent(unsigned int event);

[[noreturn]] void fatal(const char* message);

}  // namespace sim::detail
