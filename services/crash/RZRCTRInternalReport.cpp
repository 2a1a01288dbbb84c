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
    const auto identifier = report->metadataValue(0, "identity", "session_id").asString();
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

std::string RZRCTRInternalReport::binaryImagePath() const {
    return pathForContentFile("binary_images.ctrrecord");
}

std::optional<Array> RZRCTRInternalReport::readRZRCTRFileAtPath(const std::string& path) {
    auto sections = RZRCTRFileReadSections(path.c_str(), false);
    if (!sections || sections->empty()) return std::nullopt;
    return sections;
}

const Array& RZRCTRInternalReport::metadataSections() const {
    if (!metadataSections_)
        metadataSections_ = readRZRCTRFileAtPath(metadataPath()).value_or(Array{});
    return *metadataSections_;
}

const Value& RZRCTRInternalReport::metadataValue(std::size_t index, const char* section,
                                                 const char* key) const {
    const auto& sections = metadataSections();
    if (index >= sections.size()) return Value::null();
    return sections[index][section][key];
}

std::optional<std::string> RZRCTRInternalReport::orgID() const {
    return metadataValue(0, "identity", "org_id").asString();
}

Date RZRCTRInternalReport::dateCreated() const {
    const auto seconds = metadataValue(0, "identity", "started_at").asUInt();
    return Date::fromUnix(static_cast<double>(seconds.value_or(0)));
}

std::optional<std::string> RZRCTRInternalReport::OSVersion() const {
    return metadataValue(1, "host", "os_display_version").asString();
}

std::optional<std::string> RZRCTRInternalReport::OSBuildVersion() const {
    return metadataValue(1, "host", "os_build_version").asString();
}

std::optional<std::string> RZRCTRInternalReport::bundleVersion() const {
    return metadataValue(2, "application", "build_version").asString();
}

std::optional<std::string> RZRCTRInternalReport::bundleShortVersionString() const {
    return metadataValue(2, "application", "display_version").asString();
}

const std::vector<std::string>& RZRCTRInternalReport::crashFileNames() {
    static const std::vector<std::string> names{"exception.ctrrecord", "mach_exception.ctrrecord",
                                                "signal.ctrrecord", "metric_kit_fatal.ctrrecord"};
    return names;
}

const std::vector<std::string>& RZRCTRInternalReport::eventFileNames() {
    static const std::vector<std::string> names{"exception.ctrrecord",
                                                "signal.ctrrecord",
                                                "custom_exception_a.ctrrecord",
                                                "custom_exception_b.ctrrecord",
                                                "metric_kit_fatal.ctrrecord",
                                                "metric_kit_nonfatal.ctrrecord",
                                                "mach_exception.ctrrecord",
                                                "errors_a.ctrrecord",
                                                "errors_b.ctrrecord"};
    return names;
}

bool RZRCTRInternalReport::checkExistenceOfAtLeastOneFileInArray(
    const std::vector<std::string>& names) const {
    for (const auto& name : names) {
        if (exists(pathForContentFile(name))) return true;
    }
    return false;
}

bool RZRCTRInternalReport::isCrash() const {
    return checkExistenceOfAtLeastOneFileInArray(crashFileNames());
}

bool RZRCTRInternalReport::hasAnyEvents() const {
    return checkExistenceOfAtLeastOneFileInArray(eventFileNames());
}

void RZRCTRInternalReport::enumerateSymbolicatableFilesInContent(
    const std::function<void(const std::string& path)>& block) const {
    for (const auto& name : crashFileNames()) block(pathForContentFile(name));
}

std::optional<std::uint64_t> RZRCTRInternalReport::timeFromCrashContentFile(
    const std::string& name, const std::string& sectionName) const {
    auto sections = readRZRCTRFileAtPath(pathForContentFile(name));
    if (!sections) return std::nullopt;
    return (*sections)[0][sectionName]["time"].asUInt();
}

std::optional<Date> RZRCTRInternalReport::crashedOnDate() const {
    if (!isCrash()) return std::nullopt;
    auto time = timeFromCrashContentFile("mach_exception.ctrrecord", "mach_exception");
    if (!time) time = timeFromCrashContentFile("signal.ctrrecord", "signal");
    if (!time) return std::nullopt;
    return Date::fromUnix(static_cast<double>(*time));
}
