#include <gtest/gtest.h>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

class DatabaseConditionalPropertiesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
        ASSERT_TRUE(database);
    }
    static APMEvent event(const std::string& name, APMRawParameters parameters = {}) {
        return *APMEvent::initWithOrigin("app", false, name, 5, 0, parameters);
    }
    static APMConditionalUserProperty property(const std::string& name, bool active = false,
                                               double created = 1000, double timeout = 60) {
        APMConditionalUserProperty p;
        p.setName(name);
        p.setOrigin("app");
        p.setValue(APMValue(APMValueTypeString, Value("v")));
        p.setCreationTimestamp(created);
        p.setActive(active);
        p.setTriggerTimeout(timeout);
        p.setTimeToLive(100);
        p.setTriggeredTimestamp(active ? created : 0);
        p.setTriggerEventName("go");
        return p;
    }
    static std::vector<std::string> names(
        const std::optional<std::vector<APMConditionalUserProperty>>& list) {
        std::vector<std::string> out;
        for (const auto& p : list.value_or(std::vector<APMConditionalUserProperty>{})) {
            out.push_back(p.name());
        }
        return out;
    }
    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

TEST_F(DatabaseConditionalPropertiesTest, PropertiesRoundTripWithEveryValueKind) {
    const APMValue values[] = {
        APMValue::initWithInt64(-9007199254740993LL), APMValue::initWithDouble(0.25),
        APMValue(APMValueTypeString, Value("\xF0\x9F\x98\x80 \xE2\x82\xAC"))};
    int i = 0;
    for (const auto& value : values) {
        auto p = property("p" + std::to_string(i++), true);
        p.setValue(value);
        p.setTriggeredEvent(event("on", {{"n", Value(3)}}));
        p.setExpiredEvent(event("gone", {{"s", Value("\xF0\x9F\x98\x80")}}));
        ASSERT_TRUE(database->updateConditionalUserProperty(p));
        auto back = database->conditionalUserPropertyWithName(p.name());
        ASSERT_TRUE(back) << value.description();
        EXPECT_EQ(back->value(), value);
        EXPECT_EQ(back->origin(), "app");
        EXPECT_TRUE(back->isActive());
        EXPECT_EQ(back->creationTimestamp(), 1000);
        EXPECT_EQ(back->triggeredTimestamp(), 1000);
        EXPECT_EQ(back->triggerTimeout(), 60);
        EXPECT_EQ(back->timeToLive(), 100);
        EXPECT_EQ(back->triggerEventName(), "go");
        ASSERT_TRUE(back->triggeredEvent());
        EXPECT_EQ(back->triggeredEvent()->name(), "on");
        EXPECT_EQ(back->triggeredEvent()->parameters().at("n"), APMValue::initWithInt64(3));
        EXPECT_EQ(back->expiredEvent()->parameters().at("s").stringValue(), "\xF0\x9F\x98\x80");
        EXPECT_FALSE(back->timedOutEvent());
    }
    EXPECT_FALSE(database->conditionalUserPropertyWithName("missing"));

    // The whole row is replaced: no trigger name or event clears the stored ones.
    auto bare = property("p0");
    bare.setTriggerEventName("");
    ASSERT_TRUE(database->updateConditionalUserProperty(bare));
    auto back = database->conditionalUserPropertyWithName("p0");
    EXPECT_EQ(back->triggerEventName(), "");
    EXPECT_FALSE(back->triggeredEvent());
    EXPECT_FALSE(back->isActive());

    ASSERT_TRUE(database->deleteConditionalUserPropertyWithName("p0"));
    EXPECT_FALSE(database->conditionalUserPropertyWithName("p0"));
}

TEST_F(DatabaseConditionalPropertiesTest, RefusesIncompletePropertiesAndFullTable) {
    struct Case {
        std::function<void(APMConditionalUserProperty&)> change;
        const char* message;
    } cases[] = {
        {[](auto& p) { p.setName(""); },
         "Received conditional user property with empty name for getting dictionary "
         "representation"},
        {[](auto& p) { p.setOrigin(""); },
         "Received conditional user property with empty origin for getting dictionary "
         "representation"},
        {[](auto& p) { p.setValue(std::nullopt); },
         "Received conditional user property with nil value for getting dictionary "
         "representation"},
    };
    for (const auto& c : cases) {
        auto p = property("x");
        c.change(p);
        NSError error;
        EXPECT_FALSE(database->updateConditionalUserProperty(p, &error));
        EXPECT_EQ(error.code, 3);
        EXPECT_EQ(error.localizedDescription(), c.message);
    }

    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!database->updateConditionalUserProperty(property("n" + std::to_string(i)))) {
                return false;
            }
        }
        return true;
    }));
    NSError error;
    EXPECT_FALSE(database->updateConditionalUserProperty(property("one_more"), &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database->updateConditionalUserProperty(property("n5", true)));
}

