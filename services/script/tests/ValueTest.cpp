// Value conversions, equality, arrays with holes and function calls.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "services/script/tests/ScriptTestSupport.h"

using script_test::Case;
using script_test::run;

TEST(ScriptValueTest, NumbersToText) {
    struct NumberCase {
        double value;
        const char* text;
    };
    const NumberCase cases[] = {
        {0.1 + 0.2, "0.30000000000000004"},
        {1e21, "1e+21"},
        {1e-7, "1e-7"},
        {0.0000015, "0.0000015"},
        {1.5e-7, "1.5e-7"},
        {0.000001, "0.000001"},
        {1e20, "100000000000000000000"},
        {-0.0, "0"},
        {100, "100"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {123456789.125, "123456789.125"},
        {-1.5e300, "-1.5e+300"},
        {std::nan(""), "NaN"},
        {std::numeric_limits<double>::infinity(), "Infinity"},
        {-std::numeric_limits<double>::infinity(), "-Infinity"},
    };
    for (const NumberCase& c : cases)
        EXPECT_EQ(APMPUTF8(APMPNumberToString(c.value)), c.text) << c.value;
}

TEST(ScriptValueTest, TextToNumbers) {
    const Case cases[] = {
        {"(27 (27 \" \\n\\t12.5 \"))", "n:12.5"},
        {"(34 (27 (27 \"1e3\")))", "n:1000"},
        {"(27 (27 \"\"))", "n:0"},
        {"(27 (27 \"abc\"))", "n:NaN"},
        {"(27 (27 \"Infinity\"))", "n:Infinity"},
        {"(27 (27 \"-Infinity\"))", "n:-Infinity"},
        {"(27 (27 \"infinity\"))", "n:NaN"},
        {"(27 (27 \"12px\"))", "n:NaN"},
        {"(27 (27 \"0x10\"))", "n:NaN"},
        {"(27 (27 \"1,5\"))", "n:NaN"},
        {"(27 (27 \" 42 \"))", "n:42"},
        {"(27 (27 \"+.5\"))", "n:0.5"},
        {"(27 (27 \"1e999\"))", "n:Infinity"},
        {"(27 (27 \"e5\"))", "n:NaN"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptValueTest, ConversionsOfEveryKind) {
    const Case cases[] = {
        // Arrays: joined text, its number, always true.
        {"(0 \"\" (7 (45) (44) 2))", "s:,,2"},
        {"(27 (27 (7 (45) (44) 2)))", "n:NaN"},
        {"(0 \"\" (7))", "s:"},
        {"(27 (27 (7)))", "n:0"},
        {"(27 (27 (7 5)))", "n:5"},
        {"(28 (7))", "b:false"},
        // Maps and functions.
        {"(0 \"\" (8))", "s:[object Object]"},
        {"(27 (8))", "n:NaN"},
        {"(0 \"\" (51 \"g\" (7)))", "s:g"},
        // Null and undefined.
        {"(0 \"\" (45))", "s:null"},
        {"(0 1 (45))", "n:1"},
        {"(0 1 (44))", "n:NaN"},
        {"(0 \"\" (44))", "s:undefined"},
        // Booleans.
        {"(0 true true)", "n:2"},
        {"(28 0)", "b:true"},
        {"(28 (10 0 0))", "b:true"},
        {"(28 \"\")", "b:true"},
        {"(28 \"0\")", "b:false"},
        // Method calls on values.
        {"(2 (8) \"toString\" (46))", "s:[object Object]"},
        {"(2 12.5 \"toString\" (46))", "s:12.5"},
        {"(2 true \"toString\" (46))", "s:true"},
        {"(2 1 \"nope\" (46))", "error 17"},
        {"(2 (45) \"toString\" (46))", "error 7"},
        {"(2 (44) \"anything\" (46))", "error 7"},
        {"(2 (8 \"a\" 1) \"hasOwnProperty\" (46 \"a\"))", "b:true"},
        {"(2 (8 \"a\" 1) \"hasOwnProperty\" (46 \"b\"))", "b:false"},
        {"(2 (8 \"a\" 1) \"hasOwnProperty\" (46))", "error 9"},
        {"(2 (8 \"a\" 1) \"a\" (46))", "error 17"},
        {"(2 (8 \"f\" (51 \"\" (7 \"x\") (36 (26 2 (15 \"x\"))))) \"f\" (46 21))", "n:42"},
        {"(2 (7 1) \"x\" (46))", "error 17"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptValueTest, Equality) {
    APMPErrorSlot error;
    auto n = [](double d) { return APMPNumberValue::make(d); };
    auto s = [](const char* t) { return APMPStringValue::make(std::string_view(t)); };
    auto nan = std::nan("");
    EXPECT_TRUE(n(nan)->isEqualToRuntimeValue(*n(nan)));
    EXPECT_FALSE(APMPStrictEquals(*n(nan), *n(nan), error));
    EXPECT_TRUE(s("a")->isEqualToRuntimeValue(*s("a")));
    EXPECT_FALSE(s("a")->isEqualToRuntimeValue(*n(1)));
    auto a = APMPArrayValue::make({n(1), s("x")}, error);
    auto b = APMPArrayValue::make({n(1), s("x")}, error);
    EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
    EXPECT_FALSE(APMPStrictEquals(*a, *b, error));
    b->setLength(3, error);
    a->setLength(3, error);
    EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
    a->setValue(APMPUndefined(), n(2), error);
    EXPECT_FALSE(a->isEqualToRuntimeValue(*b));  // a hole equals only a hole
    auto f = APMPFunctionValue::make(u"f", {}, {}, APMPScope::make());
    auto g = APMPFunctionValue::make(u"f", {}, {}, APMPScope::make());
    auto anonymous = APMPFunctionValue::make(u"", {}, {}, APMPScope::make());
    auto other = APMPFunctionValue::make(u"", {}, {}, APMPScope::make());
    EXPECT_TRUE(f->isEqualToRuntimeValue(*g));
    EXPECT_FALSE(anonymous->isEqualToRuntimeValue(*other));
    EXPECT_TRUE(APMPControlValue::returnValueWithData(n(1))->isEqualToRuntimeValue(
        *APMPControlValue::returnValueWithData(n(1))));
    EXPECT_FALSE(
        APMPControlValue::breakValue()->isEqualToRuntimeValue(*APMPControlValue::continueValue()));
    EXPECT_TRUE(APMPNull()->isEqualToRuntimeValue(*APMPNull()));
    EXPECT_FALSE(APMPNull()->isEqualToRuntimeValue(*APMPUndefined()));
}

TEST(ScriptValueTest, IntegerConversions) {
    struct IntCase {
        double in;
        std::int32_t int32;
        std::uint32_t uint32;
        double integer;
    };
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const IntCase cases[] = {
        {4294967297.0, 1, 1, 4294967297.0},
        {3000000000.0, 2147483647, 2147483647u, 3000000000.0},
        {-1, -1, 4294967295u, -1},
        {-4294967297.0, -1, 4294967295u, -4294967297.0},
        {2.9, 2, 2, 2},
        {-2.9, -2, 4294967294u, -2},
        {nan, 0, 0, 0},
        {inf, 0, 0, inf},
        {-inf, 0, 0, -inf},
    };
    for (const IntCase& c : cases) {
        EXPECT_EQ(APMPToInt32(c.in), c.int32) << c.in;
        EXPECT_EQ(APMPToUint32(c.in), c.uint32) << c.in;
        EXPECT_EQ(APMPToInteger(c.in), c.integer) << c.in;
    }
}

TEST(ScriptValueTest, ArraysWithHolesAndProperties) {
    const Case cases[] = {
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 3 \"x\") (15 \"a\")", "[hole,hole,hole,s:x]"},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 3 \"x\") (16 (15 \"a\") 1)", "undefined"},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 3 \"x\") (16 (15 \"a\") \"length\")", "n:4"},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 3 \"x\") (7 (54 \"k\" (15 \"a\") (46)))",
         "[undefined]"},
        {"(41 \"a\" \"k\") (3 \"a\" (7)) (43 (15 \"a\") 3 \"x\") (47 \"k\" (15 \"a\") (46)) (15 "
         "\"k\")",
         "s:3"},
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 3 \"x\") "
         "(2 (15 \"a\") \"hasOwnProperty\" (46 1))",
         "b:false"},
        // "length" must be an index.
        {"(41 \"a\") (3 \"a\" (7 1 2)) (43 (15 \"a\") \"length\" 1.5)", "error 11"},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (43 (15 \"a\") \"length\" 1) (15 \"a\")", "[n:1]"},
        {"(41 \"a\") (3 \"a\" (7 1 2)) (43 (15 \"a\") \"length\" 4) (15 \"a\")",
         "[n:1,n:2,hole,hole]"},
        // A string property 1.5 is a named property, not an element.
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") \"1.5\" 9) (7 (16 (15 \"a\") \"1.5\") "
         "(16 (15 \"a\") \"length\"))",
         "[n:9,n:0]"},
        // So are the numbers 1.5, -1 and NaN as keys.
        {"(41 \"a\") (3 \"a\" (7)) (43 (15 \"a\") 1.5 9) (43 (15 \"a\") -1 (0 4 4)) "
         "(43 (15 \"a\") (0 1 (16 (15 \"a\") 5)) 7) (7 (16 (15 \"a\") \"1.5\") "
         "(16 (15 \"a\") \"-1\") (16 (15 \"a\") \"NaN\") (16 (15 \"a\") \"length\"))",
         "[n:9,n:8,n:7,n:0]"},
        // The empty string and a padded string are indexes.
        {"(41 \"a\") (3 \"a\" (7 5 6 7)) (7 (16 (15 \"a\") \"\") (16 (15 \"a\") \" 2 \"))",
         "[n:5,n:7]"},
        {"(2 (7 1 2 3) \"indexOf\" (46 (10 0 0)))", "n:-1"},
        {"(2 (7 (7)) \"indexOf\" (46 (7)))", "n:-1"},
        // Sorting without a function: by text, undefined then holes last.
        {"(2 (7 10 9 1) \"sort\" (46))", "[n:1,n:10,n:9]"},
        {"(41 \"a\") (3 \"a\" (7 3 (44) 1)) (43 (15 \"a\") 5 2) (2 (15 \"a\") \"sort\" (46))",
         "[n:1,n:2,n:3,undefined,hole,hole]"},
        // Functions: missing arguments are undefined, extra ones ignored.
        {"(50 \"f\" (7 \"a\" \"b\") (36 (40 (15 \"b\")))) (f 1)", "s:undefined"},
        {"(50 \"f\" (7 \"a\") (36 (15 \"a\"))) (f 1 2 3)", "n:1"},
        {"(50 \"f\" (7) (0 1 1)) (f)", "n:2"},
        {"(50 \"f\" (7) (4)) (f)", "control:break(undefined)"},
        // Closures see their defining scope as it is when they run.
        {"(41 \"x\") (3 \"x\" 1) (50 \"f\" (7) (36 (15 \"x\"))) (3 \"x\" 2) (f)", "n:2"},
        // Every call has scope of its own: what one call's scope kept (a
        // closure, a local, a constant parameter) the next does not see.
        {"(50 \"mk\" (7 \"v\") (36 (51 \"\" (7) (36 (15 \"v\"))))) (41 \"f\" \"g\") "
         "(3 \"f\" (mk 1)) (3 \"g\" (mk 2)) (7 (f) (g))",
         "[n:1,n:2]"},
        {"(41 \"r\") (3 \"r\" (7)) (50 \"h\" (7 \"p\") "
         "(2 (15 \"r\") \"push\" (46 (40 (15 \"t\")))) (41 \"t\") (3 \"t\" (15 \"p\"))) "
         "(h 1) (h 2) (15 \"r\")",
         "[s:undefined,s:undefined]"},
        {"(41 \"r\") (3 \"r\" (7)) (50 \"k\" (7 \"p\") (2 (15 \"r\") \"push\" (46 (15 \"p\"))) "
         "(52 \"p\" 0)) (k 1) (k 2) (15 \"r\")",
         "[n:1,n:2]"},
        {"(50 \"d\" (7 \"p\" \"p\") (36 (15 \"p\"))) (7 (d 1 2) (d 3) (d 4 5))",
         "[n:2,undefined,n:5]"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.program), c.expected) << c.program;
}

