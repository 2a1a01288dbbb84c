#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEventSampler.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";
// 2026-12-10 00:00 UTC; the account keeps UTC-5, where that day begins at 05:00 UTC.
constexpr std::int64_t kDec10 = 1796860800LL * 1000;
constexpr std::int64_t kHour = 3600LL * 1000;
constexpr std::int32_t kAccountDec9 = 20796;
constexpr std::int32_t kAccountDec10 = 20797;

using Params = std::vector<std::pair<std::string, std::int64_t>>;

struct EventShape {
    std::string name;
    std::int64_t timestamp;
    std::int64_t previous = 0;
    Params params = {};
};

std::shared_ptr<APMPBEvent> makeEvent(const EventShape& shape) {
    auto event = APMPBEvent::make();
    if (!shape.name.empty()) APMPBSetString(event.get(), 1, Value(shape.name));
    APMPBSetInt64(event.get(), 2, shape.timestamp);
    if (shape.previous) APMPBSetInt64(event.get(), 3, shape.previous);
    std::vector<APMPBObject> params;
    for (const auto& [name, value] : shape.params) {
        auto param = APMPBEventParam::make();
        APMPBSetString(param.get(), 0, Value(name));
        APMPBSetInt64(param.get(), 2, value);
        params.emplace_back(param);
    }
    APMPBSetArray(event.get(), 0, params);
    return event;
}

// "name[p=1,q=2]" per event, in order.
std::vector<std::string> describe(const APMEventSampler::Events& events) {
    std::vector<std::string> out;
    for (const auto& event : events) {
        std::string text = APMPBGetString(event.get(), 1).value_or("?") + "[";
        auto params = APMPBGetArray(event.get(), 0, APMPBEventParam::classObject());
        bool first = true;
        for (const auto& object : params.value_or(std::vector<APMPBObject>{})) {
            if (!first) text += ",";
            first = false;
            text += APMPBGetString(object.message().get(), 0).value_or("?") + "=" +
                    std::to_string(APMPBGetInt64(object.message().get(), 2));
        }
        out.push_back(text + "]");
    }
    return out;
}

std::shared_ptr<APMPBMeasurementConfig> makeConfig(
    bool samplingEnabled, const std::vector<std::pair<std::string, int>>& rates) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetString(config.get(), 1, Value(std::string(kAppID)));
    std::vector<APMPBObject> settings;
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"measurement.event_sampling_enabled", samplingEnabled ? "1" : "0"},
             {"measurement.account.time_zone_offset_minutes", "-300"}}) {
        auto setting = APMPBSetting::make();
        APMPBSetString(setting.get(), 0, Value(key));
        APMPBSetString(setting.get(), 1, Value(value));
        settings.emplace_back(setting);
    }
    APMPBSetArray(config.get(), 3, settings);
    std::vector<APMPBObject> events;
    for (const auto& [name, rate] : rates) {
        auto event = APMPBEventConfig::make();
        APMPBSetString(event.get(), 0, Value(name));
        APMPBSetInt32(event.get(), 3, rate);
        events.emplace_back(event);
    }
    APMPBSetArray(config.get(), 4, events);
    return config;
}

// Stored sampling state of one name before the bundle is sampled.
struct Stored {
    std::string name;
    std::int32_t lastBundledDay = 0;
    std::optional<std::int64_t> complexEventID = std::nullopt;
};

// Expected stored sampling state afterwards.
struct After {
    std::string name;
    std::int32_t lastBundledDay;
    std::int32_t lastSamplingRate;
    bool exempt;
    std::optional<std::int64_t> complexEventID;
};

class EventSamplerTest : public ::testing::Test {
  protected:
    void SetUp() override { APMMeasurement::monitor().clearLines(); }
    void TearDown() override { APMMeasurement::monitor().setDebugModeEnabled(false); }

