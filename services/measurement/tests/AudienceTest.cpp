#include <gtest/gtest.h>

#include <functional>

#include "services/measurement/APMAudience.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMFilterEvaluation.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/tests/AudienceBuilders.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

using namespace audience_test;

using Words = std::vector<std::uint64_t>;
using Dynamic = std::map<std::int32_t, std::int64_t>;
using Sequences = std::map<std::int32_t, std::vector<std::int64_t>>;

// A result data message as plain values.
struct Bits {
    Words status, results;
    Dynamic dynamic;
    Sequences sequences;
    bool operator==(const Bits&) const = default;
};

Words wordsOf(const APMPBMessage& data, int field) {
    Words out;
    const auto array = APMPBGetArray(&data, field, kAPMPBNumberClass);
    for (const auto& v : array.value()) out.push_back(*v.value().asUInt());
    return out;
}

Bits bitsOf(const APMPBResultData& data) {
    Bits bits{wordsOf(data, 0), wordsOf(data, 1), {}, {}};
    const auto dynamic = APMPBGetArray(&data, 2, APMPBDynamicFilterResultTimestamp::classObject());
    for (const auto& e : dynamic.value()) {
        bits.dynamic[APMPBGetInt32(e.message().get(), 0)] = APMPBGetInt64(e.message().get(), 1);
    }
    const auto sequences =
        APMPBGetArray(&data, 3, APMPBSequenceFilterResultTimestamp::classObject());
    for (const auto& e : sequences.value()) {
        auto& list = bits.sequences[APMPBGetInt32(e.message().get(), 0)];
        const auto values = APMPBGetArray(e.message().get(), 1, kAPMPBNumberClass);
        for (const auto& v : values.value()) list.push_back(*v.value().asInt());
    }
    return bits;
}

Bits bitsOf(const Data& bytes) {
    return bitsOf(*APMPBResultData::initWithBuffer(bytes));
}

Data dataOf(const Bits& bits) {
    auto data = APMPBResultData::make();
    std::vector<APMPBObject> status, results, dynamic, sequences;
    for (auto w : bits.status) status.emplace_back(Value(static_cast<unsigned long long>(w)));
    for (auto w : bits.results) results.emplace_back(Value(static_cast<unsigned long long>(w)));
    for (const auto& [id, t] : bits.dynamic) {
        auto e = APMPBDynamicFilterResultTimestamp::make();
        APMPBSetInt32(e.get(), 0, id);
        APMPBSetInt64(e.get(), 1, t);
        dynamic.emplace_back(e);
    }
    for (const auto& [id, list] : bits.sequences) {
        auto e = APMPBSequenceFilterResultTimestamp::make();
        APMPBSetInt32(e.get(), 0, id);
        std::vector<APMPBObject> values;
        for (auto t : list) values.emplace_back(Value(static_cast<long long>(t)));
        APMPBSetArray(e.get(), 1, values);
        sequences.emplace_back(e);
    }
    APMPBSetArray(data.get(), 0, status);
    APMPBSetArray(data.get(), 1, results);
    APMPBSetArray(data.get(), 2, dynamic);
    APMPBSetArray(data.get(), 3, sequences);
    return *data->protoBuffer();
}

std::shared_ptr<APMPBFilter> above(const std::string& parameter, const std::string& value) {
    return filter(numberFilter(2, value), nullptr, parameter);
}

class AudienceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database = APMDatabase::initWithDatabaseName("audience.sql", nullptr);
        ASSERT_TRUE(database);
        configure({});
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override { APMRemoteConfig::setEngineInstance(nullptr); }

    void configure(const std::vector<std::pair<std::string, std::string>>& settings) {
        auto config = APMPBMeasurementConfig::make();
        APMPBSetString(config.get(), 1, Value("1:1:ios:a"));
        std::vector<APMPBObject> list;
        for (const auto& [name, value] : settings) {
            auto setting = APMPBSetting::make();
            APMPBSetString(setting.get(), 0, Value(name));
            APMPBSetString(setting.get(), 1, Value(value));
            list.emplace_back(setting);
        }
        APMPBSetArray(config.get(), 3, list);
        auto remote = APMRemoteConfig::initWithAppID("1:1:ios:a", database.get());
        remote->parseRemoteConfigFromMeasurementConfig(*config);
        APMRemoteConfig::setEngineInstance(remote);
    }

    bool event(const std::string& name, APMEventParameters parameters, double timestamp,
               APMAudienceTimestampsCache* cache = nullptr) {
        return audiences.evaluateFiltersForEventName(name, parameters, std::nullopt, timestamp,
                                                     cache);
    }
    bool property(const std::string& name, std::int64_t value, double timestamp) {
        auto attribute = APMUserAttribute::initWithOrigin(
            "app", name, APMValue::initWithInt64(value), timestamp);
        return audiences.evaluateFiltersForUserProperty(*attribute, nullptr, timestamp);
    }
    std::optional<Bits> stored(std::int32_t audienceID) {
        auto result = database->filterResultForAudienceID(audienceID);
        if (!result) return std::nullopt;
        return bitsOf(*result->currentResults());
    }
    std::optional<Data> storedPrevious(std::int32_t audienceID) {
        return database->filterResultForAudienceID(audienceID)->previousResults();
    }
    void store(std::int32_t audienceID, const Bits& bits) {
        ASSERT_TRUE(database->updateFilterResults({APMFilterResult(audienceID, dataOf(bits), {})}));
    }

    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
    APMAudience audiences{nullptr};
    void reset() { audiences = APMAudience(database.get()); }
};

TEST_F(AudienceTest, SavingDefinitionsSkipsInvalidAudiencesAndUsesShortNames) {
    reset();
    auto first = audience(
        1,
        {eventFilter(0, "first_open", {above("engagement_time_msec", "5")}, nullptr,
                     {true, false, true})},
        {propertyFilter(1, "first_open_time", filter(numberFilter(2, "1")), {false, true, false})});
    auto invalid = audience(2, {eventFilter(0, "")});
    auto third = audience(3, {eventFilter(4, "buy", {above("custom", "1")})});
    ASSERT_TRUE(audiences.updateAudiences({first, invalid, third}));
    EXPECT_TRUE(logged(6009));
    EXPECT_EQ(database->allAudienceIDs(), (std::vector<std::int32_t>{1, 3}));

    auto events = database->eventFiltersForEventName("_f");
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 1u);
    const APMEventFilter& saved = events->front();
    EXPECT_EQ(saved.filterID(), 0);
    EXPECT_TRUE(saved.isDynamic());
    EXPECT_TRUE(saved.isSessionScoped());
    EXPECT_FALSE(saved.isSequence());
    auto message = APMPBEventFilter::initWithBuffer(saved.data());
    auto parameters = APMPBGetArray(message.get(), 2, APMPBFilter::classObject());
    ASSERT_EQ(parameters->size(), 1u);
    EXPECT_EQ(APMPBGetString(parameters->front().message().get(), 3), "_et");
    EXPECT_EQ(APMPBGetString(message.get(), 1), "_f");

    auto properties = database->propertyFiltersForPropertyName("_fot");
    ASSERT_TRUE(properties);
    ASSERT_EQ(properties->size(), 1u);
    EXPECT_TRUE(properties->front().isSequence());
    EXPECT_EQ(database->eventFiltersForEventName("buy")->size(), 1u);

    // Too many audiences: nothing saved, the old definitions stay.
    std::vector<std::shared_ptr<APMPBAudience>> many;
    for (int i = 0; i < 51; ++i) many.push_back(audience(100 + i, {eventFilter(0, "x")}));
    APMMeasurement::monitor().clearLines();
    EXPECT_TRUE(audiences.updateAudiences(many));
    EXPECT_TRUE(logged(6008));
    EXPECT_EQ(database->allAudienceIDs(), (std::vector<std::int32_t>{1, 3}));

    // A new list replaces the stored one.
    ASSERT_TRUE(audiences.updateAudiences({third}));
    EXPECT_EQ(database->allAudienceIDs(), (std::vector<std::int32_t>{3}));
}

