#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PropertyList.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMKeychainWrapper.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";
constexpr const char* kBundleID = "com.vantorel.Lumbrel";
constexpr const char* kDatabase = "reports.sql";
// 2024-01-01 12:00:00.000 UTC.
constexpr double kNoon = 1704110400.0;

using Settings = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<APMPBMeasurementConfig> makeConfig(const Settings& settings) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetString(config.get(), 1, Value(kAppID));
    std::vector<APMPBObject> list;
    for (const auto& [name, value] : settings) {
        auto setting = APMPBSetting::make();
        APMPBSetString(setting.get(), 0, Value(name));
        APMPBSetString(setting.get(), 1, Value(value));
        list.emplace_back(setting);
    }
    APMPBSetArray(config.get(), 3, list);
    return config;
}

struct Stored {
    std::string name;
    APMEventParameters parameters;
    std::optional<std::int64_t> int64(const std::string& key) const {
        auto it = parameters.find(key);
        if (it == parameters.end() || !it->second.isInt64()) return std::nullopt;
        return it->second.int64Value();
    }
    std::optional<std::string> string(const std::string& key) const {
        auto it = parameters.find(key);
        if (it == parameters.end()) return std::nullopt;
        return it->second.stringValue();
    }
};

class EngineReportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        writeBundle();
        APMScreenViewReporter::sharedInstance()->resetForTesting(0);
        settings_ = APMPersistedConfig::initWithSuiteName("com.test.reports");
        ASSERT_TRUE(settings_);
        APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", kBundleID);
        // A facade of this test's own: its load time must not reach others.
        APMMeasurement::setFacade(std::make_shared<APMMeasurementFacade>());
        APMMeasurement::facade()->setLoadTimestamp(kNoon);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        stop();
        APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", kBundleID);
        APMRemoteConfig::setEngineInstance(nullptr);
        APMMeasurement::setFacade(nullptr);
        APMScreenViewReporter::sharedInstance()->resetForTesting(0);
        sim::clearMainBundlePath();
        sim::useRealClock();
    }

    // The application's bundle, its information list rewritten some time
    // after it was installed.
    void writeBundle(std::chrono::seconds rewrittenAfter = std::chrono::seconds(0)) {
        const auto bundle = home_.path() / "Lumbrel.app";
        const auto info = bundle / "Contents" / "Info.plist";
        std::filesystem::create_directories(info.parent_path());
        std::filesystem::remove(info);  // a new file, born now
        Dictionary plist;
        plist.set("CFBundleIdentifier", Value(kBundleID));
        plist.set("CFBundleShortVersionString", Value("1.1"));
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(plist), PropertyListFormat::XML);
        ASSERT_TRUE(data);
        std::ofstream(info, std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()),
                   static_cast<std::streamsize>(data->size()));
        if (rewrittenAfter.count() > 0)
            std::filesystem::last_write_time(
                info, std::filesystem::last_write_time(info) + rewrittenAfter);
        sim::setMainBundlePath(bundle.string());
    }

    // Stores a measurement configuration where the engine will find it.
    void storeConfig(const Settings& settings) {
        auto database = APMDatabase::initWithDatabaseName(kDatabase, settings_);
        ASSERT_TRUE(database);
        ASSERT_TRUE(database->updateRemoteConfig(*makeConfig(settings), sim::wallClockSeconds()));
    }

    // A start of the engine, as at a launch of the application.
    void start() {
        stop();
        auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
        auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
        engine_ = APMMeasurement::initWithDatabaseName(
            kDatabase, settings_, scheduler, std::move(alarm), kAppID, true, false, std::nullopt);
        ASSERT_TRUE(engine_);
        work([&] {
            if (!engine_->didInitializeComponents()) engine_->setEnabledOnWorkerQueue(true);
        });
        ASSERT_TRUE(engine_->didInitializeComponents());
    }
    void stop() {
        if (!engine_) return;
        work([&] { engine_->setEnabledOnWorkerQueue(false); });
        engine_.reset();
    }

    void work(const std::function<void()>& block) {
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }

    // The events of that name kept by this start of the engine.
    std::vector<Stored> stored(const std::string& name) {
        std::vector<Stored> out;
        for (const APMEvent& event : engine_->keptEvents())
            if (event.name() == name) out.push_back({name, event.parameters()});
        return out;
    }
    // The raw events of that name in the database, over every start.
    std::size_t storedRows(const std::string& name) {
        std::size_t count = 0;
        work([&] {
            auto rows = engine_->database()->store().recordsForQuery(
                "SELECT name FROM raw_events ORDER BY rowid", Array{});
            ASSERT_TRUE(rows);
            for (const auto& row : *rows)
                if (row["name"].asString().value_or("") == name) ++count;
        });
        return count;
    }

    std::optional<APMUserAttribute> property(const std::string& name) {
        std::optional<APMUserAttribute> out;
        work([&] { out = engine_->database()->userAttributeWithName(name); });
        return out;
    }

    static bool logged(long long code) {
        for (const auto& line : APMMeasurement::monitor().lines())
            if (line.messageCode == code) return true;
        return false;
    }

    MeasurementTempHome home_;
    std::shared_ptr<APMPersistedConfig> settings_;
    std::shared_ptr<APMMeasurement> engine_;
};

