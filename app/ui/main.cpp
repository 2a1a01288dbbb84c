// Lumbrel on the simulated platform: a default simulated Mac (built-in, USB
// and Bluetooth microphones, one built-in display), the application
// launched on it, and the console on standard input, or a script with
// --script FILE. End of input, `quit` or the Quit menu item terminate the
// application, which leaves every microphone live.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/ui/AppDelegate.h"
#include "app/ui/LumbrelConsole.h"
#include "app/ui/ServicesConsole.h"
#include "platform/appkit/NSApplication.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/console/Console.h"
#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/measurement/APMMeasurement.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a signal interrupts the read of a line
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Lumbrel ends the process itself (ProcessExit), inside a command: when the
// person quits. The report and the script's outcome come from here.
const sim::Console* runningConsole = nullptr;
bool runsScript = false;
bool scriptUnreadable = false;

void reportOnExit() {
    std::cout << "Lumbrel has quit. Microphones:\n" << inputDeviceSummary() << std::flush;
    if (runsScript && (scriptUnreadable || (runningConsole && runningConsole->failures() > 0))) {
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

int usage(const char* program) {
    std::cerr << "Usage: " << program << " [--script FILE]\n";
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string script;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc)
            script = argv[++i];
        else
            return usage(argv[0]);
    }
    installSignalHandlers();

    // The console shows the log on request (`log`); the terminal stays for
    // the conversation.
    sim::setLogEcho(false);
    sim::useVirtualClock();
    sim::AudioHardware::installDefaultMac();

    sim::Console console(std::cout);
    auto app = NSApplication::sharedApplication();
    APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
    auto delegate = std::make_shared<AppDelegate>();
    addLumbrelCommands(console, delegate);
    addServicesCommands(console);
    app->setDelegate(delegate);
    runningConsole = &console;
    runsScript = !script.empty();
    std::at_quick_exit(reportOnExit);
    // The banner first, then what launching shows (an alert, say).
    if (script.empty())
        std::cout << "Lumbrel is running on a simulated Mac (built-in microphone, USB microphone,\n"
                     "Bluetooth headset, built-in display). Type help for the commands, quit or\n"
                     "Ctrl-D to quit."
                  << std::endl;
    // The hosted services, simulated unless LUMBREL_SERVICE_BASE_URL names others.
    startSimulatedBackend();
    app->finishLaunching();
    readInstallationAtLaunch();
    if (!script.empty()) waitForRemoteConfigAtLaunch();
    sim::Console::settle();

    if (!script.empty()) {
        scriptUnreadable = !console.runScript(script) && console.failures() == 0;
    } else {
        const bool prompt = ::isatty(STDIN_FILENO) != 0;
        std::string line;
        while (!stopRequested && !sim::Application::isTerminated()) {
            if (prompt) std::cout << "lumbrel> " << std::flush;
            if (!std::getline(std::cin, line) || !console.execute(line)) break;
        }
    }
    // Quitting ends the process (see reportOnExit); it returns only when
    // the application refused to quit.
    waitForRemoteConfigAtLaunch();
    app->terminate(nullptr);
    sim::Console::settle();
    const bool failed = runsScript && console.failures() > 0;
    reportOnExit();
    runningConsole = nullptr;
    return failed ? 1 : 0;
}
