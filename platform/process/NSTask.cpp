#include "platform/process/NSTask.h"

#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define LUMBREL_LEAK_CHECK_AT_EXIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMBREL_LEAK_CHECK_AT_EXIT 1
#endif
#endif
#ifdef LUMBREL_LEAK_CHECK_AT_EXIT
#include <sanitizer/lsan_interface.h>
#endif
#include <mutex>

extern char** environ;

namespace {

std::mutex& mutex() {
    static std::mutex m;
    return m;
}
bool intercepting = false;
std::vector<sim::LaunchedTask>& launched() {
    static auto* v = new std::vector<sim::LaunchedTask>();
    return *v;
}
std::vector<int>& exits() {
    static auto* v = new std::vector<int>();
    return *v;
}

}  // namespace

bool NSTask::launch() {
    {
        std::lock_guard lock(mutex());
        if (intercepting) {
            launched().push_back({launchPath_, arguments_});
            return true;
        }
    }
    std::vector<char*> argv;
    argv.push_back(launchPath_.data());
    for (auto& a : arguments_) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, launchPath_.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    pid_ = pid;
    return true;
}

void ProcessExit(int status) {
    {
        std::lock_guard lock(mutex());
        if (intercepting) {
            exits().push_back(status);
            return;
        }
    }
#ifdef LUMBREL_LEAK_CHECK_AT_EXIT
    // The leak check the sanitizer would run from exit().
    __lsan_do_leak_check();
#endif
    std::fflush(nullptr);
    std::quick_exit(status);
}

bool ProcessReplace(const std::string& path, const std::vector<std::string>& arguments) {
    {
        std::lock_guard lock(mutex());
        if (intercepting) {
            launched().push_back({path, arguments});
            return true;
        }
    }
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(path.c_str(), argv.data());
    return false;
}

namespace sim {

void Process::intercept(bool enabled) {
    std::lock_guard lock(mutex());
    intercepting = enabled;
}

std::vector<LaunchedTask> Process::launchedTasks() {
    std::lock_guard lock(mutex());
    return launched();
}

std::vector<int> Process::exitStatuses() {
    std::lock_guard lock(mutex());
    return exits();
}

void Process::clear() {
    std::lock_guard lock(mutex());
    launched().clear();
    exits().clear();
}

}  // namespace sim