TEST_F(EngineReportsTest, AFirstLaunchReportsTheFirstOpenOnce) {
    start();
    ASSERT_EQ(stored("_f").size(), 1u);
    EXPECT_EQ(stored("_e").size(), 1u);
    EXPECT_EQ(stored("_e")[0].int64("_et"), 1);
    ASSERT_TRUE(property("_fot"));
    EXPECT_EQ(settings_->firstOpenTimestampMilliseconds(), static_cast<std::int64_t>(kNoon) * 1000);
    // The persisted load time belongs to this start only.
    EXPECT_FALSE(settings_->loadTimestampValue());

    EXPECT_EQ(storedRows("_f"), 1u);

    for (int launch = 2; launch <= 3; ++launch) {
        start();
        EXPECT_TRUE(stored("_f").empty()) << launch;
        EXPECT_TRUE(stored("_e").empty()) << launch;
        EXPECT_EQ(storedRows("_f"), 1u) << launch;
        EXPECT_FALSE(settings_->loadTimestampValue()) << launch;
    }
    // The device's count of first opens moves with the "_f" events written,
    // never with later starts.
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kBundleID), "1");
    APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", kBundleID);
    start();
    EXPECT_FALSE(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", kBundleID));
}

TEST_F(EngineReportsTest, FirstOpenTimeIsRoundedUpToTheNextHour) {
    start();
    auto fot = property("_fot");
    ASSERT_TRUE(fot);
    // 12:00:00.000 is already a whole hour: it moves on to 13:00:00.000.
    EXPECT_EQ(fot->value().int64Value(), static_cast<std::int64_t>(kNoon + 3600) * 1000);
    EXPECT_EQ(fot->lastSetTimestamp(), kNoon);
    double firstOpen = 0;
    work([&] { firstOpen = engine_->firstOpenTimestamp(); });
    EXPECT_EQ(firstOpen, kNoon);

    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t millis;
        std::int64_t expected;
    };
    for (const Case& c : {
             Case{0, 3600000}, Case{1, 3600000}, Case{3599999, 3600000}, Case{3600000, 7200000},
             Case{-1, 3600000},  // truncation toward zero
             Case{-3600000, 0},
             Case{kMax, kMax / 3600000 * 3600000},  // the last whole hour, no overflow
         }) {
        EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(c.millis), c.expected)
            << c.millis;
    }
}

