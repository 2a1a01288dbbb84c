#include "services/measurement/APMSessionReporter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/system/Sysctl.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

const Settings kEfficient = {
    {"measurement.collection.efficient_engagement_reporting_enabled", "1"}};
const Settings kEfficientRemoveRedundant = {
    {"measurement.collection.efficient_engagement_reporting_enabled", "1"},
    {"measurement.collection.redundant_engagement_removal_enabled", "1"}};
const Settings kRemoveRedundant = {
    {"measurement.collection.redundant_engagement_removal_enabled", "1"}};

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

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) return true;
    return false;
}

struct Logged {
    std::string name;
    APMEventParameters parameters;
    std::optional<std::int64_t> int64(const std::string& key) const {
        auto it = parameters.find(key);
        if (it == parameters.end() || !it->second.isInt64()) return std::nullopt;
        return it->second.int64Value();
    }
};

class SessionReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        database_ = APMDatabase::initWithDatabaseName("session-config.sql", nullptr);
        ASSERT_TRUE(database_);
        configure({});
        APMScreenViewReporter::sharedInstance()->resetForTesting(100);
        APMMeasurement::monitor().clearLines();
        persisted_ = APMPersistedConfig::initWithSuiteName("session-reporter-test");
        ASSERT_TRUE(persisted_);
    }
    void TearDown() override {
        reporter_.reset();
        APMScreenViewReporter::sharedInstance()->resetForTesting(0);
        APMRemoteConfig::setEngineInstance(nullptr);
        sim::MainLoop::runUntilIdle();
        sim::clearSysctlOverrides();
        sim::useRealClock();
    }

    void configure(const Settings& settings) {
        auto config = APMRemoteConfig::initWithAppID("1:123:ios:abc", database_.get());
        config->parseRemoteConfigFromMeasurementConfig(*makeConfig(settings));
        APMRemoteConfig::setEngineInstance(config);
    }

    APMSessionReporter& make(bool enabled = true) {
        APMSessionReporter::Outlet outlet;
        outlet.logInternalEvent = [this](const std::string& name,
                                         const APMEventParameters& parameters) {
            events_.push_back({name, parameters});
        };
        outlet.setInternalUserProperty = [this](const std::string& name,
                                                const std::optional<APMValue>& value) {
            properties_.emplace_back(
                name, value ? std::optional<std::int64_t>(value->int64Value()) : std::nullopt);
        };
        reporter_ = APMSessionReporter::initWithPersistedConfig(persisted_, outlet);
        reporter_->setReportingEnabled(enabled);
        return *reporter_;
    }

    // The application comes to the front, as the platform tells it.
    static void becomeActive() {
        NSNotificationCenter::defaultCenter()->postNotificationName(
            "NSApplicationDidBecomeActiveNotification");
    }
    static void resignActive() {
        NSNotificationCenter::defaultCenter()->postNotificationName(
            "NSApplicationWillResignActiveNotification");
    }
    static void advance(double seconds) { sim::advanceAndRun(sim::seconds(seconds)); }

    std::vector<Logged> named(const std::string& name) const {
        std::vector<Logged> found;
        for (const auto& event : events_)
            if (event.name == name) found.push_back(event);
        return found;
    }

    MeasurementTempHome home_;
    std::unique_ptr<APMDatabase> database_;
    std::shared_ptr<APMPersistedConfig> persisted_;
    std::shared_ptr<APMSessionReporter> reporter_;
    std::vector<Logged> events_;
    std::vector<std::pair<std::string, std::optional<std::int64_t>>> properties_;
};

