#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMAudience.h"
#include "services/measurement/APMDailyCounts.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMFilterEvaluation.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/tests/AudienceBuilders.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";

struct EventSetting {
    std::string name;
    bool blocklisted = false;
    bool conversion = false;
    int samplingRate = 0;
};

using Settings = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<APMPBMeasurementConfig> makeConfig(const Settings& settings,
                                                   const std::vector<EventSetting>& events) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetInt64(config.get(), 0, 7);  // version
    APMPBSetString(config.get(), 1, Value(kAppID));
    std::vector<APMPBObject> list;
    auto all = settings;
    all.emplace_back("measurement.test_marker", "1");  // never an empty settings list
    for (const auto& [name, value] : all) {
        auto setting = APMPBSetting::make();
        APMPBSetString(setting.get(), 0, Value(name));
        APMPBSetString(setting.get(), 1, Value(value));
        list.emplace_back(setting);
    }
    APMPBSetArray(config.get(), 3, list);
    std::vector<APMPBObject> eventList;
    for (const auto& e : events) {
        auto event = APMPBEventConfig::make();
        APMPBSetString(event.get(), 0, Value(e.name));
        if (e.blocklisted) APMPBSetBool(event.get(), 1, true);
        if (e.conversion) APMPBSetBool(event.get(), 2, true);
        if (e.samplingRate) APMPBSetInt32(event.get(), 3, e.samplingRate);
        eventList.emplace_back(event);
    }
    APMPBSetArray(config.get(), 4, eventList);
    return config;
}

// What a test reads back of a queued bundle, through the field accessors.
struct SeenEvent {
    std::string name;
    int64_t timestamp = 0;
    int64_t previous = 0;
    std::map<std::string, int64_t> ints;
    bool has(const std::string& p) const { return ints.count(p) > 0; }
};

struct SeenBundle {
    std::shared_ptr<APMPBMeasurementBundle> message;
    int32_t index = 0;
    int64_t start = 0, end = 0;
    std::optional<int64_t> previousStart, previousEnd;
    std::vector<SeenEvent> events;
    std::map<std::string, int64_t> intProperties;
    std::vector<std::pair<int32_t, bool>> audiences;  // ID, new-result flag
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : events) out.push_back(e.name);
        return out;
    }
};

std::optional<int64_t> int64If(const APMPBMessage* m, int field) {
    if (!APMPBHasField(m, field)) return std::nullopt;
    return APMPBGetInt64(m, field);
}

SeenBundle see(const std::shared_ptr<APMPBMeasurementBundle>& bundle) {
    SeenBundle out;
    out.message = bundle;
    const APMPBMessage* b = bundle.get();
    out.index = APMPBGetInt32(b, 24);
    out.start = APMPBGetInt64(b, 4);
    out.end = APMPBGetInt64(b, 5);
    out.previousStart = int64If(b, 6);
    out.previousEnd = int64If(b, 7);
    for (const auto& object :
         APMPBGetArray(b, 1, APMPBEvent::classObject()).value_or(std::vector<APMPBObject>{})) {
        const APMPBMessage* e = object.message().get();
        SeenEvent event{
            APMPBGetString(e, 1).value_or(""), APMPBGetInt64(e, 2), APMPBGetInt64(e, 3), {}};
        for (const auto& p : APMPBGetArray(e, 0, APMPBEventParam::classObject())
                                 .value_or(std::vector<APMPBObject>{})) {
            const APMPBMessage* param = p.message().get();
            if (APMPBHasField(param, 2))
                event.ints[APMPBGetString(param, 0).value_or("")] = APMPBGetInt64(param, 2);
        }
        out.events.push_back(event);
    }
    for (const auto& object : APMPBGetArray(b, 2, APMPBUserAttribute::classObject())
                                  .value_or(std::vector<APMPBObject>{})) {
        const APMPBMessage* p = object.message().get();
        if (APMPBHasField(p, 3))
            out.intProperties[APMPBGetString(p, 1).value_or("")] = APMPBGetInt64(p, 3);
    }
    for (const auto& object : APMPBGetArray(b, 28, APMPBAudienceLeafFilterResult::classObject())
                                  .value_or(std::vector<APMPBObject>{})) {
        const APMPBMessage* leaf = object.message().get();
        out.audiences.emplace_back(APMPBGetInt32(leaf, 0), APMPBGetBool(leaf, 3));
    }
    return out;
}

