#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMAppMetadata.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPBCells.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:100000000001:ios:0000000000000000";

int count(long long code) {
    int n = 0;
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) ++n;
    return n;
}

bool logged(long long code) {
    return count(code) > 0;
}

// Records the deferred-collection values the engine writes (the
// first-open report clears the value again).
class RecordingFacade : public APMMeasurementFacade {
  public:
    void setDeferredAnalyticsCollection(const std::optional<Value>& value) override {
        if (value) written.push_back(value->asInt().value_or(-1));
        APMMeasurementFacade::setDeferredAnalyticsCollection(value);
    }
    std::vector<long long> written;
};

class EngineCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        facade_ = std::make_shared<APMMeasurementFacade>();
        APMMeasurement::setFacade(facade_);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        if (engine_) drain();
        engine_.reset();
        APMMeasurement::resetSharedInstanceForTesting();
        APMMeasurement::setFacade(nullptr);
        sim::useRealClock();
    }

    std::shared_ptr<APMMeasurement> make(
        bool enabled = true, bool deactivated = false,
        const std::string& databaseName = APMDatabase::kDefaultName) {
        auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
        auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
        engine_ = APMMeasurement::initWithDatabaseName(
            databaseName, APMPersistedConfig::sharedInstance(), scheduler, std::move(alarm), kAppID,
            enabled, deactivated, std::nullopt);
        return engine_;
    }
    // Blocks may schedule further blocks (a failed start schedules a
    // disable): wait a few rounds.
    void drain() {
        for (int round = 0; round < 3; ++round)
            engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {});
    }
    void onWorker(const std::function<void()>& block) {
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }

    MeasurementTempHome home_;
    std::shared_ptr<APMMeasurementFacade> facade_;
    std::shared_ptr<APMMeasurement> engine_;
};

TEST_F(EngineCoreTest, AnEmptyAppIDGivesNoEngineAndIsNotRetried) {
    APMMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
    EXPECT_FALSE(APMMeasurement::hasSharedInstance());
    EXPECT_TRUE(logged(23170));
    APMMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
    EXPECT_FALSE(APMMeasurement::hasSharedInstance());
    EXPECT_EQ(APMMeasurement::sharedInstance(), nullptr);
}

TEST_F(EngineCoreTest, TheStoredChoiceAndTheDeactivationDecideTheStart) {
    struct Case {
        int64_t stored;
        bool appSwitch;
        bool deactivated;
        bool enabled;
    };
    const Case cases[] = {
        {0, true, false, true},  {0, false, false, false}, {1, false, false, true},
        {2, true, false, false}, {1, true, true, false},   {3, false, false, false},
    };
    for (const Case& c : cases) {
        APMPersistedConfig::sharedInstance()->setMeasurementEnabledState(c.stored);
        make(c.appSwitch, c.deactivated);
        EXPECT_EQ(engine_->wasEnabledDuringInitialization(), c.enabled) << c.stored;
        drain();
        EXPECT_EQ(engine_->isEnabled(), c.enabled) << c.stored;
        EXPECT_EQ(engine_->didInitializeComponents(), c.enabled) << c.stored;
        engine_.reset();
    }
}

TEST_F(EngineCoreTest, EnablingADeactivatedEngineOnlyLogs) {
    make(true, true);
    engine_->setEnabled(true);
    drain();
    EXPECT_TRUE(logged(23206));
    EXPECT_FALSE(engine_->isEnabled());
    EXPECT_FALSE(engine_->didInitializeComponents());
    EXPECT_FALSE(facade_->deferredAnalyticsCollection());
}

TEST_F(EngineCoreTest, TheFirstSwitchStoresTheDeferredCollectionValueOnce) {
    struct Case {
        std::optional<long long> stored;
        bool enable;
        std::vector<long long> written;
    };
    const Case cases[] = {
        {std::nullopt, false, {1}},
        {std::nullopt, true, {0}},
        {1, true, {}},
        {0, false, {}},
    };
    for (const Case& c : cases) {
        auto recording = std::make_shared<RecordingFacade>();
        APMMeasurement::setFacade(recording);
        if (c.stored)
            recording->APMMeasurementFacade::setDeferredAnalyticsCollection(Value(*c.stored));
        make(c.enable);
        drain();
        EXPECT_EQ(recording->written, c.written) << c.enable;
        engine_.reset();
    }
}

