#pragma once
// Process information, and the simulated machine we pretend to run on.
//
// The operating-system version is macOS's, simulated: the value given to
// sim::setOperatingSystemVersion, else $LUMBREL_OS_VERSION ("12.3" or
// "12.3.1"), else 13.0.0. The host model (hardware model name such as
// "MacBookPro18,3") is likewise sim::setHostModel, else $LUMBREL_HOST_MODEL,
// else "Macmini9,1". Both are read on every call; all calls are thread-safe.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

struct NSOperatingSystemVersion {
    long majorVersion = 0;
    long minorVersion = 0;
    long patchVersion = 0;
    bool operator==(const NSOperatingSystemVersion&) const = default;
    auto operator<=>(const NSOperatingSystemVersion&) const = default;
};

class NSProcessInfo : public NSObject {
  public:
    static std::shared_ptr<NSProcessInfo> processInfo();

    std::string className() const override { return "NSProcessInfo"; }

    int processIdentifier() const;
    // The command line, from /proc/self/cmdline.
    std::vector<std::string> arguments() const;
    // The environment now.
    std::map<std::string, std::string> environment() const;
    // The executable's file name.
    std::string processName() const;
    std::string hostName() const;
    // A new unique string on each call, in the platform's form
    // "<UUID>-<pid>-<16 hex digits>".
    std::string globallyUniqueString() const;

    NSOperatingSystemVersion operatingSystemVersion() const;
    bool isOperatingSystemAtLeastVersion(const NSOperatingSystemVersion& version) const;
    // "Version 13.0 (Build 22A100)"; the patch shows when non-zero, the build
    // is made up from the version.
    std::string operatingSystemVersionString() const;

    unsigned processorCount() const;
    unsigned activeProcessorCount() const;
    std::uint64_t physicalMemory() const;
    // Seconds since boot.
    double systemUptime() const;

    NSProcessInfo() = default;
};

namespace sim {

void setOperatingSystemVersion(const NSOperatingSystemVersion& version);
void clearOperatingSystemVersion();
// "12.3" / "12.3.1" / "13"; nullopt when malformed.
std::optional<NSOperatingSystemVersion> parseOperatingSystemVersion(const std::string& text);

void setHostModel(std::string model);  // empty clears
void clearHostModel();
std::string hostModel();

}  // namespace sim
