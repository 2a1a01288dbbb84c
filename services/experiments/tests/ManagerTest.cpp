#include <gtest/gtest.h>

#include "services/experiments/APMEManager.h"
#include "services/experiments/APMEMeasurementExperiments.h"
#include "services/experiments/tests/TaskManagerTestSupport.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"

namespace {

using Flag = sim::ExperimentsBackend::Flag;
using Experiment = sim::ExperimentsBackend::Experiment;

class ExperimentManagerTest : public TaskManagerFixture {
  protected:
    void SetUp() override {
        TaskManagerFixture::SetUp();
        launch();
    }
    void TearDown() override {
        if (manager_) manager_->queue()->sync([] {});
        manager_.reset();
        TaskManagerFixture::TearDown();
    }
    // A new process: task manager and manager over the same files.
    void launch() {
        if (taskManager_) {
            taskManager_->alarm()->cancel();
            drain();
        }
        makeTaskManager();
        manager_ = APMEManager::initWithTaskManager(taskManager_);
        taskManager_->startTaskManager();
        settle();
    }
    // Lets the worker queue and then the manager's queue run what they hold.
    void settle() {
        drain();
        manager_->queue()->sync([] {});
        drain();
    }
    std::shared_ptr<APMEClient> registerClient(const std::string& sdk, const Dictionary& defaults,
                                               std::optional<std::string> diversionKey = "key") {
        auto property = APMESDKProperty::initWithName(Value(sdk));
        property->diversionKey = diversionKey;
        auto client = manager_->registerSDKProperty(property, defaults);
        settle();
        return client;
    }
    // As if the server had just sent these snapshots.
    void receive(const std::vector<std::shared_ptr<APMESnapshot>>& snapshots,
                 const std::map<std::string, NSError>& errors = {}) {
        manager_->taskManagerDidFinishFetching(*taskManager_, snapshots, errors);
        settle();
    }

    std::shared_ptr<APMEManager> manager_;
};

TEST_F(ExperimentManagerTest, FlagsComeFromActivatedThenLaunchedThenDefaults) {
    auto client = registerClient("sdk", {{"a", 0}, {"b", 0}, {"c", 5}, {"d", "text"}});
    receive({testSnapshot("sdk", {{0, "a", 10}, {0, "unregistered", 1}}),
             // Only the last snapshot per SDK stays pending.
             testSnapshot("sdk", {{0, "a", 10}, {12, "b", 20}, {12, "unregistered", 1}})});
    ASSERT_TRUE(client->activateLatestSnapshot());
    // A second snapshot: experiment 12 now sets "a" too, launched flags stay.
    receive({testSnapshot("sdk", {{13, "a", 30}})});
    ASSERT_TRUE(client->activateLatestSnapshot());

    struct Case {
        const char* flag;
        Value expected;
    };
    const std::vector<Case> cases = {
        {"a", Value(30)},           // activated wins over launched
        {"b", Value(0)},            // its experiment is no longer in force: default
        {"c", Value(5)},            // default
        {"d", Value("text")},       // default of another type
        {"unregistered", Value()},  // carried by a snapshot, never registered
    };
    for (const auto& c : cases) {
        EXPECT_EQ(client->valueForFlag(c.flag), c.expected) << c.flag;
        EXPECT_EQ(client->objectForKeyedSubscript(Value(c.flag)), c.expected) << c.flag;
    }
    // The launched flag answers once the activated one is gone.
    client->resetToDefaults();
    settle();
    EXPECT_EQ(client->valueForFlag("a"), Value(10));
}

TEST_F(ExperimentManagerTest, RefusedLookupsAnswerNil) {
    auto client = registerClient("sdk", {{"a", 1}});
    struct Case {
        const char* label;
        Value flag;
        Value sdk;
        long long code;
    };
    const std::vector<Case> cases = {
        {"sdk not a string", Value("a"), Value(3), 800008},
        {"flag not a string", Value(3), Value("sdk"), 800009},
        {"empty sdk", Value("a"), Value(""), 800010},
        {"empty flag", Value(""), Value("sdk"), 800011},
        {"unregistered sdk", Value("a"), Value("other"), 800012},
        {"unregistered flag", Value("z"), Value("sdk"), 800014},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        APMEManager::monitor().clearLines();
        EXPECT_TRUE(manager_->flagValueForFlagName(c.flag, c.sdk).isNull());
        EXPECT_TRUE(monitorLogged(c.code));
    }
    EXPECT_TRUE(client->valueForFlag("").isNull());
    EXPECT_TRUE(client->objectForKeyedSubscript(Value(1)).isNull());
}

TEST_F(ExperimentManagerTest, RegistrationIsCheckedAndTheLastOneWins) {
    APMEManager::monitor().clearLines();
    EXPECT_EQ(manager_->registerSDKProperty(nullptr, {}), nullptr);
    EXPECT_TRUE(monitorLogged(800000));
    EXPECT_EQ(manager_->registerSDKProperty(APMESDKProperty::initWithName(Value("")), {}), nullptr);
    EXPECT_TRUE(monitorLogged(800001));
    Dictionary invalid{{"a", Value(Array{})}};
    EXPECT_EQ(manager_->registerSDKProperty(APMESDKProperty::initWithName(Value("s")), invalid),
              nullptr);
    EXPECT_TRUE(monitorLogged(800002));
    EXPECT_EQ(manager_->clientForSDKName("s"), nullptr);

    auto first = registerClient("s", {{"a", 1}});
    EXPECT_FALSE(monitorLogged(800003));
    auto second = registerClient("s", {{"b", 2}});
    EXPECT_TRUE(monitorLogged(800003));
    EXPECT_EQ(manager_->clientForSDKName("s"), second);
    EXPECT_TRUE(second->valueForFlag("a").isNull());
    EXPECT_EQ(second->valueForFlag("b"), Value(2));
}

TEST_F(ExperimentManagerTest, ActivationFollowsThePendingSnapshot) {
    auto client = registerClient("sdk", {{"a", 0}});
    NSError error;
    struct Case {
        const char* label;
        std::optional<std::string> sdk;
        long long errorCode;  // 0: none
        long long logCode;
    };
    const std::vector<Case> refusals = {
        {"nil name", std::nullopt, 1, 800021},
        {"empty name", std::string(""), 1, 800022},
        {"nothing pending", std::string("sdk"), 0, 800023},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.label);
        error = NSError();
        APMEManager::monitor().clearLines();
        EXPECT_FALSE(manager_->activateSnapshotOfSDK(c.sdk, &error));
        EXPECT_EQ(error.code, c.errorCode);
        EXPECT_TRUE(monitorLogged(c.logCode));
    }