TEST_F(EngineReportsTest, FirstOpenAfterInstallFollowsTheKeychainAndTheInstalledVersion) {
    struct Case {
        const char* what;
        std::optional<std::string> keychain;
        std::chrono::seconds infoRewrittenAfter;
        std::int64_t fi;
        std::int64_t pfo;
    };
    const Case cases[] = {
        {"installed, nothing in the keychain", std::nullopt, std::chrono::seconds(0), 1, 0},
        {"updated in place", std::nullopt, std::chrono::hours(5), 0, 0},
        {"an earlier first open on this device", std::string("1"), std::chrono::hours(5), 1, 1},
        {"several earlier first opens", std::string("3"), std::chrono::seconds(0), 1, 3},
    };
    for (const Case& c : cases) {
        stop();
        std::filesystem::remove(home_.path() / "Library" / "Application Support" / "Zevera" /
                                "Measurement" / kDatabase);
        settings_->clearValues();
        writeBundle(c.infoRewrittenAfter);
        APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", kBundleID);
        if (c.keychain) {
            ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue(*c.keychain, "_pfo", kBundleID));
        }
        start();
        auto fi = property("_fi");
        ASSERT_TRUE(fi) << c.what;
        EXPECT_EQ(fi->value().int64Value(), c.fi) << c.what;
        const auto opens = stored("_f");
        ASSERT_EQ(opens.size(), 1u) << c.what;
        EXPECT_EQ(opens[0].int64("_uwa"), 1 - c.fi) << c.what;
        EXPECT_EQ(opens[0].int64("_pfo"), c.pfo) << c.what;
    }
}

TEST_F(EngineReportsTest, FirstOpenCarriesDeferredCollectionAndTheCurrentScreen) {
    struct Case {
        std::optional<Value> deferred;  // as the facade holds it at start
        std::optional<std::int64_t> dac;
    };
    for (const Case& c : {Case{std::nullopt, std::nullopt}, Case{Value(1LL), 1}}) {
        stop();
        std::filesystem::remove_all(home_.path() / "Library" / "Application Support");
        settings_->clearValues();
        APMMeasurement::facade()->setDeferredAnalyticsCollection(c.deferred);
        APMScreenViewReporter::sharedInstance()->setCurrentScreen("Onboarding", "OnboardingView",
                                                                  kNoon);
        start();
        const auto opens = stored("_f");
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].int64("_dac"), c.dac);
        EXPECT_EQ(opens[0].string("_sn"), "Onboarding");
        ASSERT_EQ(stored("_e").size(), 1u);
        EXPECT_EQ(stored("_e")[0].string("_sc"), "OnboardingView");
        // Read once: the first open clears it.
        EXPECT_FALSE(APMMeasurement::facade()->deferredAnalyticsCollection());
    }
}

TEST_F(EngineReportsTest, RedundantEngagementRemovalLeavesOutTheFirstEngagement) {
    struct Case {
        Settings settings;
        std::size_t engagements;
        std::optional<std::int64_t> freeRide;       // "_fr" of "_e"
        std::optional<std::int64_t> firstOpenTime;  // "_et" of "_f"
    };
    const Case cases[] = {
        {{}, 1, std::nullopt, std::nullopt},
        {{{"measurement.collection.redundant_engagement_removal_enabled", "1"}},
         0,
         std::nullopt,
         std::nullopt},
        {{{"measurement.collection.efficient_engagement_reporting_enabled", "1"}}, 1, 1, 1},
    };
    for (const Case& c : cases) {
        stop();
        std::filesystem::remove_all(home_.path() / "Library" / "Application Support");
        settings_->clearValues();
        storeConfig(c.settings);
        start();
        ASSERT_EQ(stored("_f").size(), 1u);
        EXPECT_EQ(stored("_f")[0].int64("_et"), c.firstOpenTime);
        const auto engagements = stored("_e");
        ASSERT_EQ(engagements.size(), c.engagements);
        if (c.engagements) {
            EXPECT_EQ(engagements[0].int64("_fr"), c.freeRide);
        }
    }
}

