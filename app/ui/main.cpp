// Lumbrel on the simulated platform: a default simulated Mac (built-in, USB
// and Bluetooth microphones, one built-in display), the application
// launched on it, and the console on standard input, or a script with
// --script FILE. End of input, `quit` or the Quit menu item terminate the
// application, which leaves every microphone live.

#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/ui/AppDelegate.h"
#include "app/ui/LumbrelConsole.h"
#include "platform/appkit/NSApplication.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/console/Console.h"
#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "platform/process/NSTask.h"

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
    // Termination returns here, so that the console can report and exit
    // with the script's outcome.
    sim::Process::intercept(true);
    sim::AudioHardware::installDefaultMac();

    sim::Console console(std::cout);
    auto app = NSApplication::sharedApplication();
    auto delegate = std::make_shared<AppDelegate>();
    addLumbrelCommands(console, delegate);
    app->setDelegate(delegate);
    app->finishLaunching();
    sim::Console::settle();

    bool ok = true;
    if (!script.empty()) {
        ok = console.runScript(script);
    } else {
        std::cout << "Lumbrel is running on a simulated Mac (built-in microphone, USB microphone,\n"
                     "Bluetooth headset, built-in display). Type help for the commands, quit or\n"
                     "Ctrl-D to quit."
                  << std::endl;
        std::string line;
        while (!stopRequested && !sim::Application::isTerminated() &&
               std::getline(std::cin, line)) {
            if (!console.execute(line)) break;
        }
    }
    if (!sim::Application::isTerminated()) {
        app->terminate(nullptr);
        sim::Console::settle();
    }
    std::cout << "Lumbrel has quit. Microphones:\n" << inputDeviceSummary() << std::flush;
    return ok ? 0 : 1;
}
