#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/measurement/APMConditionalUserPropertyController.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

// The engine's side: a serial worker queue, the database and the events
// it was asked to write.
class FakeEngine : public APMConditionalUserPropertyEngine {
  public:
    explicit FakeEngine(APMDatabase* database)
        : database_(database), queue_(DispatchQueue::create("test.measurement.worker")) {}
    bool isEnabled() override { return enabled; }
    APMDatabase* database() override { return database_; }
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override {
        blockIDs.push_back(blockID);
        queue_->async(std::move(block));
    }
    bool checkOnBackgroundThread(const std::string&) override {
        return DispatchQueue::currentLabel() == queue_->label();
    }
    void writeEventOnWorkerQueue(const APMEvent& event) override { written.push_back(event); }

    // Runs on the worker queue and waits for it, after everything posted.
    void onWorker(const std::function<void()>& block) { queue_->sync(block); }
    void drain() {
        queue_->sync([] {});
    }

    std::atomic<bool> enabled{true};
    std::vector<std::string> blockIDs;
    std::vector<APMEvent> written;

  private:
    APMDatabase* database_;
    std::shared_ptr<DispatchQueue> queue_;
};

class ConditionalUserPropertyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        now = sim::wallClockSeconds();
        database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
        ASSERT_TRUE(database);
        engine = std::make_shared<FakeEngine>(database.get());
        controller = std::make_shared<APMConditionalUserPropertyController>(engine);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        engine->drain();
        sim::useRealClock();
    }

    static APMEvent event(const std::string& name, APMRawParameters parameters = {}) {
        return *APMEvent::initWithOrigin("app", false, name, 1, 0, parameters);
    }
    static APMValue text(const std::string& s) { return APMValue(APMValueTypeString, Value(s)); }
    static APMConditionalUserProperty property(const std::string& trigger,
                                               const std::string& value = "v",
                                               const std::string& origin = "fcm") {
        APMConditionalUserProperty p;
        p.setOrigin(origin);
        p.setValue(text(value));
        p.setTriggerEventName(trigger);
        p.setTriggerTimeout(60);
        p.setTimeToLive(100);
        return p;
    }
    void set(const APMConditionalUserProperty& p, const std::string& name) {
        controller->setConditionalUserProperty(&p, name);
        engine->drain();
    }
    std::optional<std::vector<APMEvent>> process(const std::string& name) {
        std::optional<std::vector<APMEvent>> out;
        const APMEvent e = event(name);
        engine->onWorker([&] { out = controller->processEventOnWorkerQueue(&e); });
        return out;
    }
    bool logged(long long code) const {
        for (const auto& line : APMMeasurement::monitor().lines()) {
            if (line.messageCode == code) return true;
        }
        return false;
    }
    std::vector<std::string> writtenNames() const {
        std::vector<std::string> out;
        for (const auto& e : engine->written) out.push_back(e.name());
        return out;
    }

    MeasurementTempHome home;
    double now = 0;
    std::unique_ptr<APMDatabase> database;
    std::shared_ptr<FakeEngine> engine;
    std::shared_ptr<APMConditionalUserPropertyController> controller;
};

TEST_F(ConditionalUserPropertyTest, ValidationLimits) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // one code point beyond the basic plane
    auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    struct Case {
        std::string origin, name;
        std::optional<APMValue> value;
        double timeout, ttl;
        bool valid;
        long long code;  // logged on refusal; 0 when a validator logs its own
    } cases[] = {
        {"fcm", "p", text("v"), 60, 100, true, 0},
        {"fcm", "p", std::nullopt, 60, 100, true, 0},
        {"fcm", "p", APMValue::initWithInt64(5), 60, 100, true, 0},
        {"fcm", "p", text(repeat(emoji, 36)), 0.001, 15552000, true, 0},
        {"fcm", "p", text(repeat(emoji, 37)), 60, 100, false, 0},
        {"fcm", "p", text(""), 60, 100, false, 0},
        {"fcm", std::string(24, 'n'), text("v"), 60, 100, true, 0},
        {"fcm", std::string(25, 'n'), text("v"), 60, 100, false, 0},
        {"fcm", "n" + emoji, text("v"), 60, 100, false, 0},
        {"fcm", "", text("v"), 60, 100, false, 0},
        {std::string(32, 'o'), "p", text("v"), 60, 100, true, 0},
        {std::string(33, 'o'), "p", text("v"), 60, 100, false, 0},
        {"f-m", "p", text("v"), 60, 100, false, 0},
        {"fcm", "p", text("v"), 15552000, 15552000, true, 0},
        {"fcm", "p", text("v"), 0, 100, false, 11000},
        {"fcm", "p", text("v"), 0.0009, 100, false, 11000},
        {"fcm", "p", text("v"), 15552001, 100, false, 11000},
        {"fcm", "p", text("v"), 60, 0, false, 11001},
        {"fcm", "p", text("v"), 60, 15552001, false, 11001},
    };
    for (const auto& c : cases) {
        APMConditionalUserProperty p;
        p.setOrigin(c.origin);
        p.setName(c.name);
        p.setValue(c.value);
        p.setTriggerTimeout(c.timeout);
        p.setTimeToLive(c.ttl);
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(APMIsValidConditionalUserProperty(p), c.valid)
            << c.origin << " " << c.name << " " << c.timeout << " " << c.ttl;
        if (c.code) {
            EXPECT_TRUE(logged(c.code)) << c.code;
        }
    }
    // A refused property is never scheduled.
    auto refused = property("");
    refused.setTriggerTimeout(0);
    set(refused, "p");
    EXPECT_TRUE(engine->blockIDs.empty());
    controller->setConditionalUserProperty(nullptr, "p");
    EXPECT_TRUE(logged(11002));
}

