// Control, variable and loop commands; comparison, logical, math and
// bitwise commands.

#include <gtest/gtest.h>

#include "services/script/tests/ScriptTestSupport.h"

using script_test::Case;
using script_test::run;

TEST(ScriptCommandTest, VariablesAndLiterals) {
    const Case cases[] = {
        {"(3 \"nope\" 1)", "error 2"},
        {"(3 1 1)", "error 10"},
        {"(3 \"x\")", "error 9"},
        {"(52 \"c\" 1) (3 \"c\" 2)", "n:2"},
        {"(52 \"c\" 1) (3 \"c\" 2) (15 \"c\")", "n:1"},
        {"(52 \"c\")", "error 9"},
        {"(52 \"a\" 1 2 3) (15 \"a\")", "error 10"},
        {"(52 \"a\" 1 2 3)", "error 10"},
        {"(41 \"x\") (3 \"x\" 5) (41 \"x\") (15 \"x\")", "undefined"},
        {"(52 \"c\" 1) (41 \"c\") (15 \"c\")", "n:1"},
        {"(41 \"a\" 1 \"b\")", "error 10"},
        {"(41 \"x\") (3 \"x\" 1) (53 (41 \"x\") (3 \"x\" 2)) (15 \"x\")", "n:1"},
        {"(15 \"missing\")", "undefined"},
        {"(15 1)", "error 10"},
        {"(15)", "error 9"},
        {"(7 1 \"a\" true)", "[n:1,s:a,b:true]"},
        {"(8 \"a\" 1 \"a\" 2 3 4)", "{3=n:4,a=n:2}"},
        {"(8 \"a\")", "error 9"},
        {"(16 \"abcd\" \"length\")", "n:4"},
        {"(16 \"abcd\" 4)", "undefined"},
        {"(16 \"abcd\" 1)", "s:b"},
        {"(17 5 \"x\")", "undefined"},
        {"(16 (8 \"k\" 2) \"k\")", "n:2"},
        {"(16 (8 \"k\" 2) \"j\")", "undefined"},
        {"(43 \"str\" 0 1)", "n:1"},
        {"(43 (45) \"k\" 1)", "error 6"},
        {"(43 (44) \"k\" 1)", "error 6"},
        {"(41 \"m\") (3 \"m\" (8)) (43 (15 \"m\") \"k\" 3) (15 \"m\")", "{k=n:3}"},
        // Operands run in order: the object is the one read before a later
        // operand assigns its variable.
        {"(41 \"a\" \"b\") (3 \"a\" (7 1 2)) (3 \"b\" (15 \"a\")) (43 (15 \"a\") 0 (3 \"a\" 5)) "
         "(7 (15 \"a\") (15 \"b\"))",
         "[n:5,[n:5,n:2]]"},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (16 (15 \"a\") (13 (3 \"a\" (7 9)) 1))", "n:2"},
        {"(41 \"a\" \"i\") (3 \"a\" (7 1 2)) (3 \"i\" 1) (43 (15 \"a\") (15 \"i\") (3 \"i\" 0)) "
         "(7 (15 \"a\") (15 \"i\"))",
         "[[n:1,n:0],n:0]"},
        // A number written over a number changes only the entry written.
        {"(41 \"o\" \"p\") (3 \"o\" (8 \"x\" 2000)) (3 \"p\" (8 \"x\" (16 (15 \"o\") \"x\"))) "
         "(43 (15 \"o\") \"x\" (0 (16 (15 \"o\") \"x\") 1)) (7 (16 (15 \"o\") \"x\") (16 (15 "
         "\"p\") \"x\"))",
         "[n:2001,n:2000]"},
        {"(41 \"a\" \"b\") (3 \"a\" (7 2000 1)) (3 \"b\" (7 (16 (15 \"a\") 0))) "
         "(43 (15 \"a\") 0 (0 (16 (15 \"a\") 0) 1)) (7 (15 \"a\") (15 \"b\"))",
         "[[n:2001,n:1],[n:2000]]"},
        {"(41 \"o\" \"v\") (3 \"o\" (8 \"x\" 3000)) (3 \"v\" (16 (15 \"o\") \"x\")) "
         "(43 (15 \"o\") \"x\" (26 (15 \"v\") 2)) (7 (16 (15 \"o\") \"x\") (15 \"v\"))",
         "[n:6000,n:3000]"},
        {"(41 \"o\") (3 \"o\" (8 \"x\" 5)) (43 (15 \"o\") \"x\" (0 (16 (15 \"o\") \"x\") 1)) "
         "(7 (16 (15 \"o\") \"x\") 5 (0 5 0))",
         "[n:6,n:5,n:5]"},
        {"(41 \"o\") (3 \"o\" (8 \"x\" 3000)) (43 (15 \"o\") \"x\" (0 (16 (15 \"o\") \"x\") 1)) "
         "(43 (15 \"o\") \"x\" (0 (16 (15 \"o\") \"x\") 1)) (16 (15 \"o\") \"x\")",
         "n:3002"},
        {"(43 (45) \"x\" (0 1 1))", "error 6"},
        {"(43 (8) \"x\" (0 1 1))", "n:2"},
        // Elements and entries as operands of arithmetic: holes, text, numbers.
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 2 1) (0 1 (16 (15 \"a\") 0))", "n:NaN"},
        {"(0 1 (16 (7 \"x\") 0))", "s:1x"},
        {"(0 1 (16 (7 5) 0.5))", "n:NaN"},
        {"(0 1 (16 (7 5) \"0\"))", "n:6"},
        {"(0 1 (16 (8 \"x\" 2) \"x\"))", "n:3"},
        {"(0 1 (16 (8 \"x\" 2) \"y\"))", "n:NaN"},
        {"(0 1 (16 (45) \"y\"))", "n:NaN"},
        {"(0 1 (16 \"abc\" \"length\"))", "n:4"},
        {"(0 1 (16 \"abc\" 1))", "s:1b"},
        {"(0 1 (16 \"abc\" \"1\"))", "s:1b"},
        {"(0 1 (16 \"abc\" \"size\"))", "n:NaN"},
        {"(40 (45))", "s:object"},
        {"(40 (7))", "s:object"},
        {"(40 (51 \"\" (7)))", "s:function"},
        {"(40 1)", "s:number"},
        {"(40 \"\")", "s:string"},
        {"(40 false)", "s:boolean"},
        {"(40 (44))", "s:undefined"},
        {"(44 1 2)", "undefined"},
        {"(45 1)", "null"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptCommandTest, ControlCommands) {
    const Case cases[] = {
        {"(4 1)", "error 9"},
        {"(6 1)", "error 9"},
        {"(5 (46 1 2))", "n:2"},
        {"(9 (46 (41 \"x\") (3 \"x\" 3))) (15 \"x\")", "n:3"},
        {"(5 1)", "error 10"},
        {"(13 1 2 3)", "n:3"},
        {"(13)", "error 9"},
        {"(13 1 (4) 2)", "error 10"},
        {"(22 true (46 (41 \"x\") (3 \"x\" 1))) (15 \"x\")", "n:1"},
        {"(22 false (46 1))", "undefined"},
        {"(22 false 1 2)", "n:2"},
        {"(22)", "error 9"},
        {"(22 1 2 3 4)", "error 9"},
        {"(39 0 1 2)", "n:2"},
        {"(39 1 (46 1) 2)", "[n:1]"},
        {"(39 1 2)", "error 9"},
        {"(36)", "control:return(undefined)"},
        {"(36 1 2)", "error 9"},
        {"(50 \"f\" (7) (22 true (46 (36 5))) 6) (f)", "n:5"},
        {"(50 \"f\" (7 \"x\") (36 (26 (15 \"x\") 2))) (f 21)", "n:42"},
        // The function is found before its arguments run, even when one of
        // them assigns its name; an argument's error ends the call.
        {"(50 \"f\" (7 \"x\") (36 (15 \"x\"))) (f (3 \"f\" 5))", "n:5"},
        {"(50 \"f\" (7 \"x\" \"y\") (36 1)) (f (3 \"nope\" 1) 2)", "error 2"},
        // A function that drops the last reference to itself runs to its end.
        {"(50 \"f\" (7 \"x\") (3 \"f\" 0) (36 (0 (15 \"x\") 1))) (7 (f 4) (15 \"f\"))",
         "[n:5,n:0]"},
        // The same once the declaration's own result is gone, so that only
        // the name holds the function.
        {"(50 \"f\" (7 \"x\") (3 \"f\" 0) (36 (7 (15 \"x\") 1))) 0 (7 (f 4) (15 \"f\"))",
         "[[n:4,n:1],n:0]"},
        {"(50 \"f\" (7 \"x\" \"y\") (36 (7 (15 \"x\") (15 \"y\")))) (f (f 1 2) 3)",
         "[[n:1,n:2],n:3]"},
        // Every level of a recursion has its parameters to itself, before and
        // after the levels below it run, and a later call starts afresh.
        {"(50 \"f\" (7 \"n\" \"m\") (22 (18 (15 \"n\") 0) (46 (f (37 (15 \"n\") 1) (15 \"n\")))) "
         "(36 (7 (15 \"n\") (15 \"m\")))) (7 (f 3 7) (f 1))",
         "[[n:3,n:7],[n:1,undefined]]"},
        // A call that made a parameter constant leaves the next call a
        // fresh one.
        {"(50 \"f\" (7 \"n\") (22 (12 (15 \"n\") 0) (46 (52 \"n\" 5))) "
         "(3 \"n\" (0 (15 \"n\") 1)) (36 (15 \"n\"))) (7 (f 0) (f 1) (f 0) (f 2))",
         "[n:5,n:2,n:5,n:3]"},
        // A closure keeps the scope of the level that made it, however many
        // calls come after.
        {"(41 \"g\") (50 \"f\" (7 \"n\") (22 (12 (15 \"n\") 1) (46 (3 \"g\" (51 \"\" (7) "
         "(36 (15 \"n\")))))) (22 (18 (15 \"n\") 0) (46 (f (37 (15 \"n\") 1)))) (36 (15 \"n\"))) "
         "(f 3) (f 0) (f 0) (7 (g) (f 2))",
         "[n:1,n:2]"},
        {"(51 \"g\" (7))", "f:g"},
        {"(51 \"g\" 1)", "error 10"},
        {"(51 \"g\")", "error 9"},
        {"(51 (0 1 2) (7))", "error 5"},
        {"(51 \"\" (7 (7)))", "f:"},
        {"(50 \"h\" (7)) (15 \"h\")", "f:h"},
        {"(53 (41 \"y\") (3 \"y\" 1)) (15 \"y\")", "undefined"},
        // Whatever way a block's statements declare a name, it stays in the
        // block: directly, nested in a branch, loop, switch or call argument,
        // through a function declaration or assigning loop, or in statements
        // that only arrive as a value.
        {"(53 (22 true (46 (41 \"y\") (3 \"y\" 1)))) (40 (15 \"y\"))", "s:undefined"},
        {"(41 \"c\") (3 \"c\" (46 (41 \"y\") (3 \"y\" 1))) (53 (22 true (15 \"c\"))) "
         "(40 (15 \"y\"))",
         "s:undefined"},
        {"(41 \"c\") (3 \"c\" (46 (52 \"y\" 1))) (53 (5 (15 \"c\"))) (40 (15 \"y\"))",
         "s:undefined"},
        {"(41 \"c\") (3 \"c\" (46 (52 \"y\" 1))) (53 (42 false 1 true (15 \"c\"))) "
         "(40 (15 \"y\"))",
         "s:undefined"},
        {"(41 \"c\") (3 \"c\" (46 (52 \"y\" 1))) (53 (38 1 (46 1) (15 \"c\"))) "
         "(40 (15 \"y\"))",
         "s:undefined"},
        {"(41 \"c\") (3 \"c\" (46 (52 \"y\" 1))) (53 (2 \"ab\" \"charAt\" (15 \"c\"))) "
         "(40 (15 \"y\"))",
         "s:undefined"},
        {"(53 (2 \"ab\" \"charAt\" (46 (13 (52 \"y\" 1) 0)))) (40 (15 \"y\"))", "s:undefined"},
        {"(53 (50 \"g\" (7))) (40 (15 \"g\"))", "s:undefined"},
        {"(53 (47 \"k\" (7 1) (46))) (40 (15 \"k\"))", "s:undefined"},
        {"(53 (64 \"k\" (7 1) (46))) (40 (15 \"k\"))", "s:undefined"},
        {"(53 (52 \"k\" 1)) (40 (15 \"k\"))", "s:undefined"},
        {"(53 (53 1) (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 (0 1 "
         "(0 1 (0 1 (0 1 (0 1 1)))))))))))))))))) (52 \"y\" 1)) (40 (15 \"y\"))",
         "s:undefined"},
        // A block that declares nothing reads and writes the names around it.
        {"(41 \"x\" \"f\") (3 \"x\" 1) (53 (3 \"x\" (0 (15 \"x\") 1)) "
         "(3 \"f\" (51 \"\" (7) (36 (15 \"x\"))))) (3 \"x\" 5) (f)",
         "n:5"},
        {"(53 1 (36 2) 3)", "control:return(n:2)"},
        // The same for blocks whose value nobody needs: loop bodies and cases.
        {"(41 \"k\") (3 \"k\" 0) (42 (23 (15 \"k\") 2) (3 \"k\" (0 (15 \"k\") 1)) false "
         "(46 (53 (41 \"y\") (3 \"y\" 1)))) (40 (15 \"y\"))",
         "s:undefined"},
        {"(38 1 (46 1) (46 (53 (41 \"y\") (3 \"y\" 1) (4)))) (40 (15 \"y\"))", "s:undefined"},
        {"(41 \"y\") (3 \"y\" 0) (42 (23 (15 \"y\") 3) 1 false "
         "(46 (53 (3 \"y\" (0 (15 \"y\") 1))))) (15 \"y\")",
         "n:3"},
        {"(50 \"f\" (7) (42 true 1 false (46 (53 1 (36 4) 5)))) (f)", "n:4"},
        {"(38 1 (46 1) (46 (53 (36 6)))) ", "control:return(n:6)"},
        // Method calls.
        {"(2 \"abc\" \"toUpperCase\" (46))", "s:ABC"},
        {"(2 \"abc\" 1 (46))", "error 10"},
        {"(2 \"abc\" \"trim\" 1)", "error 10"},
        {"(2 \"abc\" \"trim\")", "error 9"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

// switch (x) { case 1: r += "a"; case 2: r += "b"; r += "b2"; break;
// case 3: r += "c"; default: r += "d" }
static std::string switchProgram(const char* discriminant) {
    return std::string("(41 \"r\") (3 \"r\" \"\") (38 ") + discriminant +
           " (46 1 2 3) (46 (3 \"r\" (0 (15 \"r\") \"a\")) "
           "(5 (46 (3 \"r\" (0 (15 \"r\") \"b\")) (3 \"r\" (0 (15 \"r\") \"b2\")) (4))) "
           "(3 \"r\" (0 (15 \"r\") \"c\")) (3 \"r\" (0 (15 \"r\") \"d\")))) (15 \"r\")";
}

// switch (x) { case 1: { r += "a" } case 2: { r += "b"; break; r += "z" }
// case 3: { { r += "c"; break } r += "z" } case 4: { let t; break }
// default: { r += "d" } }
static std::string blockSwitchProgram(const char* discriminant) {
    return std::string("(41 \"r\") (3 \"r\" \"\") (38 ") + discriminant +
           " (46 1 2 3 4) (46 (53 (3 \"r\" (0 (15 \"r\") \"a\"))) "
           "(53 (3 \"r\" (0 (15 \"r\") \"b\")) (4) (3 \"r\" (0 (15 \"r\") \"z\"))) "
           "(53 (53 (3 \"r\" (0 (15 \"r\") \"c\")) (4)) (3 \"r\" (0 (15 \"r\") \"z\"))) "
           "(53 (41 \"t\") (3 \"r\" (0 (15 \"r\") \"d\")) (4)) "
           "(53 (3 \"r\" (0 (15 \"r\") \"d\"))))) (15 \"r\")";
}

TEST(ScriptCommandTest, Switch) {
    EXPECT_EQ(run(switchProgram("1")), "s:abb2");
    EXPECT_EQ(run(switchProgram("2")), "s:bb2");
    EXPECT_EQ(run(switchProgram("3")), "s:cd");
    EXPECT_EQ(run(switchProgram("9")), "s:d");
    EXPECT_EQ(run(switchProgram("\"1\"")), "s:d");
    // Computed discriminants: numbers match numbers only, by value (0 is -0,
    // NaN is nothing); other kinds match as they are.
    EXPECT_EQ(run(switchProgram("(37 3 1)")), "s:bb2");
    EXPECT_EQ(run(switchProgram("(0 \"1\" \"\")")), "s:d");
    EXPECT_EQ(run(switchProgram("(10 0 0)")), "s:d");
    EXPECT_EQ(run("(38 (27 0) (46 0) (46 (36 1)))"), "control:return(n:1)");
    EXPECT_EQ(run("(38 (0 1 1) (46 \"2\" true (0 1 1)) (46 (36 1) (36 2) (36 3)))"),
              "control:return(n:3)");
    EXPECT_EQ(run("(38 (0 \"a\" \"b\") (46 \"ab\") (46 (36 1)))"), "control:return(n:1)");
    // Case bodies that are blocks: fall-through, a break in the middle of
    // one, in a block nested in it and in one that declares a name.
    EXPECT_EQ(run(blockSwitchProgram("1")), "s:ab");
    EXPECT_EQ(run(blockSwitchProgram("2")), "s:b");
    EXPECT_EQ(run(blockSwitchProgram("3")), "s:c");
    EXPECT_EQ(run(blockSwitchProgram("4")), "s:d");
    EXPECT_EQ(run(blockSwitchProgram("9")), "s:d");
    const Case cases[] = {
        {"(38 1 (46 1) (46 (36 7)))", "control:return(n:7)"},
        {"(38 1 (46 2) (46 1 (6)))", "control:continue(undefined)"},
        {"(38 1 1 (46))", "error 9"},
        {"(38 1 (46))", "error 9"},
        // A matched case without a body of its own.
        {"(38 2 (46 1 2 3) (46 10))", "error 9"},
        {"(38 1 (46 1 2 3) (46 10))", "error 9"},
        {"(38 5 (46 1 2 3) (46 10))", "undefined"},
        {"(38 1 (46 1) (46 (53 (6))))", "control:continue(undefined)"},
        {"(38 1 (46 1) (46 (53 1 (53 (36 2)) 3)))", "control:return(n:2)"},
        // Computed cases run in order until one matches; later ones never.
        {"(41 \"r\") (3 \"r\" \"\") (38 \"ab\" (46 (3 \"r\" (0 (15 \"r\") \"a\")) "
         "(3 \"r\" (0 (15 \"r\") \"b\")) (3 \"r\" (0 (15 \"r\") \"c\"))) "
         "(46 1 (36 (15 \"r\")) 3 4))",
         "control:return(s:ab)"},
        {"(41 \"r\") (3 \"r\" \"\") (38 \"x\" (46 (3 \"r\" (0 (15 \"r\") \"a\")) "
         "(3 \"r\" (0 (15 \"r\") \"b\"))) (46 1 2 (36 (15 \"r\"))))",
         "control:return(s:ab)"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptCommandTest, Loops) {
    const Case cases[] = {
        // for-in over keys, assigning, constant and variable bindings.
        {"(41 \"k\" \"r\") (3 \"r\" \"\") (47 \"k\" (7 10 20) (46 (3 \"r\" (0 (15 \"r\") (15 "
         "\"k\"))))) (15 \"r\")",
         "s:01"},
        {"(41 \"a\") (3 \"a\" (7 10 20)) (43 (15 \"a\") 3 1) (41 \"r\") (3 \"r\" \"\") "
         "(47 \"k\" (15 \"a\") (46 (3 \"r\" (0 (15 \"r\") (15 \"k\"))))) (15 \"r\")",
         "s:013"},
        {"(41 \"r\") (3 \"r\" \"\") (54 \"k\" \"abc\" (46 (3 \"r\" (0 (15 \"r\") (15 \"k\"))))) "
         "(15 \"r\")",
         "s:012"},
        {"(41 \"r\") (3 \"r\" 0) (54 \"k\" (8 \"x\" 1) (46 (3 \"k\" 5) (3 \"r\" (15 \"k\")))) "
         "(15 \"r\")",
         "s:x"},
        {"(41 \"r\") (3 \"r\" 0) (55 \"k\" (8 \"x\" 1) (46 (3 \"k\" 5) (3 \"r\" (15 \"k\")))) "
         "(15 \"r\")",
         "n:5"},
        {"(47 \"k\" 5 (46 (4)))", "undefined"},
        {"(47 \"k\" 5 1)", "error 10"},
        {"(47 \"k\" (7 1 2))", "error 9"},
        // The loop variable lands in the current scope when undeclared.
        {"(47 \"kk\" (7 7 8) (46)) (15 \"kk\")", "s:1"},
        {"(64 \"v\" (7 7 8) (46)) (15 \"v\")", "n:8"},
        // for-of over items.
        {"(41 \"a\") (3 \"a\" (7 10 20)) (43 (15 \"a\") 3 1) (41 \"r\") (3 \"r\" (7)) "
         "(64 \"v\" (15 \"a\") (46 (2 (15 \"r\") \"push\" (46 (15 \"v\"))))) (15 \"r\")",
         "[n:10,n:20,undefined,n:1]"},
        {"(41 \"r\") (3 \"r\" \"\") (65 \"c\" \"xyz\" (46 (3 \"r\" (0 (15 \"c\") (15 \"r\"))))) "
         "(15 \"r\")",
         "s:zyx"},
        {"(64 \"v\" 5 (46))", "error 16"},
        {"(66 \"v\" (8) (46))", "error 16"},
        {"(65 \"v\" (7 1 2 3) (46 (22 (20 (15 \"v\") 2) (46 (36 (15 \"v\"))))))",
         "control:return(n:2)"},
        {"(41 \"r\") (3 \"r\" 0) (66 \"v\" (7 1 2 3 4) (46 (22 (20 (15 \"v\") 2) (46 (6))) "
         "(22 (20 (15 \"v\") 4) (46 (4))) (3 \"r\" (0 (15 \"r\") (15 \"v\"))))) (15 \"r\")",
         "n:4"},
        // The item list is taken once.
        {"(41 \"a\") (3 \"a\" (7 1 2)) (64 \"v\" (15 \"a\") (46 (2 (15 \"a\") \"push\" (46 0)))) "
         "(16 (15 \"a\") \"length\")",
         "n:4"},
        // Three-part loop: for (i = 0; i < 3; i++) fs.push(() => i)
        {"(41 \"i\" \"fs\" \"r\") (3 \"i\" 0) (3 \"fs\" (7)) (3 \"r\" \"\") "
         "(63 (7 \"i\") (23 (15 \"i\") 3) (3 \"i\" (0 (15 \"i\") 1)) "
         "(46 (2 (15 \"fs\") \"push\" (46 (51 \"g\" (7) (36 (15 \"i\"))))))) "
         "(64 \"f\" (15 \"fs\") (46 (50 \"call\" (7 \"h\") (36 (h))) "
         "(3 \"r\" (0 (15 \"r\") (call (15 \"f\")))))) (7 (15 \"r\") (15 \"i\"))",
         "[s:012,n:0]"},
        // A name the body declares lives in that iteration only.
        {"(41 \"i\" \"r\") (3 \"i\" 0) (3 \"r\" \"\") "
         "(63 (7 \"i\") (23 (15 \"i\") 2) (3 \"i\" (0 (15 \"i\") 1)) "
         "(46 (3 \"r\" (0 (15 \"r\") (40 (15 \"x\")))) (41 \"x\") (3 \"x\" 1))) (15 \"r\")",
         "s:undefinedundefined"},
        {"(63 (7) false 1 1)", "error 10"},
        {"(63 1 false 1 (46))", "error 10"},
        {"(63 (7) true 1 (46 (4)))", "undefined"},
        // while and do-while.
        {"(41 \"n\") (3 \"n\" 0) (42 (23 (15 \"n\") 5) (3 \"n\" (0 (15 \"n\") 1)) false (46)) "
         "(15 \"n\")",
         "n:5"},
        {"(41 \"n\" \"u\") (3 \"n\" 0) (3 \"u\" 0) (42 false (3 \"u\" 1) true (46 (3 \"n\" 1))) "
         "(7 (15 \"n\") (15 \"u\"))",
         "[n:1,n:0]"},
        {"(42 true 1 false (46 (36 3)))", "control:return(n:3)"},
        {"(42 true 1 false 1)", "error 10"},
        {"(42 true 1 false)", "error 9"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptCommandTest, ComparisonAndLogic) {
    const Case cases[] = {
        {"(12 (44) (45))", "b:true"},
        {"(12 0 \"\")", "b:true"},
        {"(12 (7) (7))", "b:false"},
        {"(12 (7 1 2) \"1,2\")", "b:true"},
        {"(12 \"1\" 1)", "b:true"},
        {"(12 true 1)", "b:true"},
        {"(12 (45) 0)", "b:false"},
        {"(12 (10 0 0) (10 0 0))", "b:false"},
        {"(29 1 2)", "b:true"},
        {"(20 1 true)", "b:false"},
        {"(20 (10 0 0) (10 0 0))", "b:false"},
        {"(20 \"a\" \"a\")", "b:true"},
        {"(20 (44) (44))", "b:true"},
        {"(20 (8) (8))", "b:false"},
        {"(21 1 \"1\")", "b:true"},
        {"(23 (10 0 0) 1)", "b:false"},
        {"(19 (10 0 0) 1)", "b:false"},
        {"(18 1 (10 0 0))", "b:false"},
        {"(24 1 1)", "b:true"},
        {"(23 \"10\" \"9\")", "b:true"},
        {"(23 10 9)", "b:false"},
        {"(18 2 1)", "b:true"},
        {"(19 2 2)", "b:true"},
        {"(23 1)", "error 9"},
        {"(23 1 (4 1))", "error 9"},
        {"(23 (4) 1)", "error 4"},
        {"(1 0 (3 \"nope\" 1))", "n:0"},
        {"(1 1 \"x\")", "s:x"},
        {"(30 \"\" 7)", "n:7"},
        {"(30 \"a\" (3 \"nope\" 1))", "s:a"},
        {"(28 1 2)", "error 9"},
        {"(28 (45))", "b:true"},
        {"(1 1)", "error 9"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptCommandTest, MathAndBitwise) {
    const Case cases[] = {
        {"(0 1 \"2\")", "s:12"},
        {"(0 1 true)", "n:2"},
        {"(0 0.1 0.2)", "n:0.30000000000000004"},
        {"(0 (7 1) (7 2))", "s:12"},
        {"(0 1)", "error 9"},
        {"(0 (3 \"nope\" 1) 1)", "error 2"},
        {"(37 5 \"2\")", "n:3"},
        {"(26 3 4)", "n:12"},
        {"(10 1 0)", "n:Infinity"},
        {"(10 -1 0)", "n:-Infinity"},
        {"(10 0 0)", "n:NaN"},
        {"(25 5 -3)", "n:2"},
        {"(25 -5 3)", "n:-2"},
        {"(25 5 0)", "n:NaN"},
        // A zero remainder keeps the dividend's sign; fractions and large
        // numbers too.
        {"(10 1 (25 -4 2))", "n:-Infinity"},
        {"(10 1 (25 -0 5))", "n:-Infinity"},
        {"(10 1 (25 4 -2))", "n:Infinity"},
        {"(25 5.5 2)", "n:1.5"},
        {"(25 7 2.5)", "n:2"},
        {"(25 (10 1 0) 2)", "n:NaN"},
        {"(25 3 (10 1 0))", "n:3"},
        // Either side of the 32-bit border, and the one quotient that
        // overflows 32 bits.
        {"(25 2147483647 -2147483647)", "n:0"},
        {"(10 1 (25 -2147483648 -1))", "n:-Infinity"},
        {"(25 2147483648 7)", "n:2"},
        {"(25 -2147483647 2147483648)", "n:-2147483647"},
        {"(25 9007199254740991 10)", "n:1"},
        {"(25 -9007199254740993 10)", "n:-2"},
        {"(25 1e300 7)", "n:1"},
        {"(25 7 nan)", "n:NaN"},
        {"(27 \"3\")", "n:-3"},
        {"(32 \"a\" 2)", "s:a"},
        {"(33 1)", "error 9"},
        {"(34 (7))", "[]"},
        {"(35 1 2)", "error 9"},
        {"(57 1 33)", "n:2"},
        {"(61 -1 0)", "n:4294967295"},
        {"(56 4294967295 1)", "n:1"},
        {"(60 -4294967297 0)", "n:-1"},
        {"(60 -8 1)", "n:-4"},
        {"(61 -8 28)", "n:15"},
        {"(59 5 2)", "n:7"},
        {"(62 6 3)", "n:5"},
        {"(58 0)", "n:-1"},
        {"(58 1 2)", "error 9"},
        {"(57 1 31)", "n:-2147483648"},
        {"(56 (8) 1)", "n:0"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}
