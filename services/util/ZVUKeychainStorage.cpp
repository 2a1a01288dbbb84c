#include "services/util/ZVUKeychainStorage.h"

#include "services/util/ZVUKeychainUtils.h"
#include "services/util/ZVUSecureCoding.h"

// ---- Cache -------------------------------------------------------------------------

std::optional<Id> ZVUKeychainCache::objectForKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == key) {
            entries_.splice(entries_.begin(), entries_, it);
            return entries_.front().second;
        }
    }
    return std::nullopt;
}

void ZVUKeychainCache::setObject(const Id& object, const std::string& key) {
    std::lock_guard lock(mutex_);
    entries_.remove_if([&](const auto& e) { return e.first == key; });
    entries_.emplace_front(key, object);
    while (countLimit_ > 0 && entries_.size() > countLimit_) entries_.pop_back();
}

void ZVUKeychainCache::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    entries_.remove_if([&](const auto& e) { return e.first == key; });
}

void ZVUKeychainCache::removeAllObjects() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

// ---- Storage -----------------------------------------------------------------------

namespace {

PRMValue toPromiseValue(const Id& object) {
    if (const Value* v = object.value()) return PRMValue(*v);
    return PRMValue(object.object());
}

Id toId(const PRMValue& value) {
    if (const Value* v = value.value()) return Id(*v);
    return Id(value.object());
}

}  // namespace

ZVUKeychainStorage::ZVUKeychainStorage(std::string service, std::shared_ptr<ZVUKeychainCache> cache)
    : service_(std::move(service)),
      inMemoryCache_(std::move(cache)),
      keychainQueue_(DispatchQueue::create("com.zvu.KeychainStorage.Keychain")),
      inMemoryCacheQueue_(DispatchQueue::create("com.zvu.KeychainStorage.InMemoryCache")) {}

std::shared_ptr<ZVUKeychainStorage> ZVUKeychainStorage::initWithService(
    const std::string& service) {
    return initWithService(service, std::make_shared<ZVUKeychainCache>(5));
}

std::shared_ptr<ZVUKeychainStorage> ZVUKeychainStorage::initWithService(
    const std::string& service, std::shared_ptr<ZVUKeychainCache> cache) {
    return std::make_shared<ZVUKeychainStorage>(service, std::move(cache));
}

std::optional<SecKeychainRef> ZVUKeychainStorage::keychainRef() const {
    std::lock_guard lock(refMutex_);
    return keychainRef_;
}

void ZVUKeychainStorage::setKeychainRef(std::optional<SecKeychainRef> keychain) {
    std::lock_guard lock(refMutex_);
    keychainRef_ = std::move(keychain);
}

Dictionary ZVUKeychainStorage::keychainQueryWithKey(
    const std::string& key, const std::optional<std::string>& accessGroup) const {
    Dictionary query{
        {kSecClass, kSecClassGenericPassword}, {kSecAttrService, service_}, {kSecAttrAccount, key}};
    if (accessGroup) query.set(kSecAttrAccessGroup, *accessGroup);
    if (auto ref = keychainRef()) {
        query.set(kSecUseKeychain, *ref);
        query.set(kSecMatchSearchList, Array{Value(*ref)});
    }
    return query;
}

std::shared_ptr<PRMPromise> ZVUKeychainStorage::getObjectForKey(
    const std::string& key, const std::string& objectClass,
    const std::optional<std::string>& accessGroup) {
    auto self = std::static_pointer_cast<ZVUKeychainStorage>(shared_from_this());
    return PRMPromise::doOn(inMemoryCacheQueue_,
                            [self, key]() -> PRMValue {
                                if (auto cached = self->inMemoryCache_->objectForKey(key)) {
                                    return toPromiseValue(*cached);
                                }
                                // Only marks the miss for the recovery below.
                                return NSError(PRMPromiseErrorDomain, 2);
                            })
        ->recover([self, key, objectClass, accessGroup](NSError) {
            return PRMValue(self->getObjectFromKeychainForKey(key, objectClass, accessGroup));
        });
}

