#include "services/measurement/APMAdExposureReporter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

struct Exposure {
    std::string origin;
    std::string name;
    std::optional<std::string> adUnit;
    std::int64_t milliseconds = 0;
    std::optional<std::string> screen;

    bool operator==(const Exposure& other) const = default;
};

std::ostream& operator<<(std::ostream& os, const Exposure& e) {
    return os << e.name << "(" << e.adUnit.value_or("-") << ", " << e.milliseconds << " ms, "
              << e.screen.value_or("-") << ")";
}

Exposure unit(const std::string& id, std::int64_t ms, const std::string& screen) {
    return {"zd", "_xu", id, ms, screen};
}
Exposure overall(std::int64_t ms, const std::string& screen) {
    return {"zd", "_xa", std::nullopt, ms, screen};
}

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) return true;
    return false;
}

class AdExposureReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        database_ = APMDatabase::initWithDatabaseName("exposure-config.sql", nullptr);
        ASSERT_TRUE(database_);
        auto config = APMRemoteConfig::initWithAppID("1:123:ios:abc", database_.get());
        APMRemoteConfig::setEngineInstance(config);
        screens().resetForTesting(0);
        ads().resetForTesting();
        APMSetReporterEventLogger([this](const std::string& origin, const std::string& name,
                                         const APMEventParameters& parameters, double) {
            if (name != "_xu" && name != "_xa") return;
            Exposure e{origin, name, std::nullopt, 0, std::nullopt};
            if (auto it = parameters.find("_ai"); it != parameters.end())
                e.adUnit = it->second.stringValue();
            if (auto it = parameters.find("_xt"); it != parameters.end())
                e.milliseconds = it->second.int64Value();
            if (auto it = parameters.find("_sn"); it != parameters.end())
                e.screen = it->second.stringValue();
            std::lock_guard lock(mutex_);
            events_.push_back(e);
        });
        screens().handleApplicationDidBecomeActive();
        showScreen("Feed");
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        session_.reset();
        ads().resetForTesting();
        APMSetReporterEventLogger(nullptr);
        screens().resetForTesting(0);
        APMRemoteConfig::setEngineInstance(nullptr);
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }

    static APMScreenViewReporter& screens() { return *APMScreenViewReporter::sharedInstance(); }
    static APMAdExposureReporter& ads() { return *APMAdExposureReporter::sharedInstance(); }

    static void showScreen(const std::string& name) {
        screens().trackScreenWithParameters(Dictionary{{"screen_name", name}},
                                            sim::wallClockSeconds());
        screens().waitForPendingWorkForTesting();
    }
    static void begin(const std::string& id) {
        ads().beginAdUnitExposure(id);
        ads().waitForPendingWorkForTesting();
    }
    static void advance(double seconds) { sim::advanceClock(sim::seconds(seconds)); }

    std::vector<Exposure> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

    MeasurementTempHome home_;
    std::unique_ptr<APMDatabase> database_;
    std::shared_ptr<APMSessionReporter> session_;
    std::mutex mutex_;
    std::vector<Exposure> events_;
};

TEST_F(AdExposureReporterTest, OnlyExposuresOfAtLeastOneSecondAreLogged) {
    struct Case {
        double seconds;
        bool logged;
        std::int64_t milliseconds;
    };
    for (const Case& c : {Case{0.999, false, 0}, Case{1.0, true, 1000}, Case{1.0015, true, 1001},
                          Case{42.25, true, 42250}}) {
        SCOPED_TRACE(c.seconds);
        APMMeasurement::monitor().clearLines();
        begin("banner");
        advance(c.seconds);
        ads().endAdUnitExposure("banner");
        if (c.logged) {
            EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", c.milliseconds, "Feed"),
                                                     overall(c.milliseconds, "Feed")}));
        } else {
            EXPECT_TRUE(take().empty());
            EXPECT_TRUE(logged(1009));
            EXPECT_TRUE(logged(1006));
        }
        EXPECT_EQ(ads().openCountForTesting("banner"), 0);
    }
}

TEST_F(AdExposureReporterTest, NestedBeginsEndWithTheLastEnd) {
    begin("banner");
    advance(1);
    begin("banner");
    advance(2);
    ads().endAdUnitExposure("banner");
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(ads().openCountForTesting("banner"), 1);
    advance(3);
    ads().endAdUnitExposure("banner");
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", 6000, "Feed"), overall(6000, "Feed")}));

    // The overall span covers overlapping units; it ends with the last one.
    begin("a");
    advance(1.5);
    begin("b");
    advance(1);
    ads().endAdUnitExposure("a");
    advance(2);
    ads().endAdUnitExposure("b");
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("a", 2500, "Feed"), unit("b", 3000, "Feed"),
                                             overall(4500, "Feed")}));
}

