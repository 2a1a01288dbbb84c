#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDailyCounts.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMKeychainWrapper.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";

struct EventSetting {
    std::string name;
    bool blocklisted = false;
    bool conversion = false;
};

std::shared_ptr<APMPBMeasurementConfig> makeConfig(
    const std::vector<std::pair<std::string, std::string>>& settings,
    const std::vector<EventSetting>& events = {}, bool withProgram = false) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetString(config.get(), 1, Value(kAppID));
    // A configuration without settings is ignored as a whole.
    std::vector<APMPBObject> list;
    auto all = settings;
    all.emplace_back("measurement.test_marker", "1");
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
        eventList.emplace_back(event);
    }
    APMPBSetArray(config.get(), 4, eventList);
    if (withProgram) {
        std::vector<APMPBObject> programs{APMPBObject(APMPBProgram::make())};
        APMPBSetArray(config.get(), 8, programs);
    }
    return config;
}

struct StoredEvent {
    std::string name;
    bool realtime = false;
    APMEventParameters parameters;
    int64_t fingerprint = 0;
};

struct InternalEvent {
    std::string name;
    APMEventParameters parameters;
};

class EngineWritePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        useMainBundle();
        APMMeasurement::monitor().setDebugModeEnabled(false);
        APMSetInternalEventLogger(
            [this](const std::string&, const std::string& name, const APMEventParameters& p) {
                std::lock_guard lock(mutex);
                internalEvents.push_back({name, p});
            });
        start(std::nullopt);
    }
    void TearDown() override {
        if (engine) work([&] { engine->setEnabledOnWorkerQueue(false); });
        engine.reset();
        APMSetInternalEventLogger(nullptr);
        APMMeasurement::setEventEditingRunner(nullptr);
        APMRemoteConfig::setEventEditingLoader(nullptr);
        APMRemoteConfig::setEngineInstance(nullptr);
        APMMeasurement::setEventListenerNotifier(nullptr);
        APMMeasurement::monitor().setDebugModeEnabled(false);
        sim::clearMainBundlePath();
        sim::useRealClock();
    }

    // The keychain counter is kept under the main bundle's identifier.
    void useMainBundle() {
        home.installMainBundle("App.app",
                               Dictionary{{"CFBundleIdentifier", "com.example.writepath"}});
        ASSERT_EQ(bundleID(), "com.example.writepath");
    }

    // A started engine with its own settings and database; whatever the
    // start sequence logged is forgotten.
    void start(const std::optional<std::vector<std::string>>& safelist) {
        if (engine) work([&] { engine->setEnabledOnWorkerQueue(false); });
        engine.reset();
        settings = APMPersistedConfig::initWithSuiteName("com.test.writepath");
        auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
        auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
        engine = APMMeasurement::initWithDatabaseName(
            "writepath.sql", settings, scheduler, std::move(alarm), kAppID, true, false, safelist);
        ASSERT_TRUE(engine);
        work([&] {
            if (!engine->didInitializeComponents()) engine->setEnabledOnWorkerQueue(true);
        });
        ASSERT_TRUE(engine->didInitializeComponents());
        ASSERT_TRUE(engine->database());
        work([&] {
            ASSERT_TRUE(engine->database()->reset());
            engine->setEnabledOnWorkerQueue(true);
        });
        settings->setReruzeraFeatureRollouts(std::nullopt);
        settings->setUnmatchedFirstOpenWithoutIDFA(false);
        APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", bundleID());
        engine->forgetKeptEventsForTesting();
        configure({});
        clearLogs();
    }

    void work(const std::function<void()>& block) {
        engine->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }

    void configure(const std::vector<std::pair<std::string, std::string>>& values,
                   const std::vector<EventSetting>& events = {}, bool withProgram = false) {
        auto config = makeConfig(values, events, withProgram);
        work([&] {
            engine->remoteConfigInstance()->parseRemoteConfigFromMeasurementConfig(*config);
        });
    }

    void clearLogs() {
        APMMeasurement::monitor().clearLines();
        std::lock_guard lock(mutex);
        internalEvents.clear();
    }

    static std::string bundleID() { return NSBundle::mainBundle()->bundleIdentifier(); }

    static APMEvent event(const std::string& name, const APMRawParameters& parameters = {},
                          const std::string& origin = "app") {
        auto made =
            APMEvent::initWithOrigin(origin, false, name, sim::wallClockSeconds(), 0, parameters);
        EXPECT_TRUE(made) << name;
        return *made;
    }

    void handle(const APMEvent& e) {
        work([&] { engine->handleEventOnWorkerQueue(e); });
    }
    void write(const APMEvent& e) {
        work([&] { engine->writeEventOnWorkerQueue(e); });
    }

    std::vector<StoredEvent> stored() {
        std::vector<StoredEvent> out;
        work([&] {
            auto rows = engine->database()->store().recordsForQuery(
                "SELECT rowid, * FROM raw_events ORDER BY rowid", Array{});
            ASSERT_TRUE(rows);
            for (const auto& row : *rows) {
                auto decoded = engine->database()->rawEventDataFromDictionary(row);
                ASSERT_TRUE(decoded);
                StoredEvent one;
                one.name = decoded->rawEvent().name();
                one.realtime = row["is_realtime"].asInt().value_or(0) == 1;
                one.parameters = decoded->rawEvent().parameters();
                one.fingerprint = decoded->metadataFingerprint();
                out.push_back(std::move(one));
            }
        });
        return out;
    }
    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        for (const auto& e : stored()) names.push_back(e.name);
        return names;
    }

    int32_t today() {
        return APMDailyCounts::currentDay(sim::wallClockSeconds(), settings->midnightOffset());
    }
    APMDailyCounts counts() {
        std::optional<APMDailyCounts> out;
        work([&] { out = engine->database()->dailyCounts(today()); });
        EXPECT_TRUE(out);
        return out.value_or(APMDailyCounts(0, 0, 0, 0, 0, 0));
    }
    void setCounts(const APMDailyCounts& values) {
        work([&] { ASSERT_TRUE(engine->database()->updateDailyCounts(values)); });
    }

    bool logged(long long code) {
        for (const auto& line : APMMeasurement::monitor().lines())
            if (line.messageCode == code) return true;
        return false;
    }
    // The codes of the "_err" events logged so far.
    std::vector<int64_t> errorCodes() {
        std::lock_guard lock(mutex);
        std::vector<int64_t> codes;
        for (const auto& e : internalEvents)
            if (e.name == "_err") codes.push_back(e.parameters.at("_err").int64Value());
        return codes;
    }
    std::vector<InternalEvent> internal() {
        std::lock_guard lock(mutex);
        return internalEvents;
    }

    MeasurementTempHome home;
    std::shared_ptr<APMPersistedConfig> settings;
    std::shared_ptr<APMMeasurement> engine;
    std::mutex mutex;
    std::vector<InternalEvent> internalEvents;
};

