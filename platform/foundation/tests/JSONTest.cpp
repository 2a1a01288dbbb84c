#include "platform/foundation/JSON.h"

#include <gtest/gtest.h>

#include <limits>

namespace {
Data bytes(std::string_view s) {
    return Data(s.begin(), s.end());
}
std::string text(const Data& d) {
    return std::string(d.begin(), d.end());
}
}  // namespace

TEST(JSON, ParsesEveryKind) {
    NSError error;
    auto v = NSJSONSerialization::JSONObjectWithData(
        bytes(
            R"({"b":true,"n":null,"i":-5,"u":18446744073709551615,"p":7,"d":1.25,"s":"h\u00e9","a":[1,[2]],"o":{"z":1,"a":2}})"),
        &error);
    ASSERT_TRUE(v) << error.description();
    EXPECT_EQ((*v)["b"], Value(true));
    EXPECT_TRUE((*v)["n"].isNull());
    EXPECT_EQ((*v)["i"].type(), Value::Type::Int);
    EXPECT_EQ((*v)["i"], Value(-5));
    EXPECT_EQ((*v)["u"].type(), Value::Type::UInt);
    EXPECT_EQ((*v)["u"], Value(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_EQ((*v)["p"].type(), Value::Type::Int);
    EXPECT_EQ((*v)["d"].type(), Value::Type::Double);
    EXPECT_EQ((*v)["s"], Value("h\xc3\xa9"));
    EXPECT_EQ((*v)["a"], Value(Array{1, Array{2}}));
    EXPECT_EQ((*v)["o"].asDictionary()->keys(), (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ(v->asDictionary()->keys().front(), "b");
}

TEST(JSON, RoundTripKeepsOrderAndValues) {
    Value v(Dictionary{{"zeta", 1},
                       {"alpha", Array{true, false, Value(), -1, 2.5, "x"}},
                       {"nested", Dictionary{{"q", Dictionary{}}, {"r", Array{}}}},
                       {"big", std::numeric_limits<std::uint64_t>::max()},
                       {"min", std::numeric_limits<std::int64_t>::min()}});
    NSError error;
    auto data = NSJSONSerialization::dataWithJSONObject(v, &error);
    ASSERT_TRUE(data) << error.description();
    EXPECT_EQ(text(*data).substr(0, 8), "{\"zeta\":");
    auto back = NSJSONSerialization::JSONObjectWithData(*data, &error);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, v);
    EXPECT_EQ(back->asDictionary()->keys(), v.asDictionary()->keys());
}

TEST(JSON, SortedAndPretty) {
    Value v(Dictionary{{"b", 1}, {"a", Dictionary{{"d", 1}, {"c", 2}}}});
    auto sorted = NSJSONSerialization::dataWithJSONObject(v, nullptr, true);
    ASSERT_TRUE(sorted);
    EXPECT_EQ(text(*sorted), R"({"a":{"c":2,"d":1},"b":1})");
    auto pretty = NSJSONSerialization::dataWithJSONObject(Value(Array{1}), nullptr, false, true);
    ASSERT_TRUE(pretty);
    EXPECT_EQ(text(*pretty), "[\n  1\n]");
}

TEST(JSON, ParseErrors) {
    const char* bad[] = {"",      "{",       "[1,]",     "{\"a\" 1}",  "nul",    "[1] x",
                         "[NaN]", "[1e999]", "\xff\xfe", "[\"\xc3\"]", "{'a':1}"};
    for (const char* s : bad) {
        NSError error;
        auto v = NSJSONSerialization::JSONObjectWithData(bytes(s), &error);
        EXPECT_FALSE(v) << s;
        EXPECT_EQ(error.domain, "NSCocoaErrorDomain") << s;
        EXPECT_EQ(error.code, 3840) << s;
        EXPECT_FALSE(error.localizedDescription().empty());
    }
    // Deep nesting is refused, not a stack overflow.
    std::string deep(100000, '[');
    EXPECT_FALSE(NSJSONSerialization::JSONObjectWithData(bytes(deep)));
    deep += std::string(100000, ']');
    EXPECT_FALSE(NSJSONSerialization::JSONObjectWithData(bytes(deep)));
}

TEST(JSON, Fragments) {
    NSError error;
    EXPECT_FALSE(NSJSONSerialization::JSONObjectWithData(bytes("3"), &error));
    EXPECT_EQ(error.code, 3840);
    auto v = NSJSONSerialization::JSONObjectWithData(bytes("\"s\""), nullptr, true);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, Value("s"));
    EXPECT_EQ(*NSJSONSerialization::JSONObjectWithData(bytes("null"), nullptr, true), Value());
}

TEST(JSON, InvalidObjects) {
    const Value bad[] = {
        Value(Array{Data{1}}),
        Value(Dictionary{{"d", Date{0}}}),
        Value(Array{std::numeric_limits<double>::quiet_NaN()}),
        Value(Array{std::numeric_limits<double>::infinity()}),
        Value(Array{"\xff"}),
        Value("top-level string"),
        Value(3),
    };
    for (const auto& v : bad) {
        NSError error;
        EXPECT_FALSE(NSJSONSerialization::isValidJSONObject(v)) << v.description();
        EXPECT_FALSE(NSJSONSerialization::dataWithJSONObject(v, &error)) << v.description();
        EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
        EXPECT_EQ(error.code, foundation_errors::kWriteInvalid);
        EXPECT_FALSE(error.localizedDescription().empty());
    }
    EXPECT_TRUE(NSJSONSerialization::isValidJSONObject(Value(Array{Value(), 1})));
    // toJSON allows fragments but not invalid values.
    EXPECT_TRUE(toJSON(Value(3)));
    EXPECT_FALSE(toJSON(Value(Data{})));
    EXPECT_EQ(fromJSON(nlohmann::ordered_json::parse(R"({"b":1,"a":[true]})")),
              Value(Dictionary{{"b", 1}, {"a", Array{true}}}));
}
