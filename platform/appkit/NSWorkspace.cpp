#include "platform/appkit/NSWorkspace.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "platform/appkit/Internal.h"
#include "platform/bundle/NSBundle.h"
#include "platform/process/NSTask.h"

namespace fs = std::filesystem;

namespace {

struct State {
    std::mutex mutex;
    std::vector<std::string> openedURLs;
    std::vector<std::string> launched;
    bool failNextLaunch = false;
    std::optional<bool> launchesProgramsChoice;
    bool programStarted = false;
    std::function<bool(const std::string&)> launcher;
    bool sessionActive = true;
};

State& state() {
    static auto* s = new State();
    return *s;
}

bool isAbsoluteURL(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == url.size()) return false;
    if (!std::isalpha(static_cast<unsigned char>(url[0]))) return false;
    return std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

std::string programName(const std::string& appName) {
    std::string name;
    for (char c : appName)
        name += c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

bool isProgram(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<fs::path> splitPathList(const char* list) {
    std::vector<fs::path> folders;
    if (!list) return folders;
    std::stringstream stream(list);
    std::string entry;
    while (std::getline(stream, entry, ':'))
        if (!entry.empty()) folders.emplace_back(entry);
    return folders;
}

std::optional<fs::path> programInFolder(const fs::path& folder, const std::string& appName) {
    if (auto bundle = NSBundle::bundleWithPath((folder / (appName + ".app")).string())) {
        if (const Value* executable = bundle->objectForInfoDictionaryKey("CFBundleExecutable")) {
            if (auto name = executable->asString()) {
                for (const fs::path& candidate :
                     {fs::path(bundle->bundlePath()) / "Contents" / "MacOS" / *name,
                      folder / *name})
                    if (isProgram(candidate)) return candidate;
            }
        }
    }
    fs::path plain = folder / programName(appName);
    if (isProgram(plain)) return plain;
    return std::nullopt;
}

bool launchesPrograms() {
    std::lock_guard lock(state().mutex);
    return state().launchesProgramsChoice.value_or(state().programStarted);
}

bool startProgram(const std::string& appName) {
    auto program = sim::Workspace::programForApplication(appName);
    if (!program) return false;
    NSTask task;
    task.setLaunchPath(*program);
    return task.launch();
}

}  // namespace

namespace appkit_detail {

void programStarted() {
    std::lock_guard lock(state().mutex);
    state().programStarted = true;
}

}  // namespace appkit_detail

NSWorkspace::NSWorkspace() : notificationCenter_(std::make_shared<NSNotificationCenter>()) {}

std::shared_ptr<NSWorkspace> NSWorkspace::sharedWorkspace() {
    static const auto* workspace =
        new std::shared_ptr<NSWorkspace>(std::make_shared<NSWorkspace>());
    return *workspace;
}

std::shared_ptr<NSNotificationCenter> NSWorkspace::notificationCenter() {
    return notificationCenter_;
}

bool NSWorkspace::openURL(const std::string& url) {
    if (!isAbsoluteURL(url)) return false;
    std::lock_guard lock(state().mutex);
    state().openedURLs.push_back(url);
    return true;
}

bool NSWorkspace::launchApplication(const std::string& appName) {
    std::function<bool(const std::string&)> launcher;
    {
        std::lock_guard lock(state().mutex);
        if (std::exchange(state().failNextLaunch, false)) return false;
        launcher = state().launcher;
    }
    bool launched = true;
    if (launcher)
        launched = launcher(appName);
    else if (launchesPrograms())
        launched = startProgram(appName);
    if (launched) {
        std::lock_guard lock(state().mutex);
        state().launched.push_back(appName);
    }
    return launched;
}

namespace sim {

std::vector<std::string> Workspace::openedURLs() {
    std::lock_guard lock(state().mutex);
    return state().openedURLs;
}

std::vector<std::string> Workspace::launchedApplications() {
    std::lock_guard lock(state().mutex);
    return state().launched;
}

void Workspace::failNextLaunch() {
    std::lock_guard lock(state().mutex);
    state().failNextLaunch = true;
}

void Workspace::clear() {
    std::lock_guard lock(state().mutex);
    state().openedURLs.clear();
    state().launched.clear();
    state().failNextLaunch = false;
    state().launchesProgramsChoice.reset();
    state().launcher = nullptr;
    state().sessionActive = true;
}

void Workspace::setLaunchesPrograms(bool launches) {
    std::lock_guard lock(state().mutex);
    state().launchesProgramsChoice = launches;
}

bool Workspace::launchesPrograms() {
    return ::launchesPrograms();
}

void Workspace::setLauncher(std::function<bool(const std::string&)> launcher) {
    std::lock_guard lock(state().mutex);
    state().launcher = std::move(launcher);
}

std::optional<std::string> Workspace::programForApplication(const std::string& appName) {
    if (appName.empty()) return std::nullopt;
    std::vector<fs::path> folders = splitPathList(std::getenv("LUMBREL_APPLICATIONS"));
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) folders.push_back(self.parent_path());
    for (const auto& folder : folders)
        if (auto program = programInFolder(folder, appName)) return program->string();
    for (const auto& folder : splitPathList(std::getenv("PATH"))) {
        fs::path plain = folder / programName(appName);
        if (isProgram(plain)) return plain.string();
    }
    return std::nullopt;
}

void Workspace::resignSessionActive() {
    {
        std::lock_guard lock(state().mutex);
        state().sessionActive = false;
    }
    auto workspace = NSWorkspace::sharedWorkspace();
    workspace->notificationCenter()->postNotificationName(
        NSWorkspaceSessionDidResignActiveNotification, workspace);
}

void Workspace::becomeSessionActive() {
    {
        std::lock_guard lock(state().mutex);
        state().sessionActive = true;
    }
    auto workspace = NSWorkspace::sharedWorkspace();
    workspace->notificationCenter()->postNotificationName(
        NSWorkspaceSessionDidBecomeActiveNotification, workspace);
}

bool Workspace::isSessionActive() {
    std::lock_guard lock(state().mutex);
    return state().sessionActive;
}

}  // namespace sim