// The engine holds no stored event itself: what it (and the console) tells
// is read from the database, every metadata group and the queued bundles.
TEST_F(EngineWritePathTest, StoredEventsAreReadFromTheDatabaseOnly) {
    for (const char* name : {"one", "two", "three"}) write(event(name));
    ASSERT_EQ(engine->keptEvents().size(), 3u);
    work([&] {
        auto other = event("four");
        ASSERT_TRUE(engine->database()->insertRawEvent(other, 424242, false));
        auto bundle = APMPBMeasurementBundle::make();
        APMPBSetString(bundle.get(), 14, Value("1:2:mac:3"));
        const double now = sim::wallClockSeconds();
        APMPBSetInt64(bundle.get(), 5, APMMillisecondsFromSeconds(now));
        ASSERT_TRUE(engine->database()->insertBundle(*bundle, true, now, 3600, 3600));
    });
    const auto summary = engine->summary();
    std::vector<std::string> names;
    for (const auto& e : summary.storedEvents) names.push_back(e.name());
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two", "three", "four"}));
    ASSERT_EQ(summary.queuedBundles.size(), 1u);
    EXPECT_TRUE(summary.queuedBundles[0].realtime);
    EXPECT_NEAR(summary.queuedBundles[0].endTimestamp, sim::wallClockSeconds(), 0.001);
    EXPECT_GT(summary.queuedBundles[0].compressedBytes, 0);

    // Uploaded and deleted: nothing of them is left in memory.
    work([&] { ASSERT_TRUE(engine->database()->deleteRawEventsWithMaxRowID(INT64_MAX)); });
    EXPECT_TRUE(engine->keptEvents().empty());
    EXPECT_TRUE(engine->summary().storedEvents.empty());
}

TEST_F(EngineWritePathTest, CollectionSwitchedOffStoresNothing) {
    work([&] { engine->setEnabledOnWorkerQueue(false); });
    clearLogs();
    handle(event("level_up"));
    EXPECT_TRUE(stored().empty());
    EXPECT_TRUE(logged(23049));
    EXPECT_EQ(counts().allEventsCount(), 0);
}

