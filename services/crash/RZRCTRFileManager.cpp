#include "services/crash/RZRCTRFileManager.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRUtilities.h"

namespace fs = std::filesystem;

namespace {

std::string join(const std::string& base, const std::string& component) {
    return (fs::path(base) / component).string();
}

}  // namespace

RZRCTRFileManager::RZRCTRFileManager()
    : rootPath_((fs::path(sim::cachesPath()) / "com.crashtrace.data" / pathNamespace()).string()),
      cachesPath_(sim::cachesPath()) {}

std::string RZRCTRFileManager::pathNamespace() {
    return RZRCTRApplicationGetBundleIdentifier();
}

bool RZRCTRFileManager::fileExistsAtPath(const std::string& path) const {
    std::error_code error;
    return fs::exists(path, error);
}

bool RZRCTRFileManager::createFileAtPath(const std::string& path, const Data& contents) const {
    return sim::FileSystem::writeFileAtomically(path, contents);
}

std::optional<Data> RZRCTRFileManager::dataWithContentsOfFile(const std::string& path) const {
    return sim::FileSystem::readFile(path);
}

bool RZRCTRFileManager::moveItemAtPathToPath(const std::string& from, const std::string& to,
                                             std::string* errorText) const {
    std::error_code error;
    if (!fs::exists(from, error)) {
        if (errorText) *errorText = "No such file or directory: " + from;
        return false;
    }
    if (fs::exists(to, error)) {
        if (errorText) *errorText = "File exists: " + to;
        return false;
    }
    fs::rename(from, to, error);
    if (error && errorText) *errorText = error.message();
    return !error;
}

bool RZRCTRFileManager::createDirectoryAtPath(const std::string& path) const {
    std::error_code error;
    fs::create_directories(path, error);
    if (!error) {
        ::chmod(path.c_str(), 0755);
        return true;
    }
    RZRCTRErrorLog("Unable to create directory %@", error.message());
    return false;
}

bool RZRCTRFileManager::removeItemAtPath(const std::string& path) const {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) {
        RZRCTRErrorLog("Failed to remove file %@: %@", path, "No such file or directory");
        return false;
    }
    fs::remove_all(path, error);
    if (error) {
        RZRCTRErrorLog("Failed to remove file %@: %@", path, error.message());
        return false;
    }
    return true;
}

bool RZRCTRFileManager::removeContentsOfDirectoryAtPath(const std::string& path) const {
    bool success = true;
    enumerateFilesInDirectory(path, [&](const std::string& entry, const std::string&) {
        success = removeItemAtPath(entry) && success;
    });
    return success;
}

bool RZRCTRFileManager::moveItemAtPath(const std::string& path,
                                       const std::string& toDirectory) const {
    if (path.empty() || toDirectory.empty()) {
        RZRCTRErrorLog("Failed to move file, inputs invalid");
        return false;
    }
    const auto destination = join(toDirectory, fs::path(path).filename().string());
    std::string error;
    if (!moveItemAtPathToPath(path, destination, &error)) {
        RZRCTRErrorLog("Failed to move file: %@", error);
        return false;
    }
    return true;
}

void RZRCTRFileManager::enumerateFilesInDirectory(
    const std::string& directory,
    const std::function<void(const std::string& path, const std::string& extension)>& block) const {
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(it->path());
    }
    for (const auto& entry : entries) {
        const auto name = entry.filename().string();
        if (name.empty() || name[0] == '.') continue;
        auto extension = entry.extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        block(entry.string(), extension);
    }
}

std::vector<std::string> RZRCTRFileManager::contentsOfDirectory(
    const std::string& directory) const {
    std::vector<std::string> paths;
    enumerateFilesInDirectory(
        directory, [&](const std::string& path, const std::string&) { paths.push_back(path); });
    return paths;
}

std::vector<std::string> RZRCTRFileManager::activePathContents() const {
    return contentsOfDirectory(activePath());
}
std::vector<std::string> RZRCTRFileManager::processingPathContents() const {
    return contentsOfDirectory(processingPath());
}
std::vector<std::string> RZRCTRFileManager::preparedPathContents() const {
    return contentsOfDirectory(preparedPath());
}

std::optional<std::uint64_t> RZRCTRFileManager::fileSizeAtPath(const std::string& path) const {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error) {
        RZRCTRErrorLog("Unable to read file size: %@", error.message());
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size);
}

bool RZRCTRFileManager::createReportDirectories() const {
    return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) &&
           createDirectoryAtPath(preparedPath());
}

std::optional<std::string> RZRCTRFileManager::setupNewPathForExecutionIdentifier(
    const std::string& identifier) const {
    const auto path = join(activePath(), identifier);
    if (!createDirectoryAtPath(path)) return std::nullopt;
    return path;
}

bool RZRCTRFileManager::didCrashOnPreviousExecution() {
    std::call_once(crashMarkerOnce_,
                   [this] { crashFileMarkerExists_ = fileExistsAtPath(crashedMarkerPath()); });
    return crashFileMarkerExists_;
}

bool RZRCTRFileManager::metricKitDiagnosticFileExists() const {
    std::error_code error;
    fs::directory_iterator it(metricKitDiagnosticPath(), error);
    return !error && it != fs::directory_iterator();
}

void RZRCTRFileManager::createEmptyMetricKitFile(const std::string& reportPath) const {
    createFileAtPath(join(reportPath, "metric_kit_fatal.ctrrecord"), Data{});
}

std::string RZRCTRFileManager::crashedMarkerPath() const {
    return join(rootPath_, "previously-crashed");
}
std::string RZRCTRFileManager::versionedPath() const {
    return join(rootPath_, "v5");
}
std::string RZRCTRFileManager::settingsDirectoryPath() const {
    return join(versionedPath(), "settings");
}
std::string RZRCTRFileManager::settingsFilePath() const {
    return join(settingsDirectoryPath(), "settings.json");
}
std::string RZRCTRFileManager::settingsCacheKeyPath() const {
    return join(settingsDirectoryPath(), "cache-key.json");
}
std::string RZRCTRFileManager::structurePath() const {
    return join(versionedPath(), "reports");
}
std::string RZRCTRFileManager::activePath() const {
    return join(structurePath(), "active");
}
std::string RZRCTRFileManager::pendingPath() const {
    return join(structurePath(), "pending");
}
std::string RZRCTRFileManager::processingPath() const {
    return join(structurePath(), "processing");
}
std::string RZRCTRFileManager::preparedPath() const {
    return join(structurePath(), "prepared");
}
std::string RZRCTRFileManager::metricKitDiagnosticPath() const {
    return cachesPath_ + "/MetricKit/Diagnostics/";
}
