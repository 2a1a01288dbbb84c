#include <gtest/gtest.h>

#include "platform/runtime/Runtime.h"
#include "services/measurement/APMLogNames.h"
#include "services/measurement/APMMeasurement.h"

namespace {

class LogNamesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NSClassFromString("ZAROduzozova")) {
            Class cls = objc_allocateClassPair(RuntimeObject::rootClass(), "ZAROduzozova", 0);
            if (cls) objc_registerClassPair(cls);
        }
        APMMeasurement::monitor().setDebugModeEnabled(true);
    }
    void TearDown() override { APMMeasurement::monitor().setDebugModeEnabled(false); }
};

TEST_F(LogNamesTest, ShortNamesShowTheirPublicNames) {
    struct Case {
        std::string name, rendered;
    } cases[] = {{"_vs", "screen_view (_vs)"},
                 {"_cmp", "za_campaign (_cmp)"},  // the prefixed key only when alone
                 {"level_up", "level_up"},
                 {"_unknown", "_unknown"},
                 {"", ""}};
    for (const auto& c : cases) EXPECT_EQ(APMRenderEventName(Value(c.name)), c.rendered);
    EXPECT_EQ(APMRenderName(Value("_x"), {{"reruzera_x", "_x"}}), "reruzera_x (_x)");
    EXPECT_EQ(APMRenderUserPropertyName(Value("_fot")), "first_open_time (_fot)");
    EXPECT_EQ(APMRenderParameterName(Value("_sid")), "session_id (_sid)");
    // "reruzera_error" and "za_error" both map to it: the unprefixed one wins.
    EXPECT_EQ(APMRenderParameterName(Value("_err")), "za_error (_err)");
    EXPECT_EQ(APMRenderUserPropertyName(Value("_exp_1")), "experiment_id (_exp_1)");
    EXPECT_EQ(APMRenderEventName(Value(3)), Value(3).description());

    APMMeasurement::monitor().setDebugModeEnabled(false);
    EXPECT_EQ(APMRenderEventName(Value("_vs")), "_vs");
    EXPECT_EQ(APMRenderParameterName(Value("_sid")), "_sid");
}

TEST_F(LogNamesTest, ParametersOneLinePerEntrySorted) {
    APMEventParameters parameters{{"b", APMValue::initWithInt64(1)},
                                  {"A", APMValue(APMValueTypeString, Value("x"))},
                                  {"_err", APMValue::initWithInt64(2)}};
    EXPECT_EQ(APMRenderParameters(&parameters),
              "{\n    A = x;\n    b = 1;\n    za_error (_err) = InvalidEventName (2);\n}");
}

}  // namespace
