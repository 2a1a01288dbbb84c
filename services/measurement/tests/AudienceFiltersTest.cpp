#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "services/measurement/APMFilterEvaluation.h"
#include "services/measurement/APMFilterNumberText.h"
#include "services/measurement/tests/AudienceBuilders.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

using namespace audience_test;

const std::optional<bool> kNone = std::nullopt;

class AudienceFiltersTest : public ::testing::Test {
  protected:
    void SetUp() override { APMMeasurement::monitor().clearLines(); }
    MeasurementTempHome home;
};

TEST_F(AudienceFiltersTest, StringComparisons) {
    struct Case {
        int type;
        std::optional<std::string> expression;
        bool caseSensitive;
        std::vector<std::string> list;
        std::string value;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {2, "Ab", false, {}, "abc", true},
        {2, "Ab", true, {}, "abc", false},
        {2, "bc", false, {}, "abc", false},
        {3, "BC", false, {}, "abc", true},
        {3, "BC", true, {}, "abc", false},
        {4, "B", false, {}, "abc", true},
        {4, "x", false, {}, "abc", false},
        {5, "ABC", false, {}, "abc", true},
        {5, "ABC", true, {}, "abc", false},
        {5, "ab", false, {}, "abc", false},
        // Folding makes these equal, but exact matches need equal lengths.
        {5,
         "STRASSE",
         false,
         {},
         "stra\xC3\x9F"
         "e",
         false},
        {4,
         "STRASSE",
         false,
         {},
         "stra\xC3\x9F"
         "e",
         true},
        {6, std::nullopt, false, {"x", "ABC"}, "abc", true},
        {6, std::nullopt, true, {"x", "ABC"}, "abc", false},
        {6, std::nullopt, false, {"ab", "abcd"}, "abc", false},
        {1, "b", false, {}, "abc", true},  // a search, not a whole match
        {1, "^b", false, {}, "abc", false},
        {1, "B", true, {}, "abc", false},
        {1, "B", false, {}, "abc", true},
        {7, "abc", false, {}, "abc", false},
        // Invalid filters answer none.
        {1, "(", false, {}, "abc", kNone},
        {0, "abc", false, {}, "abc", kNone},
        {6, std::nullopt, false, {}, "abc", kNone},
        {2, std::nullopt, false, {}, "abc", kNone},
    };
    for (const auto& c : cases) {
        auto f = stringFilter(c.type, c.expression, c.caseSensitive, c.list);
        EXPECT_EQ(APMEvaluateStringFilter(*f, c.value), c.expected)
            << c.type << " " << c.expression.value_or("-") << " " << c.value;
    }
    EXPECT_EQ(APMEvaluateStringFilter(*stringFilter(5, "a"), std::nullopt), kNone);
    EXPECT_TRUE(logged(9005));
    EXPECT_FALSE(APMIsValidStringFilter(*stringFilter(std::nullopt, "a")));
    EXPECT_TRUE(logged(9000));
}

TEST_F(AudienceFiltersTest, CatastrophicRegexIsCutOffAndAnswersNone) {
    // Without a bound this search backtracks through 2^40 paths.
    const std::string subject = std::string(40, 'a') + "!";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(APMEvaluateStringFilter(*stringFilter(1, "(a+)+$"), subject), kNone);
    EXPECT_TRUE(logged(9009));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    // The same pattern on a short subject still answers.
    EXPECT_EQ(APMEvaluateStringFilter(*stringFilter(1, "(a+)+$"), "aaa"), true);
}

