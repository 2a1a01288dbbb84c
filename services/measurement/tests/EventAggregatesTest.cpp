#include <gtest/gtest.h>

#include <climits>

#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMMeasurement.h"

namespace {

long long lastCode() {
    auto lines = APMMeasurement::monitor().lines();
    return lines.empty() ? 0 : lines.back().messageCode;
}

TEST(EventAggregatesTest, RefusesNegativeCountsAndBadNames) {
    struct Case {
        std::string name;
        int32_t lifetime, bundle, session;
        bool created;
    } cases[] = {{"_e", 0, 0, 0, true},   {"_e", -1, 0, 0, false},      {"_e", 0, -1, 0, false},
                 {"_e", 0, 0, -1, false}, {"bad name", 1, 1, 1, false}, {"", 1, 1, 1, false}};
    for (const auto& c : cases) {
        auto aggregates =
            APMEventAggregates::initWithName(c.name, c.lifetime, c.bundle, c.session, 1.0);
        EXPECT_EQ(aggregates.has_value(), c.created) << c.name << c.lifetime << c.bundle;
    }
    auto fresh = *APMEventAggregates::initWithName("_e", 0, 0, 0, 1.0);
    EXPECT_EQ(fresh.lastSamplingRate(), 1);
    EXPECT_EQ(fresh.lastSampledComplexEventID(), std::nullopt);
}

TEST(EventAggregatesTest, CountsWrapAtTheLargestValue) {
    auto aggregates =
        *APMEventAggregates::initWithName("_e", INT32_MAX - 1, INT32_MAX, INT32_MAX, 1.0);
    aggregates.incrementLifetimeCount();
    EXPECT_EQ(aggregates.lifetimeCount(), INT32_MAX);
    aggregates.incrementLifetimeCount();
    EXPECT_EQ(aggregates.lifetimeCount(), 0);
    EXPECT_EQ(lastCode(), 17001);
    aggregates.incrementCurrentBundleCount();
    EXPECT_EQ(aggregates.currentBundleCount(), 0);
    EXPECT_EQ(lastCode(), 17002);
    aggregates.incrementCurrentSessionCount();
    EXPECT_EQ(aggregates.currentSessionCount(), 0);
    EXPECT_EQ(lastCode(), 17003);
}

TEST(EventAggregatesTest, RawEventData) {
    auto event = APMEvent::initWithOrigin("app", false, "_e", 1, 0, {});
    auto data = APMRawEventData::initWithRawEvent(event, 0, 42);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->metadataFingerprint(), 42);
    EXPECT_FALSE(APMRawEventData::initWithRawEvent(event, -1, 42));
    EXPECT_EQ(lastCode(), 28001);
    EXPECT_FALSE(APMRawEventData::initWithRawEvent(std::nullopt, 1, 42));
    EXPECT_EQ(lastCode(), 28000);
}

}  // namespace
