#include "services/core/RZRInstallationsIDController.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/tests/RZRInstallationsTestSupport.h"

void writeLegacyMarker(bool withFlag);
void addLegacyKey(const char* prefix, const Data& keyData);
void addLegacyToken(const std::string& senderID, const std::string& token);

namespace {

using Backend = sim::InstallationsBackend;
using Item = std::shared_ptr<RZRInstallationsItem>;

class RZRInstallationsIDControllerTest : public InstallationsTest {
  protected:
    void SetUp() override {
        InstallationsTest::SetUp();
        observer_ = NSNotificationCenter::defaultCenter()->addObserverForName(
            kRZRInstallationIDDidChangeNotification, nullptr, nullptr,
            [this](const NSNotification& n) {
                ++notifications_;
                lastAppName_ = n.userInfo[kRZRInstallationIDDidChangeNotificationAppNameKey]
                                   .asString()
                                   .value_or("");
            });
    }
    void TearDown() override {
        InstallationsTest::TearDown();
        NSNotificationCenter::defaultCenter()->removeObserver(observer_);
    }
    Item token(const std::shared_ptr<RZRInstallationsIDController>& c, bool force,
               std::optional<NSError>* error = nullptr) {
        return await(c->getAuthTokenForcingRefresh(force), error).as<RZRInstallationsItem>();
    }
    std::size_t count(const char* endpoint) {
        return backend_->requests(Backend::kName, endpoint).size();
    }

    std::shared_ptr<NSNotificationObserver> observer_;
    int notifications_ = 0;
    std::string lastAppName_;
};

TEST_F(RZRInstallationsIDControllerTest,
       AFreshDeviceGetsAnIdentifierAtOnceAndRegistersInTheBackground) {
    auto controller = makeController();
    auto first = controller->getInstallationItem();
    EXPECT_EQ(controller->getInstallationItem(), first) << "concurrent callers share one run";
    Item item = await(first).as<RZRInstallationsItem>();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->registrationStatus, RZRInstallationsRegistrationStatus::Unregistered);
    EXPECT_EQ(item->reruzeraInstallationID->size(), 22u);
    EXPECT_EQ(notifications_, 1);
    EXPECT_EQ(lastAppName_, kDefaultApp);

    settle();
    auto registered = storedItem();
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->registrationStatus, RZRInstallationsRegistrationStatus::Registered);
    EXPECT_EQ(registered->reruzeraInstallationID, item->reruzeraInstallationID);
    EXPECT_EQ(count(Backend::kCreate), 1u);
    EXPECT_EQ(count(Backend::kGenerateAuthToken), 0u);

    // A second controller (the next launch) reuses it without any request.
    auto next = makeController();
    EXPECT_EQ(await(next->getInstallationItem()).as<RZRInstallationsItem>()->reruzeraInstallationID,
              item->reruzeraInstallationID);
    auto withToken = token(next, false);
    ASSERT_TRUE(withToken);
    EXPECT_EQ(withToken->authToken->token(), registered->authToken->token());
    settle();
    EXPECT_EQ(backend_->requestCount(), 1u);
}

TEST_F(RZRInstallationsIDControllerTest, ConcurrentTokenCallersShareOneRegistration) {
    service_->assignNextIdentifier("cAssignedByTheService1");
    auto controller = makeController("secondary");
    auto a = controller->getAuthTokenForcingRefresh(false);
    auto b = controller->getAuthTokenForcingRefresh(false);
    EXPECT_EQ(a, b);
    auto forced = controller->getAuthTokenForcingRefresh(true);
    EXPECT_NE(forced, a) << "a forced request starts its own run";
    EXPECT_EQ(controller->getAuthTokenForcingRefresh(false), forced)
        << "an unforced request joins a forced one";
    Item item = await(a).as<RZRInstallationsItem>();
    ASSERT_TRUE(item);
    await(forced);
    settle();
    EXPECT_EQ(count(Backend::kCreate), 1u);
    // The service chose another identifier: kept, and announced.
    EXPECT_EQ(item->reruzeraInstallationID, "cAssignedByTheService1");
    EXPECT_EQ(storedItem("secondary")->reruzeraInstallationID, "cAssignedByTheService1");
    EXPECT_EQ(notifications_, 2);
    EXPECT_EQ(lastAppName_, "secondary");
}

