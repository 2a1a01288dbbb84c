#include <gtest/gtest.h>

#include "services/measurement/APMDailyCounts.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

TEST(DailyCountsTest, NewDayResetsBeforeCounting) {
    APMDailyCounts counts(10, 1, 5, 3, 1, 2);
    counts.incrementCountsForCurrentDay(10, true, true, 2);
    EXPECT_EQ(counts.conversionsCount(), 2);
    EXPECT_EQ(counts.allEventsCount(), 7);
    EXPECT_EQ(counts.publicEventsCount(), 5);

    counts.incrementCountsForCurrentDay(11, false, true);
    EXPECT_EQ(counts.day(), 11);
    EXPECT_EQ(counts.conversionsCount(), 1);
    EXPECT_EQ(counts.allEventsCount(), 1);
    EXPECT_EQ(counts.publicEventsCount(), 0);
    EXPECT_EQ(counts.errorEventsCount(), 0);
    EXPECT_EQ(counts.realtimeCount(), 0);

    counts.incrementErrorEventsCountForCurrentDay(12);
    EXPECT_EQ(counts.allEventsCount(), 1);
    EXPECT_EQ(counts.errorEventsCount(), 1);
    counts.incrementRealtimeCountsForCurrentDay(13);
    EXPECT_EQ(counts.allEventsCount(), 0);
    EXPECT_EQ(counts.realtimeCount(), 1);
    counts.decrementAllEventsCount();
    EXPECT_EQ(counts.allEventsCount(), 0);

    EXPECT_EQ(APMDailyCounts::currentDay(86400.0 * 5 + 10, 20), 4);
    EXPECT_EQ(APMDailyCounts::currentDay(86400.0 * 5 + 30, 20), 5);
}

TEST(DailyCountsTest, StoredInTheMetadataRow) {
    MeasurementTempHome home;
    auto database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
    ASSERT_TRUE(database);
    auto fresh = database->dailyCounts(77);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->day(), 77);  // never stored: today
    EXPECT_EQ(fresh->allEventsCount(), 0);
    ASSERT_TRUE(database->updateDailyCounts(APMDailyCounts(78, 1, 2, 3, 4, 5)));
    auto back = database->dailyCounts(0);
    EXPECT_EQ(back->day(), 78);
    EXPECT_EQ(back->realtimeCount(), 5);
    EXPECT_EQ(back->errorEventsCount(), 4);
    EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 0);  // untouched
}

TEST(MetadataRowTest, AppMetadataAndMeasurementConfig) {
    MeasurementTempHome home;
    auto database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->updateAppMetadata(APMAppMetadata(4, 10.5, 20.5)));
    EXPECT_EQ(database->queryAppMetadata()->lastBundleStartTimestamp(), 10.5);
    EXPECT_EQ(database->queryMeasurementConfig(), nullptr);

    NSError error;
    auto config = APMPBMeasurementConfig::make();
    EXPECT_FALSE(database->updateRemoteConfig(*config, 5, &error));
    EXPECT_EQ(error.localizedDescription(), "Invalid measurement config data");
    APMPBSetString(config.get(), 1, Value("1:2:mac:3"));
    ASSERT_TRUE(database->updateRemoteConfig(*config, 100, &error));
    auto back = database->queryMeasurementConfig();
    ASSERT_TRUE(back);
    EXPECT_EQ(APMPBGetString(back.get(), 1), "1:2:mac:3");
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(), 100.0);
    ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(150));
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(), 150.0);

    ASSERT_TRUE(database->store().executeSQL("UPDATE app_metadata SET remote_config_data = X'FF'"));
    EXPECT_EQ(database->queryMeasurementConfig(&error), nullptr);
    EXPECT_EQ(error.localizedDescription(), "Remote config data is corrupted");
}

TEST(MetadataRowTest, PurchasesAreReportedOnce) {
    MeasurementTempHome home;
    auto database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("p1"), true);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("p1"), false);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint(""), false);
    EXPECT_EQ(database->insertIfNotDuplicateSubscriptionID("s1"), true);
    EXPECT_EQ(database->insertIfNotDuplicateSubscriptionID("s1"), false);
    EXPECT_TRUE(database->deleteSubscriptionsOverLimit());
    EXPECT_EQ(database->store().rowCount("subscriptions"), 1);
}

TEST(MetadataRowTest, OnlyTheNewestThousandKeysAreKept) {
    MeasurementTempHome home;
    auto database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i <= 1000; ++i) {
            const std::string key = "\xF0\x9F\x98\x80" + std::to_string(i);
            if (database->insertIfNotDuplicatePurchaseFingerprint(key) != true) return false;
            if (database->insertIfNotDuplicateSubscriptionID(key) != true) return false;
        }
        return true;
    }));
    // The 1001st fingerprint is stored and the oldest one is gone.
    EXPECT_EQ(database->store().rowCount("purchase_transactions"), 1000);
    EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("\xF0\x9F\x98\x80"
                                                                "1000"),
              false);
    EXPECT_EQ(database->store().rowCount("purchase_transactions", "fingerprint",
                                         Value("\xF0\x9F\x98\x80"
                                               "0")),
              0);
    // Subscriptions are cut only on request.
    EXPECT_EQ(database->store().rowCount("subscriptions"), 1001);
    ASSERT_TRUE(database->deleteSubscriptionsOverLimit());
    EXPECT_EQ(database->store().rowCount("subscriptions"), 1000);
    EXPECT_EQ(database->insertIfNotDuplicateSubscriptionID("\xF0\x9F\x98\x80"
                                                           "0"),
              true);
}

}  // namespace
