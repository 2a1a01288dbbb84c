#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/MainLoop.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/ZAROduzozovaConnector.h"
#include "services/analytics/tests/AnalyticsTestSupport.h"
#include "services/measurement/APMConditionalUserPropertyController.h"

namespace {

TEST(ConnectorUtils, AllowAndBlockTables) {
    struct Case {
        const char* what;
        bool answer;
        bool expected;
    };
    using U = RZRConnectorUtils;
    const Case cases[] = {
        {"origin app", U::isOriginAllowed("app"), false},
        {"origin auto", U::isOriginAllowed("auto"), false},
        {"origin zd", U::isOriginAllowed("zd"), false},
        {"origin rrc", U::isOriginAllowed("rrc"), true},
        {"app origin app", U::isAppOrigin("app"), true},
        {"app origin app+web", U::isAppOrigin("app+web"), true},
        {"app origin apple", U::isAppOrigin("apple"), false},
        {"listener ctr", U::isListenerOriginAllowed("ctr"), true},
        {"listener rrc", U::isListenerOriginAllowed("rrc"), false},
        {"hidden _exp_set", U::isEventNameAllowedForListeners("_exp_set"), false},
        {"shown mic_muted", U::isEventNameAllowedForListeners("mic_muted"), true},
        {"event empty", U::shouldLogEventWithName("", std::nullopt), false},
        {"event _s", U::shouldLogEventWithName("_s", std::nullopt), false},
        {"event _dbg", U::shouldLogEventWithName("_cmp", Dictionary{{"_dbg", 1}}), false},
        {"event _r", U::shouldLogEventWithName("_cmp", Dictionary{{"_r", 1}}), false},
        {"event _cmp", U::shouldLogEventWithName("_cmp", Dictionary{{"x", 1}}), true},
        {"_ln for rcm", U::isUserPropertyAllowed("_ln", "rcm"), true},
        {"_ln for riam", U::isUserPropertyAllowed("_ln", "riam"), true},
        {"_ln for rrc", U::isUserPropertyAllowed("_ln", "rrc"), false},
        {"_id", U::isUserPropertyAllowed("_id", "rrc"), false},
        {"_ltv_USD", U::isUserPropertyAllowed("_ltv_USD", "rrc"), false},
        {"_ltv_usd", U::isUserPropertyAllowed("_ltv_usd", "rrc"), true},
        {"_cc3", U::isUserPropertyAllowed("_cc3", "rrc"), false},
        {"_cc6", U::isUserPropertyAllowed("_cc6", "rrc"), true},
        {"empty property", U::isUserPropertyAllowed("", "rrc"), false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.answer, c.expected) << c.what;
}

class ConnectorTest : public AnalyticsTest {
  protected:
    std::shared_ptr<ZAROduzozovaConnector> connector_ = std::make_shared<ZAROduzozovaConnector>();
};

TEST_F(ConnectorTest, EventsAreScreenedAndMarked) {
    start();
    struct Case {
        const char* origin;
        const char* name;
        Dictionary parameters;
        std::optional<Dictionary> kept;  // the parameters that arrive, absent when dropped
    };
    const Case cases[] = {
        {"app", "_cmp", Dictionary{}, std::nullopt},
        {"auto", "_cmp", Dictionary{}, std::nullopt},
        {"zd", "_cmp", Dictionary{}, std::nullopt},
        {"rrc", "_s", Dictionary{}, std::nullopt},
        {"rrc", "_cmp", Dictionary{{"_dbg", 1}}, std::nullopt},
        {"rrc", "_cmp", Dictionary{}, Dictionary{{"_cis", "rrc_integration"}}},
        {"crash", "_cmp", Dictionary{}, Dictionary{}},
        {"ctr", "_ae", Dictionary{}, Dictionary{{"_r", 1}}},
        {"rp", "personalization_assignment", Dictionary{{"arm_key", "k"}},
         Dictionary{{"arm_key", "k"}}},
    };
    for (const Case& c : cases) {
        APMAnalytics::clearLoggedEventsForTesting();
        connector_->logEventWithOrigin(c.origin, c.name, c.parameters);
        auto events = appEvents();
        if (!c.kept) {
            EXPECT_TRUE(events.empty()) << c.origin << " " << c.name;
            continue;
        }
        ASSERT_EQ(events.size(), 1u) << c.origin << " " << c.name;
        EXPECT_EQ(events[0].origin, c.origin);
        for (const auto& [key, value] : *c.kept)
            EXPECT_EQ(events[0].parameters[key], value) << c.origin << " " << key;
        if (c.kept->empty()) {
            EXPECT_FALSE(events[0].parameters.contains("_cis"));
        }
    }
}

TEST_F(ConnectorTest, UserPropertiesFollowTheTables) {
    start();
    connector_->setUserPropertyWithOrigin("rrc", "level", Value("7"));
    connector_->setUserPropertyWithOrigin("rrc", "_id", Value("someone"));
    connector_->setUserPropertyWithOrigin("app", "level2", Value("7"));
    connector_->setUserPropertyWithOrigin("rcm", "_ln", Value("12"));
    auto all = userProperties(true);
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, (Dictionary{{"level", "7"}, {"_ln", "12"}}));

    std::promise<Dictionary> answer;
    connector_->getUserPropertiesWithCallback([&](Dictionary properties) {
        EXPECT_EQ(DispatchQueue::currentLabel(), "com.zevera.analytics_connector.queue");
        answer.set_value(properties);
    });
    auto future = answer.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(future.get(), (Dictionary{{"level", "7"}}));
}

// Covers the stack where a returned call's frame was with a pattern and
// keeps it there until `release`; false when anything wrote into it.
[[gnu::noinline]] bool stackStaysUntouched(std::promise<void>& covered,
                                           std::shared_future<void> release) {
    constexpr std::size_t kSize = 64 * 1024;
    volatile unsigned char area[kSize];
    for (std::size_t i = 0; i < kSize; ++i) area[i] = 0x5A;
    covered.set_value();
    release.wait();
    for (std::size_t i = 0; i < kSize; ++i)
        if (area[i] != 0x5A) return false;
    return true;
}

TEST_F(ConnectorTest, MaxUserPropertiesGivesUpAfterTenSecondsAndALateAnswerIsHarmless) {
    // Before start the question waits in the operation queue.
    std::atomic<bool> asking{false};
    std::atomic<sim::Time> asked{};
    std::promise<std::pair<int, sim::Duration>> gaveUp;
    std::promise<void> covered;
    std::promise<void> release;
    auto waiter = std::async(std::launch::async, [&, released = release.get_future().share()] {
        asked = sim::Clock::now();
        asking = true;
        const int count = connector_->maxUserProperties("rrc");
        gaveUp.set_value({count, sim::Clock::now() - asked.load()});
        // The late answer must not reach the frame of the call that gave up.
        return stackStaysUntouched(covered, released);
    });
    auto answer = gaveUp.get_future();
    while (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        std::this_thread::yield();
        if (asking) sim::advanceClock(std::chrono::seconds(1));
    }
    auto [count, waited] = answer.get();
    EXPECT_EQ(count, 0);
    EXPECT_GE(waited, std::chrono::seconds(10));

    covered.get_future().wait();
    start();  // the late answer arrives for a waiter that has gone
    APMAnalytics::waitForPendingWorkForTesting();
    ZAROduzozovaConnector::connectorQueue()->sync([] {});
    release.set_value();
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(connector_->maxUserProperties("rrc"), 25);
}

class Recorder : public ZAROduzozovaInteropListener {
  public:
    void messageTriggered(const std::string& name, const Dictionary& parameters) override {
        EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread");
        heard.push_back(name);
        last = parameters;
    }
    std::vector<std::string> heard;
    Dictionary last;
};

TEST_F(ConnectorTest, ListenersHearTheirOriginAndTheApplication) {
    start();
    auto ctr = std::make_shared<Recorder>();
    auto crash = std::make_shared<Recorder>();
    auto other = std::make_shared<Recorder>();
    connector_->registerAnalyticsListener(other, "rrc");
    EXPECT_FALSE(connector_->hasLogEventListener());
    connector_->registerAnalyticsListener(ctr, "ctr");
    connector_->registerAnalyticsListener(crash, "crash");
    EXPECT_TRUE(connector_->hasLogEventListener());

    auto deliver = [] {
        APMAnalytics::waitForPendingWorkForTesting();
        ZAROduzozovaConnector::connectorQueue()->sync([] {});
        sim::MainLoop::runUntilIdle();
    };
    connector_->logEventWithOrigin("ctr", "_ae", Dictionary{{"amount", 2.5}});
    connector_->logEventWithOrigin("ctr", "_exp_set", Dictionary{});  // hidden
    connector_->logEventWithOrigin("rrc", "_cmp", Dictionary{});      // nobody's
    deliver();
    APMAnalytics::logEventWithName("mic_muted", Dictionary{});  // the application's
    deliver();
    EXPECT_EQ(ctr->heard, (std::vector<std::string>{"_ae", "mic_muted"}));
    EXPECT_EQ(crash->heard, (std::vector<std::string>{"mic_muted"}));
    EXPECT_TRUE(other->heard.empty());

    connector_->unregisterAnalyticsListenerWithOrigin("ctr");
    EXPECT_TRUE(connector_->hasLogEventListener());
    connector_->unregisterAnalyticsListenerWithOrigin("crash");
    EXPECT_FALSE(connector_->hasLogEventListener());
    APMAnalytics::logEventWithName("mic_muted", Dictionary{});
    deliver();
    EXPECT_EQ(crash->heard.size(), 1u);
}

TEST_F(ConnectorTest, ListenersMayComeAndGoWhileEventsAreDispatched) {
    start();
    auto listener = std::make_shared<Recorder>();
    connector_->registerAnalyticsListener(listener, "ctr");
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; i < 300; ++i) {
            connector_->registerAnalyticsListener(std::make_shared<Recorder>(), "crash");
            connector_->unregisterAnalyticsListenerWithOrigin("crash");
        }
        done = true;
    });
    for (int i = 0; i < 100; ++i) APMAnalytics::logEventWithName("mic_muted", Dictionary{});
    churn.join();
    APMAnalytics::waitForPendingWorkForTesting();
    ZAROduzozovaConnector::connectorQueue()->sync([] {});
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(done);
    EXPECT_EQ(listener->heard.size(), 100u);
}

