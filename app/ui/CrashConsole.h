#pragma once
// The crash reporter on the console (`crash`): custom keys, log lines and
// non-fatal errors for this run's report, the reports on disk and their
// states, sending or deleting held reports, and a deliberate crash with a
// chosen signal, whose report the next launch sends.

namespace sim {
class Console;
}

void addCrashCommands(sim::Console& console);
