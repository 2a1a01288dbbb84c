#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMMeasurement.h"

namespace {

std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += unit;
    return out;
}

const std::string kAstral = "\xF0\x9D\x90\x80";  // a letter outside the basic plane

int64_t publicEventNameCode(const std::string& name) {
    Value v(name);
    int64_t code = -1;
    APMDataTypeValidator::isValidPublicEventName(&v, &code);
    return code;
}

TEST(DataTypeValidatorTest, PublicEventNames) {
    struct Case {
        std::string name;
        int64_t code;
    } cases[] = {
        {"screen_view", 0},
        {"ad_impression", 0},
        {"level_up", 0},
        {"session_start", 4},
        {"error", 4},
        {"za_campaign", 4},
        {"reruzera_campaign", 4},
        {"reruzera_anything", 4},
        {"zevera_x", 4},
        {"_private", 3},
        {"1st", 3},
        {"bad-name", 3},
        {"", 1},
        {repeat("a", 40), 0},
        {repeat("a", 41), 2},
        {repeat(kAstral, 40), 0},
        {repeat(kAstral, 41), 2},
        {"e\xCC\x81vent", 3},  // a combining mark is no name character
    };
    for (const auto& c : cases) EXPECT_EQ(publicEventNameCode(c.name), c.code) << c.name;
    int64_t code = -1;
    EXPECT_FALSE(APMDataTypeValidator::isValidPublicEventName(nullptr, &code));
    EXPECT_EQ(code, 1);
    Value number(3);
    EXPECT_FALSE(APMDataTypeValidator::isValidPublicEventName(&number, &code));
    EXPECT_EQ(code, 5);
}

TEST(DataTypeValidatorTest, ValuesAndUserProperties) {
    APMMeasurement::monitor().clearLines();
    auto text = [](const std::string& s) { return *APMValue::valueFromObject(Value(s)); };
    int64_t code = -1;
    auto empty = text("");
    EXPECT_TRUE(APMDataTypeValidator::isValidPublicEventParameterValue(&empty, &code));
    EXPECT_FALSE(APMDataTypeValidator::isValidPublicUserAttributeValue(&empty, &code));
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(APMMeasurement::monitor().lines().empty());  // silent for values

    auto long200 = text(repeat("x", 200));
    EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(&long200, "_id", &code));
    EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(&long200, "_zbraid"));
    EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(&long200, "_x", &code));
    EXPECT_EQ(code, 2);
    auto number = APMValue::initWithInt64(1);
    EXPECT_TRUE(APMDataTypeValidator::isValidPublicUserAttributeValue(&number));
    Value plain("p");
    EXPECT_FALSE(APMDataTypeValidator::isValidValue(&plain, 0, 10, 3, &code));
    EXPECT_EQ(code, 5);

    struct NameCase {
        std::string name;
        int64_t code;
    } names[] = {{"level", 0}, {"user_id", 4}, {"za_x", 4}, {repeat("a", 25), 2}, {"_fot", 3}};
    for (const auto& c : names) {
        Value v(c.name);
        APMDataTypeValidator::isValidPublicUserAttributeName(&v, &code);
        EXPECT_EQ(code, c.code) << c.name;
    }
}

TEST(DataTypeValidatorTest, OriginsCurrenciesAndArrays) {
    struct OriginCase {
        std::string origin;
        int64_t code;
    } origins[] = {{"crash+tag", 0}, {"crash", 6}, {"+tag", 1}, {"", 1}, {"cr-sh+tag", 3}};
    for (const auto& c : origins) {
        Value v(c.origin);
        int64_t code = -1;
        APMDataTypeValidator::isValidForwardedEventOrigin(&v, &code);
        EXPECT_EQ(code, c.code) << c.origin;
    }
    struct CurrencyCase {
        std::string text;
        bool valid;
    } currencies[] = {{"USD", true}, {"US1", false}, {"EURO", false}, {"\xC3\x89UR", true}};
    for (const auto& c : currencies) {
        auto v = *APMValue::valueFromObject(Value(c.text));
        int64_t code = -1;
        EXPECT_EQ(APMDataTypeValidator::isValidCurrencyCode(&v, &code), c.valid) << c.text;
        EXPECT_EQ(code, c.valid ? 0 : 9) << c.text;
    }
    auto d = APMValue::initWithDouble(1.5);
    EXPECT_TRUE(APMDataTypeValidator::isValidNumericValue(&d));

    struct ArrayCase {
        std::string event, param;
        int64_t count;
        bool nested;
        int64_t code;
    } arrays[] = {{"purchase", "items", 200, false, 0},
                  {"purchase", "items", 201, false, 12},
                  {"level_up", "items", 1, false, 10},
                  {"purchase", "things", 1, false, 11},
                  {"purchase", "items", 1, true, 13}};
    for (const auto& c : arrays) {
        int64_t code = -1;
        APMDataTypeValidator::isValidArrayParamForEvent(c.event, c.param, c.count, c.nested, &code);
        EXPECT_EQ(code, c.code) << c.event << " " << c.param;
    }
    int64_t code = -1;
    EXPECT_FALSE(APMDataTypeValidator::isValidArrayParamItem(Value(1), &code));
    EXPECT_EQ(code, 14);
}

