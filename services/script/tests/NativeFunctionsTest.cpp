// The logger module, the key-value store, the version function, the event
// handle and the command fallback.

#include <gtest/gtest.h>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/script/APMPEventEditing.h"
#include "services/script/APMPNativeFunctions.h"
#include "services/script/tests/ScriptTestSupport.h"

using script_test::Case;
using script_test::run;

namespace {

class NativeFunctionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime.setModuleCreator(
            [] { return std::make_shared<APMPMessageLogger>(std::make_shared<APMScriptLogger>()); },
            "internal.logger");
        runtime.setModuleCreator(
            [] {
                return std::make_shared<APMPKeyValueStore>(
                    "internal.remoteConfig",
                    [](const std::string& key) -> std::optional<std::string> {
                        if (key == "known") return "yes";
                        return std::nullopt;
                    });
            },
            "internal.remoteConfig");
        context->setInputEvent(
            APMPEvent("ev", 12.5, Dictionary{{"p", Value(3)}, {"q", Value("x")}}));
        runtime.globalScope()->addValue(std::make_shared<APMPEventNativeFunctions>(context), u"e");
        APMMeasurement::monitor().clearLines();
    }

    APMPRuntime runtime;
    std::shared_ptr<APMPEventContext> context = std::make_shared<APMPEventContext>();
};

TEST_F(NativeFunctionsTest, LoggerLevelsAndContexts) {
    struct LogCase {
        const char* program;
        int level;
        std::vector<Value> contexts;
    };
    const char* logger = "(41 \"l\") (3 \"l\" (require \"internal.logger\")) ";
    const LogCase cases[] = {
        {"(2 (15 \"l\") \"log\" (46 \"x\"))", 6, {}},
        {"(2 (15 \"l\") \"log\" (46 6 \"x\"))", 1, {}},
        {"(2 (15 \"l\") \"log\" (46 7 \"x\"))", 6, {}},
        {"(2 (15 \"l\") \"log\" (46 2 \"x\"))", 8, {}},
        {"(2 (15 \"l\") \"log\" (46 5.9 \"x\" \"a\"))", 4, {Value("a")}},
        {"(2 (16 (15 \"l\") \"silent\") \"log\" (46 6 \"x\"))", 2, {}},
        {"(2 (16 (15 \"l\") \"unmonitored\") \"log\" (46 5 \"x\" \"a\" \"b\" \"c\" \"d\"))",
         3,
         {Value("a"), Value("b"), Value("c")}},
        {"(2 (16 (15 \"l\") \"unmonitored\") \"log\" (46 6 \"x\"))", 0, {}},
    };
    for (const LogCase& c : cases) {
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(run(runtime, std::string(logger) + c.program), "undefined") << c.program;
        auto lines = APMMeasurement::monitor().lines();
        ASSERT_EQ(lines.size(), 1u) << c.program;
        EXPECT_EQ(lines[0].level, c.level) << c.program;
        EXPECT_EQ(lines[0].messageCode, 24005);
        EXPECT_EQ(lines[0].message, "x");
        EXPECT_EQ(lines[0].contexts, c.contexts) << c.program;
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_EQ(run(runtime, std::string(logger) + "(2 (15 \"l\") \"log\" (46))"), "error 9");
    EXPECT_EQ(run(runtime, std::string(logger) + "(l 1 2)"), "undefined");
    EXPECT_TRUE(APMMeasurement::monitor().lines().empty());
}

TEST_F(NativeFunctionsTest, ScriptLevelsMapToMonitorLevels) {
    struct LevelCase {
        long long level;
        bool silent, monitored;
        int expected;
    };
    const LevelCase cases[] = {
        {2, true, false, 8},  {3, false, true, 7},  {4, true, true, 6},    {5, true, false, 5},
        {5, false, true, 4},  {5, false, false, 3}, {6, true, false, 2},   {6, false, true, 1},
        {6, false, false, 0}, {0, true, true, 6},   {-1, false, false, 6}, {99, false, true, 6},
    };
    for (const LevelCase& c : cases)
        EXPECT_EQ(APMScriptLogger::monitorLevel(c.level, c.silent, c.monitored), c.expected)
            << c.level << c.silent << c.monitored;
}

TEST_F(NativeFunctionsTest, KeyValueStoreVersionAndFallback) {
    const char* store = "(41 \"rc\") (3 \"rc\" (require \"internal.remoteConfig\")) ";
    const Case cases[] = {
        {"(2 (15 \"rc\") \"getValue\" (46 \"known\" 5))", "s:yes"},
        {"(2 (15 \"rc\") \"getValue\" (46 \"unknown\" 5))", "n:5"},
        {"(2 (15 \"rc\") \"getValue\" (46 \"unknown\" (7 1)))", "[n:1]"},
        {"(2 (15 \"rc\") \"getValue\" (46 \"known\"))", "error 9"},
        {"(rc)", "undefined"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(run(runtime, std::string(store) + c.program), c.expected) << c.program;
    EXPECT_EQ(
        run(runtime, "(2 (require \"internal.platform\") \"getVersion\" (46 (3 \"nope\" 1)))"),
        "n:0");
    EXPECT_EQ(run(runtime, "(41 \"n\") (3 \"n\" 5) (n 1 2)"), "undefined");
    EXPECT_EQ(run(runtime, "(require \"internal.platform\")"), "f:internal.platform");
}

TEST_F(NativeFunctionsTest, EventHandleReadsAndWritesTheOutputEvent) {
    const Case cases[] = {
        {"(2 (15 \"e\") \"getEventName\" (46))", "s:ev"},
        {"(2 (15 \"e\") \"getEventName\" (46 1))", "error 9"},
        {"(2 (15 \"e\") \"getTimestamp\" (46))", "n:12.5"},
        {"(2 (15 \"e\") \"getParamValue\" (46 \"p\"))", "n:3"},
        {"(2 (15 \"e\") \"getParamValue\" (46 \"zz\"))", "null"},
        {"(2 (15 \"e\") \"getParams\" (46))", "{p=n:3,q=s:x}"},
        {"(2 (15 \"e\") \"setEventName\" (46 (45)))", "error 10"},
        {"(2 (15 \"e\") \"setEventName\" (46 (44)))", "error 10"},
        {"(2 (15 \"e\") \"getEventName\" (46))", "s:ev"},
        {"(2 (15 \"e\") \"setEventName\" (46 7))", "s:7"},
        {"(2 (15 \"e\") \"getEventName\" (46))", "s:7"},
        {"(2 (15 \"e\") \"setParamValue\" (46 \"p\" (45)))", "null"},
        {"(2 (15 \"e\") \"getParamValue\" (46 \"p\"))", "null"},
        {"(2 (15 \"e\") \"setParamValue\" (46 \"u\" (44)))", "undefined"},
        {"(2 (15 \"e\") \"setParamValue\" (46 \"n\" \"007\"))", "s:007"},
        {"(2 (15 \"e\") \"getParams\" (46))", "{n=n:7,q=s:x,u=s:}"},
        {"(2 (15 \"e\") \"nope\" (46))", "error 17"},
        {"(2 (15 \"e\") \"hasOwnProperty\" (46 \"getEventName\"))", "b:false"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(runtime, c.program), c.expected) << c.program;
    EXPECT_EQ(context->inputEvent().name, "ev");
    EXPECT_EQ(context->outputEvent().name, "7");
}

}  // namespace
