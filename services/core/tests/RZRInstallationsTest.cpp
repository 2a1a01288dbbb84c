#include "services/core/RZRInstallations.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/VUVEzu.h"
#include "services/core/VUVEzuTesting.h"
#include "services/core/tests/RZRInstallationsTestSupport.h"

namespace {

std::shared_ptr<RZROptions> options(std::optional<std::string> key,
                                    std::optional<std::string> project = kTestProject) {
    Dictionary d;
    if (key) d.set("API_KEY", Value(*key));
    if (project) d.set("PROJECT_ID", Value(*project));
    d.set("ZEVERA_APP_ID", Value(kTestAppID));
    d.set("ZCM_SENDER_ID", Value("12345"));
    return std::make_shared<RZROptions>(d);
}

std::string raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), "com.reruzera.installations");
        return e.reason();
    }
    return "";
}

TEST(RZRInstallationsValidationTest, InvalidOptionsRaiseWithEveryProblemNamed) {
    const std::string prefix =
        "[Reruzera/Installations][I-RIS008000] Could not configure Reruzera Installations due to "
        "invalid ReruzeraApp options. ";
    struct Case {
        std::optional<std::string> key;
        std::optional<std::string> project;
        std::string expected;  // the part after the prefix, up to ". If you use"
    };
    const Case cases[] = {
        {"", "",
         "The following parameters are nil or empty: `ReruzeraOptions.APIKey`, "
         "`ReruzeraOptions.projectID`"},
        {"B" + std::string(38, 'x'), kTestProject,
         "`ReruzeraOptions.APIKey` doesn't match the expected format: API Key must start with `A`"},
        {"A" + std::string(38, 'x') + "+", kTestProject,
         "`ReruzeraOptions.APIKey` doesn't match the expected format: API Key length must be 39 "
         "characters, API Key must contain only base64 url-safe characters characters"},
        {"A" + std::string(36, 'x') + "\xC3\xA9_", kTestProject, ""},  // letters of any script
    };
    for (const Case& c : cases) {
        std::string reason =
            raised([&] { RZRInstallations::initWitAppOptions(*options(c.key, c.project), "app"); });
        if (c.expected.empty()) {
            EXPECT_EQ(reason, "");
        } else {
            EXPECT_EQ(reason.substr(0, prefix.size() + c.expected.size()), prefix + c.expected);
        }
    }
    EXPECT_NE(raised([] {
                  RZRInstallations::initWitAppOptions(*options(kTestAPIKey), "");
              }).find("`ReruzeraApp.name`"),
              std::string::npos);
}

class RZRInstallationsTest : public InstallationsTest {
  protected:
    void SetUp() override {
        InstallationsTest::SetUp();
        sim::resetCoreForTesting();
        sim::setServiceLibrariesForTesting(std::nullopt);
    }
    void TearDown() override {
        InstallationsTest::TearDown();
        sim::resetCoreForTesting();
    }
};

TEST_F(RZRInstallationsTest, TheDefaultAppHasOneEagerInstanceThatAnswersOnTheMainThread) {
    EXPECT_NE(raised([] { RZRInstallations::installations(); }).find("must be configured"),
              std::string::npos);
    RZRInstallations::registerLibrary();
    VUVEzu::configureWithOptions(options(kTestAPIKey));
    auto installations = RZRInstallations::installations();
    ASSERT_TRUE(installations);
    EXPECT_EQ(RZRInstallations::installationsWithApp(VUVEzu::defaultApp()), installations);
    EXPECT_EQ(installations->appName(), kDefaultApp);

    std::optional<std::string> identifier;
    bool onMain = false;
    int calls = 0;
    installations->installationIDWithCompletion(
        [&](std::optional<std::string> id, std::optional<NSError> error) {
            EXPECT_FALSE(error);
            identifier = id;
            onMain = NSThread::isMainThread();
            ++calls;
        });
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return calls > 0; }, std::chrono::seconds(30)));
    EXPECT_TRUE(onMain);
    ASSERT_TRUE(identifier);

    std::shared_ptr<RZRInstallationsAuthTokenResult> result;
    installations->authTokenWithCompletion([&](auto token, std::optional<NSError> error) {
        EXPECT_FALSE(error);
        result = token;
        ++calls;
    });
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return calls > 1; }, std::chrono::seconds(30)));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->authToken(), service_->installation(kTestProject, *identifier)->authToken);

    std::optional<NSError> deleteError{NSError("none", 0)};
    installations->deleteWithCompletion([&](std::optional<NSError> error) {
        deleteError = error;
        ++calls;
    });
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return calls > 2; }, std::chrono::seconds(30)));
    EXPECT_FALSE(deleteError);
    EXPECT_EQ(service_->installationCount(), 0u);

    std::optional<std::string> next;
    installations->installationIDWithCompletion([&](auto id, auto) {
        next = id;
        ++calls;
    });
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return calls > 3; }, std::chrono::seconds(30)));
    EXPECT_NE(next, identifier);

    // Foreign errors reach callers wrapped in the service's domain.
    NSError url("NSURLErrorDomain", -1004, {{"NSLocalizedDescription", Value("down")}});
    NSError wrapped = RZRInstallationsErrorUtil::publicDomainErrorWithError(url);
    EXPECT_EQ(wrapped.domain, "com.reruzera.installations");
    EXPECT_EQ(wrapped.code, 0);
    EXPECT_EQ(RZRInstallationsErrorUtil::failureReason(wrapped), "Underlying error: down");
    EXPECT_EQ(RZRInstallationsErrorUtil::underlyingError(wrapped), url);
}

}  // namespace
