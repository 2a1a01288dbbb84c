#include <algorithm>
#include <thread>

#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/tests/AnalyticsTestSupport.h"
#include "services/measurement/APMPersistedConfig.h"

namespace {

TEST_F(AnalyticsTest, WorkBeforeStartWaitsAndArrivesInOrderWithItsOwnTimes) {
    const double first = sim::wallClockSeconds();
    APMAnalytics::logEventWithName("first_event", Dictionary{{"n", 1}});
    sim::advanceClock(std::chrono::seconds(5));
    APMAnalytics::logEventWithName("second_event", Dictionary{{"n", 2}});
    APMAnalytics::setSessionTimeoutInterval(90);  // reaches no engine yet
    EXPECT_TRUE(appEvents().empty());
    EXPECT_FALSE(APMMeasurement::hasSharedInstance());

    sim::advanceClock(std::chrono::seconds(5));
    start();
    std::vector<APMEvent> events;
    for (const APMEvent& event : APMMeasurement::sharedInstance()->keptEvents())
        if (event.origin() != "auto" || !isEngineReport(event.name())) events.push_back(event);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name(), "first_event");
    EXPECT_EQ(events[0].origin(), "app");
    EXPECT_DOUBLE_EQ(events[0].timestamp(), first);
    EXPECT_EQ(events[1].name(), "second_event");
    EXPECT_DOUBLE_EQ(events[1].timestamp(), first + 5);
    EXPECT_EQ(APMMeasurement::sharedInstance()->sessionTimeoutInterval(), 90);
}

TEST_F(AnalyticsTest, AScreenViewLoggedBeforeStartWaitsForTheEngine) {
    APMAnalytics::logEventWithName("screen_view", Dictionary{{"screen_name", "Settings"}});
    start();
    std::vector<std::string> kept;
    for (const APMEvent& event : APMMeasurement::sharedInstance()->keptEvents())
        kept.push_back(event.name());
    EXPECT_NE(std::find(kept.begin(), kept.end(), "_vs"), kept.end());
}

