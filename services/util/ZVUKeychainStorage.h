#pragma once
// Small secure-coding objects kept as generic-password items of one service,
// behind an in-memory cache, with promise results.
//
// The cache takes an object only after its keychain write has succeeded, so
// it never serves one whose write failed, not even to a read made while the
// write was under way; and a keychain read that started before a set or
// remove of the same key never puts its older answer into the cache.

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"
#include "platform/keychain/SecItem.h"
#include "services/util/PRMPromise.h"

// A bounded object cache keyed by text; the least recently used entry goes
// first. Thread-safe.
class ZVUKeychainCache {
  public:
    explicit ZVUKeychainCache(std::size_t countLimit = 5) : countLimit_(countLimit) {}
    std::optional<Id> objectForKey(const std::string& key);
    void setObject(const Id& object, const std::string& key);
    void removeObjectForKey(const std::string& key);
    void removeAllObjects();
    std::size_t countLimit() const { return countLimit_; }

  private:
    std::mutex mutex_;
    std::size_t countLimit_;
    std::list<std::pair<std::string, Id>> entries_;  // most recent first
};

class ZVUKeychainStorage : public NSObject {
  public:
    static std::shared_ptr<ZVUKeychainStorage> initWithService(const std::string& service);
    static std::shared_ptr<ZVUKeychainStorage> initWithService(
        const std::string& service, std::shared_ptr<ZVUKeychainCache> cache);

    std::string className() const override { return "ZVUKeychainStorage"; }

    // Fulfilled with the object (an Id), or with nil when there is no item.
    std::shared_ptr<PRMPromise> getObjectForKey(const std::string& key,
                                                const std::string& objectClass,
                                                const std::optional<std::string>& accessGroup);
    // Fulfilled with the null placeholder on success.
    std::shared_ptr<PRMPromise> setObject(const Id& object, const std::string& key,
                                          const std::optional<std::string>& accessGroup);
    // Fulfilled with the null placeholder on success, also when there was no item.
    std::shared_ptr<PRMPromise> removeObjectForKey(const std::string& key,
                                                   const std::optional<std::string>& accessGroup);
    // Reads the keychain, bypassing the cache, and fills the cache.
    std::shared_ptr<PRMPromise> getObjectFromKeychainForKey(
        const std::string& key, const std::string& objectClass,
        const std::optional<std::string>& accessGroup);
    void resetInMemoryCache();
    Dictionary keychainQueryWithKey(const std::string& key,
                                    const std::optional<std::string>& accessGroup) const;

    std::optional<SecKeychainRef> keychainRef() const;
    void setKeychainRef(std::optional<SecKeychainRef> keychain);

    ZVUKeychainStorage(std::string service, std::shared_ptr<ZVUKeychainCache> cache);

  private:
    std::string service_;
    std::shared_ptr<ZVUKeychainCache> inMemoryCache_;
    std::shared_ptr<DispatchQueue> keychainQueue_;
    std::shared_ptr<DispatchQueue> inMemoryCacheQueue_;
    mutable std::mutex refMutex_;
    std::optional<SecKeychainRef> keychainRef_;
    // Bumped by every set and remove of a key; touched only on the cache queue.
    std::map<std::string, std::uint64_t> generations_;
};
