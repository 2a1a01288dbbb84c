#pragma once
// The crash reporter's directory tree in the user's caches folder, and every
// file operation the report pipeline performs on it. One directory per run
// under "active", moved on to "processing" and "prepared" while its report
// is packaged. Nothing is created on disk until asked.
//
// No lock of its own: the pipeline calls it from one operation at a time.
// Operations never throw: they answer false or nothing and log the reason.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZRCTRFileManager : public NSObject {
  public:
    RZRCTRFileManager();

    std::string className() const override { return "RZRCTRFileManager"; }

    // Pass-throughs to the file system.
    bool fileExistsAtPath(const std::string& path) const;
    bool createFileAtPath(const std::string& path, const Data& contents) const;
    std::optional<Data> dataWithContentsOfFile(const std::string& path) const;
    bool moveItemAtPathToPath(const std::string& from, const std::string& to,
                              std::string* error = nullptr) const;

    // With missing parents, mode 0755.
    bool createDirectoryAtPath(const std::string& path) const;
    // A file or a whole tree; false (and logged) when absent or not removed.
    bool removeItemAtPath(const std::string& path) const;
    bool removeContentsOfDirectoryAtPath(const std::string& path) const;
    // Into the directory, keeping the last path component.
    bool moveItemAtPath(const std::string& path, const std::string& toDirectory) const;
    // Every entry whose name does not begin with "."; the extension without
    // its dot. A directory that cannot be listed gives nothing.
    void enumerateFilesInDirectory(
        const std::string& directory,
        const std::function<void(const std::string& path, const std::string& extension)>& block)
        const;
    std::vector<std::string> contentsOfDirectory(const std::string& directory) const;
    std::vector<std::string> activePathContents() const;
    std::vector<std::string> processingPathContents() const;
    std::vector<std::string> preparedPathContents() const;
    std::optional<std::uint64_t> fileSizeAtPath(const std::string& path) const;

    // active, processing, prepared; stops at the first failure.
    bool createReportDirectories() const;
    // active/<identifier>, created; nothing when that fails.
    std::optional<std::string> setupNewPathForExecutionIdentifier(
        const std::string& identifier) const;
    // Whether the crashed marker existed the first time this was asked.
    bool didCrashOnPreviousExecution();
    bool metricKitDiagnosticFileExists() const;
    void createEmptyMetricKitFile(const std::string& reportPath) const;

    static std::string pathNamespace();
    const std::string& rootPath() const { return rootPath_; }
    const std::string& cachesPath() const { return cachesPath_; }
    std::string crashedMarkerPath() const;
    std::string versionedPath() const;
    std::string settingsDirectoryPath() const;
    std::string settingsFilePath() const;
    std::string settingsCacheKeyPath() const;
    std::string structurePath() const;
    std::string activePath() const;
    std::string pendingPath() const;
    std::string processingPath() const;
    std::string preparedPath() const;
    std::string metricKitDiagnosticPath() const;

  private:
    std::string rootPath_;
    std::string cachesPath_;
    std::once_flag crashMarkerOnce_;
    bool crashFileMarkerExists_ = false;
};