// Within open budgets a costly search takes what is left and then counts as
// no match, and so does every later search while the budget stays spent;
// the spending is logged once per budget.
TEST_F(AudienceFiltersTest, RegexWorkIsBoundedPerScope) {
    const std::string costly = std::string(40, 'a') + "!";
    const auto catastrophic = stringFilter(1, "(a+)+$");
    const auto cheap = stringFilter(1, "a+");
    {
        APMRegexBudgetScope pass(1000);
        {
            APMRegexBudgetScope event(20);
            EXPECT_EQ(APMEvaluateStringFilter(*cheap, "aaa"), true);
            EXPECT_EQ(APMEvaluateStringFilter(*catastrophic, costly), false);
            EXPECT_EQ(event.remaining(), 0);
            EXPECT_EQ(APMEvaluateStringFilter(*cheap, "aaa"), false);
            EXPECT_EQ(APMEvaluateStringFilter(*catastrophic, costly), false);
        }
        // The cheap search cost one unit; the costly one the 19 left and one.
        EXPECT_EQ(pass.remaining(), 1000 - 1 - 19 - 1);
        // The next event starts with a budget of its own, within the pass's.
        APMRegexBudgetScope event(20);
        EXPECT_EQ(APMEvaluateStringFilter(*cheap, "aaa"), true);
        EXPECT_EQ(APMRegexBudgetScope::available(), 19);
    }
    EXPECT_FALSE(APMRegexBudgetScope::available());
    int spent = 0;
    for (const auto& line : APMMeasurement::monitor().lines()) spent += line.messageCode == 9012;
    EXPECT_EQ(spent, 1);
    {
        // Many cheap searches spend a budget too.
        APMRegexBudgetScope pass(50);
        int matched = 0;
        for (int i = 0; i < 100; ++i) matched += *APMEvaluateStringFilter(*cheap, "aaa");
        EXPECT_EQ(matched, 50);
    }
}

TEST_F(AudienceFiltersTest, NumberComparisons) {
    struct Case {
        std::shared_ptr<APMPBNumberFilter> filter;
        std::string value;  // decimal text, also compared as int64 and double when whole
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {numberFilter(1, "5"), "4", true},
        {numberFilter(1, "5"), "5", false},
        {numberFilter(2, "5"), "6", true},
        {numberFilter(2, "5"), "5", false},
        {numberFilter(3, "3.5"), "3.50", true},
        {numberFilter(3, "-2"), "-2", true},
        {numberFilter(3, "+.5"), "0.5", true},
        {numberFilter(4, {}, "2", "5"), "2", true},
        {numberFilter(4, {}, "2", "5"), "5", true},
        {numberFilter(4, {}, "2", "5"), "1", false},
        {numberFilter(4, {}, "2", "5"), "6", false},
        // Exactness beyond doubles.
        {numberFilter(2, "9007199254740992"), "9007199254740993", true},
        // Invalid filters.
        {numberFilter(std::nullopt, "5"), "5", kNone},
        {numberFilter(0, "5"), "5", kNone},
        {numberFilter(9, "5"), "5", kNone},
        {numberFilter(-1, "5"), "5", kNone},
        {numberFilter(3, "abc"), "5", kNone},
        {numberFilter(3, "1e3"), "5", kNone},
        {numberFilter(3, std::nullopt), "5", kNone},
        {numberFilter(4, {}, "2", std::nullopt), "3", kNone},
        {numberFilter(4, {}, std::nullopt, "x"), "3", kNone},
        // A decimal string with more digits than the type keeps.
        {numberFilter(3, "1234567890123456789012345678901234567"), "5", kNone},
    };
    for (const auto& c : cases) {
        auto decimal = APMDecimalNumber::fromString(c.value);
        EXPECT_EQ(APMEvaluateNumberFilterWithDecimal(*c.filter, decimal), c.expected)
            << c.filter->description() << " " << c.value;
        if (auto whole = decimal.int64Value();
            whole && decimal == APMDecimalNumber::fromInt64(*whole)) {
            EXPECT_EQ(APMEvaluateNumberFilterWithInt64(*c.filter, *whole), c.expected)
                << c.filter->description() << " " << c.value;
        }
    }
    EXPECT_TRUE(logged(8006));
    EXPECT_TRUE(logged(8007));
    EXPECT_TRUE(logged(8011));
    EXPECT_TRUE(logged(8008));
    EXPECT_TRUE(logged(8009));
    EXPECT_TRUE(logged(8010));
    EXPECT_TRUE(logged(8015));
}