TEST_F(ConditionalUserPropertyTest, NoTriggerMeansActiveAtOnce) {
    auto p = property("");
    p.setTriggeredEvent(event("on", {{"n", Value(1)}}));
    set(p, "level");
    EXPECT_EQ(engine->blockIDs,
              std::vector<std::string>{"APMConditionalUserPropertyController:88"});
    auto stored = database->conditionalUserPropertyWithName("level");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->isActive());
    EXPECT_EQ(stored->creationTimestamp(), now);
    EXPECT_EQ(stored->triggeredTimestamp(), now);
    auto attribute = database->userAttributeWithName("level");
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->value(), text("v"));
    EXPECT_EQ(attribute->origin(), "fcm");
    EXPECT_EQ(attribute->lastSetTimestamp(), now);
    ASSERT_EQ(engine->written.size(), 1u);
    const APMEvent& on = engine->written[0];
    EXPECT_EQ(on.name(), "on");
    EXPECT_EQ(on.origin(), "fcm");
    EXPECT_EQ(on.timestamp(), now);
    EXPECT_EQ(on.parameters().at("n"), APMValue::initWithInt64(1));
    EXPECT_TRUE(logged(11012));
    EXPECT_TRUE(logged(11013));
}

TEST_F(ConditionalUserPropertyTest, ResettingAnActivePropertyKeepsItsActivationAndNewValue) {
    auto first = property("");
    first.setTriggeredEvent(event("on"));
    set(first, "level");
    engine->written.clear();
    sim::advanceClock(sim::seconds(10));

    auto second = property("purchase", "new", "other");
    second.setTriggerTimeout(30);
    second.setTimeToLive(500);
    second.setTriggeredEvent(event("on2"));
    second.setTimedOutEvent(event("late"));
    second.setExpiredEvent(event("gone"));
    set(second, "level");

    auto stored = database->conditionalUserPropertyWithName("level");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->origin(), "fcm");
    EXPECT_EQ(stored->creationTimestamp(), now);
    EXPECT_EQ(stored->triggerEventName(), "");
    EXPECT_EQ(stored->triggeredEvent()->name(), "on");
    EXPECT_EQ(stored->triggerTimeout(), 60);
    EXPECT_TRUE(stored->isActive());
    EXPECT_EQ(stored->triggeredTimestamp(), now);
    EXPECT_EQ(stored->value(), text("new"));
    EXPECT_EQ(stored->timeToLive(), 500);
    EXPECT_EQ(stored->timedOutEvent()->name(), "late");
    EXPECT_EQ(stored->expiredEvent()->name(), "gone");
    EXPECT_TRUE(logged(11010));  // a different origin is noted
    // The user property follows the property's new value.
    auto attribute = database->userAttributeWithName("level");
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->value(), text("new"));
    EXPECT_EQ(attribute->origin(), "fcm");
    EXPECT_EQ(attribute->lastSetTimestamp(), now + 10);
    EXPECT_TRUE(engine->written.empty());  // activation is not repeated
}