TEST_F(EngineCoreTest, WipeDecisions) {
    using S = std::optional<std::string>;
    struct Case {
        const char* label;
        long long retries;
        S appID, g, a, pg, pa;
        bool wipe;
    };
    const S none;
    const Case cases[] = {
        {"retry pending", 3, "x", "G", none, "G", none, true},
        {"retries used up", 10, "x", "G", none, "G", none, false},
        {"same service ID", 0, "x", "G", none, "G", none, false},
        {"service ID changed", 0, "x", "G", none, "G2", none, true},
        {"ad ID only before, service now", 0, "x", "G", none, none, "A", true},
        {"ad ID changed", 0, "x", "G", "A2", none, "A", true},
        {"ad ID kept", 0, "x", "G", "A", none, "A", false},
        {"service ID gone, ad ID came", 0, "x", none, "A", "G", none, true},
        {"nothing stored", 0, "x", "G", "A", none, none, false},
        {"app ID differs from stored ad ID", 0, "x", none, none, none, "A", true},
        {"app ID is the stored ad ID", 0, "A", none, none, none, "A", false},
        {"empty counts as none", 0, "x", "", "", "G", "", false},
    };
    for (const Case& c : cases) {
        facade_->setResetRetryCount(c.retries);
        EXPECT_EQ(APMMeasurement::shouldWipeDataWithAppID(c.appID, c.g, c.a, c.pg, c.pa), c.wipe)
            << c.label;
    }
}

TEST_F(EngineCoreTest, AnotherAppsDataIsWipedAtStart) {
    struct Case {
        const char* storedServiceID;
        bool wiped;
    };
    APMIdentity::sharedInstance()->setAppIDFromRUV(std::string(kAppID));
    for (const Case& c : {Case{kAppID, false}, Case{"1:200000000002:ios:1111111111111111", true}}) {
        APMMeasurement::monitor().clearLines();
        auto persisted = APMPersistedConfig::sharedInstance();
        {
            auto database = APMDatabase::initWithDatabaseName(APMDatabase::kDefaultName, persisted);
            ASSERT_TRUE(database);
            auto attribute =
                APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(3), 1);
            ASSERT_TRUE(database->updateUserAttribute(*attribute));
        }
        persisted->setAppIDFromRUV(std::string(c.storedServiceID));
        make(true);
        drain();
        ASSERT_TRUE(engine_->didInitializeComponents());
        bool kept = false;
        onWorker([&] {
            kept = engine_->database()->containsUserAttributeWithName("level").value_or(false);
        });
        EXPECT_EQ(kept, !c.wiped) << c.storedServiceID;
        EXPECT_EQ(logged(23171), c.wiped) << c.storedServiceID;
        EXPECT_EQ(facade_->resetRetryCount(), 0);
        EXPECT_EQ(persisted->appIDFromRUV(), std::string(kAppID));
        engine_.reset();
    }
}

TEST_F(EngineCoreTest, ProspectiveConsentPrefersTheMostImportantSource) {
    const Dictionary denied{{"analytics_storage", "denied"}};
    const Dictionary granted{{"ad_storage", "granted"}};
    struct Case {
        const char* label;
        std::optional<Dictionary> current;
        int64_t currentSource;
        std::optional<Dictionary> start;
        std::optional<Dictionary> thirdParty;
        std::optional<Dictionary> result;
        int64_t source;
    };
    const Case cases[] = {
        {"nothing anywhere", std::nullopt, 100, std::nullopt, std::nullopt, std::nullopt, 100},
        {"start-up settings", std::nullopt, 100, granted, std::nullopt, granted, 40},
        {"a third-party call", std::nullopt, 100, std::nullopt, denied, denied, 10},
        {"start-up settings beat a stored third-party copy", std::nullopt, 100, granted, denied,
         granted, 40},
        {"a more important source stays", denied, 10, granted, std::nullopt, denied, 10},
    };
    for (const Case& c : cases) {
        APMConsentSettingsUtil::setConsentSettings(c.current);
        APMConsentSettingsUtil::setConsentSource(c.currentSource);
        facade_->setConsentSettings1PStart(c.start);
        facade_->setConsentSettings3P(c.thirdParty);
        APMMeasurement::setProspectiveConsentSettings();
        EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), c.result) << c.label;
        EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source) << c.label;
    }
    APMConsentSettingsUtil::setConsentSettings(std::nullopt);
}

