#include "app/ui/CrashConsole.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "platform/console/Console.h"
#include "platform/dispatch/MainLoop.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRReportManager.h"
#include "services/crash/RZRCrashtrace.h"
#include "services/util/PRMPromise.h"

namespace {

using Args = sim::Console::Arguments;

const std::map<std::string, int>& signalsByName() {
    static const std::map<std::string, int> names{{"SEGV", SIGSEGV}, {"ABRT", SIGABRT},
                                                  {"BUS", SIGBUS},   {"ILL", SIGILL},
                                                  {"FPE", SIGFPE},   {"TRAP", SIGTRAP}};
    return names;
}

std::string joined(const Args& args, std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < args.size(); ++i) text += (i > from ? " " : "") + args[i];
    return text;
}

std::string reportsText(RZRCrashtrace& crashtrace) {
    const auto& files = *crashtrace.fileManager();
    const auto& current = crashtrace.reportManager()->currentReport();
    std::ostringstream out;
    std::size_t count = 0;
    const std::pair<const char*, std::vector<std::string>> states[] = {
        {"active", files.activePathContents()},
        {"processing", files.processingPathContents()},
        {"prepared", files.preparedPathContents()}};
    for (const auto& [state, paths] : states) {
        for (const auto& path : paths) {
            ++count;
            const std::string name = std::filesystem::path(path).filename().string();
            auto report = RZRCTRInternalReport::reportWithPath(path, name);
            std::string what = "no events";
            if (current && current->path() == path)
                what = "this run";
            else if (report && report->isCrash())
                what = "crash";
            else if (report && report->hasAnyEvents())
                what = "events";
            out << "\n  " << name << " " << state << ", " << what;
        }
    }
    return std::to_string(count) + " report(s)" + out.str();
}

std::string crashCommand(sim::Console& console, const Args& args) {
    const std::string usage =
        "Usage: crash [status | reports | check | key <key> <value> | log <text> | error <domain> "
        "<code> "
        "| send | delete | signal SEGV|ABRT|BUS|ILL|FPE|TRAP]";
    auto crashtrace = RZRCrashtrace::crashtrace();
    if (!crashtrace) return "The crash reporter is not running: the services are not configured.";
    const std::string what = args.empty() ? "status" : args[0];
    if (what == "status") {
        const auto& startup = crashtrace->startup();
        const bool collecting = crashtrace->isCrashtraceCollectionEnabled();
        std::string state;
        if (!startup->isPending()) {
            state =
                startup->value() == PRMValue(true) ? "capturing crashes" : "not capturing crashes";
        } else if (!collecting) {
            // Start-up waits for the user's choice; this run is recorded meanwhile.
            state = std::string(crashtrace->reportManager()->currentReport()
                                    ? "capturing crashes"
                                    : "not capturing crashes") +
                    ", holding the reports of earlier runs until data collection is allowed "
                    "(or crash send, crash delete)";
        } else {
            state = "starting";
        }
        console.say(
            std::string("Crash reporter: ") + state + "; collection " +
            (collecting ? "on" : "off") + "; the previous run " +
            (crashtrace->didCrashDuringPreviousExecution() ? "crashed." : "did not crash."));
        return "";
    }
    if (what == "reports") {
        console.say(reportsText(*crashtrace));
        return "";
    }
    if (what == "key" && args.size() >= 3) {
        crashtrace->setCustomValue(Value(joined(args, 2)), args[1]);
        console.say("Custom key " + args[1] + " = " + joined(args, 2) + ".");
        return "";
    }
    if (what == "log" && args.size() >= 2) {
        crashtrace->log(joined(args, 1));
        console.say("Logged: " + joined(args, 1));
        return "";
    }
    if (what == "error" && args.size() == 3) {
        char* end = nullptr;
        const long long code = std::strtoll(args[2].c_str(), &end, 10);
        if (*end != '\0') return "Not a number: " + args[2] + ".";
        crashtrace->recordError(NSError(args[1], code));
        console.say("Recorded the error " + args[1] + " " + args[2] + ".");
        return "";
    }
    if (what == "check") {
        std::optional<bool> available;
        crashtrace->checkForUnsentReportsWithCompletion([&](bool any) { available = any; });
        sim::MainLoop::runUntil([&] { return available.has_value(); }, std::chrono::seconds(30));
        console.say(!available   ? "Start-up has not said yet."
                    : *available ? "Unsent reports are waiting to be sent or deleted."
                                 : "No unsent reports are waiting.");
        return "";
    }
    if (what == "send" || what == "delete") {
        const auto& manager = crashtrace->reportManager();
        auto handled =
            what == "send" ? manager->sendUnsentReports() : manager->deleteUnsentReports();
        // Start-up ends once the work it queued (sending or deleting) is done.
        sim::MainLoop::runUntil([&] { return !handled->isPending(); }, std::chrono::seconds(30));
        console.say(what == "send" ? "Held reports handed over for sending."
                                   : "Held reports deleted.");
        return "";
    }
    if (what == "signal" && args.size() == 2) {
        auto found = signalsByName().find(args[1]);
        if (found == signalsByName().end()) return usage;
        console.say("Crashing with SIG" + args[1] + ".");
        std::cout.flush();
        std::fflush(nullptr);
        std::raise(found->second);
        return "The signal did not end the program.";
    }
    return usage;
}

}  // namespace

void addCrashCommands(sim::Console& console) {
    console.addCommand(
        "crash",
        "crash [status | reports | check | key <key> <value> | log <text> | error <domain> <code> "
        "| "
        "send | delete | signal <name>]",
        "the crash reporter: custom keys, log lines and errors for this run's report, the "
        "reports on disk, sending held reports, and a deliberate crash reported at the next launch",
        [&console](const Args& args) { return crashCommand(console, args); });
}