TEST_F(AudienceTest, EventFiltersOnceMatchedStayMatched) {
    reset();
    ASSERT_TRUE(audiences.updateAudiences(
        {audience(1, {eventFilter(0, "buy", {above("v", "5")}),
                      eventFilter(1, "buy", {above("v", "5")}, nullptr, {true, false, false})}),
         audience(2, {eventFilter(0, "buy", {above("missing", "5")})})}));
    EXPECT_TRUE(event("nothing", {}, 1));
    EXPECT_FALSE(stored(1));

    struct Step {
        std::int64_t value;
        double time;
        Bits expected;
        bool logsEarlier;
    };
    const Step steps[] = {
        {1, 50, {{3}, {0}, {}, {}}, false},          {7, 100, {{3}, {3}, {{1, 100}}, {}}, false},
        {1, 200, {{3}, {3}, {{1, 100}}, {}}, false}, {9, 300, {{3}, {3}, {{1, 300}}, {}}, false},
        {9, 250, {{3}, {3}, {{1, 300}}, {}}, true},
    };
    for (const auto& s : steps) {
        APMMeasurement::monitor().clearLines();
        ASSERT_TRUE(event("buy", {{"v", APMValue::initWithInt64(s.value)}}, s.time));
        EXPECT_EQ(stored(1), s.expected) << s.time;
        EXPECT_EQ(logged(6037), s.logsEarlier) << s.time;
    }
    // A filter that cannot be evaluated leaves no result behind.
    EXPECT_FALSE(stored(2));
    EXPECT_TRUE(logged(7009));
}

// One event against many costly server regular expressions: the event's
// searches share one budget, so only the first few run to their time limit;
// the rest count as no match, and the spending is logged once.
TEST_F(AudienceTest, RegexWorkOfOneEventIsBounded) {
    reset();
    constexpr int kAudiences = 20;
    std::vector<std::shared_ptr<APMPBAudience>> definitions;
    for (int i = 0; i < kAudiences; ++i) {
        definitions.push_back(audience(
            i + 1, {eventFilter(0, "buy", {filter(nullptr, stringFilter(1, "(a+)+$"), "s")})}));
    }
    ASSERT_TRUE(audiences.updateAudiences(definitions));
    APMMeasurement::monitor().clearLines();
    const std::string costly = std::string(40, 'a') + "!";
    EXPECT_TRUE(event("buy", {{"s", APMValue(APMValueTypeString, Value(costly))}}, 1));
    int timedOut = 0, spent = 0;
    for (const auto& line : APMMeasurement::monitor().lines()) {
        timedOut += line.messageCode == 9009;
        spent += line.messageCode == 9012;
    }
    EXPECT_EQ(spent, 1);
    EXPECT_GT(timedOut, 0);
    EXPECT_LE(timedOut, kAPMRegexBudgetPerEvent / kAPMRegexTimeLimit);
}

TEST_F(AudienceTest, CorruptFilterDataIsSkipped) {
    reset();
    const Data corrupt{0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(database->updateEventFilters(
        {APMEventFilter(1, 0, "buy", corrupt, false, false, false),
         APMEventFilter(1, 1, "buy", *eventFilter(1, "buy")->protoBuffer(), false, false, false)}));
    ASSERT_TRUE(database->updatePropertyFilters(
        {APMPropertyFilter(2, 0, "level", corrupt, false, true, false),
         APMPropertyFilter(2, 1, "level",
                           *propertyFilter(1, "level", filter(numberFilter(2, "1")))->protoBuffer(),
                           false, false, false)}));
    ASSERT_TRUE(event("buy", {}, 1));
    EXPECT_TRUE(logged(6035));
    EXPECT_EQ(stored(1), (Bits{{2}, {2}, {}, {}}));
    ASSERT_TRUE(property("level", 5, 1));
    EXPECT_TRUE(logged(6036));
    EXPECT_EQ(stored(2), (Bits{{2}, {2}, {}, {}}));
}

TEST_F(AudienceTest, UpdatedFilterResultGrowsBothArrays) {
    APMAudienceTimestampsCache cache;
    struct Case {
        std::optional<Bits> current;
        std::int32_t filterID;
        std::optional<bool> result;
        Words status, results;
    };
    const Case cases[] = {
        {std::nullopt, 3, true, {8}, {8}},
        {std::nullopt, 3, false, {8}, {0}},
        {std::nullopt, 3, std::nullopt, {0}, {0}},
        {Bits{{1}, {1}, {}, {}}, 64, true, {1, 1}, {1, 1}},
        {Bits{{1}, {1}, {}, {}}, 130, false, {1, 0, 4}, {1, 0, 0}},
        {Bits{{3}, {3}, {}, {}}, 1, false, {3}, {1}},
        {Bits{{3}, {3}, {}, {}}, 0, std::nullopt, {2}, {2}},
        {Bits{{}, {}, {}, {}}, 0, true, {1}, {1}},
    };
    for (const auto& c : cases) {
        std::optional<APMFilterResult> current;
        if (c.current) current = APMFilterResult(5, dataOf(*c.current), Data{9});
        const APMFilterResult updated =
            APMAudience::updatedFilterResult(c.filterID, 5, current, c.result, cache);
        const Bits bits = bitsOf(*updated.currentResults());
        EXPECT_EQ(bits.status, c.status) << c.filterID;
        EXPECT_EQ(bits.results, c.results) << c.filterID;
        EXPECT_EQ(updated.previousResults(),
                  c.current ? std::optional<Data>(Data{9}) : std::nullopt);
        EXPECT_EQ(APMAudience::isFilterResultTrueForFilterID(updated, c.filterID),
                  c.result == true);
    }
    EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(std::nullopt, 0));
    EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(
        APMFilterResult(5, dataOf({{1}, {}, {}, {}}), {}), 0));
    EXPECT_TRUE(logged(6023));
    EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(
        APMFilterResult(5, dataOf({{1}, {1}, {}, {}}), {}), 64));
}