    receive({testSnapshot("sdk", {{0, "a", 1}})});
    ASSERT_NE(manager_->pendingSnapshot("sdk"), nullptr);
    EXPECT_TRUE(manager_->activateSnapshotOfSDK(std::string("sdk"), &error));
    EXPECT_EQ(manager_->pendingSnapshot("sdk"), nullptr);
    EXPECT_EQ(experimentIDsOf(manager_->launchedSnapshot("sdk")), std::vector<long long>{0});
    ASSERT_NE(manager_->activatedSnapshot("sdk"), nullptr);
    EXPECT_TRUE(manager_->activatedSnapshot("sdk")->experiments().empty());
    // Right after: nothing pending any more, and no error.
    error = NSError();
    EXPECT_FALSE(client->activateLatestSnapshot(&error));
    EXPECT_TRUE(error.domain.empty());
}

// What is in force after an activation is what the next process loads.
TEST_F(ExperimentManagerTest, ActivatedStateSurvivesARestart) {
    struct Case {
        const char* label;
        std::vector<TestExperiment> earlier;  // activated before
        std::vector<TestExperiment> pending;
    };
    const std::vector<Case> cases = {
        {"launched only replaces earlier experiments", {{5, "a", 1}}, {{0, "a", 2}}},
        {"experiments and launched", {{5, "a", 1}}, {{0, "a", 2}, {6, "b", 3}}},
        {"experiment without flags", {{5, "a", 1}}, {{7, "", 0}, {8, "b", 4}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        manager_->reset();
        settle();
        auto client = registerClient("sdk", {{"a", 0}, {"b", 0}});
        receive({testSnapshot("sdk", c.earlier)});
        ASSERT_TRUE(client->activateLatestSnapshot());
        receive({testSnapshot("sdk", c.pending)});
        ASSERT_TRUE(client->activateLatestSnapshot());
        settle();
        const auto activatedBefore = experimentIDsOf(manager_->activatedSnapshot("sdk"));
        const auto launchedBefore = experimentIDsOf(manager_->launchedSnapshot("sdk"));
        const Value aBefore = client->valueForFlag("a");
        const Value bBefore = client->valueForFlag("b");

        launch();
        client = registerClient("sdk", {{"a", 0}, {"b", 0}});
        EXPECT_EQ(experimentIDsOf(manager_->activatedSnapshot("sdk")), activatedBefore);
        EXPECT_EQ(experimentIDsOf(manager_->launchedSnapshot("sdk")), launchedBefore);
        EXPECT_EQ(client->valueForFlag("a"), aBefore);
        EXPECT_EQ(client->valueForFlag("b"), bBefore);
    }
}

TEST_F(ExperimentManagerTest, StatusTellsFreshFromStale) {
    registerClient("sdk", {{"a", 0}});
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), APMEManager::kStatusNoSnapshot);
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("other"),
              APMEManager::kStatusUnregistered);
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName(""), APMEManager::kStatusUnregistered);
    receive({testSnapshot("sdk", {{4, "a", 1}})});
    ASSERT_TRUE(manager_->activateSnapshotOfSDK(std::string("sdk")));
    struct Step {
        double advance;
        int status;
    };
    const std::vector<Step> steps = {
        {0, APMEManager::kStatusFresh},
        {259200, APMEManager::kStatusFresh},  // exactly three days
        {1, APMEManager::kStatusStale},
    };
    for (const auto& s : steps) {
        sim::advanceClock(sim::seconds(s.advance));
        EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), s.status);
    }
    EXPECT_TRUE(manager_->clientForSDKName("sdk")->hasStaleSnapshot());
}

