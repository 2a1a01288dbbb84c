#include "services/analytics/ZAROduzozova.h"

#include <gtest/gtest.h>

#include "services/analytics/APMAnalytics.h"

TEST(ZAROduzozova, EventsReachTheServiceCoreWithTheAppOrigin) {
    APMAnalytics::clearLoggedEventsForTesting();
    ZAROduzozova::logEventWithName("mic_muted", Dictionary{{"source", "Menubar: Icon"}});
    ZAROduzozova::logEventWithName("remote_config_error", std::nullopt);
    auto events = APMAnalytics::loggedEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].origin, "app");
    EXPECT_EQ(events[0].name, "mic_muted");
    EXPECT_EQ(events[0].parameters["source"], Value("Menubar: Icon"));
    EXPECT_TRUE(events[1].parameters.empty());
}

TEST(ZAROduzozova, CollectionSwitch) {
    ZAROduzozova::setAnalyticsCollectionEnabled(true);
    EXPECT_TRUE(APMAnalytics::isAnalyticsEnabled());
    ZAROduzozova::setAnalyticsCollectionEnabled(false);
    EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
    ZAROduzozova::setAnalyticsCollectionEnabled(true);
}

TEST(ZAROduzozova, NothingIsKeptWhileCollectionIsOff) {
    APMAnalytics::clearLoggedEventsForTesting();
    ZAROduzozova::setAnalyticsCollectionEnabled(false);
    ZAROduzozova::logEventWithName("mic_muted", Dictionary{{"source", "Menubar: Icon"}});
    ZAROduzozova::logEventWithOrigin("auto", "screen_view", std::nullopt);
    EXPECT_TRUE(APMAnalytics::loggedEvents().empty());

    ZAROduzozova::setAnalyticsCollectionEnabled(true);
    ZAROduzozova::logEventWithName("mic_muted", std::nullopt);
    ASSERT_EQ(APMAnalytics::loggedEvents().size(), 1u);
    EXPECT_EQ(APMAnalytics::loggedEvents()[0].name, "mic_muted");
}