TEST_F(SessionReporterTest, UptimeFollowsTheVirtualClockAndFailsWithoutABootTime) {
    const double before = APMSessionReporter::currentUptime();
    EXPECT_GT(before, 0);
    sim::advanceClock(sim::seconds(5.25));
    EXPECT_NEAR(APMSessionReporter::currentUptime() - before, 5.25, 1e-6);

    struct Case {
        std::int64_t bootSeconds;
        std::int32_t bootMicros;
        double expected;
    };
    const double wall = sim::wallClockSeconds();  // whole seconds plus 0.25
    const auto whole = static_cast<std::int64_t>(wall);
    for (const Case& c : {
             Case{whole - 100, 0, 100.25},
             Case{whole - 100, 500000, 99.75},  // microseconds borrow one second
             Case{0, 0, -1.0},                  // a zero boot time cannot be used
         }) {
        std::vector<std::uint8_t> record(16, 0);
        std::memcpy(record.data(), &c.bootSeconds, 8);
        std::memcpy(record.data() + 8, &c.bootMicros, 4);
        sim::setSysctlOverride("kern.boottime", record);
        EXPECT_NEAR(APMSessionReporter::currentUptime(), c.expected, 1e-6) << c.bootMicros;
    }
    sim::setSysctlOverride("kern.boottime", std::vector<std::uint8_t>{});
    EXPECT_EQ(APMSessionReporter::currentUptime(), -1.0);
}

TEST_F(SessionReporterTest, SessionExpiresStrictlyAfterTheTimeoutEitherWay) {
    auto& reporter = make();
    reporter.setTimeoutSessionInterval(1800);
    struct Case {
        double lastActivityOffset;  // from now
        bool expired;
    };
    for (const Case& c : {
             Case{-1800, false}, Case{-1801, true}, Case{1800, false},
             Case{1801, true},  // a wall clock set back past the timeout
         }) {
        persisted_->setLastSessionActivityClockTime(sim::wallClockSeconds() + c.lastActivityOffset);
        EXPECT_EQ(reporter.isSessionExpired(), c.expired) << c.lastActivityOffset;
        EXPECT_EQ(reporter.extendSession(), !c.expired) << c.lastActivityOffset;
        if (!c.expired) {
            EXPECT_EQ(persisted_->lastSessionActivityClockTime(), sim::wallClockSeconds());
        }
    }

    reporter.setTimeoutSessionInterval(-5);
    EXPECT_EQ(reporter.timeoutSessionInterval(), 0);
    EXPECT_TRUE(logged(33001));
}

TEST_F(SessionReporterTest, ForegroundEntryStartsASessionOnlyAfterTheTimeout) {
    struct Case {
        double inactiveSeconds;
        bool startsSession;
    };
    for (const Case& c : {Case{1800, false}, Case{1801, true}}) {
        events_.clear();
        properties_.clear();
        persisted_->setSessionNumber(4);
        auto& reporter = make();
        reporter.setTimeoutSessionInterval(1800);
        persisted_->setLastSessionActivityClockTime(sim::wallClockSeconds() - c.inactiveSeconds);
        becomeActive();
        const auto starts = named("_s");
        ASSERT_EQ(starts.size(), c.startsSession ? 1u : 0u) << c.inactiveSeconds;
        if (!c.startsSession) {
            EXPECT_EQ(persisted_->sessionNumber(), 4);
            continue;
        }
        const auto sessionID = static_cast<std::int64_t>(sim::wallClockSeconds());
        EXPECT_EQ(starts[0].int64("_sid"), sessionID);
        EXPECT_EQ(starts[0].int64("_sno"), 5);
        EXPECT_EQ(persisted_->sessionNumber(), 5);
        EXPECT_EQ(persisted_->lastSessionActivityClockTime(), sim::wallClockSeconds());
        // The old session's properties are cleared before the new ones are set.
        const std::vector<std::pair<std::string, std::optional<std::int64_t>>> expected{
            {"_sid", std::nullopt}, {"_sno", std::nullopt}, {"_sid", sessionID}, {"_sno", 5}};
        EXPECT_EQ(properties_, expected);
    }
}

TEST_F(SessionReporterTest, FirstSessionAfterInstallIsNumberOne) {
    auto& reporter = make();
    becomeActive();
    ASSERT_EQ(named("_s").size(), 1u);
    EXPECT_EQ(named("_s")[0].int64("_sno"), 1);
    // The session property builders the engine uses read the same values.
    auto number = reporter.sessionNumberProperty();
    ASSERT_TRUE(number);
    EXPECT_EQ(number->name(), "_sno");
    EXPECT_EQ(number->value().int64Value(), 1);
    auto id = reporter.sessionIDPropertyWithTimestamp(1704067200.75);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->name(), "_sid");
    EXPECT_EQ(id->value().int64Value(), 1704067200);
    EXPECT_EQ(id->lastSetTimestamp(), 1704067200.75);
}

