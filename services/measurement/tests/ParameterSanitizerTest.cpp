#include <gtest/gtest.h>

#include <string>

#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMParameterSanitizer.h"

namespace {

std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += unit;
    return out;
}

int64_t intAt(const APMEventParameters& p, const std::string& key) {
    return p.at(key).int64Value();
}
std::string textAt(const APMEventParameters& p, const std::string& key) {
    return p.at(key).stringValue().value_or("<not text>");
}

const std::string kPurchase = "purchase";

TEST(ParameterSanitizerTest, TrimsCustomParametersToLimitKeepingSmallestNames) {
    APMRawParameters raw;
    for (int i = 0; i < 30; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "p%02d", i);
        raw.emplace(name, Value(i));
    }
    auto result = APMSanitizeEventParameters(raw, nullptr, true, false);
    ASSERT_TRUE(result);
    EXPECT_EQ(APMCountCustomParameters(*result, false), 25);
    EXPECT_TRUE(result->count("p24"));
    EXPECT_FALSE(result->count("p25"));
    EXPECT_EQ(intAt(*result, "_err"), 5);

    auto larger = APMSanitizeEventParameters(raw, nullptr, true, false, 40);
    EXPECT_EQ(larger->size(), 30u);
    EXPECT_FALSE(larger->count("_err"));

    // Internal names neither count nor get trimmed.
    for (int i = 0; i < 5; ++i) raw.emplace("_z" + std::to_string(i), Value(i));
    auto internal = APMSanitizeEventParameters(raw, nullptr, false, false);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(internal->count("_z" + std::to_string(i)));
    EXPECT_EQ(APMCountCustomParameters(*internal, false), 25);
}

TEST(ParameterSanitizerTest, FirstInvalidNameOrValueIsRecorded) {
    struct Case {
        APMRawParameters raw;
        int64_t err;
        std::string ev;
        std::optional<int64_t> el;
    } cases[] = {
        {{{"reruzera_x", Value(1)}, {"zevera_y", Value(2)}}, 14, "reruzera_x", std::nullopt},
        {{{"a", Value(repeat("v", 101))}}, 4, "a", 101},
        {{{"bad-name", Value(1)}}, 3, "bad-name", std::nullopt},
        {{{repeat("n", 41), Value(1)}}, 3, repeat("n", 40) + "...", 41},
    };
    for (const auto& c : cases) {
        auto result = APMSanitizeEventParameters(c.raw, nullptr, true, false);
        ASSERT_TRUE(result);
        EXPECT_EQ(intAt(*result, "_err"), c.err) << c.ev;
        EXPECT_EQ(textAt(*result, "_ev"), c.ev);
        if (c.el) {
            EXPECT_EQ(intAt(*result, "_el"), *c.el) << c.ev;
        } else {
            EXPECT_FALSE(result->count("_el")) << c.ev;
        }
    }
    // A 101-code-point value outside the basic plane is too long; 100 is not.
    auto astral = APMSanitizeEventParameters({{"a", Value(repeat("\xF0\x9F\x98\x80", 100))}},
                                             nullptr, true, false);
    EXPECT_TRUE(astral->count("a"));
    EXPECT_EQ(APMSanitizeEventParameters({}, nullptr, true, false), std::nullopt);
}

TEST(ParameterSanitizerTest, LongErrorValueIsTrimmedOnce) {
    auto result =
        APMSanitizeEventParameters({{"_ev", Value(repeat("x", 300))}}, nullptr, false, false);
    EXPECT_EQ(apm_UTF32Length(textAt(*result, "_ev")), 259u);
    EXPECT_EQ(intAt(*result, "_el"), 300);
    const std::string already = repeat("x", 256) + "...";
    auto kept = APMSanitizeEventParameters({{"_ev", Value(already)}}, nullptr, false, false);
    EXPECT_EQ(textAt(*kept, "_ev"), already);
    EXPECT_FALSE(kept->count("_el"));
}

TEST(ParameterSanitizerTest, EcommerceItems) {
    Array items;
    for (int i = 0; i < 250; ++i) items.push_back(Value(Dictionary{{"price", i}}));
    auto result = APMSanitizeEventParameters({{"items", Value(items)}}, &kPurchase, true, false);
    EXPECT_EQ(result->at("items").arrayValue()->size(), 200u);
    EXPECT_EQ(intAt(*result, "_err"), 17);
    EXPECT_EQ(textAt(*result, "_ev"), "items");

    Array mixed{Value(Dictionary{{"price", 1}, {"custom", 2}}), Value(1), Value(2), Value(3)};
    auto cleaned = APMSanitizeEventParameters({{"items", Value(mixed)}}, &kPurchase, true, false);
    const Array kept = *cleaned->at("items").arrayValue();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]["price"], Value(1));
    EXPECT_EQ(kept[0]["custom"], Value());
    EXPECT_EQ(kept[0]["_err"], Value(23LL));
    EXPECT_EQ(intAt(*cleaned, "_err"), 4);
    EXPECT_EQ(textAt(*cleaned, "_ev"), "items[1]");

    const std::string level = "level_up";
    auto refused = APMSanitizeEventParameters({{"items", Value(items)}}, &level, true, false);
    EXPECT_FALSE(refused->count("items"));
    EXPECT_EQ(intAt(*refused, "_err"), 21);
    EXPECT_EQ(textAt(*refused, "_ev"), "level_up");
}

TEST(ParameterSanitizerTest, ValueAndCurrency) {
    struct Case {
        APMEventParameters parameters;
        bool valid;
        int64_t err;
        std::string ev;
    } cases[] = {
        {{{"value", APMValue::initWithDouble(9.99)}}, false, 19, "currency"},
        {{{"value", *APMValue::valueFromObject(Value("9.99"))}}, false, 18, "value"},
        {{{"value", APMValue::initWithDouble(9.99)},
          {"currency", *APMValue::valueFromObject(Value("USD"))}},
         true,
         0,
         ""},
        {{}, true, 0, ""},
    };
    for (auto& c : cases) {
        EXPECT_EQ(APMValidateValueAndCurrency(c.parameters), c.valid) << c.ev;
        if (c.valid) continue;
        EXPECT_FALSE(c.parameters.count("value"));
        EXPECT_EQ(intAt(c.parameters, "_err"), c.err);
        EXPECT_EQ(textAt(c.parameters, "_ev"), c.ev);
    }
}

TEST(ParameterSanitizerTest, ScreenParametersAndCounts) {
    APMEventParameters parameters{
        {"_si", APMValue::initWithInt64(1)},
        {"_sn", *APMValue::valueFromObject(Value("main"))},
        {"x", APMValue(APMValueTypeArray, Value(Array{Value(1), Value(2)}))}};
    EXPECT_TRUE(APMEventHasScreenParameters(parameters));
    EXPECT_EQ(APMScreenParameters(parameters).size(), 2u);
    EXPECT_EQ(APMCountArrayItems(&parameters), 2);
    EXPECT_EQ(APMCountArrayItems(nullptr), 0);
    APMTrimCustomParameters(parameters, 0);
    EXPECT_FALSE(parameters.count("x"));
    EXPECT_TRUE(parameters.count("_si"));
}

}  // namespace
