#include "services/core/RZRInstallationsAPIService.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/log/Log.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/RZRLogger.h"
#include "services/core/tests/RZRInstallationsTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

using Backend = sim::InstallationsBackend;

class RZRInstallationsAPIServiceTest : public InstallationsTest {
  protected:
    std::shared_ptr<RZRInstallationsItem> unregistered(
        std::optional<std::string> legacyToken = {}) {
        auto item = RZRInstallationsItem::initWithAppID(kTestAppID, kDefaultApp);
        item->reruzeraInstallationID = RZRInstallationsItem::generateRID();
        item->registrationStatus = RZRInstallationsRegistrationStatus::Unregistered;
        item->IIDDefaultToken = legacyToken;
        return item;
    }
    std::shared_ptr<RZRInstallationsAPIService> api_ =
        RZRInstallationsAPIService::initWithAPIKey(kTestAPIKey, kTestProject);
};

TEST_F(RZRInstallationsAPIServiceTest, CreateRefreshAndDeleteSpeakTheServiceFormat) {
    auto item = unregistered("legacy-token");
    std::optional<NSError> error;
    auto registered = await(api_->registerInstallation(item), &error).as<RZRInstallationsItem>();
    ASSERT_TRUE(registered) << (error ? error->description() : "");
    auto stored = service_->installation(kTestProject, *item->reruzeraInstallationID);
    ASSERT_TRUE(stored);
    EXPECT_EQ(registered->refreshToken, stored->refreshToken);
    EXPECT_EQ(registered->authToken->token(), stored->authToken);
    EXPECT_EQ(registered->authToken->expirationDate()->unixSeconds(), stored->authTokenExpiry);
    EXPECT_EQ(stored->migrationAuth, "legacy-token");
    EXPECT_EQ(stored->appId, kTestAppID);
    EXPECT_EQ(stored->sdkVersion, "i:4.2.0");

    auto create = backend_->requests(Backend::kName, Backend::kCreate).at(0).request;
    EXPECT_EQ(create.header("X-Zevera-Api-Key"), kTestAPIKey);
    EXPECT_FALSE(create.header("Authorization"));
    EXPECT_EQ(create.header("Content-Type"), "application/json");
    EXPECT_TRUE(create.header("X-reruzera-client"));
    EXPECT_TRUE(create.header("X-reruzera-client-log-type"));
    EXPECT_EQ(create.header("X-Forwarded-Host"), "reruzerainstallations.zeveraapis.com");

    auto refreshed =
        await(api_->refreshAuthTokenForInstallation(registered), &error).as<RZRInstallationsItem>();
    ASSERT_TRUE(refreshed);
    EXPECT_NE(refreshed->authToken->token(), registered->authToken->token());
    EXPECT_EQ(refreshed->authToken->token(),
              service_->installation(kTestProject, *item->reruzeraInstallationID)->authToken);
    auto generate = backend_->requests(Backend::kName, Backend::kGenerateAuthToken).at(0).request;
    EXPECT_EQ(generate.header("Authorization"), "RIS_v2 " + *registered->refreshToken);
    EXPECT_EQ(nlohmann::json::parse(generate.body)["installation"]["sdkVersion"], "i:4.2.0");

    await(api_->deleteInstallation(refreshed), &error);
    EXPECT_FALSE(error);
    EXPECT_EQ(service_->installationCount(), 0u);
    EXPECT_EQ(backend_->requests(Backend::kName, Backend::kDelete).at(0).request.body, "{}");
}

TEST_F(RZRInstallationsAPIServiceTest,
       StatusesOutsideTwoHundredBecomeHTTPErrorsAndOnly500IsRetried) {
    struct Case {
        std::vector<int> script;
        std::size_t requests;
        long finalStatus;  // 0: success
    };
    const Case cases[] = {{{500}, 2, 0}, {{500, 500}, 2, 500}, {{503}, 1, 503}, {{404}, 1, 404}};
    for (const Case& c : cases) {
        backend_->reset();
        for (int status : c.script) {
            backend_->enqueue(Backend::kName, Backend::kCreate,
                              sim::BackendScript::withStatus(status));
        }
        std::optional<NSError> error;
        auto result = awaitAdvancing(api_->registerInstallation(unregistered()), &error);
        auto requests = backend_->requests(Backend::kName, Backend::kCreate);
        EXPECT_EQ(requests.size(), c.requests) << c.script.front();
        if (c.finalStatus == 0) {
            EXPECT_TRUE(result.as<RZRInstallationsItem>());
            ASSERT_EQ(requests.size(), 2u);
            // One second later on the virtual clock, which the wait moves in
            // quarter seconds: a longer or shorter retry fails.
            EXPECT_GE(requests[1].wallTime - requests[0].wallTime, 1.0);
            EXPECT_LE(requests[1].wallTime - requests[0].wallTime, 1.5);
        } else {
            ASSERT_TRUE(error);
            EXPECT_TRUE(RZRInstallationsErrorUtil::isAPIError(*error, c.finalStatus));
            auto http = RZRInstallationsHTTPError::fromError(*error);
            ASSERT_TRUE(http);
            EXPECT_NE(std::string(http->data().begin(), http->data().end()).find("\"error\""),
                      std::string::npos);
            EXPECT_NE(RZRInstallationsErrorUtil::failureReason(*error).find(
                          "HTTP status code: " + std::to_string(c.finalStatus)),
                      std::string::npos);
        }
    }
}

TEST_F(RZRInstallationsAPIServiceTest, DebugLinesNeverCarryKeysOrTokens) {
    sim::LogCapture capture;
    RZRSetLoggerLevel(ZVULoggerLevel::Debug);
    std::optional<NSError> error;
    auto item = unregistered("legacy-secret");
    auto registered = await(api_->registerInstallation(item), &error).as<RZRInstallationsItem>();
    ASSERT_TRUE(registered);
    auto refreshed =
        await(api_->refreshAuthTokenForInstallation(registered), &error).as<RZRInstallationsItem>();
    ASSERT_TRUE(refreshed);
    backend_->enqueue(Backend::kName, Backend::kDelete, sim::BackendScript::withStatus(503));
    await(api_->deleteInstallation(refreshed), &error);
    sim::flushZVULogger();
    RZRSetLoggerLevel(ZVULoggerLevel::Notice);

    EXPECT_TRUE(capture.containsSubstring("I-RIS001001"));
    EXPECT_TRUE(capture.containsSubstring("I-RIS001003"));
    EXPECT_TRUE(capture.containsSubstring("I-RIS001004"));
    for (const std::string& secret :
         {std::string(kTestAPIKey), std::string("legacy-secret"), *registered->refreshToken,
          *registered->authToken->token(), *refreshed->authToken->token()}) {
        EXPECT_FALSE(capture.containsSubstring(secret)) << secret;
    }
}

}  // namespace
