#include "services/measurement/APMRemoteConfig.h"

#include <unicode/fmtable.h>
#include <unicode/numfmt.h>
#include <unicode/parsepos.h>

#include <cctype>
#include <cmath>
#include <iterator>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMScheduler.h"
#include "services/util/ZVUMutableDictionary.h"

namespace {

// Field IDs (wire numbers minus one).
constexpr int kConfigVersion = 0;
constexpr int kConfigAppID = 1;
constexpr int kConfigSettings = 3;
constexpr int kConfigEventConfigs = 4;
constexpr int kConfigZoDorAppID = 6;
constexpr int kConfigPrograms = 8;
constexpr int kSettingName = 0;
constexpr int kSettingValue = 1;
constexpr int kEventConfigName = 0;
constexpr int kEventConfigBlocklisted = 1;
constexpr int kEventConfigCustomConversion = 2;
constexpr int kEventConfigSamplingRate = 3;

// The switches an experiment flag may decide: the flag registered with the
// experiments client (default 0) and the setting read without an answer.
struct ExperimentSwitch {
    const char* flag;
    const char* key;
};
enum ExperimentSwitchIndex {
    kEfficientEngagementReporting,
    kRedundantEngagementRemoval,
    kNonBlockingAppInstanceID,
    kPersistentConfigInApplicationSupport,
    kNetworkBackgroundSession,
};
constexpr ExperimentSwitch kExperimentSwitches[] = {
    {"efficient_engagement_reporting_enabled",
     "measurement.collection.efficient_engagement_reporting_enabled"},
    {"redundant_engagement_removal_enabled",
     "measurement.collection.redundant_engagement_removal_enabled"},
    {"non_blocking_app_instance_id_enabled", "measurement.non_blocking_app_instance_id_enabled"},
    {"persistent_config_in_application_support_enabled",
     "measurement.persistent_config_in_application_support_enabled"},
    {"network_background_session_enabled", "measurement.network.background_session_enabled"},
};

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

struct Globals {
    std::mutex mutex;
    APMRemoteConfigExperimentsFactory experiments;
    APMEventEditingLoader loader;
    std::shared_ptr<APMRemoteConfig> engineInstance;
    std::function<bool()> engineEnabled;
};

Globals& globals() {
    static auto* const g = new Globals();
    return *g;
}

// The decimal form of a default or bound.
APMDecimalNumber decimalOf(const Value& number) {
    if (number.type() == Value::Type::Double)
        return APMDecimalNumber::fromDouble(*number.asDouble());
    if (auto v = number.asInt()) return APMDecimalNumber::fromInt64(*v);
    return APMDecimalNumber::fromString(number.description());
}

// A bounded number as it is kept: an integer when it is one, else a double.
Value valueOf(const APMDecimalNumber& number) {
    if (auto v = number.int64Value()) {
        if (APMDecimalNumber::fromInt64(*v) == number) return Value(static_cast<long long>(*v));
    }
    return Value(number.doubleValue());
}

bool boolValueOf(const Value& value) {
    if (auto b = value.asBool()) return *b;
    if (auto d = value.asDouble()) return *d != 0;
    if (auto s = value.asString()) {
        for (char c : *s) {
            if (c == ' ' || c == '+' || c == '-' || c == '0') continue;
            return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
        }
    }
    return false;
}

std::string stringOf(const PRMValue& cached) {
    if (const Value* v = cached.value()) {
        if (auto s = v->asString()) return *s;
        return v->description();
    }
    return cached.description();
}

}  // namespace

// ---- Creation ---------------------------------------------------------------

APMRemoteConfig::APMRemoteConfig()
    : cachedValueByRemoteConfigKeys_(std::make_shared<ZVUMutableDictionary>()),
      cachedEventConfigByEventName_(std::make_shared<ZVUMutableDictionary>()) {}

