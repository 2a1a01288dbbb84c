#pragma once
// Starting another program, ending this one, or replacing it. Tests
// intercept them: a launch or replacement is recorded instead of started,
// and ending the process is recorded and returns to the caller.

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

// Ends the process with the status, unless tests intercept it: the handlers
// registered with at_quick_exit run and the standard streams are flushed,
// but nothing is torn down (quick_exit), since work still running on other
// threads (a request in flight, say) may be using objects of static storage.
void ProcessExit(int status);

// Runs the program in place of this process (execv, after flushing the
// standard streams): the same process, terminal and standard streams, so
// that a program started from a terminal keeps it. Returns only when the
// program could not be run, with false. Tests intercept it: the start is
// recorded as a launched task and true is returned.
bool ProcessReplace(const std::string& path, const std::vector<std::string>& arguments);

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
