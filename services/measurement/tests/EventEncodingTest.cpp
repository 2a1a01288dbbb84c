#include <gtest/gtest.h>

#include <limits>

#include "services/measurement/APMEvent.h"

namespace {

// The direct encoding must give exactly the bytes of the message objects.
TEST(EventEncodingTest, DirectBytesEqualTheMessageBytes) {
    const std::string astral = "\xF0\x9F\x98\x80";
    const Value items(Array{
        Value(Dictionary{{"item_id", astral}, {"price", 1.5}, {"quantity", 2}}),
        Value(Dictionary{{"item_name", ""}, {"nested", Value(Array{Value(Dictionary{})})}}),
        Value(Dictionary{}),
        Value(7),
    });
    struct Case {
        const char* name;
        bool isPublic;
        double timestamp, previous;
        APMRawParameters parameters;
    } cases[] = {
        {"_e", false, 1700000000.123, 0, {}},
        {"level_up",
         true,
         1700000000.9999,
         1699999999.5,
         {{"s", Value(astral + " text")},
          {"empty", Value("")},
          {"i", Value(-9007199254740993LL)},
          {"max", Value(std::numeric_limits<long long>::max())},
          {"d", Value(-0.125)},
          {"z", Value(0.0)}}},
        {"purchase",
         true,
         5,
         0,
         {{"items", items}, {"value", Value(9.99)}, {"currency", Value("EUR")}}},
        {"purchase", true, 5, 0, {{"items", Value(Array{})}}},
        {"_vs", false, 0.001, 0.0005, {{"_si", Value(-3)}, {"_sn", Value(astral)}}},
    };
    for (const auto& c : cases) {
        auto event = APMEvent::initWithOrigin("app", c.isPublic, c.name, c.timestamp, c.previous,
                                              c.parameters);
        ASSERT_TRUE(event) << c.name;
        auto proto = event->protoEvent();
        EXPECT_EQ(event->encodedProtoEvent(true), proto->protoBuffer()) << c.name;
        APMPBClearField(proto.get(), 1);
        EXPECT_EQ(event->encodedProtoEvent(false), proto->protoBuffer()) << c.name;
    }
}

}  // namespace