TEST_F(AnalyticsTest, ThePersonalizedAdsChoiceSetsNpaAtOnceByTheTextRule) {
    start();
    struct Case {
        std::optional<Value> choice;
        std::optional<long long> npa;  // absent: no "_npa"
    };
    const Case cases[] = {
        {Value("YES"), 0},    {Value("no"), 1}, {Value("Yes, please"), 0},
        {Value("  +007"), 0}, {Value("0"), 1},  {Value("t"), 0},
        {Value(2), 0},        {Value(0), 1},    {Value(false), 1},
        {Value(true), 0},     {Value("2"), 0},  {std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string what = c.choice ? c.choice->description() : "nil";
        APMAnalytics::setUserPropertyString(c.choice, "allow_personalized_ads");
        APMAnalytics::waitForPendingWorkForTesting();
        auto properties = userProperties(true);
        ASSERT_TRUE(properties) << what;
        const Value* npa = properties->find("_npa");
        if (!c.npa) {
            EXPECT_FALSE(npa) << what;
            continue;
        }
        ASSERT_TRUE(npa) << what;
        EXPECT_EQ(npa->asInt(), c.npa) << what;
    }
}

TEST_F(AnalyticsTest, AStartThatEndsEarlyStillAnswersTheWaitingWork) {
    APMAnalytics::logEventWithName("never_kept", Dictionary{});
    std::promise<Dictionary> properties;
    APMAnalytics::userPropertiesIncludingInternal(
        false, DispatchQueue::global(), [&](Dictionary answer) { properties.set_value(answer); });
    std::promise<int> maximum;
    APMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(
        "rrc", DispatchQueue::global(), [&](int count) { maximum.set_value(count); });

    // With the public face present, a start not made through it ends
    // before making the engine.
    ZAROduzozova::registerClass();
    APMAnalytics::startWithAppID("1:100000000001:ios:0000000000000000", "zd", Dictionary{});
    auto answered = properties.get_future();
    auto counted = maximum.get_future();
    ASSERT_EQ(answered.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_EQ(counted.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(answered.get().empty());
    EXPECT_EQ(counted.get(), 0);
    EXPECT_TRUE(appEvents().empty());
    EXPECT_FALSE(APMMeasurement::hasSharedInstance());
}

TEST_F(AnalyticsTest, AStartWithAnEmptyAppIDMakesNoEngineAndDropsTheWork) {
    APMAnalytics::logEventWithName("never_kept", Dictionary{});
    APMAnalytics::startWithAppID("", "ra", Dictionary{});
    APMAnalytics::waitForPendingWorkForTesting();
    EXPECT_FALSE(APMMeasurement::hasSharedInstance());
    EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
    EXPECT_TRUE(appEvents().empty());
    EXPECT_TRUE(logged(23170));
}

TEST_F(AnalyticsTest, CollectionSwitchDecidesWhatIsKept) {
    start();
    struct Step {
        bool enabled;
        bool persist;
        int64_t storedState;
        bool kept;
    };
    const Step steps[] = {
        {false, true, 2, false},
        {true, false, 2, true},
        {false, false, 2, false},
        {true, true, 1, true},
    };
    int n = 0;
    for (const Step& step : steps) {
        APMAnalytics::clearLoggedEventsForTesting();
        APMAnalytics::setAnalyticsEnabled(step.enabled, step.persist);
        const std::string name = "step_" + std::to_string(++n);
        APMAnalytics::logEventWithName(name, Dictionary{});
        EXPECT_EQ(APMAnalytics::isAnalyticsEnabled(), step.enabled) << name;
        EXPECT_EQ(names() == std::vector<std::string>{name}, step.kept) << name;
        EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), step.storedState)
            << name;
    }
}

TEST_F(AnalyticsTest, ADeactivatedStartCannotBeEnabledButCanBeDisabled) {
    start(Dictionary{{"RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED", true}});
    APMAnalytics::setAnalyticsEnabled(true, true);
    EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
    APMAnalytics::logEventWithName("while_off", Dictionary{});
    EXPECT_TRUE(appEvents().empty());
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
    APMAnalytics::setAnalyticsEnabled(false, true);
    EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
    EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
}

TEST_F(AnalyticsTest, PublicEventNamesAreCheckedAndRefusalsAreReportedAsErrorEvents) {
    start();
    struct Case {
        std::string name;
        std::optional<int64_t> errorCode;  // absent: the event itself is kept
        std::string kept = "";             // the name it is kept under, when not its own
    };
    const Case cases[] = {
        {"mic_muted", std::nullopt},
        {"screen_view", std::nullopt, "_vs"},  // becomes the screen-view event
        {"zevera_custom", 13},                 // reserved prefix
        {"app_remove", 13},                    // reserved name
        {"_internal", 2},                      // an internal name
        {std::string(41, 'a'), 2},             // too long
        {"9lives", 2},                         // illegal characters
    };
    for (const Case& c : cases) {
        APMAnalytics::clearLoggedEventsForTesting();
        APMAnalytics::logEventWithName(c.name, Dictionary{{"source", "test"}});
        auto events = appEvents();
        ASSERT_EQ(events.size(), 1u) << c.name;
        if (!c.errorCode) {
            EXPECT_EQ(events[0].name, c.kept.empty() ? c.name : c.kept);
            continue;
        }
        EXPECT_EQ(events[0].name, "_err") << c.name;
        EXPECT_EQ(events[0].origin, "auto") << c.name;
        EXPECT_EQ(events[0].parameters["_err"].asInt(), c.errorCode) << c.name;
        EXPECT_EQ(
            events[0].parameters["_ev"].asString().value_or("").rfind(c.name.substr(0, 40), 0), 0u)
            << c.name;
    }
}

TEST_F(AnalyticsTest, UserPropertiesAreCheckedAndReachTheEngine) {
    start();
    APMAnalytics::setUserPropertyString(Value("gold"), "tier");
    EXPECT_EQ(userProperties(), (Dictionary{{"tier", "gold"}}));

    struct Case {
        std::optional<Value> value;
        std::string name;
        std::string origin;
        long long code;  // the monitor line, 0 for none
        bool stored;
    };
    const Case cases[] = {
        {Value(5), "tier", "", 25003, false},
        {Value("x"), "origin_33", std::string(33, 'o'), 25005, false},
        {Value("x"), "origin_32", std::string(32, 'o'), 0, true},
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        if (c.origin.empty())
            APMAnalytics::setUserPropertyString(c.value, c.name);
        else
            APMAnalytics::sharedInstance()->setInternalUserProperty(c.value, c.name, c.origin);
        APMAnalytics::waitForPendingWorkForTesting();
        if (c.code) {
            EXPECT_TRUE(logged(c.code)) << c.name;
        }
        auto all = userProperties(true);
        ASSERT_TRUE(all);
        EXPECT_EQ(all->contains(c.name) && (*all)[c.name] == *c.value, c.stored) << c.name;
    }

    APMAnalytics::setUserID(Value(42));
    APMAnalytics::waitForPendingWorkForTesting();
    EXPECT_TRUE(logged(25004));
    APMAnalytics::setUserID(Value("user-1"));
    EXPECT_EQ((*userProperties(true))["_id"], Value("user-1"));
    APMAnalytics::setUserID(std::nullopt);
    EXPECT_FALSE(userProperties(true)->contains("_id"));

    // Removing with an invalid public name changes nothing and reports no
    // error event.
    APMAnalytics::clearLoggedEventsForTesting();
    APMAnalytics::setUserPropertyString(std::nullopt, "_tier");
    EXPECT_TRUE(userProperties()->contains("tier"));
    EXPECT_TRUE(appEvents().empty());
    APMAnalytics::setUserPropertyString(std::nullopt, "tier");
    EXPECT_FALSE(userProperties()->contains("tier"));
}

TEST_F(AnalyticsTest, DefaultParametersWhileDisabledHaveNoEffectLaterEither) {
    start();
    APMAnalytics::setAnalyticsEnabled(false);
    APMAnalytics::setDefaultEventParameters(Dictionary{{"tier", "gold"}});
    APMAnalytics::setAnalyticsEnabled(true);
    APMAnalytics::logEventWithName("plain", Dictionary{});
    APMAnalytics::setDefaultEventParameters(Dictionary{{"plan", "pro"}});
    APMAnalytics::logEventWithName("with_default", Dictionary{});
    auto events = appEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_FALSE(events[0].parameters.contains("tier"));
    EXPECT_EQ(events[1].parameters["plan"], Value("pro"));
    EXPECT_FALSE(events[1].parameters.contains("tier"));
}

TEST_F(AnalyticsTest, ListenersSeeKeptEventsAndBadHandlesAreReported) {
    APMAnalytics::removeLogEventListener(&home_);
    start();
    EXPECT_TRUE(logged(25014));

    std::mutex mutex;
    std::vector<std::string> seen;
    auto handle = APMAnalytics::addLogEventListener([&](const APMEvent& event) {
        std::lock_guard lock(mutex);
        seen.push_back(event.name());
    });
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(APMAnalytics::addLogEventListener(nullptr), nullptr);
    EXPECT_TRUE(logged(25012));
    APMAnalytics::logEventWithName("heard", Dictionary{});
    APMAnalytics::waitForPendingWorkForTesting();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen, std::vector<std::string>{"heard"});
    }
    APMAnalytics::removeLogEventListener(&seen);
    APMAnalytics::removeLogEventListener(nullptr);
    APMAnalytics::removeLogEventListener(handle);
    APMAnalytics::logEventWithName("unheard", Dictionary{});
    APMAnalytics::waitForPendingWorkForTesting();
    EXPECT_TRUE(logged(25015));
    EXPECT_TRUE(logged(25013));
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, std::vector<std::string>{"heard"});
}

TEST_F(AnalyticsTest, ASafelistWithOneInvalidNameIsDiscardedWhole) {
    start(Dictionary{{"safelisted_events", Array{Value("_valid"), Value("9 invalid")}}});
    EXPECT_TRUE(logged(25035));
    APMAnalytics::logInternalEventWithOrigin("rrc", "_other", Dictionary{});
    EXPECT_EQ(names(), std::vector<std::string>{"_other"});
}

}  // namespace