TEST_F(EngineCoreTest, AWithdrawnConsentResetsAtStartAndTheChosenIdentifierIsTaken) {
    struct Case {
        bool deferredReset;
        std::optional<std::string> identifierAfterReset;
        bool wiped;
    };
    const Case cases[] = {
        {false, std::nullopt, false},
        {true, std::nullopt, true},
        {false, "chosen-at-reset", false},
    };
    APMIdentity::sharedInstance()->setAppIDFromRUV(std::string(kAppID));
    APMPersistedConfig::sharedInstance()->setAppIDFromRUV(std::string(kAppID));
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        facade_->setDeferredResetOnDeniedConsent(c.deferredReset);
        facade_->setAppInstanceIDAfterReset(c.identifierAfterReset);
        make(true);
        drain();
        ASSERT_TRUE(engine_->didInitializeComponents());
        EXPECT_EQ(logged(23171), c.wiped) << c.deferredReset;
        EXPECT_FALSE(facade_->deferredResetOnDeniedConsent());
        EXPECT_FALSE(facade_->appInstanceIDAfterReset());
        if (c.identifierAfterReset) {
            EXPECT_EQ(APMIdentity::sharedInstance()->appInstanceID(), c.identifierAfterReset);
        }
        engine_.reset();
    }
}

TEST_F(EngineCoreTest, AStartOpensTheComponentsOnce) {
    make(true);
    drain();
    ASSERT_TRUE(engine_->didInitializeComponents());
    EXPECT_TRUE(engine_->isEnabled());
    EXPECT_TRUE(logged(23016));
    EXPECT_TRUE(logged(23012));
    EXPECT_EQ(APMRemoteConfig::engineInstance(), engine_->remoteConfigInstance());
    EXPECT_EQ(engine_->identity(), APMIdentity::sharedInstance());
    EXPECT_TRUE(APMIsExcludedFromBackup(
        std::filesystem::path(APMMeasurementDirectoryPath(APMDatabase::kDefaultName))
            .parent_path()
            .string()));
    // Disabling keeps the components; enabling again does not start them anew.
    engine_->setEnabled(false);
    engine_->setEnabled(true);
    drain();
    EXPECT_EQ(count(23016), 1);
    EXPECT_TRUE(logged(23013));
}

// A damaged file costs its data but not the start: the engine says so.
TEST_F(EngineCoreTest, ADamagedDatabaseIsMadeAnewAndTheStartSaysSo) {
    const std::string path = APMMeasurementDirectoryPath(APMDatabase::kDefaultName);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
    make(true);
    drain();
    ASSERT_TRUE(engine_->didInitializeComponents());
    EXPECT_TRUE(logged(34023));
    EXPECT_TRUE(logged(23241));
    EXPECT_TRUE(std::filesystem::exists(path + ".damaged"));
}

TEST_F(EngineCoreTest, AFailedStartSwitchesCollectionOffAndIsRetried) {
    make(true, false, "");
    drain();
    EXPECT_TRUE(logged(23011));
    EXPECT_FALSE(engine_->isEnabled());
    EXPECT_FALSE(engine_->didInitializeComponents());
    engine_->setEnabled(true);
    drain();
    EXPECT_EQ(count(23011), 2);
}

TEST_F(EngineCoreTest, WorkerMethodsOnTheMainThreadLogTheirNameAndStillRun) {
    ASSERT_TRUE(NSThread::isMainThread());
    EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName("someMethod"));
    ASSERT_EQ(count(30001), 1);
    EXPECT_NE(APMMeasurement::monitor().lines().back().message.find("someMethod"),
              std::string::npos);
    EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(""));
    EXPECT_NE(APMMeasurement::monitor().lines().back().message.find("<empty method name>"),
              std::string::npos);
    bool onWorker = false;
    auto other = DispatchQueue::create("other");
    other->async([&] { onWorker = APMScheduler::checkOnBackgroundThreadWithMethodName("x"); });
    other->sync([] {});
    EXPECT_TRUE(onWorker);
    EXPECT_EQ(count(30001), 2);

    make(false);
    drain();
    APMMeasurement::monitor().clearLines();
    EXPECT_TRUE(engine_->wipeoutAnalyticsDataAndResetComponents());
    EXPECT_TRUE(logged(30001));
    EXPECT_TRUE(logged(23171));
}