TEST_F(AudienceFiltersTest, DoubleComparisons) {
    const double c = 0.1;
    auto up = [](double v, int n) {
        while (n-- > 0) v = std::nextafter(v, std::numeric_limits<double>::infinity());
        return v;
    };
    auto down = [](double v, int n) {
        while (n-- > 0) v = std::nextafter(v, -std::numeric_limits<double>::infinity());
        return v;
    };
    struct Case {
        std::shared_ptr<APMPBNumberFilter> filter;
        double value;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {numberFilter(3, "0.1"), c, true},
        {numberFilter(3, "0.1"), up(c, 1), true},
        {numberFilter(3, "0.1"), down(c, 1), true},
        {numberFilter(3, "0.1"), up(c, 2), false},
        {numberFilter(3, "0.1"), up(c, 3), false},
        {numberFilter(3, "0.1"), down(c, 2), false},
        {numberFilter(3, "+0.1"), c, true},
        {numberFilter(1, "0.1"), 0.05, true},
        {numberFilter(1, "0.1"), c, false},
        {numberFilter(2, "-1"), -0.5, true},
        {numberFilter(4, {}, "1.5", "2.5"), 1.5, true},
        {numberFilter(4, {}, "1.5", "2.5"), 2.5, true},
        {numberFilter(4, {}, "1.5", "2.5"), 2.6, false},
        {numberFilter(3, "x"), 1, kNone},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(APMEvaluateNumberFilterWithDouble(*k.filter, k.value), k.expected)
            << k.filter->description() << " " << k.value;
    }
}