TEST_F(EngineWritePathTest, Safelist) {
    struct Case {
        std::optional<std::vector<std::string>> safelist;
        std::string name;
        bool stored;
        bool marked;
    } cases[] = {
        {std::nullopt, "level_up", true, false},
        {std::vector<std::string>{}, "level_up", true, false},
        {std::vector<std::string>{"level_up"}, "level_up", true, true},
        {std::vector<std::string>{"level_up"}, "other_event", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (c.safelist ? " with a list" : ""));
        start(c.safelist);
        handle(event(c.name));
        const auto events = stored();
        ASSERT_EQ(events.size(), c.stored ? 1u : 0u);
        if (c.stored) {
            EXPECT_EQ(events[0].parameters.count("za_safelisted") == 1, c.marked);
        }
        if (c.marked) {
            EXPECT_EQ(events[0].parameters.at("za_safelisted").int64Value(), 1);
        }
        // A dropped event is not counted either.
        EXPECT_EQ(counts().allEventsCount(), c.stored ? 1 : 0);
        EXPECT_EQ(logged(23174), !c.stored);
    }
}

TEST_F(EngineWritePathTest, Blocklist) {
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, std::string>> switches;
        std::string name;
        bool stored;
        bool errorEvent;
    } cases[] = {
        {"listed, no switches", {}, "blocked_event", false, true},
        {"listed internal, no switches", {}, "_blocked", false, true},
        {"listed, public switch",
         {{"measurement.upload.blacklist_public", "1"}},
         "blocked_event",
         false,
         false},
        {"listed, internal switch",
         {{"measurement.upload.blacklist_internal", "1"}},
         "blocked_event",
         false,
         false},
        {"public switch blocks every public event",
         {{"measurement.upload.blacklist_public", "1"}},
         "level_up",
         false,
         false},
        {"public switch leaves internal events",
         {{"measurement.upload.blacklist_public", "1"}},
         "_internal",
         true,
         false},
        {"listed error event, no switches", {}, "_err", false, false},
        {"internal switch blocks internal events",
         {{"measurement.upload.blacklist_internal", "1"}},
         "_internal",
         false,
         false},
        {"not listed", {}, "level_up", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(std::nullopt);
        configure(c.switches, {{"blocked_event", true}, {"_blocked", true}, {"_err", true}});
        handle(event(c.name));
        EXPECT_EQ(storedNames().size(), c.stored ? 1u : 0u);
        EXPECT_EQ(logged(23052), !c.stored);
        EXPECT_EQ(errorCodes(), c.errorEvent ? std::vector<int64_t>{11} : std::vector<int64_t>{});
        if (c.errorEvent) {
            EXPECT_EQ(internal()[0].parameters.at("_ev").stringValue(), c.name);
        }
    }
}

TEST_F(EngineWritePathTest, DailyLimits) {
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, std::string>> limits;
        APMDailyCounts before;  // day -1 stands for today
        std::string name;
        bool stored;
        // After: all, public, error.
        int32_t all, publicCount, errors;
        long long loggedCode;  // 0: none of the overflow lines
        std::vector<int64_t> errorEvents;
    };
    const std::vector<std::pair<std::string, std::string>> maxAll = {
        {"measurement.upload.max_events_per_day", "3"}};
    const std::vector<Case> cases = {
        {"under the overall limit", maxAll, {-1, 0, 2, 2, 0, 0}, "level_up", true, 3, 3, 0, 0, {}},
        {"first over the overall limit",
         maxAll,
         {-1, 0, 3, 3, 0, 0},
         "level_up",
         false,
         4,
         4,
         0,
         23055,
         {}},
        {"second over the overall limit is not logged",
         maxAll,
         {-1, 0, 4, 4, 0, 0},
         "level_up",
         false,
         5,
         5,
         0,
         0,
         {}},
        {"thousandth over the overall limit is logged",
         maxAll,
         {-1, 0, 1003, 0, 0, 0},
         "_internal",
         false,
         1004,
         0,
         0,
         23055,
         {}},
        {"error event over the overall limit",
         maxAll,
         {-1, 0, 3, 0, 0, 0},
         "_err",
         false,
         4,
         0,
         1,
         23055,
         {}},
        {"yesterday's counts start again",
         maxAll,
         {0, 0, 3, 3, 3, 3},
         "level_up",
         true,
         1,
         1,
         0,
         0,
         {}},
        {"error event under its limit",
         {{"measurement.upload.max_error_events_per_day", "1"}},
         {-1, 0, 0, 0, 0, 0},
         "_err",
         true,
         1,
         0,
         1,
         0,
         {}},
        {"error event over its limit",
         {{"measurement.upload.max_error_events_per_day", "1"}},
         {-1, 0, 1, 0, 1, 0},
         "_err",
         false,
         1,
         0,
         2,
         23056,
         {}},
        {"public event over its limit",
         {{"measurement.upload.max_public_events_per_day", "1"}},
         {-1, 0, 1, 1, 0, 0},
         "level_up",
         false,
         1,
         2,
         0,
         23057,
         {16}},
        {"internal event ignores the public limit",
         {{"measurement.upload.max_public_events_per_day", "1"}},
         {-1, 0, 1, 1, 0, 0},
         "_internal",
         true,
         2,
         1,
         0,
         0,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(std::nullopt);
        configure(c.limits);
        const int32_t day = c.before.day() == -1 ? today() : today() - 1;
        setCounts(APMDailyCounts(day, c.before.conversionsCount(), c.before.allEventsCount(),
                                 c.before.publicEventsCount(), c.before.errorEventsCount(),
                                 c.before.realtimeCount()));
        clearLogs();
        APMRawParameters parameters;
        if (c.name == "_err") parameters = {{"_err", Value(3)}};
        handle(event(c.name, parameters));
        EXPECT_EQ(storedNames().size(), c.stored ? 1u : 0u);
        const APMDailyCounts after = counts();
        EXPECT_EQ(after.day(), today());
        EXPECT_EQ(after.allEventsCount(), c.all);
        EXPECT_EQ(after.publicEventsCount(), c.publicCount);
        EXPECT_EQ(after.errorEventsCount(), c.errors);
        for (long long code : {23055LL, 23056LL, 23057LL})
            EXPECT_EQ(logged(code), code == c.loggedCode) << code;
        EXPECT_EQ(errorCodes(), c.errorEvents);
    }
}

