#pragma once
// The engine's view of the measurement configuration the server sends: named
// settings, per-event configuration and event-editing programs. Every
// tunable answers a bounded value with its own default, so a missing,
// malformed or out-of-range setting always yields a defined value (a value
// outside the bounds gives the default, it is not clamped). A setting is
// bounded on its first typed read and answers that number until the next
// configuration or reset.
//
// The default instance (no app ID, no database) answers every accessor with
// its default and refuses to store, load or date a configuration.
// Accessors are safe on any thread; updating and loading run on the
// engine's worker queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMDecimalNumber.h"
#include "services/measurement/APMPBMessage.h"

class APMDatabase;
class APMPEventEditing;
class ZVUMutableDictionary;

class APMRemoteConfig;

// The experiments side of the configuration: the client registered for it
// with the experiments manager (installed by the experiments subsystem).
class APMRemoteConfigExperiments {
  public:
    virtual ~APMRemoteConfigExperiments() = default;
    // The flag's value, or nil when the client cannot answer.
    virtual std::optional<Value> flagValue(const std::string& flag) = 0;
    virtual bool activateLatestSnapshot(NSError* error) = 0;
    virtual std::vector<std::int64_t> experimentIDs() = 0;
    virtual void reset() = 0;
};
// Registers the SDK "app_measurement" with its library version and default
// flags; the client reports new snapshots, fetch errors and fetch questions
// to the configuration.
using APMRemoteConfigExperimentsFactory = std::function<std::shared_ptr<APMRemoteConfigExperiments>(
    std::int64_t libraryVersion, const Dictionary& defaultFlags,
    std::weak_ptr<APMRemoteConfig> delegate)>;

// What an event-editing program is given: the configuration's values as
// they were when it was parsed, and the application's facts.
struct APMEventEditingModules {
    std::function<std::optional<std::string>(const std::string& key)> remoteConfigValue;
    Dictionary appMetadata;
};
// Creates and loads the event editing of a program; null with the error
// when it cannot.
using APMEventEditingLoader = std::function<std::shared_ptr<APMPEventEditing>(
    const APMPBProgram& program, const APMEventEditingModules& modules, NSError* error)>;

class APMRemoteConfig : public std::enable_shared_from_this<APMRemoteConfig> {
  public:
    using Conversion = std::function<std::optional<APMDecimalNumber>(const APMDecimalNumber&)>;

    static constexpr const char* kSDKName = "app_measurement";
    static constexpr const char* kConfigHost = "measurement.zevera.example";

