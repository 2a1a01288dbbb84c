#include <gtest/gtest.h>

#include <future>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/JSON.h"
#include "services/remoteconfig/RCNConfigExperiment.h"
#include "services/remoteconfig/tests/FakeAnalytics.h"
#include "services/util/tests/TempHome.h"

namespace {

Data payload(Dictionary fields) {
    return *NSJSONSerialization::dataWithJSONObject(Value(std::move(fields)));
}
Data payload(const char* id, const char* variant, std::int64_t startMillis,
             const char* policy = "DISCARD_OLDEST") {
    return payload(Dictionary{{"experimentId", id},
                              {"variantId", variant},
                              {"experimentStartTimeMillis", startMillis},
                              {"overflowPolicy", policy}});
}

using Calls = std::vector<std::string>;

TEST(ExperimentPayload, ParsesPoliciesTimesAndEventNames) {
    struct Case {
        Value policy;
        int parsed;
        int effectiveWithCaller3;
    };
    const Case cases[] = {
        {"DISCARD_OLDEST", 1, 1}, {"IGNORE_NEWEST", 2, 2}, {"OTHER", 999, 1}, {7, 7, 1}};
    for (const auto& c : cases) {
        auto p = ABTDeserializeExperimentPayload(payload(Dictionary{{"overflowPolicy", c.policy}}));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->overflowPolicy, c.parsed);
        EXPECT_EQ(ABTConditionalUserPropertyController::overflowPolicyWithPayload(*p, 3),
                  c.effectiveWithCaller3);
        EXPECT_EQ(ABTConditionalUserPropertyController::overflowPolicyWithPayload(*p, 2),
                  p->overflowPolicyIsValid() ? c.parsed : 2);
    }
    auto both = ABTDeserializeExperimentPayload(payload(Dictionary{
        {"experimentStartTime", "2024-01-02T03:04:05.678Z"},
        {"experimentStartTimeMillis", 5},
        {"ongoingExperiments", Array{Dictionary{{"experimentId", "o"}}, Dictionary{}}}}));
    EXPECT_EQ(both->experimentStartTimeMillis, 1704164645678);
    EXPECT_EQ(both->ongoingExperiments, std::vector<std::string>{"o"});
    EXPECT_FALSE(ABTDeserializeExperimentPayload(Data{'x'}));

    RZRLifecycleEvents events;
    events.setSetExperimentEventName(std::string("_mine"));
    EXPECT_EQ(events.setExperimentEventName, "_mine");
    events.setSetExperimentEventName(std::string("mine"));
    EXPECT_EQ(events.setExperimentEventName, "_exp_set");
}

// Runs the update and answers the start time it leads to.
struct Update {
    RZRExperimentController& controller;
    std::optional<NSError> error;
    double latest = 0;
    void operator()(double lastStartTime, const std::vector<Data>& payloads) {
        controller.updateExperimentConditionalUserProperties(
            "rrc", {}, 1, lastStartTime, payloads,
            [&](std::optional<NSError> e, std::vector<Data> set) {
                error = e;
                latest = RZRExperimentController::latestExperimentStartTimestampBetweenTimestamp(
                    lastStartTime, set);
            });
    }
};

TEST(ExperimentController, ClearsReplacesAndSetsExperiments) {
    auto analytics = std::make_shared<FakeAnalytics>();
    analytics->properties = {experiment("A", "1"), experiment("B", "1")};
    RZRExperimentController controller(analytics);
    Update update{controller, std::nullopt, 0};
    update(1000,
           {payload("A", "2", 2000500), payload("C", "1", 3000000), payload("D", "1", 999000)});
    EXPECT_FALSE(update.error);
    EXPECT_EQ(update.latest, 3000);
    EXPECT_EQ(analytics->takeCalls(), (Calls{"clear A _exp_clear", "clear B _exp_clear", "set A=2",
                                             "log _exp_set", "set C=1", "log _exp_set"}));

    // At the limit of three: D takes the last place; E, ignore-newest, is not
    // set and clears nothing; the start time advances over D only.
    analytics->maximum = 3;
    update(3000,
           {payload("A", "2", 1), payload("C", "1", 1), payload("D", "1", 4000000, "IGNORE_NEWEST"),
            payload("E", "1", 5000000, "IGNORE_NEWEST")});
    EXPECT_EQ(analytics->takeCalls(), (Calls{"set D=1", "log _exp_set"}));
    EXPECT_EQ(update.latest, 4000);

    // An empty list clears everything of the origin.
    update(0, {});
    EXPECT_EQ(analytics->takeCalls(),
              (Calls{"clear A _exp_clear", "clear C _exp_clear", "clear D _exp_clear"}));
}

