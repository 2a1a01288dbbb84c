#include "platform/bundle/Home.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace sim {
namespace {

// Never destroyed: preferences are still written from exit handlers.
std::mutex& overrideMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::string& overridePath() {
    static auto* path = new std::string;
    return *path;
}

std::string fromEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string child(const std::string& parent, const char* name) {
    return (std::filesystem::path(parent) / name).string();
}

// The simulated Mac's own folder among the user's data, never the user's
// real home: what it writes (preferences, autostart entries) must not reach
// the real desktop.
std::string defaultHome() {
    std::string data = fromEnvironment("XDG_DATA_HOME");
    if (data.empty() || data.front() != '/') {  // relative values are to be ignored
        std::string home = fromEnvironment("HOME");
        if (home.empty()) {
            const passwd* pw = getpwuid(getuid());
            home = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : "/";
        }
        data = child(child(home, ".local"), "share");
    }
    return child(child(data, "lumbrel"), "home");
}

}  // namespace

std::string lumbrelHome() {
    {
        std::lock_guard<std::mutex> lock(overrideMutex());
        if (!overridePath().empty()) return overridePath();
    }
    if (auto v = fromEnvironment("LUMBREL_HOME"); !v.empty()) return v;
    return defaultHome();
}

void setHomeOverride(const std::string& path) {
    std::lock_guard<std::mutex> lock(overrideMutex());
    overridePath() = path;
}

void clearHomeOverride() {
    setHomeOverride(std::string());
}

ScopedHomeOverride::ScopedHomeOverride(const std::string& path) {
    std::lock_guard<std::mutex> lock(overrideMutex());
    previous_ = overridePath();
    overridePath() = path;
}

ScopedHomeOverride::~ScopedHomeOverride() {
    setHomeOverride(previous_);
}

std::string libraryPath() {
    return child(lumbrelHome(), "Library");
}
std::string preferencesPath() {
    return child(libraryPath(), "Preferences");
}
std::string applicationSupportPath() {
    return child(libraryPath(), "Application Support");
}
std::string cachesPath() {
    return child(libraryPath(), "Caches");
}

}  // namespace sim

std::string NSHomeDirectory() {
    return sim::lumbrelHome();
}