TEST_F(AudienceTest, FilterIDsBeyondTheFirstWord) {
    configure({{"measurement.audience.filter_max_count_per_audience", "100"}});
    reset();
    ASSERT_TRUE(
        audiences.updateAudiences({audience(1, {eventFilter(0, "a"), eventFilter(64, "b")})}));
    ASSERT_TRUE(event("a", {}, 1));
    EXPECT_EQ(stored(1), (Bits{{1}, {1}, {}, {}}));
    ASSERT_TRUE(event("b", {}, 2));
    EXPECT_EQ(stored(1), (Bits{{1, 1}, {1, 1}, {}, {}}));
}

TEST_F(AudienceTest, PropertyFilters) {
    reset();
    auto atLeast5 = filter(numberFilter(2, "4"));
    ASSERT_TRUE(audiences.updateAudiences(
        {audience(1, {},
                  {propertyFilter(0, "level", atLeast5),
                   propertyFilter(1, "level", atLeast5, {true, false, false}),
                   propertyFilter(2, "level", atLeast5, {true, false, true}),
                   propertyFilter(3, "level", atLeast5, {false, true, false})})}));
    struct Step {
        std::int64_t value;
        double time;
        Bits expected;
    };
    const Step steps[] = {
        {1, 10, {{15}, {0}, {}, {}}},
        {6, 20, {{15}, {15}, {{1, 20}, {2, 20}}, {{3, {20}}}}},
        // Only the dynamic, not session-scoped filter is taken back.
        {2, 30, {{15}, {13}, {{1, 20}, {2, 20}}, {{3, {20}}}}},
        {8, 40, {{15}, {15}, {{1, 40}, {2, 40}}, {{3, {40}}}}},
    };
    for (const auto& s : steps) {
        ASSERT_TRUE(property("level", s.value, s.time));
        EXPECT_EQ(stored(1), s.expected) << s.time;
    }

    // The message form: the evaluation time, else the property's own time.
    auto nano = APMPBUserAttribute::make();
    APMPBSetString(nano.get(), 1, Value("level"));
    APMPBSetInt64(nano.get(), 0, 55000);
    EXPECT_FALSE(audiences.evaluateFiltersForNanoUserProperty(*nano, nullptr, std::nullopt));
    EXPECT_TRUE(logged(6039));
    APMPBSetInt64(nano.get(), 3, 9);
    ASSERT_TRUE(audiences.evaluateFiltersForNanoUserProperty(*nano, nullptr, std::nullopt));
    EXPECT_EQ(stored(1)->dynamic, (Dynamic{{1, 55}, {2, 55}}));
    ASSERT_TRUE(audiences.evaluateFiltersForNanoUserProperty(*nano, nullptr, 70.0));
    EXPECT_EQ(stored(1)->dynamic, (Dynamic{{1, 70}, {2, 70}}));
}

