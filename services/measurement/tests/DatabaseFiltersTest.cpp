#include <gtest/gtest.h>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

class DatabaseFiltersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database = APMDatabase::initWithDatabaseName("test.sql", nullptr);
        ASSERT_TRUE(database);
    }
    // An encoded filter message with its three switches.
    template <class Message>
    static Data filterData(int32_t sessionField, int32_t dynamicField, int32_t sequenceField,
                           bool session, bool dynamic, bool sequence) {
        auto message = Message::make();
        APMPBSetInt32(message.get(), 0, 1);
        APMPBSetBool(message.get(), sessionField, session);
        APMPBSetBool(message.get(), dynamicField, dynamic);
        APMPBSetBool(message.get(), sequenceField, sequence);
        return *message->protoBuffer();
    }
    static APMEventFilter eventFilter(int32_t audience, int32_t id, const std::string& name,
                                      bool session, bool dynamic = false, bool sequence = false) {
        return APMEventFilter(audience, id, name,
                              filterData<APMPBEventFilter>(7, 5, 6, session, dynamic, sequence),
                              session, dynamic, sequence);
    }
    static APMPropertyFilter propertyFilter(int32_t audience, int32_t id, const std::string& name,
                                            bool session, bool dynamic = false,
                                            bool sequence = false) {
        return APMPropertyFilter(
            audience, id, name,
            filterData<APMPBPropertyFilter>(5, 3, 4, session, dynamic, sequence), session, dynamic,
            sequence);
    }
    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

TEST_F(DatabaseFiltersTest, FiltersReadTheirSwitchesFromTheirData) {
    ASSERT_TRUE(database->updateEventFilters({eventFilter(1, 10, "purchase", true, false, true),
                                              eventFilter(1, 11, "purchase", false, true, false),
                                              eventFilter(2, 20, "\xF0\x9F\x98\x80", false)}));
    ASSERT_TRUE(database->updatePropertyFilters({propertyFilter(3, 30, "level", true, true, false),
                                                 propertyFilter(1, 12, "level", false)}));
    auto events = database->eventFiltersForEventName("purchase");
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 2u);
    struct Switches {
        bool session, dynamic, sequence;
    };
    const Switches expectedEvents[] = {{true, false, true}, {false, true, false}};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ((*events)[i].isSessionScoped(), expectedEvents[i].session) << i;
        EXPECT_EQ((*events)[i].isDynamic(), expectedEvents[i].dynamic) << i;
        EXPECT_EQ((*events)[i].isSequence(), expectedEvents[i].sequence) << i;
    }
    EXPECT_EQ(database->eventFiltersForEventName("\xF0\x9F\x98\x80")->size(), 1u);
    auto properties = database->propertyFiltersForPropertyName("level");
    ASSERT_EQ(properties->size(), 2u);
    EXPECT_TRUE((*properties)[0].isSessionScoped());
    EXPECT_TRUE((*properties)[0].isDynamic());
    EXPECT_FALSE((*properties)[0].isSequence());
    EXPECT_EQ((*properties)[0].data(), propertyFilter(3, 30, "level", true, true).data());

    EXPECT_EQ(database->allAudienceIDs(), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(database->allSessionScopedFilters(),
              (std::map<int32_t, std::vector<int32_t>>{{1, {10}}, {3, {30}}}));

    // Data that does not parse leaves every switch off.
    ASSERT_TRUE(
        database->store().executeSQL("UPDATE event_filters SET data = X'FF' WHERE filter_id = 10"));
    events = database->eventFiltersForEventName("purchase");
    EXPECT_FALSE((*events)[0].isSessionScoped());
    EXPECT_FALSE((*events)[0].isSequence());
    EXPECT_EQ((*events)[0].data(), Data{0xFF});

    ASSERT_TRUE(database->deleteEventFilters(
        {eventFilter(1, 10, "purchase", false), eventFilter(2, 20, "x", false)}));
    EXPECT_EQ(database->store().rowCount("event_filters"), 1);
    ASSERT_TRUE(database->deletePropertyFilters({propertyFilter(3, 30, "level", false)}));
    EXPECT_EQ(database->allAudienceIDs(), (std::vector<int32_t>{1}));
    ASSERT_TRUE(database->deleteAllEventFilters());
    ASSERT_TRUE(database->deleteAllPropertyFilters());
    EXPECT_TRUE(database->allAudienceIDs()->empty());
}

