#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

TEST(Value, TypesAndAccessors) {
    EXPECT_TRUE(Value().isNull());
    EXPECT_TRUE(Value(nullptr).isNull());
    EXPECT_EQ(Value(true).type(), Value::Type::Bool);
    EXPECT_EQ(Value(1).type(), Value::Type::Int);
    EXPECT_EQ(Value(1u).type(), Value::Type::UInt);
    EXPECT_EQ(Value(1.5).type(), Value::Type::Double);
    EXPECT_EQ(Value("s").type(), Value::Type::String);
    EXPECT_EQ(Value(Data{1}).type(), Value::Type::Data);
    EXPECT_EQ(Value(Date{1}).type(), Value::Type::Date);
    EXPECT_EQ(Value(Array{}).type(), Value::Type::Array);
    EXPECT_EQ(Value(Dictionary{}).type(), Value::Type::Dictionary);
    EXPECT_FALSE(Value(true).isNumber());
    EXPECT_TRUE(Value(2.0).isNumber());

    EXPECT_EQ(Value(true).asInt(), 1);
    EXPECT_EQ(Value(-3).asInt(), -3);
    EXPECT_EQ(Value(-3).asUInt(), std::nullopt);
    EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).asInt(), std::nullopt);
    EXPECT_EQ(Value(2.9).asInt(), 2);
    EXPECT_EQ(Value(1e300).asInt(), std::nullopt);
    EXPECT_EQ(Value("1").asInt(), std::nullopt);
    EXPECT_EQ(Value(7).asDouble(), 7.0);
    EXPECT_EQ(Value(7).asString(), std::nullopt);
    EXPECT_EQ(Value("x").asString(), "x");
    EXPECT_EQ(Value(1).asBool(), std::nullopt);
    EXPECT_EQ(Value(Date{5}).asDate()->secondsSinceReferenceDate, 5);
    EXPECT_EQ(Value(1).asArray(), nullptr);
    EXPECT_EQ(typeName(Value::Type::Dictionary), "dictionary");
}

struct EqualityCase {
    Value a, b;
    bool equal;
};

TEST(Value, EqualityTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const EqualityCase cases[] = {
        {Value(), Value(), true},
        {Value(1), Value(1u), true},
        {Value(1), Value(1.0), true},
        {Value(1u), Value(1.0), true},
        {Value(-1), Value(std::numeric_limits<std::uint64_t>::max()), false},
        {Value(std::numeric_limits<std::int64_t>::max()), Value(9223372036854775808.0), false},
        {Value(1), Value(1.5), false},
        {Value(true), Value(1), false},
        {Value(false), Value(0), false},
        {Value(true), Value(true), true},
        {Value(nan), Value(nan), false},
        {Value("a"), Value("a"), true},
        {Value("a"), Value("b"), false},
        {Value(Data{1, 2}), Value(Data{1, 2}), true},
        {Value(Data{1, 2}), Value(Data{2, 1}), false},
        {Value(Date{3}), Value(Date{3}), true},
        {Value(Date{3}), Value(3), false},
        {Value(Array{1, "x"}), Value(Array{1.0, "x"}), true},
        {Value(Array{1, "x"}), Value(Array{"x", 1}), false},
        {Value(Dictionary{{"a", 1}, {"b", 2}}), Value(Dictionary{{"b", 2}, {"a", 1u}}), true},
        {Value(Dictionary{{"a", 1}}), Value(Dictionary{{"a", 1}, {"b", 2}}), false},
        {Value(Dictionary{{"a", Array{Dictionary{{"x", 1}}}}}),
         Value(Dictionary{{"a", Array{Dictionary{{"x", 2}}}}}), false},
        {Value(), Value(0), false},
        {Value(""), Value(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.description() << " vs " << c.a.description();
    }
}

TEST(Value, DictionaryKeepsOrderAndPosition) {
    Dictionary d{{"b", 1}, {"a", 2}};
    d.set("c", 3);
    d.set("b", 4);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(*d.find("b"), Value(4));
    EXPECT_TRUE(d.remove("a"));
    EXPECT_FALSE(d.remove("a"));
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "c"}));
    EXPECT_FALSE(d.contains("a"));
    Value v(d);
    EXPECT_EQ(v["c"], Value(3));
    EXPECT_TRUE(v["missing"].isNull());
    EXPECT_TRUE(Value(1)["x"].isNull());
}

TEST(Value, CopyOnWrite) {
    Value a(Array{1, 2});
    Value b = a;
    b.array().push_back(3);
    EXPECT_EQ(a.asArray()->size(), 2u);
    EXPECT_EQ(b.asArray()->size(), 3u);

    Value d(Dictionary{{"k", 1}});
    Value e = d;
    e.dictionary().set("k", 2);
    EXPECT_EQ(d["k"], Value(1));
    EXPECT_EQ(e["k"], Value(2));

    // Unshared: mutation in place.
    const Array* before = b.asArray();
    b.array().push_back(4);
    EXPECT_EQ(b.asArray(), before);

    // Building from another type replaces it.
    Value n;
    n.dictionary().set("x", 1);
    EXPECT_TRUE(n.isDictionary());
    Value s("str");
    s.array().push_back(1);
    EXPECT_EQ(s, Value(Array{1}));
}

TEST(Value, DescriptionTable) {
    const std::pair<Value, std::string> cases[] = {
        {Value(), "<null>"},
        {Value(true), "1"},
        {Value(false), "0"},
        {Value(-42), "-42"},
        {Value(18446744073709551615ull), "18446744073709551615"},
        {Value(1.5), "1.5"},
        {Value(3.0), "3"},
        {Value("plain"), "plain"},
        {Value("with space"), "\"with space\""},
        {Value(""), "\"\""},
        {Value("a\"b"), "\"a\\\"b\""},
        {Value(Data{0xde, 0xad, 0xbe, 0xef}), "{length = 4, bytes = 0xdeadbeef}"},
        {Value(Date{0}), "2001-01-01 00:00:00 +0000"},
        {Value(Date::fromUnix(0)), "1970-01-01 00:00:00 +0000"},
        {Value(Array{1, 2}), "(\n    1,\n    2\n)"},
        {Value(Array{}), "(\n)"},
        {Value(Dictionary{{"key", "value"}}), "{\n    key = value;\n}"},
        {Value(Dictionary{}), "{\n}"},
        {Value(Dictionary{{"a b", Array{1}}}), "{\n    \"a b\" =     (\n        1\n    );\n}"},
        {Value(Array{Dictionary{{"k", 1}}}), "(\n        {\n        k = 1;\n    }\n)"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(value.description(), text);

    Data big(40);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(Value(big).description(),
              "{length = 40, bytes = 0x0001020304050607 ... 2021222324252627}");
}
