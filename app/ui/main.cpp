// Lumbrel on the simulated platform. For now it loads its settings, prints
// them and waits until standard input ends or a signal arrives.

#include <csignal>
#include <iostream>
#include <string>

#include "app/ui/SettingsReport.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/log/Log.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

}  // namespace

int main() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a signal interrupts the read below
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The program's own output is real output, also when a test started it.
    sim::setLogEcho(true);
    auto defaults = NSUserDefaults::standardUserDefaults();
    printLine("Lumbrel settings (" + defaults->filePath() + "):");
    for (const auto& line : settingsReport()) printLine("  " + line);
    printLine("Press Ctrl-D to quit.");

    std::string line;
    while (!stopRequested && std::getline(std::cin, line)) {
    }
    return 0;
}