APMRemoteConfig::~APMRemoteConfig() = default;

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
    static const auto instance = initWithAppID(std::nullopt, nullptr, nullptr, nullptr);
    return instance;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(const std::string& appID,
                                                                APMDatabase* database) {
    return initWithAppID(appID, database, sharedExperimentsFactory());
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    const std::string& appID, APMDatabase* database,
    const APMRemoteConfigExperimentsFactory& experiments) {
    if (appID.empty()) {
        monitor().logWithLevel(1, 29000,
                               "Cannot init remote configuration without valid Zevera App ID");
        return nullptr;
    }
    if (!database) {
        monitor().logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
        return nullptr;
    }
    return initWithAppID(appID, database, nullptr, experiments);
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    const std::optional<std::string>& appID, APMDatabase* database,
    std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
    const APMRemoteConfigExperimentsFactory& experiments) {
    std::shared_ptr<APMRemoteConfig> self(new APMRemoteConfig());
    self->appID_ = appID.value_or("");
    self->database_ = database;
    if (experiments) {
        Dictionary flags;
        for (const auto& entry : kExperimentSwitches) flags.set(entry.flag, Value(0));
        self->experiments_ = experiments(APMIdentity::redIdizezadoduLibraryVersion(), flags,
                                         std::weak_ptr<APMRemoteConfig>(self));
        NSError error;
        if (self->experiments_ && !self->experiments_->activateLatestSnapshot(&error) &&
            !error.domain.empty()) {
            monitor().logWithLevel(2, 29023, "Cannot activate stale snapshot. Error", error);
        }
    }
    self->isDefaultInstance_ = !database && !appID;
    if (!self->isDefaultInstance_) {
        if (measurementConfig) {
            self->updateMeasurementConfig(measurementConfig);
        } else if (auto stored = self->measurementConfigFromDatabase()) {
            {
                std::lock_guard lock(self->lock_);
                self->remoteConfigProto_ = stored;
            }
            self->parseRemoteConfigFromMeasurementConfig(*stored);
        }
    }
    return self;
}

void APMRemoteConfig::setSharedExperimentsFactory(APMRemoteConfigExperimentsFactory factory) {
    std::lock_guard lock(globals().mutex);
    globals().experiments = std::move(factory);
}

APMRemoteConfigExperimentsFactory APMRemoteConfig::sharedExperimentsFactory() {
    std::lock_guard lock(globals().mutex);
    return globals().experiments;
}

void APMRemoteConfig::setEventEditingLoader(APMEventEditingLoader loader) {
    std::lock_guard lock(globals().mutex);
    globals().loader = std::move(loader);
}

