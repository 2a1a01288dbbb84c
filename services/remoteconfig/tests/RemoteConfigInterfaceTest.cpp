#include <gtest/gtest.h>
#include <future>

#include "platform/log/Log.h"
#include "services/core/RZRComponentContainer.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/remoteconfig/RCNConfigContent.h"
#include "services/remoteconfig/tests/RemoteConfigTestSupport.h"

namespace {

using Status = DIROdadevOveredFetchAndActivateStatus;

class RemoteConfigInterfaceTest : public BackendFixture {
  protected:
    std::pair<Status, std::optional<NSError>> fetchAndActivate(DIROdadevOvered& config) {
        sim::advanceClock(sim::seconds(1));
        std::optional<std::pair<Status, std::optional<NSError>>> outcome;
        config.fetchAndActivateWithCompletionHandler(
            [&](Status status, std::optional<NSError> error) { outcome.emplace(status, error); });
        EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(std::make_pair(Status::Error, std::nullopt));
    }
    std::pair<bool, std::optional<NSError>> activate(DIROdadevOvered& config) {
        std::promise<std::pair<bool, std::optional<NSError>>> done;
        config.activateWithCompletion([&](bool changed, std::optional<NSError> error) {
            done.set_value({changed, error});
        });
        return done.get_future().get();
    }
};

TEST_F(RemoteConfigInterfaceTest, ABackendValueReachesLookupsAfterFetchAndActivate) {
    auto config = DIROdadevOvered::remoteConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ(DIROdadevOvered::remoteConfigWithRZRNamespace("reruzera"), config);
    config->setConfigSettings([] {
        auto settings = std::make_shared<DIROdadevOveredSettings>();
        settings->setMinimumFetchInterval(0);
        return settings;
    }());
    config->setDefaults(Dictionary{{"muteToggleNotificationTime", 0.5}});
    EXPECT_EQ(config->configValueForKey("muteToggleNotificationTime")->numberValue(), 0.5);

    service().setValue(kRCProject, "reruzera", "muteToggleNotificationTime", "1.25");
    auto [status, error] = fetchAndActivate(*config);
    EXPECT_EQ(status, Status::SuccessFetchedFromRemote);
    EXPECT_FALSE(error);
    auto value = config->configValueForKey("muteToggleNotificationTime");
    EXPECT_EQ(value->numberValue(), 1.25);
    EXPECT_EQ(value->source(), DIROdadevOveredSource::Remote);
    EXPECT_EQ(config->lastFetchStatus(), DIROdadevOveredFetchStatus::Success);
    EXPECT_GT(config->lastFetchTime().unixSeconds(), 0);

    // Nothing new: activation reports no change; a fetch without news still
    // counts as fetched from the service.
    sim::LogCapture capture;
    EXPECT_EQ(activate(*config), std::make_pair(false, std::optional<NSError>()));
    EXPECT_TRUE(capture.containsSubstring(
        "[I-RCN000069] Most recently fetched config is already activated."));
    EXPECT_EQ(fetchAndActivate(*config).first, Status::SuccessFetchedFromRemote);

    service().setValue(kRCProject, "reruzera", "muteToggleNotificationTime", "2");
    EXPECT_EQ(fetchAndActivate(*config).first, Status::SuccessFetchedFromRemote);
    EXPECT_EQ(config->configValueForKey("muteToggleNotificationTime")->numberValue(), 2);
    EXPECT_EQ(config->keysWithPrefix("mute"),
              (std::set<std::string>{"muteToggleNotificationTime"}));

    // Reading the settings leaves a fetch on its way alone.
    // The answer is held back until the settings have been read.
    backend_.enqueue("remoteconfig", "fetch", sim::BackendScript::delayed(std::chrono::seconds(1)));
    sim::advanceClock(sim::seconds(1));
    std::optional<Status> slow;
    config->fetchAndActivateWithCompletionHandler(
        [&](Status s, std::optional<NSError>) { slow = s; });
    ASSERT_TRUE(pumpUntil([&] { return backend_.requestCount("remoteconfig") == 4; }));
    EXPECT_EQ(config->configSettings()->minimumFetchInterval(), 0);
    ASSERT_TRUE(pumpUntil([&] { return slow.has_value(); }));
    EXPECT_EQ(*slow, Status::SuccessFetchedFromRemote);
}

TEST_F(RemoteConfigInterfaceTest, ThrottledFetchReportsAnError) {
    auto config = DIROdadevOvered::remoteConfig();
    config->setConfigSettings(std::make_shared<DIROdadevOveredSettings>());
    auto zero = std::make_shared<DIROdadevOveredSettings>();
    zero->setMinimumFetchInterval(0);
    config->setConfigSettings(zero);
    ASSERT_EQ(fetchAndActivate(*config).first, Status::SuccessFetchedFromRemote);
    backend_.setDefault("remoteconfig", "fetch", sim::BackendScript::withStatus(429));
    auto [status, error] = fetchAndActivate(*config);
    EXPECT_EQ(status, Status::Error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 8002);
}

TEST_F(RemoteConfigInterfaceTest, InstancesPerAppAndRequiredOptions) {
    Dictionary options{
        {"API_KEY", kRCAPIKey}, {"PROJECT_ID", kRCProject}, {"ZEVERA_APP_ID", kRCAppID}};
    VUVEzu::configureWithName("second", std::make_shared<RZROptions>(options));
    auto second = VUVEzu::appNamed("second");
    ASSERT_TRUE(second);
    try {
        DIROdadevOvered::remoteConfigWithApp(second);
        ADD_FAILURE() << "no exception";
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), "com.reruzera.config");
        EXPECT_NE(e.reason().find("required ZCMSenderID property"), std::string::npos);
    }
    auto provider = RZRComponentType::instanceForProtocol<DIROdadevOveredProvider>(
        DIROdadevOveredProviderProtocol(), VUVEzu::defaultApp()->container());
    ASSERT_TRUE(provider);
    EXPECT_EQ(provider->remoteConfigForNamespace("reruzera"), DIROdadevOvered::remoteConfig());
    auto other = DIROdadevOvered::remoteConfigWithRZRNamespace("other");
    EXPECT_NE(other, DIROdadevOvered::remoteConfig());
    EXPECT_EQ(other->fullyQualifiedNamespace(), "other:__VUVEZU_DEFAULT");
    EXPECT_EQ(other->fullyQualifiedNamespace("x:y"), "x:y");
}

