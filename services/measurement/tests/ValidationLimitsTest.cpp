#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "services/measurement/APMDataTypeValidator.h"

namespace {

std::string repeat(const std::string& unit, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += unit;
    return out;
}

// Text units: one byte, two UTF-16 units (a letter outside the basic plane)
// and three bytes (a letter inside it).
const std::string kUnits[] = {"a", "\xF0\x9D\x90\x80", "\xE4\xB8\xAD"};

using Check = std::function<int64_t(const std::string&)>;

Check name(bool (*validator)(const Value*, int64_t*)) {
    return [validator](const std::string& text) {
        const Value object(text);
        int64_t code = -1;
        validator(&object, &code);
        return code;
    };
}

Check value(std::function<bool(const APMValue*, int64_t*)> validator) {
    return [validator](const std::string& text) {
        const APMValue object(APMValueTypeString, Value(text));
        int64_t code = -1;
        validator(&object, &code);
        return code;
    };
}

TEST(ValidationLimitsTest, LengthsAreCountedInCodePoints) {
    using V = APMDataTypeValidator;
    struct Case {
        const char* what;
        Check check;
        int max;
        int64_t emptyCode;
    } cases[] = {
        {"public event parameter name", name(V::isValidPublicEventParameterName), 40, 1},
        {"internal event name", name(V::isValidInternalEventName), 40, 1},
        {"internal event parameter name", name(V::isValidInternalEventParameterName), 40, 1},
        {"internal event origin", name(V::isValidInternalEventOrigin), 32, 1},
        {"public user property name", name(V::isValidPublicUserAttributeName), 24, 1},
        {"internal user property name", name(V::isValidInternalUserAttributeName), 24, 1},
        {"conditional property origin", name(V::isValidConditionalUserPropertyOrigin), 32, 1},
        {"conditional property name", name(V::isValidConditionalUserPropertyName), 24, 1},
        {"screen parameter value", name(V::isValidScreenParameterValue), 100, 1},
        {"public event parameter value", value(V::isValidPublicEventParameterValue), 100, 0},
        {"internal event parameter value", value(V::isValidInternalEventParameterValue), 256, 0},
        {"public user property value", value(V::isValidPublicUserAttributeValue), 36, 1},
        {"internal user property value", value([](const APMValue* v, int64_t* c) {
             return V::isValidInternalUserAttributeValue(v, "_x", c);
         }),
         36, 1},
        {"user identifier value", value([](const APMValue* v, int64_t* c) {
             return V::isValidInternalUserAttributeValue(v, "_id", c);
         }),
         256, 1},
        {"conditional property value", value(V::isValidConditionalUserPropertyValue), 36, 1},
    };
    for (const auto& c : cases) {
        for (const auto& unit : kUnits) {
            EXPECT_EQ(c.check(repeat(unit, c.max)), 0) << c.what << " " << unit;
            EXPECT_EQ(c.check(repeat(unit, c.max + 1)), 2) << c.what << " " << unit;
        }
        EXPECT_EQ(c.check(""), c.emptyCode) << c.what;
    }
}

}  // namespace
