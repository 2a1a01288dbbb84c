#include "platform/bundle/Home.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace sim {
namespace {

std::mutex& overrideMutex() {
    static std::mutex m;
    return m;
}
std::string& overridePath() {
    static std::string path;
    return path;
}

std::string fromEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string child(const std::string& parent, const char* name) {
    return (std::filesystem::path(parent) / name).string();
}

}  // namespace

std::string lumbrelHome() {
    {
        std::lock_guard<std::mutex> lock(overrideMutex());
        if (!overridePath().empty()) return overridePath();
    }
    if (auto v = fromEnvironment("LUMBREL_HOME"); !v.empty()) return v;
    if (auto v = fromEnvironment("HOME"); !v.empty()) return v;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/";
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