int64_t ms(double seconds) {
    return static_cast<int64_t>(seconds * 1000);
}

class BundlingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        now = sim::wallClockSeconds();
        useMainBundle();
        APMMeasurement::monitor().setDebugModeEnabled(false);
        APMSetInternalEventLogger(
            [](const std::string&, const std::string&, const APMEventParameters&) {});
        settings = APMPersistedConfig::initWithSuiteName("com.test.bundling");
        auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
        auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
        engine = APMMeasurement::initWithDatabaseName("bundling.sql", settings, scheduler,
                                                      std::move(alarm), kAppID, true, false,
                                                      std::nullopt);
        ASSERT_TRUE(engine);
        work([&] {
            if (!engine->didInitializeComponents()) engine->setEnabledOnWorkerQueue(true);
        });
        ASSERT_TRUE(engine->didInitializeComponents());
        work([&] { ASSERT_TRUE(engine->database()->reset()); });
        configure({});
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        if (engine) work([&] { engine->setEnabledOnWorkerQueue(false); });
        engine.reset();
        APMMeasurement::setSamplingRandomForTesting(nullptr);
        APMSetInternalEventLogger(nullptr);
        APMRemoteConfig::setEngineInstance(nullptr);
        APMMeasurement::monitor().setDebugModeEnabled(false);
        sim::clearMainBundlePath();
        sim::useRealClock();
    }

    void useMainBundle() {
        home.installMainBundle("App.app",
                               Dictionary{{"CFBundleIdentifier", "com.example.bundling"}});
    }

    void work(const std::function<void()>& block) {
        engine->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }
    APMDatabase& db() { return *engine->database(); }

    void configure(const Settings& values, const std::vector<EventSetting>& events = {}) {
        auto config = makeConfig(values, events);
        work([&] { ASSERT_TRUE(engine->remoteConfigInstance()->updateMeasurementConfig(config)); });
    }

    // Written through the engine's write path, at `at` seconds since 1970.
    void write(const std::string& name, double at, const APMRawParameters& parameters = {},
               const std::string& origin = "app") {
        auto event = APMEvent::initWithOrigin(origin, false, name, at, 0, parameters);
        ASSERT_TRUE(event) << name;
        work([&] { engine->writeEventOnWorkerQueue(*event); });
    }
    void setProperty(const std::string& name, int64_t value) {
        auto attribute = APMUserAttribute::initWithOrigin(
            "app", name, APMValue::initWithInt64(value), sim::wallClockSeconds());
        ASSERT_TRUE(attribute);
        work([&] { ASSERT_TRUE(engine->setUserPropertyInDatabaseOnWorkerQueue(*attribute)); });
    }
    std::optional<int64_t> storedProperty(const std::string& name) {
        std::optional<int64_t> out;
        work([&] {
            auto stored = db().userAttributeWithName(name);
            if (stored && stored->value().isInt64()) out = stored->value().int64Value();
        });
        return out;
    }

    bool bundleOnce() {
        bool made = false;
        work([&] { made = engine->bundleRawEvents(); });
        return made;
    }
    // Bundles until bundling answers NO; the number of YES answers.
    int bundleAll() {
        int made = 0;
        while (made < 100 && bundleOnce()) ++made;
        return made;
    }
    std::vector<SeenBundle> queued() {
        std::vector<SeenBundle> out;
        work([&] {
            auto bundles = db().queryBundles(1000, int64_t{1} << 40);
            ASSERT_TRUE(bundles);
            for (const auto& [bundle, rowID] : *bundles) out.push_back(see(bundle));
        });
        return out;
    }
    int64_t count(const std::string& table) {
        int64_t n = -1;
        work([&] {
            auto value = db().store().numberForQuery("SELECT COUNT(*) FROM " + table, {});
            ASSERT_TRUE(value);
            n = value->asInt().value_or(-1);
        });
        return n;
    }
    void exec(const std::string& sql) {
        work([&] { ASSERT_TRUE(db().store().executeSQL(sql)) << sql; });
    }
    std::optional<APMEventAggregates> aggregates(const std::string& name) {
        std::optional<APMEventAggregates> out;
        work([&] { out = db().eventAggregatesWithName(name); });
        return out;
    }
    APMDailyCounts counts() {
        std::optional<APMDailyCounts> out;
        work([&] {
            out = db().dailyCounts(
                APMDailyCounts::currentDay(sim::wallClockSeconds(), settings->midnightOffset()));
        });
        EXPECT_TRUE(out);
        return out.value_or(APMDailyCounts(0, 0, 0, 0, 0, 0));
    }
    static bool logged(long long code) { return audience_test::logged(code); }

    // The virtual wall clock starts on a whole hour.
    double now = 0;
    MeasurementTempHome home;
    std::shared_ptr<APMPersistedConfig> settings;
    std::shared_ptr<APMMeasurement> engine;
};