TEST_F(ExperimentManagerTest, LoadedSnapshotsKeepTheirAge) {
    auto client = registerClient("sdk", {{"a", 0}});
    receive({testSnapshot("sdk", {{4, "a", 1}})});
    ASSERT_TRUE(client->activateLatestSnapshot());
    settle();
    sim::advanceClock(sim::seconds(259200 - 10));
    launch();
    client = registerClient("sdk", {{"a", 0}});
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), APMEManager::kStatusFresh);
    sim::advanceClock(sim::seconds(11));
    EXPECT_TRUE(client->hasStaleSnapshot());
    // The next start drops it.
    launch();
    registerClient("sdk", {{"a", 0}});
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), APMEManager::kStatusNoSnapshot);
}

TEST_F(ExperimentManagerTest, ResetToDefaultsRemovesOnlyTheActivatedSnapshot) {
    auto client = registerClient("sdk", {{"a", 0}});
    receive({testSnapshot("sdk", {{4, "a", 1}, {0, "a", 2}})});
    ASSERT_TRUE(client->activateLatestSnapshot());
    receive({testSnapshot("sdk", {{5, "a", 3}})});
    client->resetToDefaults();
    settle();
    EXPECT_EQ(manager_->activatedSnapshot("sdk"), nullptr);
    EXPECT_NE(manager_->pendingSnapshot("sdk"), nullptr);
    EXPECT_EQ(client->valueForFlag("a"), Value(2));
    APMEManager::monitor().clearLines();
    manager_->resetToDefaultsOfSDKName("sdk");
    EXPECT_TRUE(monitorLogged(800026));
    // And on disk.
    launch();
    client = registerClient("sdk", {{"a", 0}});
    EXPECT_EQ(manager_->activatedSnapshot("sdk"), nullptr);
    EXPECT_EQ(client->valueForFlag("a"), Value(2));
}

TEST_F(ExperimentManagerTest, ExperimentIDsListActivatedExperimentsWithoutDiversionKeys) {
    auto measurement = registerClient("app_measurement", {{"a", 0}}, std::nullopt);
    auto other = registerClient("other", {{"a", 0}}, std::nullopt);
    auto diverted = registerClient("diverted", {{"a", 0}}, "key");
    receive({testSnapshot("app_measurement", {{30, "a", 1}, {0, "a", 1}, {4, "a", 1}}),
             testSnapshot("other", {{17, "a", 1}}), testSnapshot("diverted", {{99, "a", 1}})});
    for (const auto& c : {measurement, other, diverted}) ASSERT_TRUE(c->activateLatestSnapshot());
    EXPECT_EQ(manager_->experimentIDs(), (std::vector<std::int64_t>{4, 17, 30}));
}