TEST_F(EngineReportsTest, SessionStartsOnlyWhenTheSessionHasExpired) {
    start();
    ASSERT_TRUE(engine_->sessionReporter());
    // The first open started the first session at the engine's start time.
    auto starts = stored("_s");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].int64("_sid"), static_cast<std::int64_t>(kNoon));
    EXPECT_EQ(starts[0].int64("_sno"), 1);
    EXPECT_FALSE(starts[0].int64("_aib"));
    ASSERT_TRUE(property("_sid"));
    EXPECT_EQ(property("_sid")->value().int64Value(), static_cast<std::int64_t>(kNoon));
    EXPECT_EQ(property("_sno")->value().int64Value(), 1);

    struct Case {
        const char* what;
        bool expired;
        bool inBackgroundParameter;  // the configuration's switch
        std::size_t starts;
        std::optional<std::int64_t> aib;
    };
    const Case cases[] = {
        {"current session", false, true, 1, std::nullopt},
        {"expired, in the background", true, true, 2, 1},
        {"expired, parameter switched off", true, false, 3, std::nullopt},
    };
    const double at = sim::wallClockSeconds() + 0.75;
    for (const Case& c : cases) {
        work([&] {
            engine_->remoteConfigInstance()->parseRemoteConfigFromMeasurementConfig(
                *makeConfig({{"measurement.lifecycle.app_in_background_parameter",
                              c.inBackgroundParameter ? "1" : "0"}}));
        });
        settings_->setLastSessionActivityClockTime(sim::wallClockSeconds() -
                                                   (c.expired ? 1801 : 1800));
        const std::int64_t number = settings_->sessionNumber();
        work([&] { engine_->reportSessionStartOnWorkerQueueWithTimestamp(at, true); });
        starts = stored("_s");
        ASSERT_EQ(starts.size(), c.starts) << c.what;
        EXPECT_EQ(settings_->sessionNumber(), number + (c.expired ? 1 : 0)) << c.what;
        EXPECT_EQ(property("_sno")->value().int64Value(), settings_->sessionNumber()) << c.what;
        if (!c.expired) continue;
        EXPECT_EQ(starts.back().int64("_sid"), static_cast<std::int64_t>(at)) << c.what;
        EXPECT_EQ(starts.back().int64("_sno"), settings_->sessionNumber()) << c.what;
        EXPECT_EQ(starts.back().int64("_aib"), c.aib) << c.what;
        EXPECT_EQ(property("_sid")->lastSetTimestamp(), at) << c.what;
    }
}

TEST_F(EngineReportsTest, TheEnginesSessionReporterReportsThroughTheEngine) {
    APMMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
    auto engine = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    auto wait = [&] { engine->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {}); };
    wait();
    wait();
    ASSERT_TRUE(engine->didInitializeComponents());
    engine->forgetKeptEventsForTesting();

    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationDidBecomeActiveNotification");
    sim::advanceAndRun(sim::seconds(3600));
    wait();
    std::vector<std::int64_t> engagement;
    for (const APMEvent& event : engine->keptEvents()) {
        if (event.name() != "_e") continue;
        engagement.push_back(event.parameters().at("_et").int64Value());
        EXPECT_EQ(event.origin(), "auto");
    }
    EXPECT_EQ(engagement, std::vector<std::int64_t>{3600000});

    engine->scheduler().dispatchSyncOnWorkerQueueBlockID(
        "test", [&] { engine->setEnabledOnWorkerQueue(false); });
    engine.reset();
    APMMeasurement::resetSharedInstanceForTesting();
}

