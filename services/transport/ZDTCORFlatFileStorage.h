#pragma once
// The transport's storage: one file per waiting event in a directory per
// target, batches formed by moving event files into a batch directory, a
// 20,000,000-byte cap, and small named library values (the batch counter).
// Every file operation runs on the storage's serial queue; completions run
// there too, except the immediate refusals of invalid input, which run on
// the caller's thread.
//
// Files are written to a temporary beside the target and renamed over it,
// so a killed process leaves either the whole event or a temporary; event
// names never contain ".", so temporaries are never read as events and are
// swept at start-up.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "services/transport/ZDTCORDirectorySizeTracker.h"
#include "services/transport/ZDTCORFlatFileNames.h"
#include "services/transport/ZDTCORStorageProtocol.h"

class ZDTCORFlatFileStorage : public NSObject, public ZDTCORStoragePromiseProtocol {
  public:
    static constexpr std::uint64_t kSizeLimitBytes = 20000000;
    static constexpr const char* kErrorDomain = "ZDTCORFlatFileStorage";
    static constexpr const char* kBatchIDCounterKey = "ZDTCORFlatFileStorageBatchIDCounter";

    // Over the transport state directory; registers itself for targets 999
    // to 1003 and sweeps expired events on creation.
    static std::shared_ptr<ZDTCORFlatFileStorage> sharedInstance();
    // A storage below rootPath (the transport root). Nothing is registered.
    explicit ZDTCORFlatFileStorage(std::string rootPath);
    ~ZDTCORFlatFileStorage() override;

    // Asked after an immediate-tier event was stored.
    void setForceUploadHandler(std::function<void(ZDTCORTarget)> handler);

    std::string eventDataStoragePath() const;
    std::string batchDataStoragePath() const;
    std::string libraryDataStoragePath() const;
    std::string batchPathForTarget(ZDTCORTarget target, std::int64_t batchID,
                                   const Date& expiration) const;
    std::string pathForTarget(ZDTCORTarget target, const std::string& eventID, ZDTCOREventQoS tier,
                              const Date& expiration, const std::string& mappingID) const;

    using EventComponents = ZDTCOREventFileComponents;
    using BatchComponents = ZDTCORBatchDirComponents;
    static std::optional<EventComponents> eventComponentsFromFilename(const std::string& name);
    static std::optional<BatchComponents> batchComponentsFromFilename(const std::string& name);
    static std::string percentEncodeMappingID(const std::string& mappingID);
    static std::string percentDecode(const std::string& text);

    // ZDTCORStorageProtocol
    void storeEvent(std::shared_ptr<ZDTCOREvent> event, ZDTCORStoreCompletion completion) override;
    void hasEventsForTarget(ZDTCORTarget target, std::function<void(bool)> completion) override;
    void batchWithEventSelector(const ZDTCORStorageEventSelector& selector, Date batchExpiration,
                                ZDTCORBatchCompletion completion) override;
    void removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                           std::function<void()> completion) override;
    void batchIDsForTarget(
        ZDTCORTarget target,
        std::function<void(std::optional<std::set<std::int64_t>>)> completion) override;
    void checkForExpirations() override;
    void storeLibraryData(const std::optional<Data>& data, const std::string& key,
                          ZDTCORErrorCompletion completion) override;
    void libraryDataForKey(
        const std::string& key,
        std::function<void(std::optional<Data>, std::optional<NSError>)> onFetchComplete,
        std::function<std::optional<Data>()> setNewValue) override;
    void removeLibraryDataForKey(const std::string& key, ZDTCORErrorCompletion completion) override;
    void storageSizeWithCallback(std::function<void(std::uint64_t)> callback) override;

    // ZDTCORStoragePromiseProtocol
    std::shared_ptr<PRMPromise> batchIDsForTarget(ZDTCORTarget target) override;
    std::shared_ptr<PRMPromise> removeBatchWithID(std::int64_t batchID, bool deleteEvents) override;
    std::shared_ptr<PRMPromise> removeBatchesWithIDs(const std::set<std::int64_t>& batchIDs,
                                                     bool deleteEvents) override;
    std::shared_ptr<PRMPromise> removeAllBatchesForTarget(ZDTCORTarget target,
                                                          bool deleteEvents) override;
    std::shared_ptr<PRMPromise> hasEventsForTarget(ZDTCORTarget target) override;
    std::shared_ptr<PRMPromise> batchWithEventSelector(const ZDTCORStorageEventSelector& selector,
                                                       Date batchExpiration) override;

    void appWillBackground(ZDTCORApplicationProtocol& app) override;
    // Returns once everything queued before it has run. Not on the storage queue.
    void appWillTerminate(ZDTCORApplicationProtocol& app) override;

    const std::shared_ptr<DispatchQueue>& storageQueue() const { return queue_; }
    std::string className() const override { return "ZDTCORFlatFileStorage"; }

  private:
    std::string storeDirectory(const char* name) const;
    std::optional<std::int64_t> nextBatchIDOnQueue();
    std::set<std::string> pathsOnQueue(const ZDTCORStorageEventSelector& selector);
    std::vector<std::string> batchDirPathsForBatchID(std::int64_t batchID);
    bool moveContentsOfDirectory(const std::string& from, const std::string& to);
    void removeBatchOnQueue(std::int64_t batchID, bool deleteEvents);
    std::optional<std::set<std::int64_t>> batchIDsOnQueue(ZDTCORTarget target);
    void checkForExpirationsOnQueue();
    void removeTemporariesOnQueue();
    std::optional<Data> readLibraryValue(const std::string& key, std::optional<NSError>* error);
    std::optional<std::int64_t> highestBatchID();

    std::string rootPath_;
    std::shared_ptr<DispatchQueue> queue_;
    ZDTCORDirectorySizeTracker sizeTracker_;
    std::function<void(ZDTCORTarget)> forceUpload_;
};

namespace sim {
// Tests: the next count moves of event files fail with the errno.
void failNextTransportMoves(int count, int error);
}  // namespace sim