TEST_F(ExperimentManagerTest, FetchingAsksTheClients) {
    EXPECT_FALSE(manager_->taskManagerShouldFetchExperiments(*taskManager_));
    struct Case {
        const char* label;
        std::vector<std::optional<bool>> answers;  // per client; nullopt: not implemented
        bool expected;
    };
    const std::vector<Case> cases = {
        {"one says no", {false}, false},
        {"all say no", {false, false}, false},
        {"one says yes", {false, true}, true},
        {"one does not say", {false, std::nullopt}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        launch();
        std::vector<std::shared_ptr<APMEClientDelegate>> delegates;
        for (std::size_t i = 0; i < c.answers.size(); ++i) {
            auto client = registerClient("sdk" + std::to_string(i), {{"a", 0}});
            auto delegate = std::make_shared<APMEClientDelegate>();
            if (c.answers[i]) {
                delegate->shouldFetchExperimentsForClient = [answer = *c.answers[i]](APMEClient&) {
                    return answer;
                };
            }
            client->setDelegate(delegate);
            delegates.push_back(delegate);
        }
        EXPECT_EQ(manager_->taskManagerShouldFetchExperiments(*taskManager_), c.expected);
    }
}

TEST_F(ExperimentManagerTest, ResetForgetsEverySnapshotButKeepsClients) {
    auto client = registerClient("sdk", {{"a", 0}});
    receive({testSnapshot("sdk", {{4, "a", 1}, {0, "a", 2}})});
    ASSERT_TRUE(client->activateLatestSnapshot());
    receive({testSnapshot("sdk", {{5, "a", 3}})});
    manager_->reset();
    settle();
    EXPECT_EQ(manager_->activatedSnapshot("sdk"), nullptr);
    EXPECT_EQ(manager_->pendingSnapshot("sdk"), nullptr);
    EXPECT_EQ(manager_->launchedSnapshot("sdk"), nullptr);
    EXPECT_EQ(manager_->clientForSDKName("sdk"), client);
    EXPECT_EQ(client->valueForFlag("a"), Value(0));
    launch();
    registerClient("sdk", {{"a", 0}});
    EXPECT_EQ(manager_->launchedSnapshot("sdk"), nullptr);
}

TEST_F(ExperimentManagerTest, AnEmptyFetchChangesNothing) {
    auto client = registerClient("sdk", {{"a", 0}});
    receive({testSnapshot("sdk", {{4, "a", 1}})});
    APMEManager::monitor().clearLines();
    receive({});
    EXPECT_TRUE(monitorLogged(800020));
    EXPECT_TRUE(client->activateLatestSnapshot());
    EXPECT_EQ(client->valueForFlag("a"), Value(1));
}

TEST_F(ExperimentManagerTest, VersionDropsTheLastThreeDigits) {
    EXPECT_EQ(APMEManager::version(), 10000);
    EXPECT_EQ(APMEManager::versionFromString("123"), 0);
    EXPECT_EQ(APMEManager::versionFromString("1234"), 1);
}

// The whole way, read as the engine reads it: the engine's configuration,
// made while the measurement experiments are installed, registers with the
// manager; the server assigns experiments, and the configuration's switches
// follow once the new snapshot is activated.
TEST_F(ExperimentManagerTest, EngineSwitchesFollowFetchedExperiments) {
    APMESDKProperty::setAppInstanceIDProvider(
        [] { return std::optional<std::string>("instance"); });
    APMRemoteConfig::setEngineEnabledCheck([] { return true; });
    auto database = APMDatabase::initWithDatabaseName("measurement.sql", nullptr);
    ASSERT_TRUE(database);
    APMRemoteConfig::setSharedExperimentsFactory(APMEMeasurementExperiments::factory(manager_));
    auto config = APMRemoteConfig::initWithAppID("1:1:ios:1", database.get());
    APMRemoteConfig::setSharedExperimentsFactory(nullptr);
    ASSERT_TRUE(config);
    settle();
    ASSERT_NE(manager_->clientForSDKName(APMRemoteConfig::kSDKName), nullptr);
    // Registered with default 0: the settings are not asked.
    EXPECT_FALSE(config->efficientEngagementReportingEnabled());
    EXPECT_FALSE(config->isNetworkBackgroundSessionEnabled());

    service().setSnapshot(
        APMRemoteConfig::kSDKName,
        {Experiment{21, {Flag{"efficient_engagement_reporting_enabled", std::int64_t{1}}}},
         Experiment{22, {Flag{"redundant_engagement_removal_enabled", std::string("true")}}},
         Experiment{23, {Flag{"non_blocking_app_instance_id_enabled", 0.5}}},
         Experiment{std::nullopt, {Flag{"network_background_session_enabled", true}}}});
    service().setError(APMRemoteConfig::kSDKName, 3);
    APMMeasurement::monitor().clearLines();
    // The configuration registered after the first timer was set: the timer
    // asks when it fires, so the first fetch still happens.
    fireAndWaitForAnswer();
    settle();
    EXPECT_TRUE(monitorLogged(29025));  // the server's error, told to the configuration
    auto pending = manager_->pendingSnapshot(APMRemoteConfig::kSDKName);
    ASSERT_NE(pending, nullptr);
    EXPECT_TRUE(pending->manuallyActivated());
    // Not in force before activation.
    EXPECT_FALSE(config->efficientEngagementReportingEnabled());

    // The notice of a new snapshot arrives on the main queue.
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return config->activateNewSnapshot(); },
                                        std::chrono::seconds(20)));
    EXPECT_FALSE(config->activateNewSnapshot());
    EXPECT_TRUE(config->efficientEngagementReportingEnabled());
    EXPECT_TRUE(config->redundantEngagementRemovalEnabled());  // a text flag
    EXPECT_TRUE(config->nonBlockingAppInstanceIDEnabled());    // a fractional flag
    EXPECT_TRUE(config->isNetworkBackgroundSessionEnabled());  // launched
    EXPECT_FALSE(config->persistentConfigInApplicationSupportEnabled());
    EXPECT_EQ(config->experimentIDs(), (std::vector<std::int64_t>{21, 22, 23}));
    EXPECT_EQ(APMEMeasurementExperiments::describe(manager_, *config),
              (std::vector<std::string>{
                  "pending experiments: no snapshot",
                  "active experiments: 21, 22, 23",
                  "launched flags: network_background_session_enabled",
                  "switch efficient_engagement_reporting_enabled: on",
                  "switch redundant_engagement_removal_enabled: on",
                  "switch non_blocking_app_instance_id_enabled: on",
                  "switch persistent_config_in_application_support_enabled: off",
                  "switch network_background_session_enabled: on",
              }));
    EXPECT_EQ(APMEMeasurementExperiments::describe(nullptr, *config).front(),
              "experiments client: not started");
    APMRemoteConfig::setEngineEnabledCheck(nullptr);
}

