#include "services/measurement/APMScreenViewReporter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMAdExposureReporter.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

constexpr std::int64_t kSeed = 500;

std::shared_ptr<APMPBMeasurementConfig> makeConfig(const Settings& settings) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetString(config.get(), 1, Value("1:123:ios:abc"));
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

struct Logged {
    std::string origin;
    std::string name;
    APMEventParameters parameters;
    double timestamp = 0;

    std::optional<std::int64_t> int64(const std::string& key) const {
        auto it = parameters.find(key);
        if (it == parameters.end() || !it->second.isInt64()) return std::nullopt;
        return it->second.int64Value();
    }
    std::optional<std::string> text(const std::string& key) const {
        auto it = parameters.find(key);
        if (it == parameters.end()) return std::nullopt;
        return it->second.stringValue();
    }
    bool has(const std::string& key) const { return parameters.count(key) > 0; }
};

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) return true;
    return false;
}

class ScreenViewTrackingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        database_ = APMDatabase::initWithDatabaseName("screen-config.sql", nullptr);
        ASSERT_TRUE(database_);
        configure({});
        reporter().resetForTesting(kSeed);
        APMAdExposureReporter::sharedInstance()->resetForTesting();
        APMSetReporterEventLogger([this](const std::string& origin, const std::string& name,
                                         const APMEventParameters& parameters, double timestamp) {
            std::lock_guard lock(mutex_);
            events_.push_back({origin, name, parameters, timestamp});
        });
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        session_.reset();
        APMSetReporterEventLogger(nullptr);
        reporter().resetForTesting(0);
        APMRemoteConfig::setEngineInstance(nullptr);
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }

    static APMScreenViewReporter& reporter() { return *APMScreenViewReporter::sharedInstance(); }

    void configure(const Settings& settings) {
        auto config = APMRemoteConfig::initWithAppID("1:123:ios:abc", database_.get());
        config->parseRemoteConfigFromMeasurementConfig(*makeConfig(settings));
        APMRemoteConfig::setEngineInstance(config);
    }

    // A session reporter whose own events land beside the screen views.
    void makeSessionReporter() {
        persisted_ = APMPersistedConfig::initWithSuiteName("screen-view-test");
        APMSessionReporter::Outlet outlet;
        outlet.logInternalEvent = [this](const std::string& name,
                                         const APMEventParameters& parameters) {
            std::lock_guard lock(mutex_);
            events_.push_back({"auto", name, parameters, sim::wallClockSeconds()});
        };
        outlet.setInternalUserProperty = [](const std::string&, const std::optional<APMValue>&) {};
        session_ = APMSessionReporter::initWithPersistedConfig(persisted_, outlet);
        session_->setReportingEnabled(true);
        persisted_->setLastSessionActivityClockTime(sim::wallClockSeconds());
    }

    void track(const Dictionary& parameters) {
        reporter().trackScreenWithParameters(parameters, sim::wallClockSeconds());
        reporter().waitForPendingWorkForTesting();
    }

    std::vector<Logged> named(const std::string& name) {
        std::lock_guard lock(mutex_);
        std::vector<Logged> found;
        for (const auto& event : events_)
            if (event.name == name) found.push_back(event);
        return found;
    }

    MeasurementTempHome home_;
    std::unique_ptr<APMDatabase> database_;
    std::shared_ptr<APMPersistedConfig> persisted_;
    std::shared_ptr<APMSessionReporter> session_;
    std::mutex mutex_;
    std::vector<Logged> events_;
};