TEST_F(RZRInstallationsIDControllerTest, TokensAreRefreshedAnHourBeforeTheyExpire) {
    service_->setTokenLifetime(7200);
    auto controller = makeController();
    Item registered = token(controller, false);
    ASSERT_TRUE(registered);
    EXPECT_EQ(count(Backend::kGenerateAuthToken), 0u);

    sim::advanceAndRun(sim::seconds(3600));  // exactly 3600 s left
    EXPECT_EQ(token(controller, false)->authToken->token(), registered->authToken->token());
    EXPECT_EQ(count(Backend::kGenerateAuthToken), 0u);

    sim::advanceAndRun(sim::seconds(1));  // 3599 s left
    Item refreshed = token(controller, false);
    EXPECT_NE(refreshed->authToken->token(), registered->authToken->token());
    EXPECT_EQ(count(Backend::kGenerateAuthToken), 1u);
    EXPECT_EQ(storedItem()->authToken->token(), refreshed->authToken->token());

    token(controller, true);
    EXPECT_EQ(count(Backend::kGenerateAuthToken), 2u);
}

TEST_F(RZRInstallationsIDControllerTest, AnInstallationTheServiceForgotIsRecreatedOnce) {
    auto controller = makeController();
    Item registered = token(controller, false);
    ASSERT_TRUE(registered);
    const int before = notifications_;

    service_->forget(kTestProject, *registered->reruzeraInstallationID);  // 404 from now on
    std::optional<NSError> error;
    Item fresh = token(controller, true, &error);
    ASSERT_TRUE(fresh) << (error ? error->description() : "");
    EXPECT_NE(fresh->reruzeraInstallationID, registered->reruzeraInstallationID);
    EXPECT_TRUE(service_->installation(kTestProject, *fresh->reruzeraInstallationID));
    EXPECT_EQ(storedItem()->reruzeraInstallationID, fresh->reruzeraInstallationID);
    EXPECT_GE(notifications_, before + 2) << "deleted, then created";

    // A service that refuses every new installation as well: one recreation,
    // then the request fails and later ones back off.
    backend_->setDefault(Backend::kName, Backend::kGenerateAuthToken,
                         sim::BackendScript::withStatus(401));
    backend_->setDefault(Backend::kName, Backend::kCreate, sim::BackendScript::withStatus(404));
    backend_->clearRequests();
    token(controller, true, &error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(RZRInstallationsErrorUtil::isAPIError(*error, 404));
    settle();
    EXPECT_EQ(count(Backend::kGenerateAuthToken), 1u);
    EXPECT_EQ(count(Backend::kCreate), 1u);
    token(controller, false, &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 2) << error->description();
    settle();
    EXPECT_EQ(backend_->requestCount(), 2u);
}

TEST_F(RZRInstallationsIDControllerTest, PermanentRefusalsShutRequestsOffForADay) {
    backend_->setDefault(Backend::kName, Backend::kCreate, sim::BackendScript::withStatus(400));
    auto controller = makeController();
    std::optional<NSError> error;
    token(controller, false, &error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(RZRInstallationsErrorUtil::isAPIError(*error, 400));
    settle();
    EXPECT_EQ(count(Backend::kCreate), 1u);

    sim::advanceAndRun(sim::seconds(86399));
    token(controller, false, &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 2);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(*error), "Too many server requests.");
    EXPECT_EQ(count(Backend::kCreate), 1u);

    backend_->clearScripts();
    sim::advanceAndRun(sim::seconds(1));
    EXPECT_TRUE(token(controller, false, &error)) << (error ? error->description() : "");
    EXPECT_EQ(count(Backend::kCreate), 2u);
}

TEST_F(RZRInstallationsIDControllerTest, AKeychainReadFailureDoesNotReplaceTheInstallation) {
    auto controller = makeController();
    Item registered = token(controller, false);
    ASSERT_TRUE(registered);
    settle();

    auto later = makeController();  // a new process: nothing cached
    sim::Keychain::failNext(sim::Keychain::Operation::CopyMatching, errSecInteractionNotAllowed);
    std::optional<NSError> error;
    await(later->getInstallationItem(), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(storedItem()->reruzeraInstallationID, registered->reruzeraInstallationID);
    Item again = await(later->getInstallationItem(), &error).as<RZRInstallationsItem>();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->reruzeraInstallationID, registered->reruzeraInstallationID);
    settle();
    EXPECT_EQ(count(Backend::kCreate), 1u);
}

TEST_F(RZRInstallationsIDControllerTest, TheDefaultAppCarriesTheLegacyIdentifierAndTokenOver) {
    writeLegacyMarker(true);
    addLegacyKey(RZRInstallationsIIDStore::kPublicKeyTagPrefix, {0x01, 0x02, 0x03});
    addLegacyToken("12345", "legacy-token");
    const std::string legacy = RZRInstallationsIIDStore::IIDWithPublicKeyData({0x01, 0x02, 0x03});

    auto other = makeController("secondary");
    Item otherItem = await(other->getInstallationItem()).as<RZRInstallationsItem>();
    EXPECT_NE(otherItem->reruzeraInstallationID, legacy) << "only the default app migrates";

    auto controller = makeController();
    Item item = token(controller, false);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->reruzeraInstallationID, legacy);
    auto atService = service_->installation(kTestProject, legacy);
    ASSERT_TRUE(atService);
    EXPECT_EQ(atService->migrationAuth, "legacy-token");
    EXPECT_TRUE(RZRInstallationsIIDStore::hasPlistIIDFlag()) << "registration keeps it";

    std::optional<NSError> error;
    await(controller->deleteInstallation(), &error);
    EXPECT_FALSE(error);
    EXPECT_FALSE(RZRInstallationsIIDStore::hasPlistIIDFlag());
    EXPECT_FALSE(service_->installation(kTestProject, legacy));
}