TEST_F(EngineReportsTest, UpdatesAreReportedOnlyFromAStoredVersion) {
    start();
    const std::string appVersion =
        engine_->identity() ? engine_->identity()->appVersion() : std::string();
    const std::string osVersion = APMEnvironmentInfo::sharedInstance().deviceOSVersion();
    ASSERT_FALSE(osVersion.empty());
    // The start stored both; nothing was reported.
    EXPECT_EQ(settings_->osVersion(), osVersion);
    EXPECT_TRUE(stored("_au").empty());
    EXPECT_TRUE(stored("_ou").empty());

    struct Case {
        std::optional<std::string> storedVersion;
        bool reported;
    };
    for (const Case& c : {Case{std::nullopt, false}, Case{std::string(""), false},
                          Case{std::string("1.0"), true}}) {
        const auto appUpdates = stored("_au").size();
        const auto osUpdates = stored("_ou").size();
        settings_->setAppVersion(c.storedVersion);
        settings_->setOSVersion(c.storedVersion);
        work([&] {
            engine_->reportAppUpdateOnWorkerQueue();
            engine_->reportOSUpdateOnWorkerQueue();
        });
        EXPECT_EQ(settings_->appVersion().value_or(""), appVersion);
        EXPECT_EQ(settings_->osVersion(), osVersion);
        const auto au = stored("_au");
        const auto ou = stored("_ou");
        // The identity is the process's own: its version may be another
        // test's bundle's, even empty; a stored version is reported either way.
        ASSERT_EQ(au.size(), appUpdates + (c.reported ? 1 : 0));
        ASSERT_EQ(ou.size(), osUpdates + (c.reported ? 1 : 0));
        if (c.reported) {
            EXPECT_EQ(au.back().string("_pv"), "1.0");
            EXPECT_EQ(ou.back().string("_po"), "1.0");
        }
    }
}

TEST_F(EngineReportsTest, PersonalizedAdsPropertyFollowsTheSetting) {
    start();
    struct Case {
        std::optional<Value> allowed;
        std::optional<std::int64_t> expected;
    };
    for (const Case& c : {Case{Value(false), 1}, Case{Value(true), 0},
                          Case{std::nullopt, std::nullopt}, Case{Value(false), 1}}) {
        settings_->setAllowPersonalizedAds(c.allowed);
        work([&] { engine_->setPersonalizedAdsUserPropertyOnWorkerQueue(); });
        auto npa = property("_npa");
        ASSERT_EQ(npa.has_value(), c.expected.has_value());
        if (c.expected) {
            EXPECT_EQ(npa->value().int64Value(), *c.expected);
        }
    }
    EXPECT_TRUE(logged(23180));
}

TEST_F(EngineReportsTest, SessionNumberIsBackFilledFromStoredSessionStarts) {
    start();
    struct Case {
        std::int64_t persisted;
        std::int32_t storedStarts;
        std::int64_t expected;
    };
    for (const Case& c : {Case{0, 7, 7}, Case{3, 7, 3}, Case{0, 0, 0}}) {
        settings_->setSessionNumber(c.persisted);
        work([&] {
            auto aggregates = APMEventAggregates::initWithName("_s", c.storedStarts, 0, 0, 0);
            ASSERT_TRUE(aggregates);
            ASSERT_TRUE(engine_->database()->updateEventAggregates(*aggregates));
            engine_->backfillSessionNumber();
        });
        EXPECT_EQ(settings_->sessionNumber(), c.expected);
    }
}

TEST_F(EngineReportsTest, FileAttributesOfAPath) {
    const auto file = home_.path() / "attributes.txt";
    std::ofstream(file) << "twelve bytes";
    auto attributes = APMMeasurement::fileAttributesForPath(file.string());
    ASSERT_TRUE(attributes);
    EXPECT_EQ((*attributes)["NSFileSize"].asInt(), 12);
    EXPECT_EQ((*attributes)["NSFileType"].asString(), "NSFileTypeRegular");
    EXPECT_TRUE((*attributes)["NSFileModificationDate"].asDouble());

    EXPECT_FALSE(APMMeasurement::fileAttributesForPath(""));
    EXPECT_FALSE(logged(23022));
    EXPECT_FALSE(APMMeasurement::fileAttributesForPath((home_.path() / "missing").string()));
    EXPECT_TRUE(logged(23022));
}

}  // namespace
