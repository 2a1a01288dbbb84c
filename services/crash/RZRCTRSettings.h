#pragma once
// The crash reporter's settings document: the cached copy (settings.json),
// the cache key beside it (cache-key.json) that says whether the copy is
// still current, and the typed accessors the rest of the crash reporter
// reads. Missing documents, sections and keys give the defaults.
//
// A document of the wrong shape (RZRCTRSettingsDocument.h) is rejected as a
// whole: it is deleted and the defaults apply, never a mix.
//
// Thread-safe: the document and the expiry flag are guarded by one lock;
// each accessor reads a snapshot.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class RZRCTRFileManager;
class RZRCTRApplicationIdentifierModel;

class RZRCTRSettings : public NSObject {
  public:
    RZRCTRSettings(std::shared_ptr<RZRCTRFileManager> fileManager,
                   std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel);
    std::string className() const override { return "RZRCTRSettings"; }

    // currentTimestamp: seconds since 2001-01-01 00:00:00 UTC.
    void reloadFromCacheWithZeveraAppID(const std::string& zeveraAppID, double currentTimestamp);
    void cacheSettingsWithZeveraAppID(const std::string& zeveraAppID, double currentTimestamp);
    bool isCacheExpired() const;
    std::optional<Dictionary> loadCacheKey() const;
    // Clears the document at once; the files go later, on a background queue.
    void deleteCachedSettings();
    // Waits (bounded) until file deletions started so far have finished.
    bool waitForPendingDeletions(sim::Duration timeout) const;

    std::optional<Dictionary> settingsDictionary() const;
    std::optional<Value> appSettings() const;
    std::optional<Value> sessionSettings() const;
    std::optional<Value> featuresSettings() const;
    std::optional<Value> tracekitSettings() const;

    std::uint32_t cacheDurationSeconds() const;
    bool errorReportingEnabled() const;
    bool customExceptionsEnabled() const;
    bool collectReportsEnabled() const;
    bool metricKitCollectionEnabled() const;
    std::uint32_t logBufferSize() const;
    std::uint32_t errorLogBufferSize() const;
    std::uint32_t maxCustomExceptions() const;
    std::uint32_t maxCustomKeys() const;

    const std::shared_ptr<RZRCTRFileManager>& fileManager() const { return fileManager_; }
    const std::shared_ptr<RZRCTRApplicationIdentifierModel>& appIDModel() const {
        return appIDModel_;
    }

  private:
    std::optional<Value> section(const char* name) const;
    std::uint32_t sessionValue(const char* key, std::uint32_t fallback) const;
    bool featureValue(const char* key, bool fallback) const;
    std::string currentBuildInstanceID() const;
    std::string currentSynthesizedVersion() const;

    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel_;
    mutable std::recursive_mutex lock_;
    std::optional<Dictionary> settingsDictionary_;
    bool isCacheKeyExpired_ = false;
    std::shared_ptr<DispatchGroup> deletions_ = std::make_shared<DispatchGroup>();
};