TEST_F(EngineWritePathTest, ArrayParametersCountEachElement) {
    configure({{"measurement.upload.max_public_events_per_day", "3"}});
    Array items;
    for (const char* id : {"a", "b", "c"})
        items.push_back(Value(Dictionary{{"item_id", Value(id)}}));
    handle(event("add_to_cart", {{"items", Value(items)}}));
    ASSERT_EQ(storedNames(), std::vector<std::string>{"add_to_cart"});
    APMDailyCounts after = counts();
    EXPECT_EQ(after.allEventsCount(), 4);
    EXPECT_EQ(after.publicEventsCount(), 4);
    // The public limit is now passed: the next one is dropped but raises
    // the public count by its own effective count, the total by one less.
    handle(event("add_to_cart", {{"items", Value(items)}}));
    EXPECT_EQ(storedNames().size(), 1u);
    after = counts();
    EXPECT_EQ(after.publicEventsCount(), 8);
    EXPECT_EQ(after.allEventsCount(), 7);
}

TEST_F(EngineWritePathTest, ConversionsAndRealtime) {
    struct Case {
        const char* label;
        std::string name;
        APMRawParameters parameters;
        int32_t realtimeCount;
        bool debug;
        bool realtime;
        bool conversionFlag;
        long long loggedCode;
    } cases[] = {
        {"conversion name under the real-time limit", "purchase", {}, 0, false, true, true, 0},
        {"conversion name at the real-time limit", "purchase", {}, 10, false, false, true, 0},
        {"exempt conversion at the limit", "_iap", {}, 10, false, true, true, 0},
        {"first open at the limit", "_f", {}, 10, false, true, true, 0},
        {"custom conversion under the limit", "custom_goal", {}, 0, false, true, false, 0},
        {"plain event", "level_up", {}, 0, false, false, false, 0},
        {"real-time flag kept under the limit",
         "level_up",
         {{"_r", Value(1)}},
         9,
         false,
         true,
         false,
         0},
        {"real-time flag removed at the limit",
         "level_up",
         {{"_r", Value(1)}},
         10,
         false,
         false,
         false,
         23060},
        {"debug mode makes everything real-time", "level_up", {}, 10, true, true, false, 23073},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(std::nullopt);
        configure({}, {{"custom_goal", false, true}});
        APMMeasurement::monitor().setDebugModeEnabled(c.debug);
        setCounts(APMDailyCounts(today(), 0, 0, 0, 0, c.realtimeCount));
        clearLogs();
        handle(event(c.name, c.parameters));
        APMMeasurement::monitor().setDebugModeEnabled(false);
        const auto events = stored();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].realtime, c.realtime);
        EXPECT_EQ(events[0].parameters.count("_c") == 1, c.conversionFlag);
        EXPECT_EQ(events[0].parameters.count("_dbg") == 1, c.debug);
        EXPECT_EQ(events[0].parameters.count("_r") == 1,
                  c.debug || (c.parameters.count("_r") && c.realtime));
        if (c.loggedCode) {
            EXPECT_TRUE(logged(c.loggedCode));
        }
        EXPECT_FALSE(logged(23060) && c.loggedCode != 23060);
        // Conversions and real-time events are counted at bundling.
        EXPECT_EQ(counts().conversionsCount(), 0);
        EXPECT_EQ(counts().realtimeCount(), c.realtimeCount);
    }
}

