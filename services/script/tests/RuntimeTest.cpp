// Program conversion, evaluation, scopes, the instruction budget and the
// bounds on depth and size.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "services/script/tests/ScriptTestSupport.h"

using script_test::Case;
using script_test::run;

TEST(ScriptRuntimeTest, ConvertsEntitiesAndRunsPrograms) {
    const Case cases[] = {
        {"", "undefined"},
        {"1 2 \"x\"", "s:x"},
        {"{type=1}", "s:"},
        {"{type=2}", "n:NaN"},
        {"{type=3}", "b:false"},
        {"{type=3 bool=true}", "b:true"},
        {"{type=1 str=\"\"}", "s:"},
        {"{}", "error 12"},
        {"{type=0}", "error 12"},
        {"{type=5}", "error 12"},
        {"{type=4}", "error 14"},
        {"(0 {type=4} 1)", "error 14"},
        {"{type=4 name=\"\"}", "undefined"},
        // Unregistered command names that name no function are silent.
        {"(11 1) (14) (31) (48) (49) (nosuch 1)", "undefined"},
        // Top-level control values come back as the result.
        {"(36 5)", "control:return(n:5)"},
        {"(4)", "control:break(undefined)"},
        // Top-level declarations live in the global scope.
        {"(41 \"x\") (3 \"x\" 4) (15 \"x\")", "n:4"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptRuntimeTest, GlobalDeclarationsSurviveBetweenRuns) {
    APMPRuntime runtime;
    EXPECT_EQ(run(runtime, "(41 \"x\") (3 \"x\" 7)"), "n:7");
    EXPECT_EQ(run(runtime, "(0 (15 \"x\") 1)"), "n:8");
    APMPErrorSlot error;
    auto scope = runtime.getRunScope();
    EXPECT_EQ(script_test::show(scope->valueForName(u"x")), "n:7");
    EXPECT_NE(runtime.getRunScope(), scope);
}

TEST(ScriptRuntimeTest, ScopesDeclareShadowAndAssignOutward) {
    auto root = APMPScope::make();
    auto child = root->createChildScope();
    root->addValue(APMPNumberValue::make(1), u"a");
    child->setValue(APMPNumberValue::make(2), u"a");  // reaches the outer binding
    EXPECT_EQ(script_test::show(root->valueForName(u"a")), "n:2");
    EXPECT_FALSE(child->contents.hasName(u"a"));
    child->setValue(APMPNumberValue::make(3), u"b");  // undeclared: declared here
    EXPECT_TRUE(child->contents.hasName(u"b"));
    EXPECT_FALSE(root->hasName(u"b"));
    child->addValue(APMPNumberValue::make(9), u"a");  // shadows
    EXPECT_EQ(script_test::show(child->valueForName(u"a")), "n:9");
    EXPECT_EQ(script_test::show(root->valueForName(u"a")), "n:2");
    root->addImmutableValue(APMPNumberValue::make(5), u"c");
    child->setValue(APMPNumberValue::make(6), u"c");
    EXPECT_EQ(script_test::show(root->valueForName(u"c")), "n:5");
    child->makeImmutable();
    child->setValue(APMPNumberValue::make(7), u"a");
    child->addValue(APMPNumberValue::make(7), u"d");
    EXPECT_EQ(script_test::show(child->valueForName(u"a")), "n:9");
    EXPECT_FALSE(child->hasName(u"d"));
    EXPECT_EQ(script_test::show(child->valueForName(u"nothing")), "undefined");
}

// Builds a program of n literal statements.
static std::string literals(int n) {
    std::string out;
    out.reserve(static_cast<std::size_t>(n) * 2);
    for (int i = 0; i < n; ++i) out += "1 ";
    return out;
}

TEST(ScriptRuntimeTest, InstructionBudgetCountsEveryEvaluation) {
    APMPRuntime runtime;
    APMPErrorSlot error;
    runtime.executeStatements(script_test::program("(0 1 2) (7 1 2 3)"), error);
    ASSERT_FALSE(error);
    EXPECT_EQ(runtime.getInstructionCount(error), 3 + 4);
    runtime.resetInstructionCount();
    EXPECT_EQ(runtime.getInstructionCount(error), 0);

    // Exactly the limit succeeds; one more evaluation fails with code 18.
    auto statements = script_test::program(literals(1000000));
    runtime.executeStatements(statements, error);
    EXPECT_FALSE(error);
    runtime.executeStatements(script_test::program("1"), error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kAPMPErrorInstructionLimit);
}

TEST(ScriptRuntimeTest, VariablesAndSumsKeepResultsAndCounts) {
    struct CountCase {
        const char* program;
        const char* expected;
        std::int64_t instructions;
    };
    const CountCase cases[] = {
        {"(41 \"x\") (3 \"x\" 5) (15 \"x\")", "n:5", 2 + 3 + 2},
        {"(15 \"x\")", "undefined", 2},
        {"(41 \"x\") (3 \"x\" 5) (15 (0 \"x\" \"\"))", "n:5", 2 + 3 + 4},
        {"(41 \"x\") (3 \"x\" (0 (15 \"x\") 1))", "n:NaN", 2 + 6},
        {"(15 \"x\" \"y\")", "error 9", 3},
        {"(15 1)", "error 10", 2},
        {"(3 \"x\" 1)", "error 2", 3},
        {"(52 \"c\" 1) (3 \"c\" 2) (15 \"c\")", "n:1", 3 + 3 + 2},
        {"(0 \"ab\" 1)", "s:ab1", 3},
        {"(0 1 \"ab\")", "s:1ab", 3},
        {"(0 (7 1 2) \"x\")", "s:1,2x", 5},
        {"(0 \"\" \"\")", "s:", 3},
        {"(0 2.5 1)", "n:3.5", 3},
        {"(0 true 1)", "n:2", 3},
        {"(23 1 2) (23 \"b\" \"a\") (18 2 1)", "b:true", 9},
        // A statement-list argument counts as one evaluation, its entries
        // as they run, whether written in place or held in a variable.
        {"(38 1 (46 1) (46 2))", "undefined", 6},
        // Cases are evaluated until one matches, literal or computed.
        {"(38 2 (46 1 (0 1 1) 3) (46 7 8 9))", "undefined", 4 + 1 + 3 + 2},
        {"(41 \"c\") (3 \"c\" (46 1)) (38 1 (15 \"c\") (46 2))", "undefined", 2 + 3 + 7},
        // Case bodies count as they run, blocks and breaks included.
        {"(38 2 (46 1 2) (46 (53 1 (4) 2) (53 3 (4) 4)))", "undefined", 4 + 2 + 3},
        {"(38 1 (46 1 2) (46 (53 1) (53 (53 2 (4)) 3) 5))", "undefined", 4 + 1 + 2 + 4},
        {"(38 9 (46 1 (0 1 1)) (46 (53 1) 2 (53 3 (4) 4)))", "undefined", 4 + 4 + 3},
        {"(22 true (46 1 2))", "n:2", 5},
        {"(2 \"ab\" \"charAt\" (46 1))", "s:b", 5},
        {"(42 false 1 true (46 7))", "undefined", 5},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (16 (15 \"a\") 1)", "n:2", 2 + 5 + 4},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (43 (15 \"a\") 1 (0 (15 \"a\") 1))", "s:1,21",
         2 + 5 + 1 + 2 + 1 + 4},
    };
    for (const CountCase& c : cases) {
        APMPRuntime runtime;
        EXPECT_EQ(run(runtime, c.program), c.expected) << c.program;
        APMPErrorSlot error;
        EXPECT_EQ(runtime.getInstructionCount(error), c.instructions) << c.program;
    }
}

// s = 0; switch (x) { case 1: { s += 1 } case (s += 10, 2): { s += 100;
// break; s += 1000 } default: { s += 10000 } }, run with the budget running
// out at each of its steps in turn: it stops there with the limit's error,
// having counted no more than the budget, with what ran before kept.
TEST(ScriptRuntimeTest, SwitchStopsWhereTheBudgetRunsOut) {
    auto statements = script_test::program(
        "(3 \"s\" 0) (38 (15 \"x\") (46 1 (13 (3 \"s\" (0 (15 \"s\") 10)) 2)) "
        "(46 (53 (3 \"s\" (0 (15 \"s\") 1))) "
        "(53 (3 \"s\" (0 (15 \"s\") 100)) (4) (3 \"s\" (0 (15 \"s\") 1000))) "
        "(53 (3 \"s\" (0 (15 \"s\") 10000))))) (15 \"s\")");
    // The budget is spent up to kRoom steps before its end by a counting
    // loop, whose cost per round is measured, and literals for the rest.
    constexpr int kRoom = 100;
    auto loop = [](std::int64_t rounds) {
        return "(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") " + std::to_string(rounds) +
               ") (3 \"i\" (0 (15 \"i\") 1)) false (46))";
    };
    auto cost = [](const std::string& text) {
        APMPRuntime runtime;
        APMPErrorSlot error;
        runtime.executeStatements(script_test::program(text), error);
        return runtime.getInstructionCount(error);
    };
    const std::int64_t fixed = cost(loop(0));
    const std::int64_t perRound = cost(loop(1)) - fixed;
    const std::int64_t rounds = (1000000 - kRoom - fixed) / perRound;
    auto spend = script_test::program(
        loop(rounds) + " " +
        literals(static_cast<int>(1000000 - kRoom - fixed - rounds * perRound)));
    struct Expected {
        int x;
        std::int64_t instructions;
        std::vector<std::string> values;  // s along the way, in order
    };
    const Expected runs[] = {
        {1, 26, {"n:0", "n:1", "n:101"}},
        {2, 27, {"n:0", "n:10", "n:110"}},
        {3, 26, {"n:0", "n:10", "n:10010"}},
    };
    for (const Expected& e : runs) {
        std::size_t reached = 0;
        for (int k = 0; k <= kRoom; ++k) {
            APMPRuntime runtime;
            APMPErrorSlot error;
            runtime.executeStatements(
                script_test::program("(41 \"s\" \"x\") (3 \"s\" 0) (3 \"x\" " +
                                     std::to_string(e.x) + ")"),
                error);
            ASSERT_FALSE(error);
            runtime.resetInstructionCount();
            runtime.executeStatements(spend, error);
            if (k < kRoom)
                runtime.executeStatements(script_test::program(literals(kRoom - k)), error);
            ASSERT_FALSE(error);
            APMPValueRef result = runtime.executeStatements(statements, error);
            std::int64_t used = runtime.getInstructionCount(error);
            if (k >= e.instructions) {
                ASSERT_FALSE(error) << e.x << " " << k;
                EXPECT_EQ(script_test::show(result), e.values.back());
                EXPECT_EQ(used, 1000000 - k + e.instructions) << e.x << " " << k;
                break;
            }
            ASSERT_TRUE(error) << e.x << " " << k;
            EXPECT_EQ(error->code, kAPMPErrorInstructionLimit);
            EXPECT_EQ(used, 1000000) << e.x << " " << k;
            // What the switch left in s is where it was before, or further on.
            std::string s = script_test::show(runtime.globalScope()->valueForName(u"s"));
            while (reached < e.values.size() && e.values[reached] != s) ++reached;
            EXPECT_LT(reached, e.values.size()) << e.x << " " << k << " " << s;
        }
    }
}

TEST(ScriptRuntimeTest, AssignmentStopsSilentlyAtFrozenScopes) {
    auto root = APMPScope::make();
    root->addValue(APMPNumberValue::make(1), u"a");
    auto frozen = root->createChildScope();
    frozen->makeImmutable();
    auto inner = frozen->createChildScope();
    auto statement = [](const char* text) {
        APMPErrorSlot error;
        return APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(
            *script_test::program(text).at(0), error);
    };
    for (const APMPScopeRef& scope : {frozen, inner}) {
        APMPErrorSlot error;
        APMPEvaluator::evaluateStatement(statement("(3 \"a\" 7)"), scope, error);
        EXPECT_FALSE(error);
        EXPECT_EQ(script_test::show(root->valueForName(u"a")), "n:1");
        APMPEvaluator::evaluateStatement(statement("(3 \"b\" 7)"), scope, error);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, kAPMPErrorUndeclared);
    }
    APMPErrorSlot error;
    APMPEvaluator::evaluateStatement(statement("(3 \"a\" 7)"), root, error);
    EXPECT_FALSE(error);
    EXPECT_EQ(script_test::show(root->valueForName(u"a")), "n:7");
}

TEST(ScriptRuntimeTest, ProgramsCannotTouchTheirBudget) {
    // A program that tries to reset or switch off the counter by name still
    // stops at the limit.
    const char* attempts[] = {
        "(13 (41 \"runtime.counter\") (3 \"runtime.counter\" 0))",
        "(41 \"runtime.counter\")",
        "(52 \"runtime.counter\" -1000000000)",
    };
    for (const char* attempt : attempts) {
        std::string loop = std::string("(42 true ") + attempt + " false (46 " + attempt + "))";
        EXPECT_EQ(run(loop), "error 18") << attempt;
    }
    EXPECT_EQ(run("(15 \"runtime.counter\")"), "undefined");
}

TEST(ScriptRuntimeTest, RunawayProgramsEndWithAnError) {
    const Case cases[] = {
        // Endless loop: the budget.
        {"(42 true 1 false (46))", "error 18"},
        // Endless recursion: the depth bound, long before the stack ends.
        {"(50 \"f\" (7) (f)) (f)", "error 19"},
        {"(50 \"f\" (7 \"n\") (36 (0 1 (f (15 \"n\"))))) (f 1)", "error 19"},
        // Huge index and length: the element bound.
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 4000000000 1)", "error 20"},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") \"length\" 1e15)", "error 20"},
        // Doubling a string: the string bound.
        {"(41 \"s\") (3 \"s\" \"xxxxxxxxxxxxxxxx\") "
         "(42 true (3 \"s\" (0 (15 \"s\") (15 \"s\"))) false (46 1))",
         "error 20"},
        // Doubling an array by concatenation: the budget, which charges
        // every element copied.
        {"(41 \"a\") (3 \"a\" (7 1 2 3 4)) "
         "(42 true (3 \"a\" (2 (15 \"a\") \"concat\" (46 (15 \"a\")))) false (46 1))",
         "error 18"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
    // Nothing stays held once the runtimes are gone.
    EXPECT_EQ(APMPLiveBytes(), 0);
}

TEST(ScriptRuntimeTest, DeeplyNestedEntitiesFailToConvert) {
    // Built in memory: the wire format stops nesting much earlier.
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "(34 ";
        text += "1";
        for (int i = 0; i < depth; ++i) text += ")";
        return script_test::Reader(text).expression();
    };
    struct DepthCase {
        int depth;
        const char* expected;
    };
#if defined(__SANITIZE_THREAD__)
    // Each level copies the whole chain below it, and ThreadSanitizer keeps
    // the full stack of every one of those allocations for good: a little
    // past the bound keeps the check within memory there.
    constexpr int kDeep = APMPRunContext::kDepthLimit + 20;
#else
    constexpr int kDeep = 1000;
#endif
    const DepthCase cases[] = {{90, "n:1"}, {kDeep, "error 19"}};
    for (const DepthCase& c : cases) {
        APMPRuntime runtime;
        APMPErrorSlot error;
        APMPValueRef value = runtime.executeStatements({nested(c.depth)}, error);
        EXPECT_EQ(error ? "error " + std::to_string(error->code) : script_test::show(value),
                  c.expected)
            << c.depth;
    }
}

