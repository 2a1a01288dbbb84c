#include "platform/foundation/NSStringValue.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(NSStringValueTest, NumbersAndSwitchesAtTheHeadOfAText) {
    struct Case {
        const char* text;
        std::int64_t integer;
        double real;
        bool boolean;
    };
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    for (const Case& c : {
             Case{"42", 42, 42, true},
             Case{"  \t\n-17 apples", -17, -17, true},
             Case{"+8", 8, 8, true},
             Case{"0", 0, 0, false},
             Case{"000", 0, 0, false},
             Case{"007", 7, 7, true},
             Case{"-0", 0, 0, false},
             Case{"2.75", 2, 2.75, true},
             Case{"0.5", 0, 0.5, false},
             Case{"-.5e1", 0, -5, false},
             Case{"YES", 0, 0, true},
             Case{"yes", 0, 0, true},
             Case{" true", 0, 0, true},
             Case{"Tomorrow", 0, 0, true},
             Case{"NO", 0, 0, false},
             Case{"false", 0, 0, false},
             Case{"", 0, 0, false},
             Case{"   ", 0, 0, false},
             Case{"x9", 0, 0, false},
             Case{"0x1F", 0, 0, false},
             Case{"inf", 0, 0, false},
             Case{"nan", 0, 0, false},
             Case{"9223372036854775807", kMax, 9223372036854775807.0, true},
             Case{"99999999999999999999", kMax, 1e20, true},
             Case{"-9223372036854775808", kMin, -9223372036854775808.0, true},
             Case{"-99999999999999999999", kMin, -1e20, true},
         }) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(NSStringValue::integerValue(c.text), c.integer);
        EXPECT_DOUBLE_EQ(NSStringValue::doubleValue(c.text), c.real);
        EXPECT_EQ(NSStringValue::boolValue(c.text), c.boolean);
    }
}

}  // namespace
