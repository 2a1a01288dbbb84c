// The statement forms the evaluator runs directly must be indistinguishable
// from running every statement through its command's handler: the same
// results, errors, instruction counts and variables afterwards.

#include <string>
#include <vector>

#include "services/script/tests/ScriptTestSupport.h"

namespace {

struct Outcome {
    std::string result;
    std::int64_t instructions = 0;
    std::string variables;
};

using Entities = std::vector<std::shared_ptr<APMPBRuntimeEntity>>;

// Converts and runs a program with the direct forms on or off.
Outcome runEntities(const Entities& entities, const std::vector<std::string>& names, bool forms) {
    struct Restore {
        ~Restore() { APMPEvaluator::setStatementFormsEnabled(true); }
    } restore;
    APMPEvaluator::setStatementFormsEnabled(forms);
    Outcome outcome;
    APMPRuntime runtime;
    APMPErrorSlot error;
    APMPValueRef result = runtime.executeStatements(entities, error);
    outcome.result = error ? "error " + std::to_string(error->code) : script_test::show(result);
    error.reset();
    outcome.instructions = runtime.getInstructionCount(error);
    for (const std::string& name : names)
        outcome.variables +=
            name + "=" + script_test::show(runtime.globalScope()->valueForName(APMPUTF16(name))) +
            " ";
    return outcome;
}

struct FormCase {
    std::string program;
    std::string expected;
    std::vector<std::string> variables;
};

// With an empty `expected`, only that both ways agree.
void expectSameBothWays(const Entities& entities, const std::string& expected,
                        const std::vector<std::string>& variables, const std::string& label) {
    Outcome direct = runEntities(entities, variables, true);
    Outcome handled = runEntities(entities, variables, false);
    if (!expected.empty()) {
        EXPECT_EQ(direct.result, expected) << label;
    }
    EXPECT_EQ(direct.result, handled.result) << label;
    EXPECT_EQ(direct.instructions, handled.instructions) << label;
    EXPECT_EQ(direct.variables, handled.variables) << label;
}

void expectSameBothWays(const FormCase& c) {
    expectSameBothWays(script_test::program(c.program), c.expected, c.variables, c.program);
}

// `program` after 0 to `paddings - 1` literals, so that a budget running out
// inside it does so at each step of an iteration in turn.
void expectSameAfterEveryPadding(const std::string& before, const std::string& program,
                                 int paddings, const std::string& expected,
                                 const std::vector<std::string>& variables) {
    for (int padding = 0; padding < paddings; ++padding) {
        std::string padded = before;
        for (int i = 0; i < padding; ++i) padded += "1 ";
        expectSameBothWays({padded + program, expected, variables});
    }
}

// A recursion evaluating `expression` of its argument at every level: `fits`
// calls succeed, each number of calls up to `fails` ends alike either way,
// and `fails` calls pass the depth bound.
void expectSameDepthBound(const std::string& expression, int fits, int fails) {
    auto program = [&](int calls) {
        return "(50 \"r\" (7 \"n\") (22 (23 (15 \"n\") 1) (46 (36 (23 " + expression +
               " 0))) (46 (36 (r (37 (15 \"n\") 1)))))) "
               "(41 \"t\") (3 \"t\" 0) (3 \"t\" (0 (15 \"t\") (r " +
               std::to_string(calls) + ")))";
    };
    expectSameBothWays({program(fits), "n:0", {"t"}});
    for (int calls = fits + 1; calls < fails; ++calls)
        expectSameBothWays({program(calls), "", {"t"}});
    expectSameBothWays({program(fails), "error 19", {"t"}});
}

const char* kCountingLoop =
    "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
    "(42 (23 (15 \"i\") 2000) (3 \"i\" (0 (15 \"i\") 1)) false "
    "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (15 \"s\")";

TEST(ScriptStatementFormTest, ProgramsRunAlikeWithAndWithoutDirectForms) {
    const FormCase cases[] = {
        {kCountingLoop, "n:1999000", {"i", "s"}},
        // Values shared with another variable, an array or an assignment's
        // result are never changed in place.
        {"(41 \"s\" \"t\" \"a\") (3 \"s\" \"x\") (3 \"t\" (15 \"s\")) (3 \"a\" (7 (15 \"s\"))) "
         "(3 \"s\" (0 (15 \"s\") \"y\")) (3 \"s\" (0 (15 \"s\") 1)) "
         "(3 \"t\" (0 (15 \"t\") (15 \"t\"))) (15 \"s\")",
         "s:xy1",
         {"s", "t", "a"}},
        {"(41 \"n\" \"m\" \"a\") (3 \"n\" 5000) (3 \"n\" (0 (15 \"n\") 1)) (3 \"m\" (15 \"n\")) "
         "(3 \"n\" (0 (15 \"n\") 1)) (3 \"a\" (7 (15 \"n\"))) (3 \"n\" (26 (15 \"n\") 2)) "
         "(3 \"n\" (37 (15 \"n\") 1)) (3 \"m\" (3 \"n\" (0 (15 \"n\") 1))) "
         "(3 \"n\" (0 (15 \"n\") 1)) (15 \"n\")",
         "n:10005",
         {"n", "m", "a"}},
        {"(41 \"s\" \"u\") (3 \"s\" \"\") (3 \"u\" (15 \"s\")) (3 \"s\" (0 (15 \"s\") \"ab\")) "
         "(3 \"s\" (0 (15 \"s\") \"cd\")) (3 \"u\" (0 (15 \"u\") (15 \"s\"))) (15 \"s\")",
         "s:abcd",
         {"s", "u"}},
        // Operands of other kinds go to the command.
        {"(41 \"x\" \"u\" \"v\") (3 \"x\" \"5\") (3 \"x\" (0 (15 \"x\") 1)) "
         "(3 \"v\" (37 (15 \"x\") 1)) (3 \"u\" (0 (15 \"u\") 1)) "
         "(7 (15 \"x\") (15 \"v\") (15 \"u\") (0 true (45)) (26 \"3\" \"4\") (25 7 -3) "
         "(10 1 0) (10 -1 0) (0 (7 1 2) 3) (37 \"a\" 1) (0 1 (0 \"\" 2)) (3 \"v\" (0 1 true)))",
         "[s:51,n:50,n:NaN,n:1,n:12,n:1,n:Infinity,n:-Infinity,s:1,23,n:NaN,s:12,n:2]",
         {"x", "u", "v"}},
        {"(7 (23 1 2) (24 2 2) (18 1 2) (19 \"b\" \"a\") (12 (45) (44)) (29 1 \"1\") (20 1 1) "
         "(21 \"1\" 1) (23 nan 1) (24 nan nan) (18 nan 1) (19 1 nan) (12 (7) (7)) "
         "(23 \"10\" 9) (23 \"10\" \"9\") (20 nan nan) (21 nan nan) (12 true 1))",
         "[b:true,b:true,b:false,b:true,b:true,b:false,b:true,b:true,b:false,b:false,b:false,"
         "b:false,b:false,b:false,b:true,b:false,b:true,b:true]",
         {}},
        // Writes to undeclared names fail; to constants they are ignored.
        {"(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 10) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"z\" (15 \"i\"))))",
         "error 2",
         {"i"}},
        {"(3 \"z\" (0 (15 \"z\") 1))", "error 2", {}},
        {"(52 \"c\" 1) (3 \"c\" (0 (15 \"c\") 1)) (3 \"c\" 5) (15 \"c\")", "n:1", {"c"}},
        {"(52 \"c\" \"a\") (3 \"c\" (0 (15 \"c\") \"b\")) (15 \"c\")", "s:a", {"c"}},
        // Names declared later in an inner scope shadow the outer ones.
        {"(41 \"x\") (3 \"x\" 1) (50 \"f\" (7 \"x\") (3 \"x\" (0 (15 \"x\") 10)) (36 (15 \"x\"))) "
         "(7 (f 5) (15 \"x\") (f 6))",
         "[n:15,n:1,n:16]",
         {"x"}},
        {"(41 \"x\") (3 \"x\" 1) (53 (41 \"x\") (3 \"x\" 7) (3 \"x\" (0 (15 \"x\") 1))) "
         "(3 \"x\" (0 (15 \"x\") 1)) (15 \"x\")",
         "n:2",
         {"x"}},
        {"(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
         "(50 \"g\" (7) (41 \"s\") (3 \"s\" 100) (3 \"s\" (0 (15 \"s\") 1)) (36 (15 \"s\"))) "
         "(42 (23 (15 \"i\") 5) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"s\" (0 (15 \"s\") (g))))) (15 \"s\")",
         "n:505",
         {"i", "s"}},
        {"(41 \"i\" \"t\") (3 \"i\" 0) (3 \"t\" 0) "
         "(42 (23 (15 \"i\") 4) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (53 (41 \"t\") (3 \"t\" (15 \"i\")) (3 \"t\" (0 (15 \"t\") 1))) "
         "(3 \"t\" (0 (15 \"t\") 10)))) (15 \"t\")",
         "n:40",
         {"i", "t"}},
        // A name declared in the running scope hides the outer one from then on.
        {"(41 \"x\") (3 \"x\" 100) (50 \"f\" (7) (41 \"i\" \"sum\") (3 \"i\" 0) "
         "(3 \"sum\" 0) (42 (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"sum\" (0 (15 \"sum\") (15 \"x\"))) (41 \"x\") (3 \"x\" 1))) "
         "(36 (15 \"sum\"))) (f)",
         "n:102",
         {"x"}},
        {"(41 \"x\") (3 \"x\" 100) (50 \"f\" (7) (41 \"i\") (3 \"i\" 0) "
         "(42 (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"x\" (0 (15 \"i\") 0)) (41 \"x\") (3 \"x\" (26 (15 \"i\") 10)))) "
         "(36 (15 \"x\"))) (7 (f) (15 \"x\"))",
         "[n:20,n:0]",
         {"x"}},
        {"(41 \"x\") (3 \"x\" 100) (50 \"g\" (7) (3 \"x\" 50)) (50 \"f\" (7) (41 \"i\") "
         "(3 \"i\" 0) (42 (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (g) (3 \"x\" (0 1 2)) (41 \"x\"))) (36 (15 \"x\"))) (7 (f) (15 \"x\"))",
         "[undefined,n:50]",
         {"x"}},
        // Recursion, loops left by break, continue and return.
        {"(50 \"fib\" (7 \"n\") (22 (23 (15 \"n\") 2) (46 (36 (15 \"n\"))) "
         "(46 (36 (0 (fib (37 (15 \"n\") 1)) (fib (37 (15 \"n\") 2))))))) (fib 15)",
         "n:610",
         {}},
        {"(50 \"w\" (7) (41 \"i\") (3 \"i\" 0) (42 true (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (22 (12 (15 \"i\") 3) (46 (6))) (22 (12 (15 \"i\") 5) (46 (36 (15 \"i\")))))) "
         "(36 -1)) (w)",
         "n:5",
         {}},
        {"(41 \"k\") (3 \"k\" 10) (42 (23 (15 \"k\") 5) (3 \"k\" (0 (15 \"k\") 1)) true "
         "(46 (3 \"k\" (26 (15 \"k\") 2)))) (15 \"k\")",
         "n:20",
         {"k"}},
        {"(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 100) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (22 (19 (15 \"i\") 7) (46 (4))))) (15 \"i\")",
         "n:7",
         {"i"}},
        {"(41 \"i\") (3 \"i\" 0) (42 (15 \"i\") (3 \"i\" 0) false (46 (3 \"i\" 1))) (15 \"i\")",
         "n:0",
         {"i"}},
        {"(42 (23 1 2) 1 false 5)", "error 10", {}},
        // A function's value: its return, or its last statement's value.
        {"(50 \"h\" (7) (0 1 2)) (50 \"r\" (7) (36)) (50 \"b\" (7) (4)) (7 (h) (r) "
         "(b))",
         "[n:3,undefined,control:break(undefined)]",
         {}},
        {"(41 \"a\") (3 \"a\" (7 5 3 9 1 7)) "
         "(2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") (36 (37 (15 \"p\") (15 \"q\")))))) "
         "(15 \"a\")",
         "[n:1,n:3,n:5,n:7,n:9]",
         {"a"}},
        // Comparators answering with text, without a return, or failing.
        {"(41 \"a\") (3 \"a\" (7 5 3 9 1 7)) "
         "(2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") "
         "(36 (39 (23 (15 \"p\") (15 \"q\")) \"1\" \"-1\"))))) "
         "(2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") (0 1 -1) "
         "(37 (15 \"p\") (15 \"q\"))))) (15 \"a\")",
         "[n:1,n:3,n:5,n:7,n:9]",
         {"a"}},
        {"(41 \"a\" \"x\") (3 \"x\" (36 1)) (3 \"a\" (7 5 3 9)) "
         "(2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") "
         "(36 (37 (15 \"p\") (15 \"x\"))))))",
         "error 4",
         {"a"}},
        // Errors inside an expression stop it where the command would.
        {"(41 \"x\" \"y\") (3 \"x\" (36 1)) (3 \"y\" 0) "
         "(3 \"y\" (0 (0 (15 \"y\") 1) (0 (15 \"x\") 1)))",
         "error 4",
         {"y"}},
        {"(41 \"x\" \"s\") (3 \"x\" (36 1)) (3 \"s\" \"a\") (3 \"s\" (0 (15 \"s\") (15 \"x\")))",
         "error 5",
         {"s"}},
        {"(41 \"x\" \"y\") (3 \"x\" (36 1)) (3 \"y\" 0) "
         "(3 \"y\" (0 (0 (15 \"x\") 1) (0 (15 \"y\") 1)))",
         "error 4",
         {"y"}},
        {"(41 \"x\" \"s\") (3 \"x\" (36 1)) (3 \"s\" \"a\") "
         "(3 \"s\" (0 (15 \"s\") (0 (0 (15 \"x\") 1) (0 1 2))))",
         "error 4",
         {"s"}},
        {"(41 \"x\") (3 \"x\" (36 1)) (50 \"f\" (7) (36 1)) "
         "(0 (0 (0 (15 \"x\") 1) (0 1 2)) (f))",
         "error 4",
         {}},
        {"(41 \"x\") (3 \"x\" (36 1)) (50 \"g\" (7) (36 (0 (0 (15 \"x\") 1) (0 1 2)))) (g)",
         "error 4",
         {}},
        {"(41 \"x\") (3 \"x\" (36 1)) (23 (0 (15 \"x\") 1) (0 1 2))", "error 4", {}},
        {"(41 \"x\") (3 \"x\" (36 1)) (42 (23 (0 (15 \"x\") 1) (0 1 2)) 1 false (46))",
         "error 4",
         {}},
    };
    for (const FormCase& c : cases) expectSameBothWays(c);
}