TEST(ScriptValueTest, ArrayOperations) {
    APMPErrorSlot error;
    auto n = [](double d) { return APMPNumberValue::make(d); };
    auto array = APMPArrayValue::make({n(1), n(2), n(3)}, error);
    EXPECT_EQ(script_test::show(array->subarrayWithRange(1, 99, error)), "[n:2,n:3]");
    EXPECT_EQ(script_test::show(array->subarrayWithRange(7, 1, error)), "[]");
    APMPValueList removed = array->spliceFrom(-5, 1, {n(9)}, error);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(script_test::show(array), "[n:9,n:2,n:3]");
    array->concat(array, error);
    EXPECT_EQ(script_test::show(array), "[n:9,n:2,n:3,n:9,n:2,n:3]");
    array->concat(APMPControlValue::breakValue(), error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kAPMPErrorArgumentKind);
    error.reset();
    EXPECT_EQ(array->lastIndexOfValue(n(9), 99, error), 3);
    EXPECT_EQ(array->lastIndexOfValue(n(9), 2, error), 0);
    EXPECT_EQ(array->indexOfValue(n(3), 3, error), 5);
    array->removeValueForProperty(n(0), error);
    EXPECT_EQ(script_test::show(array->removeFirstElement()), "other");  // the hole itself
    EXPECT_EQ(array->count(), 5u);
}