TEST_F(EngineWritePathTest, DistinctPublicNameLimit) {
    work([&] {
        for (int i = 0; i < 500; ++i) {
            auto aggregates =
                APMEventAggregates::initWithName("name_" + std::to_string(i), 0, 0, 0, 0);
            ASSERT_TRUE(aggregates);
            ASSERT_TRUE(engine->database()->updateEventAggregates(*aggregates));
        }
    });
    struct Case {
        std::string name;
        bool stored;
    } cases[] = {{"a_new_name", false}, {"name_7", true}, {"_new_internal", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearLogs();
        const int32_t before = counts().allEventsCount();
        const size_t storedBefore = stored().size();
        handle(event(c.name));
        EXPECT_EQ(stored().size(), storedBefore + (c.stored ? 1 : 0));
        EXPECT_EQ(logged(23065), !c.stored);
        EXPECT_EQ(errorCodes(), c.stored ? std::vector<int64_t>{} : std::vector<int64_t>{8});
        // A refused event rolls back its counting too.
        EXPECT_EQ(counts().allEventsCount(), before + (c.stored ? 1 : 0));
    }
}

TEST_F(EngineWritePathTest, AggregatesAndMetadataAreStoredOnce) {
    work([&] {
        auto attribute =
            APMUserAttribute::initWithOrigin("app", "favourite", APMValue::initWithInt64(3), 5);
        ASSERT_TRUE(attribute);
        ASSERT_TRUE(engine->database()->updateUserAttribute(*attribute));
    });
    handle(event("level_up"));
    handle(event("level_up"));
    handle(event("_internal"));
    const auto events = stored();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].fingerprint, events[1].fingerprint);
    EXPECT_EQ(events[1].fingerprint, events[2].fingerprint);
    work([&] {
        auto& store = engine->database()->store();
        auto rows =
            store.recordsForQuery("SELECT metadata_fingerprint FROM raw_events_metadata", Array{});
        ASSERT_TRUE(rows);
        ASSERT_EQ(rows->size(), 1u);
        EXPECT_EQ((*rows)[0]["metadata_fingerprint"].asInt(), events[0].fingerprint);
        auto metadata =
            engine->database()->queryRawEventsMetadataWithFingerprint(events[0].fingerprint);
        ASSERT_TRUE(metadata);
        EXPECT_EQ(APMDatabase::metadataFingerprint(*metadata), events[0].fingerprint);
        EXPECT_EQ(APMPBGetString(metadata.get(), 8), "macos");
        EXPECT_EQ(APMPBGetInt32(metadata.get(), 0), 1);
        EXPECT_EQ(APMPBGetInt64(metadata.get(), 17), APMIdentity::redIdizezadoduLibraryVersion());
        auto properties = APMPBGetArray(metadata.get(), 2, APMPBUserAttribute::classObject());
        ASSERT_TRUE(properties);
        bool found = false;
        for (const auto& p : *properties)
            found = found || APMPBGetString(p.message().get(), 1) == "favourite";
        EXPECT_TRUE(found);

        for (const char* name : {"level_up", "_internal"}) {
            auto aggregates = engine->database()->eventAggregatesWithName(name);
            ASSERT_TRUE(aggregates) << name;
            EXPECT_EQ(aggregates->lifetimeCount(), 0);
            EXPECT_EQ(aggregates->lastFireTimestamp(), 0);
        }
    });
    // A changed user property makes a new metadata record.
    work([&] {
        auto attribute =
            APMUserAttribute::initWithOrigin("app", "favourite", APMValue::initWithInt64(4), 6);
        ASSERT_TRUE(engine->database()->updateUserAttribute(*attribute));
    });
    handle(event("level_up"));
    const auto after = stored();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_NE(after[3].fingerprint, after[0].fingerprint);
}

TEST_F(EngineWritePathTest, SubscriptionDuplicates) {
    struct Case {
        std::string name;
        APMRawParameters parameters;
        bool stored;
    } cases[] = {
        {"_iap",
         {{"subscription", Value(1)}, {"_did", Value(77)}, {"product_id", Value("p")}},
         true},
        {"_iap",
         {{"subscription", Value(1)}, {"_did", Value(77)}, {"product_id", Value("p")}},
         false},
        {"_assr", {{"_did", Value(77)}}, false},
        {"_assc", {{"_did", Value(78)}}, true},
        {"_iap", {{"_did", Value(77)}}, true},     // not a subscription
        {"_assc", {{"_did", Value("78")}}, true},  // no numeric ID
    };
    size_t expected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearLogs();
        handle(event(c.name, c.parameters));
        if (c.stored) ++expected;
        EXPECT_EQ(stored().size(), expected);
        EXPECT_EQ(logged(23182), !c.stored);
    }
}