TEST_F(AudienceTest, ResultsForBundling) {
    reset();
    ASSERT_TRUE(audiences.updateAudiences({audience(
        1, {eventFilter(0, "buy", {}, nullptr, {false, true, false}), eventFilter(1, "sell")})}));
    store(9, {{0}, {0}, {}, {}});
    APMAudienceTimestampsCache cache;
    ASSERT_TRUE(event("buy", {}, 10, &cache));
    ASSERT_TRUE(event("buy", {}, 20, &cache));
    const Bits matched{{1}, {1}, {}, {{0, {10, 20}}}};
    ASSERT_EQ(stored(1), matched);

    struct Pass {
        std::string label;
        std::function<void()> before;
        bool newResult;
        std::optional<Bits> previous;
        Bits current;
    };
    const Bits sold{{3}, {3}, {}, {{0, {20}}}};
    const Pass passes[] = {
        {"first", [] {}, true, std::nullopt, matched},
        // Unchanged: no previous data, the first sequence cut to its last step.
        {"unchanged", [] {}, false, std::nullopt, Bits{{1}, {1}, {}, {{0, {20}}}}},
        // The previous data is the current data as it stood at the last bundle.
        {"changed", [&] { ASSERT_TRUE(event("sell", {}, 30)); }, false, matched, sold},
    };
    for (const auto& p : passes) {
        p.before();
        const Data storedBefore = *database->filterResultForAudienceID(1)->currentResults();
        APMMeasurement::monitor().clearLines();
        std::optional<APMAudience::LeafResults> leaves;
        ASSERT_TRUE(audiences.resultsForBundling(leaves)) << p.label;
        ASSERT_TRUE(leaves) << p.label;
        ASSERT_EQ(leaves->size(), 1u) << p.label;  // audience 9 has no status bit
        EXPECT_TRUE(logged(6021));
        const auto& leaf = leaves->front();
        EXPECT_EQ(APMPBGetInt32(leaf.get(), 0), 1);
        EXPECT_EQ(APMPBGetBool(leaf.get(), 3), p.newResult) << p.label;
        EXPECT_EQ(bitsOf(*APMPBGetMessage<APMPBResultData>(leaf.get(), 1)), p.current) << p.label;
        if (p.previous) {
            EXPECT_EQ(bitsOf(*APMPBGetMessage<APMPBResultData>(leaf.get(), 2)), *p.previous)
                << p.label;
        } else {
            EXPECT_FALSE(APMPBHasField(leaf.get(), 2)) << p.label;
        }
        EXPECT_EQ(stored(1), p.current) << p.label;
        EXPECT_EQ(storedPrevious(1), storedBefore) << p.label;
    }
}

TEST_F(AudienceTest, SessionScopedClearing) {
    reset();
    ASSERT_TRUE(audiences.updateAudiences(
        {audience(1, {eventFilter(0, "start", {}, nullptr, {false, false, true})}),
         audience(2,
                  {eventFilter(0, "buy"), eventFilter(1, "buy", {}, nullptr, {false, false, true}),
                   eventFilter(2, "buy", {}, nullptr, {false, true, true})})}));
    ASSERT_TRUE(event("start", {}, 5));
    ASSERT_TRUE(event("buy", {}, 7));
    EXPECT_EQ(stored(1), (Bits{{1}, {1}, {{0, 5}}, {}}));
    const Bits before{{7}, {7}, {{1, 7}}, {{2, {7}}}};
    ASSERT_EQ(stored(2), before);
    // Stored words that are too short for the session-scoped filters that
    // follow: nothing of them is stored, so nothing is cleared.
    ASSERT_TRUE(database->updateEventFilters(
        {APMEventFilter(3, 70, "late", Data{1}, true, false, false),
         APMEventFilter(3, 200, "later", Data{1}, true, false, false)}));
    store(3, {{1, 4}, {1}, {}, {}});

    ASSERT_TRUE(audiences.clearEvaluationResultsForSessionScopedFilters());
    EXPECT_FALSE(stored(1));
    EXPECT_EQ(stored(2), (Bits{{1}, {1}, {}, {}}));
    EXPECT_EQ(bitsOf(*storedPrevious(2)), before);
    EXPECT_EQ(stored(3), (Bits{{1, 4}, {1}, {}, {}}));
}

TEST_F(AudienceTest, StaleResultsAreDeletedOnlyPastTheLimit) {
    reset();
    ASSERT_TRUE(audiences.updateAudiences({audience(1, {eventFilter(0, "a")})}));
    for (int id : {1, 2, 3, 4}) store(id, {{1}, {1}, {}, {}});
    EXPECT_TRUE(audiences.maybeDeleteStaleFilterResults({2}));
    EXPECT_EQ(database->allFilterResults()->size(), 4u);

    configure({{"measurement.audience.filter_result_max_count", "2"}});
    EXPECT_TRUE(audiences.maybeDeleteStaleFilterResults({2}));
    EXPECT_TRUE(logged(6016));
    std::vector<std::int32_t> left;
    const auto results = database->allFilterResults();
    for (const auto& [id, result] : results.value()) left.push_back(id);
    EXPECT_EQ(left, (std::vector<std::int32_t>{1, 2}));
}

