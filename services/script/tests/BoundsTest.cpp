// Hostile programs: each ends with the runtime's error code within its
// bounds of memory and time, and the process goes on unharmed.

#include <gtest/gtest.h>

#include "services/script/APMPNativeFunctions.h"
#include "services/script/tests/ScriptTestSupport.h"

namespace {

using script_test::Case;
using script_test::run;

// Declares "s" as a string of at least `length` copies of "x", by doubling.
std::string longText(const char* length) {
    return std::string("(41 \"s\") (3 \"s\" \"x\") (42 (23 (16 (15 \"s\") \"length\") ") + length +
           ") (44) false (46 (3 \"s\" (0 (15 \"s\") (15 \"s\")))))";
}

// Runs `setup`, then `step` up to `times` times, each with a fresh budget as
// every event gets: the first error, or the last result.
std::string runSteps(const std::string& setup, const std::string& step, int times) {
    APMPRuntime runtime;
    std::string result = run(runtime, setup);
    for (int i = 0; i < times && result.rfind("error", 0) != 0; ++i) {
        runtime.resetInstructionCount();
        result = run(runtime, step);
    }
    return result;
}

const char* const kSixteen = "(7 16 15 14 13 12 11 10 9 8 7 6 5 4 3 2 1)";

TEST(ScriptBoundsTest, SortingIsSafeWhateverTheComparatorDoes) {
    // a.sort(comparator), then a sorted properly and joined: the elements
    // are still all there, each once.
    const Case cases[] = {
        // Alternates less and greater.
        {"(3 \"t\" (0 (15 \"t\") 1)) (36 (39 (20 (25 (15 \"t\") 2) 0) -1 1))",
         "s:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
        {"(36 -1)", "s:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
        {"(36 (44))", "s:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
        // Empties the array and fills it anew on every comparison.
        {"(43 (15 \"a\") \"length\" 0) (2 (15 \"a\") \"push\" (46 (15 \"p\") (15 \"q\") 99)) "
         "(36 (37 (15 \"q\") (15 \"p\")))",
         "s:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
        // Fails.
        {"(3 \"nope\" 1)", "error 2"},
        // Runs out of budget.
        {"(42 true (44) false (46 1))", "error 18"},
    };
    for (const Case& c : cases) {
        std::string program = std::string("(41 \"a\" \"t\") (3 \"t\" 0) (3 \"a\" ") + kSixteen +
                              ") (2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") " + c.program +
                              "))) (2 (2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") "
                              "(36 (37 (15 \"p\") (15 \"q\")))))) \"join\" (46 \",\"))";
        EXPECT_EQ(run(program), c.expected) << c.program;
    }
}

TEST(ScriptBoundsTest, DefaultSortOfManyElementsIsChargedByItsComparisons) {
    EXPECT_EQ(runSteps("(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") \"length\" 1048576)",
                       "(2 (15 \"a\") \"sort\" (46))", 1),
              "error 18");
}

TEST(ScriptBoundsTest, DeepChainsOfValuesAreReleasedWithoutRecursion) {
    // a = [a], grown over several budgets to far beyond what a recursive
    // release survives, then dropped when a call's scope ends.
    std::string grow =
        "(3 \"i\" 0) (42 (23 (15 \"i\") 60000) (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (3 \"a\" (7 (15 \"a\"))))) 1";
    std::string drop = "(50 \"g\" (7) (41 \"b\") (3 \"b\" (15 \"a\")) (3 \"a\" 0) (36 7)) (g)";
    APMPRuntime runtime;
    ASSERT_EQ(run(runtime, "(41 \"a\" \"i\") (3 \"a\" (7))"), "[]");
    for (int i = 0; i < 6; ++i) {
        runtime.resetInstructionCount();
        ASSERT_EQ(run(runtime, grow), "n:1");
    }
    runtime.resetInstructionCount();
    EXPECT_EQ(run(runtime, drop), "n:7");
    // And when the runtime goes away holding one.
    for (int i = 0; i < 4; ++i) {
        runtime.resetInstructionCount();
        ASSERT_EQ(run(runtime, grow), "n:1");
    }
}

TEST(ScriptBoundsTest, HostSideCopiesCountAgainstTheMemoryBound) {
    const struct {
        const char* setup;
        const char* step;
        int times;
        const char* expected;
    } cases[] = {
        // Long names copied into a map's table, a few per budget.
        {"(41 \"m\" \"i\") (3 \"m\" (8)) (3 \"i\" 0)",
         "(43 (15 \"m\") (0 (15 \"s\") (15 \"i\")) 1) (3 \"i\" (0 (15 \"i\") 1))", 60, "error 20"},
        // The keys and items of a string with more characters than an
        // array may hold are not built.
        {"", "(55 \"k\" (15 \"s\") (46))", 1, "error 20"},
        {"", "(66 \"k\" (15 \"s\") (46))", 1, "error 20"},
        // Its pieces are checked one by one, and their making charged.
        {"", "(2 (15 \"s\") \"split\" (46 \"\"))", 1, "error 18"},
    };
    for (const auto& c : cases) {
        // The map takes names of 8M characters; the rest work on 16M.
        bool map = !std::string(c.setup).empty();
        std::string setup = longText(map ? "8388608" : "16777216") + " " + c.setup;
        EXPECT_EQ(runSteps(setup, c.step, c.times), c.expected) << c.step;
    }
    // Nothing stays counted once the runtimes are gone.
    EXPECT_EQ(APMPLiveBytes(), 0);
}

TEST(ScriptBoundsTest, MemoryRunningOutStopsTheProgramNotTheProcess) {
    // Arrays of long strings kept across budgets until the bound is reached.
    std::string setup = longText("1048576") + " (41 \"k\") (3 \"k\" (7))";
    std::string step =
        "(41 \"j\") (3 \"j\" 0) (42 (23 (15 \"j\") 4) (3 \"j\" (0 (15 \"j\") 1)) false "
        "(46 (2 (15 \"k\") \"push\" (46 (0 (15 \"s\") (15 \"j\")))))) 1";
    EXPECT_EQ(runSteps(setup, step, 200), "error 20");
    EXPECT_EQ(APMPLiveBytes(), 0);
}

TEST(ScriptBoundsTest, WorkIsChargedBySize) {
    const Case cases[] = {
        // Each search backtracks a long time and succeeds: the engine's
        // steps are charged, so the loop ends within the budget.
        {"(42 true (44) false (46 (2 \"aaaaaaaaaaaaaaaaaa\" \"search\" (46 \"(a|a)*b\"))))",
         "error 18"},
        // Copying a long string again and again.
        {"(41 \"t\") (42 true (44) false (46 (3 \"t\" (0 (15 \"s\") \"y\"))))", "error 18"},
        // Searching it again and again.
        {"(42 true (44) false (46 (2 (15 \"s\") \"indexOf\" (46 \"y\"))))", "error 18"},
        {"(42 true (44) false (46 (2 (15 \"s\") \"lastIndexOf\" (46 \"y\"))))", "error 18"},
        // Joining a long array again and again.
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") \"length\" 100000) "
         "(42 true (44) false (46 (2 (15 \"a\") \"join\" (46 \",\"))))",
         "error 18"},
    };
    for (const Case& c : cases) {
        APMPRuntime runtime;
        ASSERT_EQ(run(runtime, longText("1048576")), "undefined");
        runtime.resetInstructionCount();
        EXPECT_EQ(run(runtime, c.program), c.expected) << c.program;
    }
}

TEST(ScriptBoundsTest, WorkThatDoesNotGrowWithSizeIsNotChargedByIt) {
    // Appending to a long array, or reading one character of a long text,
    // costs the same whatever their length.
    const Case cases[] = {
        {"(41 \"a\" \"i\") (3 \"a\" (7)) (3 \"i\" 0) (42 (23 (15 \"i\") 50000) "
         "(3 \"i\" (0 (15 \"i\") 1)) false (46 (2 (15 \"a\") \"push\" (46 (15 \"i\"))))) "
         "(16 (15 \"a\") \"length\")",
         "n:50000"},
        {"(41 \"a\" \"i\") (3 \"a\" (7)) (3 \"i\" 0) (42 (23 (15 \"i\") 50000) "
         "(3 \"i\" (0 (15 \"i\") 1)) false (46 (43 (15 \"a\") (15 \"i\") 1))) "
         "(16 (15 \"a\") \"length\")",
         "n:50000"},
        {"(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 50000) (3 \"i\" (0 (15 \"i\") 1)) "
         "false (46 (2 (15 \"s\") \"charAt\" (46 (15 \"i\"))))) (15 \"i\")",
         "n:50000"},
    };
    for (const Case& c : cases) {
        APMPRuntime runtime;
        ASSERT_EQ(run(runtime, longText("1048576")), "undefined");
        runtime.resetInstructionCount();
        EXPECT_EQ(run(runtime, c.program), c.expected) << c.program;
    }
}

TEST(ScriptBoundsTest, EveryBudgetHasATimeLimit) {
    const char* loop =
        "(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 10000) (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (3 \"i\" (0 (15 \"i\") 0)))) (15 \"i\")";
    APMPRuntime runtime;
    EXPECT_EQ(run(runtime, loop), "n:10000");
    runtime.initScope()->context().timeLimitNanoseconds = 0;
    runtime.resetInstructionCount();
    EXPECT_EQ(run(runtime, loop), "error 18");
    // A fresh budget gets a fresh clock.
    runtime.initScope()->context().timeLimitNanoseconds = APMPRunContext::kTimeLimitNanoseconds;
    runtime.resetInstructionCount();
    EXPECT_EQ(run(runtime, loop), "n:10000");
}

class RecordingLogger final : public APMPLoggerDelegate {
  public:
    void logWithLevel(long long, const std::string& message,
                      const std::vector<std::string>& context, bool, bool) override {
        lengths.push_back(message.size());
        for (const std::string& text : context) lengths.push_back(text.size());
    }
    std::vector<std::size_t> lengths;
};

TEST(ScriptBoundsTest, LoggedLinesAreCut) {
    auto logger = std::make_shared<RecordingLogger>();
    APMPRuntime runtime;
    runtime.setModuleCreator([logger] { return std::make_shared<APMPMessageLogger>(logger); },
                             "internal.logger");
    std::string program = longText("1048576") +
                          " (41 \"l\") (3 \"l\" (require \"internal.logger\")) "
                          "(2 (15 \"l\") \"log\" (46 (15 \"s\"))) "
                          "(2 (15 \"l\") \"log\" (46 4 \"short\" (15 \"s\")))";
    EXPECT_EQ(run(runtime, program), "undefined");
    EXPECT_EQ(logger->lengths, (std::vector<std::size_t>{4096, 5, 4096}));
}

TEST(ScriptBoundsTest, SearchMatchesCanonicallyEquivalentText) {
    // "é" precomposed and as "e" with a combining acute accent.
    const std::string composed = "\xC3\xA9";
    const std::string decomposed = "e\xCC\x81";
    auto call = [](const std::string& text, const char* method, const std::string& arguments) {
        return run("(2 \"" + text + "\" \"" + method + "\" (46 " + arguments + "))");
    };
    EXPECT_EQ(call("caf" + composed, "indexOf", "\"" + decomposed + "\""), "n:3");
    EXPECT_EQ(call("caf" + decomposed, "indexOf", "\"" + composed + "\""), "n:3");
    EXPECT_EQ(call("caf" + composed + " caf" + composed, "lastIndexOf", "\"" + decomposed + "\""),
              "n:8");
    EXPECT_EQ(call("caf" + composed + " caf" + composed, "indexOf", "\"" + decomposed + "\" 4"),
              "n:8");
    // The matched range is replaced, whatever its length.
    EXPECT_EQ(call("caf" + composed + "!", "replace", "\"" + decomposed + "\" \"E\""), "s:cafE!");
    EXPECT_EQ(call("caf" + decomposed + "!", "replace", "\"" + composed + "\" \"E\""), "s:cafE!");
    EXPECT_EQ(call("a" + decomposed + "b" + composed + "c", "split", "\"" + composed + "\""),
              "[s:a,s:b,s:c]");
    // Only canonical equivalence: case, width, ignorable characters and a
    // letter without its accent still differ.
    EXPECT_EQ(call("\xC3\x89"
                   "cole",
                   "indexOf", "\"" + composed + "\""),
              "n:-1");
    EXPECT_EQ(call("\xEF\xBC\xA1"
                   "b",
                   "indexOf", "\"A\""),
              "n:-1");
    EXPECT_EQ(call("a\xE2\x80\x8B"
                   "b" +
                       composed,
                   "indexOf", "\"ab\""),
              "n:-1");
    EXPECT_EQ(call(decomposed, "indexOf", "\"e\""), "n:-1");
    EXPECT_EQ(call("x" + composed, "indexOf", "\"\""), "n:-1");
    // Plain text, with short and long patterns.
    EXPECT_EQ(call("abcabc", "indexOf", "\"c\" 3"), "n:5");
    EXPECT_EQ(call("abcabc", "lastIndexOf", "\"abc\""), "n:3");
    EXPECT_EQ(call("abcabc", "lastIndexOf", "\"abc\" 2"), "n:0");
    const std::string pattern = "xxxxxxxxxxxxxxxxxxxxyz";
    EXPECT_EQ(call("xxx" + pattern + pattern, "indexOf", "\"" + pattern + "\""), "n:3");
    EXPECT_EQ(call("xxx" + pattern + pattern, "lastIndexOf", "\"" + pattern + "\""), "n:25");
    EXPECT_EQ(call("xxx" + pattern + pattern, "lastIndexOf", "\"" + pattern + "\" 24"), "n:3");
    EXPECT_EQ(call("xxx" + pattern, "indexOf", "\"" + pattern + "\" 4"), "n:-1");
}

}  // namespace