TEST_F(EngineCoreTest, SchedulerFailuresAreLoggedAndTheQueueGoesOn) {
    APMScheduler scheduler("scheduler-test");
    auto& queue = *scheduler.workerQueue();
    struct Case {
        const char* label;
        std::function<void()> run;
        std::vector<long long> codes;
    };
    bool ranAfter = false;
    const Case cases[] = {
        {"nil async", [&] { scheduler.scheduleOnWorkerQueueBlockID("a", nullptr); }, {30005}},
        {"nil sync", [&] { scheduler.dispatchSyncOnWorkerQueueBlockID("b", nullptr); }, {30002}},
        {"throwing async",
         [&] {
             scheduler.scheduleOnWorkerQueueBlockID("c", [] { throw std::runtime_error("boom"); });
             scheduler.scheduleOnWorkerQueueBlockID("d", [&] { ranAfter = true; });
             queue.sync([] {});
         },
         {30000}},
        {"throwing sync",
         [&] {
             scheduler.dispatchSyncOnWorkerQueueBlockID("e",
                                                        [] { throw std::runtime_error("boom"); });
         },
         {30003, 30004}},
        {"sync from the worker queue",
         [&] {
             bool inner = false;
             scheduler.dispatchSyncOnWorkerQueueBlockID("f", [&] {
                 scheduler.dispatchSyncOnWorkerQueueBlockID("g", [&] { inner = true; });
             });
             EXPECT_FALSE(inner);
         },
         {30004}},
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        c.run();
        std::vector<long long> codes;
        for (const auto& line : APMMeasurement::monitor().lines())
            codes.push_back(line.messageCode);
        EXPECT_EQ(codes, c.codes) << c.label;
    }
    EXPECT_TRUE(ranAfter);
}

TEST_F(EngineCoreTest, AlarmFiresOnceAndArmingAgainReplacesIt) {
    auto queue = DispatchQueue::create("alarm-test");
    APMAlarm alarm(queue, "");
    EXPECT_EQ(alarm.name(), "Timer");
    auto settle = [&](double seconds) {
        sim::advanceClock(sim::seconds(seconds));
        queue->sync([] {});
    };
    std::vector<std::string> fired;

    alarm.cancel();  // idle: nothing to say
    EXPECT_TRUE(APMMeasurement::monitor().lines().empty());
    alarm.runAfterDelay(1, nullptr);
    EXPECT_TRUE(logged(2000));
    EXPECT_FALSE(alarm.hasActiveTimer());

    const double now = sim::wallClockSeconds();
    alarm.runAfterDelay(10, [&] { fired.push_back("first"); });
    EXPECT_TRUE(alarm.hasActiveTimer());
    EXPECT_EQ(alarm.scheduledTimestamp(), now + 10);
    alarm.runAfterDelay(20, [&] { fired.push_back("second"); });
    EXPECT_EQ(count(2003), 1);
    EXPECT_EQ(alarm.scheduledTimestamp(), now + 20);
    settle(15);
    EXPECT_TRUE(fired.empty());
    settle(10);
    EXPECT_EQ(fired, std::vector<std::string>{"second"});
    EXPECT_TRUE(logged(2001));
    EXPECT_FALSE(alarm.hasActiveTimer());
    EXPECT_FALSE(alarm.scheduledTimestamp());

    alarm.runAfterDelay(5, [&] { fired.push_back("cancelled"); });
    alarm.cancel();
    EXPECT_FALSE(alarm.scheduledTimestamp());
    settle(10);
    EXPECT_EQ(fired, std::vector<std::string>{"second"});
    EXPECT_EQ(count(2004), 0);
}