TEST_F(ConnectorTest, ConditionalUserPropertiesGoToTheEngine) {
    start();
    const Dictionary base{{"origin", "rrc"},
                          {"creationTimestamp", 5.0},
                          {"triggerTimeout", 60.0},
                          {"timeToLive", 600.0},
                          {"unknownKey", "ignored"},
                          {"expiredEvent", Dictionary{{"origin", "rrc"},
                                                      {"name", "_exp_expire"},
                                                      {"parameters", Dictionary{{"e", "1"}}}}}};
    Dictionary text = base;
    text.set("name", "exp_1");
    text.set("value", "1");
    Dictionary number = base;
    number.set("name", "exp_2");
    number.set("value", 2);
    connector_->setConditionalUserProperty(Dictionary{});
    connector_->setConditionalUserProperty(text);
    connector_->setConditionalUserProperty(number);

    // The listing shows text values only; the number is kept as given.
    EXPECT_EQ(connector_->conditionalUserProperties("rrc", "exp_"),
              (std::vector<Dictionary>{Dictionary{{"name", "exp_1"}, {"value", "1"}}}));
    auto stored = APMConditionalUserPropertyController::sharedInstance()
                      ->conditionalUserPropertiesWithNamePrefix(Value("exp_2"), Value("rrc"));
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 1u);
    ASSERT_TRUE(stored->front().value());
    EXPECT_EQ(stored->front().value()->int64Value(), 2);

    connector_->clearConditionalUserProperty("exp_1", "rrc", "_exp_clear",
                                             Dictionary{{"exp_1", "1"}});
    EXPECT_EQ(connector_->conditionalUserProperties("rrc", "exp_"), std::vector<Dictionary>{});
}

}  // namespace