TEST_F(ConditionalUserPropertyTest, ALoggedEventTriggersEveryWaitingProperty) {
    auto a = property("purchase", "a");
    a.setTriggeredEvent(event("on_a"));
    auto b = property("purchase", "b");
    b.setTriggeredEvent(event("on_b"));
    set(a, "pa");
    set(b, "pb");
    set(property("other"), "pc");
    EXPECT_FALSE(database->userAttributeWithName("pa"));
    sim::advanceClock(sim::seconds(5));

    auto triggered = process("purchase");
    ASSERT_TRUE(triggered);
    std::vector<std::string> names;
    for (const auto& e : *triggered) {
        names.push_back(e.name());
        EXPECT_EQ(e.timestamp(), now + 5);
        EXPECT_EQ(e.origin(), "fcm");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"on_a", "on_b"}));
    EXPECT_TRUE(engine->written.empty());  // the engine writes them after the event
    for (const char* name : {"pa", "pb"}) {
        auto stored = database->conditionalUserPropertyWithName(name);
        EXPECT_TRUE(stored->isActive()) << name;
        EXPECT_EQ(stored->triggeredTimestamp(), now + 5);
        EXPECT_EQ(database->userAttributeWithName(name)->lastSetTimestamp(), now + 5);
    }
    EXPECT_EQ(database->userAttributeWithName("pa")->value(), text("a"));
    EXPECT_FALSE(database->conditionalUserPropertyWithName("pc")->isActive());
    EXPECT_TRUE(process("purchase")->empty());  // already active
}

TEST_F(ConditionalUserPropertyTest, TimeOutsAndExpiriesAreNoticedWhenAnEventIsProcessed) {
    struct Case {
        double advance;
        std::vector<std::string> written;
        bool waitingLeft, activeLeft;
    } cases[] = {
        {60, {}, true, true},
        {61, {"late"}, false, true},
        {101, {"late", "gone"}, false, false},
    };
    for (const auto& c : cases) {
        sim::useVirtualClock();
        engine->written.clear();
        ASSERT_TRUE(database->reset());
        auto waiting = property("purchase");
        waiting.setTimedOutEvent(event("late"));
        auto active = property("");
        active.setExpiredEvent(event("gone"));
        set(waiting, "waiting");
        set(active, "active");
        sim::advanceClock(sim::seconds(c.advance));
        auto triggered = process("unrelated");
        ASSERT_TRUE(triggered) << c.advance;
        EXPECT_TRUE(triggered->empty());
        EXPECT_EQ(writtenNames(), c.written) << c.advance;
        for (const auto& e : engine->written) EXPECT_EQ(e.timestamp(), now + c.advance);
        EXPECT_EQ(database->conditionalUserPropertyWithName("waiting").has_value(), c.waitingLeft)
            << c.advance;
        EXPECT_EQ(database->conditionalUserPropertyWithName("active").has_value(), c.activeLeft);
        EXPECT_EQ(database->userAttributeWithName("active").has_value(), c.activeLeft);
    }
}

TEST_F(ConditionalUserPropertyTest, AFailedStepLeavesNoTrace) {
    auto waiting = property("purchase");
    waiting.setTimedOutEvent(event("late"));
    auto active = property("");
    active.setExpiredEvent(event("gone"));
    set(waiting, "waiting");
    set(active, "active");
    engine->written.clear();
    sim::advanceClock(sim::seconds(200));
    // The expired property's user property cannot be deleted.
    ASSERT_TRUE(database->store().executeSQL(
        "CREATE TRIGGER keep BEFORE DELETE ON user_attributes BEGIN SELECT RAISE(ABORT, 'kept'); "
        "END"));
    EXPECT_FALSE(process("purchase"));
    EXPECT_TRUE(logged(10006));
    EXPECT_TRUE(engine->written.empty());
    // The timed-out one deleted earlier in the same transaction is back.
    EXPECT_TRUE(database->conditionalUserPropertyWithName("waiting"));
    EXPECT_TRUE(database->conditionalUserPropertyWithName("active"));

    ASSERT_TRUE(database->store().executeSQL("DROP TRIGGER keep"));
    ASSERT_TRUE(process("purchase"));
    EXPECT_EQ(writtenNames(), (std::vector<std::string>{"late", "gone"}));
    engine->onWorker([&] { EXPECT_FALSE(controller->processEventOnWorkerQueue(nullptr)); });
    EXPECT_TRUE(logged(10000));
}