std::shared_ptr<PRMPromise> ZVUKeychainStorage::getObjectFromKeychainForKey(
    const std::string& key, const std::string& objectClass,
    const std::optional<std::string>& accessGroup) {
    auto self = std::static_pointer_cast<ZVUKeychainStorage>(shared_from_this());
    auto generation = std::make_shared<std::uint64_t>(0);
    return PRMPromise::doOn(inMemoryCacheQueue_,
                            [self, key, generation]() -> PRMValue {
                                *generation = self->generations_[key];
                                return nullptr;
                            })
        ->thenOn(keychainQueue_,
                 [self, key, objectClass, accessGroup](PRMValue) -> PRMValue {
                     std::optional<NSError> error;
                     auto data = ZVUKeychainUtils::getItemWithQuery(
                         self->keychainQueryWithKey(key, accessGroup), &error);
                     if (error) return *error;
                     if (!data) return nullptr;
                     NSError decodeError;
                     Id object =
                         ZVUSecureCoding::unarchivedObjectOfClass(objectClass, *data, &decodeError);
                     if (object.isNil()) return decodeError;
                     return toPromiseValue(object);
                 })
        ->thenOn(inMemoryCacheQueue_, [self, key, generation](PRMValue object) {
            // A set or remove requested meanwhile knows better than this read.
            if (!object.isNil() && self->generations_[key] == *generation &&
                !self->inMemoryCache_->objectForKey(key)) {
                self->inMemoryCache_->setObject(toId(object), key);
            }
            return object;
        });
}

std::shared_ptr<PRMPromise> ZVUKeychainStorage::setObject(
    const Id& object, const std::string& key, const std::optional<std::string>& accessGroup) {
    auto self = std::static_pointer_cast<ZVUKeychainStorage>(shared_from_this());
    auto generation = std::make_shared<std::uint64_t>(0);
    // The cache learns the object only once the keychain holds it: a read
    // meanwhile gets the old object (cached or from the keychain), never one
    // whose write may still fail.
    return PRMPromise::doOn(inMemoryCacheQueue_,
                            [self, key, generation]() -> PRMValue {
                                *generation = ++self->generations_[key];
                                return nullptr;
                            })
        ->thenOn(keychainQueue_,
                 [self, object, key, accessGroup](PRMValue) -> PRMValue {
                     NSError archiveError;
                     auto data = ZVUSecureCoding::archivedDataWithRootObject(object, &archiveError);
                     if (!data) return archiveError;
                     std::optional<NSError> error;
                     if (!ZVUKeychainUtils::setItem(
                             *data, self->keychainQueryWithKey(key, accessGroup), &error)) {
                         return error.value_or(
                             ZVUKeychainUtils::keychainErrorWithFunction("SecItemAdd", errSecIO));
                     }
                     return PRMValue::null();
                 })
        ->thenOn(inMemoryCacheQueue_, [self, object, key, generation](PRMValue done) -> PRMValue {
            // A later set or remove decides the cache; until it has,
            // the cache must not keep what the keychain no longer holds.
            if (self->generations_[key] == *generation)
                self->inMemoryCache_->setObject(object, key);
            else
                self->inMemoryCache_->removeObjectForKey(key);
            return done;
        });
}

std::shared_ptr<PRMPromise> ZVUKeychainStorage::removeObjectForKey(
    const std::string& key, const std::optional<std::string>& accessGroup) {
    auto self = std::static_pointer_cast<ZVUKeychainStorage>(shared_from_this());
    return PRMPromise::doOn(inMemoryCacheQueue_,
                            [self, key]() -> PRMValue {
                                self->inMemoryCache_->removeObjectForKey(key);
                                ++self->generations_[key];
                                return nullptr;
                            })
        ->thenOn(keychainQueue_, [self, key, accessGroup](PRMValue) -> PRMValue {
            std::optional<NSError> error;
            if (!ZVUKeychainUtils::removeItemWithQuery(self->keychainQueryWithKey(key, accessGroup),
                                                       &error)) {
                return *error;
            }
            return PRMValue::null();
        });
}

void ZVUKeychainStorage::resetInMemoryCache() {
    inMemoryCache_->removeAllObjects();
}