TEST_F(EngineWritePathTest, FeatureRollouts) {
    struct Case {
        const char* label;
        std::optional<std::string> storedBefore;
        APMRawParameters parameters;
        bool stored;
        std::optional<std::string> storedAfter;
    } cases[] = {
        {"nothing stored, none given", std::nullopt, {}, false, std::nullopt},
        {"nothing stored, empty given", std::nullopt, {{"_ffr", Value("")}}, false, std::nullopt},
        {"nothing stored, one given", std::nullopt, {{"_ffr", Value("r1")}}, true, "r1"},
        {"same as stored", "r1", {{"_ffr", Value("r1")}}, false, "r1"},
        {"different from stored", "r1", {{"_ffr", Value("r2")}}, true, "r2"},
        {"stored, none given", "r1", {}, true, std::nullopt},
        {"stored, number given", "r1", {{"_ffr", Value(5)}}, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(std::nullopt);
        settings->setReruzeraFeatureRollouts(c.storedBefore);
        handle(event("_ssr", c.parameters, "auto"));
        EXPECT_EQ(storedNames().size(), c.stored ? 1u : 0u);
        EXPECT_EQ(settings->reruzeraFeatureRollouts(), c.storedAfter);
    }

    // A session start is followed by the rollout value; an app exception
    // carries it.
    start(std::nullopt);
    settings->setReruzeraFeatureRollouts("r9");
    handle(event("_s", {}, "auto"));
    handle(event("_ae", {}, "auto"));
    const auto events = stored();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].name, "_s");
    EXPECT_EQ(events[1].name, "_ssr");
    EXPECT_EQ(events[1].parameters.at("_ffr").stringValue(), "r9");
    EXPECT_EQ(events[2].name, "_ae");
    EXPECT_EQ(events[2].parameters.at("_ffr").stringValue(), "r9");
    // Without a value a session start stands alone.
    start(std::nullopt);
    handle(event("_s", {}, "auto"));
    EXPECT_EQ(storedNames(), std::vector<std::string>{"_s"});
}

TEST_F(EngineWritePathTest, EventEditing) {
    auto owner = std::make_shared<int>(0);
    const auto editing =
        std::shared_ptr<APMPEventEditing>(owner, reinterpret_cast<APMPEventEditing*>(owner.get()));
    APMRemoteConfig::setEventEditingLoader(
        [&](const APMPBProgram&, const APMEventEditingModules&, NSError*) { return editing; });

    using Outcome = APMMeasurement::EventEditingOutcome;
    struct Case {
        const char* label;
        std::string eesSwitch;
        Outcome outcome;
        std::vector<std::string> storedNames;
        std::vector<std::string> origins;
        bool failureLogged;
    };
    const std::vector<Case> cases = {
        {"no change", "1", Outcome{}, {"level_up"}, {"app"}, false},
        {"failure keeps the event",
         "1",
         Outcome{true, std::nullopt, {}},
         {"level_up"},
         {"app"},
         true},
        {"edited",
         "1",
         Outcome{false, APMPEvent("level_down", 1, Dictionary{{"k", Value(1)}}), {}},
         {"level_down"},
         {"app"},
         false},
        {"discarded", "1", Outcome{false, APMPEvent("", 1, Dictionary{}), {}}, {}, {}, false},
        {"created events follow",
         "1",
         Outcome{false,
                 std::nullopt,
                 {APMPEvent("extra_one", 2, Dictionary{{"_o", Value("auto")}}),
                  APMPEvent("extra_two", 3, Dictionary{})}},
         {"level_up", "extra_one", "extra_two"},
         {"app", "auto", "app"},
         false},
        {"switched off",
         "0",
         Outcome{false, APMPEvent("level_down", 1, Dictionary{}), {}},
         {"level_up"},
         {"app"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(std::nullopt);
        configure({{"measurement.ees_feature_enabled", c.eesSwitch}}, {}, true);
        std::vector<std::string> seen;
        APMMeasurement::setEventEditingRunner([&](APMPEventEditing& handler, const APMPEvent& e) {
            EXPECT_EQ(&handler, editing.get());
            seen.push_back(e.name);
            return c.outcome;
        });
        clearLogs();
        handle(event("level_up"));
        EXPECT_EQ(storedNames(), c.storedNames);
        EXPECT_EQ(seen, c.eesSwitch == "1" ? std::vector<std::string>{"level_up"}
                                           : std::vector<std::string>{});
        EXPECT_EQ(logged(23223), c.failureLogged);
        std::vector<std::string> origins;
        for (const auto& k : engine->keptEvents()) origins.push_back(k.origin());
        EXPECT_EQ(origins, c.origins);
    }
}

TEST_F(EngineWritePathTest, FirstOpenCounter) {
    struct Case {
        std::optional<std::string> before;
        int firstOpens;
        std::string after;
    } cases[] = {
        {std::nullopt, 3, "3"},
        {"0", 1, "1"},
        {"-4", 1, "1"},
        {"not a number", 1, "1"},
        {"41", 1, "42"},
        {"9223372036854775806", 2, "9223372036854775807"},
        {"9223372036854775807", 1, "9223372036854775807"},
        {"99999999999999999999", 1, "9223372036854775807"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before.value_or("none"));
        start(std::nullopt);
        if (c.before) {
            ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue(*c.before, "_pfo", bundleID()));
        }
        for (int i = 0; i < c.firstOpens; ++i) handle(event("_f", {}, "auto"));
        // Other events leave it alone.
        handle(event("level_up"));
        EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID()), c.after);
    }
    // A first open that is not stored does not count.
    start(std::nullopt);
    configure({{"measurement.upload.max_events_per_day", "0"}});
    handle(event("_f", {}, "auto"));
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID()), std::nullopt);
}

