#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

namespace {

Data bytes(std::string_view s) {
    return Data(s.begin(), s.end());
}

Value everyType() {
    return Value(Dictionary{
        {"bool", true},
        {"false", false},
        {"int", -42},
        {"zero", 0},
        {"uint", 7u},
        {"double", 2.5},
        {"string", "h\xc3\xa9llo \xe2\x9c\x93"},
        {"empty", ""},
        {"data", Data{0, 1, 2, 255}},
        {"emptyData", Data{}},
        {"date", Date{123456}},  // XML dates hold whole seconds
        {"array", Array{1, "two", Array{3.0, Dictionary{{"deep", Array{}}}}}},
        {"dict", Dictionary{{"z", 1}, {"a", Dictionary{}}}},
    });
}

class PropertyListFormats : public ::testing::TestWithParam<PropertyListFormat> {};

}  // namespace

TEST_P(PropertyListFormats, RoundTripsEveryTypeNested) {
    Value v = everyType();
    NSError error;
    auto data = PropertyListSerialization::dataWithPropertyList(v, GetParam(), &error);
    ASSERT_TRUE(data) << error.description();
    PropertyListFormat format{};
    auto back = PropertyListSerialization::propertyListWithData(*data, &error, &format);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(format, GetParam());
    EXPECT_EQ(*back, v) << back->description();
    // Key order as written.
    EXPECT_EQ(back->asDictionary()->keys(), v.asDictionary()->keys());
    EXPECT_EQ((*back)["dict"].asDictionary()->keys(), (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ((*back)["int"].type(), Value::Type::Int);
    EXPECT_EQ((*back)["double"].type(), Value::Type::Double);
    EXPECT_EQ((*back)["bool"].type(), Value::Type::Bool);
}

TEST_P(PropertyListFormats, IntegerExtremes) {
    const Value values[] = {
        Value(-1),
        Value(0),
        Value(std::numeric_limits<std::int64_t>::max()),
        Value(std::numeric_limits<std::int64_t>::min()),
        Value(std::numeric_limits<std::uint64_t>::max()),
        Value(9223372036854775808ull),
    };
    for (const auto& v : values) {
        auto data = PropertyListSerialization::dataWithPropertyList(Value(Array{v}), GetParam());
        ASSERT_TRUE(data);
        auto back = PropertyListSerialization::propertyListWithData(*data);
        ASSERT_TRUE(back);
        const Value& item = (*back->asArray())[0];
        EXPECT_EQ(item, v) << v.description() << " read back as " << item.description();
        EXPECT_EQ(item.type(), v.type()) << v.description();
    }
    // A small UInt reads back as Int with the same value.
    auto data = PropertyListSerialization::dataWithPropertyList(Value(Array{5u}), GetParam());
    auto back = PropertyListSerialization::propertyListWithData(*data);
    EXPECT_EQ((*back->asArray())[0].type(), Value::Type::Int);
    EXPECT_EQ((*back->asArray())[0], Value(5u));
}

TEST_P(PropertyListFormats, ScalarRootsAndDates) {
    const Value values[] = {
        Value("root"),  Value(3),       Value(1.5),        Value(true),
        Value(Data{9}), Value(Date{0}), Value(Date{-1e9}), Value(Date{63113904000.0})};
    for (const auto& v : values) {
        auto data = PropertyListSerialization::dataWithPropertyList(v, GetParam());
        ASSERT_TRUE(data) << v.description();
        auto back = PropertyListSerialization::propertyListWithData(*data);
        ASSERT_TRUE(back) << v.description();
        EXPECT_EQ(*back, v) << back->description();
    }
    // Binary keeps sub-second dates exactly enough (microseconds).
    if (GetParam() == PropertyListFormat::Binary) {
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(Date{-100.25}), GetParam());
        auto back = PropertyListSerialization::propertyListWithData(*data);
        EXPECT_NEAR(back->asDate()->secondsSinceReferenceDate, -100.25, 1e-6);
    }
}

TEST_P(PropertyListFormats, InvalidValues) {
    const Value bad[] = {Value(),
                         Value(Array{Value()}),
                         Value(Dictionary{{"k", Value()}}),
                         Value(Array{"\xff"}),
                         Value(Array{std::string("a\0b", 3)}),
                         Value(Date{std::numeric_limits<double>::infinity()})};
    for (const auto& v : bad) {
        NSError error;
        EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(v, GetParam(), &error))
            << v.description();
        EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
        EXPECT_EQ(error.code, foundation_errors::kWriteInvalid);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PropertyListFormats,
                         ::testing::Values(PropertyListFormat::XML, PropertyListFormat::Binary));

TEST(PropertyList, DetectsFormat) {
    auto xml =
        PropertyListSerialization::dataWithPropertyList(Value(Array{1}), PropertyListFormat::XML);
    auto bin = PropertyListSerialization::dataWithPropertyList(Value(Array{1}),
                                                               PropertyListFormat::Binary);
    ASSERT_TRUE(xml && bin);
    EXPECT_EQ(std::string(bin->begin(), bin->begin() + 8), "bplist00");
    EXPECT_NE(std::string(xml->begin(), xml->end()).find("<plist"), std::string::npos);
    PropertyListFormat f{};
    ASSERT_TRUE(PropertyListSerialization::propertyListWithData(*xml, nullptr, &f));
    EXPECT_EQ(f, PropertyListFormat::XML);
    ASSERT_TRUE(PropertyListSerialization::propertyListWithData(*bin, nullptr, &f));
    EXPECT_EQ(f, PropertyListFormat::Binary);
}

TEST(PropertyList, ReadsHandWrittenXML) {
    const char* xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>Name</key>
	<string>Lumbrel</string>
	<key>Count</key>
	<integer>-3</integer>
	<key>On</key>
	<true/>
	<key>When</key>
	<date>2001-01-01T00:01:00Z</date>
	<key>Blob</key>
	<data>AAEC</data>
</dict>
</plist>)";
    auto v = PropertyListSerialization::propertyListWithData(bytes(xml));
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, Value(Dictionary{{"Name", "Lumbrel"},
                                   {"Count", -3},
                                   {"On", true},
                                   {"When", Date{60}},
                                   {"Blob", Data{0, 1, 2}}}));
}