TEST(ScriptValueTest, SelfHoldingContainersCompareWithoutEndlessRecursion) {
    APMPErrorSlot error;
    auto a = APMPArrayValue::make();
    auto b = APMPArrayValue::make();
    a->appendElements({a}, error);
    b->appendElements({b}, error);
    EXPECT_FALSE(a->isEqualToRuntimeValue(*b));
    EXPECT_TRUE(a->isEqualToRuntimeValue(*a));
    auto m = APMPMapValue::make();
    auto n = APMPMapValue::make();
    m->setValue(m, u"self");
    n->setValue(n, u"self");
    EXPECT_FALSE(m->isEqualToRuntimeValue(*n));
    a->releaseReferences();
    b->releaseReferences();
    m->releaseReferences();
    n->releaseReferences();
}

TEST(ScriptValueTest, ElementWritesCountExactlyTheSlotsTheyAdd) {
    APMPErrorSlot error;
    auto n = [](double d) { return APMPNumberValue::make(d); };
    auto text = [](const char* t) { return APMPStringValue::make(std::string_view(t)); };
    constexpr auto kSlot = static_cast<std::int64_t>(sizeof(APMPValueRef));
    auto array = APMPArrayValue::make();
    APMPValueRef one = text("1"), three = text("3");
    std::int64_t empty = APMPLiveBytes();
    const struct {
        APMPValueRef index;
        double value;
        const char* after;
    } writes[] = {
        {n(0), 10, "[n:10]"},                      // at the end
        {one, 11, "[n:10,n:11]"},                  // at the end, by text
        {n(4), 14, "[n:10,n:11,hole,hole,n:14]"},  // beyond: holes between
        {three, 13, "[n:10,n:11,hole,n:13,n:14]"},
        {n(0), 20, "[n:20,n:11,hole,n:13,n:14]"},  // within
        {n(5), 15, "[n:20,n:11,hole,n:13,n:14,n:15]"},
    };
    for (const auto& write : writes) {
        array->setValue(n(write.value), write.index, error);
        ASSERT_FALSE(error);
        EXPECT_EQ(script_test::show(array), write.after);
        EXPECT_EQ(APMPLiveBytes() - empty, static_cast<std::int64_t>(array->count()) * kSlot);
    }
    array->setValue(n(1), n(static_cast<double>(APMPRunContext::kMaxElements)), error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kAPMPErrorSizeLimit);
    EXPECT_EQ(array->count(), 6u);
    error.reset();
    array->setValue(n(2), text("length"), error);
    EXPECT_EQ(script_test::show(array), "[n:20,n:11]");
    EXPECT_EQ(APMPLiveBytes() - empty, 2 * kSlot);
}