TEST_F(AudienceFiltersTest, NumberTextOfDoubleComparisons) {
    struct Case {
        std::string text;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"3.5", 3.5},
        {"+.5", 0.5},
        {"-7.", -7},
        {".25", 0.25},
        {"0.1", 0.1},
        {"-0", -0.0},
        {"007", 7},
        {"1e5", std::nullopt},
        {"inf", std::nullopt},
        {"nan", std::nullopt},
        {"+-1", std::nullopt},
        {"--1", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {".", std::nullopt},
        {"1.2.3", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1,000", std::nullopt},
        {"0x10", std::nullopt},
        {"1" + std::string(400, '0'), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(APMFilterDoubleFromText(c.text), c.expected) << c.text;
}

TEST_F(AudienceFiltersTest, FilterAgainstValue) {
    auto eq35 = numberFilter(3, "3.5");
    auto begins = stringFilter(2, "ab");
    struct Case {
        std::shared_ptr<APMPBFilter> filter;
        APMValue value;
        std::optional<bool> expected;
        long long code;  // logged for none, else 0
    };
    const Value text350("3.50"), textABC("abc"), textABD("abd");
    const Case cases[] = {
        {filter(eq35), *APMValue::initWithString(&text350), true, 0},
        {filter(eq35), *APMValue::initWithString(&textABC), kNone, 7001},
        {filter(eq35), APMValue::initWithDouble(3.5), true, 0},
        {filter(eq35), APMValue::initWithDouble(std::nan("")), kNone, 7002},
        {filter(eq35), APMValue::initWithDouble(std::numeric_limits<double>::infinity()), kNone,
         7002},
        {filter(numberFilter(3, "7")), APMValue::initWithInt64(7), true, 0},
        {filter(numberFilter(3, "7")), APMValue::initWithInt64(8), false, 0},
        {filter(nullptr, begins), *APMValue::initWithString(&textABC), true, 0},
        {filter(nullptr, begins), APMValue::initWithInt64(7), kNone, 7003},
        // The number filter wins when both are present.
        {filter(numberFilter(3, "7"), begins), APMValue::initWithInt64(7), true, 0},
        {filter(nullptr, nullptr), APMValue::initWithInt64(7), kNone, 7000},
        {filter(eq35), APMValue(APMValueTypeArray, Value(Array{})), kNone, 0},
        // The complement flips answers but not none.
        {filter(nullptr, begins, {}, true), *APMValue::initWithString(&textABC), false, 0},
        {filter(nullptr, stringFilter(5, "abc"), {}, true), *APMValue::initWithString(&textABD),
         true, 0},
        {filter(eq35, nullptr, {}, true), *APMValue::initWithString(&textABC), kNone, 7001},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(APMEvaluateFilter(*c.filter, c.value), c.expected)
            << c.filter->description() << " " << c.value.description();
        EXPECT_TRUE(c.code == 0 || logged(c.code)) << c.code;
    }
}

TEST_F(AudienceFiltersTest, EventFilters) {
    auto between = numberFilter(4, {}, "2", "5");
    auto aggregates = [](const std::string& name, int lifetime, int session) {
        return APMEventAggregates::initWithName(name, lifetime, 0, session, 0);
    };
    const Value gold("gold"), three("3");
    const APMEventParameters params{{"level", APMValue::initWithInt64(3)},
                                    {"tier", *APMValue::initWithString(&gold)},
                                    {"code", *APMValue::initWithString(&three)}};
    struct Case {
        std::string label;
        std::shared_ptr<APMPBEventFilter> filter;
        std::string eventName;
        std::optional<APMEventAggregates> aggregates;
        std::optional<bool> expected;
        long long code;
    };
    const Case cases[] = {
        {"no filter", nullptr, "buy", {}, kNone, 7004},
        {"no event name", eventFilter(1, "buy"), "", {}, kNone, 7005},
        {"other name", eventFilter(1, "buy"), "sell", {}, kNone, 7006},
        {"no filter name", eventFilter(1, std::nullopt), "buy", {}, kNone, 7006},
        {"name only", eventFilter(1, "buy"), "buy", {}, true, 0},
        {"lifetime count 2", eventFilter(1, "buy", {}, between), "buy", aggregates("buy", 2, 9),
         true, 0},
        {"lifetime count 5", eventFilter(1, "buy", {}, between), "buy", aggregates("buy", 5, 1),
         true, 0},
        {"lifetime count 6", eventFilter(1, "buy", {}, between), "buy", aggregates("buy", 6, 3),
         false, 0},
        {"session count 3", eventFilter(1, "buy", {}, between, {false, false, true}), "buy",
         aggregates("buy", 9, 3), true, 0},
        {"session count 1", eventFilter(1, "buy", {}, between, {false, false, true}), "buy",
         aggregates("buy", 3, 1), false, 0},
        {"aggregates of another event", eventFilter(1, "buy", {}, between), "buy",
         aggregates("sell", 3, 3), kNone, 7007},
        {"no aggregates", eventFilter(1, "buy", {}, between), "buy", std::nullopt, kNone, 7007},
        {"parameter matches",
         eventFilter(1, "buy", {filter(numberFilter(2, "2"), nullptr, "level")}),
         "buy",
         {},
         true,
         0},
        {"parameter fails",
         eventFilter(1, "buy", {filter(numberFilter(2, "5"), nullptr, "level")}),
         "buy",
         {},
         false,
         0},
        {"first failing parameter decides",
         eventFilter(1, "buy",
                     {filter(nullptr, stringFilter(5, "silver"), "tier"),
                      filter(numberFilter(2, "5"), nullptr, "missing")}),
         "buy",
         {},
         false,
         0},
        {"missing parameter",
         eventFilter(1, "buy", {filter(numberFilter(2, "2"), nullptr, "gone")}),
         "buy",
         {},
         kNone,
         7009},
        {"parameter without name",
         eventFilter(1, "buy", {filter(numberFilter(2, "2"))}),
         "buy",
         {},
         kNone,
         7008},
        {"string parameter, number filter",
         eventFilter(1, "buy", {filter(numberFilter(3, "3"), nullptr, "code")}),
         "buy",
         {},
         kNone,
         7010},
        {"number parameter, string filter",
         eventFilter(1, "buy", {filter(nullptr, stringFilter(5, "3"), "level")}),
         "buy",
         {},
         kNone,
         7003},
        {"count decides before parameters",
         eventFilter(1, "buy", {filter(numberFilter(2, "2"), nullptr, "level")}, between), "buy",
         aggregates("buy", 1, 1), false, 0},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(APMEvaluateEventFilter(c.filter.get(), c.eventName, params, c.aggregates),
                  c.expected)
            << c.label;
        EXPECT_TRUE(c.code == 0 || logged(c.code)) << c.label;
    }
}

TEST_F(AudienceFiltersTest, PropertyFilters) {
    const Value decimalText("3.50"), letters("abc");
    auto property = [](const std::string& name, const APMValue& value) {
        return APMUserAttribute::initWithOrigin("app", name, value, 10);
    };
    auto eq35 = filter(numberFilter(3, "3.5"));
    struct Case {
        std::string label;
        std::shared_ptr<APMPBPropertyFilter> filter;
        std::optional<APMUserAttribute> property;
        std::optional<bool> expected;
        long long code;
    };
    const Case cases[] = {
        {"no filter", nullptr, property("level", APMValue::initWithInt64(1)), kNone, 7011},
        {"no property", propertyFilter(1, "level", eq35), std::nullopt, kNone, 7012},
        {"other name", propertyFilter(1, "rank", eq35),
         property("level", APMValue::initWithDouble(3.5)), kNone, 7013},
        {"no inner filter", propertyFilter(1, "level", nullptr),
         property("level", APMValue::initWithDouble(3.5)), kNone, 7014},
        {"decimal string", propertyFilter(1, "level", eq35),
         property("level", *APMValue::initWithString(&decimalText)), true, 0},
        {"letters", propertyFilter(1, "level", eq35),
         property("level", *APMValue::initWithString(&letters)), kNone, 7001},
        {"double", propertyFilter(1, "level", eq35),
         property("level", APMValue::initWithDouble(3.4)), false, 0},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        ASSERT_TRUE(c.label == "no property" || c.property) << c.label;
        EXPECT_EQ(APMEvaluatePropertyFilter(c.filter.get(), c.property), c.expected) << c.label;
        EXPECT_TRUE(c.code == 0 || logged(c.code)) << c.label;
    }
}

TEST_F(AudienceFiltersTest, AudienceValidation) {
    auto number = [] { return filter(numberFilter(2, "1"), nullptr, "p"); };
    auto goodEvent = [&](int id) { return eventFilter(id, "buy", {number()}); };
    auto goodProperty = [](int id) {
        return propertyFilter(id, "level", filter(nullptr, stringFilter(5, "x")));
    };
    std::vector<std::shared_ptr<APMPBEventFilter>> eleven;
    for (int i = 0; i < 11; ++i) eleven.push_back(goodEvent(i));
    std::vector<std::shared_ptr<APMPBFilter>> manyParameters(26, number());
    struct Case {
        std::shared_ptr<APMPBAudience> audience;
        long long code;  // 0: valid
        std::string description;
    };
    const Case cases[] = {
        {audience(1, {goodEvent(0)}, {goodProperty(1)}), 0, ""},
        {audience(std::nullopt, {goodEvent(0)}), 9, "Missing audience ID"},
        {audience(-1, {goodEvent(0)}), 9, "Audience ID is negative"},
        {audience(7, {goodEvent(0)}), 9, "Duplicate audience ID"},
        {audience(1, {}), 9, "Audience filter count out of range"},
        {audience(1, eleven), 9, "Audience filter count out of range"},
        {audience(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
        {audience(1, {eventFilter(std::nullopt, "buy")}), 10, "Missing event filter ID"},
        {audience(1, {eventFilter(10, "buy")}), 10, "Event filter ID is out of range"},
        {audience(1, {eventFilter(-1, "buy")}), 10, "Event filter ID is out of range"},
        {audience(1, {goodEvent(2), goodEvent(2)}), 10, "Duplicate event filter ID"},
        {audience(1, {eventFilter(0, "buy", {}, numberFilter(2, "1", {}, {}, true))}), 10,
         "Event filter has float event count filter"},
        {audience(1, {eventFilter(0, "buy", {}, numberFilter(2, "x"))}), 10,
         "Event filter has invalid event count filter"},
        {audience(1, {eventFilter(0, "buy", manyParameters)}), 10,
         "Event filter parameters filters count out of range"},
        {audience(1, {eventFilter(0, "buy", {filter(numberFilter(2, "1"))})}), 10,
         "Event filter missing parameter name"},
        {audience(
             1, {eventFilter(0, "buy", {filter(numberFilter(2, "1"), stringFilter(5, "x"), "p")})}),
         10, "Event filter must have exactly one of number or string filter"},
        {audience(1, {eventFilter(0, "buy", {filter(nullptr, nullptr, "p")})}), 10,
         "Event filter must have exactly one of number or string filter"},
        {audience(1, {eventFilter(0, "buy", {filter(numberFilter(0, "1"), nullptr, "p")})}), 10,
         "Event filter has invalid number filter"},
        {audience(1, {eventFilter(0, "buy", {filter(nullptr, stringFilter(1, "("), "p")})}), 10,
         "Event filter has invalid string filter"},
        {audience(1, {}, {propertyFilter(0, "", filter(numberFilter(2, "1")))}), 11,
         "Property filter missing property name"},
        {audience(1, {}, {propertyFilter(std::nullopt, "level", filter(numberFilter(2, "1")))}), 11,
         "Missing property filter ID"},
        {audience(1, {}, {propertyFilter(10, "level", filter(numberFilter(2, "1")))}), 11,
         "Property filter ID is out of range"},
        {audience(1, {goodEvent(3)}, {goodProperty(3)}), 11, "Duplicate property filter ID"},
        {audience(1, {}, {propertyFilter(0, "level", nullptr)}), 11,
         "Property filter has no filter"},
        {audience(1, {}, {propertyFilter(0, "level", filter(nullptr))}), 11,
         "Property filter must have exactly one of number or string filter"},
        {audience(1, {}, {propertyFilter(0, "level", filter(numberFilter(4, {}, "1", {})))}), 11,
         "Property filter has invalid number filter"},
        {audience(1, {}, {propertyFilter(0, "level", filter(nullptr, stringFilter(6, {})))}), 11,
         "Property filter has invalid string filter"},
        // Event filters are all checked before any property filter.
        {audience(1, {goodEvent(0), eventFilter(0, "")}, {propertyFilter(0, "", nullptr)}), 10,
         "Event filter missing event name"},
    };
    const std::set<std::int32_t> accepted{7};
    for (const auto& c : cases) {
        NSError error;
        const bool valid = APMValidateAudience(*c.audience, accepted, &error);
        EXPECT_EQ(valid, c.code == 0) << c.description;
        if (c.code == 0) continue;
        EXPECT_EQ(error.code, c.code) << c.description;
        EXPECT_EQ(error.localizedDescription(), c.description);
    }
    EXPECT_EQ(accepted, std::set<std::int32_t>{7});
}

TEST_F(AudienceFiltersTest, ParameterNameAliases) {
    const auto& aliases = APMParameterNameAliases();
    EXPECT_EQ(aliases.size(), 54u);
    const std::pair<std::string, std::string> samples[] = {
        {"engagement_time_msec", "_et"},   {"za_screen_class", "_sc"},
        {"reruzera_screen_class", "_sc"},  {"message_device_time", "_ndt"},
        {"update_with_analytics", "_uwa"}, {"session_id", "_sid"}};
    for (const auto& [name, alias] : samples) EXPECT_EQ(aliases.at(name), alias) << name;
    EXPECT_EQ(&aliases, &APMParameterNameAliases());
}

}  // namespace