    void open(const std::string& file, bool samplingEnabled = true) {
        database = APMDatabase::initWithDatabaseName(file, nullptr);
        ASSERT_TRUE(database);
        config = APMRemoteConfig::initWithAppID(kAppID, database.get());
        ASSERT_TRUE(config);
        config->parseRemoteConfigFromMeasurementConfig(*makeConfig(
            samplingEnabled, {{"sampled", 10}, {"one", 1}, {"zero", 0}, {"negative", -4}}));
        draws.clear();
        bounds.clear();
        sampler = std::make_unique<APMEventSampler>(*database, config, APMMeasurement::monitor(),
                                                    [this](std::uint32_t bound) {
                                                        bounds.push_back(bound);
                                                        if (draws.empty()) {
                                                            ADD_FAILURE() << "unexpected draw";
                                                            return 0u;
                                                        }
                                                        const std::uint32_t draw = draws.front();
                                                        draws.erase(draws.begin());
                                                        return draw;
                                                    });
    }
    void store(const Stored& stored) {
        auto aggregates = APMEventAggregates::initWithName(stored.name, 1, 0, 0, 0);
        ASSERT_TRUE(aggregates);
        aggregates->setLastBundledDay(stored.lastBundledDay);
        aggregates->setLastSampledComplexEventID(stored.complexEventID);
        ASSERT_TRUE(database->updateEventAggregates(*aggregates));
    }
    int count(long long code) {
        int n = 0;
        for (const auto& line : APMMeasurement::monitor().lines()) n += line.messageCode == code;
        return n;
    }

    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
    std::shared_ptr<APMRemoteConfig> config;
    std::unique_ptr<APMEventSampler> sampler;
    std::vector<std::uint32_t> draws;
    std::vector<std::uint32_t> bounds;
};

TEST_F(EventSamplerTest, SamplesEachNameByItsRateAndDay) {
    struct Case {
        const char* what;
        std::vector<Stored> stored;
        std::vector<EventShape> events;
        std::vector<std::uint32_t> draws;
        std::vector<std::string> kept;
        std::vector<After> after;
        std::vector<long long> logged;
    };
    const std::int64_t dec10noon = kDec10 + 12 * kHour;
    const Case cases[] = {
        {"the first of the day is kept and marked whatever the draw",
         {},
         {{"sampled", dec10noon, dec10noon - 24 * kHour}},
         {7},
         {"sampled[_sr=10,_efs=1]"},
         {{"sampled", kAccountDec10, 10, true, std::nullopt}},
         {}},
        {"a won draw keeps the event with its rate and forgets the complex event",
         {{"sampled", kAccountDec10, 77}},
         {{"sampled", dec10noon}},
         {0},
         {"sampled[_sr=10]"},
         {{"sampled", kAccountDec10, 10, false, std::nullopt}},
         {}},
        {"a lost draw later that day drops the event and keeps its complex event",
         {{"sampled", kAccountDec10}},
         {{"sampled", dec10noon, 0, {{"_eid", 42}}}},
         {3},
         {},
         {{"sampled", kAccountDec10, 10, false, 42}},
         {}},
        {"the second of a bundle on one day needs a won draw",
         {},
         {{"sampled", dec10noon, dec10noon - 48 * kHour}, {"sampled", dec10noon + 1000}},
         {1, 1},
         {"sampled[_sr=10,_efs=1]"},
         {{"sampled", kAccountDec10, 10, true, std::nullopt}},
         {}},
        {"the second of a bundle wins",
         {},
         {{"sampled", dec10noon, dec10noon - 48 * kHour}, {"sampled", dec10noon + 1000}},
         {1, 0},
         {"sampled[_sr=10,_efs=1]", "sampled[_sr=10]"},
         {{"sampled", kAccountDec10, 10, true, std::nullopt}},
         {}},
        {"the account's day, not UTC's: 03:00 UTC is still yesterday",
         {{"sampled", kAccountDec9}},
         {{"sampled", kDec10 + 3 * kHour, 0, {{"_eid", 1}}},
          {"sampled", kDec10 + 6 * kHour, 0, {{"_eid", 2}}}},
         {5, 5},
         {"sampled[_eid=2,_sr=10,_efs=1]"},
         {{"sampled", kAccountDec10, 10, true, 1}},
         {}},
        {"rates of one or less are never sampled and say so per event",
         {},
         {{"one", dec10noon}, {"zero", dec10noon}, {"negative", dec10noon}, {"one", dec10noon}},
         {},
         {"one[]", "zero[]", "negative[]", "one[]"},
         {{"one", kAccountDec10, 1, false, std::nullopt}},
         {23154, 23154, 23154, 23154}},
        {"a name without a rate passes untouched",
         {},
         {{"plain", dec10noon}},
         {},
         {"plain[]"},
         {{"plain", kAccountDec10, 1, false, std::nullopt}},
         {}},
        {"an event carrying its own rate keeps it",
         {{"sampled", kAccountDec10}},
         {{"sampled", dec10noon, 0, {{"_sr", 3}}}},
         {0},
         {"sampled[_sr=3]"},
         {{"sampled", kAccountDec10, 10, false, std::nullopt}},
         {23156}},
        {"an event without a name is dropped",
         {},
         {{"", dec10noon}, {"plain", dec10noon}},
         {},
         {"plain[]"},
         {},
         {23155}},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open("sampling-" + std::to_string(index++) + ".sql");
        for (const auto& stored : c.stored) store(stored);
        draws = c.draws;
        APMMeasurement::monitor().clearLines();
        APMEventSampler::Events events;
        for (const auto& shape : c.events) events.push_back(makeEvent(shape));
        auto kept = sampler->sampleEvents(events);
        ASSERT_TRUE(kept);
        EXPECT_EQ(describe(*kept), c.kept);
        EXPECT_TRUE(draws.empty()) << "draws left over";
        for (std::uint32_t bound : bounds) EXPECT_EQ(bound, 10u);
        for (const auto& after : c.after) {
            auto aggregates = database->eventAggregatesWithName(after.name);
            ASSERT_TRUE(aggregates) << after.name;
            EXPECT_EQ(aggregates->lastBundledDay(), after.lastBundledDay) << after.name;
            EXPECT_EQ(aggregates->lastSamplingRate(), after.lastSamplingRate) << after.name;
            EXPECT_EQ(aggregates->lastExemptFromSampling(), after.exempt) << after.name;
            EXPECT_EQ(aggregates->lastSampledComplexEventID(), after.complexEventID) << after.name;
        }
        for (long long code : {23154LL, 23155LL, 23156LL}) {
            int expected = 0;
            for (long long logged : c.logged) expected += logged == code;
            EXPECT_EQ(count(code), expected) << code;
        }
    }
}