// Loops that only compute numbers in variables run on unboxed copies of
// them; anything else in the loop leaves it to the statements.
TEST(ScriptStatementFormTest, NumericLoopsRunAlikeWithAndWithoutDirectForms) {
    const FormCase cases[] = {
        // Nested arithmetic, a constant, a copy, division and remainder.
        {"(41 \"i\" \"x\" \"t\" \"q\") (52 \"m\" 65536) (3 \"i\" 0) (3 \"x\" 1) (3 \"t\" 0) "
         "(3 \"q\" 0) (42 (23 (26 (15 \"i\") 2) (37 (15 \"m\") 65000)) (3 \"i\" (0 (15 \"i\") 1)) "
         "false (46 (3 \"x\" (25 (0 (26 (15 \"x\") 1103) 12345) (15 \"m\"))) (3 \"t\" (15 \"x\")) "
         "(3 \"q\" (10 (15 \"t\") (37 (15 \"i\") 3))))) (7 (15 \"x\") (15 \"q\"))",
         "[n:35617,n:134.91287878787878]",
         {"i", "x", "t", "q", "m"}},
        // Numbers held elsewhere keep their values.
        {"(41 \"i\" \"j\" \"a\") (3 \"i\" 2000) (3 \"j\" (15 \"i\")) (3 \"a\" (7 (15 \"i\"))) "
         "(42 (24 (15 \"i\") 2100) (3 \"i\" (0 (15 \"i\") 1)) false (46)) (7 (15 \"i\") (15 \"j\") "
         "(15 \"a\"))",
         "[n:2101,n:2000,[n:2000]]",
         {"i", "j"}},
        // A condition false at once; a loop run first, until the budget ends.
        {"(41 \"k\") (3 \"k\" 10) (42 (23 (15 \"k\") 5) (3 \"k\" (0 (15 \"k\") 1)) false "
         "(46 (3 \"k\" (26 (15 \"k\") 2)))) (15 \"k\")",
         "n:10",
         {"k"}},
        {"(41 \"k\" \"n\") (3 \"k\" -0.5) (3 \"n\" 0) (42 (29 (15 \"k\") (15 \"k\")) "
         "(3 \"k\" (0 (15 \"k\") 1)) true (46 (3 \"k\" (10 0 0)) (3 \"n\" (37 (15 \"n\") 1)))) "
         "(7 (15 \"k\") (15 \"n\"))",
         "error 18",
         {"k", "n"}},
        {"(41 \"z\" \"i\") (3 \"z\" 1) (3 \"i\" 0) (42 (23 (15 \"i\") 3) "
         "(3 \"i\" (0 (15 \"i\") 1)) false (46 (3 \"z\" (26 (15 \"z\") -0)))) "
         "(7 (10 1 (15 \"z\")) (15 \"i\"))",
         "[n:-Infinity,n:3]",
         {"z", "i"}},
        // Constants assigned, strings, undefined and undeclared names.
        {"(41 \"i\") (52 \"c\" 1) (3 \"i\" 0) (42 (23 (15 \"i\") 5) (3 \"i\" (0 (15 \"i\") 1)) "
         "false (46 (3 \"c\" (0 (15 \"c\") (15 \"i\"))))) (15 \"c\")",
         "n:1",
         {"i", "c"}},
        {"(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" \"a\") (42 (23 (15 \"i\") 3) "
         "(3 \"i\" (0 (15 \"i\") 1)) false (46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (15 \"s\")",
         "s:a012",
         {"i", "s"}},
        {"(41 \"i\" \"u\") (3 \"i\" 0) (42 (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"u\" (0 (15 \"u\") 1)))) (15 \"u\")",
         "n:NaN",
         {"i", "u"}},
        {"(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") (15 \"n\")) (3 \"i\" (0 (15 \"i\") 1)) "
         "false (46)) (15 \"i\")",
         "n:0",
         {"i"}},
        {"(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"w\" 1)))",
         "error 2",
         {"i"}},
        // More names and steps than one loop takes.
        {"(41 \"i\" \"a\") (3 \"i\" 0) (3 \"a\" 0) (42 (23 (15 \"i\") 3) "
         "(3 \"i\" (0 (15 \"i\") 1)) false (46 (3 \"a\" (0 (0 (0 (0 (0 (0 (0 (0 (0 (0 (0 (0 (0 (0 "
         "(0 (0 (0 (0 (0 (15 \"a\") 1) 2) 3) 4) 5) 6) 7) 8) 9) 10) 11) 12) 13) 14) 15) 16) 17) "
         "18) 19)))) (15 \"a\")",
         "n:570",
         {"i", "a"}},
        // Inside a function, with names of the function and outer ones.
        {"(41 \"base\") (3 \"base\" 7) (50 \"f\" (7 \"n\") (41 \"i\" \"s\") (3 \"i\" 0) "
         "(3 \"s\" 0) (42 (23 (15 \"i\") (15 \"n\")) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"s\" (0 (15 \"s\") (15 \"base\"))) (3 \"base\" (0 (15 \"base\") 1)))) "
         "(36 (15 \"s\"))) (7 (f 3) (f 2) (15 \"base\"))",
         "[n:24,n:21,n:12]",
         {"base"}},
        // Three-part loops: their own copies of the names, the outer ones kept.
        {"(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
         "(63 (7 \"i\") (23 (15 \"i\") 300) (3 \"i\" (0 (15 \"i\") 1)) "
         "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (7 (15 \"s\") (15 \"i\"))",
         "[n:44850,n:0]",
         {"i", "s"}},
        {"(41 \"i\" \"j\" \"s\") (3 \"i\" 5) (3 \"j\" 0) (3 \"s\" 1) "
         "(63 (7 \"i\" \"j\") (24 (15 \"j\") (15 \"i\")) (3 \"j\" (0 (15 \"j\") 1)) "
         "(46 (3 \"s\" (26 (15 \"s\") 2)) (3 \"i\" (37 (15 \"i\") 1)))) "
         "(7 (15 \"s\") (15 \"i\") (15 \"j\"))",
         "[n:8,n:5,n:0]",
         {"i", "j", "s"}},
    };
    for (const FormCase& c : cases) expectSameBothWays(c);
}

