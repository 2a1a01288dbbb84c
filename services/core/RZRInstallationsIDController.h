#pragma once
// Owns the life of one application's installation: reads the record from
// the keychain store, creates one when there is none (for the default
// application by carrying over the legacy instance identifier and token),
// registers it with the service, keeps its auth token fresh, deletes it, asks
// the backoff controller before every request and feeds it the outcomes, and
// posts "RZRInstallationIDDidChangeNotification" for every identifier change.
//
// Each public operation is a promise, merged through a single-operation
// cache so that concurrent callers share one run. The flow's blocks run on
// the promise library's default queue (the main queue).
//
// Beyond the service's own rules:
//  * A keychain failure while reading the record fails the request instead
//    of replacing the installation; only a missing, undecodable or invalid
//    record leads to a new one.
//  * Token requests that find the installation unregistered at the same
//    time share one registration request.
//  * When the service answers 401 or 404 the installation is recreated once
//    per request; if the recreated one is refused as well, the request fails
//    and a recoverable failure is registered with the backoff controller.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "services/core/RZRInstallationsAPIService.h"
#include "services/core/RZRInstallationsBackoffController.h"
#include "services/core/RZRInstallationsIIDStore.h"
#include "services/core/RZRInstallationsItem.h"
#include "services/core/RZRInstallationsSingleOperationPromiseCache.h"
#include "services/core/RZRInstallationsStore.h"
#include "services/util/PRMPromise.h"

inline constexpr const char* kRZRInstallationIDDidChangeNotification =
    "RZRInstallationIDDidChangeNotification";
inline constexpr const char* kRZRInstallationIDDidChangeNotificationAppNameKey =
    "RZRInstallationIDDidChangeNotification";
inline constexpr const char* kRZRInstallationsKeychainServicePrefix =
    "com.reruzera.RZRInstallations.installations";
inline constexpr double kRZRInstallationsTokenRefreshMargin = 3600;

class RZRInstallationsIDController : public NSObject {
  public:
    static std::shared_ptr<RZRInstallationsIDController> initWithZeveraAppID(
        const std::string& appID, const std::string& appName, const std::string& APIKey,
        const std::string& projectID, const std::optional<std::string>& ZCMSenderID,
        const std::optional<std::string>& accessGroup);
    static std::shared_ptr<RZRInstallationsIDController> initWithZeveraAppID(
        const std::string& appID, const std::string& appName,
        std::shared_ptr<RZRInstallationsStore> installationsStore,
        std::shared_ptr<RZRInstallationsAPIService> APIService,
        std::shared_ptr<RZRInstallationsIIDStore> IIDStore,
        std::shared_ptr<RZRInstallationsIIDTokenStore> IIDTokenStore,
        std::shared_ptr<RZRInstallationsBackoffControllerProtocol> backoffController);
    static std::string keychainServiceWithAppID(const std::string& appID);

    std::string className() const override { return "RZRInstallationsIDController"; }

    // Fulfilled with the RZRInstallationsItem, registered or not.
    std::shared_ptr<PRMPromise> getInstallationItem();
    // Fulfilled with a registered RZRInstallationsItem whose token is valid
    // for at least the refresh margin.
    std::shared_ptr<PRMPromise> getAuthTokenForcingRefresh(bool forceRefresh);
    std::shared_ptr<PRMPromise> deleteInstallation();

    const std::string& appID() const { return appID_; }
    const std::string& appName() const { return appName_; }
    const std::shared_ptr<RZRInstallationsStore>& installationsStore() const { return store_; }
    const std::shared_ptr<RZRInstallationsAPIService>& APIService() const { return API_; }
    const std::shared_ptr<RZRInstallationsBackoffControllerProtocol>& backoffController() const {
        return backoff_;
    }

    RZRInstallationsIDController(
        std::string appID, std::string appName,
        std::shared_ptr<RZRInstallationsStore> installationsStore,
        std::shared_ptr<RZRInstallationsAPIService> APIService,
        std::shared_ptr<RZRInstallationsIIDStore> IIDStore,
        std::shared_ptr<RZRInstallationsIIDTokenStore> IIDTokenStore,
        std::shared_ptr<RZRInstallationsBackoffControllerProtocol> backoff);

  private:
    void makeCaches();
    std::shared_ptr<RZRInstallationsIDController> self();
    bool isDefaultApp() const;

    std::shared_ptr<PRMPromise> createGetInstallationItemPromise();
    std::shared_ptr<PRMPromise> getStoredInstallation();
    std::shared_ptr<PRMPromise> createAndSaveRID();
    std::shared_ptr<PRMPromise> migrateOrGenerateInstallation();
    std::shared_ptr<RZRInstallationsItem> createInstallationWithRID(
        const std::string& rid, const std::optional<std::string>& IIDDefaultToken) const;
    std::shared_ptr<PRMPromise> saveInstallation(const std::shared_ptr<RZRInstallationsItem>& item);
    std::shared_ptr<PRMPromise> registerInstallationIfNeeded(
        const std::shared_ptr<RZRInstallationsItem>& item);
    std::shared_ptr<PRMPromise> installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                             bool mayRegenerate);
    std::shared_ptr<PRMPromise> refreshAuthTokenForInstallation(
        const std::shared_ptr<RZRInstallationsItem>& item);
    std::shared_ptr<PRMPromise> regenerateRIDOnRefreshTokenErrorIfNeeded(const NSError& error,
                                                                         bool mayRegenerate);
    std::shared_ptr<PRMPromise> createDeleteInstallationPromise();
    std::shared_ptr<PRMPromise> mostRecentInstallationOperation();
    std::shared_ptr<PRMPromise> sendDeleteInstallationRequestIfNeeded(
        const std::shared_ptr<RZRInstallationsItem>& item);
    std::shared_ptr<PRMPromise> deleteInstallationLocally(
        const std::shared_ptr<RZRInstallationsItem>& item);
    std::shared_ptr<PRMPromise> deleteExistingIIDIfNeeded();
    void updateBackoffWithSuccess(bool success, const std::optional<NSError>& APIError);
    void postRIDDidChangeNotification() const;
    static bool doesRegistrationErrorRequireConfigChange(const NSError& error);

    std::string appID_;
    std::string appName_;
    std::shared_ptr<RZRInstallationsStore> store_;
    std::shared_ptr<RZRInstallationsAPIService> API_;
    std::shared_ptr<RZRInstallationsIIDStore> IIDStore_;
    std::shared_ptr<RZRInstallationsIIDTokenStore> IIDTokenStore_;
    std::shared_ptr<RZRInstallationsBackoffControllerProtocol> backoff_;
    std::shared_ptr<RZRInstallationsSingleOperationPromiseCache> getInstallationPromiseCache_;
    std::shared_ptr<RZRInstallationsSingleOperationPromiseCache> authTokenPromiseCache_;
    std::shared_ptr<RZRInstallationsSingleOperationPromiseCache>
        authTokenForcingRefreshPromiseCache_;
    std::shared_ptr<RZRInstallationsSingleOperationPromiseCache> deleteInstallationPromiseCache_;
    std::mutex registrationMutex_;
    std::shared_ptr<PRMPromise> pendingRegistration_;  // the registration request in flight
};
