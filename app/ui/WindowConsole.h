#pragma once
// Console commands for the application's windows: open and close them,
// print a window's view tree, press, toggle and pick its controls by label,
// click, drag and resize the status window, and record a shortcut in the
// preferences. Keys typed at the console reach the key window.

#include <memory>

class AppDelegate;

namespace sim {
class Console;
}

void addWindowCommands(sim::Console& console, const std::shared_ptr<AppDelegate>& delegate);