TEST_F(DatabaseConditionalPropertiesTest, TimeQueriesCountBothDirections) {
    // Created at 1000 with a 60 s time-out; triggered ones live 100 s.
    ASSERT_TRUE(database->updateConditionalUserProperty(property("waiting")));
    ASSERT_TRUE(database->updateConditionalUserProperty(property("active", true)));
    struct Case {
        double now;
        std::vector<std::string> timedOut, expired, triggered;
    } cases[] = {
        {1000, {}, {}, {"waiting"}},        {1060, {}, {}, {"waiting"}},
        {1061, {"waiting"}, {}, {}},        {1101, {"waiting"}, {"active"}, {}},
        {939, {"waiting"}, {}, {}},  // created in the future beyond the time-out
        {899, {"waiting"}, {"active"}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names(database->timedOutConditionalUserProperties(c.now)), c.timedOut) << c.now;
        EXPECT_EQ(names(database->expiredConditionalUserProperties(c.now)), c.expired) << c.now;
        EXPECT_EQ(names(database->triggeredConditionalUserPropertiesWithEventName("go", c.now)),
                  c.triggered)
            << c.now;
    }
    EXPECT_TRUE(database->triggeredConditionalUserPropertiesWithEventName("other", 1000)->empty());
    NSError error;
    EXPECT_FALSE(database->triggeredConditionalUserPropertiesWithEventName("", 1000, &error));
    EXPECT_EQ(error.code, 1);
    EXPECT_FALSE(database->conditionalUserPropertiesWithCondition("", {}, &error));
    EXPECT_EQ(error.localizedDescription(),
              "Received empty condition for querying a conditional user property");
}

TEST_F(DatabaseConditionalPropertiesTest, PrefixAndOriginMatchLiterally) {
    const std::pair<const char*, const char*> stored[] = {
        {"a_b", "o_1"}, {"axb", "ox1"}, {"a%c", "o_1"}, {"A_Z", "O_1"}, {"b", "o%"}};
    for (const auto& [name, origin] : stored) {
        auto p = property(name);
        p.setOrigin(origin);
        ASSERT_TRUE(database->updateConditionalUserProperty(p));
    }
    struct Case {
        std::string prefix, origin;
        std::vector<std::string> expected;
    } cases[] = {
        {"", "", {"a_b", "axb", "a%c", "A_Z", "b"}},
        {"a_", "", {"a_b", "A_Z"}},
        {"a%", "", {"a%c"}},
        {"", "o_1", {"a_b", "a%c", "A_Z"}},
        {"", "o%", {"b"}},
        {"a_", "o_1", {"a_b", "A_Z"}},
        {"\xF0\x9F\x98\x80", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names(database->conditionalUserPropertiesWithPrefix(c.prefix, c.origin)),
                  c.expected)
            << c.prefix << " / " << c.origin;
    }
}

