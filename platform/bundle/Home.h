#pragma once
// The root of the user's files: what the platform calls the home folder.
//
// Resolution, evaluated on every call: the test override when set, else
// $LUMBREL_HOME when set and non-empty, else the simulated Mac's own folder
// ${XDG_DATA_HOME:-$HOME/.local/share}/lumbrel/home, kept between runs
// ($HOME unset: the password database's home folder). Never the user's real
// home itself, so nothing the simulated platform writes (preferences,
// autostart entries) lands in the real desktop configuration. Thread-safe.

#include <string>

namespace sim {

std::string lumbrelHome();
// Tests: pin the home folder (an empty path clears the override).
void setHomeOverride(const std::string& path);
void clearHomeOverride();

// RAII form of setHomeOverride: restores the previous override on exit.
class ScopedHomeOverride {
  public:
    explicit ScopedHomeOverride(const std::string& path);
    ~ScopedHomeOverride();
    ScopedHomeOverride(const ScopedHomeOverride&) = delete;
    ScopedHomeOverride& operator=(const ScopedHomeOverride&) = delete;

  private:
    std::string previous_;
};

std::string libraryPath();             // <home>/Library
std::string preferencesPath();         // <home>/Library/Preferences
std::string applicationSupportPath();  // <home>/Library/Application Support
std::string cachesPath();              // <home>/Library/Caches

}  // namespace sim

// The platform's home-folder call: sim::lumbrelHome().
std::string NSHomeDirectory();
