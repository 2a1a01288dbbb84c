#pragma once
// A settings store kept as one property-list file in the measurement
// directory. The whole map lives in memory (reads never touch the disk);
// changes are written at most once a second, one second after the first
// change of a burst, on the store's own serial queue. Thread-safe.

#include <memory>
#include <mutex>
#include <string>

#include "services/measurement/APMConfigStore.h"

class DispatchQueue;

class APMPersistentDictionary : public APMConfigStore,
                                public std::enable_shared_from_this<APMPersistentDictionary> {
  public:
    // nullptr for an empty name or when the folders cannot be made.
    static std::shared_ptr<APMPersistentDictionary> initWithFileName(const std::string& fileName);
    // A pending write is done at once.
    ~APMPersistentDictionary() override;

    std::optional<Value> objectForKey(const std::string& key) override;
    void setObject(const std::optional<Value>& value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override { setObject(std::nullopt, key); }
    void clearAllData() override;
    // Writes happen only through the delayed write.
    bool synchronize() override { return true; }

    void schedulePersistToDisk();
    void persistToDisk();

    const std::string& filePath() const { return path_; }
    // Control surface for tests: file writes done so far.
    int persistCount() const;
    // Control surface for tests: waits for writes already posted to run.
    void waitForPostedWrites();

  private:
    APMPersistentDictionary(std::string path, Dictionary content);

    std::string path_;
    Dictionary content_;
    bool hasPendingPersistence_ = false;
    int persistCount_ = 0;
    std::shared_ptr<DispatchQueue> serialQueue_;
    mutable std::mutex lock_;
};