// The budget runs out at every position within an iteration of a numeric
// loop, and of one whose first iterations still fit.
TEST(ScriptStatementFormTest, BudgetRunsOutInNumericLoopsAtTheSameStepEitherWay) {
    const std::string loop =
        "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
        "(42 (23 (15 \"i\") 1000000) (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\")))))";
    // An iteration counts 17 instructions.
    expectSameAfterEveryPadding("", loop, 19, "error 18", {"i", "s"});
    const std::string forLoop =
        "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
        "(63 (7 \"i\") (23 (15 \"i\") 1000000) (3 \"i\" (0 (15 \"i\") 1)) "
        "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\")))))";
    expectSameAfterEveryPadding("", forLoop, 19, "error 18", {"i", "s"});
    // 58822 iterations and a failing condition take 999993 instructions.
    const std::string ending =
        "(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") 58822) (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (3 \"i\" (0 (15 \"i\") 0))))";
    expectSameAfterEveryPadding("", ending, 4, "", {"i"});
}

// The budget runs out at every position within a loop iteration in turn.
TEST(ScriptStatementFormTest, BudgetRunsOutAtTheSameStepEitherWay) {
    const std::string loop =
        "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" \"\") "
        "(42 true (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (3 \"i\" (0 (15 \"i\") (26 (15 \"i\") 0))) (3 \"s\" (0 (15 \"s\") \"\")) "
        "(3 \"s\" (0 (15 \"s\") \"\"))))";
    // An iteration counts 28 instructions.
    expectSameAfterEveryPadding("", loop, 30, "error 18", {"i"});
}

// Element and property reads and writes: as operands and for their effect,
// numbers rewritten in place only where nothing else holds them, and every
// way they fail.
TEST(ScriptStatementFormTest, PropertyReadsAndWritesRunAlikeEitherWay) {
    const FormCase cases[] = {
        {"(41 \"a\" \"i\" \"s\") (3 \"a\" (7)) (3 \"i\" 0) (3 \"s\" 0) "
         "(42 (23 (15 \"i\") 600) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (43 (15 \"a\") (15 \"i\") (26 (15 \"i\") 2)))) (3 \"i\" 0) "
         "(42 (23 (15 \"i\") 600) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (3 \"s\" (0 (15 \"s\") (16 (15 \"a\") (15 \"i\")))))) (15 \"s\")",
         "n:359400",
         {"i", "s"}},
        {"(41 \"o\" \"i\") (3 \"o\" (8 \"x\" 0 \"y\" 1)) (3 \"i\" 0) "
         "(42 (23 (15 \"i\") 50) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (43 (15 \"o\") \"x\" (0 (16 (15 \"o\") \"x\") (16 (15 \"o\") \"y\"))) "
         "(43 (15 \"o\") \"y\" (0 (16 (15 \"o\") \"y\") 1)))) (15 \"o\")",
         "{x=n:1275,y=n:51}",
         {"i"}},
        // A write's value, a number held twice, holes, text and lengths.
        {"(41 \"a\" \"b\" \"v\" \"o\") (3 \"a\" (7 5)) (3 \"b\" (16 (15 \"a\") 0)) "
         "(43 (15 \"a\") 0 (0 (16 (15 \"a\") 0) 1)) (3 \"v\" (43 (15 \"a\") 3 (26 2 4))) "
         "(3 \"o\" (8)) (43 (15 \"o\") \"k\" (15 \"b\")) "
         "(43 (15 \"o\") \"k\" (0 (16 (15 \"o\") \"k\") 1)) "
         "(7 (15 \"a\") (15 \"b\") (15 \"v\") (16 (15 \"a\") 2) (16 (15 \"a\") 9) "
         "(16 \"abc\" \"length\") (16 (15 \"a\") \"length\") (16 (15 \"o\") \"k\") "
         "(16 (15 \"a\") \"1\") (16 \"abc\" 1) (43 (15 \"a\") \"w\" \"t\") "
         "(16 (15 \"a\") \"w\") (0 (16 (15 \"o\") \"nope\") 1))",
         "[[n:6,hole,hole,n:8],n:5,n:8,undefined,undefined,n:3,n:4,n:6,undefined,s:b,s:t,s:t,"
         "n:NaN]",
         {"a", "b", "v", "o"}},
        // Reads and writes on null and undefined, and keys that are not indexes.
        {"(41 \"n\") (3 \"n\" (45)) (43 (15 \"n\") \"x\" 1)", "error 6", {"n"}},
        {"(41 \"n\") (3 \"n\" (45)) (0 (16 (15 \"n\") \"x\") 1)", "n:NaN", {"n"}},
        {"(41 \"u\") (16 (15 \"u\") 0)", "undefined", {"u"}},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (43 (15 \"a\") -1 5) (43 (15 \"a\") 1.5 6) "
         "(43 (15 \"a\") nan 7) (7 (15 \"a\") (16 (15 \"a\") -1) (16 (15 \"a\") 1.5))",
         "[[n:1,n:2],n:5,n:6]",
         {"a"}},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 99999999999 1)", "error 20", {"a"}},
        {"(43 (15 \"nope\") 0 1)", "error 6", {}},
        // Numbers past the shared small ones, held by a variable as well as
        // by the element or entry a write then changes.
        {"(41 \"a\" \"o\" \"b\" \"c\") (3 \"a\" (7 (26 50 100))) (3 \"b\" (16 (15 \"a\") 0)) "
         "(43 (15 \"a\") 0 (0 (16 (15 \"a\") 0) 1)) (3 \"o\" (8 \"k\" (15 \"b\"))) "
         "(3 \"c\" (16 (15 \"o\") \"k\")) (43 (15 \"o\") \"k\" (37 (16 (15 \"o\") \"k\") 1)) "
         "(7 (15 \"a\") (15 \"o\") (15 \"b\") (15 \"c\"))",
         "[[n:5001],{k=n:4999},n:5000,n:5000]",
         {"a", "o", "b", "c"}},
        // Element reads nested in indexes and arithmetic, names held in
        // variables, a text's length, and an index computed for a write.
        {"(41 \"a\" \"o\" \"k\" \"t\" \"i\") (3 \"a\" (7 2 0 1 7)) (3 \"o\" (8 \"x\" 40)) "
         "(3 \"k\" \"x\") (3 \"t\" \"abcd\") (3 \"i\" 0) "
         "(42 (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) false "
         "(46 (43 (15 \"a\") (0 (15 \"i\") 4) (0 (16 (15 \"a\") (16 (15 \"a\") (15 \"i\"))) "
         "(0 (16 (15 \"o\") (15 \"k\")) (16 (15 \"t\") \"length\")))))) (15 \"a\")",
         "[n:2,n:0,n:1,n:7,n:45,n:46,n:44]",
         {"i"}},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 0 (3 \"nope\" 1))", "error 2", {"a"}},
    };
    for (const FormCase& c : cases) expectSameBothWays(c);
    // The budget runs out at every step of an iteration that writes and reads.
    const std::string loop =
        "(41 \"a\" \"i\") (3 \"a\" (7 0)) (3 \"i\" 0) "
        "(42 true (3 \"i\" (0 (15 \"i\") 1)) false "
        "(46 (43 (15 \"a\") 0 (0 (16 (15 \"a\") 0) (15 \"i\"))) "
        "(43 (15 \"a\") (15 \"i\") (16 (15 \"a\") 0))))";
    expectSameAfterEveryPadding("", loop, 30, "error 18", {"i"});
    // Reads and writes nested in a recursion meet the depth bound at the same level.
    std::string expression = "(15 \"n\")";
    for (int i = 0; i < 4; ++i) expression = "(16 (7 (43 (7) 0 " + expression + ")) 0)";
    expectSameDepthBound(expression, 70, 100);
}

// Deep recursion reaches the depth bound at every level of an expression.
TEST(ScriptStatementFormTest, DepthRunsOutAtTheSameLevelEitherWay) {
    std::string expression = "(15 \"n\")";
    for (int i = 0; i < 12; ++i) expression = "(0 " + expression + " 1)";
    expectSameDepthBound(expression, 85, 104);
}

// An if whose chosen branch is a return hands its value to the call: near
// the depth bound, with the budget running out at every step of a call, and
// beside branches that do not return.
TEST(ScriptStatementFormTest, ReturningBranchesRunAlikeEitherWay) {
    std::string expression = "(15 \"n\")";
    for (int i = 0; i < 12; ++i) expression = "(0 " + expression + " 1)";
    auto deep = [&](int calls) {
        return "(50 \"r\" (7 \"n\") (22 (23 (15 \"n\") 1) (36 (23 " + expression +
               " 0)) (36 (r (37 (15 \"n\") 1))))) (41 \"t\") (3 \"t\" 0) "
               "(3 \"t\" (0 (15 \"t\") (r " +
               std::to_string(calls) + ")))";
    };
    expectSameBothWays({deep(80), "n:0", {"t"}});
    for (int calls = 81; calls < 110; ++calls) expectSameBothWays({deep(calls), "", {"t"}});
    expectSameBothWays({deep(150), "error 19", {"t"}});
    const std::string fib =
        "(50 \"fib\" (7 \"n\") (22 (23 (15 \"n\") 2) (36 (15 \"n\"))) "
        "(36 (0 (fib (37 (15 \"n\") 1)) (fib (37 (15 \"n\") 2))))) ";
    expectSameBothWays({fib + "(fib 12)", "n:144", {}});
    // An iteration counts 26 instructions.
    expectSameAfterEveryPadding(fib,
                                "(41 \"t\") (3 \"t\" 0) "
                                "(42 true (3 \"t\" (0 (15 \"t\") (fib 2))) false (46))",
                                28, "error 18", {"t"});
    const FormCase others[] = {
        {"(50 \"f\" (7 \"n\") (22 (23 (15 \"n\") 2) 5) (22 false (36 1) (46 7)) 9) (f 1)", "n:9",
         {}},
        {"(50 \"f\" (7 \"n\") (22 (23 (15 \"n\") 2) (46 (36 3))) 4) (7 (f 1) (f 2))",
         "[n:3,n:4]", {}},
        {"(50 \"f\" (7 \"n\") (22 (23 (15 \"n\") 2) (36 3))) (7 (f 1) (f 2))",
         "[n:3,undefined]", {}},
        {"(50 \"f\" (7 \"n\") (22 (23 (15 \"n\") 2) (7 (36 3)))) (f 1)", "n:3",
         {}},
        {"(50 \"f\" (7) (22 true (36 (3 \"nope\" 1)))) (f)", "error 2", {}},
        {"(50 \"f\" (7) (22)) (f)", "error 9", {}},
        {"(50 \"f\" (7) (22 (3 \"nope\" 1) (36 1))) (f)", "error 2", {}},
    };
    for (const FormCase& c : others) expectSameBothWays(c);
}

// A loop whose names are resolved at the top runs again at every depth
// near the bound, in the same scope.
TEST(ScriptStatementFormTest, ResolvedLoopsNearTheDepthBoundFailAlikeEitherWay) {
    // The nested run is built in memory: the wire format stops nesting earlier.
    auto program = [](int nesting) {
        Entities entities = script_test::program(
            "(41 \"k\" \"body\") (3 \"body\" (46 (42 (23 (15 \"k\") 3) "
            "(3 \"k\" (0 (15 \"k\") 1)) false (46 (3 \"k\" (26 (15 \"k\") 1)))))) "
            "(3 \"k\" 0) (5 (15 \"body\")) (3 \"k\" 0)");
        std::string run = "(5 (15 \"body\"))";
        for (int i = 0; i < nesting; ++i) run = "(13 " + run + ")";
        entities.push_back(script_test::Reader(run).expression());
        return entities;
    };
    expectSameBothWays(program(280), "undefined", {"k"}, "280");
    for (int nesting = 281; nesting < 298; ++nesting)
        expectSameBothWays(program(nesting), "", {"k"}, std::to_string(nesting));
    expectSameBothWays(program(298), "error 19", {"k"}, "298");
}

// A branch, a switch and a loop run for their effect inside a loop's body,
// at every depth near the bound, behind 0 to 4 blocks.
TEST(ScriptStatementFormTest, CommandsRunForTheirEffectReachTheDepthBoundAlikeEitherWay) {
    std::string deep = "(15 \"k\")";
    for (int i = 0; i < 12; ++i) deep = "(0 " + deep + " 1)";
    const std::pair<std::string, std::string> commands[] = {
        {"(22 (23 " + deep + " 0) (46 (3 \"k\" 5)))", "n:0"},
        {"(38 (15 \"k\") (46 0) (46 (46 (3 \"k\" " + deep + "))))", "n:0"},
        {"(42 (23 (15 \"k\") 1) (3 \"k\" " + deep + ") false (46))", "n:12"},
    };
    for (const auto& [command, shallowResult] : commands) {
        auto program = [&](int calls, int blocks) {
            std::string wrapped = command;
            for (int i = 0; i < blocks; ++i) wrapped = "(53 " + wrapped + ")";
            return "(50 \"r\" (7 \"n\") (22 (23 (15 \"n\") 1) (46 (41 \"k\" \"j\") (3 \"k\" 0) "
                   "(3 \"j\" 0) (42 (23 (15 \"j\") 1) (3 \"j\" (0 (15 \"j\") 1)) false (46 " +
                   wrapped + ")) (36 (15 \"k\"))) (46 (36 (r (37 (15 \"n\") 1)))))) (r " +
                   std::to_string(calls) + ")";
        };
        expectSameBothWays({program(88, 0), shallowResult, {}});
        expectSameBothWays({program(100, 4), "error 19", {}});
        for (int blocks = 0; blocks <= 4; ++blocks)
            for (int calls = 89; calls < 100; ++calls)
                expectSameBothWays({program(calls, blocks), "", {}});
    }
}

// A loop run at every depth near the bound, behind 0 to 4 blocks.
TEST(ScriptStatementFormTest, LoopsNearTheDepthBoundFailAlikeEitherWay) {
    auto program = [](int calls, int blocks) {
        std::string loop =
            "(42 (23 (15 \"k\") 3) (3 \"k\" (0 (15 \"k\") 1)) false "
            "(46 (3 \"k\" (26 (15 \"k\") 1))))";
        for (int i = 0; i < blocks; ++i) loop = "(53 " + loop + ")";
        return "(50 \"r\" (7 \"n\") (22 (23 (15 \"n\") 1) (46 (41 \"k\") (3 \"k\" 0) " + loop +
               " (36 (15 \"k\"))) (46 (36 (r (37 (15 \"n\") 1)))))) (r " + std::to_string(calls) +
               ")";
    };
    expectSameBothWays({program(92, 0), "n:3", {}});
    expectSameBothWays({program(100, 4), "error 19", {}});
    for (int blocks = 0; blocks <= 4; ++blocks)
        for (int calls = 92; calls <= 100; ++calls)
            expectSameBothWays({program(calls, blocks), "", {}});
}

}  // namespace