TEST_F(SessionReporterTest, EngagementTimerFiresOnTheMainQueueEveryInterval) {
    make();
    int timerNotifications = 0;
    auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
        kAPMSessionReporterEngagementTimerDidFire, nullptr, nullptr,
        [&](const NSNotification&) { ++timerNotifications; });
    becomeActive();
    events_.clear();

    // The timer is due, but nothing happens until the main queue runs.
    sim::advanceClock(sim::seconds(3600));
    EXPECT_TRUE(named("_e").empty());
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(named("_e").size(), 1u);
    EXPECT_EQ(timerNotifications, 1);

    // Twelve hours in front: one "_e" an hour, never more than an hour each.
    for (int hour = 1; hour < 12; ++hour) advance(3600);
    const auto engagements = named("_e");
    ASSERT_EQ(engagements.size(), 12u);
    for (const auto& e : engagements) EXPECT_EQ(e.int64("_et"), 3600000);
    EXPECT_EQ(timerNotifications, 12);
    NSNotificationCenter::defaultCenter()->removeObserver(token);
}

TEST_F(SessionReporterTest, OneEngagementNeverReportsMoreThanAnHour) {
    configure({{"measurement.session.event_user_engagement_interval", "86400000"}});  // ms
    auto& reporter = make();
    becomeActive();
    events_.clear();
    advance(5400);
    EXPECT_EQ(reporter.logEngagementEventAndReturnTimeWithScreen(nullptr, false), 3600000);
    ASSERT_EQ(named("_e").size(), 1u);
    EXPECT_EQ(named("_e")[0].int64("_et"), 3600000);
}