TEST_F(RZRInstallationsIDControllerTest, DeletionSendsARequestOnlyForRegisteredInstallations) {
    std::optional<NSError> error;
    auto controller = makeController("secondary");
    await(controller->deleteInstallation(), &error);
    ASSERT_TRUE(error) << "nothing stored";
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(*error),
              std::string("Installation for appID ") + kTestAppID + " appName secondary not found");

    // Unregistered: no request.
    backend_->setDefault(Backend::kName, Backend::kCreate, sim::BackendScript::withStatus(503));
    Item unregistered = await(controller->getInstallationItem()).as<RZRInstallationsItem>();
    settle();
    backend_->clearScripts();
    backend_->clearRequests();
    await(controller->deleteInstallation(), &error);
    EXPECT_FALSE(error);
    EXPECT_EQ(backend_->requestCount(), 0u);

    // Registered, and the service answers 404: still removed locally.
    sim::advanceAndRun(sim::seconds(10));  // past the backoff of the 503
    Item registered = token(controller, false, &error);
    ASSERT_TRUE(registered) << (error ? error->description() : "");
    EXPECT_NE(registered->reruzeraInstallationID, unregistered->reruzeraInstallationID);
    service_->forget(kTestProject, *registered->reruzeraInstallationID);
    await(controller->deleteInstallation(), &error);
    EXPECT_FALSE(error);
    EXPECT_EQ(count(Backend::kDelete), 1u);
    EXPECT_FALSE(storedItem("secondary"));

    // Another failure keeps the record.
    Item third = token(controller, false, &error);
    ASSERT_TRUE(third);
    backend_->enqueue(Backend::kName, Backend::kDelete, sim::BackendScript::withStatus(503));
    await(controller->deleteInstallation(), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(storedItem("secondary")->reruzeraInstallationID, third->reruzeraInstallationID);
}

}  // namespace
