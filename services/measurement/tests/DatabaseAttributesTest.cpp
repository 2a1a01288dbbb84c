#include <gtest/gtest.h>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

class DatabaseAttributesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
        ASSERT_TRUE(database);
    }
    APMUserAttribute attribute(const std::string& name, const APMValue& value, double time = 1,
                               const std::string& origin = "app") {
        return *APMUserAttribute::initWithOrigin(origin, name, value, time);
    }
    static APMValue text(const std::string& s) { return APMValue(APMValueTypeString, Value(s)); }
    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

TEST_F(DatabaseAttributesTest, AggregatesRoundTripWithDefaults) {
    auto aggregates = *APMEventAggregates::initWithName("_e", 3, 2, 1, 10.5);
    aggregates.setLastSampledComplexEventID(77);
    ASSERT_TRUE(database->updateEventAggregates(aggregates));
    ASSERT_TRUE(
        database->updateEventAggregates(*APMEventAggregates::initWithName("pub", 1, 1, 1, 2)));
    auto back = database->eventAggregatesWithName("_e");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->lifetimeCount(), 3);
    EXPECT_EQ(back->lastSampledComplexEventID(), 77);
    EXPECT_EQ(database->eventAggregatesWithName("pub")->lastSampledComplexEventID(), std::nullopt);
    EXPECT_EQ(database->publicEventCount(), 1);
    ASSERT_TRUE(database->clearCurrentSessionCounts());
    const auto all = database->allEventAggregates();
    ASSERT_TRUE(all);
    for (const auto& a : *all) EXPECT_EQ(a.currentSessionCount(), 0);
}

TEST_F(DatabaseAttributesTest, UserAttributesKeepTheirValueTypes) {
    ASSERT_TRUE(database->updateUserAttribute(attribute("level", APMValue::initWithInt64(5))));
    ASSERT_TRUE(database->updateUserAttribute(attribute("ratio", APMValue::initWithDouble(0.5))));
    ASSERT_TRUE(database->updateUserAttribute(attribute("name", text("\xF0\x9F\x98\x80"))));
    ASSERT_TRUE(
        database->updateUserAttribute(attribute("_fot", APMValue::initWithInt64(1), 1, "auto")));
    ASSERT_TRUE(database->updateUserAttribute(attribute("user_id", text("u"))));
    EXPECT_EQ(database->userAttributeWithName("level")->value(), APMValue::initWithInt64(5));
    EXPECT_EQ(database->userAttributeWithName("ratio")->value(), APMValue::initWithDouble(0.5));
    EXPECT_EQ(database->userAttributeWithName("name")->value(), text("\xF0\x9F\x98\x80"));
    EXPECT_EQ(database->publicUserAttributeCount(), 4);
    EXPECT_EQ(database->userAttributeCountForOrigin("auto"), 1);
    EXPECT_EQ(database->containsUserAttributeWithName("_fot"), true);
    EXPECT_EQ(database->userAttributesIncludingInternal(false)->size(), 3u);
    EXPECT_EQ(database->userAttributesIncludingInternal(true)->size(), 5u);
    ASSERT_TRUE(database->deleteUserAttributeWithName("level"));
    EXPECT_EQ(database->containsUserAttributeWithName("level"), false);
}

TEST_F(DatabaseAttributesTest, LifetimeValuePrefixMatchesLiterally) {
    ASSERT_TRUE(database->updateUserAttribute(
        attribute("_ltv_USD", APMValue::initWithInt64(5), 2, "auto")));
    ASSERT_TRUE(database->updateUserAttribute(
        attribute("_ltv_EUR", APMValue::initWithInt64(6), 3, "auto")));
    // Would match if the underscores were wildcards.
    ASSERT_TRUE(database->updateUserAttribute(attribute("xltvxUSD", APMValue::initWithInt64(7))));
    ASSERT_TRUE(database->updateUserAttribute(
        attribute("_ltvaGBP", APMValue::initWithInt64(8), 4, "auto")));
    auto all = database->allLifetimeValueUserAttributes();
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 2u);
    EXPECT_EQ((*all)[0].name(), "_ltv_EUR");  // newest first
    EXPECT_EQ((*all)[1].name(), "_ltv_USD");
}

TEST_F(DatabaseAttributesTest, LimitsAndRefusals) {
    NSError error;
    EXPECT_FALSE(database->userAttributeCountForOrigin("", &error));
    EXPECT_EQ(error.code, 1);
    ASSERT_TRUE(database->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!database->updateUserAttribute(
                    attribute("a" + std::to_string(i), APMValue::initWithInt64(i)))) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_FALSE(
        database->updateUserAttribute(attribute("one_more", APMValue::initWithInt64(1)), &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database->updateUserAttribute(attribute("a1", APMValue::initWithInt64(9))));
}

}  // namespace
