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

TEST(ExperimentController, ClearsReplacesAndSetsExperiments) {
    auto analytics = std::make_shared<FakeAnalytics>();
    analytics->properties = {experiment("A", "1"), experiment("B", "1")};
    RZRExperimentController controller(analytics);
    std::optional<NSError> error;
    double latest = 0;
    auto done = [&](std::optional<NSError> e, double l) { error = e, latest = l; };
    controller.updateExperimentConditionalUserProperties(
        "rrc", {}, 1, 1000,
        {payload("A", "2", 2000500), payload("C", "1", 3000000), payload("D", "1", 999000)}, done);
    EXPECT_FALSE(error);
    EXPECT_EQ(latest, 3000);
    EXPECT_EQ(analytics->takeCalls(), (Calls{"clear A _exp_clear", "clear B _exp_clear", "set A=2",
                                             "log _exp_set", "set C=1", "log _exp_set"}));

    // Ignore-newest at the limit: nothing set, nothing cleared, no advance.
    analytics->maximum = 3;
    controller.updateExperimentConditionalUserProperties(
        "rrc", {}, 1, 3000,
        {payload("A", "2", 1), payload("C", "1", 1), payload("D", "1", 4000000, "IGNORE_NEWEST"),
         payload("E", "1", 4000000, "IGNORE_NEWEST")},
        done);
    EXPECT_EQ(analytics->takeCalls(), (Calls{"set D=1", "log _exp_set"}));
    EXPECT_EQ(latest, 4000);

    // An empty list clears everything of the origin.
    controller.updateExperimentConditionalUserProperties("rrc", {}, 1, 0, {}, done);
    EXPECT_EQ(analytics->takeCalls(),
              (Calls{"clear A _exp_clear", "clear C _exp_clear", "clear D _exp_clear"}));
}

class ConfigExperimentTest : public ::testing::Test {
  protected:
    std::optional<NSError> activate() {
        std::promise<std::optional<NSError>> done;
        queue_->async([&] {
            experiment_->updateExperimentsWithHandler(
                [&](std::optional<NSError> e) { done.set_value(e); });
        });
        return done.get_future().get();
    }
    TempHome home_;
    std::shared_ptr<RCNConfigDBManager> db_ =
        RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.remoteconfig");
    std::shared_ptr<RZRExperimentController> controller_ =
        std::make_shared<RZRExperimentController>(nullptr);
    std::shared_ptr<RCNConfigExperiment> experiment_ =
        RCNConfigExperiment::create(db_, controller_, queue_);
};

TEST_F(ConfigExperimentTest, ExperimentsWaitForAnalyticsAndForRoom) {
    queue_->sync([&] {
        auto list =
            Array{Value(*NSJSONSerialization::JSONObjectWithData(payload("A", "1", 5000000)))};
        experiment_->updateExperimentsWithResponse(Value(list));
    });
    auto error = activate();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, ABTErrorDomain);
    EXPECT_EQ(error->code, 1);

    auto analytics = std::make_shared<FakeAnalytics>();
    analytics->maximum = 0;  // no room yet
    controller_->setAnalytics(analytics);
    EXPECT_FALSE(activate());
    EXPECT_TRUE(analytics->takeCalls().empty());

    analytics->maximum = 5;
    EXPECT_FALSE(activate());
    EXPECT_EQ(analytics->takeCalls(), (Calls{"set A=1", "log _exp_set"}));
    queue_->sync([&] {
        EXPECT_EQ(experiment_->experimentMetadata()["last_experiment_start_time"], Value(5000));
    });

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

}  // namespace