TEST(ScriptRuntimeTest, SelfReferencesConvertWithoutRecursingForever) {
    const Case cases[] = {
        {"(41 \"a\") (3 \"a\" (7 1)) (2 (15 \"a\") \"push\" (46 (15 \"a\"))) "
         "(2 (15 \"a\") \"join\" (46 \"-\"))",
         "error 19"},
        {"(41 \"a\") (3 \"a\" (7 1)) (2 (15 \"a\") \"push\" (46 (15 \"a\"))) (0 \"\" (15 \"a\"))",
         "error 19"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptRuntimeTest, ConvertsPlainObjectsIntoValues) {
    APMPErrorSlot error;
    auto show = [&](const Value& v) {
        error.reset();
        return script_test::show(APMPRuntimeEntityConverter::runtimeValueFromNSObject(v, error));
    };
    EXPECT_EQ(show(Value()), "null");
    EXPECT_EQ(show(Value(true)), "b:true");
    EXPECT_EQ(show(Value(3)), "n:3");
    EXPECT_EQ(show(Value(2.5)), "n:2.5");
    EXPECT_EQ(show(Value("é")), "s:é");
    EXPECT_EQ(show(Value(Array{Value(1), Value("a")})), "[n:1,s:a]");
    EXPECT_EQ(show(Value(Dictionary{{"k", Value(Array{})}})), "{k=[]}");
    EXPECT_EQ(show(Value(Data{1, 2})), "undefined");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kAPMPErrorObjectClass);
}

TEST(ScriptRuntimeTest, ConvertsValuesIntoPlainObjects) {
    APMPRuntime runtime;
    struct ObjectCase {
        const char* program;
        Value expected;
    };
    const ObjectCase cases[] = {
        {"\"007\"", Value(7.0)},
        {"\"\"", Value(0.0)},
        {"\"abc\"", Value("abc")},
        {"(44)", Value("")},
        {"(45)", Value()},
        {"true", Value(1.0)},
        {"(10 0 0)", Value("NaN")},
        {"(51 \"fn\" (7))", Value("fn")},
        {"(8 \"a\" 1 \"b\" (45) \"c\" (44))",
         Value(Dictionary{{"a", Value(1.0)}, {"c", Value("")}})},
        // A null element stays a null object instead of breaking the array.
        {"(7 1 (45) (44))", Value(Array{Value(1.0), Value(), Value("")})},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 2 1) (15 \"a\")",
         Value(Array{Value(""), Value(""), Value(1.0)})},
    };
    for (const ObjectCase& c : cases) {
        APMPErrorSlot error;
        APMPValueRef value = runtime.executeStatements(script_test::program(c.program), error);
        ASSERT_FALSE(error) << c.program;
        EXPECT_EQ(APMPRuntimeEntityConverter::objectFromRuntimeValue(value, error), c.expected)
            << c.program;
        EXPECT_FALSE(error) << c.program;
    }
    APMPErrorSlot error;
    auto control = APMPControlValue::breakValue();
    EXPECT_EQ(APMPRuntimeEntityConverter::objectFromRuntimeValue(control, error), Value(""));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kAPMPErrorNoString);
}
