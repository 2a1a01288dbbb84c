#pragma once
// The main run loop: blocks posted to DispatchQueue::main() (and main-run-loop
// timers) run only while the main thread pumps with one of these calls. Call
// them on the main thread (NSThread::isMainThread()).

#include <chrono>
#include <cstddef>
#include <functional>

#include "platform/dispatch/Clock.h"

namespace sim {

struct MainLoop {
    // Runs main-queue blocks until none is ready (including blocks posted by
    // the blocks it runs); returns how many ran. Never waits.
    static std::size_t runUntilIdle();
    // Pumps, waiting for blocks posted from other threads, until predicate
    // holds (checked after every block and at least every millisecond) or timeout of REAL
    // time has elapsed. Returns whether the predicate held.
    static bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    // Pumps for the given REAL time, running blocks as they come.
    static void runFor(std::chrono::milliseconds duration);
    // Pumps until stop() is called (from a block or another thread).
    static void run();
    static void stop();
    // Makes the calling thread the main thread (for tests and programs that
    // pump from another thread). By default the main thread is the thread
    // that ran static initialisation.
    static void adoptCurrentThreadAsMain();
    // Number of main-queue blocks waiting to run.
    static std::size_t pendingCount();
};

// Virtual clock: steps through every deadline up to now + d in order; at each
// step sets the clock to that deadline, fires what is due and pumps the main
// loop (so a main-queue handler sees Clock::now() equal to its deadline);
// finally sets the clock to now + d and pumps once more. A repeating 1 s timer
// fires 3 times over 3.5 s. Call on the main thread.
void advanceAndRun(Duration d);

}  // namespace sim

struct NSThread {
    static bool isMainThread();
};