TEST_F(EngineCoreTest, BundleIndexRefusesNegativeAndWrapsAtTheTop) {
    EXPECT_FALSE(APMAppMetadata::initWithLastBundleIndex(-1, 0, 0));
    EXPECT_TRUE(logged(4000));
    struct Case {
        int32_t from;
        int32_t to;
        bool logs;
    };
    const Case cases[] = {
        {0, 1, false},
        {41, 42, false},
        {std::numeric_limits<int32_t>::max() - 1, std::numeric_limits<int32_t>::max(), false},
        {std::numeric_limits<int32_t>::max(), 0, true},
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        auto metadata = APMAppMetadata::initWithLastBundleIndex(c.from, 1, 2);
        ASSERT_TRUE(metadata);
        metadata->incrementLastBundleIndex();
        EXPECT_EQ(metadata->lastBundleIndex(), c.to) << c.from;
        EXPECT_EQ(logged(4001), c.logs) << c.from;
    }
}

TEST_F(EngineCoreTest, BecomingActiveRefreshesAWeekOldConfigurationUnlessAnUploadIsPending) {
    make(true);
    drain();
    ASSERT_TRUE(engine_->didInitializeComponents());
    onWorker([&] {
        auto config = APMPBMeasurementConfig::make();
        APMPBSetString(config.get(), 1, Value(kAppID));
        auto setting = APMPBSetting::make();
        APMPBSetString(setting.get(), 0, Value("measurement.upload.blacklist_internal"));
        APMPBSetString(setting.get(), 1, Value("1"));
        APMPBSetArray(config.get(), 3, std::vector<APMPBObject>{APMPBObject(setting)});
        ASSERT_TRUE(engine_->remoteConfigInstance()->updateMeasurementConfig(config));
    });
    ASSERT_TRUE(APMMeasurement::remoteConfig()->blocklistInternal());
    struct Case {
        double advance;
        bool pending;
        bool ignored;
    };
    const Case cases[] = {
        {86400, true, false},     // a day old: nothing to do
        {6 * 86400, true, true},  // a week: refresh, but an upload is in flight
        {0, false, false},        // a week, nothing in flight: refresh
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        sim::advanceClock(sim::seconds(c.advance));
        engine_->setIsNetworkRequestPending(c.pending);
        NSNotificationCenter::defaultCenter()->postNotificationName(
            "NSApplicationDidBecomeActiveNotification");
        drain();
        EXPECT_EQ(logged(23143), c.ignored) << c.advance;
    }
}

TEST_F(EngineCoreTest, ResigningActiveWritesTheSettings) {
    make(true);
    drain();
    const int before = APMPersistedConfig::sharedInstance()->synchronizeCount();
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillResignActiveNotification");
    // Written before the notification returns; the upload it schedules may
    // write once more when it finds nothing to send.
    EXPECT_GE(APMPersistedConfig::sharedInstance()->synchronizeCount(), before + 1);
    EXPECT_TRUE(logged(23144));
    drain();
}

TEST_F(EngineCoreTest, NetworkLogLevelsBecomeMonitorLevels) {
    const std::pair<int, int> cases[] = {{3, 1}, {4, 4}, {5, 3}, {6, 6}, {7, 7}, {0, 3}, {9, 3}};
    make(false);
    drain();
    for (const auto& [network, monitorLevel] : cases) {
        APMMeasurement::monitor().clearLines();
        engine_->networkLogWithLevel(network, 900001, "Network says", {});
        ASSERT_EQ(APMMeasurement::monitor().lines().size(), 1u);
        EXPECT_EQ(APMMeasurement::monitor().lines()[0].level, monitorLevel) << network;
        EXPECT_EQ(APMMeasurement::monitor().lines()[0].messageCode, 900001);
    }
}

TEST_F(EngineCoreTest, SafelistOptionIsAnArrayOfValidNames) {
    struct Case {
        Value option;
        std::optional<std::vector<std::string>> result;
        long long code;
    };
    const Case cases[] = {
        {Value(Array{Value("_valid"), Value("other_one")}),
         std::vector<std::string>{"_valid", "other_one"}, 0},
        {Value(Array{}), std::vector<std::string>{}, 0},
        {Value("_valid"), std::nullopt, 25034},
        {Value(Array{Value("_valid"), Value("9 invalid")}), std::nullopt, 25035},
        {Value(Array{Value("_valid"), Value(3)}), std::nullopt, 25035},
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(APMMeasurement::safelistedEventsFromOption(c.option), c.result);
        EXPECT_EQ(logged(c.code), c.code != 0) << c.code;
    }
}

}  // namespace