TEST_F(EngineWritePathTest, FailedLifetimeValueRollsTheEventBack) {
    handle(event("purchase", {{"currency", Value("USD")}, {"value", Value(1e13)}}));
    EXPECT_TRUE(stored().empty());
    EXPECT_TRUE(logged(23053));
    EXPECT_EQ(counts().allEventsCount(), 0);
    handle(event("purchase", {{"currency", Value("USD")}, {"value", Value(2.5)}}));
    EXPECT_EQ(storedNames(), std::vector<std::string>{"purchase"});
    std::optional<APMUserAttribute> total;
    work([&] { total = engine->database()->userAttributeWithName("_ltv_USD"); });
    ASSERT_TRUE(total);
    EXPECT_EQ(total->value().int64Value(), 2500000);
}

TEST_F(EngineWritePathTest, InternalEventsGetDefaultsAndReachListeners) {
    settings->setDefaultEventParameters(Dictionary{{"shared", Value("yes")}});
    std::vector<std::string> notified;
    APMMeasurement::setEventListenerNotifier(
        [&](const APMEvent& e) { notified.push_back(e.name()); });
    work([&] {
        engine->handleInternalEventOnWorkerQueue(event("_internal", {}, "auto"));
        engine->handleInternalEventOnWorkerQueue(event("_err", {{"_err", Value(3)}}, "auto"));
    });
    const auto events = stored();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].parameters.at("shared").stringValue(), "yes");
    EXPECT_EQ(events[1].parameters.count("shared"), 0u);
    EXPECT_EQ(notified, (std::vector<std::string>{"_internal", "_err"}));
}

TEST_F(EngineWritePathTest, AdPlatformEvents) {
    struct Case {
        std::string origin;
        std::string name;
        bool adPlatform;
    } cases[] = {{"zd", "level_up", true},
                 {"app", "_xa", true},
                 {"auto", "_xu", true},
                 {"app", "level_up", false}};
    for (const auto& c : cases)
        EXPECT_EQ(APMMeasurement::isAdPlatformEvent(event(c.name, {}, c.origin)), c.adPlatform)
            << c.origin << " " << c.name;
}

}  // namespace

