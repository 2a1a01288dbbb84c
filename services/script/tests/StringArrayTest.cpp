// String and array methods.

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include "services/script/tests/ScriptTestSupport.h"

using script_test::Case;
using script_test::run;

#define MINUS "(51 \"\" (7 \"a\" \"b\") (36 (37 (15 \"a\") (15 \"b\"))))"

// "s".method(args...) as a program.
static std::string call(const std::string& target, const std::string& method,
                        const std::string& args = "") {
    return "(2 " + target + " \"" + method + "\" (46 " + args + "))";
}

struct MethodCase {
    const char* target;
    const char* method;
    const char* args;
    const char* expected;
};

TEST(ScriptStringTest, Methods) {
    const MethodCase cases[] = {
        {"\"abc\"", "charAt", "-1", "s:"},
        {"\"abc\"", "charAt", "1.9", "s:b"},
        {"\"abc\"", "charAt", "", "s:a"},
        {"\"abc\"", "charAt", "3", "s:"},
        {"\"abc\"", "charAt", "1 2", "error 9"},
        {"\"ab\"", "concat", "1 (45) (7 2 3)", "s:ab1null2,3"},
        {"\"abc\"", "indexOf", "\"\"", "n:-1"},
        {"\"abc\"", "indexOf", "\"c\" 5", "n:-1"},
        {"\"abc\"", "indexOf", "\"a\" -3", "n:0"},
        {"\"abcabc\"", "indexOf", "\"c\" 3", "n:5"},
        {"\"xundefinedx\"", "indexOf", "", "n:1"},
        {"\"abcabc\"", "lastIndexOf", "\"abc\"", "n:3"},
        {"\"abcabc\"", "lastIndexOf", "\"abc\" 2", "n:0"},
        {"\"abcabc\"", "lastIndexOf", "\"abc\" (10 0 0)", "n:3"},
        {"\"abcabc\"", "lastIndexOf", "\"c\" -5", "n:-1"},
        {"\"abc\"", "slice", "-2", "s:bc"},
        {"\"abcdef\"", "slice", "-2", "s:ef"},
        {"\"abcdef\"", "slice", "2 -1", "s:cde"},
        {"\"abcdef\"", "slice", "4 2", "s:"},
        {"\"abc\"", "slice", "1 (44)", "s:"},
        {"\"abcdef\"", "substring", "4 1", "s:bcd"},
        {"\"abcdef\"", "substring", "-3 2", "s:ab"},
        {"\"abcdef\"", "substring", "2", "s:cdef"},
        {"\"a,b,,c\"", "split", "\",\"", "[s:a,s:b,s:,s:c]"},
        {"\"a,b,,c\"", "split", "\",\" 2", "[s:a,s:b]"},
        {"\"abc\"", "split", "\"\"", "[s:a,s:b,s:c]"},
        {"\"abc\"", "split", "\"\" 2", "[s:a,s:b]"},
        {"\"a,b\"", "split", "\",\" 0", "[]"},
        {"\"a,b\"", "split", "\",\" (44)", "[]"},
        {"\"\"", "split", "\",\"", "[s:]"},
        {"\"a,b\"", "split", "", "[s:a,b]"},
        {"\",a,\"", "split", "\",\"", "[s:,s:a,s:]"},
        {"\"a,b\"", "split", "\",\" -1", "[s:a,s:b]"},
        {"\"aXbX\"", "replace", "\"X\" \"-\"", "s:a-bX"},
        {"\"aXbX\"", "replace", "\"\" \"-\"", "s:-aXbX"},
        {"\"aXbX\"", "replace", "\"Y\" (3 \"nope\" 1)", "error 2"},
        {"\"aXbX\"", "replace", "\"X\"", "s:aundefinedbX"},
        {"\"aXbX\"", "replace",
         "\"b\" (51 \"\" (7 \"p\" \"i\" \"s\") (36 (0 (15 \"i\") (15 \"p\"))))", "s:aX2bX"},
        {"\"abc123\"", "match", "\"[0-9]+\"", "[s:123]"},
        {"\"abc\"", "match", "\"z\"", "null"},
        {"\"abc\"", "match", "", "[s:]"},
        {"\"abc\"", "match", "\"(\"", "error NSCocoaErrorDomain 2048"},
        {"\"abc123\"", "search", "\"[0-9]\"", "n:3"},
        {"\"abc\"", "search", "\"z\"", "n:-1"},
        {"\"abc\"", "search", "\"\"", "n:0"},
        {"\"abc\"", "search", "\"[\"", "error NSCocoaErrorDomain 2048"},
        {"\"abc\"", "hasOwnProperty", "2", "b:true"},
        {"\"abc\"", "hasOwnProperty", "2.5", "b:false"},
        {"\"abc\"", "hasOwnProperty", "\"length\"", "b:true"},
        {"\"abc\"", "hasOwnProperty", "3", "b:false"},
        {"\"abc\"", "hasOwnProperty", "", "error 9"},
        {"\"Straße İ\"", "toUpperCase", "", "s:STRASSE İ"},
        {"\"ÀB\"", "toLowerCase", "", "s:àb"},
        {"\"ab\"", "toLocaleUpperCase", "", "s:AB"},
        {"\"AB\"", "toLocaleLowerCase", "", "s:ab"},
        {"\"ab\"", "toUpperCase", "1", "error 9"},
        {"\"ab\"", "toString", "", "s:ab"},
        {"\" \\n\\t ab c \u3000\"", "trim", "", "s:ab c"},
        {"\"ab\"", "nope", "", "error 17"},
    };
    for (const MethodCase& c : cases) {
        std::string program = call(c.target, c.method, c.args);
        EXPECT_EQ(run(program), c.expected) << program;
    }
}

