#pragma once
// Lumbrel's own console commands beside the simulated platform's built-in
// ones: settings, set, pushtotalk, session, update, expect, the windows'
// commands (WindowConsole.h); and the application's lines of `state`.

#include <memory>
#include <string>

class AppDelegate;

namespace sim {
class Console;
}

void addLumbrelCommands(sim::Console& console, const std::shared_ptr<AppDelegate>& delegate);

// The input devices and their mute state, one "name: muted|live" per line.
std::string inputDeviceSummary();