TEST(ScriptValueTest, BytesCountedOnAnotherThreadReachTheTotalWhenItEnds) {
    // A thread adds its changes to the shared count in batches; what it has
    // not yet added must not be lost when it ends, however small.
    constexpr auto kSlot = static_cast<std::int64_t>(sizeof(APMPValueRef));
    std::int64_t before = APMPLiveBytes();
    std::shared_ptr<APMPArrayValue> array;
    std::thread([&] {
        array = APMPArrayValue::make();
        APMPErrorSlot error;
        for (int i = 0; i < 3; ++i) array->setElement(i, APMPNumberValue::make(i), error);
    }).join();
    EXPECT_EQ(APMPLiveBytes() - before, 3 * kSlot);
    std::thread([&] { array.reset(); }).join();
    EXPECT_EQ(APMPLiveBytes(), before);
}

TEST(ScriptValueTest, PropertyTablesKeepEveryNameAsTheyGrow) {
    // A table starts as a short list and moves to a hash table past a few
    // names; reads, writes and removals work alike on either side.
    auto map = APMPMapValue::make();
    auto name = [](int i) { return APMPUTF16("name" + std::to_string(i)); };
    std::int64_t empty = APMPLiveBytes();
    for (int count = 1; count <= 20; ++count) {
        map->setValue(APMPNumberValue::make(count), name(count));
        for (int i = 1; i <= count; ++i) {
            map->setValue(APMPNumberValue::make(i * 2), name(i));
            ASSERT_EQ(script_test::show(map->valueForProperty(name(i))), "n:" + std::to_string(i * 2));
        }
        ASSERT_EQ(map->allPropertyNames().size(), static_cast<std::size_t>(count));
        ASSERT_FALSE(map->hasProperty(name(count + 1)));
    }
    map->propertyMap.setImmutableValue(APMPNumberValue::make(0), name(3));
    for (int i = 1; i <= 20; i += 2) map->removeValueForProperty(name(i));
    EXPECT_EQ(map->allPropertyNames().size(), 11u);
    EXPECT_EQ(script_test::show(map->valueForProperty(name(3))), "n:0");
    EXPECT_EQ(script_test::show(map->valueForProperty(name(4))), "n:8");
    map->releaseReferences();
    EXPECT_EQ(APMPLiveBytes(), empty);
    map->setValue(APMPNumberValue::make(1), name(1));
    EXPECT_EQ(script_test::show(map), "{name1=n:1}");
    // A long name goes to the hash table at once, with those listed before.
    APMPString longName(40, u'x');
    map->setValue(APMPNumberValue::make(2), longName);
    map->setValue(APMPNumberValue::make(3), name(2));
    EXPECT_EQ(script_test::show(map->valueForProperty(longName)), "n:2");
    EXPECT_EQ(script_test::show(map->valueForProperty(name(1))), "n:1");
    EXPECT_EQ(script_test::show(map->valueForProperty(name(2))), "n:3");
    EXPECT_EQ(map->allPropertyNames().size(), 3u);
    map->releaseReferences();
}