TEST_F(BundlingTest, NothingStoredMakesNoBundle) {
    EXPECT_FALSE(bundleOnce());
    EXPECT_TRUE(queued().empty());
}

// A bundle carries the metadata written with its events, its own times,
// index and previous-bundle times, and the events with their previous
// timestamps; its raw events and their metadata record are gone.
TEST_F(BundlingTest, BundleFieldsAndBookkeeping) {
    setProperty("level", 3);
    write("level_up", now + 10, {{"score", Value(5)}});
    write("level_up", now + 20);
    ASSERT_TRUE(bundleOnce());
    EXPECT_FALSE(bundleOnce());
    EXPECT_EQ(count("raw_events"), 0);
    EXPECT_EQ(count("raw_events_metadata"), 0);

    write("level_up", now + 30);
    ASSERT_EQ(bundleAll(), 1);
    auto bundles = queued();
    ASSERT_EQ(bundles.size(), 2u);
    const SeenBundle& first = bundles[0];
    const APMPBMessage* b = first.message.get();
    EXPECT_EQ(APMPBGetInt32(b, 0), 1);
    EXPECT_EQ(APMPBGetString(b, 8), "macos");
    // The identity's app ID (kept once per process), else the engine's.
    std::string appID;
    work([&] { appID = engine->identity() ? engine->identity()->appID() : ""; });
    EXPECT_EQ(APMPBGetString(b, 14), appID.empty() ? kAppID : appID);
    EXPECT_EQ(APMPBGetInt64(b, 34), 7);
    EXPECT_TRUE(
        APMPBGetArray(b, 37, kAPMPBNumberClass).value_or(std::vector<APMPBObject>{}).empty());
    EXPECT_EQ(first.index, 1);
    EXPECT_EQ(first.start, ms(now + 10));
    EXPECT_EQ(first.end, ms(now + 20));
    EXPECT_FALSE(first.previousStart);
    EXPECT_FALSE(first.previousEnd);
    EXPECT_EQ(first.intProperties.at("level"), 3);
    ASSERT_EQ(first.events.size(), 2u);
    EXPECT_EQ(first.events[0].name, "level_up");
    EXPECT_EQ(first.events[0].timestamp, ms(now + 10));
    EXPECT_EQ(first.events[0].previous, 0);
    EXPECT_EQ(first.events[0].ints.at("score"), 5);
    EXPECT_EQ(first.events[1].previous, ms(now + 10));

    const SeenBundle& second = bundles[1];
    EXPECT_EQ(second.index, 2);
    EXPECT_EQ(second.previousStart, ms(now + 10));
    EXPECT_EQ(second.previousEnd, ms(now + 20));
    EXPECT_EQ(second.events[0].previous, ms(now + 20));

    auto counted = aggregates("level_up");
    ASSERT_TRUE(counted);
    EXPECT_EQ(counted->lifetimeCount(), 3);
    EXPECT_EQ(counted->currentBundleCount(), 3);
    EXPECT_EQ(counted->currentSessionCount(), 3);
    EXPECT_EQ(counted->lastFireTimestamp(), now + 30);
    EXPECT_TRUE(logged(23116));
}

