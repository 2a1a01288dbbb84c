#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/measurement/APMEManager.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPBFlag.h"
#include "services/measurement/tests/TestRecords.h"

using namespace measurement_test;

namespace {

class MeasurementFlags : public ::testing::Test {
  protected:
    void SetUp() override { APMEManager::monitor().clearLines(); }
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
    EXPECT_TRUE(APMEManager::monitor().lines().empty());
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
        APMEManager::monitor().clearLines();
        EXPECT_FALSE(APMPBFlagFromNameAndValue(c.name, c.value));
        const auto lines = APMEManager::monitor().lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 1);
        EXPECT_EQ(lines[0].messageCode, c.code);
        EXPECT_EQ(lines[0].message, c.message);
        EXPECT_EQ(lines[0].contexts, c.contexts);
    }
    EXPECT_TRUE(lines_.has("ERROR 850000: Flag name must not be nil"));
    EXPECT_EQ(APMMonitor::levelName(1), std::string("ERROR"));
}

TEST(MeasurementServices, MonitorLevelsAndErrors) {
    Lines lines;
    APMMonitor monitor;
    monitor.setLogTag("tag");
    monitor.logWithLevel(4, 23050, "warned");
    monitor.logWithLevel(6, 1, "noted", Value(), Value(2), Value("c"));
    EXPECT_TRUE(lines.has("tag WARNING 23050: warned"));
    EXPECT_EQ(lines.all().back(), "tag NOTICE 1: noted, " + Value().description() + ", 2, c");
    EXPECT_EQ(monitor.lines()[1].contexts.size(), 3u);
    EXPECT_TRUE(monitor.lines()[1].contexts[0].isNull());
    for (int level : {7, 8}) EXPECT_STREQ(APMMonitor::levelName(level), "DEBUG");
    EXPECT_STREQ(APMMonitor::levelName(2), "ERROR");
    EXPECT_STREQ(APMMonitor::levelName(3), "WARNING");
    EXPECT_EQ(&APMMeasurement::monitor(), &APMMeasurement::monitor());
    EXPECT_NE(&APMMeasurement::monitor(), &APMEManager::monitor());

    const NSError full = apm_errorWithCode(3, "Database failed", "ctx");
    EXPECT_EQ(full.domain, "com.zevera.ruv.measurement.ErrorDomain");
    EXPECT_EQ(full.code, 3);
    EXPECT_EQ(full.localizedDescription(), "Database failed");
    EXPECT_EQ(full.userInfo["APMMonitorContext"], Value("ctx"));
    const NSError bare = apm_errorWithCode(1, "", "");
    EXPECT_TRUE(bare.userInfo.empty());
}