TEST_F(DatabaseFiltersTest, RefusesEmptyInput) {
    struct Case {
        std::function<bool(NSError*)> call;
        long long code;
        const char* message;
    } cases[] = {
        {[&](NSError* e) { return database->updateEventFilters({}, e); }, 1,
         "Received empty event filters to update"},
        {[&](NSError* e) { return database->updatePropertyFilters({}, e); }, 1,
         "Received empty property filters to update"},
        {[&](NSError* e) { return database->deleteEventFilters({}, e); }, 1,
         "Received empty event filters to delete"},
        {[&](NSError* e) { return database->deletePropertyFilters({}, e); }, 1,
         "Received empty property filters to delete"},
        {[&](NSError* e) { return database->updateFilterResults({}, e); }, 1,
         "Received empty filter results to update"},
        {[&](NSError* e) { return database->deleteFilterResults({}, e); }, 1,
         "Received empty filter results to delete"},
        {[&](NSError* e) {
             return database->updateEventFilters({APMEventFilter(1, 1, "", Data{1}, 0, 0, 0)}, e);
         },
         3, "Received event filter with empty event name for getting dictionary representation"},
        {[&](NSError* e) {
             return database->updateEventFilters({APMEventFilter(1, 1, "e", Data{}, 0, 0, 0)}, e);
         },
         3, "Received event filter with empty data for getting dictionary representation"},
        {[&](NSError* e) {
             return database->updatePropertyFilters({APMPropertyFilter(1, 1, "", Data{1}, 0, 0, 0)},
                                                    e);
         },
         3,
         "Received property filter with empty property name for getting dictionary "
         "representation"},
        {[&](NSError* e) {
             return database->updatePropertyFilters({APMPropertyFilter(1, 1, "p", Data{}, 0, 0, 0)},
                                                    e);
         },
         3, "Received property filter with empty data for getting dictionary representation"},
        {[&](NSError* e) {
             return database->updateFilterResults({APMFilterResult(1, Data{}, Data{1})}, e);
         },
         3, "Received filter result with empty data for getting dictionary representation"},
        {[&](NSError* e) { return database->eventFiltersForEventName("", e).has_value(); }, 1,
         "Received empty event name for getting event filters"},
        {[&](NSError* e) { return database->propertyFiltersForPropertyName("", e).has_value(); }, 1,
         "Received empty property name for getting property filters"},
    };
    for (const auto& c : cases) {
        NSError error;
        EXPECT_FALSE(c.call(&error)) << c.message;
        EXPECT_EQ(error.code, c.code) << c.message;
        EXPECT_EQ(error.localizedDescription(), c.message);
    }
}

TEST_F(DatabaseFiltersTest, FilterResultsPerAudience) {
    ASSERT_TRUE(database->updateFilterResults({APMFilterResult(1, Data{1}, Data{}),
                                               APMFilterResult(2, Data{2}, Data{3, 4}),
                                               APMFilterResult(3, Data{5}, std::nullopt)}));
    auto one = database->filterResultForAudienceID(1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->currentResults(), Data{1});
    EXPECT_EQ(one->previousResults(), std::nullopt);  // empty is stored as NULL
    EXPECT_EQ(database->store().numberForQuery(
                  "SELECT count(1) FROM audience_filter_values WHERE previous_results IS NULL", {}),
              Value(2LL));
    EXPECT_FALSE(database->filterResultForAudienceID(9));

    auto all = database->allFilterResults();
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);
    EXPECT_EQ(all->at(2).previousResults(), (Data{3, 4}));

    // Two results of one audience delete its one row.
    ASSERT_TRUE(database->deleteFilterResults(
        {APMFilterResult(2, Data{2}, std::nullopt), APMFilterResult(2, Data{9}, std::nullopt)}));
    EXPECT_EQ(database->store().rowCount("audience_filter_values"), 2);
    ASSERT_TRUE(database->deleteFilterResults(
        {APMFilterResult(1, Data{1}, std::nullopt), APMFilterResult(3, Data{1}, std::nullopt)}));
    EXPECT_TRUE(database->allFilterResults()->empty());
}

}  // namespace