TEST_F(ScreenViewTrackingTest, ScreenViewsBecomeVsEventsThatNameThePreviousScreen) {
    reporter().handleApplicationDidBecomeActive();
    const double first = sim::wallClockSeconds();
    track(Dictionary{{"screen_name", "Home"}, {"screen_class", "HomeView"}, {"tab", "main"}});
    sim::advanceClock(sim::seconds(2));
    track(Dictionary{{"screen_name", "Settings"}});

    const auto views = named("_vs");
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0].origin, "app");
    EXPECT_EQ(views[0].timestamp, first);
    EXPECT_EQ(views[0].int64("_si"), kSeed + 1);
    EXPECT_EQ(views[0].text("_sc"), "HomeView");
    EXPECT_EQ(views[0].text("_sn"), "Home");
    EXPECT_EQ(views[0].int64("_mst"), 1);
    EXPECT_EQ(views[0].text("tab"), "main");
    EXPECT_FALSE(views[0].has("screen_name"));
    EXPECT_FALSE(views[0].has("screen_class"));
    EXPECT_FALSE(views[0].has("_pi"));

    EXPECT_EQ(views[1].timestamp, first + 2);
    EXPECT_EQ(views[1].int64("_si"), kSeed + 2);
    EXPECT_FALSE(views[1].has("_sc"));
    EXPECT_EQ(views[1].int64("_pi"), kSeed + 1);
    EXPECT_EQ(views[1].text("_pc"), "HomeView");
    EXPECT_EQ(views[1].text("_pn"), "Home");
    EXPECT_FALSE(views[1].has("_et"));  // efficient engagement reporting is off
    EXPECT_TRUE(logged(31029));

    // Every other event gets the current screen's parameters.
    const APMRawParameters current = reporter().screenParameters();
    ASSERT_EQ(current.size(), 2u);
    EXPECT_EQ(std::get<APMValue>(current.at("_si")).int64Value(), kSeed + 2);
    EXPECT_EQ(std::get<APMValue>(current.at("_sn")).stringValue(), "Settings");
    std::optional<std::string> name, className = std::string("stale");
    reporter().getScreenName(&name, &className);
    EXPECT_EQ(name, "Settings");
    EXPECT_EQ(className, std::nullopt);
}

TEST_F(ScreenViewTrackingTest, AScreenViewWithoutNameOrClassStillLogsItsIdentity) {
    // Before the first activation screen views are accepted too.
    ASSERT_FALSE(reporter().appHasBeenInitialized());
    track(Dictionary{});
    const auto views = named("_vs");
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].parameters.size(), 2u);
    EXPECT_EQ(views[0].int64("_si"), kSeed + 1);
    EXPECT_EQ(views[0].int64("_mst"), 1);
}

TEST_F(ScreenViewTrackingTest, InvalidNamesAndClassesStopTheScreenView) {
    reporter().handleApplicationDidBecomeActive();
    const std::string tooLong(101, 'x');
    struct Case {
        const char* what;
        Dictionary parameters;
        long long code;
    };
    const std::vector<Case> cases = {
        {"long name", Dictionary{{"screen_name", tooLong}}, 31027},
        {"empty name", Dictionary{{"screen_name", ""}}, 31027},
        {"numeric name", Dictionary{{"screen_name", 7}}, 31027},
        {"long class", Dictionary{{"screen_name", "Home"}, {"screen_class", tooLong}}, 31028},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        APMMeasurement::monitor().clearLines();
        track(c.parameters);
        EXPECT_TRUE(logged(c.code));
        EXPECT_TRUE(named("_vs").empty());
        EXPECT_FALSE(reporter().currentScreen());
    }
    // A refused screen view takes no instance id.
    track(Dictionary{{"screen_name", std::string(100, 'x')}});
    ASSERT_EQ(named("_vs").size(), 1u);
    EXPECT_EQ(named("_vs")[0].int64("_si"), kSeed + 1);
}

TEST_F(ScreenViewTrackingTest, ParameterSetsStopOrSkipAtAnInvalidClass) {
    const std::string tooLong(101, 'c');
    struct Case {
        const char* what;
        std::optional<std::string> name;
        std::optional<std::string> className;
        std::vector<std::string> current;
        std::vector<std::string> previous;
        long long code;
    };
    const std::vector<Case> cases = {
        {"both valid", "N", "C", {"_sc", "_si", "_sn"}, {"_pc", "_pi", "_pn"}, 0},
        {"invalid class", "N", tooLong, {"_si"}, {"_pi", "_pn"}, 31015},
        {"empty class", "N", "", {"_si", "_sn"}, {"_pi", "_pn"}, 31014},
        {"invalid name", std::string(101, 'n'), "C", {"_sc", "_si"}, {"_pc", "_pi"}, 0},
        {"neither", std::nullopt, std::nullopt, {"_si"}, {"_pi"}, 0},
    };
    auto keys = [](const APMRawParameters& parameters) {
        std::vector<std::string> out;
        for (const auto& [key, value] : parameters) out.push_back(key);
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        APMMeasurement::monitor().clearLines();
        const APMScreen screen(c.name, c.className, 9);
        EXPECT_EQ(keys(APMScreenParameters(screen)), c.current);
        EXPECT_EQ(keys(APMPreviousScreenParameters(screen)), c.previous);
        if (c.code) {
            EXPECT_TRUE(logged(c.code));
        }
    }
}

