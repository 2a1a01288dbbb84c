#pragma once
// What the dispatch stand-in is busy with, for those who must wait until
// the program's own work has finished (the console, before it answers).

#include <cstddef>
#include <functional>

#include "platform/dispatch/Clock.h"

namespace sim {

// Blocks posted to queues other than the main one that have not finished,
// less those waiting on a semaphore or group: work that is still going on.
// Delayed blocks count from their deadline on.
std::size_t busyDispatchBlocks();

// sim::advanceAndRun (MainLoop.h), calling afterEachStep after each step's
// pump: work that what fired started elsewhere (other queues, the network)
// may finish before the clock moves on, so time does not run ahead of it.
void advanceAndRun(Duration d, const std::function<void()>& afterEachStep);

}  // namespace sim
