#include <gtest/gtest.h>

#include "services/measurement/APMAudienceTimestampsCache.h"
#include "services/measurement/tests/AudienceBuilders.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

using namespace audience_test;

constexpr std::int32_t kAudience = 3;

APMEventFilter eventStep(std::int32_t id, Switches s) {
    return APMEventFilter(kAudience, id, "buy", Data{1}, s.sessionScoped, s.dynamic, s.sequence);
}

APMPropertyFilter propertyStep(std::int32_t id, Switches s) {
    return APMPropertyFilter(kAudience, id, "level", Data{1}, s.sessionScoped, s.dynamic,
                             s.sequence);
}

// filter ID to timestamps, as the messages carry them.
using Dynamic = std::map<std::int32_t, std::int64_t>;
using Sequences = std::map<std::int32_t, std::vector<std::int64_t>>;

Dynamic dynamicOf(const std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>& list) {
    Dynamic out;
    std::int32_t last = -1;
    for (const auto& entry : list) {
        const std::int32_t id = APMPBGetInt32(entry.get(), 0);
        EXPECT_GT(id, last) << "sorted by filter ID";
        last = id;
        out[id] = APMPBGetInt64(entry.get(), 1);
    }
    return out;
}

Sequences sequencesOf(
    const std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>& list) {
    Sequences out;
    std::int32_t last = -1;
    for (const auto& entry : list) {
        const std::int32_t id = APMPBGetInt32(entry.get(), 0);
        EXPECT_GT(id, last) << "sorted by filter ID";
        last = id;
        auto& values = out[id];
        const auto array = APMPBGetArray(entry.get(), 1, kAPMPBNumberClass);
        for (const auto& v : array.value()) values.push_back(*v.value().asInt());
    }
    return out;
}

// A stored result carrying the given timestamps.
APMFilterResult stored(const Dynamic& dynamic, const Sequences& sequences) {
    auto data = APMPBResultData::make();
    std::vector<APMPBObject> status{Value(1ull)};
    APMPBSetArray(data.get(), 0, status);
    APMPBSetArray(data.get(), 1, status);
    std::vector<APMPBObject> d, s;
    for (const auto& [id, t] : dynamic) {
        auto entry = APMPBDynamicFilterResultTimestamp::make();
        APMPBSetInt32(entry.get(), 0, id);
        APMPBSetInt64(entry.get(), 1, t);
        d.emplace_back(entry);
    }
    for (const auto& [id, list] : sequences) {
        auto entry = APMPBSequenceFilterResultTimestamp::make();
        APMPBSetInt32(entry.get(), 0, id);
        std::vector<APMPBObject> values;
        for (auto t : list) values.emplace_back(Value(static_cast<long long>(t)));
        APMPBSetArray(entry.get(), 1, values);
        s.emplace_back(entry);
    }
    APMPBSetArray(data.get(), 2, d);
    APMPBSetArray(data.get(), 3, s);
    return APMFilterResult(kAudience, data->protoBuffer(), std::nullopt);
}

class AudienceTimestampsCacheTest : public ::testing::Test {
  protected:
    void SetUp() override { APMMeasurement::monitor().clearLines(); }
    MeasurementTempHome home;
    APMAudienceTimestampsCache cache;
};

TEST_F(AudienceTimestampsCacheTest, SeedingLoadsOnceAndOnlyTheLastSequenceStep) {
    cache.populateCachedTimestamps(stored({{1, 50}, {0, 40}}, {{4, {1, 2, 3}}, {5, {}}}),
                                   kAudience);
    EXPECT_EQ(dynamicOf(cache.dynamicTimestampsForAudienceID(kAudience)),
              (Dynamic{{0, 40}, {1, 50}}));
    EXPECT_EQ(sequencesOf(*cache.sequenceTimestampsForAudienceID(kAudience)),
              (Sequences{{4, {3}}}));

    cache.addEvaluationTimestamp(60, eventStep(1, {true, false, false}));
    cache.addEvaluationTimestamp(7, eventStep(4, {false, true, false}));
    // A second seeding of the same audience changes nothing.
    cache.populateCachedTimestamps(stored({{1, 10}}, {{4, {1}}}), kAudience);
    EXPECT_EQ(dynamicOf(cache.dynamicTimestampsForAudienceID(kAudience)),
              (Dynamic{{0, 40}, {1, 60}}));
    EXPECT_EQ(sequencesOf(*cache.sequenceTimestampsForAudienceID(kAudience)),
              (Sequences{{4, {3, 7}}}));

    // No stored data: an empty map and an empty sequence cache.
    cache.populateCachedTimestamps(std::nullopt, 8);
    EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(8).empty());
    ASSERT_TRUE(cache.sequenceTimestampsForAudienceID(8));
    EXPECT_TRUE(cache.sequenceTimestampsForAudienceID(8)->empty());
    EXPECT_FALSE(cache.sequenceTimestampsForAudienceID(9));
}

