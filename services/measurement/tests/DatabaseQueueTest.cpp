#include <gtest/gtest.h>

#include <climits>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

class DatabaseQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
        ASSERT_TRUE(database);
    }
    std::shared_ptr<APMPBMeasurementBundle> bundle(int64_t endMilliseconds, size_t padding = 0) {
        auto b = APMPBMeasurementBundle::make();
        APMPBSetString(b.get(), 14, Value("1:2:mac:3" + std::string(padding, 'x')));
        APMPBSetInt64(b.get(), 5, endMilliseconds);
        return b;
    }
    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

TEST_F(DatabaseQueueTest, BundlesRoundTripOldestFirstWithinSize) {
    EXPECT_EQ(database->isQueuedBundleTableEmpty(), true);
    ASSERT_TRUE(database->insertBundle(*bundle(3000, 500), false, 3, 100, 3600));
    ASSERT_TRUE(database->insertBundle(*bundle(1000, 500), true, 3, 100, 3600));
    ASSERT_TRUE(database->insertBundle(*bundle(2000), false, 3, 100, 3600));
    EXPECT_EQ(database->queryLatestBundleTime(), 3.0);
    EXPECT_EQ(database->containsRealtimeBundles(), true);

    // The first is taken even when it alone is over the limit.
    auto one = database->queryBundles(10, 10);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(APMPBGetInt64(one->front().first.get(), 5), 1000);
    auto two = database->queryBundles(10, 600);
    ASSERT_EQ(two->size(), 2u);
    EXPECT_EQ(APMPBGetInt64((*two)[1].first.get(), 5), 2000);
    EXPECT_EQ(database->queryBundles(10, 10000)->size(), 3u);

    ASSERT_TRUE(database->deleteBundlesWithRowIDs(Array{Value(one->front().second)}));
    EXPECT_EQ(database->queryBundles(10, 10000)->size(), 2u);
}

TEST_F(DatabaseQueueTest, RefusesBadBundlesAndWarnsForOldOnes) {
    struct Case {
        std::shared_ptr<APMPBMeasurementBundle> bundle;
        std::string message;
    } cases[] = {{APMPBMeasurementBundle::make(), "Failed to insert nil bundle"},
                 {bundle(0), "Failed to insert bundle without valid timestamp"},
                 {bundle(-5), "Failed to insert bundle without valid timestamp"}};
    for (const auto& c : cases) {
        NSError error;
        EXPECT_FALSE(database->insertBundle(*c.bundle, false, 0, 100, 3600, &error));
        EXPECT_EQ(error.localizedDescription(), c.message);
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_TRUE(database->insertBundle(*bundle(1000), false, 1000, 100, 3600));
    bool warned = false;
    for (const auto& line : APMMeasurement::monitor().lines()) warned |= line.messageCode == 12016;
    EXPECT_TRUE(warned);
}

TEST_F(DatabaseQueueTest, RetryCounterStopsAtTheLimit) {
    ASSERT_TRUE(database->insertBundle(*bundle(1000), false, 1, 100, 3600));
    ASSERT_TRUE(database->insertBundle(*bundle(2000), false, 1, 100, 3600));
    auto rows = *database->queryBundles(10, 100000);
    const Array ids{Value(rows[0].second), Value(rows[1].second)};
    ASSERT_TRUE(database->store().executeSQL("UPDATE queue SET retry_count = 2147483646"));
    ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs(ids));
    ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs(ids));
    auto back = *database->queryBundlesWithRowIDs(ids);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(APMPBGetInt32(back[0].first.get(), 35), INT32_MAX);

    ASSERT_TRUE(database->store().executeSQL("UPDATE queue SET retry_count = NULL"));
    ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs(ids));
    EXPECT_EQ(database->store().numberForQuery(
                  "SELECT count(1) FROM queue WHERE retry_count IS NULL", {}),
              Value(2LL));
    NSError error;
    EXPECT_FALSE(database->deleteBundlesWithRowIDs(Array{Value("x")}, &error));
    EXPECT_EQ(error.code, 3);
    ASSERT_TRUE(database->deleteStaleBundlesOlderThanMaxAge(0.5, 2.0));
    EXPECT_EQ(database->isQueuedBundleTableEmpty(), false);  // 2.0 stays, 1.0 goes
    EXPECT_EQ(database->queryLatestBundleTime(), 2.0);
}

TEST_F(DatabaseQueueTest, StaleDataIsCleanedWhenDue) {
    auto config = APMPersistedConfig::initWithSuiteName("com.test.stale", true);
    database = APMDatabase::initWithDatabaseName("stale.sql", config);
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->insertBundle(*bundle(1000), false, 1, 100, 3600));
    EXPECT_EQ(database->maybeDeleteStaleData(50000, 100, 3600), true);
    EXPECT_EQ(database->isQueuedBundleTableEmpty(), true);
    EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), 50000);
    ASSERT_TRUE(database->insertBundle(*bundle(1000), false, 50050, 100, 3600));
    EXPECT_EQ(database->maybeDeleteStaleData(50100, 100, 3600), false);  // not due
    EXPECT_EQ(database->isQueuedBundleTableEmpty(), false);
    // A clock set back by more than the interval cleans up too.
    EXPECT_EQ(database->maybeDeleteStaleData(1000, 100, 3600), true);
    config->cancelScheduledSynchronize();
}

TEST_F(DatabaseQueueTest, InsertingABundleCleansStaleDataFirst) {
    auto config = APMPersistedConfig::initWithSuiteName("com.test.insert", true);
    database = APMDatabase::initWithDatabaseName("insert.sql", config);
    ASSERT_TRUE(database);
    auto event = APMEvent::initWithOrigin("app", false, "_e", 1, 0, {});
    ASSERT_TRUE(database->insertRawEvent(*event, 7, false));
    ASSERT_TRUE(database->insertBundle(*bundle(1000), false, 1, 100, 3600));  // not due yet

    ASSERT_TRUE(database->insertBundle(*bundle(50000000), false, 50000, 100, 3600));
    EXPECT_EQ(database->queryBundles(10, 100000)->size(), 1u);  // only the new one
    EXPECT_EQ(database->isRawEventsTableEmpty(), true);
    EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), 50000);

    // A clean-up that fails fails the insert.
    ASSERT_TRUE(database->store().executeSQL("DROP TABLE raw_events"));
    NSError error;
    EXPECT_FALSE(database->insertBundle(*bundle(90000000), false, 90000, 100, 3600, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(database->queryBundles(10, 100000)->size(), 1u);
    config->cancelScheduledSynchronize();
}

}  // namespace