TEST(PropertyList, UIDs) {
    Value v(Dictionary{{"ref", plist_uid::make(3)}});
    EXPECT_EQ(plist_uid::get(v["ref"]), 3u);
    EXPECT_EQ(plist_uid::get(Value(Dictionary{{"CF$UID", 1}, {"x", 2}})), std::nullopt);
    for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        auto data = plist_uid::dataWithUIDs(v, format);
        ASSERT_TRUE(data);
        auto back = PropertyListSerialization::propertyListWithData(*data);
        ASSERT_TRUE(back);
        EXPECT_EQ(plist_uid::get((*back)["ref"]), 3u);
    }
}

TEST(PropertyList, GarbageAndTruncatedInput) {
    auto expectCorrupt = [](const Data& d, const std::string& what) {
        NSError error;
        auto v = PropertyListSerialization::propertyListWithData(d, &error);
        if (!v) {
            EXPECT_EQ(error.domain, "NSCocoaErrorDomain") << what;
            EXPECT_EQ(error.code, 3840) << what;
        }
        return v.has_value();
    };
    EXPECT_FALSE(expectCorrupt(Data{}, "empty"));
    EXPECT_FALSE(expectCorrupt(bytes("hello"), "text"));
    EXPECT_FALSE(expectCorrupt(bytes("bplist00"), "magic only"));
    EXPECT_FALSE(expectCorrupt(bytes("<plist><dict><key>a</key></plist>"), "bad xml"));
    EXPECT_FALSE(expectCorrupt(bytes("<plist version=\"1.0\"><integer>12"), "unterminated"));

    Value v = everyType();
    for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        auto data = *PropertyListSerialization::dataWithPropertyList(v, format);
        // Every truncation: never a crash; binary truncations are all errors.
        for (std::size_t n = 0; n < data.size(); ++n) {
            Data cut(data.begin(), data.begin() + static_cast<long>(n));
            bool ok = expectCorrupt(cut, "truncated at " + std::to_string(n));
            if (format == PropertyListFormat::Binary) {
                EXPECT_FALSE(ok) << n;
            }
        }
        // Random corruption: never a crash.
        std::mt19937 rng(42);
        for (int round = 0; round < 2000; ++round) {
            Data bad = data;
            int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips; ++i) {
                std::size_t at = rng() % bad.size();
                if (format == PropertyListFormat::Binary && at < 8) at = 8 + at;
                bad[at] = static_cast<std::uint8_t>(rng());
            }
            expectCorrupt(bad, "corrupted");
        }
    }
    // Pure random bytes after a binary header.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        Data bad = bytes("bplist00");
        std::size_t n = rng() % 80;
        for (std::size_t i = 0; i < n; ++i) bad.push_back(static_cast<std::uint8_t>(rng()));
        expectCorrupt(bad, "random");
    }
}

TEST(PropertyList, DeepNestingIsAnErrorNotACrash) {
    std::string xml = "<plist version=\"1.0\">";
    for (int i = 0; i < 5000; ++i) xml += "<array>";
    for (int i = 0; i < 5000; ++i) xml += "</array>";
    xml += "</plist>";
    NSError error;
    auto v = PropertyListSerialization::propertyListWithData(bytes(xml), &error);
    if (!v) {
        EXPECT_EQ(error.code, 3840);
    }

    Value deep(Array{});
    for (int i = 0; i < 1000; ++i) deep = Value(Array{deep});
    EXPECT_FALSE(
        PropertyListSerialization::dataWithPropertyList(deep, PropertyListFormat::Binary, &error));
}
