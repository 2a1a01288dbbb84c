#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

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

TEST_F(DatabaseSchemaTest, EveryOlderShapeGainsItsAddedColumns) {
    struct Case {
        const char* table;
        const char* sql;
        std::vector<std::string> columns;
        std::function<void(APMDatabase&)> read;
    } cases[] = {
        {"queue",
         "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
         "INSERT INTO queue VALUES (X'01', 7.5)",
         {"data", "bundle_end_timestamp", "is_realtime", "retry_count"},
         [](APMDatabase& db) {
             EXPECT_EQ(db.containsRealtimeBundles(), false);
             EXPECT_EQ(db.queryLatestBundleTime(), 7.5);
         }},
        {"user_attributes",
         "CREATE TABLE user_attributes (name TEXT NOT NULL PRIMARY KEY, set_timestamp REAL NOT "
         "NULL, value BLOB NOT NULL);"
         "INSERT INTO user_attributes VALUES ('level', 2.5, 3)",
         {"name", "set_timestamp", "value", "origin"},
         [](APMDatabase& db) {
             EXPECT_EQ(db.containsUserAttributeWithName("level"), true);
             EXPECT_EQ(db.userAttributeCountForOrigin("app"), 0);
         }},
        {"event_filters",
         "CREATE TABLE event_filters (audience_id INTEGER NOT NULL, filter_id INTEGER NOT NULL, "
         "event_name TEXT NOT NULL, data BLOB NOT NULL, PRIMARY KEY (audience_id, filter_id));"
         "INSERT INTO event_filters VALUES (4, 1, '\xF0\x9F\x98\x80', X'0801')",
         {"audience_id", "filter_id", "event_name", "data", "session_scoped"},
         [](APMDatabase& db) {
             EXPECT_EQ(db.eventFiltersForEventName("\xF0\x9F\x98\x80")->size(), 1u);
             EXPECT_TRUE(db.allSessionScopedFilters()->empty());
         }},
        {"property_filters",
         "CREATE TABLE property_filters (audience_id INTEGER NOT NULL, filter_id INTEGER NOT "
         "NULL, property_name TEXT NOT NULL, data BLOB NOT NULL, PRIMARY KEY (audience_id, "
         "filter_id));"
         "INSERT INTO property_filters VALUES (5, 1, 'level', X'0801')",
         {"audience_id", "filter_id", "property_name", "data", "session_scoped"},
         [](APMDatabase& db) { EXPECT_EQ(db.allAudienceIDs(), std::vector<int32_t>{5}); }},
        {"events",
         "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
         "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL);"
         "INSERT INTO events VALUES ('_e', 3, 1, 1.5)",
         {"name", "lifetime_count", "current_bundle_count", "last_fire_timestamp",
          "last_bundled_timestamp", "last_sampled_complex_event_id", "last_sampling_rate",
          "last_exempt_from_sampling", "last_bundled_day", "current_session_count"},
         [](APMDatabase& db) {
             auto aggregates = db.eventAggregatesWithName("_e");
             ASSERT_TRUE(aggregates);
             EXPECT_EQ(aggregates->lastSamplingRate(), 1);
             EXPECT_EQ(aggregates->currentSessionCount(), 0);
             EXPECT_EQ(aggregates->lastSampledComplexEventID(), std::nullopt);
         }},
        {"app_metadata",
         "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
         "last_bundle_end_timestamp REAL NOT NULL);"
         "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) "
         "VALUES (1, 9, 2.5)",
         {"last_bundle_index", "last_bundle_end_timestamp", "last_bundle_start_timestamp", "day",
          "daily_conversions_count", "daily_events_count", "daily_public_events_count",
          "daily_error_events_count", "remote_config_data", "remote_config_timestamp",
          "daily_real_time_conversion_events_count"},
         [](APMDatabase& db) {
             EXPECT_EQ(db.queryAppMetadata()->lastBundleIndex(), 9);
             EXPECT_EQ(db.dailyCounts(20000)->day(), 20000);
             EXPECT_EQ(db.queryMeasurementConfig(), nullptr);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        std::filesystem::remove(path);
        prepareOldFile(c.sql);
        auto database = open();
        ASSERT_TRUE(database);
        // Added columns come in no particular order.
        auto columns = *database->store().columnsForTable(c.table);
        EXPECT_EQ(std::set<std::string>(columns.begin(), columns.end()),
                  std::set<std::string>(c.columns.begin(), c.columns.end()));
        EXPECT_EQ(database->store().rowCount(c.table), 1);
        c.read(*database);
    }
}

TEST_F(DatabaseSchemaTest, UnusableTablesAreSetAsideAndTheDatabaseMadeAnew) {
    prepareOldFile(
        "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
        "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, "
        "strict INTEGER NOT NULL)");
    NSError error;
    auto database = open(&error);
    ASSERT_TRUE(database);
    EXPECT_EQ(error.localizedDescription(), "Table contains unknown non-optional columns");
    EXPECT_EQ(database->store().columnsForTable("events")->size(), 10u);
    ZVUSQLiteDatabase aside;
    ASSERT_TRUE(aside.open(path + ".damaged", ZVUSQLiteDatabase::OpenMode::ReadOnly));
    const auto columns = aside.columnNames("events");
    EXPECT_NE(std::find(columns.begin(), columns.end(), "strict"), columns.end());
}

// Another connection reading while the store migrates: the migration waits,
// fails as busy, and the file with its rows stays for the next start.
TEST_F(DatabaseSchemaTest, MigrationBlockedByAReaderKeepsTheFile) {
    prepareOldFile(
        "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
        "INSERT INTO queue VALUES (X'01', 1), (X'02', 2), (X'03', 3), (X'04', 4), (X'05', 5);");
    ZVUSQLiteDatabase reader;
    ASSERT_TRUE(reader.open(path));
    ASSERT_TRUE(reader.exec("BEGIN"));
    auto reading = reader.prepare("SELECT data FROM queue");
    ASSERT_EQ(reading.step(), ZVUSQLiteStatement::StepResult::Row);

    NSError error;
    EXPECT_FALSE(APMDatabase::initWithDatabaseName("test.sql", nullptr, &error, 20));
    EXPECT_NE(error.localizedDescription().find("locked"), std::string::npos)
        << error.localizedDescription();
    EXPECT_FALSE(fs::exists(path + ".damaged"));

    reading = ZVUSQLiteStatement();
    ASSERT_TRUE(reader.exec("COMMIT"));
    auto database = APMDatabase::initWithDatabaseName("test.sql", nullptr, &error, 20);
    ASSERT_TRUE(database);
    EXPECT_EQ(database->store().rowCount("queue"), 5);
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
