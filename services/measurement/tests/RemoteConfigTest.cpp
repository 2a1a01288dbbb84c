#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";

struct EventSetting {
    std::string name;
    std::optional<bool> blocklisted;
    std::optional<bool> conversion;
    std::optional<int> samplingRate;
};

std::shared_ptr<APMPBMeasurementConfig> makeConfig(
    const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings,
    const std::vector<EventSetting>& events = {}, std::optional<long long> version = std::nullopt) {
    auto config = APMPBMeasurementConfig::make();
    if (!appID.empty()) APMPBSetString(config.get(), 1, Value(appID));
    if (version) APMPBSetInt64(config.get(), 0, *version);
    std::vector<APMPBObject> list;
    for (const auto& [name, value] : settings) {
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
        if (e.blocklisted) APMPBSetBool(event.get(), 1, *e.blocklisted);
        if (e.conversion) APMPBSetBool(event.get(), 2, *e.conversion);
        if (e.samplingRate) APMPBSetInt32(event.get(), 3, *e.samplingRate);
        eventList.emplace_back(event);
    }
    APMPBSetArray(config.get(), 4, eventList);
    return config;
}

void addProgram(APMPBMeasurementConfig& config) {
    std::vector<APMPBObject> programs{APMPBObject(APMPBProgram::make())};
    APMPBSetArray(&config, 8, programs);
}

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

// An experiments client whose answers the test scripts.
struct FakeExperiments : APMRemoteConfigExperiments {
    std::map<std::string, Value> flags;
    bool activationSucceeds = true;
    int activations = 0;
    int resets = 0;
    Dictionary registeredFlags;
    std::weak_ptr<APMRemoteConfig> delegate;
    std::optional<Value> flagValue(const std::string& flag) override {
        auto it = flags.find(flag);
        if (it == flags.end()) return std::nullopt;
        return it->second;
    }
    bool activateLatestSnapshot(NSError* error) override {
        ++activations;
        if (!activationSucceeds && error) *error = NSError("Experiments", 7);
        return activationSucceeds;
    }
    std::vector<std::int64_t> experimentIDs() override { return {3, 9}; }
    void reset() override { ++resets; }
};

class RemoteConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        database = APMDatabase::initWithDatabaseName("config.sql", nullptr);
        ASSERT_TRUE(database);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        APMRemoteConfig::setEngineInstance(nullptr);
        APMRemoteConfig::setEventEditingLoader(nullptr);
        APMConsentSettingsUtil::setConsentSettings(std::nullopt);
        APMIdentifiers::sharedInstance().resetOriginForTesting();
        sim::useRealClock();
    }
    std::shared_ptr<APMRemoteConfig> make(
        const APMRemoteConfigExperimentsFactory& experiments = nullptr) {
        return APMRemoteConfig::initWithAppID(kAppID, database.get(), experiments);
    }
    // A fresh instance holding one setting.
    std::shared_ptr<APMRemoteConfig> withSetting(const std::string& key, const std::string& value) {
        auto config = make();
        config->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, {{key, value}}));
        return config;
    }
    APMRemoteConfigExperimentsFactory factory(std::shared_ptr<FakeExperiments> fake) {
        return [fake](std::int64_t version, const Dictionary& flags,
                      std::weak_ptr<APMRemoteConfig> delegate)
                   -> std::shared_ptr<APMRemoteConfigExperiments> {
            EXPECT_EQ(version, 40103);
            fake->registeredFlags = flags;
            fake->delegate = delegate;
            return fake;
        };
    }

    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

enum class Reader { Seconds, Int, Int64, Switch };

struct Tunable {
    const char* name;
    std::function<double(APMRemoteConfig&)> read;
    const char* key;
    Reader reader;
    double defaultValue;
    double lower;
    double upper;
};

#define SECONDS(accessor, key, def, lo, hi)                                                     \
    {                                                                                           \
#accessor, [](APMRemoteConfig & c) { return c.accessor(); }, key, Reader::Seconds, def, \
                                                                  lo, hi                        \
    }