TEST(DataTypeValidatorTest, ErrorAnnotations) {
    APMEventParameters parameters;
    Value first("first"), second("second");
    APMAnnotateParameterError(parameters, 4, &first, 100, &first);
    APMAnnotateParameterError(parameters, 3, &second, 100, &second);
    EXPECT_EQ(parameters.at("_err").int64Value(), 4);
    EXPECT_EQ(parameters.at("_ev").stringValue(), "first");
    EXPECT_EQ(parameters.at("_el").int64Value(), 5);

    APMEventParameters trimmed;
    Value text(repeat(kAstral, 300));
    APMAddErrorValueParameters(trimmed, &text, 256, &text);
    auto ev = *trimmed.at("_ev").stringValue();
    EXPECT_EQ(apm_UTF32Length(ev), 259u);
    EXPECT_EQ(ev.substr(ev.size() - 3), "...");
    EXPECT_TRUE(apm_isValidUTF8(ev));
    EXPECT_EQ(trimmed.at("_el").int64Value(), 300);

    APMEventParameters nil;
    APMAddErrorValueParameters(nil, nullptr, 10, nullptr);
    EXPECT_EQ(nil.at("_ev").stringValue(), "(nil)");
    EXPECT_FALSE(nil.count("_el"));
    APMSetErrorCodeParameter(nil, 7);
    APMSetErrorCodeParameter(nil, 8);
    EXPECT_EQ(nil.at("_err").int64Value(), 7);
}

TEST(DataTypeValidatorTest, ErrorEventsGoToTheInstalledLogger) {
    std::vector<std::pair<std::string, APMEventParameters>> logged;
    APMSetInternalEventLogger([&](const std::string& origin, const std::string& name,
                                  const APMEventParameters& parameters) {
        logged.emplace_back(origin + "/" + name, parameters);
    });
    APMLogInternalErrorEvent(0);
    APMLogInternalErrorEvent(8);
    Value name("a_name"), value(repeat("v", 50));
    APMLogValidationErrorEvent(0, &name, 40, &value);
    APMLogValidationErrorEvent(4, &name, 40, &value);
    APMLogValidationErrorEvent(2, &name, 100, &value);
    APMSetInternalEventLogger(nullptr);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].first, "auto/_err");
    EXPECT_EQ(logged[0].second.at("_err").int64Value(), 8);
    EXPECT_EQ(logged[1].second.at("_ev").stringValue(), "a_name");
    EXPECT_EQ(logged[1].second.at("_el").int64Value(), 50);
    EXPECT_FALSE(logged[2].second.count("_el"));  // short value, other code
}

TEST(DataTypeValidatorTest, TablesAndNameHelpers) {
    EXPECT_EQ(APMReservedEventNames().size(), 33u);
    EXPECT_EQ(APMErrorCodeNames().size(), 24u);
    EXPECT_EQ(APMReservedEventNamesByInternalName().at("_vs"), "screen_view");
    EXPECT_EQ(APMReservedEventNamesByInternalName().at("_cmp"), "reruzera_campaign");
    EXPECT_TRUE(APMIsEcommerceEventName("view_search_results"));
    EXPECT_TRUE(APMIsItemParameterName("item_location_id"));
    EXPECT_TRUE(APMIsConversionEventName("_f"));
    EXPECT_FALSE(APMIsConversionEventName("level_up"));
    Value custom("custom"), internal("_x"), empty("");
    EXPECT_TRUE(APMIsValidNameFormat(&custom));
    EXPECT_FALSE(APMIsValidNameFormat(&internal));
    EXPECT_FALSE(APMIsValidNameFormat(&empty));
    EXPECT_TRUE(APMEventNameIsErrorEvent("_err"));
    EXPECT_TRUE(APMIsNotErrorEventName(nullptr));
    APMEventParameters subscription{{"subscription", APMValue::initWithInt64(1)}};
    EXPECT_TRUE(APMIsSubscriptionEvent("_iap", subscription));
    EXPECT_FALSE(APMIsSubscriptionEvent("_iap", {}));
    EXPECT_TRUE(APMIsSubscriptionEvent("_assr", {}));
}

}  // namespace
