#include "services/core/RZRInstallationsStore.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/KeyedArchiver.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/RZRInstallationsSingleOperationPromiseCache.h"
#include "services/core/tests/RZRInstallationsTestSupport.h"
#include "services/util/ZVUUserDefaults.h"

namespace {

class RZRInstallationsStoreTest : public InstallationsTest {
  protected:
    std::shared_ptr<RZRInstallationsStore> store(std::optional<std::string> group = std::nullopt) {
        return RZRInstallationsStore::initWithSecureStorage(
            ZVUKeychainStorage::initWithService("com.reruzera.RZRInstallations.installations.test"),
            std::move(group));
    }
    std::shared_ptr<RZRInstallationsItem> item(const std::string& name) {
        auto i = RZRInstallationsItem::initWithAppID("app", name);
        i->reruzeraInstallationID = RZRInstallationsItem::generateRID();
        i->registrationStatus = RZRInstallationsRegistrationStatus::Unregistered;
        return i;
    }
};

TEST_F(RZRInstallationsStoreTest, RecordsNeedBothTheKeychainItemAndTheFlag) {
    auto s = store();
    auto a = item("one");
    auto b = item("two");
    std::optional<NSError> error;
    await(s->saveInstallation(a), &error);
    ASSERT_FALSE(error);
    await(s->saveInstallation(b), &error);
    EXPECT_EQ(await(s->installationForAppID("app", "one"))
                  .as<RZRInstallationsItem>()
                  ->reruzeraInstallationID,
              a->reruzeraInstallationID);
    EXPECT_EQ(await(s->installationForAppID("app", "two"))
                  .as<RZRInstallationsItem>()
                  ->reruzeraInstallationID,
              b->reruzeraInstallationID);
    EXPECT_TRUE(ZVUUserDefaults::initWithSuiteName("com.reruzera.RZRInstallations")
                    ->objectForKey(Value("appone")));

    // The flag gone (a new install of the program), the item left behind:
    // not returned, and the keychain is not read.
    s->userDefaults()->removeObjectForKey(Value("appone"));
    sim::Keychain::failNext(sim::Keychain::Operation::CopyMatching, errSecIO);
    auto fresh = store();
    await(fresh->installationForAppID("app", "one"), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(*error),
              "Installation for appID app appName one not found");
    sim::Keychain::clearFailures();

    // A failed write leaves the flag as it was.
    sim::Keychain::failNext(sim::Keychain::Operation::Update, errSecIO);
    sim::Keychain::failNext(sim::Keychain::Operation::Add, errSecIO);
    auto c = item("three");
    await(store()->saveInstallation(c), &error);
    ASSERT_TRUE(error);
    EXPECT_FALSE(s->userDefaults()->objectForKey(Value("appthree")));

    await(s->removeInstallationForAppID("app", "two"), &error);
    EXPECT_FALSE(error);
    await(store()->installationForAppID("app", "two"), &error);
    EXPECT_TRUE(error);

    // With an access group the flag lives in the group's suite.
    auto grouped = store("group.test");
    await(grouped->saveInstallation(item("four")), &error);
    EXPECT_TRUE(ZVUUserDefaults::initWithSuiteName("group.test")->objectForKey(Value("appfour")));
}

TEST_F(RZRInstallationsStoreTest, HTTPErrorsSurviveCopyingAndSecureCoding) {
    RZRInstallationsRegisterCodingClasses();
    auto url = NSURL::URLWithString("https://example.invalid/v1/x");
    auto response = std::make_shared<NSHTTPURLResponse>(*url, 404, NSHTTPHeaders{{"A", "b"}});
    auto error = RZRInstallationsErrorUtil::APIErrorWithHTTPResponse(response, Data{'{', '}'});
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(error),
              "The server responded with an error: \n - URL: https://example.invalid/v1/x \n - "
              "HTTP status code: 404 \n - Response body: {}");
    EXPECT_TRUE(RZRInstallationsErrorUtil::isAPIError(error, 404));
    EXPECT_FALSE(RZRInstallationsErrorUtil::isAPIError(NSError("other", 404), 404));
    EXPECT_EQ(RZRInstallationsErrorUtil::publicDomainErrorWithError(error), error);

    auto http = RZRInstallationsHTTPError::fromError(error);
    ASSERT_TRUE(http);
    auto copy = http->copy();
    EXPECT_EQ(copy->HTTPResponse()->statusCode(), 404);
    auto data = NSKeyedArchiver::archivedDataWithRootObject(Id(http), true);
    ASSERT_TRUE(data);
    auto decoded =
        NSKeyedUnarchiver::unarchivedObjectOfClass(RZRInstallationsHTTPError::kClassName, *data)
            .as<RZRInstallationsHTTPError>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->HTTPResponse()->statusCode(), 404);
    EXPECT_EQ(decoded->HTTPResponse()->URL().absoluteString(), "https://example.invalid/v1/x");
    EXPECT_EQ(decoded->data(), (Data{'{', '}'}));
    EXPECT_EQ(decoded->error(), error);

    auto bad = RZRInstallationsErrorUtil::APIErrorWithHTTPResponse(response, Data{0xFF, 0xFE});
    EXPECT_NE(RZRInstallationsErrorUtil::failureReason(bad).find("Response body: (null)"),
              std::string::npos);
}

TEST_F(RZRInstallationsStoreTest, TheOperationCacheMergesCallersUntilTheOperationSettles) {
    EXPECT_THROW(RZRInstallationsSingleOperationPromiseCache(nullptr), NSException);
    int started = 0;
    std::shared_ptr<PRMPromise> running;
    auto cache = std::make_shared<RZRInstallationsSingleOperationPromiseCache>([&] {
        ++started;
        running = PRMPromise::pendingPromise();
        return running;
    });
    auto first = cache->getExistingPendingOrCreateNewPromise();
    EXPECT_EQ(cache->getExistingPendingOrCreateNewPromise(), first);
    EXPECT_EQ(cache->getExistingPendingPromise(), first);
    EXPECT_EQ(started, 1);
    running->fulfill(PRMValue("done"));
    await(first);
    sim::MainLoop::runUntilIdle();
    EXPECT_FALSE(cache->getExistingPendingPromise());
    EXPECT_NE(cache->getExistingPendingOrCreateNewPromise(), first);
    EXPECT_EQ(started, 2);
    running->reject(NSError("x", 1));
    settle();
}

}  // namespace