TEST_F(SessionReporterTest, DisabledEngagementStillMovesTheSpanAndRearmsTheTimer) {
    auto& reporter = make(false);
    becomeActive();
    advance(42);
    const double lastActivity = persisted_->lastSessionActivityClockTime();
    EXPECT_EQ(reporter.logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(reporter.engagementStartUptime(), APMSessionReporter::currentUptime());
    EXPECT_EQ(persisted_->lastSessionActivityClockTime(), sim::wallClockSeconds());
    EXPECT_NE(persisted_->lastSessionActivityClockTime(), lastActivity);
    ASSERT_TRUE(reporter.userEngagementTimer().scheduledTimestamp());
    EXPECT_EQ(*reporter.userEngagementTimer().scheduledTimestamp(), sim::wallClockSeconds() + 3600);
}

TEST_F(SessionReporterTest, NothingIsReportedBeforeTheApplicationIsActive) {
    auto& reporter = make();
    reporter.logSessionStartEvent();
    EXPECT_TRUE(logged(33005));
    EXPECT_EQ(reporter.logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
    EXPECT_TRUE(logged(33006));
    EXPECT_FALSE(reporter.userEngagementTimer().scheduledTimestamp());
    reporter.logAppBackgroundEvent(5);
    EXPECT_TRUE(logged(33008));
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(persisted_->sessionNumber(), 0);
}

TEST_F(SessionReporterTest, ReportingSwitchArmsAndCancelsTheTimer) {
    auto& reporter = make(false);
    becomeActive();
    reporter.userEngagementTimer().cancel();
    reporter.setReportingEnabled(true);
    EXPECT_TRUE(reporter.userEngagementTimer().scheduledTimestamp());
    reporter.setReportingEnabled(false);
    EXPECT_FALSE(reporter.userEngagementTimer().scheduledTimestamp());
    advance(7200);
    EXPECT_TRUE(events_.empty());
}

TEST_F(SessionReporterTest, LeavingTheForegroundReportsEngagementMeasuredOnUptime) {
    struct Case {
        const char* what;
        Settings settings;
        std::optional<std::int64_t> engagement;      // "_e" "_et", none for no "_e"
        bool redundantFlag;                          // "_fr" on "_e"
        std::optional<std::int64_t> backgroundTime;  // "_ab" "_et"
    };
    const Case cases[] = {
        {"plain", {}, 90500, false, std::nullopt},
        {"efficient", kEfficient, 90500, true, 90500},
        {"efficient without redundancy", kEfficientRemoveRedundant, std::nullopt, false, 90500},
        {"redundancy removal alone", kRemoveRedundant, std::nullopt, false, std::nullopt},
    };
    for (const Case& c : cases) {
        configure(c.settings);
        events_.clear();
        auto& reporter = make();
        becomeActive();
        events_.clear();
        advance(90.5);
        resignActive();
        const auto engagements = named("_e");
        ASSERT_EQ(engagements.size(), c.engagement ? 1u : 0u) << c.what;
        if (c.engagement) {
            EXPECT_EQ(engagements[0].int64("_et"), *c.engagement) << c.what;
            EXPECT_EQ(engagements[0].int64("_fr").has_value(), c.redundantFlag) << c.what;
        }
        const auto backgrounded = named("_ab");
        ASSERT_EQ(backgrounded.size(), 1u) << c.what;
        EXPECT_EQ(backgrounded[0].int64("_et"), c.backgroundTime) << c.what;
        EXPECT_EQ(backgrounded[0].parameters.size(), c.backgroundTime ? 1u : 0u) << c.what;
        EXPECT_FALSE(reporter.userEngagementTimer().scheduledTimestamp()) << c.what;
    }
}

TEST_F(SessionReporterTest, ScreenChangesReportTheScreenThatIsLeft) {
    struct Case {
        const char* what;
        Settings settings;
        double secondsOnScreen;
        bool engagement;
        bool redundantFlag;
        std::int64_t freeRideMillis;  // what a screen view takes next
    };
    const Case cases[] = {
        {"plain", {}, 12, true, false, 0},
        {"under a second", {}, 0.5, false, false, 0},
        {"efficient", kEfficient, 12, true, true, 12000},
        {"efficient without redundancy", kEfficientRemoveRedundant, 12, false, false, 12000},
    };
    const APMScreen left(std::string("Settings"), std::string("SettingsView"), 7);
    const APMScreen entered(std::string("About"), std::string("AboutView"), 8);
    for (const Case& c : cases) {
        configure(c.settings);
        auto& reporter = make();
        becomeActive();
        events_.clear();
        advance(c.secondsOnScreen);
        reporter.handleScreenDidChangeFromScreen(&left, &entered);
        const auto engagements = named("_e");
        ASSERT_EQ(engagements.size(), c.engagement ? 1u : 0u) << c.what;
        if (c.engagement) {
            EXPECT_EQ(engagements[0].int64("_et"), 12000) << c.what;
            EXPECT_EQ(engagements[0].int64("_si"), 7) << c.what;
            const auto& parameters = engagements[0].parameters;
            EXPECT_EQ(parameters.at("_sc").stringValue(), "SettingsView") << c.what;
            EXPECT_EQ(parameters.at("_sn").stringValue(), "Settings") << c.what;
            EXPECT_EQ(engagements[0].int64("_fr").has_value(), c.redundantFlag) << c.what;
        }
        EXPECT_EQ(reporter.cutFreerideEngagementTimeMillis(), c.freeRideMillis) << c.what;
        EXPECT_EQ(reporter.cutFreerideEngagementTimeMillis(), 0) << c.what;
    }
}

TEST_F(SessionReporterTest, ANewReporterTakesOverTheLifecycle) {
    auto& first = make();
    becomeActive();
    EXPECT_EQ(APMSessionReporter::current().get(), &first);
    auto& second = make();  // the engine replaces its reporter after a reset
    EXPECT_EQ(APMSessionReporter::current().get(), &second);
    // Switched on while the application is active, the new one arms its timer.
    EXPECT_TRUE(second.userEngagementTimer().scheduledTimestamp());
    events_.clear();
    advance(3600);
    EXPECT_EQ(named("_e").size(), 1u);
    resignActive();
    EXPECT_EQ(named("_ab").size(), 1u);
    reporter_.reset();
    EXPECT_FALSE(APMSessionReporter::current());
}

// The screen-view reporter's queue cuts free-ride time while the main queue
// reports engagement. Each step reads and restarts a span; the lock keeps
// those steps whole, which the thread sanitizer build checks.
TEST_F(SessionReporterTest, SpansAreCutAndRestartedFromTwoQueuesAtOnce) {
    configure(kEfficient);
    auto& reporter = make();
    becomeActive();
    advance(30);
    auto screenQueue = DispatchQueue::create(APMScreenViewReporter::kQueueLabel);
    std::int64_t cut = 0;
    screenQueue->async([&] {
        for (int i = 0; i < 200; ++i) cut += reporter.cutFreerideEngagementTimeMillis();
    });
    for (int i = 0; i < 200; ++i)
        reporter.logEngagementEventAndReturnTimeWithScreen(nullptr, false);
    screenQueue->sync([] {});
    // The 30 s went to exactly one side, however the steps interleaved.
    std::int64_t engaged = 0;
    for (const auto& e : named("_e")) engaged += e.int64("_et").value_or(0);
    EXPECT_EQ(cut + engaged, 30000);
    EXPECT_EQ(reporter.freerideEngagementStartUptime(), APMSessionReporter::currentUptime());
}

class ScreenViewReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reporter_->resetForTesting(-2);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override { reporter_->resetForTesting(0); }
    std::shared_ptr<APMScreenViewReporter> reporter_ = APMScreenViewReporter::sharedInstance();
};

TEST_F(ScreenViewReporterTest, ActiveFlagFollowsTheApplicationAndStaysSet) {
    EXPECT_FALSE(APMIsAppActive());
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillResignActiveNotification");
    EXPECT_FALSE(APMIsAppActive());
    EXPECT_FALSE(reporter_->appHasBeenInitialized());
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationDidBecomeActiveNotification");
    EXPECT_TRUE(APMIsAppActive());
    EXPECT_TRUE(reporter_->appHasBeenInitialized());
    // Once active, the library treats the application as active for good.
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillResignActiveNotification");
    EXPECT_TRUE(APMIsAppActive());
}

TEST_F(ScreenViewReporterTest, ScreenParametersOfTheCurrentScreen) {
    EXPECT_TRUE(reporter_->screenParameters().empty());
    // Screens before the first activation count; ids follow the seed and wrap.
    const APMScreen first = reporter_->setCurrentScreen("Preferences", "PreferencesView", 10);
    EXPECT_EQ(first.instanceID(), -1);
    EXPECT_TRUE(first.isManuallyTracked());
    EXPECT_EQ(reporter_->setCurrentScreen(std::nullopt, std::nullopt, 11).instanceID(), 0);
    reporter_->resetForTesting(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(reporter_->incrementScreenInstanceID(), std::numeric_limits<std::int64_t>::min());

    reporter_->setCurrentScreen("Preferences", "PreferencesView", 12);
    const APMRawParameters parameters = reporter_->screenParameters();
    ASSERT_EQ(parameters.size(), 3u);
    EXPECT_EQ(std::get<APMValue>(parameters.at("_si")).int64Value(),
              std::numeric_limits<std::int64_t>::min() + 1);
    EXPECT_EQ(std::get<APMValue>(parameters.at("_sc")).stringValue(), "PreferencesView");
    EXPECT_EQ(std::get<APMValue>(parameters.at("_sn")).stringValue(), "Preferences");
}

TEST_F(ScreenViewReporterTest, ParameterSetsStopAtTheFirstInvalidText) {
    const std::string tooLong(101, 'x');
    struct Case {
        std::optional<std::string> name, className;
        std::vector<std::string> current, previous;
        long long logged;  // 0: none
    };
    const Case cases[] = {
        {"Main", "MainView", {"_sc", "_si", "_sn"}, {"_pc", "_pi", "_pn"}, 0},
        {"Main", tooLong, {"_si"}, {"_pi", "_pn"}, 31015},
        {"Main", "", {"_si", "_sn"}, {"_pi", "_pn"}, 31014},
        {tooLong, "MainView", {"_sc", "_si"}, {"_pc", "_pi"}, 0},
        {std::nullopt, std::nullopt, {"_si"}, {"_pi"}, 0},
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        const APMScreen screen(c.name, c.className, 5);
        std::vector<std::string> current, previous;
        for (const auto& [key, value] : APMScreenParameters(screen)) current.push_back(key);
        EXPECT_EQ(current, c.current) << c.className.value_or("-");
        for (const auto& [key, value] : APMPreviousScreenParameters(screen))
            previous.push_back(key);
        EXPECT_EQ(previous, c.previous) << c.className.value_or("-");
        if (c.logged) {
            EXPECT_TRUE(logged(c.logged)) << c.className.value_or("-");
        }
    }
}

}  // namespace