namespace {

// The platform's answers, as the test sets them.
struct FakeIdentitySupport : APMIdentitySupport {
    bool linked = true;
    std::optional<std::int64_t> status = 3;
    bool limited = false;
    std::optional<std::string> deviceID = "11111111-2222-3333-4444-555555555555";
    bool hasAppDataConsentStatus() override { return status.has_value(); }
    std::int64_t appDataConsentStatus() override { return status.value_or(0); }
    bool hasLimitedAdTracking() override { return linked; }
    bool limitedAdTracking() override { return limited; }
    std::optional<std::string> resettableDeviceID() override { return deviceID; }
};

TEST(EngineBundleMetadata, IdentityAndConsentFill) {
    MeasurementTempHome home;
    sim::useVirtualClock();
    const std::string device = "11111111-2222-3333-4444-555555555555";
    struct Case {
        const char* label;
        std::optional<std::string> signals;
        bool linked;
        std::optional<std::int64_t> status;  // the platform's 0 to 3
        bool gate;
        std::optional<std::string> presetDevice;
        std::optional<std::string> presetSignals;
        // Expected.
        std::optional<std::string> deviceID;
        bool instanceID;
        std::optional<std::int32_t> consentStatus;
        std::optional<std::string> consentSignals;
        bool limitedAdTrackingField;
    };
    const std::vector<Case> cases = {
        {"everything granted", "G111", true, 3, false, {}, {}, device, true, 3, "G111", true},
        {"ad storage denied", "G101", true, 3, false, {}, {}, {}, true, 3, "G101", true},
        {"analytics storage denied",
         "G110",
         true,
         3,
         false,
         {},
         {},
         device,
         false,
         3,
         "G110",
         true},
        {"tracking denied, gate on", "G111", true, 2, true, {}, {}, {}, true, 2, "G111", true},
        {"tracking denied, gate off",
         "G111",
         true,
         2,
         false,
         {},
         {},
         device,
         true,
         2,
         "G111",
         true},
        {"no tracking support", "G111", false, {}, false, {}, {}, {}, true, {}, "G111", false},
        {"an earlier device ID stays",
         "G111",
         true,
         3,
         false,
         "kept",
         {},
         "kept",
         true,
         3,
         "G111",
         true},
        {"empty signals clear the field",
         "",
         true,
         3,
         false,
         {},
         "G100",
         device,
         true,
         3,
         {},
         true},
        {"short signals leave the field",
         "G1",
         true,
         3,
         false,
         {},
         "G100",
         device,
         true,
         3,
         "G100",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto settings = APMPersistedConfig::initWithSuiteName("com.test.fill");
        settings->setAppInstanceID("instance-1");
        auto support = std::make_shared<FakeIdentitySupport>();
        support->linked = c.linked;
        support->status = c.status;
        auto identity = APMIdentity::initWithPersistedConfig(settings, support);
        ASSERT_TRUE(identity);
        auto bundle = APMPBMeasurementBundle::make();
        if (c.presetDevice) APMPBSetString(bundle.get(), 19, Value(*c.presetDevice));
        if (c.presetSignals) APMPBSetString(bundle.get(), 40, Value(*c.presetSignals));
        APMMeasurement::fillIdentityAndConsent(*bundle, c.signals, c.gate, *identity);
        EXPECT_EQ(APMPBGetString(bundle.get(), 19), c.deviceID);
        EXPECT_EQ(APMPBGetString(bundle.get(), 22).has_value(), c.instanceID);
        EXPECT_EQ(APMPBHasField(bundle.get(), 41), c.consentStatus.has_value());
        if (c.consentStatus) {
            EXPECT_EQ(APMPBGetInt32(bundle.get(), 41), *c.consentStatus);
        }
        EXPECT_EQ(APMPBGetString(bundle.get(), 40), c.consentSignals);
        EXPECT_EQ(APMPBHasField(bundle.get(), 21), c.limitedAdTrackingField);
        settings->clearValues();
    }
    sim::useRealClock();
}

}  // namespace

TEST_F(EngineWritePathTest, ConsentedFirstOpen) {
    // Without a device identifier a stored first open is remembered as
    // unmatched.
    handle(event("_f", {}, "auto"));
    EXPECT_TRUE(settings->unmatchedFirstOpenWithoutIDFA());
    // Once consented, a real-time "_fx" follows with the given time.
    const double openedAt = sim::wallClockSeconds() - 60;
    work([&] { engine->logFirstOpenConsentedEvent(openedAt); });
    work([] {});
    EXPECT_FALSE(settings->unmatchedFirstOpenWithoutIDFA());
    const auto events = stored();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].name, "_fx");
    EXPECT_TRUE(events[1].realtime);
    const auto kept = engine->keptEvents();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].timestamp(), openedAt);
    EXPECT_EQ(kept[1].origin(), "auto");
}

TEST_F(EngineWritePathTest, BackgroundSessions) {
    ASSERT_TRUE(engine->sessionReporter());
    struct Case {
        const char* label;
        double secondsSinceActivity;
        APMRawParameters parameters;
        bool sessionPropertiesKept;
        std::vector<std::string> storedNames;
        bool activityIsNow;
        bool reservedLogged;
    };
    const std::vector<Case> cases = {
        {"expired: session properties go", 3600, {}, false, {"level_up"}, false, false},
        {"active session: nothing changes", 100, {}, true, {"level_up"}, false, false},
        {"expired, extension asked: a background session starts",
         3600,
         {{"extend_session", Value(1)}},
         true,
         {"_s", "level_up"},
         true,
         false},
        {"active session, extension asked: extended",
         100,
         {{"extend_session", Value(1)}},
         true,
         {"level_up"},
         true,
         false},
        {"another extension value is only logged",
         100,
         {{"extend_session", Value(2)}},
         true,
         {"level_up"},
         false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        start(std::nullopt);
        const double now = sim::wallClockSeconds();
        settings->setLastSessionActivityClockTime(now - c.secondsSinceActivity);
        work([&] {
            for (const char* name : {"_sid", "_sno", "_se"}) {
                auto property =
                    APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(1), 1);
                ASSERT_TRUE(property);
                ASSERT_TRUE(engine->database()->updateUserAttribute(*property));
            }
        });
        handle(event("level_up", c.parameters));
        EXPECT_EQ(storedNames(), c.storedNames);
        work([&] {
            for (const char* name : {"_sno", "_se"})
                EXPECT_EQ(engine->database()->userAttributeWithName(name).has_value(),
                          c.sessionPropertiesKept)
                    << name;
        });
        EXPECT_EQ(settings->lastSessionActivityClockTime() == now, c.activityIsNow);
        EXPECT_EQ(logged(23179), c.reservedLogged);
    }
}
