#pragma once
// Starting another program and ending this one. Tests intercept both: a
// launch is recorded instead of started, and ending the process is recorded
// and returns to the caller.

#include <string>
#include <vector>

#include "platform/foundation/Object.h"

class NSTask : public NSObject {
  public:
    void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
    const std::string& launchPath() const { return launchPath_; }
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::vector<std::string>& arguments() const { return arguments_; }
    // False when the program could not be started.
    bool launch();
    int processIdentifier() const { return pid_; }
    std::string className() const override { return "NSTask"; }

  private:
    std::string launchPath_;
    std::vector<std::string> arguments_;
    int pid_ = 0;
};

// Ends the process with the status (the C library's exit), unless tests
// intercept it.
void ProcessExit(int status);

namespace sim {

struct LaunchedTask {
    std::string launchPath;
    std::vector<std::string> arguments;
};

struct Process {
    static void intercept(bool enabled);
    static std::vector<LaunchedTask> launchedTasks();
    static std::vector<int> exitStatuses();
    static void clear();
};

}  // namespace sim
