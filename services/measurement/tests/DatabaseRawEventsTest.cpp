#include <gtest/gtest.h>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

class DatabaseRawEventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
        ASSERT_TRUE(database);
        metadata = APMPBMeasurementBundle::make();
        APMPBSetString(metadata.get(), 14, Value("1:2:mac:3"));
        fingerprint = APMDatabase::metadataFingerprint(*metadata);
    }
    APMEvent event(const std::string& name, double time, APMRawParameters parameters = {}) {
        return *APMEvent::initWithOrigin("app", false, name, time, 0, parameters);
    }
    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
    std::shared_ptr<APMPBMeasurementBundle> metadata;
    int64_t fingerprint = 0;
};

TEST_F(DatabaseRawEventsTest, MetadataIsStoredOnce) {
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata));
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata));
    EXPECT_EQ(database->store().rowCount("raw_events_metadata"), 1);
    auto back = database->queryRawEventsMetadataWithFingerprint(fingerprint);
    ASSERT_TRUE(back);
    EXPECT_EQ(APMPBGetString(back.get(), 14), "1:2:mac:3");
    // No raw event refers to it: unused.
    EXPECT_TRUE(database->deleteUnusedRawEventsMetadata());
    EXPECT_EQ(database->store().rowCount("raw_events_metadata"), 0);
}

TEST_F(DatabaseRawEventsTest, EventsRoundTripOldestFirst) {
    EXPECT_EQ(database->isRawEventsTableEmpty(), true);
    EXPECT_EQ(database->nextMetadataFingerprintToProcess(), std::nullopt);
    ASSERT_TRUE(database->insertRawEvent(
        event("level_up", 100.5, {{"s", Value("\xF0\x9F\x98\x80")}, {"n", Value(2)}}), fingerprint,
        false));
    ASSERT_TRUE(database->insertRawEvent(event("_e", 200, {{"d", Value(1.5)}}), fingerprint, true));
    ASSERT_TRUE(database->insertRawEvent(event("other", 150), fingerprint + 1, false));
    EXPECT_EQ(database->isRawEventsTableEmpty(), false);
    EXPECT_EQ(database->queryLatestRawEventTime(), 200.0);
    EXPECT_EQ(database->containsRealtimeRawEvents(), true);
    EXPECT_EQ(database->containsRawEventWithMetadataFingerprint(fingerprint + 1), true);
    EXPECT_EQ(database->nextMetadataFingerprintToProcess(), fingerprint);

    auto events = database->rawEventsWithMetadataFingerprint(
        fingerprint, nullptr, [](size_t, const Dictionary&) { return true; });
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 2u);
    const APMEvent& first = (*events)[0].rawEvent();
    EXPECT_EQ(first.name(), "level_up");
    EXPECT_EQ(first.origin(), "app");
    EXPECT_EQ(first.timestamp(), 100.5);
    EXPECT_EQ(first.parameters().at("s").stringValue(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(first.parameters().at("n").int64Value(), 2);
    EXPECT_EQ((*events)[1].rawEvent().parameters().at("d").doubleValue(), 1.5);

    ASSERT_TRUE(database->deleteRawEventsWithMaxRowID((*events)[0].rowID()));
    EXPECT_EQ(database->store().rowCount("raw_events"), 2);
}

TEST_F(DatabaseRawEventsTest, MetadataTableHoldsAtMostOneHundredThousandRows) {
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata));
    // The rest of the table filled in one statement; fingerprints from 1.
    ASSERT_TRUE(database->store().executeSQL(
        "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 99999) "
        "INSERT INTO raw_events_metadata SELECT x, X'01' FROM n"));
    ASSERT_EQ(database->store().rowCount("raw_events_metadata"), 100000);
    auto other = APMPBMeasurementBundle::make();
    APMPBSetString(other.get(), 14, Value("1:2:mac:4"));
    NSError error;
    EXPECT_FALSE(database->insertIfNotExistsRawEventMetadata(*other, &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata));  // already there
    ASSERT_TRUE(database->store().executeSQL("DELETE FROM raw_events_metadata WHERE rowid = 2"));
    EXPECT_TRUE(database->insertIfNotExistsRawEventMetadata(*other));
}

TEST_F(DatabaseRawEventsTest, ItemArraysComeBackAsDictionaries) {
    const Value items(Array{Value(Dictionary{{"item_id", "\xF0\x9F\x98\x80"}, {"price", 1.5}}),
                            Value(Dictionary{{"quantity", 2LL}})});
    ASSERT_TRUE(database->insertRawEvent(event("purchase", 10, {{"items", items}, {"n", Value(1)}}),
                                         fingerprint, false));
    auto events = database->rawEventsWithMetadataFingerprint(
        fingerprint, nullptr, [](size_t, const Dictionary&) { return true; });
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 1u);
    const auto& parameters = (*events)[0].rawEvent().parameters();
    ASSERT_TRUE(parameters.count("items"));
    EXPECT_EQ(parameters.at("items").object(), items);
    EXPECT_EQ(parameters.at("n"), APMValue::initWithInt64(1));

    // A parameter with neither a value nor nested ones makes the row unreadable.
    auto broken = event("_e", 11).protoEvent();
    auto empty = APMPBEventParam::make();
    APMPBSetString(empty.get(), 0, Value("x"));
    auto params = *APMPBGetArray(broken.get(), 0, APMPBEventParam::classObject());
    params.emplace_back(empty);
    APMPBSetArray(broken.get(), 0, params);
    NSError error;
    EXPECT_FALSE(database->rawEventDataFromDictionary(Dictionary{{"rowid", 1},
                                                                 {"metadata_fingerprint", 1},
                                                                 {"name", "_e"},
                                                                 {"timestamp", 11.0},
                                                                 {"data", *broken->protoBuffer()}},
                                                      &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to parse event params from data");
}

TEST_F(DatabaseRawEventsTest, LimitsAndStaleEvents) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(database->insertRawEvent(event("_e", 1000 + i), fingerprint, false));
    }
    EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(5), 6);
    EXPECT_EQ(database->store().numberForQuery("SELECT MIN(timestamp) FROM raw_events", {}),
              Value(1006.0));

    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata));
    ASSERT_TRUE(database->insertRawEvent(event("_e", 5000), fingerprint, false));  // future
    NSError error;
    EXPECT_FALSE(database->deleteStaleRawEventsDataOlderThanMaxAge(-1, 1010, &error));
    EXPECT_EQ(error.code, 1);
    ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(2, 1010));
    EXPECT_EQ(database->store().rowCount("raw_events"), 2);           // 1008 and 1009
    EXPECT_EQ(database->store().rowCount("raw_events_metadata"), 1);  // still in use
}

}  // namespace