TEST(ScriptStringTest, CaseOfPlainTextIsTheFullMapping) {
    // Text below 0x80 changes case without the full mapping: every such
    // character comes out as the full mapping gives it.
    APMPString all;
    for (char16_t c = 1; c < 0x80; ++c) all += c;
    for (const char* method : {"toUpperCase", "toLowerCase"}) {
        bool upper = method[2] == 'U';
        APMPString expected(all.size(), u'\0');
        UErrorCode status = U_ZERO_ERROR;
        auto convert = upper ? u_strToUpper : u_strToLower;
        int32_t length = convert(reinterpret_cast<UChar*>(expected.data()),
                                 static_cast<int32_t>(expected.size()),
                                 reinterpret_cast<const UChar*>(all.data()),
                                 static_cast<int32_t>(all.size()), "", &status);
        ASSERT_TRUE(U_SUCCESS(status));
        expected.resize(static_cast<std::size_t>(length));
        auto value = APMPStringValue::make(all);
        APMPErrorSlot error;
        APMPValueRef result = value->applyWithName(APMPUTF16(method), {}, nullptr, error);
        ASSERT_FALSE(error);
        EXPECT_TRUE(static_cast<const APMPStringValue&>(*result).value == expected) << method;
    }
}

TEST(ScriptStringTest, RegularExpressionsAreBoundedInTime) {
    // Catastrophic backtracking on a long subject.
    std::string subject(4000, 'a');
    subject += "!";
    std::string program = call("\"" + subject + "\"", "match", "\"(a+)+$\"");
    EXPECT_EQ(run(program), "error 21");
    program = call("\"" + subject + "\"", "search", "\"(a|aa)+$\"");
    EXPECT_EQ(run(program), "error 21");
}