// Every database failure answers NO with its line, and bundling hands out
// no results.
TEST_F(AudienceTest, DatabaseFailuresAnswerNo) {
    const std::string kRefuseInsert =
        "CREATE TRIGGER refuse BEFORE INSERT ON %s BEGIN SELECT RAISE(ABORT, 'full'); END";
    const std::string kRefuseDelete =
        "CREATE TRIGGER refuse BEFORE DELETE ON %s BEGIN SELECT RAISE(ABORT, 'busy'); END";
    struct Case {
        std::string label;
        std::string sql;  // %s: the table
        std::string table;
        std::function<bool(APMAudience&)> operation;
        long long code;
    };
    auto buy = [](APMAudience& a) {
        return a.evaluateFiltersForEventName("buy", {}, std::nullopt, 9, nullptr);
    };
    auto level = [](APMAudience& a) {
        auto attribute =
            APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(9), 9);
        return a.evaluateFiltersForUserProperty(*attribute, nullptr, 9);
    };
    auto bundle = [](APMAudience& a) {
        std::optional<APMAudience::LeafResults> leaves;
        const bool ok = a.resultsForBundling(leaves);
        EXPECT_EQ(ok, leaves.has_value());
        return ok;
    };
    auto clear = [](APMAudience& a) { return a.clearEvaluationResultsForSessionScopedFilters(); };
    auto save = [](APMAudience& a) {
        return a.updateAudiences(
            {audience(5, {eventFilter(0, "other")},
                      {propertyFilter(1, "other", filter(numberFilter(2, "1")))})});
    };
    const Case cases[] = {
        {"event results unreadable", "DROP TABLE %s", "audience_filter_values", buy, 6001},
        {"event results unsaved", kRefuseInsert, "audience_filter_values", buy, 6003},
        {"property results unreadable", "DROP TABLE %s", "audience_filter_values", level, 6005},
        {"property results unsaved", kRefuseInsert, "audience_filter_values", level, 6007},
        {"bundle results unsaved", kRefuseInsert, "audience_filter_values", bundle, 6022},
        {"session results unreadable", "DROP TABLE %s", "audience_filter_values", clear, 6041},
        {"session results undeletable", kRefuseDelete, "audience_filter_values", clear, 6042},
        {"session results unsaved", kRefuseInsert, "audience_filter_values", clear, 6043},
        {"old event filters undeletable", kRefuseDelete, "event_filters", save, 6010},
        {"old property filters undeletable", kRefuseDelete, "property_filters", save, 6011},
        {"event filters unsaved", kRefuseInsert, "event_filters", save, 6012},
        {"property filters unsaved", kRefuseInsert, "property_filters", save, 6013},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "failure" + std::to_string(n++) + ".sql";
        auto setUp = APMDatabase::initWithDatabaseName(name, nullptr);
        ASSERT_TRUE(setUp) << c.label;
        APMAudience before(setUp.get());
        ASSERT_TRUE(before.updateAudiences(
            {audience(
                 1,
                 {eventFilter(0, "buy"), eventFilter(1, "buy", {}, nullptr, {false, false, true})},
                 {propertyFilter(2, "level", filter(numberFilter(2, "4")), {true, false, false})}),
             audience(2, {eventFilter(0, "buy", {}, nullptr, {false, false, true})})}));
        ASSERT_TRUE(buy(before)) << c.label;
        ASSERT_TRUE(level(before)) << c.label;
        // A second connection, whose statements are prepared after the damage.
        auto db = APMDatabase::initWithDatabaseName(name, nullptr);
        ASSERT_TRUE(db) << c.label;
        APMAudience a(db.get());
        std::string sql = c.sql;
        sql.replace(sql.find("%s"), 2, c.table);
        NSError error;
        ASSERT_TRUE(setUp->store().executeSQL(sql, &error)) << c.label;
        APMMeasurement::monitor().clearLines();
        EXPECT_FALSE(c.operation(a)) << c.label;
        EXPECT_TRUE(logged(c.code)) << c.label;
    }
}

}  // namespace