TEST_F(EventSamplerTest, DayNumbersTruncateInTheAccountsZone) {
    struct Case {
        double seconds;
        int offsetMinutes;
        std::int32_t day;
    } cases[] = {
        {1796860800 + 3 * 3600, -300, kAccountDec9},
        {1796860800 + 6 * 3600, -300, kAccountDec10},
        {1796860800 - 3600, 120, kAccountDec10},
        {-3600, 0, 0},  // toward zero, not down
        {1e300, 0, INT32_MAX},
        {-1e300, 0, INT32_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(APMEventSampler::dayNumber(c.seconds, c.offsetMinutes), c.day) << c.seconds;
    }
}

TEST_F(EventSamplerTest, BundlingBypassesSamplingInDebugModeOrWhenSwitchedOff) {
    struct Case {
        const char* what;
        bool enabled;
        bool debug;
        bool sampled;
    } cases[] = {
        {"sampling on", true, false, true},
        {"debug mode", true, true, false},
        {"sampling off", false, false, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open("bypass-" + std::to_string(index++) + ".sql", c.enabled);
        store({"sampled", kAccountDec10});
        APMMeasurement::monitor().setDebugModeEnabled(c.debug);
        if (c.sampled) draws = {4};
        auto kept = sampler->sampleBundleEvents({makeEvent({"sampled", kDec10 + 12 * kHour})});
        ASSERT_TRUE(kept);
        EXPECT_EQ(describe(*kept),
                  c.sampled ? std::vector<std::string>{} : std::vector<std::string>{"sampled[]"});
        EXPECT_EQ(bounds.size(), c.sampled ? 1u : 0u);
        EXPECT_EQ(database->eventAggregatesWithName("sampled")->lastSamplingRate(),
                  c.sampled ? 10 : 1);
    }
}

TEST_F(EventSamplerTest, DatabaseFailuresAnswerNil) {
    struct Case {
        const char* what;
        const char* sql;
        long long code;
    } cases[] = {
        {"aggregates unreadable", "DROP TABLE events", 23157},
        {"aggregates unwritable",
         "CREATE TRIGGER refuse BEFORE INSERT ON events BEGIN SELECT RAISE(ABORT, 'full'); END",
         23152},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open("failing-" + std::to_string(index++) + ".sql");
        store({"sampled", kAccountDec10});
        ASSERT_TRUE(database->store().executeSQL(c.sql));
        APMMeasurement::monitor().clearLines();
        draws = {0};
        NSError error;
        EXPECT_FALSE(sampler->sampleEvents({makeEvent({"sampled", kDec10 + 12 * kHour})}, &error));
        EXPECT_EQ(count(c.code), 1);
        EXPECT_FALSE(error.domain.empty());
        draws.clear();
    }
}

}  // namespace