void APMRemoteConfig::setEngineInstance(std::shared_ptr<APMRemoteConfig> instance) {
    std::lock_guard lock(globals().mutex);
    globals().engineInstance = std::move(instance);
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::engineInstance() {
    std::lock_guard lock(globals().mutex);
    return globals().engineInstance;
}

void APMRemoteConfig::setEngineEnabledCheck(std::function<bool()> check) {
    std::lock_guard lock(globals().mutex);
    globals().engineEnabled = std::move(check);
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
    auto engine = APMRemoteConfig::engineInstance();
    return engine ? engine : APMRemoteConfig::defaultInstance();
}

// ---- Storing and parsing ----------------------------------------------------

bool APMRemoteConfig::updateMeasurementConfig(
    const std::shared_ptr<APMPBMeasurementConfig>& config) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig");
    if (isDefaultInstance_) {
        monitor().logWithLevel(2, 29002, "Cannot update the default measurement configuration");
        return false;
    }
    if (!config) {
        monitor().logWithLevel(5, 29003, "Cannot set empty measurement config to database");
        return false;
    }
    if (APMIdentifiers::sharedInstance().origin() == std::optional<std::string>("zd") &&
        APMPBGetString(config.get(), kConfigZoDorAppID) != std::optional<std::string>(appID_)) {
        monitor().logWithLevel(2, 29022,
                               "Cannot set measurement config when ZoDor App ID does not match");
        return false;
    }
    if (APMPBGetString(config.get(), kConfigAppID) != std::optional<std::string>(appID_)) {
        monitor().logWithLevel(2, 29004,
                               "Cannot set measurement config when Zevera App ID does not match");
        return false;
    }
    NSError error;
    if (!database_ || !database_->updateRemoteConfig(*config, sim::wallClockSeconds(), &error)) {
        // Only a store that reports why it failed counts as failed.
        if (!database_ || !error.domain.empty()) {
            monitor().logWithLevel(1, 29005, "Cannot store config into the database", error);
            return false;
        }
    }
    {
        std::lock_guard lock(lock_);
        remoteConfigProto_ = config;
    }
    parseRemoteConfigFromMeasurementConfig(*config);
    return true;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config) {
    auto settings = APMPBGetRepeatedField(&config, kConfigSettings, APMPBSetting::classObject());
    if (!settings || settings->empty()) {
        monitor().logWithLevel(2, 29012,
                               "Cannot parse empty measurement config. Using default values");
        return;
    }
    if (APMPBGetString(&config, kConfigAppID).value_or("") != appID_) return;

    // A hostile answer may hold many thousand entries: each costs one check,
    // each cache takes them all in one write, and each kind of refusal is one
    // monitored line with its count.
    std::vector<std::pair<std::string, PRMValue>> settingEntries;
    long long refusedSettings = 0;
    for (const auto& object : *settings) {
        const auto& setting = object.message();
        if (!setting) continue;
        auto name = APMPBGetString(setting.get(), kSettingName);
        auto value = APMPBGetString(setting.get(), kSettingValue);
        if (!name || name->empty() || !value) {
            ++refusedSettings;
            continue;
        }
        settingEntries.emplace_back(std::move(*name), PRMValue(Value(std::move(*value))));
    }
    if (refusedSettings > 0) {
        monitor().logWithLevel(5, 29019, "Cannot cache empty configuration value. Count",
                               Value(refusedSettings));
    }
    std::vector<std::pair<std::string, PRMValue>> eventEntries;
    long long unnamedEvents = 0;
    const auto& aliases = APMReservedEventNames();
    auto eventConfigs =
        APMPBGetRepeatedField(&config, kConfigEventConfigs, APMPBEventConfig::classObject());
    for (const auto& object : eventConfigs.value_or(std::vector<APMPBObject>{})) {
        const auto& eventConfig = object.message();
        if (!eventConfig) continue;
        std::string name = APMPBGetString(eventConfig.get(), kEventConfigName).value_or("");
        if (name.empty()) {
            ++unnamedEvents;
            continue;
        }
        auto alias = aliases.find(name);
        eventEntries.emplace_back(alias == aliases.end() ? std::move(name) : alias->second,
                                  PRMValue(eventConfig));
    }
    if (unnamedEvents > 0) {
        monitor().logWithLevel(
            5, 29013, "Cannot cache event configuration with an empty configuration name. Count",
            Value(unnamedEvents));
    }
    auto values = std::make_shared<ZVUMutableDictionary>();
    values->addEntries(std::move(settingEntries));
    auto events = std::make_shared<ZVUMutableDictionary>();
    events->addEntries(std::move(eventEntries));
    {
        std::lock_guard lock(lock_);
        cachedValueByRemoteConfigKeys_ = values;
        cachedEventConfigByEventName_ = events;
    }
    if (APMPBHasField(&config, kConfigVersion)) {
        monitor().logWithLevel(
            7, 29014, "Successfully parsed a configuration. Version",
            Value(static_cast<long long>(APMPBGetInt64(&config, kConfigVersion))));
    }
    auto programs = APMPBGetRepeatedField(&config, kConfigPrograms, APMPBProgram::classObject());
    if (!programs || programs->empty()) return;

    APMEventEditingModules modules;
    modules.remoteConfigValue = [values](const std::string& key) -> std::optional<std::string> {
        PRMValue cached = values->objectForKey(key);
        if (cached.isNil()) return std::nullopt;
        return stringOf(cached);
    };
    modules.appMetadata.set("platform", "macos");
    modules.appMetadata.set("package_name", NSBundle::mainBundle()->bundleIdentifier());
    modules.appMetadata.set(
        "ruv_version", Value(static_cast<long long>(APMIdentity::redIdizezadoduLibraryVersion())));
    if (auto identity = APMIdentity::sharedInstance();
        identity && !identity->appVersion().empty()) {
        modules.appMetadata.set("app_version", identity->appVersion());
    }
    APMEventEditingLoader loader;
    {
        std::lock_guard lock(globals().mutex);
        loader = globals().loader;
    }
    NSError error;
    std::shared_ptr<APMPEventEditing> editing;
    const auto program = std::static_pointer_cast<APMPBProgram>(programs->front().message());
    if (loader && program) editing = loader(*program, modules, &error);
    if (!editing) {
        monitor().logWithLevel(1, 29026, "Failed to initiate event editing instance");
    } else {
        monitor().logWithLevel(7, 29027, "Loading Event Modification and Creation programs",
                               Value(static_cast<long long>(programs->size())));
    }
    std::lock_guard lock(lock_);
    eventEditing_ = editing;
}

