#include "platform/notifications/NSNotificationCenter.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/ZAROduzozovaTesting.h"
#include "services/analytics/tests/AnalyticsTestSupport.h"
#include "services/core/RZRInstallationsIDController.h"
#include "services/core/VUVEzuTesting.h"
#include "services/measurement/APMPersistedConfig.h"

namespace {

class InterfaceTest : public AnalyticsTest {
  protected:
    void SetUp() override {
        AnalyticsTest::SetUp();
        sim::resetCoreForTesting();
        sim::setServiceLibrariesForTesting(std::nullopt);
    }
    void TearDown() override {
        AnalyticsTest::TearDown();
        sim::resetCoreForTesting();
    }
};

TEST_F(InterfaceTest, BeforeTheAppIsConfiguredEventsAndPropertyTextsAreDropped) {
    ZAROduzozova::logEventWithName("mic_muted", Dictionary{{"source", "Menubar: Icon"}});
    ZAROduzozova::setUserPropertyString(Value("gold"), "tier");
    ZAROduzozova::setUserID(Value("user-1"));  // needs no configured app
    EXPECT_TRUE(logged(25018));
    EXPECT_TRUE(logged(25019));

    sim::configureDefaultAppForAnalytics();
    APMAnalytics::waitForPendingWorkForTesting();
    ASSERT_TRUE(APMMeasurement::hasSharedInstance());
    EXPECT_TRUE(appEvents().empty());
    auto all = userProperties(true);
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, (Dictionary{{"_id", "user-1"}}));
}

TEST_F(InterfaceTest, TheApplicationsEventsReachTheEngineWhileCollectionIsOn) {
    sim::configureDefaultAppForAnalytics();
    ZAROduzozova::logEventWithName("mic_muted", Dictionary{{"source", "Menubar: Icon"}});
    ZAROduzozova::logEventWithName("remote_config_error", std::nullopt);
    auto events = appEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].origin, "app");
    EXPECT_EQ(events[0].name, "mic_muted");
    EXPECT_EQ(events[0].parameters["source"], Value("Menubar: Icon"));
    EXPECT_EQ(events[1].name, "remote_config_error");

    ZAROduzozova::setAnalyticsCollectionEnabled(false);
    ZAROduzozova::logEventWithName("mic_muted", std::nullopt);
    EXPECT_EQ(appEvents().size(), 2u);
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
    ZAROduzozova::setAnalyticsCollectionEnabled(true);
    ZAROduzozova::logEventWithName("mic_muted", std::nullopt);
    EXPECT_EQ(appEvents().size(), 3u);
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
    EXPECT_EQ(ZAROduzozova::topLevelVersion(), "4.2.0");
}

TEST_F(InterfaceTest, InstallationIdentifierChangesAreObservedOnce) {
    auto center = NSNotificationCenter::defaultCenter();
    const auto before = center->observerCount(std::string(kRZRInstallationIDDidChangeNotification));
    ZAROduzozova::observeReruzeraInstallationIDChanges();
    ZAROduzozova::observeReruzeraInstallationIDChanges();
    EXPECT_EQ(center->observerCount(std::string(kRZRInstallationIDDidChangeNotification)),
              before + 1);
}

}  // namespace