#define INT(accessor, key, def, lo, hi)                                                        \
    {                                                                                          \
#accessor, [](APMRemoteConfig & c) { return double(c.accessor()); }, key, Reader::Int, \
                                                                          def, lo, hi          \
    }
#define INT64(accessor, key, def, lo, hi)                                                        \
    {                                                                                            \
#accessor, [](APMRemoteConfig & c) { return double(c.accessor()); }, key, Reader::Int64, \
                                                                          def, lo, hi            \
    }
#define SWITCH(accessor, key, def)                                                                 \
    {                                                                                              \
#accessor, [](APMRemoteConfig & c) { return c.accessor() ? 1.0 : 0.0; }, key,              \
                                                                              Reader::Switch, def, \
                                                                              0, 1                 \
    }

const std::vector<Tunable>& tunables() {
    static const std::vector<Tunable> all = {
        SECONDS(uploadingInterval, "measurement.upload.interval", 3600, 15, 86400),
        SECONDS(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", 15,
                1, 86400),
        SECONDS(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", 1, 1, 15),
        SECONDS(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", 10, 10,
                15),
        SECONDS(uploadingBackoffInterval, "measurement.upload.backoff_period", 43200, 3600, 604800),
        INT(uploadingRetryCount, "measurement.upload.retry_count", 6, 1, 24),
        SECONDS(uploadingRetryInterval, "measurement.upload.retry_time", 1800, 60, 86400),
        INT64(uploadMaxBundlesLimit, "measurement.upload.max_bundles", 100, 1, 10000),
        INT64(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", 1000, 1,
              1000000),
        INT64(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", 65536, 0, 10485760),
        INT(maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration",
            100, 1, 10000),
        SWITCH(checksumEnabled, "measurement.quality.checksum", 0),
        SECONDS(networkTimeout, "measurement.network.network_timeout", 60, 30, 3600),
        SECONDS(remoteConfigCacheTimeInterval, "measurement.config.cache_time", 3600, 60, 86400),
        INT(maxEventsStored, "measurement.store.max_stored_events_per_app", 100000, 0, 1000000),
        SECONDS(maxQueueTime, "measurement.upload.max_queue_time", 2419200, 604800, 7862400),
        SECONDS(databaseDeleteStaleBundlesInterval,
                "measurement.upload.stale_data_deletion_interval", 86400, 3600, 604800),
        INT(maxEventsPerDay, "measurement.upload.max_events_per_day", 100000, 0, 1000000),
        INT(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", 50000, 0,
            1000000),
        INT(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", 1000, 0, 1000000),
        INT(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", 10000, 0, 1000000),
        INT(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", 10, 0,
            10),
        SWITCH(configurableLimitsEnabled, "measurement.upload.configurable_limits_enabled", 1),
        INT(maxPublicUserProperties, "measurement.upload.max_public_user_properties", 25, 25, 100),
        INT(maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", 500, 500,
            2000),
        INT(maxPublicEventParams, "measurement.upload.max_public_event_params", 25, 25, 100),
        INT(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", 4, 1, 100),
        INT(maxAudienceCount, "measurement.audience.max_count", 50, 0, 500),
        INT(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", 10, 0,
            100),
        INT(maxFilterResultCount, "measurement.audience.filter_result_max_count", 200, 0, 2000),
        INT(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", 25, 0, 250),
        SECONDS(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", 1800,
                0, 86400),
        SECONDS(sessionDefaultMinimumInterval, "measurement.session.default_minimum_interval", 10,
                0, 86400),
        SECONDS(sessionEventUserEngagementInterval,
                "measurement.session.event_user_engagement_interval", 3600, 0, 86400),
        SWITCH(appBackgroundedEventEnabled, "measurement.lifecycle.app_backgrounded_tracking", 1),
        SWITCH(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter",
               1),
        SECONDS(adIDCacheTime, "measurement.ad_id_cache_time", 1, 0, 86400),
        SWITCH(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", 0),
        SWITCH(lastAdvertisingIDResetFeatureEnabled,
               "measurement.last_advertising_id_reset_feature_enabled", 1),
        SWITCH(isConsentSettingsEnabled, "measurement.api.consent_settings", 1),
        SWITCH(isConsentSettings3PEnabled, "measurement.api.consent_settings_3p", 1),
        SWITCH(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", 1),
        INT(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", 5, 0, 10),
        SECONDS(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", 604800, 86400,
                2592000),
        SWITCH(isEventSamplingEnabled, "measurement.event_sampling_enabled", 0),
        INT(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes",
            0, -900, 900),
        SWITCH(blocklistInternal, "measurement.upload.blacklist_internal", 0),
        SWITCH(blocklistPublic, "measurement.upload.blacklist_public", 0),
        SWITCH(eesFeatureEnabled, "measurement.ees_feature_enabled", 1),
        SECONDS(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", 86400, 0,
                604800),
        SWITCH(efficientEngagementReportingEnabled,
               "measurement.collection.efficient_engagement_reporting_enabled", 0),
        SWITCH(redundantEngagementRemovalEnabled,
               "measurement.collection.redundant_engagement_removal_enabled", 0),
        SWITCH(nonBlockingAppInstanceIDEnabled, "measurement.non_blocking_app_instance_id_enabled",
               0),
        SWITCH(persistentConfigInApplicationSupportEnabled,
               "measurement.persistent_config_in_application_support_enabled", 0),
        SWITCH(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled",
               0),
    };
    return all;
}

// The setting text that makes a reader answer `value`.
std::string settingFor(Reader reader, double value) {
    if (reader == Reader::Seconds) return std::to_string(std::llround(value * 1000));
    return std::to_string(std::llround(value));
}

}  // namespace

TEST_F(RemoteConfigTest, EveryTunableHasItsDefaultAndBounds) {
    for (const auto& t : tunables()) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(t.read(*APMRemoteConfig::defaultInstance()), t.defaultValue);
        EXPECT_EQ(t.read(*make()), t.defaultValue);
        const double step = t.reader == Reader::Seconds ? 0.001 : 1;
        struct Case {
            std::string setting;
            double expected;
        };
        const Case cases[] = {
            {settingFor(t.reader, t.lower), t.lower},
            {settingFor(t.reader, t.upper), t.upper},
            {settingFor(t.reader, t.lower - step), t.defaultValue},
            {settingFor(t.reader, t.upper + step), t.defaultValue},
            {"not a number", t.defaultValue},
        };
        for (const auto& c : cases) {
            EXPECT_EQ(t.read(*withSetting(t.key, c.setting)), c.expected) << c.setting;
        }
    }
}

TEST_F(RemoteConfigTest, TypedReadsBoundOnceAndKeepTheNumber) {
    struct Case {
        std::string setting;
        double seconds;
    };
    const Case cases[] = {
        {"600000", 600},
        {"5000", 3600},
        {"abc", 3600},
        {"15000", 15},
        {"86400000", 86400},
        {"15999.9", 15.999},
        {"99999999999999999999", 3600},
        {"", 3600},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(withSetting("measurement.upload.interval", c.setting)->uploadingInterval(),
                  c.seconds)
            << c.setting;
    }
    // The first read decides; a second read with other bounds keeps it.
    auto config = withSetting("k", "70");
    EXPECT_EQ(config->intValueFromCacheWithKey("k", 1, 100, 0), 70);
    EXPECT_EQ(config->intValueFromCacheWithKey("k", 2, 10, 0), 70);
    EXPECT_EQ(config->intValueFromCacheWithKey("absent", 5, 10, 0), 5);
    EXPECT_EQ(config->intValueFromCacheWithKey("absent", 6, 10, 0), 5);
    // Whole numbers beyond a double's precision stay exact.
    EXPECT_EQ(withSetting("big", "9007199254740993")->int64ValueFromCacheWithKey("big", 0),
              9007199254740993LL);

    APMMeasurement::monitor().clearLines();
    EXPECT_EQ(config->intValueFromCacheWithKey("", 5, 10, 0), 0);
    EXPECT_TRUE(logged(29020));
    EXPECT_FALSE(config->cacheValue(std::nullopt, "k"));
    EXPECT_TRUE(logged(29019));
    config->cacheValue(Value(Data{1}), "data");
    EXPECT_EQ(config->intValueFromCacheWithKey("data", 4, 10, 0), 4);
    EXPECT_TRUE(logged(29018));
}

TEST_F(RemoteConfigTest, ConfigurableLimitsCanBeSwitchedOff) {
    auto config = make();
    config->parseRemoteConfigFromMeasurementConfig(
        *makeConfig(kAppID, {{"measurement.upload.configurable_limits_enabled", "0"},
                             {"measurement.upload.max_public_event_params", "50"},
                             {"measurement.upload.max_public_user_properties", "50"},
                             {"measurement.upload.max_event_name_cardinality", "1000"}}));
    EXPECT_EQ(config->maxPublicEventParams(), 25);
    EXPECT_EQ(config->maxPublicUserProperties(), 25);
    EXPECT_EQ(config->maxEventNameCardinality(), 500);
}

TEST_F(RemoteConfigTest, UpdatesAreCheckedStoredAndLoaded) {
    const auto good = makeConfig(kAppID, {{"measurement.upload.retry_count", "9"}}, {}, 12);
    APMPBSetString(good.get(), 6, Value("zodor-1"));
    struct Case {
        std::shared_ptr<APMPBMeasurementConfig> config;
        std::optional<std::string> origin;
        bool accepted;
        long long code;
    };
    const Case cases[] = {
        {nullptr, std::nullopt, false, 29003},
        {makeConfig("other-app", {{"measurement.upload.retry_count", "9"}}), std::nullopt, false,
         29004},
        {good, "zd", false, 29022},
        {good, "ra", true, 29014},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        if (c.origin) APMIdentifiers::sharedInstance().setOrigin(*c.origin);
        auto config = make();
        EXPECT_EQ(config->updateMeasurementConfig(c.config), c.accepted);
        EXPECT_TRUE(logged(c.code)) << c.code;
        EXPECT_EQ(config->uploadingRetryCount(), c.accepted ? 9 : 6);
        EXPECT_EQ(config->version(), c.accepted ? 12 : -1);
    }
    // A matching ZoDor app ID passes with origin "zd".
    auto zoDor = makeConfig(kAppID, {{"measurement.upload.retry_count", "8"}});
    APMPBSetString(zoDor.get(), 6, Value(kAppID));
    APMIdentifiers::sharedInstance().setOrigin("zd");
    EXPECT_TRUE(make()->updateMeasurementConfig(zoDor));
    APMIdentifiers::sharedInstance().setOrigin("ra");

    // A new instance loads what was stored last.
    auto loaded = make();
    EXPECT_EQ(loaded->uploadingRetryCount(), 8);
    ASSERT_TRUE(loaded->remoteConfigProto());

    // The default instance refuses to store, load or date.
    APMMeasurement::monitor().clearLines();
    auto defaults = APMRemoteConfig::defaultInstance();
    EXPECT_TRUE(defaults->isDefaultInstance());
    EXPECT_FALSE(defaults->updateMeasurementConfig(good));
    EXPECT_FALSE(defaults->measurementConfigFromDatabase());
    EXPECT_EQ(defaults->lastRemoteConfigUpdateTimestamp(), 0);
    EXPECT_FALSE(defaults->isExpired());
    for (long long code : {29002, 29015, 29008, 29007}) EXPECT_TRUE(logged(code)) << code;
    EXPECT_FALSE(APMRemoteConfig::initWithAppID("", database.get()));
    EXPECT_FALSE(APMRemoteConfig::initWithAppID(kAppID, nullptr));
    EXPECT_TRUE(logged(29000));
    EXPECT_TRUE(logged(29001));
}

TEST_F(RemoteConfigTest, StoredConfigurationOfAnotherAppLeavesDefaults) {
    auto foreign = makeConfig("other-app", {{"measurement.upload.retry_count", "9"}});
    ASSERT_TRUE(database->updateRemoteConfig(*foreign, 1.0));
    auto config = make();
    EXPECT_EQ(config->uploadingRetryCount(), 6);
    // An empty settings list changes nothing either.
    APMMeasurement::monitor().clearLines();
    auto set = withSetting("measurement.upload.retry_count", "3");
    set->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, {}));
    EXPECT_TRUE(logged(29012));
    EXPECT_EQ(set->uploadingRetryCount(), 3);
}

TEST_F(RemoteConfigTest, PerEventConfiguration) {
    auto config = make();
    config->parseRemoteConfigFromMeasurementConfig(
        *makeConfig(kAppID, {{"measurement.upload.blacklist_internal", "1"}},
                    {{"first_open", true, true, 4},
                     {"custom", false, false, 65535},
                     {"_x", std::nullopt, std::nullopt, 65536},
                     {"one", std::nullopt, std::nullopt, 1},
                     {"zero", std::nullopt, std::nullopt, 0},
                     {"negative", std::nullopt, std::nullopt, -3},
                     {"", true, std::nullopt, std::nullopt}}));
    EXPECT_TRUE(logged(29013));
    EXPECT_FALSE(config->eventConfigWithName("first_open"));
    ASSERT_TRUE(config->eventConfigWithName("_f"));
    struct Case {
        const char* name;
        bool blocklisted;
        bool conversion;
        bool hasRate;
        int rate;
    };
    const Case cases[] = {
        {"_f", true, true, true, 4},         {"custom", false, false, true, 65535},
        {"_x", true, false, true, 1},        {"one", false, false, true, 1},
        {"zero", false, false, true, 1},     {"negative", false, false, true, 1},
        {"unknown", false, false, false, 1}, {"_internal", true, false, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(config->isEventBlocklisted(c.name), c.blocklisted);
        EXPECT_EQ(config->isEventCustomConversion(c.name), c.conversion);
        EXPECT_EQ(config->eventHasSamplingRate(c.name), c.hasRate);
        EXPECT_EQ(config->samplingRateForEvent(c.name), c.rate);
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(config->eventConfigWithName(""));
    EXPECT_TRUE(logged(29006));
}

// An answer of 50,000 unnamed event configurations, and settings without a
// name or a value: each list's refusals are one monitored line with their
// count, when the answer is taken and when it is loaded again. Each unnamed
// configuration carries a sampling rate, as wholly empty ones in such numbers
// would be refused by the decoder before they are read.
TEST_F(RemoteConfigTest, RefusedEntriesOfAnAnswerAreLoggedOnceWithTheirCount) {
    constexpr long long kUnnamedEvents = 50000;
    constexpr long long kRefusedSettings = 2000;
    auto built = makeConfig(kAppID, {{"measurement.upload.retry_count", "9"}},
                            {{"first_open", true, std::nullopt, std::nullopt}});
    auto settings = *APMPBGetRepeatedField(built.get(), 3, APMPBSetting::classObject());
    for (long long i = 0; i < kRefusedSettings; ++i) {
        auto setting = APMPBSetting::make();
        if (i % 2) APMPBSetString(setting.get(), 0, Value("measurement.no_value"));
        settings.emplace_back(setting);
    }
    APMPBSetArray(built.get(), 3, settings);
    auto events = *APMPBGetRepeatedField(built.get(), 4, APMPBEventConfig::classObject());
    for (long long i = 0; i < kUnnamedEvents; ++i) {
        auto event = APMPBEventConfig::make();
        APMPBSetInt32(event.get(), 3, 100000);
        events.emplace_back(event);
    }
    APMPBSetArray(built.get(), 4, events);
    const auto answer = APMPBMeasurementConfig::initWithBuffer(*built->protoBuffer());
    ASSERT_TRUE(answer);

    auto linesOf = [](long long code) {
        std::vector<APMMonitorLine> found;
        for (const auto& line : APMMeasurement::monitor().lines()) {
            if (line.messageCode == code) found.push_back(line);
        }
        return found;
    };
    auto expectOneLineEach = [&] {
        for (auto [code, count] :
             {std::pair{29013LL, kUnnamedEvents}, std::pair{29019LL, kRefusedSettings}}) {
            const auto lines = linesOf(code);
            ASSERT_EQ(lines.size(), 1u) << code;
            ASSERT_EQ(lines[0].contexts.size(), 1u) << code;
            EXPECT_EQ(lines[0].contexts[0], Value(count)) << code;
        }
    };
    APMMeasurement::monitor().clearLines();
    auto config = make();
    ASSERT_TRUE(config->updateMeasurementConfig(answer));
    expectOneLineEach();
    EXPECT_EQ(config->uploadingRetryCount(), 9);
    EXPECT_TRUE(config->isEventBlocklisted("_f"));

    APMMeasurement::monitor().clearLines();
    auto loaded = make();
    expectOneLineEach();
    EXPECT_EQ(loaded->uploadingRetryCount(), 9);
    EXPECT_TRUE(loaded->isEventBlocklisted("_f"));
}

TEST_F(RemoteConfigTest, EventEditingProgramsAreLoadedThroughTheLoader) {
    auto owner = std::make_shared<int>(0);
    const auto editing =
        std::shared_ptr<APMPEventEditing>(owner, reinterpret_cast<APMPEventEditing*>(owner.get()));
    std::optional<std::string> seen;
    Dictionary metadata;
    APMRemoteConfig::setEventEditingLoader(
        [&](const APMPBProgram&, const APMEventEditingModules& modules, NSError*) {
            seen = modules.remoteConfigValue("measurement.upload.retry_count");
            metadata = modules.appMetadata;
            return editing;
        });
    auto withProgram = makeConfig(kAppID, {{"measurement.upload.retry_count", "7"}});
    addProgram(*withProgram);
    auto config = make();
    config->parseRemoteConfigFromMeasurementConfig(*withProgram);
    EXPECT_EQ(config->eventEditing(), editing);
    EXPECT_EQ(seen, "7");
    EXPECT_EQ(metadata["platform"], Value("macos"));
    EXPECT_EQ(metadata["ruv_version"], Value(40103));
    EXPECT_TRUE(logged(29027));
    // A configuration without programs keeps the loaded one.
    config->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, {{"a", "1"}}));
    EXPECT_EQ(config->eventEditing(), editing);
    // A program that does not load leaves none.
    APMRemoteConfig::setEventEditingLoader(
        [](const APMPBProgram&, const APMEventEditingModules&, NSError*) {
            return std::shared_ptr<APMPEventEditing>();
        });
    config->parseRemoteConfigFromMeasurementConfig(*withProgram);
    EXPECT_FALSE(config->eventEditing());
    EXPECT_TRUE(logged(29026));
}

TEST_F(RemoteConfigTest, ExpiresAfterTheCacheTime) {
    auto config = make();
    EXPECT_TRUE(config->isExpired());  // nothing stored: last update 0
    ASSERT_TRUE(config->updateMeasurementConfig(
        makeConfig(kAppID, {{"measurement.config.cache_time", "120000"}})));
    EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), sim::wallClockSeconds());
    EXPECT_FALSE(config->isExpired());
    sim::advanceClock(sim::seconds(119));
    EXPECT_FALSE(config->isExpired());
    sim::advanceClock(sim::seconds(1));
    EXPECT_TRUE(config->isExpired());
}

TEST_F(RemoteConfigTest, FetchURL) {
    auto config = make();
    const auto url = config->remoteConfigURLWithAppInstanceID("ABC", "ios", 40103, 7);
    ASSERT_TRUE(url);
    const std::string base =
        std::string("https://measurement.zevera.example/config/app/") + kAppID + "?";
    EXPECT_EQ(url->rfind(base, 0), 0u) << *url;
    for (const char* pair :
         {"app_instance_id=ABC", "platform=ios", "runtime_version=7", "ruv_version=40103"}) {
        EXPECT_NE(url->find(pair), std::string::npos) << pair;
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(config->remoteConfigURLWithAppInstanceID(std::nullopt, "ios", 1, 1));
    EXPECT_FALSE(config->remoteConfigURLWithAppInstanceID("ABC", std::nullopt, 1, 1));
    EXPECT_TRUE(logged(29010));

    APMConsentSettingsUtil::setConsentSettings(Dictionary{{"analytics_storage", "denied"}});
    const auto denied = config->remoteConfigURLWithAppInstanceID("ABC", "ios", 1, 1);
    ASSERT_TRUE(denied);
    EXPECT_NE(denied->find("app_instance_id=&"), std::string::npos) << *denied;
    EXPECT_TRUE(config->remoteConfigURLWithAppInstanceID(std::nullopt, "ios", 1, 1));
}

TEST_F(RemoteConfigTest, ExperimentsDecideTheirSwitches) {
    auto fake = std::make_shared<FakeExperiments>();
    fake->activationSucceeds = false;
    APMMeasurement::monitor().clearLines();
    auto config = APMRemoteConfig::initWithAppID(
        kAppID, database.get(),
        makeConfig(kAppID, {{"measurement.collection.efficient_engagement_reporting_enabled", "1"},
                            {"measurement.non_blocking_app_instance_id_enabled", "1"}}),
        factory(fake));
    ASSERT_TRUE(config);
    EXPECT_TRUE(logged(29023));
    EXPECT_EQ(fake->registeredFlags.size(), 5u);
    for (const auto& [name, value] : fake->registeredFlags) EXPECT_EQ(value, Value(0)) << name;
    EXPECT_EQ(fake->delegate.lock(), config);

    fake->flags["efficient_engagement_reporting_enabled"] = Value(0);
    fake->flags["redundant_engagement_removal_enabled"] = Value(true);
    EXPECT_FALSE(config->efficientEngagementReportingEnabled());  // the flag wins
    EXPECT_TRUE(config->redundantEngagementRemovalEnabled());
    EXPECT_TRUE(config->nonBlockingAppInstanceIDEnabled());  // no flag: the setting
    EXPECT_EQ(config->experimentIDs(), (std::vector<std::int64_t>{3, 9}));
    EXPECT_FALSE(make()->experimentIDs());

    // A new snapshot is activated once; a failed activation is retried.
    const int before = fake->activations;
    EXPECT_FALSE(config->activateNewSnapshot());
    EXPECT_EQ(fake->activations, before);
    config->clientDidReceiveNewSnapshot();
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(config->activateNewSnapshot());
    EXPECT_TRUE(logged(29024));
    fake->activationSucceeds = true;
    EXPECT_TRUE(config->activateNewSnapshot());
    EXPECT_FALSE(config->activateNewSnapshot());
    EXPECT_EQ(fake->activations, before + 2);

    config->clientDidReceiveFetchError(NSError("Experiments", 2));
    EXPECT_TRUE(logged(29025));
    EXPECT_FALSE(config->shouldFetchExperimentsForClient());
    APMRemoteConfig::setEngineEnabledCheck([] { return true; });
    EXPECT_TRUE(config->shouldFetchExperimentsForClient());
    APMRemoteConfig::setEngineEnabledCheck(nullptr);

    // Reset forgets settings and the configuration and resets experiments.
    fake->flags.clear();
    config->reset();
    EXPECT_EQ(fake->resets, 1);
    EXPECT_FALSE(config->remoteConfigProto());
    EXPECT_FALSE(config->nonBlockingAppInstanceIDEnabled());
}

TEST_F(RemoteConfigTest, StoringAndLoadingSayWhenOnTheMainThread) {
    auto config = make();
    APMMeasurement::monitor().clearLines();
    config->updateMeasurementConfig(makeConfig(kAppID, {}));
    config->measurementConfigFromDatabase();
    int checks = 0;
    for (const auto& line : APMMeasurement::monitor().lines()) checks += line.messageCode == 30001;
    EXPECT_EQ(checks, 2);
}

TEST_F(RemoteConfigTest, MeasurementAnswersTheEngineInstanceElseTheDefault) {
    EXPECT_EQ(APMMeasurement::remoteConfig(), APMRemoteConfig::defaultInstance());
    auto config = make();
    APMRemoteConfig::setEngineInstance(config);
    EXPECT_EQ(APMMeasurement::remoteConfig(), config);
}