void APMRemoteConfig::reset() {
    {
        std::lock_guard lock(lock_);
        cachedValueByRemoteConfigKeys_ = std::make_shared<ZVUMutableDictionary>();
        cachedEventConfigByEventName_ = std::make_shared<ZVUMutableDictionary>();
        if (!isDefaultInstance_) remoteConfigProto_.reset();
    }
    if (experiments_) experiments_->reset();
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
    if (isDefaultInstance_ || !database_) {
        monitor().logWithLevel(2, 29015,
                               "Cannot retrieve a measurement configuration from the database for "
                               "the default instance");
        return nullptr;
    }
    NSError error;
    auto config = database_->queryMeasurementConfig(&error);
    if (!config) {
        if (!error.domain.empty()) {
            monitor().logWithLevel(
                2, 29016, "Cannot retrieve configuration data from database. Error", error);
        } else {
            monitor().logWithLevel(7, 29017,
                                   "Configuration was not found in database. The configuration "
                                   "will be fetched from the network when necessary");
        }
    }
    return config;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::remoteConfigProto() const {
    std::lock_guard lock(lock_);
    return remoteConfigProto_;
}

std::shared_ptr<APMPEventEditing> APMRemoteConfig::eventEditing() const {
    std::lock_guard lock(lock_);
    return eventEditing_;
}

std::int64_t APMRemoteConfig::version() const {
    auto config = remoteConfigProto();
    if (!config || !APMPBHasField(config.get(), kConfigVersion)) return -1;
    return APMPBGetInt64(config.get(), kConfigVersion);
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
    if (isDefaultInstance_ || !database_) {
        monitor().logWithLevel(
            2, 29008,
            "Cannot fetch the last configuration update timestamp from the default instance");
        return 0;
    }
    NSError error;
    auto timestamp = database_->lastRemoteConfigUpdateTimestamp(&error);
    if (!timestamp && !error.domain.empty()) {
        monitor().logWithLevel(4, 29009,
                               "Failed to query last configuration update timestamp. Error", error);
    }
    return timestamp.value_or(0);
}

bool APMRemoteConfig::isExpired() {
    if (isDefaultInstance_) {
        monitor().logWithLevel(
            2, 29007, "Cannot fetch the last update timestamp from the default configuration");
        return false;
    }
    return std::fabs(sim::wallClockSeconds() - lastRemoteConfigUpdateTimestamp()) >=
           remoteConfigCacheTimeInterval();
}

std::optional<std::string> APMRemoteConfig::remoteConfigURLWithAppInstanceID(
    const std::optional<std::string>& appInstanceID, const std::optional<std::string>& platform,
    std::int64_t SDKVersion, std::int64_t runtimeVersion) {
    std::optional<std::string> instanceID = appInstanceID;
    if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) instanceID = std::string();
    if (!instanceID || !platform) {
        monitor().logWithLevel(2, 29010,
                               "Cannot create a URL to fetch a configuration with empty app "
                               "instance ID or empty platform (app instance, platform)",
                               instanceID ? Value(*instanceID) : Value(),
                               platform ? Value(*platform) : Value());
        return std::nullopt;
    }
    const Dictionary query{{"app_instance_id", *instanceID},
                           {"platform", *platform},
                           {"runtime_version", std::to_string(runtimeVersion)},
                           {"ruv_version", std::to_string(SDKVersion)}};
    return std::string("https://") + kConfigHost + "/config/app/" + appID_ + "?" +
           apm_queryString(query);
}

// ---- Per-event configuration ------------------------------------------------

std::shared_ptr<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(const std::string& name) {
    if (name.empty()) {
        monitor().logWithLevel(5, 29006, "Cannot find event config with empty event name");
        return nullptr;
    }
    std::shared_ptr<ZVUMutableDictionary> events;
    {
        std::lock_guard lock(lock_);
        events = cachedEventConfigByEventName_;
    }
    return events->objectForKey(name).as<APMPBEventConfig>();
}

bool APMRemoteConfig::isEventBlocklisted(const std::string& name) {
    auto config = eventConfigWithName(name);
    if (config && APMPBGetBool(config.get(), kEventConfigBlocklisted)) return true;
    const Value nameValue(name);
    return APMIsValidNameFormat(&nameValue) ? blocklistPublic() : blocklistInternal();
}