TEST_F(DatabaseConditionalPropertiesTest, AnUndecodableRowFailsTheWholeList) {
    ASSERT_TRUE(database->updateConditionalUserProperty(property("good")));
    ASSERT_TRUE(database->updateConditionalUserProperty(property("bad")));
    struct Case {
        const char* sql;
        const char* message;
    } cases[] = {
        {"UPDATE conditional_properties SET expired_event = 'text' WHERE name = 'bad'",
         "Failed to convert data to an event. Data must be a NSData instance"},
        {"UPDATE conditional_properties SET expired_event = X'FFFFFF' WHERE name = 'bad'",
         "Failed to parse event from data"},
        // An event without a name is refused.
        {"UPDATE conditional_properties SET expired_event = X'1801' WHERE name = 'bad'",
         "Failed to initialize event from proto data"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(database->store().executeSQL(c.sql));
        NSError error;
        EXPECT_FALSE(database->conditionalUserPropertiesWithPrefix("", "", &error)) << c.sql;
        EXPECT_EQ(error.code, 2);
        EXPECT_EQ(error.localizedDescription(), c.message);
        EXPECT_FALSE(database->conditionalUserPropertyWithName("bad"));
        EXPECT_TRUE(database->conditionalUserPropertyWithName("good"));
    }
}

TEST_F(DatabaseConditionalPropertiesTest, MainEventsOfComplexEvents) {
    const APMEvent main = event("_cmp", {{"n", Value(2)}, {"s", Value("\xF0\x9F\x98\x80")}});
    ASSERT_TRUE(database->updateComplexEventForAudienceEvaluation(-77, 3, &main));
    ASSERT_TRUE(database->updateComplexEventForAudienceEvaluation(-77, 2, &main));  // replaces
    auto pair = database->mainEventAndChildCountPairWithEventID(-77);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->first.name(), "_cmp");
    EXPECT_EQ(pair->first.origin(), "app");
    EXPECT_EQ(pair->first.parameters().at("s").stringValue(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(pair->second, 2);

    NSError error;
    EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(5, &error));
    EXPECT_TRUE(error.domain.empty());
    EXPECT_FALSE(database->updateComplexEventForAudienceEvaluation(1, 1, nullptr, &error));
    EXPECT_EQ(error.localizedDescription(), "Received nil main event");

    ASSERT_TRUE(database->store().executeSQL(
        "UPDATE main_event_params SET main_event = X'FF' WHERE event_id = -77"));
    EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(-77, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to parse event from data");

    ASSERT_TRUE(database->deleteComplexEventForAudienceEvaluation(-77));
    EXPECT_EQ(database->store().rowCount("main_event_params"), 0);
}

// Builds an event parameter message: a name (when given), a scalar or
// nested parameters.
std::shared_ptr<APMPBEventParam> param(const char* name, std::optional<Value> scalar = {},
                                       std::vector<APMPBObject> nested = {}) {
    auto p = APMPBEventParam::make();
    if (name) APMPBSetString(p.get(), 0, Value(name));
    if (scalar && scalar->isString()) APMPBSetString(p.get(), 1, *scalar);
    if (scalar && scalar->type() == Value::Type::Int) APMPBSetInt64(p.get(), 2, *scalar->asInt());
    if (scalar && scalar->type() == Value::Type::Double)
        APMPBSetDouble(p.get(), 4, *scalar->asDouble());
    if (!nested.empty()) APMPBSetArray(p.get(), 5, nested);
    return p;
}

TEST(StoredParameterTest, ConvertsEveryShape) {
    auto item = [](std::vector<APMPBObject> children) {
        return APMPBObject(param(nullptr, std::nullopt, std::move(children)));
    };
    const auto items = param(
        "items", std::nullopt,
        {item({APMPBObject(param("id", Value("a"))), APMPBObject(param("price", Value(1.5)))}),
         item({APMPBObject(param("q", Value(2LL))),
               // Nested twice: left out.
               APMPBObject(
                   param("deep", std::nullopt, {item({APMPBObject(param("x", Value(1LL)))})}))})});
    const Value itemsArray(
        Array{Value(Dictionary{{"id", "a"}, {"price", 1.5}}), Value(Dictionary{{"q", 2LL}})});
    struct Case {
        std::shared_ptr<APMPBEventParam> param;
        bool nested;
        std::optional<APMEventParameters> expected;
        long long code;
        const char* message;
    } cases[] = {
        {param("s", Value("\xF0\x9F\x98\x80")), false,
         APMEventParameters{{"s", APMValue(APMValueTypeString, Value("\xF0\x9F\x98\x80"))}}, 0, ""},
        {param("i", Value(-5LL)), false, APMEventParameters{{"i", APMValue::initWithInt64(-5)}}, 0,
         ""},
        {param("d", Value(2.5)), false, APMEventParameters{{"d", APMValue::initWithDouble(2.5)}}, 0,
         ""},
        {items, false, APMEventParameters{{"items", *APMValue::initWithArray(&itemsArray)}}, 0, ""},
        {param(nullptr, Value(1LL)), false, std::nullopt, 1, "Event parameter name is empty"},
        {param("empty"), false, std::nullopt, 2, "Failed to parse invalid event params data"},
        {param("empty"), true, std::nullopt, 2, "Failed to parse invalid event params data"},
        {nullptr, false, std::nullopt, 1, "Failed to parse empty event params data"},
    };
    for (const auto& c : cases) {
        NSError error;
        auto out = APMDatabase::parametersFromEventParam(c.param.get(), c.nested, &error);
        EXPECT_EQ(out, c.expected) << c.message;
        EXPECT_EQ(error.code, c.code);
        if (c.code) {
            EXPECT_EQ(error.localizedDescription(), c.message);
        }
    }
}

}  // namespace
