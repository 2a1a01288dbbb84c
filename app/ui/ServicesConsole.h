#pragma once
// The hosted services on the console: the simulated backend the program
// talks to (`backend`) and what the program's service clients hold
// (`services`).

#include <optional>
#include <string>
#include <vector>

namespace sim {
class Console;
}

// Starts the simulated backend on 127.0.0.1 (a free port) and points every
// service address at it, unless $LUMBREL_SERVICE_BASE_URL names other
// services. Returns the address the services are reached at.
std::string startSimulatedBackend();
// Asks for the installation identifier once the services are configured, as
// the crash reporter does at launch, so the installation is registered.
void readInstallationAtLaunch();
// Lets the start-up fetch of remote values finish (before a script goes on,
// and before quitting).
void waitForRemoteConfigAtLaunch();
void addServicesCommands(sim::Console& console);
// The services' facts of `expect`: installation registered|not-registered,
// remote-value <key> <text> (as the mute engine reads it), backend-event
// <name> (in a bundle the backend accepted). "" when it holds, the failure,
// or nothing when the words name no services fact.
std::optional<std::string> expectServicesFact(const std::vector<std::string>& args);