bool APMRemoteConfig::isEventCustomConversion(const std::string& name) {
    auto config = eventConfigWithName(name);
    return config && APMPBGetBool(config.get(), kEventConfigCustomConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(const std::string& name) {
    auto config = eventConfigWithName(name);
    return config && APMPBHasField(config.get(), kEventConfigSamplingRate);
}

int APMRemoteConfig::samplingRateForEvent(const std::string& name) {
    auto config = eventConfigWithName(name);
    if (!config) return 1;
    const std::int32_t rate = APMPBGetInt32(config.get(), kEventConfigSamplingRate);
    return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- Experiments ------------------------------------------------------------

std::optional<std::vector<std::int64_t>> APMRemoteConfig::experimentIDs() {
    if (!experiments_) return std::nullopt;
    return experiments_->experimentIDs();
}

bool APMRemoteConfig::activateNewSnapshot() {
    {
        std::lock_guard lock(lock_);
        if (!hasNewSnapshot_) return false;
    }
    NSError error;
    if (experiments_ && experiments_->activateLatestSnapshot(&error)) {
        std::lock_guard lock(lock_);
        hasNewSnapshot_ = false;
        return true;
    }
    monitor().logWithLevel(2, 29024, "Cannot activate snapshot. Error", error);
    return false;
}

void APMRemoteConfig::clientDidReceiveNewSnapshot() {
    std::lock_guard lock(lock_);
    hasNewSnapshot_ = true;
}

void APMRemoteConfig::clientDidReceiveFetchError(const NSError& error) {
    monitor().logWithLevel(2, 29025, "Cannot fetch experiment. Error", error);
}

bool APMRemoteConfig::shouldFetchExperimentsForClient() {
    std::function<bool()> check;
    {
        std::lock_guard lock(globals().mutex);
        check = globals().engineEnabled;
    }
    return check && check();
}

bool APMRemoteConfig::flagOrSwitch(int which) {
    const ExperimentSwitch& entry = kExperimentSwitches[which];
    if (experiments_) {
        if (auto value = experiments_->flagValue(entry.flag)) {
            return boolValueOf(*value);
        }
    }
    return switchValue(entry.key, 0);
}

// ---- Typed readers ----------------------------------------------------------

std::optional<Value> APMRemoteConfig::numberFromCacheWithKey(const std::string& key,
                                                             const Value& defaultValue,
                                                             const std::optional<Value>& maxValue,
                                                             const std::optional<Value>& minValue,
                                                             const Conversion& block) {
    if (key.empty()) {
        monitor().logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
        return std::nullopt;
    }
    std::shared_ptr<ZVUMutableDictionary> values;
    {
        std::lock_guard lock(lock_);
        values = cachedValueByRemoteConfigKeys_;
    }
    const PRMValue cached = values->objectForKey(key);
    if (cached.isNil()) return cacheValue(defaultValue, key);
    if (const Value* v = cached.value(); v && (v->isNumber() || v->isBool())) return *v;

    std::optional<APMDecimalNumber> number =
        cached.value() ? numberFromString(*cached.value()) : numberFromString(Value());
    if (number && block) number = block(*number);
    const bool below = number && minValue && number->compare(decimalOf(*minValue)) == -1;
    const bool above = number && maxValue && number->compare(decimalOf(*maxValue)) == 1;
    const Value chosen =
        !number || number->isNaN() || below || above ? defaultValue : valueOf(*number);
    return cacheValue(chosen, key);
}

int APMRemoteConfig::intValueFromCacheWithKey(const std::string& key, int defaultValue,
                                              int maxValue, int minValue) {
    auto number =
        numberFromCacheWithKey(key, Value(defaultValue), Value(maxValue), Value(minValue));
    return number ? static_cast<int>(number->asInt().value_or(0)) : 0;
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue,
                                                         std::int64_t maxValue,
                                                         std::int64_t minValue) {
    auto number = numberFromCacheWithKey(key, Value(static_cast<long long>(defaultValue)),
                                         Value(static_cast<long long>(maxValue)),
                                         Value(static_cast<long long>(minValue)));
    return number ? number->asInt().value_or(0) : 0;
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue) {
    auto number = numberFromCacheWithKey(key, Value(static_cast<long long>(defaultValue)),
                                         std::nullopt, std::nullopt);
    return number ? number->asInt().value_or(0) : 0;
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) {
    const Conversion milliseconds =
        [](const APMDecimalNumber& number) -> std::optional<APMDecimalNumber> {
        auto whole = number.int64Value();
        if (!whole) return std::nullopt;  // beyond any interval: the default
        return APMDecimalNumber::fromDouble(static_cast<double>(*whole) / 1000.0);
    };
    auto number = numberFromCacheWithKey(key, Value(defaultValue), Value(maxValue), Value(minValue),
                                         milliseconds);
    return number ? number->asDouble().value_or(0) : 0;
}

std::optional<APMDecimalNumber> APMRemoteConfig::numberFromString(const Value& value) {
    auto text = value.asString();
    if (!text) {
        monitor().logWithLevel(2, 29018, "Cannot parse number from non-string", value);
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::NumberFormat> format(icu::NumberFormat::createInstance(status));
    if (U_FAILURE(status) || !format) return std::nullopt;
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(*text);
    icu::Formattable result;
    icu::ParsePosition position(0);
    format->parse(input, result, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
    status = U_ZERO_ERROR;
    const icu::StringPiece decimal = result.getDecimalNumber(status);
    if (U_FAILURE(status)) return std::nullopt;
    auto number = APMDecimalNumber::fromString(std::string(decimal.data(), decimal.size()));
    if (number.isNaN()) return std::nullopt;
    return number;
}

std::optional<Value> APMRemoteConfig::cacheValue(const std::optional<Value>& value,
                                                 const std::string& key) {
    if (!value || value->isNull() || key.empty()) {
        monitor().logWithLevel(5, 29019, "Cannot cache empty configuration value");
        return std::nullopt;
    }
    std::shared_ptr<ZVUMutableDictionary> values;
    {
        std::lock_guard lock(lock_);
        values = cachedValueByRemoteConfigKeys_;
    }
    values->setObjectForKeyedSubscript(PRMValue(*value), key);
    return value;
}

bool APMRemoteConfig::switchValue(const std::string& key, int defaultValue) {
    return intValueFromCacheWithKey(key, defaultValue, 1, 0) == 1;
}

// ---- Tunables ---------------------------------------------------------------

#define APM_SECONDS(name, key, def, lo, hi)                             \
    double APMRemoteConfig::name() {                                    \
        return timeIntervalInSecondsFromCacheWithKey(key, def, hi, lo); \
    }
#define APM_INT(name, key, def, lo, hi)                    \
    int APMRemoteConfig::name() {                          \
        return intValueFromCacheWithKey(key, def, hi, lo); \
    }
#define APM_INT64(name, key, def, lo, hi)                    \
    std::int64_t APMRemoteConfig::name() {                   \
        return int64ValueFromCacheWithKey(key, def, hi, lo); \
    }
#define APM_SWITCH(name, key, def)    \
    bool APMRemoteConfig::name() {    \
        return switchValue(key, def); \
    }

APM_SECONDS(uploadingInterval, "measurement.upload.interval", 3600, 15, 86400)
APM_SECONDS(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", 15, 1,
            86400)
APM_SECONDS(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", 1, 1, 15)
APM_SECONDS(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", 10, 10, 15)
APM_SECONDS(uploadingBackoffInterval, "measurement.upload.backoff_period", 43200, 3600, 604800)
APM_INT(uploadingRetryCount, "measurement.upload.retry_count", 6, 1, 24)
APM_SECONDS(uploadingRetryInterval, "measurement.upload.retry_time", 1800, 60, 86400)
APM_INT64(uploadMaxBundlesLimit, "measurement.upload.max_bundles", 100, 1, 10000)
APM_INT64(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", 1000, 1, 1000000)
APM_INT64(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", 65536, 0, 10485760)
// A count, read as one (not through the milliseconds conversion).
APM_INT(maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration", 100,
        1, 10000)
APM_SWITCH(checksumEnabled, "measurement.quality.checksum", 0)
APM_SECONDS(networkTimeout, "measurement.network.network_timeout", 60, 30, 3600)
APM_SECONDS(remoteConfigCacheTimeInterval, "measurement.config.cache_time", 3600, 60, 86400)

APM_INT(maxEventsStored, "measurement.store.max_stored_events_per_app", 100000, 0, 1000000)
APM_SECONDS(maxQueueTime, "measurement.upload.max_queue_time", 2419200, 604800, 7862400)
APM_SECONDS(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval",
            86400, 3600, 604800)
APM_INT(maxEventsPerDay, "measurement.upload.max_events_per_day", 100000, 0, 1000000)
APM_INT(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", 50000, 0, 1000000)
APM_INT(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", 1000, 0, 1000000)
APM_INT(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", 10000, 0, 1000000)
APM_INT(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", 10, 0, 10)
APM_SWITCH(configurableLimitsEnabled, "measurement.upload.configurable_limits_enabled", 1)
APM_INT(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", 4, 1, 100)

int APMRemoteConfig::maxPublicUserProperties() {
    if (!configurableLimitsEnabled()) return 25;
    return intValueFromCacheWithKey("measurement.upload.max_public_user_properties", 25, 100, 25);
}

int APMRemoteConfig::maxEventNameCardinality() {
    if (!configurableLimitsEnabled()) return 500;
    return intValueFromCacheWithKey("measurement.upload.max_event_name_cardinality", 500, 2000,
                                    500);
}

int APMRemoteConfig::maxPublicEventParams() {
    if (!configurableLimitsEnabled()) return 25;
    return intValueFromCacheWithKey("measurement.upload.max_public_event_params", 25, 100, 25);
}

APM_INT(maxAudienceCount, "measurement.audience.max_count", 50, 0, 500)
APM_INT(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", 10, 0, 100)
APM_INT(maxFilterResultCount, "measurement.audience.filter_result_max_count", 200, 0, 2000)
APM_INT(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", 25, 0, 250)

APM_SECONDS(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", 1800, 0,
            86400)
APM_SECONDS(sessionDefaultMinimumInterval, "measurement.session.default_minimum_interval", 10, 0,
            86400)
APM_SECONDS(sessionEventUserEngagementInterval,
            "measurement.session.event_user_engagement_interval", 3600, 0, 86400)
APM_SWITCH(appBackgroundedEventEnabled, "measurement.lifecycle.app_backgrounded_tracking", 1)
APM_SWITCH(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", 1)
APM_SECONDS(adIDCacheTime, "measurement.ad_id_cache_time", 1, 0, 86400)
APM_SWITCH(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", 0)
APM_SWITCH(lastAdvertisingIDResetFeatureEnabled,
           "measurement.last_advertising_id_reset_feature_enabled", 1)
APM_SWITCH(isConsentSettingsEnabled, "measurement.api.consent_settings", 1)
APM_SWITCH(isConsentSettings3PEnabled, "measurement.api.consent_settings_3p", 1)
APM_SWITCH(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", 1)
APM_INT(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", 5, 0, 10)
APM_SECONDS(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", 604800, 86400,
            2592000)
APM_SWITCH(isEventSamplingEnabled, "measurement.event_sampling_enabled", 0)
APM_INT(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", 0,
        -900, 900)
APM_SWITCH(blocklistInternal, "measurement.upload.blacklist_internal", 0)
APM_SWITCH(blocklistPublic, "measurement.upload.blacklist_public", 0)
APM_SWITCH(eesFeatureEnabled, "measurement.ees_feature_enabled", 1)
APM_SECONDS(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", 86400, 0, 604800)

bool APMRemoteConfig::efficientEngagementReportingEnabled() {
    return flagOrSwitch(kEfficientEngagementReporting);
}

bool APMRemoteConfig::redundantEngagementRemovalEnabled() {
    return flagOrSwitch(kRedundantEngagementRemoval);
}

bool APMRemoteConfig::nonBlockingAppInstanceIDEnabled() {
    return flagOrSwitch(kNonBlockingAppInstanceID);
}

bool APMRemoteConfig::persistentConfigInApplicationSupportEnabled() {
    return flagOrSwitch(kPersistentConfigInApplicationSupport);
}

bool APMRemoteConfig::isNetworkBackgroundSessionEnabled() {
    return flagOrSwitch(kNetworkBackgroundSession);
}

std::vector<std::pair<std::string, bool>> APMRemoteConfig::experimentSwitchStates() {
    std::vector<std::pair<std::string, bool>> states;
    for (int which = 0; which < static_cast<int>(std::size(kExperimentSwitches)); ++which) {
        states.emplace_back(kExperimentSwitches[which].flag, flagOrSwitch(which));
    }
    return states;
}
