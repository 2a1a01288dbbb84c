#include <gtest/gtest.h>

#include <filesystem>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/ZVUSQLite.h"

namespace {

namespace fs = std::filesystem;

class DatabaseSchemaTest : public ::testing::Test {
  protected:
    // Builds an older file by hand before the database opens it.
    void prepareOldFile(const std::string& sql) {
        fs::create_directories(fs::path(path).parent_path());
        ZVUSQLiteDatabase db;
        ASSERT_TRUE(db.open(path));
        ASSERT_TRUE(db.exec(sql)) << db.lastError();
    }
    std::unique_ptr<APMDatabase> open(NSError* error = nullptr) {
        return APMDatabase::initWithDatabaseName("test.sql", nullptr, error);
    }
    MeasurementTempHome home;
    std::string path = APMMeasurementDirectoryPath("test.sql");
};

TEST_F(DatabaseSchemaTest, FreshFileHasEveryTableAndOneMetadataRow) {
    auto database = open();
    ASSERT_TRUE(database);
    for (const char* table :
         {"app_metadata", "raw_events_metadata", "raw_events", "events", "user_attributes", "queue",
          "event_filters", "property_filters", "audience_filter_values", "purchase_transactions",
          "subscriptions", "conditional_properties", "main_event_params"}) {
        EXPECT_EQ(database->store().tableExists(table), true) << table;
    }
    EXPECT_EQ(
        database->store().columnsForTable("queue"),
        (std::vector<std::string>{"data", "bundle_end_timestamp", "is_realtime", "retry_count"}));
    EXPECT_EQ(database->store().columnInfoForTable("raw_events")->at("timestamp"), "REAL");
    auto metadata = database->queryAppMetadata();
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->lastBundleIndex(), 0);
    EXPECT_EQ(database->store().rowCount("app_metadata"), 1);

    NSError error;
    EXPECT_FALSE(APMDatabase::initWithDatabaseName("", nullptr, &error));
    EXPECT_EQ(error.code, 1);
}

TEST_F(DatabaseSchemaTest, OlderShapesAreBroughtUpToDateKeepingRows) {
    prepareOldFile(
        "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
        "metadata_fingerprint INTEGER NOT NULL, legacy TEXT, data BLOB NOT NULL);"
        "INSERT INTO raw_events VALUES ('_e', 1700000000, 7, 'x', X'0102');"
        "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
        "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL);"
        "INSERT INTO events VALUES ('_e', 3, 1, 1.5);"
        "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
        "last_bundle_end_timestamp REAL NOT NULL);"
        "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) "
        "VALUES (1, 9, 2.5);");
    auto database = open();
    ASSERT_TRUE(database);
    auto& store = database->store();
    EXPECT_EQ(store.columnInfoForTable("raw_events")->at("timestamp"), "REAL");
    auto raw = store.recordsForQuery(
        "SELECT name, timestamp, metadata_fingerprint, data, "
        "is_realtime FROM raw_events",
        {});
    ASSERT_EQ(raw->size(), 1u);
    EXPECT_EQ((*raw)[0]["metadata_fingerprint"], Value(7LL));
    EXPECT_EQ((*raw)[0]["data"], Value(Data{1, 2}));
    EXPECT_EQ((*raw)[0]["is_realtime"], Value());
    auto events = store.recordsForQuery("SELECT * FROM events", {});
    ASSERT_EQ(events->size(), 1u);
    EXPECT_EQ((*events)[0]["lifetime_count"], Value(3LL));
    EXPECT_EQ((*events)[0]["current_session_count"], Value());
    // The existing metadata row stays as it was.
    EXPECT_EQ(database->queryAppMetadata()->lastBundleIndex(), 9);

    database.reset();
    database = open();
    EXPECT_EQ(database->store().rowCount("raw_events"), 1);
}

TEST_F(DatabaseSchemaTest, UnusableTablesDeleteTheFile) {
    prepareOldFile(
        "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
        "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, "
        "strict INTEGER NOT NULL)");
    EXPECT_FALSE(open());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(open());  // the next start begins empty
}

TEST_F(DatabaseSchemaTest, ResetLeavesAnEmptyDatabase) {
    auto database = open();
    ASSERT_TRUE(
        database->store().upsertRecord(Dictionary{{"fingerprint", "f"}}, "purchase_transactions"));
    ASSERT_TRUE(database->reset());
    EXPECT_EQ(database->store().rowCount("purchase_transactions"), 0);
    EXPECT_EQ(database->store().rowCount("app_metadata"), 1);

    EXPECT_TRUE(database->upsertDataType(Dictionary{{"subscription_id", "a"}}, "subscriptions",
                                         "subscription_id", Value("a"), 1));
    EXPECT_TRUE(database->upsertDataType(Dictionary{{"subscription_id", "a"}}, "subscriptions",
                                         "subscription_id", Value("a"), 1));
    NSError error;
    EXPECT_FALSE(database->upsertDataType(Dictionary{{"subscription_id", "b"}}, "subscriptions",
                                          "subscription_id", Value("b"), 1, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
}

}  // namespace
