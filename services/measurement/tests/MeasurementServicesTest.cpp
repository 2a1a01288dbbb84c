#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMPBFlag.h"
#include "services/measurement/tests/TestRecords.h"

using namespace measurement_test;

namespace {

class MeasurementFlags : public ::testing::Test {
  protected:
    void SetUp() override { APMMeasurement::monitor().clearLines(); }
    Lines lines_;
};

}  // namespace

TEST_F(MeasurementFlags, CreateStoresByKind) {
    struct Case {
        Value value;
        std::int32_t field;
        Value readBack;
    };
    const std::vector<Case> cases = {
        {Value(2.5), kAPMPBFlagDoubleValue, Value(2.5)},
        {Value(true), kAPMPBFlagIntValue, Value(1)},
        {Value(-7), kAPMPBFlagIntValue, Value(-7)},
        {Value("on"), kAPMPBFlagStringValue, Value("on")},
        {Value(""), kAPMPBFlagStringValue, Value("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.description());
        auto flag = APMPBFlagCreate(Value("f"), c.value);
        ASSERT_TRUE(flag);
        EXPECT_EQ(APMPBGetString(flag.get(), kAPMPBFlagName), std::optional<std::string>("f"));
        for (std::int32_t id = 1; id <= 4; ++id)
            EXPECT_EQ(APMPBHasField(flag.get(), id), id == c.field);
        EXPECT_EQ(APMPBFlagGetValue(flag.get()), c.readBack);
        EXPECT_EQ(APMPBFlagValue(flag.get()), c.readBack);
        // And through the wire.
        auto back = APMPBFlag::initWithBuffer(*flag->protoBuffer());
        ASSERT_TRUE(back);
        EXPECT_EQ(APMPBFlagGetValue(back.get()), c.readBack);
    }
    EXPECT_TRUE(APMMeasurement::monitor().lines().empty());
}

TEST_F(MeasurementFlags, ValueOrder) {
    auto flag = APMPBFlag::make();
    EXPECT_TRUE(APMPBFlagGetValue(flag.get()).isNull());
    EXPECT_TRUE(APMPBFlagGetValue(nullptr).isNull());
    APMPBSetBool(flag.get(), kAPMPBFlagBoolValue, true);
    EXPECT_EQ(APMPBFlagGetValue(flag.get()), Value(true));
    APMPBSetString(flag.get(), kAPMPBFlagStringValue, "s");
    EXPECT_EQ(APMPBFlagGetValue(flag.get()), Value("s"));
    APMPBSetDouble(flag.get(), kAPMPBFlagDoubleValue, 0.5);
    EXPECT_EQ(APMPBFlagGetValue(flag.get()), Value(0.5));
    APMPBSetInt64(flag.get(), kAPMPBFlagIntValue, 4);
    EXPECT_EQ(APMPBFlagGetValue(flag.get()), Value(4));
}

TEST_F(MeasurementFlags, CreateRefusals) {
    struct Case {
        Value name;
        Value value;
        long long code;
        std::string message;
        std::vector<Value> contexts;
    };
    const std::vector<Case> cases = {
        {Value(), Value(1), 850000, "Flag name must not be nil", {}},
        {Value(3), Value(1), 850001, "Flag name must be a string", {Value("NSNumber")}},
        {Value("f"), Value(Data{}), 850002, "Flag value is invalid", {Value("NSData")}},
        {Value("f"), Value(), 850002, "Flag value is invalid", {Value("NSNull")}},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        EXPECT_FALSE(APMPBFlagFromNameAndValue(c.name, c.value));
        const auto lines = APMMeasurement::monitor().lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 1);
        EXPECT_EQ(lines[0].messageCode, c.code);
        EXPECT_EQ(lines[0].message, c.message);
        EXPECT_EQ(lines[0].contexts, c.contexts);
    }
}
