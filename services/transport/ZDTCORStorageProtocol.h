#pragma once
// What the transport asks of a storage and of an uploader. Completions run
// on the storage's queue unless an operation says otherwise.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/transport/ZDTCOREvent.h"
#include "services/transport/ZDTCORPlatform.h"

class PRMPromise;

// A batch handed to the uploader.
class ZDTCORUploadBatch : public NSObject {
  public:
    ZDTCORUploadBatch(std::int64_t batchID, std::vector<std::shared_ptr<ZDTCOREvent>> events)
        : batchID_(batchID), events_(std::move(events)) {}
    std::int64_t batchID() const { return batchID_; }
    const std::vector<std::shared_ptr<ZDTCOREvent>>& events() const { return events_; }
    std::string className() const override { return "ZDTCORUploadBatch"; }

  private:
    std::int64_t batchID_;
    std::vector<std::shared_ptr<ZDTCOREvent>> events_;
};

// Which stored events a batch takes; an empty set means "any".
struct ZDTCORStorageEventSelector {
    ZDTCORTarget selectedTarget = 0;
    std::set<std::string> selectedEventIDs;
    std::set<std::string> selectedMappingIDs;
    std::set<ZDTCOREventQoS> selectedQosTiers;
};

using ZDTCORStoreCompletion = std::function<void(bool wasWritten, std::optional<NSError> error)>;
using ZDTCORBatchCompletion =
    std::function<void(std::optional<std::int64_t> batchID,
                       std::optional<std::vector<std::shared_ptr<ZDTCOREvent>>> events)>;
using ZDTCORErrorCompletion = std::function<void(std::optional<NSError> error)>;

class ZDTCORStorageProtocol : public ZDTCORLifecycleProtocol {
  public:
    virtual void storeEvent(std::shared_ptr<ZDTCOREvent> event,
                            ZDTCORStoreCompletion completion) = 0;
    virtual void hasEventsForTarget(ZDTCORTarget target, std::function<void(bool)> completion) = 0;
    virtual void batchWithEventSelector(const ZDTCORStorageEventSelector& selector,
                                        Date batchExpiration, ZDTCORBatchCompletion completion) = 0;
    virtual void removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                   std::function<void()> completion) = 0;
    virtual void batchIDsForTarget(
        ZDTCORTarget target,
        std::function<void(std::optional<std::set<std::int64_t>>)> completion) = 0;
    virtual void checkForExpirations() = 0;
    virtual void storeLibraryData(const std::optional<Data>& data, const std::string& key,
                                  ZDTCORErrorCompletion completion) = 0;
    virtual void libraryDataForKey(
        const std::string& key,
        std::function<void(std::optional<Data>, std::optional<NSError>)> onFetchComplete,
        std::function<std::optional<Data>()> setNewValue) = 0;
    virtual void removeLibraryDataForKey(const std::string& key,
                                         ZDTCORErrorCompletion completion) = 0;
    virtual void storageSizeWithCallback(std::function<void(std::uint64_t)> callback) = 0;
};

// The promise forms, settled on the storage queue.
class ZDTCORStoragePromiseProtocol : public ZDTCORStorageProtocol {
  public:
    virtual std::shared_ptr<PRMPromise> batchIDsForTarget(ZDTCORTarget target) = 0;
    virtual std::shared_ptr<PRMPromise> removeBatchWithID(std::int64_t batchID,
                                                          bool deleteEvents) = 0;
    virtual std::shared_ptr<PRMPromise> removeBatchesWithIDs(const std::set<std::int64_t>& batchIDs,
                                                             bool deleteEvents) = 0;
    virtual std::shared_ptr<PRMPromise> removeAllBatchesForTarget(ZDTCORTarget target,
                                                                  bool deleteEvents) = 0;
    virtual std::shared_ptr<PRMPromise> hasEventsForTarget(ZDTCORTarget target) = 0;
    virtual std::shared_ptr<PRMPromise> batchWithEventSelector(
        const ZDTCORStorageEventSelector& selector, Date batchExpiration) = 0;
    using ZDTCORStorageProtocol::batchIDsForTarget;
    using ZDTCORStorageProtocol::batchWithEventSelector;
    using ZDTCORStorageProtocol::hasEventsForTarget;
    using ZDTCORStorageProtocol::removeBatchWithID;
};

// Upload conditions (a bit set).
using ZDTCORUploadConditions = std::uint64_t;
inline constexpr ZDTCORUploadConditions ZDTCORUploadConditionNoNetwork = 1u << 0;
inline constexpr ZDTCORUploadConditions ZDTCORUploadConditionMobileData = 1u << 1;
inline constexpr ZDTCORUploadConditions ZDTCORUploadConditionWifiData = 1u << 2;
inline constexpr ZDTCORUploadConditions ZDTCORUploadConditionHighPriority = 1u << 4;

class ZDTCORUploader : public ZDTCORLifecycleProtocol {
  public:
    virtual void uploadTarget(ZDTCORTarget target, ZDTCORUploadConditions conditions) = 0;
};
