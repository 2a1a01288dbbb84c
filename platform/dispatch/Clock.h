#pragma once
// One injectable, process-wide clock for everything that measures time:
// asyncAfter deadlines, timers, timed waits and the wall clock.
//
// Real mode (the default): sim::Clock follows std::chrono::steady_clock and
// the wall clock follows the system clock.
//
// Virtual mode (sim::useVirtualClock()): time stands still at a fixed epoch
// until sim::advanceClock(d) moves it. Advancing fires, in deadline order
// (ties in scheduling order), every asyncAfter item and timer that falls due,
// setting Clock::now() to each item's deadline before firing it; "firing"
// means posting the block to its queue, never running it inline. Blocks for
// the main queue then run when the main thread pumps (see MainLoop.h;
// sim::advanceAndRun steps and pumps in one go). Wall-clock time moves with
// virtual time.
//
// In virtual mode a timer or wait whose deadline is already reached when it
// is scheduled fires on the next advanceClock (advanceClock(0) will do);
// asyncAfter with a deadline already reached posts at once in both modes.
// Items keep their absolute deadline when the mode changes: leave no timer
// running across tests that switch clocks (invalidate/cancel them).

#include <chrono>
#include <cstdint>

namespace sim {

struct Clock {
    using duration = std::chrono::steady_clock::duration;  // nanoseconds
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<Clock, duration>;
    static constexpr bool is_steady = true;

    static time_point now();
};

using Time = Clock::time_point;
using Duration = Clock::duration;

// Seconds (fractional) as a clock duration, for intervals given as doubles.
inline Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
// A duration in seconds as a double.
inline double toSeconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

// Virtual time starts here (a fixed point, the same on every switch).
inline constexpr Time kVirtualEpoch = Time(std::chrono::hours(24 * 1000));
// Wall clock (seconds since 1970) at kVirtualEpoch: 2024-01-01 00:00:00 UTC.
inline constexpr double kVirtualWallEpochUnixSeconds = 1704067200.0;

// Switches the process to virtual time and sets it to kVirtualEpoch.
void useVirtualClock();
// Back to real time.
void useRealClock();
bool isVirtualClock();
// Virtual mode only (a no-op in real mode): moves time forward by d, firing
// everything due on the way. Callable from any thread; it also ends virtual
// timed waits (semaphores, groups) whose deadline it passes.
void advanceClock(Duration d);
// Seconds since 1970 (Date-like), real or virtual.
double wallClockSeconds();

}  // namespace sim
