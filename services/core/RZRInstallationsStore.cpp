#include "services/core/RZRInstallationsStore.h"

#include "services/core/RZRInstallationsErrorUtil.h"

RZRInstallationsStore::RZRInstallationsStore(std::shared_ptr<ZVUKeychainStorage> secureStorage,
                                             std::optional<std::string> accessGroup)
    : secureStorage_(std::move(secureStorage)),
      accessGroup_(std::move(accessGroup)),
      queue_(DispatchQueue::create("com.reruzera.RZRInstallationsStore")),
      userDefaults_(ZVUUserDefaults::initWithSuiteName(
          accessGroup_ && !accessGroup_->empty()
              ? *accessGroup_
              : std::string(kRZRInstallationsStoreUserDefaultsID))) {
    RZRInstallationsRegisterCodingClasses();
}

std::shared_ptr<PRMPromise> RZRInstallationsStore::installationExistsForAppID(
    const std::string& appID, const std::string& appName) {
    const std::string key = RZRInstallationsItem::identifierWithAppID(appID, appName);
    auto defaults = userDefaults_;
    return PRMPromise::doOn(queue_, [defaults, key, appID, appName]() -> PRMValue {
        if (defaults->objectForKey(Value(key))) return PRMValue::null();
        return RZRInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsStore::installationForAppID(
    const std::string& appID, const std::string& appName) {
    const std::string key = RZRInstallationsItem::identifierWithAppID(appID, appName);
    auto storage = secureStorage_;
    auto group = accessGroup_;
    return installationExistsForAppID(appID, appName)
        ->then([storage, key, group](PRMValue) -> PRMValue {
            return storage->getObjectForKey(key, RZRInstallationsStoredItem::kClassName, group);
        })
        ->then([appID, appName](PRMValue value) -> PRMValue {
            auto stored = value.as<RZRInstallationsStoredItem>();
            if (!stored) {
                return RZRInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
            }
            auto item = RZRInstallationsItem::initWithAppID(appID, appName);
            item->updateWithStoredItem(*stored);
            return item;
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsStore::saveInstallation(
    const std::shared_ptr<RZRInstallationsItem>& item) {
    auto stored = item->storedItem();
    const std::string key = item->identifier();
    auto self = std::static_pointer_cast<RZRInstallationsStore>(shared_from_this());
    return secureStorage_->setObject(Id(stored), key, accessGroup_)->then([self, key](PRMValue) {
        return PRMValue(self->setInstallationExists(true, key));
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsStore::removeInstallationForAppID(
    const std::string& appID, const std::string& appName) {
    const std::string key = RZRInstallationsItem::identifierWithAppID(appID, appName);
    auto self = std::static_pointer_cast<RZRInstallationsStore>(shared_from_this());
    return secureStorage_->removeObjectForKey(key, accessGroup_)->then([self, key](PRMValue) {
        return PRMValue(self->setInstallationExists(false, key));
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsStore::setInstallationExists(
    bool exists, const std::string& identifier) {
    auto defaults = userDefaults_;
    return PRMPromise::doOn(queue_, [defaults, exists, identifier]() -> PRMValue {
        if (exists) {
            defaults->setBool(true, Value(identifier));
        } else {
            defaults->removeObjectForKey(Value(identifier));
        }
        return PRMValue::null();
    });
}