TEST(ScriptArrayTest, Methods) {
    // f(x) -> x * 2; even(x) -> x % 2 == 0
    const char* twice = "(51 \"\" (7 \"x\") (36 (26 (15 \"x\") 2)))";
    const char* even = "(51 \"\" (7 \"x\") (36 (20 (25 (15 \"x\") 2) 0)))";
    const char* descending = "(51 \"\" (7 \"a\" \"b\") (36 (37 (15 \"b\") (15 \"a\"))))";
    const char* seen =
        "(51 \"\" (7 \"x\" \"i\" \"arr\") (36 (7 (15 \"x\") (15 \"i\") (16 (15 \"arr\") "
        "\"length\"))))";
    const MethodCase cases[] = {
        {"(7)", "every", even, "b:true"},
        {"(7)", "some", even, "b:false"},
        {"(7 2 4)", "every", even, "b:true"},
        {"(7 2 3)", "every", even, "b:false"},
        {"(7 1 3 4)", "some", even, "b:true"},
        {"(7 1 2 3 4)", "filter", even, "[n:2,n:4]"},
        {"(7 1 2 3)", "map", twice, "[n:2,n:4,n:6]"},
        {"(7 5)", "map", seen, "[[n:5,n:0,n:1]]"},
        {"(7 1 2)", "map", "1", "error 10"},
        {"(7 1 2)", "map", "", "error 9"},
        {"(7 1 2)", "forEach", twice, "undefined"},
        {"(7 1)", "concat", "(7 2 3) 4 \"x\"", "[n:1,n:2,n:3,n:4,s:x]"},
        {"(7 1)", "concat", "(4)", "error 10"},
        {"(7 1)", "hasOwnProperty", "\"length\"", "b:true"},
        {"(7 1)", "hasOwnProperty", "0", "b:true"},
        {"(7 1)", "hasOwnProperty", "1", "b:false"},
        {"(7 1 2 3)", "indexOf", "2", "n:1"},
        {"(7 1 2 3)", "indexOf", "1 5", "n:-1"},
        {"(7 1 2 3)", "indexOf", "3 -1", "n:2"},
        {"(7 1 2 3)", "indexOf", "1 -1", "n:-1"},
        {"(7 1 2 1)", "lastIndexOf", "1", "n:2"},
        {"(7 1 2 1)", "lastIndexOf", "1 (10 0 0)", "n:2"},
        {"(7 1 2 1)", "lastIndexOf", "1 -2", "n:0"},
        {"(7 1 2 1)", "lastIndexOf", "1 -9", "n:-1"},
        {"(7 1 2 1)", "lastIndexOf", "2 99", "n:1"},
        {"(7 1 2)", "join", "", "s:1,2"},
        {"(7 1 2)", "join", "(44)", "s:12"},
        {"(7 1 2)", "join", "\" + \"", "s:1 + 2"},
        {"(7 1 (45) 2)", "join", "\"-\"", "s:1--2"},
        {"(7 1 2)", "pop", "", "n:2"},
        {"(7)", "pop", "", "undefined"},
        {"(7 1 2)", "shift", "", "n:1"},
        {"(7 1 2)", "push", "3 4", "n:4"},
        {"(7 1 2)", "unshift", "3 4", "n:4"},
        {"(7 1 2)", "reverse", "", "[n:2,n:1]"},
        {"(7 1 2)", "reverse", "1", "error 9"},
        {"(7)", "reduce", MINUS, "error 8"},
        {"(7)", "reduce", MINUS " 7", "n:7"},
        {"(7 5)", "reduce", MINUS, "n:5"},
        {"(7 1 2 3)", "reduceRight", MINUS, "n:0"},
        {"(7 10 2 3)", "reduce", MINUS, "n:5"},
        {"(7 1 2 3)", "reduce", MINUS " 10", "n:4"},
        {"(7 1 2 3)", "reduce", "", "error 9"},
        {"(7 1 2 3)", "reduce", "1", "error 10"},
        {"(7 1 2 3)", "reduce", MINUS " (4)", "error 10"},
        {"(7 1 2 3)", "slice", "-2", "[n:2,n:3]"},
        {"(7 1 2 3)", "slice", "2 1", "[]"},
        {"(7 1 2 3)", "slice", "1 (44)", "[]"},
        {"(7 1 2 3)", "slice", "", "[n:1,n:2,n:3]"},
        {"(7 3 1 2)", "sort", descending, "[n:3,n:2,n:1]"},
        {"(7 3 1 2)", "sort", "", "[n:1,n:2,n:3]"},
        {"(7 1)", "sort", "5", "[n:1]"},
        {"(7 2 1)", "sort", "5", "error 10"},
        {"(7 2 1)", "sort", "(51 \"\" (7) (3 \"nope\" 1))", "error 2"},
        {"(7 1 2 3)", "splice", "1", "[n:2,n:3]"},
        {"(7 1 2 3)", "splice", "1 0 9", "[]"},
        {"(7 1 2 3)", "splice", "", "[]"},
        {"(7 1 2 3)", "splice", "-1 5", "[n:3]"},
        {"(7 1 (45) 3)", "toString", "", "s:1,,3"},
        {"(7 1)", "nope", "", "error 17"},
    };
    for (const MethodCase& c : cases) {
        std::string program = call(c.target, c.method, c.args);
        EXPECT_EQ(run(program), c.expected) << program;
    }
}

TEST(ScriptArrayTest, MethodsChangingTheArrayInPlace) {
    const Case cases[] = {
        // Holes are skipped by callbacks and kept by map.
        {"(41 \"a\") (3 \"a\" (7 1)) (43 (15 \"a\") 2 3) "
         "(2 (15 \"a\") \"map\" (46 (51 \"\" (7 \"x\") (36 (15 \"x\")))))",
         "[n:1,hole,n:3]"},
        // Appending during forEach does not extend the walk.
        {"(41 \"a\" \"n\") (3 \"a\" (7 1 2)) (3 \"n\" 0) "
         "(2 (15 \"a\") \"forEach\" (46 (51 \"\" (7 \"x\") (3 \"n\" (0 (15 \"n\") 1)) "
         "(2 (15 \"a\") \"push\" (46 (15 \"x\")))))) (7 (15 \"n\") (16 (15 \"a\") \"length\"))",
         "[n:2,n:4]"},
        {"(41 \"a\") (3 \"a\" (7 1 2 3)) (2 (15 \"a\") \"splice\" (46 1 1 8 9)) (15 \"a\")",
         "[n:1,n:8,n:9,n:3]"},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (2 (15 \"a\") \"unshift\" (46 3 4)) (15 \"a\")",
         "[n:3,n:4,n:1,n:2]"},
        // Own function-valued properties come before the methods.
        {"(41 \"a\") (3 \"a\" (7 1)) (43 (15 \"a\") \"push\" (51 \"\" (7) (36 \"own\"))) "
         "(2 (15 \"a\") \"push\" (46 5))",
         "s:own"},
        {"(41 \"a\") (3 \"a\" (7 1)) (43 (15 \"a\") \"push\" 3) (2 (15 \"a\") \"push\" (46 5))",
         "error 17"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}
