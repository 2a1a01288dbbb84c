#pragma once
// Tests only: control of the service core's process-wide state.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// As in a new process: no apps, no registered libraries, the service-library
// list not yet run, the configuration list and the platform facts read again.
void resetCoreForTesting();
void clearComponentRegistrantsForTesting();
// The next VUVEzu::configure() runs the service-library list again.
void rearmServiceLibrariesForTesting();
// Replaces the service-library list (nullopt: the program's own list) and
// re-arms it.
void setServiceLibrariesForTesting(std::optional<std::vector<std::function<void()>>> entries);
void forgetUserAgentEnvironmentForTesting();
// Runs the core logger's set-up again at the next log, with these launch
// arguments (nullopt: the process's own); also resets the shared logger.
void resetRZRLoggerForTesting(std::optional<std::vector<std::string>> launchArguments);

}  // namespace sim
