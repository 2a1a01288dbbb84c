#include <gtest/gtest.h>
#include <future>

#include "platform/log/Log.h"
#include "services/core/RZRComponentContainer.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/remoteconfig/RCNConfigContent.h"
#include "services/remoteconfig/RZRExperimentController.h"
#include "services/remoteconfig/tests/LogLines.h"
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
    VerboseServiceLog verbose;
    sim::LogCapture capture;
    EXPECT_EQ(activate(*config), std::make_pair(false, std::optional<NSError>()));
    EXPECT_TRUE(
        loggedCount(capture, "[I-RCN000069] Most recently fetched config is already activated."));
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

std::shared_ptr<DIROdadevOvered> instantConfig() {
    auto config = DIROdadevOvered::remoteConfig();
    auto settings = std::make_shared<DIROdadevOveredSettings>();
    settings->setMinimumFetchInterval(0);
    config->setConfigSettings(settings);
    return config;
}

TEST_F(RemoteConfigInterfaceTest, TheFirstActivationReportsAChangeAndTheNextNone) {
    auto config = instantConfig();
    service().setValue(kRCProject, "reruzera", "bezelTime", "3");
    sim::advanceClock(sim::seconds(1));
    std::optional<DIROdadevOveredFetchStatus> fetched;
    config->fetchWithCompletionHandler(
        [&](DIROdadevOveredFetchStatus status, std::optional<NSError>) { fetched = status; });
    ASSERT_TRUE(pumpUntil([&] { return fetched.has_value(); }));
    ASSERT_EQ(*fetched, DIROdadevOveredFetchStatus::Success);
    EXPECT_EQ(config->configValueForKey("bezelTime")->source(), DIROdadevOveredSource::Static);
    EXPECT_EQ(activate(*config), std::make_pair(true, std::optional<NSError>()));
    EXPECT_EQ(config->configValueForKey("bezelTime")->stringValue(), "3");
    EXPECT_EQ(activate(*config), std::make_pair(false, std::optional<NSError>()));
}

TEST_F(RemoteConfigInterfaceTest, AWronglyShapedAnswerFailsAndLeavesTheActiveValues) {
    auto config = instantConfig();
    service().setValue(kRCProject, "reruzera", "bezelTime", "3");
    ASSERT_EQ(fetchAndActivate(*config).first, Status::SuccessFetchedFromRemote);
    const char* bodies[] = {
        R"({"state": "UPDATE", "entries": "bezelTime=4"})",
        R"({"state": "UPDATE", "entries": ["bezelTime", "4"]})",
        R"({"state": "UPDATE", "entries": {"bezelTime": 4}})",
        R"({"state": "UPDATE", "entries": {"bezelTime": "4", "other": {"a": "b"}}})",
        R"({"state": "UPDATE", "entries": {"bezelTime": null}})",
    };
    for (const char* body : bodies) {
        sim::BackendScript script;
        script.body = body;
        backend_.enqueue("remoteconfig", "fetch", script);
        auto [status, error] = fetchAndActivate(*config);
        EXPECT_EQ(status, Status::Error) << body;
        ASSERT_TRUE(error) << body;
        EXPECT_EQ(error->code, 8003) << body;
        EXPECT_EQ(config->lastFetchStatus(), DIROdadevOveredFetchStatus::Failure) << body;
        EXPECT_EQ(config->configValueForKey("bezelTime")->stringValue(), "3") << body;
        EXPECT_EQ(activate(*config).first, false) << body;
        EXPECT_EQ(config->allKeysFromSource(DIROdadevOveredSource::Remote),
                  std::vector<std::string>{"bezelTime"})
            << body;
    }
}

TEST_F(RemoteConfigInterfaceTest, ALargeConfigurationIsReadWhileTheDatabaseIsBusy) {
    auto config = instantConfig();
    constexpr int kKeys = 5000;
    for (int i = 0; i < kKeys; ++i)
        service().setValue(kRCProject, "reruzera", "key" + std::to_string(i), std::to_string(i));
    service().setPersonalization(kRCProject, "reruzera",
                                 R"({"key7": {"choiceId": "c7", "armIndex": 1}})");
    // The database takes nothing until the gate opens: fetch, activation and
    // lookups must not wait for it.
    auto db = RCNConfigDBManager::sharedInstance();
    db->waitForQueue();
    std::promise<void> gate;
    db->enqueueForTesting([opened = gate.get_future().share()] { opened.wait(); });
    EXPECT_EQ(fetchAndActivate(*config).first, Status::SuccessFetchedFromRemote);
    EXPECT_EQ(config->allKeysFromSource(DIROdadevOveredSource::Remote).size(),
              static_cast<std::size_t>(kKeys));
    EXPECT_EQ(config->configValueForKey("key4321")->stringValue(), "4321");
    gate.set_value();

    // Everything reached the file: a new process reads it back.
    DIROdadevOvered::waitForPendingWrites();
    auto reread = std::make_shared<RCNConfigContent>(db);
    ASSERT_TRUE(reread->initializationSuccessful());
    EXPECT_EQ(reread->keys(RCNDBSource::Active, config->fullyQualifiedNamespace()).size(),
              static_cast<std::size_t>(kKeys));
    EXPECT_EQ(reread->valueForKey(RCNDBSource::Active, config->fullyQualifiedNamespace(), "key4999")
                  ->stringValue(),
              "4999");
    EXPECT_EQ(reread->activePersonalization()["key7"]["choiceId"], Value("c7"));
}

TEST(RemoteConfigWithoutTheComponent, TheDefaultAppIsAnsweredByTheStandaloneInstance) {
    TempHome home;
    sim::useVirtualClock();
    DIROdadevOvered::resetForTesting();
    sim::resetCoreForTesting();
    sim::setServiceLibrariesForTesting(std::vector<std::function<void()>>{});
    auto before = DIROdadevOvered::remoteConfig();  // not configured yet
    ASSERT_TRUE(before);
    VUVEzu::configureWithOptions(remoteConfigTestOptions());
    EXPECT_FALSE(DIROdadevOvered::remoteConfigWithApp(VUVEzu::defaultApp()));
    EXPECT_EQ(DIROdadevOvered::remoteConfig(), before);
    EXPECT_FALSE(DIROdadevOvered::remoteConfigWithRZRNamespace("other"));
    before->setDefaults(Dictionary{{"bezelTime", "2"}});
    EXPECT_EQ(DIROdadevOvered::remoteConfig()->configValueForKey("bezelTime")->stringValue(), "2");
    DIROdadevOvered::resetForTesting();
    sim::resetCoreForTesting();
    sim::setServiceLibrariesForTesting(std::nullopt);
    sim::useRealClock();
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

    // A/B testing comes with remote configuration: one controller per app.
    EXPECT_NE(VUVEzu::reruzeraUserAgent().find("rzr-abt/"), std::string::npos);
    auto controller = RZRExperimentController::sharedInstance();
    ASSERT_TRUE(controller);
    EXPECT_EQ(RZRExperimentController::sharedInstance(), controller);
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