TEST(ExperimentController, TriggerTimeOutAndTimeToLiveAreNeverZeroSeconds) {
    struct Case {
        std::optional<std::int64_t> millis;  // absent: not in the payload
        double seconds;
    };
    const Case cases[] = {{std::nullopt, 15552000},
                          {0, 15552000},
                          {-5, 15552000},
                          {1, 0.001},
                          {500, 0.5},
                          {1500, 1.5},
                          {86400000, 86400},
                          {9000000000000000, 15552000}};
    ABTConditionalUserPropertyController controller(nullptr);
    for (const auto& c : cases) {
        Dictionary fields{{"experimentId", "A"}, {"variantId", "1"}};
        if (c.millis) {
            fields.set("triggerTimeoutMillis", *c.millis);
            fields.set("timeToLiveMillis", *c.millis);
        }
        auto parsed = ABTDeserializeExperimentPayload(payload(fields));
        ASSERT_TRUE(parsed);
        auto property = controller.createExperimentFromOrigin("rrc", *parsed, {});
        const std::string what = c.millis ? std::to_string(*c.millis) : "absent";
        EXPECT_EQ(property["triggerTimeout"], Value(c.seconds)) << what;
        EXPECT_EQ(property["timeToLive"], Value(c.seconds)) << what;
    }
}

TEST(ExperimentController, AnExperimentAnalyticsRefusesIsNotReportedSet) {
    auto analytics = std::make_shared<FakeAnalytics>();
    analytics->refuseAll = true;
    RZRExperimentController controller(analytics);
    Update update{controller, std::nullopt, 0};
    update(1000, {payload("A", "1", 2000000)});
    EXPECT_FALSE(update.error);
    EXPECT_EQ(update.latest, 1000);  // so the next activation tries again
    EXPECT_EQ(analytics->takeCalls(), (Calls{"refused A"}));

    analytics->refuseAll = false;
    update(1000, {payload("A", "1", 2000000)});
    EXPECT_EQ(update.latest, 2000);
    EXPECT_EQ(analytics->takeCalls(), (Calls{"set A=1", "log _exp_set"}));
}

class ConfigExperimentTest : public ::testing::Test {
  protected:
    void SetUp() override { analytics_->unavailable = true; }
    std::optional<NSError> activate() {
        std::promise<std::optional<NSError>> done;
        queue_->async([&] {
            experiment_->updateExperimentsWithHandler(
                [&](std::optional<NSError> e) { done.set_value(e); });
        });
        return done.get_future().get();
    }
    void receive(const std::vector<Dictionary>& payloads) {
        Array list;
        for (const auto& fields : payloads) list.emplace_back(fields);
        queue_->sync([&] { experiment_->updateExperimentsWithResponse(Value(list)); });
    }
    Value lastStartTime() {
        Value stored;
        queue_->sync(
            [&] { stored = experiment_->experimentMetadata()["last_experiment_start_time"]; });
        return stored;
    }
    TempHome home_;
    std::shared_ptr<RCNConfigDBManager> db_ =
        RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.remoteconfig");
    std::shared_ptr<FakeAnalytics> analytics_ = std::make_shared<FakeAnalytics>();
    std::shared_ptr<RZRExperimentController> controller_ =
        std::make_shared<RZRExperimentController>(analytics_);
    std::shared_ptr<RCNConfigExperiment> experiment_ =
        RCNConfigExperiment::create(db_, controller_, queue_);
};

TEST_F(ConfigExperimentTest, ExperimentsWaitForAnalyticsAndForRoom) {
    receive({Dictionary{
        {"experimentId", "A"}, {"variantId", "1"}, {"experimentStartTimeMillis", 5000000}}});
    auto error = activate();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, ABTErrorDomain);
    EXPECT_EQ(error->code, 1);

    analytics_->unavailable = false;
    analytics_->maximum = 0;  // no room yet
    EXPECT_FALSE(activate());
    EXPECT_TRUE(analytics_->takeCalls().empty());

    analytics_->maximum = 5;
    EXPECT_FALSE(activate());
    EXPECT_EQ(analytics_->takeCalls(), (Calls{"set A=1", "log _exp_set"}));
    EXPECT_EQ(lastStartTime(), Value(5000));

    // Stored: a new object reads the payloads and the start time back.
    db_->waitForQueue();
    auto again = RCNConfigExperiment::create(db_, controller_, queue_);
    ASSERT_TRUE(sim::MainLoop::runUntil(
        [&] {
            bool loaded = false;
            queue_->sync([&] { loaded = !again->experimentPayloads().empty(); });
            return loaded;
        },
        std::chrono::seconds(30)));
    queue_->sync(
        [&] { EXPECT_EQ(again->experimentMetadata()["last_experiment_start_time"], Value(5000)); });
}

TEST_F(ConfigExperimentTest, AnExperimentWithoutTriggerTimeOutIsSetOnce) {
    analytics_->unavailable = false;
    receive({Dictionary{{"experimentId", "A"},
                        {"variantId", "1"},
                        {"triggerEvent", "mic_muted"},
                        {"experimentStartTimeMillis", 7000000}}});
    EXPECT_FALSE(activate());
    EXPECT_EQ(analytics_->takeCalls(), (Calls{"set A=1", "log _exp_set"}));
    EXPECT_EQ(lastStartTime(), Value(7000));
    EXPECT_FALSE(activate());
    EXPECT_TRUE(analytics_->takeCalls().empty());
}

}  // namespace