TEST_F(ConditionalUserPropertyTest, ClearingAndRemoving) {
    auto active = property("");
    set(active, "active");
    set(property("purchase"), "waiting");
    engine->written.clear();

    struct Case {
        std::string name;
        std::optional<APMEvent> clearEvent;
        std::vector<std::string> written;
        long long code;
    } cases[] = {
        {"active", event("cleared", {{"k", Value("v")}}), {"cleared"}, 0},
        {"waiting", std::nullopt, {}, 0},
        {"missing", event("never"), {}, 11018},
    };
    for (const auto& c : cases) {
        engine->written.clear();
        APMMeasurement::monitor().clearLines();
        controller->clearConditionalUserPropertyWithClearEvent(c.clearEvent, c.name);
        engine->drain();
        EXPECT_EQ(writtenNames(), c.written) << c.name;
        if (c.code) {
            EXPECT_TRUE(logged(c.code)) << c.name;
        }
        EXPECT_FALSE(database->conditionalUserPropertyWithName(c.name)) << c.name;
    }
    EXPECT_FALSE(database->userAttributeWithName("active"));
    EXPECT_EQ(engine->blockIDs.back(), "APMConditionalUserPropertyController:113");

    // Setting without a value removes, logging the expired event.
    set(active, "again");
    engine->written.clear();
    auto removal = property("");
    removal.setValue(std::nullopt);
    removal.setExpiredEvent(event("bye"));
    set(removal, "again");
    EXPECT_EQ(writtenNames(), std::vector<std::string>{"bye"});
    EXPECT_EQ(engine->written[0].origin(), "fcm");
    EXPECT_FALSE(database->conditionalUserPropertyWithName("again"));
    EXPECT_FALSE(database->userAttributeWithName("again"));

    // An invalid name is never scheduled.
    const size_t scheduled = engine->blockIDs.size();
    controller->clearConditionalUserPropertyWithClearEvent(std::nullopt, "bad name");
    EXPECT_EQ(engine->blockIDs.size(), scheduled);
}

TEST_F(ConditionalUserPropertyTest, ListingAndADisabledEngine) {
    set(property("", "v", "fcm"), "a_b");
    set(property("", "v", "fcm"), "axb");
    set(property("", "v", "abt"), "c");
    auto list = [&](const Value& prefix, const Value& origin) {
        std::vector<std::string> names;
        auto found = controller->conditionalUserPropertiesWithNamePrefix(prefix, origin);
        if (!found) return std::optional<std::vector<std::string>>();
        for (const auto& p : *found) names.push_back(p.name());
        return std::optional<std::vector<std::string>>(names);
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(list(Value(), Value()), (Names{"a_b", "axb", "c"}));
    EXPECT_EQ(list(Value("a_"), Value()), (Names{"a_b"}));
    EXPECT_EQ(list(Value(), Value("abt")), (Names{"c"}));
    EXPECT_EQ(list(Value(5), Value()), std::nullopt);
    EXPECT_TRUE(logged(11003));
    EXPECT_EQ(list(Value(), Value(Array{})), std::nullopt);
    EXPECT_TRUE(logged(11004));

    engine->enabled = false;
    EXPECT_EQ(list(Value(), Value()), std::nullopt);
    EXPECT_TRUE(logged(11005));
    set(property(""), "d");
    EXPECT_TRUE(logged(11007));
    EXPECT_FALSE(database->conditionalUserPropertyWithName("d"));
    controller->clearConditionalUserPropertyWithClearEvent(event("x"), "c");
    engine->drain();
    EXPECT_TRUE(logged(11015));
    EXPECT_TRUE(database->conditionalUserPropertyWithName("c"));
    EXPECT_TRUE(engine->written.empty() || engine->written.back().name() != "x");

    // Off the worker queue the worker-queue methods do nothing.
    engine->enabled = true;
    auto direct = property("");
    direct.setName("direct");
    controller->setConditionalUserPropertyOnWorkerQueue(&direct);
    EXPECT_FALSE(database->conditionalUserPropertyWithName("direct"));
}

TEST_F(ConditionalUserPropertyTest, AListingThatTimesOutAnswersNothing) {
    set(property(""), "a");
    // The worker queue is held until the caller has given up.
    DispatchSemaphore gate(0);
    engine->scheduleOnWorkerQueue("hold", [&gate] { gate.wait(); });
    std::atomic<bool> done{false};
    std::optional<std::vector<APMConditionalUserProperty>> found{
        std::vector<APMConditionalUserProperty>{}};
    std::thread caller([&] {
        found = controller->conditionalUserPropertiesWithNamePrefix(Value(), Value());
        done = true;
    });
    // Virtual time passes the caller's 30-second limit whenever it started.
    while (!done) sim::advanceClock(sim::seconds(31));
    caller.join();
    EXPECT_EQ(found, std::nullopt);
    // The late worker block finds its results' storage still there.
    gate.signal();
    engine->drain();
    EXPECT_EQ(controller->conditionalUserPropertiesWithNamePrefix(Value(), Value())->size(), 1u);
}

}  // namespace
