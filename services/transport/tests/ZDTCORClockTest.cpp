#include <gtest/gtest.h>

#include <cstring>

#include "platform/dispatch/Clock.h"
#include "platform/system/Sysctl.h"
#include "services/transport/ZDTCORClock.h"

namespace {

std::vector<std::uint8_t> bootTimeRecord(std::int64_t seconds, std::int32_t micros) {
    std::vector<std::uint8_t> bytes(16, 0);
    std::memcpy(bytes.data(), &seconds, 8);
    std::memcpy(bytes.data() + 8, &micros, 4);
    return bytes;
}

class ZDTCORClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::setSysctlOverride("kern.boottime", bootTimeRecord(1700000000, 250000));
    }
    void TearDown() override {
        sim::clearSysctlOverrides();
        sim::useRealClock();
    }
};

TEST_F(ZDTCORClockTest, SnapshotReadsBootTimeAndUptime) {
    auto clock = ZDTCORClock::snapshot();
    const std::int64_t boot = 1700000000LL * 1000000000LL + 250000000LL;
    EXPECT_EQ(clock->kernelBootTimeNanoseconds(), boot);
    EXPECT_EQ(clock->timeMillis(),
              static_cast<std::int64_t>(sim::kVirtualWallEpochUnixSeconds) * 1000);
    EXPECT_EQ(clock->uptimeNanoseconds(),
              static_cast<std::int64_t>(sim::kVirtualWallEpochUnixSeconds) * 1000000000LL - boot);

    sim::setSysctlOverride("kern.boottime", std::vector<std::uint8_t>{});
    auto unreadable = ZDTCORClock::snapshot();
    EXPECT_EQ(unreadable->kernelBootTimeNanoseconds(), 0);
    EXPECT_EQ(unreadable->uptimeNanoseconds(),
              static_cast<std::int64_t>(sim::kVirtualWallEpochUnixSeconds) * 1000000000LL);
}

TEST_F(ZDTCORClockTest, SnapshotInTheFutureIsReachedAfterItsWait) {
    auto now = ZDTCORClock::snapshot();
    auto future = ZDTCORClock::clockSnapshotInTheFuture(900000);
    EXPECT_EQ(future->timeMillis(), now->timeMillis() + 900000);
    EXPECT_EQ(future->kernelBootTimeNanoseconds(), now->kernelBootTimeNanoseconds());
    EXPECT_EQ(future->timezoneOffsetSeconds(), now->timezoneOffsetSeconds());
    sim::advanceClock(std::chrono::seconds(899));
    EXPECT_FALSE(ZDTCORClock::snapshot()->isAfter(*future));
    sim::advanceClock(std::chrono::seconds(2));
    EXPECT_TRUE(ZDTCORClock::snapshot()->isAfter(*future));
}

TEST_F(ZDTCORClockTest, ComparisonRules) {
    struct Case {
        ZDTCORClock a, b;
        bool aAfterB;
    };
    const Case cases[] = {
        // A later boot wins whatever the wall times.
        {{1000, 0, 200, 0}, {900000, 0, 100, 0}, true},
        {{900000, 0, 100, 0}, {1000, 0, 200, 0}, false},
        // Same boot: wall time decides.
        {{2000, 0, 100, 0}, {1000, 0, 100, 0}, true},
        {{1000, 0, 100, 0}, {1000, 0, 100, 0}, false},
        // The zone offset does not count: a 15-minute hold set in summer
        // time ends 15 minutes later in winter time, not 75.
        {{1000, 0, 100, 0}, {500, 1, 100, 0}, true},
        {{500, 1, 100, 0}, {1000, 0, 100, 0}, false},
        {{900001, 0, 100, 0}, {900000, 3600, 100, 0}, true},
        {{900000, 3600, 100, 0}, {900001, 0, 100, 0}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a.isAfter(c.b), c.aAfterB)
            << c.a.timeMillis() << "/" << c.a.timezoneOffsetSeconds() << " vs " << c.b.timeMillis()
            << "/" << c.b.timezoneOffsetSeconds();
    }
}

TEST_F(ZDTCORClockTest, DerivedValuesAndEquality) {
    ZDTCORClock clock(5, 6, 7, 1999999);
    EXPECT_EQ(clock.uptimeMilliseconds(), 1u);
    EXPECT_EQ(clock.kernelBootTime(), 7);
    EXPECT_EQ(clock.uptime(), 1999999);
    // Swapped values collide under the exclusive-or hash but are not equal.
    ZDTCORClock swapped(6, 5, 7, 1999999);
    EXPECT_EQ(clock.hash(), swapped.hash());
    EXPECT_FALSE(clock.isEqual(swapped));
    EXPECT_TRUE(clock.isEqual(ZDTCORClock(5, 6, 7, 1999999)));
}

TEST_F(ZDTCORClockTest, ArchiveRoundTrip) {
    ZDTCORClock::registerCoding();
    auto clock = std::make_shared<ZDTCORClock>(1704067200123, -18000, 42, 987654321);
    auto data = NSKeyedArchiver::archivedDataWithRootObject(clock, true);
    ASSERT_TRUE(data);
    auto decoded =
        NSKeyedUnarchiver::unarchivedObjectOfClass("ZDTCORClock", *data).as<ZDTCORClock>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*clock));
    EXPECT_EQ(decoded->timezoneOffsetSeconds(), -18000);
    EXPECT_EQ(decoded->uptimeNanoseconds(), 987654321);
}

}  // namespace