TEST_F(ScreenViewTrackingTest, InstanceIDsFollowTheSeedAndWrap) {
    reporter().resetForTesting(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(reporter().incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(reporter().incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min() + 1);
}

// The engagement on the screen that is left: a separate "_e" without
// efficient reporting, "_et" on the next "_vs" with it, nothing twice.
TEST_F(ScreenViewTrackingTest, EngagementOfTheLeftScreenIsReportedOnce) {
    struct Case {
        const char* what;
        Settings settings;
        std::optional<std::int64_t> engagementEvent;  // "_et" of the "_e" for the left screen
        std::optional<std::int64_t> screenViewTime;   // "_et" of the second "_vs"
    };
    const std::vector<Case> cases = {
        {"plain", {}, 5250, std::nullopt},
        {"efficient",
         {{"measurement.collection.efficient_engagement_reporting_enabled", "1"}},
         5250,
         5250},
        {"efficient without redundant engagement",
         {{"measurement.collection.efficient_engagement_reporting_enabled", "1"},
          {"measurement.collection.redundant_engagement_removal_enabled", "1"}},
         std::nullopt,
         5250},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard lock(mutex_);
            events_.clear();
        }
        configure(c.settings);
        reporter().resetForTesting(kSeed);
        makeSessionReporter();
        reporter().handleApplicationDidBecomeActive();
        track(Dictionary{{"screen_name", "Home"}});
        sim::advanceClock(sim::seconds(5.25));
        track(Dictionary{{"screen_name", "Settings"}});

        const auto engagement = named("_e");
        if (c.engagementEvent) {
            ASSERT_EQ(engagement.size(), 1u);
            EXPECT_EQ(engagement[0].int64("_et"), *c.engagementEvent);
            EXPECT_EQ(engagement[0].text("_sn"), "Home");
        } else {
            EXPECT_TRUE(engagement.empty());
        }
        const auto views = named("_vs");
        ASSERT_EQ(views.size(), 2u);
        EXPECT_EQ(views[1].int64("_et"), c.screenViewTime);
        session_.reset();
    }
}

TEST_F(ScreenViewTrackingTest, LifecycleReachesTheSessionReporter) {
    makeSessionReporter();
    persisted_->setLastSessionActivityClockTime(sim::wallClockSeconds() - 7200);
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationDidBecomeActiveNotification");
    EXPECT_TRUE(reporter().isAppActive());
    EXPECT_EQ(named("_s").size(), 1u);

    track(Dictionary{{"screen_name", "Home"}});
    sim::advanceClock(sim::seconds(3));
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillResignActiveNotification");
    const auto engagement = named("_e");
    ASSERT_EQ(engagement.size(), 1u);
    EXPECT_EQ(engagement[0].int64("_et"), 3000);
    EXPECT_EQ(named("_ab").size(), 1u);
    // Once active, always active: later screen views are still logged.
    EXPECT_TRUE(reporter().isAppActive());
    track(Dictionary{{"screen_name", "Later"}});
    EXPECT_EQ(named("_vs").size(), 2u);
}

TEST_F(ScreenViewTrackingTest, SetScreenNameIsRefused) {
    reporter().setScreenName("Home", "HomeView");
    EXPECT_TRUE(logged(31000));
    EXPECT_FALSE(reporter().currentScreen());
}

// The engine's screen tracking hands the public event to the reporter.
TEST_F(ScreenViewTrackingTest, TheEngineTracksScreensThroughTheReporter) {
    auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
    auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
    auto engine = APMMeasurement::initWithDatabaseName(
        APMDatabase::kDefaultName, APMPersistedConfig::sharedInstance(), scheduler,
        std::move(alarm), "1:123:ios:abc", true, false, std::nullopt);
    ASSERT_TRUE(engine);
    engine->trackScreenWithParameters(Dictionary{{"screen_name", "Engine"}}, 1234.5);
    reporter().waitForPendingWorkForTesting();
    const auto views = named("_vs");
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].text("_sn"), "Engine");
    EXPECT_EQ(views[0].timestamp, 1234.5);
    engine->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {});
    engine.reset();
    configure({});
}

}  // namespace