    // Created once.
    static std::shared_ptr<APMRemoteConfig> defaultInstance();
    // Null (logged) for an empty app ID or a missing database. The two-
    // argument form registers with the shared experiments manager.
    static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID,
                                                          APMDatabase* database);
    static std::shared_ptr<APMRemoteConfig> initWithAppID(
        const std::string& appID, APMDatabase* database,
        const APMRemoteConfigExperimentsFactory& experiments);
    static std::shared_ptr<APMRemoteConfig> initWithAppID(
        const std::optional<std::string>& appID, APMDatabase* database,
        std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
        const APMRemoteConfigExperimentsFactory& experiments);

    // How to register with the shared experiments manager, and the
    // event-editing loader, installed by the experiments and script
    // subsystems (none by default).
    static void setSharedExperimentsFactory(APMRemoteConfigExperimentsFactory factory);
    static APMRemoteConfigExperimentsFactory sharedExperimentsFactory();
    static void setEventEditingLoader(APMEventEditingLoader loader);
    // The engine's instance, answered by APMMeasurement::remoteConfig (null
    // clears it).
    static void setEngineInstance(std::shared_ptr<APMRemoteConfig> instance);
    static std::shared_ptr<APMRemoteConfig> engineInstance();

    bool isDefaultInstance() const { return isDefaultInstance_; }
    const std::string& appID() const { return appID_; }

    bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
    void parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config);
    void reset();
    std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
    std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto() const;
    std::shared_ptr<APMPEventEditing> eventEditing() const;
    std::int64_t version() const;
    double lastRemoteConfigUpdateTimestamp();
    bool isExpired();
    std::optional<std::string> remoteConfigURLWithAppInstanceID(
        const std::optional<std::string>& appInstanceID, const std::optional<std::string>& platform,
        std::int64_t SDKVersion, std::int64_t runtimeVersion);

    // Per-event configuration, by internal event name.
    std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name);
    bool isEventBlocklisted(const std::string& name);
    bool isEventCustomConversion(const std::string& name);
    bool eventHasSamplingRate(const std::string& name);
    int samplingRateForEvent(const std::string& name);

    // Experiments.
    std::optional<std::vector<std::int64_t>> experimentIDs();
    bool activateNewSnapshot();
    // As the experiments client's delegate.
    void clientDidReceiveNewSnapshot();
    void clientDidReceiveFetchError(const NSError& error);
    bool shouldFetchExperimentsForClient();
    // Answers whether the engine is enabled (installed by the engine).
    static void setEngineEnabledCheck(std::function<bool()> check);

    // Typed readers.
    std::optional<Value> numberFromCacheWithKey(const std::string& key, const Value& defaultValue,
                                                const std::optional<Value>& maxValue,
                                                const std::optional<Value>& minValue,
                                                const Conversion& block = nullptr);
    int intValueFromCacheWithKey(const std::string& key, int defaultValue, int maxValue,
                                 int minValue);
    std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue,
                                            std::int64_t maxValue, std::int64_t minValue);
    std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue);
    double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                                 double maxValue, double minValue);
    std::optional<APMDecimalNumber> numberFromString(const Value& value);
    std::optional<Value> cacheValue(const std::optional<Value>& value, const std::string& key);

    // Upload, scheduling and network.
    double uploadingInterval();
    double uploadingInitialDelayInterval();
    double uploadingDebugModeInterval();
    double uploadingRealTimeInterval();
    double uploadingBackoffInterval();
    int uploadingRetryCount();
    double uploadingRetryInterval();
    std::int64_t uploadMaxBundlesLimit();
    std::int64_t uploadMaxEventsPerBundle();
    std::int64_t uploadMaxSizeLimitBytes();
    int maxBundlesCreatedPerIteration();
    bool checksumEnabled();
    double networkTimeout();
    double remoteConfigCacheTimeInterval();
    // Storage, retention and daily limits.
    int maxEventsStored();
    double maxQueueTime();
    double databaseDeleteStaleBundlesInterval();
    int maxEventsPerDay();
    int maxPublicEventsPerDay();
    int maxErrorEventsPerDay();
    int maxConversionsPerDay();
    int maxRealtimeEventCountPerDay();
    bool configurableLimitsEnabled();
    int maxPublicUserProperties();
    int maxEventNameCardinality();
    int maxPublicEventParams();
    int maxTrackedCurrencies();
    // Audiences.
    int maxAudienceCount();
    int maxFiltersPerAudience();
    int maxFilterResultCount();
    int maxParametersPerFilter();
    // Sessions, lifecycle, identity, consent, attribution, sampling.
    double sessionDefaultTimeoutInterval();
    double sessionDefaultMinimumInterval();
    double sessionEventUserEngagementInterval();
    bool appBackgroundedEventEnabled();
    bool appInBackgroundParameterEnabled();
    double adIDCacheTime();
    bool gateIDFAOnATTMASEnabled();
    bool lastAdvertisingIDResetFeatureEnabled();
    bool isConsentSettingsEnabled();
    bool isConsentSettings3PEnabled();
    bool isDeferredDeepLinkEnabled();
    int maxDeferredDeepLinkRetryCount();
    double attributionCacheTTLInterval();
    bool isEventSamplingEnabled();
    int analyticsAccountTimeZoneOffsetMinutes();
    bool blocklistInternal();
    bool blocklistPublic();
    bool eesFeatureEnabled();
    double monitoringSamplePeriod();
    // Switches an experiment flag may decide.
    bool efficientEngagementReportingEnabled();
    bool redundantEngagementRemovalEnabled();
    bool nonBlockingAppInstanceIDEnabled();
    bool persistentConfigInApplicationSupportEnabled();
    bool isNetworkBackgroundSessionEnabled();
    // Each experiment-decided switch, by its flag name, with its answer.
    std::vector<std::pair<std::string, bool>> experimentSwitchStates();

    APMRemoteConfig(const APMRemoteConfig&) = delete;
    APMRemoteConfig& operator=(const APMRemoteConfig&) = delete;
    ~APMRemoteConfig();

  private:
    APMRemoteConfig();
    bool switchValue(const std::string& key, int defaultValue);
    // One of the experiment-decided switches, by its index.
    bool flagOrSwitch(int which);

    bool isDefaultInstance_ = false;
    std::string appID_;
    APMDatabase* database_ = nullptr;
    std::shared_ptr<ZVUMutableDictionary> cachedValueByRemoteConfigKeys_;
    std::shared_ptr<ZVUMutableDictionary> cachedEventConfigByEventName_;
    std::shared_ptr<APMRemoteConfigExperiments> experiments_;
    mutable std::mutex lock_;  // guards the fields below
    std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;
    std::shared_ptr<APMPEventEditing> eventEditing_;
    bool hasNewSnapshot_ = false;
};
