#include "services/core/RZRInstallationsIDController.h"

#include "platform/dispatch/Clock.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/RZRInstallationsLogger.h"
#include "services/core/RZRLogger.h"
#include "services/core/VUVEzu.h"
#include "services/util/ZVUKeychainStorage.h"
#include "services/util/ZVUKeychainUtils.h"

namespace {

using Item = std::shared_ptr<RZRInstallationsItem>;

// Failures of the keychain itself (locked, unavailable, unreadable) say
// nothing about whether a record exists: they must not lead to a new one.
bool isKeychainFailure(const NSError& error) {
    return error.domain == ZVUKeychainErrorDomain;
}

}  // namespace

RZRInstallationsIDController::RZRInstallationsIDController(
    std::string appID, std::string appName, std::shared_ptr<RZRInstallationsStore> store,
    std::shared_ptr<RZRInstallationsAPIService> API, std::shared_ptr<RZRInstallationsIIDStore> IID,
    std::shared_ptr<RZRInstallationsIIDTokenStore> IIDToken,
    std::shared_ptr<RZRInstallationsBackoffControllerProtocol> backoff)
    : appID_(std::move(appID)),
      appName_(std::move(appName)),
      store_(std::move(store)),
      API_(std::move(API)),
      IIDStore_(std::move(IID)),
      IIDTokenStore_(std::move(IIDToken)),
      backoff_(std::move(backoff)) {}

std::string RZRInstallationsIDController::keychainServiceWithAppID(const std::string& appID) {
    return std::string(kRZRInstallationsKeychainServicePrefix) + "." + appID;
}

std::shared_ptr<RZRInstallationsIDController> RZRInstallationsIDController::initWithZeveraAppID(
    const std::string& appID, const std::string& appName, const std::string& APIKey,
    const std::string& projectID, const std::optional<std::string>& ZCMSenderID,
    const std::optional<std::string>& accessGroup) {
    auto storage = ZVUKeychainStorage::initWithService(keychainServiceWithAppID(appID));
    return initWithZeveraAppID(appID, appName,
                               RZRInstallationsStore::initWithSecureStorage(storage, accessGroup),
                               RZRInstallationsAPIService::initWithAPIKey(APIKey, projectID),
                               RZRInstallationsIIDStore::init(),
                               RZRInstallationsIIDTokenStore::initWithZCMSenderID(ZCMSenderID),
                               std::make_shared<RZRInstallationsBackoffController>());
}

std::shared_ptr<RZRInstallationsIDController> RZRInstallationsIDController::initWithZeveraAppID(
    const std::string& appID, const std::string& appName,
    std::shared_ptr<RZRInstallationsStore> installationsStore,
    std::shared_ptr<RZRInstallationsAPIService> APIService,
    std::shared_ptr<RZRInstallationsIIDStore> IIDStore,
    std::shared_ptr<RZRInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<RZRInstallationsBackoffControllerProtocol> backoffController) {
    auto controller = std::make_shared<RZRInstallationsIDController>(
        appID, appName, std::move(installationsStore), std::move(APIService), std::move(IIDStore),
        std::move(IIDTokenStore), std::move(backoffController));
    controller->makeCaches();
    return controller;
}

void RZRInstallationsIDController::makeCaches() {
    std::weak_ptr<RZRInstallationsIDController> weak = self();
    auto make = [](auto handler) {
        return std::make_shared<RZRInstallationsSingleOperationPromiseCache>(std::move(handler));
    };
    auto gone = [] {
        return RZRInstallationsErrorUtil::rejectedPromiseWithError(
            RZRInstallationsErrorUtil::installationsErrorWithCode(
                RZRInstallationsErrorCode::Unknown, std::string("The controller is gone."),
                std::nullopt));
    };
    getInstallationPromiseCache_ = make([weak, gone] {
        auto s = weak.lock();
        return s ? s->createGetInstallationItemPromise() : gone();
    });
    authTokenPromiseCache_ = make([weak, gone] {
        auto s = weak.lock();
        return s ? s->installationWithValidAuthTokenForcingRefresh(false, true) : gone();
    });
    authTokenForcingRefreshPromiseCache_ = make([weak, gone] {
        auto s = weak.lock();
        return s ? s->installationWithValidAuthTokenForcingRefresh(true, true) : gone();
    });
    deleteInstallationPromiseCache_ = make([weak, gone] {
        auto s = weak.lock();
        return s ? s->createDeleteInstallationPromise() : gone();
    });
}

