#pragma once
// The crash-report messages that reach the transport's crash target: one
// per event, decoded with the codec generated from the crash reporter's own
// message definition.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct ReceivedCrashReport {
    std::string sdkVersion;
    std::string zeveraAppID;
    int platform = 0;
    std::string installationID;
    std::string buildVersion;
    std::string displayVersion;
    // (file name, contents) in the order sent.
    std::vector<std::pair<std::string, std::string>> files;

    // The contents of the named file, or nothing.
    std::optional<std::string> file(const std::string& name) const;
};

// nullopt when the bytes are not a report message.
std::optional<ReceivedCrashReport> decodeCrashReport(const std::string& payload);

}  // namespace sim
