#pragma once
// The read-only view of one report directory: where its files are, who
// wrote it, when, and whether it records a crash. First version: identity,
// paths, creation date and crash state.

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
    const std::string& identifier() const { return identifier_; }
    std::string directoryName() const;
    std::string pathForContentFile(const std::string& name) const;
    std::string metadataPath() const;
    // identity.started_at of the metadata record (the epoch when absent).
    Date dateCreated() const;
    bool isCrash() const;
    bool hasAnyEvents() const;

    static const std::vector<std::string>& crashFileNames();

    RZRCTRInternalReport(std::string path, std::string identifier);

  private:
    const Array& metadataSections() const;

    std::string path_;
    std::string identifier_;
    mutable std::optional<Array> metadataSections_;
};