TEST(ScriptValueTest, ValuesMadeOnOneThreadMayBeReleasedOnAnother) {
    // Numbers and strings reuse the blocks of released ones: blocks made on
    // a thread that has ended, released here and made again, keep their
    // values apart.
    std::int64_t before = APMPLiveBytes();
    auto make = [](APMPValueList& values, int from) {
        for (int i = 0; i < 6000; ++i) {
            values.push_back(APMPNumberValue::make(1e6 + from + i));
            values.push_back(APMPStringValue::make(APMPUTF16(std::to_string(from + i))));
        }
    };
    auto check = [](const APMPValueList& values, int from) {
        for (std::size_t i = 0; i < values.size(); i += 2) {
            int n = from + static_cast<int>(i / 2);
            ASSERT_EQ(static_cast<const APMPNumberValue&>(*values[i]).value, 1e6 + n);
            ASSERT_EQ(static_cast<const APMPStringValue&>(*values[i + 1]).value,
                      APMPUTF16(std::to_string(n)));
        }
    };
    APMPValueList made;
    std::thread maker([&] { make(made, 0); });
    maker.join();
    check(made, 0);
    APMPValueList kept(made.begin(), made.begin() + 100);
    made.clear();
    make(made, 50000);
    check(made, 50000);
    check(kept, 0);
    std::thread releaser([&] { made.clear(); });
    releaser.join();
    kept.clear();
    EXPECT_EQ(APMPLiveBytes(), before);
}