TEST_F(AudienceTimestampsCacheTest, DynamicTimestampsOnlyMoveForward) {
    struct Case {
        Switches switches;
        std::vector<double> matches;
        std::optional<std::int64_t> expected;  // nullopt: nothing recorded
        bool logsEarlier;
    };
    const Case cases[] = {
        {{true, false, false}, {100, 90}, 100, true},
        {{true, false, false}, {100, 100}, 100, true},
        {{false, false, true}, {5.9, 100.7}, 100, false},
        {{false, false, false}, {100}, std::nullopt, false},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        APMAudienceTimestampsCache fresh;
        fresh.populateCachedTimestamps(std::nullopt, kAudience);
        for (double t : c.matches) fresh.addEvaluationTimestamp(t, eventStep(2, c.switches));
        const Dynamic got = dynamicOf(fresh.dynamicTimestampsForAudienceID(kAudience));
        if (c.expected) {
            EXPECT_EQ(got, (Dynamic{{2, *c.expected}}));
        } else {
            EXPECT_TRUE(got.empty());
            EXPECT_TRUE(fresh.sequenceTimestampsForAudienceID(kAudience)->empty());
        }
        EXPECT_EQ(logged(6037), c.logsEarlier);
    }
    // An audience that was never seeded records no dynamic timestamp.
    APMAudienceTimestampsCache unseeded;
    unseeded.addEvaluationTimestamp(5, eventStep(2, {true, false, false}));
    EXPECT_TRUE(unseeded.dynamicTimestampsForAudienceID(kAudience).empty());
}

TEST_F(AudienceTimestampsCacheTest, SequenceSteps) {
    struct Case {
        bool property;
        std::vector<double> matches;
        std::vector<std::int64_t> expected;
        long long logged;  // 0: none
    };
    const Case cases[] = {
        {false, {10.2, 10.7}, {10}, 0},
        {false, {10.7, 9.0}, {9, 10}, 42000},
        {false, {1, 2, 2.5, 3}, {1, 2, 3}, 0},
        {true, {5, 7}, {7}, 0},
        {true, {7, 5}, {5}, 42001},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        APMAudienceTimestampsCache fresh;  // a sequence cache is made on first use
        for (double t : c.matches) {
            if (c.property) {
                fresh.addEvaluationTimestamp(t, propertyStep(6, {false, true, false}));
            } else {
                fresh.addEvaluationTimestamp(t, eventStep(6, {false, true, false}));
            }
        }
        EXPECT_EQ(sequencesOf(*fresh.sequenceTimestampsForAudienceID(kAudience)),
                  (Sequences{{6, c.expected}}));
        EXPECT_EQ(logged(42000), c.logged == 42000);
        EXPECT_EQ(logged(42001), c.logged == 42001);
    }
}

TEST_F(AudienceTimestampsCacheTest, SequenceCacheOfOneAudience) {
    EXPECT_FALSE(APMSequenceTimestampsCache::initWithAudienceID(std::nullopt));
    auto sequence = APMSequenceTimestampsCache::initWithAudienceID(kAudience);
    ASSERT_TRUE(sequence);
    EXPECT_EQ(sequence->audienceID(), kAudience);
    sequence->addEventFilterTimestamp(3, std::nullopt);
    sequence->setUserPropertyTimestamp(3, std::nullopt);
    EXPECT_TRUE(sequence->sequenceFilterResultTimestamps().empty());
    sequence->addEventFilterTimestamp(9, 2);
    sequence->addEventFilterTimestamp(4, 2);
    sequence->setUserPropertyTimestamp(1, 0);
    EXPECT_EQ(sequence->sequenceTimestampsForFilterID(2), (std::vector<double>{9, 4}));
    EXPECT_FALSE(sequence->sequenceTimestampsForFilterID(7));
    EXPECT_FALSE(sequence->sequenceTimestampsForFilterID(std::nullopt));
    // Read back by filter ID, each list ascending.
    EXPECT_EQ(sequencesOf(sequence->sequenceFilterResultTimestamps()),
              (Sequences{{0, {1}}, {2, {4, 9}}}));
}

}  // namespace
