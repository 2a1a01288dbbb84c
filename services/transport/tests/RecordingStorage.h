#pragma once
// A storage that records what it is given and answers "written".

#include <mutex>
#include <vector>

#include "services/transport/ZDTCORStorageProtocol.h"

class RecordingStorage : public ZDTCORStorageProtocol {
  public:
    void storeEvent(std::shared_ptr<ZDTCOREvent> event, ZDTCORStoreCompletion completion) override {
        {
            std::lock_guard lock(mutex);
            events.push_back(event);
        }
        if (completion) completion(true, std::nullopt);
    }
    void hasEventsForTarget(ZDTCORTarget, std::function<void(bool)> completion) override {
        completion(false);
    }
    void batchWithEventSelector(const ZDTCORStorageEventSelector&, Date,
                                ZDTCORBatchCompletion c) override {
        if (c) c(std::nullopt, std::nullopt);
    }
    void removeBatchWithID(std::int64_t, bool, std::function<void()> c) override {
        if (c) c();
    }
    void batchIDsForTarget(ZDTCORTarget,
                           std::function<void(std::optional<std::set<std::int64_t>>)> c) override {
        c(std::nullopt);
    }
    void checkForExpirations() override {
        std::lock_guard lock(mutex);
        ++expiryChecks;
    }
    void storeLibraryData(const std::optional<Data>&, const std::string&,
                          ZDTCORErrorCompletion) override {}
    void libraryDataForKey(const std::string&,
                           std::function<void(std::optional<Data>, std::optional<NSError>)>,
                           std::function<std::optional<Data>()>) override {}
    void removeLibraryDataForKey(const std::string&, ZDTCORErrorCompletion) override {}
    void storageSizeWithCallback(std::function<void(std::uint64_t)> callback) override {
        callback(0);
    }
    void appWillTerminate(ZDTCORApplicationProtocol&) override {
        std::lock_guard lock(mutex);
        notices.push_back("terminate");
    }
    void appWillBackground(ZDTCORApplicationProtocol&) override {
        std::lock_guard lock(mutex);
        notices.push_back("background");
    }

    std::vector<std::shared_ptr<ZDTCOREvent>> stored() const {
        std::lock_guard lock(mutex);
        return events;
    }

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<ZDTCOREvent>> events;
    std::vector<std::string> notices;
    int expiryChecks = 0;
};
