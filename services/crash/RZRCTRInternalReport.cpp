#include "services/crash/RZRCTRInternalReport.h"

#include <filesystem>

#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

bool exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

}  // namespace

RZRCTRInternalReport::RZRCTRInternalReport(std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

std::shared_ptr<RZRCTRInternalReport> RZRCTRInternalReport::reportWithPath(
    const std::string& path) {
    auto report = std::make_shared<RZRCTRInternalReport>(path, "");
    const auto& sections = report->metadataSections();
    const auto identifier =
        sections.empty() ? std::nullopt : sections[0]["identity"]["session_id"].asString();
    if (!identifier) {
        RZRCTRErrorLog("Unable to read identifier at path %@", path);
        return nullptr;
    }
    report->identifier_ = *identifier;
    return report;
}

std::shared_ptr<RZRCTRInternalReport> RZRCTRInternalReport::reportWithPath(
    const std::string& path, const std::string& identifier) {
    if (path.empty() || identifier.empty()) return nullptr;
    return std::make_shared<RZRCTRInternalReport>(path, identifier);
}

std::string RZRCTRInternalReport::directoryName() const {
    return std::filesystem::path(path_).filename().string();
}

std::string RZRCTRInternalReport::pathForContentFile(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
}

std::string RZRCTRInternalReport::metadataPath() const {
    return pathForContentFile("metadata.ctrrecord");
}

const Array& RZRCTRInternalReport::metadataSections() const {
    if (!metadataSections_) {
        const auto path = metadataPath();
        metadataSections_ = RZRCTRFileReadSections(path.c_str(), false).value_or(Array{});
    }
    return *metadataSections_;
}

Date RZRCTRInternalReport::dateCreated() const {
    const auto& sections = metadataSections();
    const auto seconds =
        sections.empty() ? std::nullopt : sections[0]["identity"]["started_at"].asUInt();
    return Date::fromUnix(static_cast<double>(seconds.value_or(0)));
}

const std::vector<std::string>& RZRCTRInternalReport::crashFileNames() {
    static const std::vector<std::string> names{"exception.ctrrecord", "mach_exception.ctrrecord",
                                                "signal.ctrrecord", "metric_kit_fatal.ctrrecord"};
    return names;
}

bool RZRCTRInternalReport::isCrash() const {
    for (const auto& name : crashFileNames()) {
        if (exists(pathForContentFile(name))) return true;
    }
    return false;
}

bool RZRCTRInternalReport::hasAnyEvents() const {
    static const char* const kEventFiles[] = {"exception.ctrrecord",
                                              "signal.ctrrecord",
                                              "custom_exception_a.ctrrecord",
                                              "custom_exception_b.ctrrecord",
                                              "metric_kit_fatal.ctrrecord",
                                              "metric_kit_nonfatal.ctrrecord",
                                              "mach_exception.ctrrecord",
                                              "errors_a.ctrrecord",
                                              "errors_b.ctrrecord"};
    for (const char* name : kEventFiles) {
        if (exists(pathForContentFile(name))) return true;
    }
    return false;
}
