#pragma once
// The read-only view of one report directory: where its files are, who
// wrote it, when, whether it holds anything to send and whether it records
// a crash. A cheap handle: existence checks read the disk on every call,
// the metadata record is read once per object. One thread at a time.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZRCTRInternalReport : public NSObject {
  public:
    // The identifier from the metadata record's identity section; null when
    // it has none.
    static std::shared_ptr<RZRCTRInternalReport> reportWithPath(const std::string& path);
    // Null when either is empty.
    static std::shared_ptr<RZRCTRInternalReport> reportWithPath(const std::string& path,
                                                                const std::string& identifier);

    std::string className() const override { return "RZRCTRInternalReport"; }

    const std::string& path() const { return path_; }
    // Where the directory is now, after it was moved.
    void setPath(std::string path) { path_ = std::move(path); }
    const std::string& identifier() const { return identifier_; }
    std::string directoryName() const;
    std::string pathForContentFile(const std::string& name) const;
    std::string metadataPath() const;
    std::string binaryImagePath() const;

    bool isCrash() const;
    bool hasAnyEvents() const;
    bool checkExistenceOfAtLeastOneFileInArray(const std::vector<std::string>& names) const;
    // Every crash file's path, in list order, whether it exists or not.
    void enumerateSymbolicatableFilesInContent(
        const std::function<void(const std::string& path)>& block) const;

    static const std::vector<std::string>& crashFileNames();
    static const std::vector<std::string>& eventFileNames();
    // The sections of a record file; nullopt when it yields none.
    static std::optional<Array> readRZRCTRFileAtPath(const std::string& path);

    // The sections of metadata.ctrrecord (identity, host, application), read
    // on first use.
    const Array& metadataSections() const;
    std::optional<std::string> orgID() const;
    // identity.started_at of the metadata record (the epoch when absent).
    Date dateCreated() const;
    // The crash time of the Mach exception, else of the signal; nothing
    // when the report is no crash or neither file has one.
    std::optional<Date> crashedOnDate() const;
    std::optional<std::uint64_t> timeFromCrashContentFile(const std::string& name,
                                                          const std::string& sectionName) const;
    std::optional<std::string> OSVersion() const;
    std::optional<std::string> OSBuildVersion() const;
    std::optional<std::string> bundleVersion() const;
    std::optional<std::string> bundleShortVersionString() const;

    RZRCTRInternalReport(std::string path, std::string identifier);

  private:
    // The named section's value at a fixed position of the metadata record;
    // null when the record is shorter.
    const Value& metadataValue(std::size_t index, const char* section, const char* key) const;

    std::string path_;
    std::string identifier_;
    mutable std::optional<Array> metadataSections_;
};