// A disabled engine wants no experiments: the fetch is put off.
TEST_F(ExperimentManagerTest, NoFetchWhileTheEngineIsDisabled) {
    auto database = APMDatabase::initWithDatabaseName("measurement.sql", nullptr);
    ASSERT_TRUE(database);
    auto config = APMRemoteConfig::initWithAppID("1:1:ios:1", database.get(),
                                                 APMEMeasurementExperiments::factory(manager_));
    settle();
    const double due = scheduled();
    sim::advanceClock(sim::seconds(due - sim::wallClockSeconds()) + std::chrono::milliseconds(1));
    ASSERT_TRUE(waitFor([&] { return scheduled() > due; }));
    EXPECT_EQ(fetches(), 0u);
}

// Experiment lines are the engine's: they reach its monitor and its debug
// switches.
TEST_F(ExperimentManagerTest, ExperimentLinesGoThroughTheEngineMonitor) {
    APMMeasurement::monitor().clearLines();
    EXPECT_TRUE(manager_->flagValueForFlagName(Value("a"), Value(3)).isNull());
    bool found = false;
    for (const auto& line : APMMeasurement::monitor().lines()) found |= line.messageCode == 800008;
    EXPECT_TRUE(found);
}

TEST_F(ExperimentManagerTest, PendingSnapshotsStoredManuallyActivatedAreNotActivatedAtStart) {
    auto delegate = std::make_shared<APMEClientDelegate>();
    int notices = 0;
    delegate->clientDidReceiveNewSnapshot = [&](APMEClient&) { ++notices; };
    auto manual = registerClient("manual", {{"a", 0}});
    manual->setDelegate(delegate);
    registerClient("automatic", {{"a", 0}});
    receive({testSnapshot("manual", {{1, "a", 1}}), testSnapshot("automatic", {{2, "a", 2}})});
    // The task manager stores fetched snapshots; here the manager's upsert
    // stands for both.
    taskManager_->upsertPendingSnapshots({testSnapshot("automatic", {{2, "a", 2}})});
    settle();
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(notices, 1);
    // The automatic one's client has no delegate to tell.
    EXPECT_TRUE(monitorLogged(800021));
    APMEManager::monitor().clearLines();
    launch();
    registerClient("manual", {{"a", 0}});
    registerClient("automatic", {{"a", 0}});
    EXPECT_NE(manager_->pendingSnapshot("manual"), nullptr);
    EXPECT_EQ(manager_->activatedSnapshot("manual"), nullptr);
    EXPECT_EQ(experimentIDsOf(manager_->activatedSnapshot("automatic")), std::vector<long long>{2});
}

}  // namespace