// A run never mixes metadata records, hours or gaps in the row sequence.
TEST_F(BundlingTest, RunsSplitByMetadataHourAndRowGaps) {
    struct Case {
        const char* label;
        std::function<void()> fill;
        std::vector<std::vector<std::string>> expected;
    };
    const Case cases[] = {
        {"across a whole hour",
         [this] {
             write("a", now - 1);
             write("b", now);
             write("c", now + 5);
         },
         {{"a"}, {"b", "c"}}},
        {"a row deleted in the middle",
         [this] {
             write("a", now + 1);
             write("b", now + 2);
             write("c", now + 3);
             exec("DELETE FROM raw_events WHERE name = 'b'");
         },
         {{"a"}, {"c"}}},
        {"metadata changing back and forth",
         [this] {
             write("a", now + 1);
             setProperty("tier", 1);
             write("b", now + 2);
             exec("DELETE FROM user_attributes WHERE name = 'tier'");
             write("c", now + 3);
             write("d", now + 4);
         },
         {{"a"}, {"b"}, {"c", "d"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        SetUp();
        c.fill();
        const int made = bundleAll();
        std::vector<std::vector<std::string>> seen;
        for (const auto& bundle : queued()) seen.push_back(bundle.names());
        EXPECT_EQ(seen, c.expected);
        EXPECT_EQ(made, static_cast<int>(c.expected.size()));
        EXPECT_EQ(count("raw_events"), 0);
        EXPECT_EQ(count("raw_events_metadata"), 0);
    }
}

// The per-bundle event count and byte size bound a run; the first event is
// always taken, so an oversized event or a zero size limit still lets every
// event through instead of stalling the queue.
TEST_F(BundlingTest, SizeAndCountLimits) {
    // Two small events fit below `twoFit` bytes, three do not.
    const auto small = APMEvent::initWithOrigin("app", false, "e0", now, 0, {});
    ASSERT_TRUE(small);
    const std::string twoFit = std::to_string(2 * small->encodedProtoEvent()->size() + 1);
    APMRawParameters big;
    for (int i = 0; i < 25; ++i) big["p" + std::to_string(i)] = Value(std::string(100, 'x'));
    struct Case {
        const char* label;
        Settings limits;
        bool bigFirst;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {
        {"count", {{"measurement.upload.max_events_per_bundle", "2"}}, false, {2, 2, 1}},
        {"bytes", {{"measurement.upload.max_batch_size", twoFit}}, false, {2, 2, 1}},
        {"zero bytes", {{"measurement.upload.max_batch_size", "0"}}, false, {1, 1, 1, 1, 1}},
        {"oversized first event", {{"measurement.upload.max_batch_size", "1000"}}, true, {1, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        SetUp();
        configure(c.limits);
        for (int i = 0; i < 5; ++i)
            write("e" + std::to_string(i), now + i,
                  (c.bigFirst && i == 0) ? big : APMRawParameters{});
        bundleAll();
        std::vector<size_t> sizes;
        for (const auto& bundle : queued()) sizes.push_back(bundle.events.size());
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(count("raw_events"), 0);
    }
}

// Hours are counted in 64 bits: after 2038 a 32-bit second count no longer
// tells the hours apart.
TEST_F(BundlingTest, HoursAfter2038StillSplitRuns) {
    const double hour2040 = 2208988800.0;  // 2040-01-01 00:00:00 UTC
    std::optional<std::vector<APMRawEventData>> run;
    work([&] {
        auto metadata = engine->createRawEventMetadataWithUserAttributes({});
        ASSERT_TRUE(db().insertIfNotExistsRawEventMetadata(*metadata));
        const int64_t fingerprint = APMDatabase::metadataFingerprint(*metadata);
        for (double at : {hour2040 - 2, hour2040 - 1, hour2040}) {
            auto event = APMEvent::initWithOrigin("app", false, "late", at, 0, {});
            ASSERT_TRUE(db().insertRawEvent(*event, fingerprint, false));
        }
        run = engine->rawEventsWithMetadataFingerprint(fingerprint);
    });
    ASSERT_TRUE(run);
    EXPECT_EQ(run->size(), 2u);
}

// Rows that no longer decode are dropped with their run instead of holding
// back the rows behind them.
TEST_F(BundlingTest, UndecodableRowsDoNotStall) {
    write("a", now + 1);
    write("b", now + 2);
    write("c", now + 3);
    exec("UPDATE raw_events SET data = x'ff' WHERE name IN ('a', 'c')");
    EXPECT_EQ(bundleAll(), 1);
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(bundles[0].names(), std::vector<std::string>{"b"});
    EXPECT_EQ(count("raw_events"), 0);
    EXPECT_TRUE(logged(23096));
}

// Blocklist, renaming and redundant engagement at bundling time.
TEST_F(BundlingTest, FilteringAndRenaming) {
    write("ad_impression", now + 1, {{"value", Value(1.5)}, {"currency", Value("USD")}});
    write("_e", now + 2, {{"_et", Value(10)}, {"_fr", Value(1)}});
    write("_e", now + 3, {{"_et", Value(10)}});
    write("later_blocked", now + 4);
    const Settings removal{{"measurement.collection.redundant_engagement_removal_enabled", "1"}};
    configure(removal, {{"later_blocked", true}});
    ASSERT_EQ(bundleAll(), 1);
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(bundles[0].names(), (std::vector<std::string>{"_ai", "_e"}));
    EXPECT_FALSE(bundles[0].events[1].has("_fr"));
    EXPECT_TRUE(logged(23099));

    // A run with nothing left is deleted and makes no bundle.
    configure(removal);
    write("later_blocked", now + 5);
    write("_e", now + 6, {{"_et", Value(10)}, {"_fr", Value(1)}});
    configure(removal, {{"later_blocked", true}});
    APMMeasurement::monitor().clearLines();
    EXPECT_EQ(bundleAll(), 1);
    EXPECT_TRUE(logged(23100));
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_EQ(count("raw_events"), 0);
    EXPECT_EQ(count("raw_events_metadata"), 0);
    write("next", now + 7);
    bundleAll();
    ASSERT_EQ(queued().size(), 2u);
    EXPECT_EQ(queued()[1].index, 2);
}

// Conversions and real-time events are counted against the daily limits.
TEST_F(BundlingTest, DailyConversionAndRealtimeLimits) {
    configure({{"measurement.upload.max_conversions_per_day", "2"},
               {"measurement.upload.max_realtime_events_per_day", "1"}},
              {{"shop", false, true}});
    for (int i = 0; i < 3; ++i) write("shop", now + i);
    write("_f", now + 3, {}, "auto");  // exempt from the real-time limit
    ASSERT_EQ(bundleAll(), 1);
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    const auto& events = bundles[0].events;
    ASSERT_EQ(events.size(), 4u);
    EXPECT_TRUE(events[0].has("_c"));
    EXPECT_TRUE(events[0].has("_r"));
    EXPECT_TRUE(events[1].has("_c"));
    EXPECT_FALSE(events[1].has("_r"));
    EXPECT_FALSE(events[2].has("_c"));
    EXPECT_FALSE(events[2].has("_r"));
    EXPECT_TRUE(events[3].has("_r"));
    EXPECT_TRUE(logged(23102));
    EXPECT_TRUE(logged(23104));
    EXPECT_TRUE(logged(23105));
    EXPECT_EQ(counts().conversionsCount(), 2);
    EXPECT_EQ(counts().realtimeCount(), 1);
    std::optional<bool> realtime;
    work([&] { realtime = db().containsRealtimeBundles(); });
    EXPECT_EQ(realtime, true);

    // Counters of an earlier day do not hold back today's conversions.
    write("shop", now + 10);
    const int32_t today = counts().day();
    work([&] { ASSERT_TRUE(db().updateDailyCounts(APMDailyCounts(today - 1, 2, 9, 9, 0, 1))); });
    ASSERT_EQ(bundleAll(), 1);
    const auto latest = queued().back();
    ASSERT_EQ(latest.names(), std::vector<std::string>{"shop"});
    EXPECT_TRUE(latest.events[0].has("_c"));
    EXPECT_TRUE(latest.events[0].has("_r"));
    EXPECT_EQ(counts().day(), today);
    EXPECT_EQ(counts().conversionsCount(), 1);
}

// Engagement totals go to "_lte", and to a fresh "_se" when the run holds a
// session start; events marked "_fr" do not count.
TEST_F(BundlingTest, EngagementTotals) {
    setProperty("_lte", 100);
    setProperty("_se", 999);
    write("_e", now + 1, {{"_et", Value(1000)}}, "auto");
    write("_e", now + 2, {{"_et", Value(2500)}}, "auto");
    write("_e", now + 3, {{"_et", Value(7000)}, {"_fr", Value(1)}}, "auto");
    ASSERT_EQ(bundleAll(), 1);
    EXPECT_EQ(storedProperty("_lte"), 3600);
    EXPECT_EQ(storedProperty("_se"), 4499);
    EXPECT_EQ(queued()[0].intProperties.at("_lte"), 3600);

    write("_s", now + 10, {}, "auto");
    write("_e", now + 11, {{"_et", Value(500)}}, "auto");
    ASSERT_GE(bundleAll(), 1);
    EXPECT_EQ(storedProperty("_lte"), 4100);
    EXPECT_EQ(storedProperty("_se"), 500);
    const auto last = queued().back();
    EXPECT_EQ(last.intProperties.at("_lte"), 4100);
    EXPECT_EQ(last.intProperties.at("_se"), 500);
    // The session start also reset the per-name session counts.
    EXPECT_EQ(aggregates("_e")->currentSessionCount(), 1);
}

// Event and user-property filters are evaluated while bundling, and the
// audience results travel with the bundle.
TEST_F(BundlingTest, AudienceResults) {
    using namespace audience_test;
    work([&] {
        ASSERT_TRUE(engine->audience()->updateAudiences(
            {audience(1, {eventFilter(0, "level_up")}),
             audience(2, {}, {propertyFilter(0, "tier", filter(numberFilter(2, "5")))})}));
    });
    setProperty("tier", 9);
    write("level_up", now + 1);
    ASSERT_EQ(bundleAll(), 1);
    auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(bundles[0].audiences, (std::vector<std::pair<int32_t, bool>>{{1, true}, {2, true}}));
    write("level_up", now + 2);
    ASSERT_EQ(bundleAll(), 1);
    bundles = queued();
    EXPECT_EQ(bundles[1].audiences,
              (std::vector<std::pair<int32_t, bool>>{{1, false}, {2, false}}));
}

// Many events against costly server regular expressions in one pass: each
// event spends its own budget until the pass's budget is spent, after which
// the rest count as no match; the pass's spending is logged once.
TEST_F(BundlingTest, RegexWorkOfOneBundlingPassIsBounded) {
    using namespace audience_test;
    constexpr int kEvents = kAPMRegexBudgetPerBundlingPass / kAPMRegexBudgetPerEvent + 4;
    std::vector<std::shared_ptr<APMPBAudience>> definitions;
    for (int i = 0; i < 20; ++i) {
        definitions.push_back(audience(
            i + 1, {eventFilter(0, "buy", {filter(nullptr, stringFilter(1, "(a+)+$"), "s")})}));
    }
    work([&] { ASSERT_TRUE(engine->audience()->updateAudiences(definitions)); });
    const std::string costly = std::string(40, 'a') + "!";
    for (int i = 0; i < kEvents; ++i) write("buy", now + 1, {{"s", Value(costly)}});
    APMMeasurement::monitor().clearLines();
    ASSERT_TRUE(bundleOnce());
    int timedOut = 0, passSpent = 0;
    for (const auto& line : APMMeasurement::monitor().lines()) {
        timedOut += line.messageCode == 9009;
        passSpent += line.messageCode == 9012 && line.contexts.size() == 1 &&
                     line.contexts[0] == Value(kAPMRegexBudgetPerBundlingPass);
    }
    EXPECT_EQ(passSpent, 1);
    EXPECT_LE(timedOut, kAPMRegexBudgetPerBundlingPass / kAPMRegexTimeLimit);
    EXPECT_EQ(count("raw_events"), 0);
}

// Sampling drops events that lose the draw, except the first of a name on
// a day; a run sampled away entirely is deleted.
TEST_F(BundlingTest, Sampling) {
    configure({{"measurement.event_sampling_enabled", "1"}}, {{"sampled", false, false, 10}});
    APMMeasurement::setSamplingRandomForTesting([](uint32_t) { return 1u; });  // always lose
    write("sampled", now + 1);
    write("sampled", now + 2);
    write("plain", now + 3);
    ASSERT_EQ(bundleAll(), 1);
    auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    ASSERT_EQ(bundles[0].names(), (std::vector<std::string>{"sampled", "plain"}));
    EXPECT_EQ(bundles[0].events[0].ints.at("_sr"), 10);
    EXPECT_EQ(bundles[0].events[0].ints.at("_efs"), 1);

    write("sampled", now + 4);
    APMMeasurement::monitor().clearLines();
    EXPECT_EQ(bundleAll(), 1);
    EXPECT_TRUE(logged(23159));
    EXPECT_EQ(queued().size(), 1u);
    EXPECT_EQ(count("raw_events"), 0);

    // A winning draw keeps the event with its rate.
    APMMeasurement::setSamplingRandomForTesting([](uint32_t) { return 0u; });
    write("sampled", now + 5);
    ASSERT_EQ(bundleAll(), 1);
    bundles = queued();
    ASSERT_EQ(bundles.size(), 2u);
    EXPECT_EQ(bundles[1].events[0].ints.at("_sr"), 10);
    EXPECT_FALSE(bundles[1].events[0].has("_efs"));
}

// A failing step rolls the whole bundle back: the raw events, aggregates,
// app metadata and daily counts stay as they were, and the run is tried
// again later.
TEST_F(BundlingTest, FailureRollsEverythingBack) {
    configure({}, {{"shop", false, true}});
    write("shop", now + 1);
    exec("CREATE TRIGGER refuse BEFORE INSERT ON queue BEGIN SELECT RAISE(ABORT, 'full'); END");
    EXPECT_FALSE(bundleOnce());
    EXPECT_TRUE(logged(23115));
    EXPECT_EQ(count("raw_events"), 1);
    EXPECT_EQ(count("raw_events_metadata"), 1);
    EXPECT_EQ(aggregates("shop")->lifetimeCount(), 0);
    EXPECT_EQ(counts().conversionsCount(), 0);
    std::optional<APMAppMetadata> metadata;
    work([&] { metadata = db().queryAppMetadata(); });
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->lastBundleIndex(), 0);

    exec("DROP TRIGGER refuse");
    EXPECT_EQ(bundleAll(), 1);
    ASSERT_EQ(queued().size(), 1u);
    EXPECT_EQ(queued()[0].index, 1);
    EXPECT_EQ(aggregates("shop")->lifetimeCount(), 1);
}

}  // namespace