TEST_F(RemoteConfigInterfaceTest, EnsureInitializedReportsWhetherTheFirstLoadFinished) {
    // The content's database is busy until the gate opens; readers give up at
    // once.
    auto db = RCNConfigDBManager::managerWithPath((home_.path() / "held.sqlite3").string());
    std::promise<void> gate;
    db->enqueueForTesting([opened = gate.get_future().share()] { opened.wait(); });
    auto content = std::make_shared<RCNConfigContent>(db);
    content->setLoadTimeoutForTesting(sim::Duration::zero());
    auto config = std::make_shared<DIROdadevOvered>(
        VUVEzu::kDefaultAppName, "reruzera", remoteConfigTestOptions(), nullptr, nullptr, content);
    auto ensure = [&] {
        std::promise<std::optional<NSError>> done;
        config->ensureInitializedWithCompletionHandler(
            [&](std::optional<NSError> error) { done.set_value(error); });
        return done.get_future().get();
    };

    auto error = ensure();
    gate.set_value();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, RCNRemoteConfigErrorDomain);
    EXPECT_EQ(error->code, 8003);
    EXPECT_EQ(error->localizedDescription(), "Timed out waiting for database load.");

    content->setLoadTimeoutForTesting(std::chrono::seconds(30));
    EXPECT_EQ(ensure(), std::nullopt);
}

}  // namespace