TEST_F(AdExposureReporterTest, AScreenChangeCutsThePieceAtTheChange) {
    begin("banner");
    advance(2.5);
    showScreen("Article");
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", 2500, "Feed"), overall(2500, "Feed")}));
    advance(1.2);
    ads().endAdUnitExposure("banner");
    EXPECT_EQ(take(),
              (std::vector<Exposure>{unit("banner", 1200, "Article"), overall(1200, "Article")}));
}

TEST_F(AdExposureReporterTest, TheEngagementTimerCutsWithTheCurrentScreen) {
    auto settings = APMPersistedConfig::initWithSuiteName("exposure-test");
    APMSessionReporter::Outlet quiet;
    quiet.logInternalEvent = [](const std::string&, const APMEventParameters&) {};
    quiet.setInternalUserProperty = [](const std::string&, const std::optional<APMValue>&) {};
    session_ = APMSessionReporter::initWithPersistedConfig(settings, quiet);
    session_->setReportingEnabled(true);  // arms the timer: the app is active

    begin("banner");
    sim::advanceAndRun(sim::seconds(3599));
    EXPECT_TRUE(take().empty());
    sim::advanceAndRun(sim::seconds(1));
    EXPECT_EQ(take(),
              (std::vector<Exposure>{unit("banner", 3600000, "Feed"), overall(3600000, "Feed")}));
    // The unit stays open: the next piece starts at the cut.
    advance(4);
    ads().endAdUnitExposure("banner");
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", 4000, "Feed"), overall(4000, "Feed")}));
}

TEST_F(AdExposureReporterTest, BackgroundTimeIsNeverCounted) {
    begin("banner");
    advance(3);
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillResignActiveNotification");
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", 3000, "Feed"), overall(3000, "Feed")}));
    advance(600);
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationDidBecomeActiveNotification");
    advance(1.5);
    ads().endAdUnitExposure("banner");
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", 1500, "Feed"), overall(1500, "Feed")}));
}

TEST_F(AdExposureReporterTest, AtMostOneHundredUnitsAreOpen) {
    for (int i = 0; i < 100; ++i) ads().beginAdUnitExposure("unit-" + std::to_string(i));
    begin("unit-100");
    EXPECT_TRUE(logged(1002));
    EXPECT_EQ(ads().openCountForTesting("unit-100"), 0);
    // Also a unit already open is not counted again while the limit holds.
    APMMeasurement::monitor().clearLines();
    begin("unit-7");
    EXPECT_TRUE(logged(1002));
    EXPECT_EQ(ads().openCountForTesting("unit-7"), 1);
    // One closes: a new one fits.
    advance(1);
    ads().endAdUnitExposure("unit-0");
    begin("unit-100");
    EXPECT_EQ(ads().openCountForTesting("unit-100"), 1);
}

TEST_F(AdExposureReporterTest, UnbalancedAndEmptyCallsAreIgnored) {
    struct Case {
        const char* what;
        std::function<void()> call;
        long long code;
    };
    const std::vector<Case> cases = {
        {"end without begin", [] { ads().endAdUnitExposure("never"); }, 1004},
        {"end with empty id", [] { ads().endAdUnitExposure(std::string()); }, 1003},
        {"end without id", [] { ads().endAdUnitExposure(std::nullopt); }, 1003},
        {"begin with empty id", [] { begin(""); }, 1000},
        {"begin without id", [] { ads().beginAdUnitExposure(std::nullopt); }, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        APMMeasurement::monitor().clearLines();
        c.call();
        EXPECT_TRUE(logged(c.code));
    }
    begin("banner");
    advance(2);
    ads().endAdUnitExposure("banner");
    APMMeasurement::monitor().clearLines();
    ads().endAdUnitExposure("banner");  // one end too many
    EXPECT_TRUE(logged(1004));
    EXPECT_EQ(take(), (std::vector<Exposure>{unit("banner", 2000, "Feed"), overall(2000, "Feed")}));
}

TEST_F(AdExposureReporterTest, DisabledReportingLogsNothing) {
    ads().setReportingEnabled(false);
    begin("banner");
    advance(5);
    ads().endAdUnitExposure("banner");
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(logged(1007));
    EXPECT_TRUE(logged(1005));
}

}  // namespace
