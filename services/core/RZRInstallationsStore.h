#pragma once
// Keeps one installation record per application: the record in the keychain
// (a generic-password item of the application's service name, account = the
// record key) and an existence flag under the same key in the user defaults,
// so that a keychain item left behind by an earlier installation of the
// program is not taken for the current one. Every operation is a promise.

#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "services/core/RZRInstallationsItem.h"
#include "services/util/PRMPromise.h"
#include "services/util/ZVUKeychainStorage.h"
#include "services/util/ZVUUserDefaults.h"

inline constexpr const char* kRZRInstallationsStoreUserDefaultsID = "com.reruzera.RZRInstallations";

class RZRInstallationsStore : public NSObject {
  public:
    RZRInstallationsStore(std::shared_ptr<ZVUKeychainStorage> secureStorage,
                          std::optional<std::string> accessGroup);
    static std::shared_ptr<RZRInstallationsStore> initWithSecureStorage(
        std::shared_ptr<ZVUKeychainStorage> secureStorage, std::optional<std::string> accessGroup) {
        return std::make_shared<RZRInstallationsStore>(std::move(secureStorage),
                                                       std::move(accessGroup));
    }
    std::string className() const override { return "RZRInstallationsStore"; }

    // Fulfilled with a new RZRInstallationsItem; rejected with the not-found
    // error when there is no flag or no item, or with the keychain's or the
    // decoder's error.
    std::shared_ptr<PRMPromise> installationForAppID(const std::string& appID,
                                                     const std::string& appName);
    // Fulfilled with the null placeholder once item and flag are written.
    std::shared_ptr<PRMPromise> saveInstallation(const std::shared_ptr<RZRInstallationsItem>& item);
    std::shared_ptr<PRMPromise> removeInstallationForAppID(const std::string& appID,
                                                           const std::string& appName);
    std::shared_ptr<PRMPromise> installationExistsForAppID(const std::string& appID,
                                                           const std::string& appName);
    std::shared_ptr<PRMPromise> setInstallationExists(bool exists, const std::string& identifier);

    const std::shared_ptr<ZVUKeychainStorage>& secureStorage() const { return secureStorage_; }
    const std::optional<std::string>& accessGroup() const { return accessGroup_; }
    const std::shared_ptr<ZVUUserDefaults>& userDefaults() const { return userDefaults_; }

  private:
    std::shared_ptr<ZVUKeychainStorage> secureStorage_;
    std::optional<std::string> accessGroup_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<ZVUUserDefaults> userDefaults_;
};