std::shared_ptr<RZRInstallationsIDController> RZRInstallationsIDController::self() {
    return std::static_pointer_cast<RZRInstallationsIDController>(shared_from_this());
}

bool RZRInstallationsIDController::isDefaultApp() const {
    return appName_ == VUVEzu::kDefaultAppName;
}

// ---- Get installation --------------------------------------------------------

std::shared_ptr<PRMPromise> RZRInstallationsIDController::getInstallationItem() {
    return getInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::createGetInstallationItemPromise() {
    RZRLogDebug(kRZRLoggerInstallations, "I-RIS002000", "%s, appName: %@",
                "-[RZRInstallationsIDController createGetInstallationItemPromise]", appName_);
    auto me = self();
    auto installation = getStoredInstallation()->recover([me](NSError error) -> PRMValue {
        if (isKeychainFailure(error)) return error;
        return me->createAndSaveRID();
    });
    // Registers a new or unregistered installation and fetches its token in
    // the background; the caller has the identifier at once.
    std::weak_ptr<RZRInstallationsIDController> weak = me;
    installation->then([weak](PRMValue value) -> PRMValue {
        if (auto s = weak.lock()) s->getAuthTokenForcingRefresh(false);
        return value;
    });
    return installation;
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::getStoredInstallation() {
    return store_->installationForAppID(appID_, appName_)->validate([](const PRMValue& value) {
        auto item = value.as<RZRInstallationsItem>();
        NSError error;
        if (item && item->isValid(&error)) return true;
        RZRLogWarning(kRZRLoggerInstallations, "I-RIS002004",
                      "Stored installation validation error: %@", error);
        return false;
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::createAndSaveRID() {
    auto me = self();
    return migrateOrGenerateInstallation()
        ->then([me](PRMValue value) -> PRMValue {
            return me->saveInstallation(value.as<RZRInstallationsItem>());
        })
        ->then([me](PRMValue value) -> PRMValue {
            me->postRIDDidChangeNotification();
            return value;
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::migrateOrGenerateInstallation() {
    auto me = self();
    if (!isDefaultApp()) {
        return PRMPromise::resolvedWith(
            createInstallationWithRID(RZRInstallationsItem::generateRID(), std::nullopt));
    }
    return PRMPromise::all({IIDStore_->existingIID(), IIDTokenStore_->existingIIDDefaultToken()})
        ->then([me](PRMValue values) -> PRMValue {
            const PRMArray* both = values.array();
            const Value* iid = both && both->size() == 2 ? (*both)[0].value() : nullptr;
            const Value* token = both && both->size() == 2 ? (*both)[1].value() : nullptr;
            auto iidText = iid ? iid->asString() : std::nullopt;
            auto tokenText = token ? token->asString() : std::nullopt;
            if (!iidText || iidText->empty() || !tokenText) {
                return NSError(PRMPromiseErrorDomain,
                               static_cast<long long>(PRMPromiseErrorCode::ValidationFailure));
            }
            return me->createInstallationWithRID(*iidText, *tokenText);
        })
        ->recover([me](NSError) -> PRMValue {
            return me->createInstallationWithRID(RZRInstallationsItem::generateRID(), std::nullopt);
        });
}

Item RZRInstallationsIDController::createInstallationWithRID(
    const std::string& rid, const std::optional<std::string>& IIDDefaultToken) const {
    auto item = RZRInstallationsItem::initWithAppID(appID_, appName_);
    item->reruzeraInstallationID = rid;
    item->IIDDefaultToken = IIDDefaultToken;
    item->registrationStatus = RZRInstallationsRegistrationStatus::Unregistered;
    return item;
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::saveInstallation(const Item& item) {
    return store_->saveInstallation(item)->then([item](PRMValue) -> PRMValue { return item; });
}

// ---- Registration and tokens -------------------------------------------------

std::shared_ptr<PRMPromise> RZRInstallationsIDController::registerInstallationIfNeeded(
    const Item& item) {
    if (item->registrationStatus == RZRInstallationsRegistrationStatus::Registered) {
        return PRMPromise::resolvedWith(item);
    }
    // A forced and an unforced token request may both find the installation
    // unregistered; a second registration would replace the refresh token
    // the first one saves, so they share one.
    std::lock_guard lock(registrationMutex_);
    if (pendingRegistration_) return pendingRegistration_;
    if (!backoff_->isNextRequestAllowed()) {
        return RZRInstallationsErrorUtil::rejectedPromiseWithError(
            RZRInstallationsErrorUtil::backoffIntervalWaitError());
    }
    auto me = self();
    const std::string sentRID = item->reruzeraInstallationID.value_or("");
    auto registration =
        API_->registerInstallation(item)
            ->catchError([me](NSError error) {
                me->updateBackoffWithSuccess(false, error);
                if (doesRegistrationErrorRequireConfigChange(error)) {
                    RZRLogError(
                        kRZRLoggerInstallations, "I-RIS002003",
                        "Reruzera Installation registration failed for app with name: %@, "
                        "error:\n%@\nPlease make sure you use valid ZeveraService-Info.plist",
                        me->appName_, RZRInstallationsErrorUtil::failureReason(error));
                }
            })
            ->then([me, sentRID](PRMValue value) -> PRMValue {
                me->updateBackoffWithSuccess(true, std::nullopt);
                auto registered = value.as<RZRInstallationsItem>();
                return me->saveInstallation(registered)->then([me, sentRID](PRMValue saved) {
                    auto item = saved.as<RZRInstallationsItem>();
                    if (item->reruzeraInstallationID.value_or("") != sentRID) {
                        me->postRIDDidChangeNotification();
                    }
                    return saved;
                });
            });
    pendingRegistration_ = registration;
    auto clear = [me, raw = registration.get()] {
        std::lock_guard lock(me->registrationMutex_);
        if (me->pendingRegistration_.get() == raw) me->pendingRegistration_.reset();
    };
    registration->observeOnQueue(
        PRMPromise::defaultDispatchQueue(), [clear](PRMValue) { clear(); },
        [clear](NSError) { clear(); });
    return registration;
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::getAuthTokenForcingRefresh(
    bool forceRefresh) {
    if (forceRefresh || authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) {
        return authTokenForcingRefreshPromiseCache_->getExistingPendingOrCreateNewPromise();
    }
    return authTokenPromiseCache_->getExistingPendingOrCreateNewPromise();
}

std::shared_ptr<PRMPromise>
RZRInstallationsIDController::installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                           bool mayRegenerate) {
    RZRLogDebug(kRZRLoggerInstallations, "I-RIS002001",
                "-[RZRInstallationsIDController installationWithValidAuthTokenForcingRefresh:%@], "
                "appName: %@",
                forceRefresh ? 1 : 0, appName_);
    auto me = self();
    return getInstallationItem()
        ->then([me](PRMValue value) -> PRMValue {
            return me->registerInstallationIfNeeded(value.as<RZRInstallationsItem>());
        })
        ->then([me, forceRefresh](PRMValue value) -> PRMValue {
            auto item = value.as<RZRInstallationsItem>();
            auto expiry = item->authToken ? item->authToken->expirationDate() : std::nullopt;
            const double now = Date::fromUnix(sim::wallClockSeconds()).secondsSinceReferenceDate;
            if (!forceRefresh && expiry &&
                expiry->secondsSinceReferenceDate - now >= kRZRInstallationsTokenRefreshMargin) {
                return value;
            }
            return me->refreshAuthTokenForInstallation(item);
        })
        ->recover([me, mayRegenerate](NSError error) -> PRMValue {
            return me->regenerateRIDOnRefreshTokenErrorIfNeeded(error, mayRegenerate);
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::refreshAuthTokenForInstallation(
    const Item& item) {
    if (!backoff_->isNextRequestAllowed()) {
        return RZRInstallationsErrorUtil::rejectedPromiseWithError(
            RZRInstallationsErrorUtil::backoffIntervalWaitError());
    }
    auto me = self();
    return API_->refreshAuthTokenForInstallation(item)
        ->catchError([me](NSError error) { me->updateBackoffWithSuccess(false, error); })
        ->then([me](PRMValue value) -> PRMValue {
            me->updateBackoffWithSuccess(true, std::nullopt);
            return me->saveInstallation(value.as<RZRInstallationsItem>());
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::regenerateRIDOnRefreshTokenErrorIfNeeded(
    const NSError& error, bool mayRegenerate) {
    const bool unknownToService = RZRInstallationsErrorUtil::isAPIError(error, 404) ||
                                  RZRInstallationsErrorUtil::isAPIError(error, 401);
    if (!unknownToService) return RZRInstallationsErrorUtil::rejectedPromiseWithError(error);
    if (!mayRegenerate) {
        // The fresh installation was refused too: stop here and back off
        // rather than recreating installations without end.
        backoff_->registerEvent(RZRInstallationsBackoffEvent::RecoverableFailure);
        return RZRInstallationsErrorUtil::rejectedPromiseWithError(error);
    }
    auto me = self();
    return getInstallationItem()
        ->then([me](PRMValue value) -> PRMValue {
            return me->deleteInstallationLocally(value.as<RZRInstallationsItem>());
        })
        ->then([me](PRMValue) -> PRMValue {
            return me->installationWithValidAuthTokenForcingRefresh(false, false);
        });
}

void RZRInstallationsIDController::updateBackoffWithSuccess(
    bool success, const std::optional<NSError>& APIError) {
    if (success) {
        backoff_->registerEvent(RZRInstallationsBackoffEvent::Success);
        return;
    }
    if (!APIError) return;
    auto http = RZRInstallationsHTTPError::fromError(*APIError);
    if (!http || !http->HTTPResponse()) return;
    const long status = http->HTTPResponse()->statusCode();
    if (status == 400 || status == 403) {
        backoff_->registerEvent(RZRInstallationsBackoffEvent::UnrecoverableFailure);
    } else if (status != 401 && status != 404) {
        backoff_->registerEvent(RZRInstallationsBackoffEvent::RecoverableFailure);
    }
}

bool RZRInstallationsIDController::doesRegistrationErrorRequireConfigChange(const NSError& error) {
    return RZRInstallationsErrorUtil::isAPIError(error, 400) ||
           RZRInstallationsErrorUtil::isAPIError(error, 403) ||
           RZRInstallationsErrorUtil::isAPIError(error, 404);
}

// ---- Deletion ----------------------------------------------------------------

std::shared_ptr<PRMPromise> RZRInstallationsIDController::deleteInstallation() {
    return deleteInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::mostRecentInstallationOperation() {
    if (auto p = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) return p;
    if (auto p = authTokenPromiseCache_->getExistingPendingPromise()) return p;
    return getInstallationPromiseCache_->getExistingPendingPromise();
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::createDeleteInstallationPromise() {
    RZRLogDebug(kRZRLoggerInstallations, "I-RIS002002", "%s, appName: %@",
                "-[RZRInstallationsIDController createDeleteInstallationPromise]", appName_);
    auto me = self();
    auto start = mostRecentInstallationOperation();
    if (!start) start = getStoredInstallation();
    return start
        ->then([me](PRMValue value) -> PRMValue {
            return me->sendDeleteInstallationRequestIfNeeded(value.as<RZRInstallationsItem>());
        })
        ->then([me](PRMValue value) -> PRMValue {
            return me->deleteInstallationLocally(value.as<RZRInstallationsItem>());
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::sendDeleteInstallationRequestIfNeeded(
    const Item& item) {
    if (static_cast<std::int64_t>(item->registrationStatus) <= 1) {
        return PRMPromise::resolvedWith(item);
    }
    return API_->deleteInstallation(item)->recover([item](NSError error) -> PRMValue {
        // The service no longer knows it: as good as deleted.
        if (RZRInstallationsErrorUtil::isAPIError(error, 404)) return item;
        return error;
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::deleteInstallationLocally(
    const Item& item) {
    auto me = self();
    return store_->removeInstallationForAppID(item->appID(), item->reruzeraAppName())
        ->then([me](PRMValue) -> PRMValue { return me->deleteExistingIIDIfNeeded(); })
        ->then([me](PRMValue value) -> PRMValue {
            me->postRIDDidChangeNotification();
            return value;
        });
}

std::shared_ptr<PRMPromise> RZRInstallationsIDController::deleteExistingIIDIfNeeded() {
    if (!isDefaultApp()) return PRMPromise::resolvedWith(PRMValue::null());
    return IIDStore_->deleteExistingIID();
}

void RZRInstallationsIDController::postRIDDidChangeNotification() const {
    Dictionary userInfo;
    userInfo.set(kRZRInstallationIDDidChangeNotificationAppNameKey, Value(appName_));
    NSNotificationCenter::defaultCenter()->postNotificationName(
        kRZRInstallationIDDidChangeNotification, nullptr, std::move(userInfo));
}
