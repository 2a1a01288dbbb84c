#pragma once
// The measurement engine's process-wide services that the messages and
// their users rely on (the monitor and the library's error values), and the
// engine's entry points for the analytics service core.
//
// Public operations run on any thread and only schedule work on the
// engine's serial worker queue ("com.zevera.zire.worker"), holding the
// engine weakly; everything touching the database, the configuration, the
// identity or the session reporter runs there. The components start on the
// worker queue when collection is first enabled; events, user attributes
// and conditional user properties live in the engine's database
// ("zevera-app-measurement.sql"). Until the engine exists there is no shared
// instance: callers ask hasSharedInstance() first. Once the process exits,
// worker blocks no longer run.

#include <atomic>
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
#include "services/measurement/APMConditionalUserPropertyController.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMInAppPurchaseTransactionReporter.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMParameterSanitizer.h"
#include "services/measurement/APMQueuedBundleInfo.h"

class APMAlarm;
class APMAudience;
class APMAudienceTimestampsCache;
class APMDatabase;
class APMEngineNetworkBridge;
class APMIdentity;
class APMPersistedConfig;
class APMRawEventData;
class APMRemoteConfig;
class APMScheduler;
class APMSearchAdReporter;
class APMSessionReporter;
class DispatchQueue;
class NSHTTPURLResponse;
struct NSNotification;

inline constexpr const char* kAPMErrorDomain = "com.zevera.ruv.measurement.ErrorDomain";
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

// Sees every event before it is kept; may change its parameters; answering
// false drops the event.
using APMLogEventInterceptor =
    std::function<bool(const std::string& name, APMRawParameters& parameters)>;

// The analytics service core's persisted state that the engine reads and
// writes (collection choice, pending resets, consent), and its operation
// queue. The service core installs its own; this one keeps the values in
// memory and runs queued operations on a global queue. Any thread.
class APMMeasurementFacade {
  public:
    virtual ~APMMeasurementFacade() = default;
    virtual double loadTimestamp();
    // 1 when collection was first switched off, 0 when on; none until then.
    virtual std::optional<Value> deferredAnalyticsCollection();
    virtual void setDeferredAnalyticsCollection(const std::optional<Value>& value);
    virtual long long resetRetryCount();
    virtual void setResetRetryCount(long long count);
    virtual bool needFirstOpenAfterReset();
    virtual void removeNeedFirstOpenAfterReset();
    virtual std::optional<std::string> appInstanceIDAfterReset();
    virtual void setAppInstanceIDAfterReset(const std::optional<std::string>& identifier);
    virtual std::optional<Dictionary> consentSettings3P();
    virtual std::optional<Dictionary> consentSettings1PStart();
    virtual bool deferredResetOnDeniedConsent();
    virtual void removeStartUpConsentSettings();
    virtual void removeDeferredResetOnDeniedConsent();
    virtual void clearConsent();
    virtual void persistConsentSettings(const Dictionary& settings, long long source);
    virtual void queueOperationWithBlock(std::function<void()> block);

    // Tests: set the in-memory values directly.
    void setLoadTimestamp(double seconds);
    void setNeedFirstOpenAfterReset(bool due);
    void setConsentSettings3P(const std::optional<Dictionary>& settings);
    void setConsentSettings1PStart(const std::optional<Dictionary>& settings);
    void setDeferredResetOnDeniedConsent(bool deferred);

  private:
    std::mutex mutex_;
    std::optional<double> loadTimestamp_;
    std::optional<Value> deferredAnalyticsCollection_;
    long long resetRetryCount_ = 0;
    bool needFirstOpenAfterReset_ = false;
    std::optional<std::string> appInstanceIDAfterReset_;
    std::optional<Dictionary> consentSettings3P_;
    std::optional<Dictionary> consentSettings1PStart_;
    bool deferredResetOnDeniedConsent_ = false;
};

class APMMeasurement : public APMConditionalUserPropertyEngine,
                       public std::enable_shared_from_this<APMMeasurement> {
  public:
    // The process-wide monitor, created once.
    static APMMonitor& monitor();
    // The engine's measurement configuration, or the default one while the
    // engine has none.
    static std::shared_ptr<APMRemoteConfig> remoteConfig();

    // The analytics service core's state (a default in-memory one until
    // installed).
    static void setFacade(std::shared_ptr<APMMeasurementFacade> facade);
    static std::shared_ptr<APMMeasurementFacade> facade();

    // Creates the shared engine on the first call only; an empty app ID
    // gives none, and a later call does not retry.
    static void initializeSharedInstanceWithAppID(
        const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated,
        const std::optional<std::vector<std::string>>& safelistedEvents);
    static bool hasSharedInstance();
    // Null until initializeSharedInstanceWithAppID.
    static std::shared_ptr<APMMeasurement> sharedInstance();
    // Where the engine reports each event it keeps (the analytics listeners).
    static void setEventListenerNotifier(std::function<void(const APMEvent&)> notifier);
    static std::function<void(const APMEvent&)> eventListenerNotifier();
    // The safelist option as the start options carry it: an array of valid
    // internal event names, else none (logged).
    static std::optional<std::vector<std::string>> safelistedEventsFromOption(const Value& option);

    // A new engine on the worker queue "com.zevera.zire.worker" with the
    // shared persisted settings; null (logged) for an empty app ID. Its
    // collection switch is applied on the worker queue.
    static std::shared_ptr<APMMeasurement> initWithAppID(
        const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated,
        const std::optional<std::vector<std::string>>& safelistedEvents);
    // withNetwork: the engine also gets its network object (uploads, fetches,
    // deferred deep links) before its first worker block.
    static std::shared_ptr<APMMeasurement> initWithDatabaseName(
        const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
        std::shared_ptr<APMScheduler> scheduler, std::unique_ptr<APMAlarm> alarm,
        const std::string& appID, bool isAnalyticsCollectionEnabled,
        bool isAnalyticsCollectionDeactivated,
        const std::optional<std::vector<std::string>>& safelistedEvents, bool withNetwork = false);

    bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
    bool isEnabled() override;
    bool shouldEnableMeasurement();
    // Any thread: applied on the worker queue.
    void setEnabled(bool enabled);
    void setEnabledOnWorkerQueue(bool enabled);
    // Initialises the components once (retried after a failure).
    bool startMeasurementOnWorkerQueue();
    bool isAnalyticsCollectionEnabled() const;
    void setIsAnalyticsCollectionEnabled(bool enabled);
    bool isAnalyticsCollectionDeactivated() const;
    void setIsAnalyticsCollectionDeactivated(bool deactivated);
    bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
    void setIsNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }
    void setSuspendedUploadTimestamp(double seconds) { suspendedUploadTimestamp_ = seconds; }
    double initTimestamp() const { return initTimestamp_; }
    const std::optional<std::string>& previousRUVAppID() const { return previousRUVAppID_; }
    const std::optional<std::vector<std::string>>& safelistedEvents() const {
        return safelistedEvents_;
    }
    // Whether stored data belongs to another app: the configured app ID,
    // the current and persisted service and ad-platform app IDs.
    static bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                        const std::optional<std::string>& appIDFromRUV,
                                        const std::optional<std::string>& appIDFromZoDor,
                                        const std::optional<std::string>& persistedAppIDFromRUV,
                                        const std::optional<std::string>& persistedAppIDFromZoDor);
    // Applies the consent settings chosen for this start.
    static void setProspectiveConsentSettings();
    static bool isReruzeraRemoteConfigSDKPresent();

    // Application lifecycle (the default notification centre).
    static void subscribeForAppDidFinishLaunchingNotifications();
    static void handleAppDidFinishLaunching(const NSNotification& notification);
    void subscribeForAppForegroundBackgroundNotifications();
    void handleAppDidBecomeActiveEvent(const NSNotification& notification);
    void handleAppWillResignActiveEvent(const NSNotification& notification);
    void handleAppWillEnterForegroundNotification(const NSNotification& notification);
    void terminateBackgroundTask();
    void reachabilityDidChange();
    // The network layer's log calls (its levels 3 error to 7 debug) as
    // monitor lines.
    static int monitorLevelFromNetworkLevel(int networkLevel);
    void networkLogWithLevel(int networkLevel, long long messageCode, const std::string& message,
                             const std::vector<APMMonitorContext>& contexts);

    void setSessionTimeoutInterval(double seconds);
    double sessionTimeoutInterval() const;
    void setDefaultEventParameters(const std::optional<Dictionary>& parameters);
    // Schedules the event for the worker queue; there, unless ignored,
    // the default parameters are merged in, and a public event with an
    // interceptor goes to the interceptor instead of being logged.
    void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                            const APMRawParameters& parameters, double timestamp, bool enabled,
                            bool ignoreEnabled, bool ignoreInterceptor,
                            const APMLogEventInterceptor& interceptor,
                            const std::optional<APMRawParameters>& addedScreenParameters);
    void logEvent(const std::optional<APMEvent>& event);
    // A screen view of the application's window ("screen_view").
    void trackScreenWithParameters(const Dictionary& parameters, double timestamp);
    void setUserAttribute(const std::optional<APMUserAttribute>& attribute);
    void removeUserAttribute(const std::optional<APMUserAttribute>& attribute);
    // Callbacks run on a global queue, never on the caller's thread; none
    // runs when the engine is gone.
    void userAttributeWithName(const std::string& name,
                               std::function<void(std::optional<APMUserAttribute>)> callback);
    // Name to value.
    void userPropertiesIncludingInternal(bool includeInternal,
                                         std::function<void(Dictionary)> callback);
    void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int)> callback);
    std::optional<bool> shouldDisableAdPersonalization();
    bool shouldAllowAdNetworkRegistration();
    // Forgets every event, attribute and conditional property and makes the
    // identifier the installation's; waits for the worker queue, so it is
    // refused (false, logged) on the worker and the main queue.
    bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
    bool didInitializeComponents() const;
    // The web address of a browsing activity: a runtime object answering
    // "activityType" ("NSUserActivityTypeBrowsingWeb") and "webpageURL".
    static std::optional<std::string> deepLinkFromUserActivity(
        const std::shared_ptr<NSObject>& activity);
    // A URL that opened the running application; empty ones are ignored,
    // and so is a call from the worker queue itself.
    void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
    // The transactions worth reporting; the callback runs on the worker queue.
    void filterPurchaseTransactions(
        std::vector<std::shared_ptr<NSObject>> transactions,
        std::function<void(std::vector<std::shared_ptr<NSObject>>)> callback);

    // The engine's collaborators. The worker-queue ones (database,
    // configuration, identity, session reporter) are null until the
    // components have started and are used on the worker queue only.
    APMScheduler& scheduler() { return *scheduler_; }
    APMAlarm& alarm() { return *alarm_; }
    const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
    std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const { return remoteConfig_; }
    // This engine's configuration, else the process-wide one.
    std::shared_ptr<APMRemoteConfig> activeRemoteConfig() const {
        return remoteConfig_ ? remoteConfig_ : remoteConfig();
    }
    std::shared_ptr<APMIdentity> identity() const { return identity_; }
    APMSessionReporter* sessionReporter() const { return sessionReporter_.get(); }
    APMAudience* audience() const { return audience_.get(); }
    const std::string& appID() const { return appID_; }

    // ---- Event write path (APMMeasurementWritePath.cpp) ----
    // Internal events of the engine's own reporters.
    void handleInternalEventOnWorkerQueue(const APMEvent& event);
    // Every logged event.
    void handleEventOnWorkerQueue(const APMEvent& event);
    // Nullopt drops the event: a safelist is set and does not name it.
    std::optional<APMEvent> eventAfterSafelistingEvent(const APMEvent& event);
    void processSessionFromEvent(const APMEvent& event);
    // False drops the event (a subscription already reported).
    bool dedupeSubscriptionEvent(const APMEvent& event);
    bool shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event);
    APMEvent appExceptionEventWithReruzeraFeatureRollouts(const APMEvent& event);
    void writeSessionStartEventOnWorkerQueue(const APMEvent& event);
    // Conversion marking, then one transaction for counts, lifetime value,
    // aggregates, metadata and the raw event.
    void writeFilteredEventOnWorkerQueue(const APMEvent& event);
    bool updateLifetimeValueWithEvent(const APMEvent& event);
    // The daily limits: true stores the event; the counts are updated.
    bool shouldProcessEvent(const APMEvent& event, class APMDailyCounts& dailyCounts,
                            bool isPublicEvent);
    bool isRealtimeEvent(APMEvent& event, const class APMDailyCounts& dailyCounts);
    void maybeAddDebugAndRealtimeParameters(APMEvent& event);
    // False rolls the write transaction back.
    bool writeEvent(const APMEvent& event, bool isPublicEvent, bool isRealtime);
    void logFirstOpenConsentedEvent(double timestamp);
    // Origin "zd", or "_xa" / "_xu".
    static bool isAdPlatformEvent(const APMEvent& event);
    // Runs the configuration's event editing on one event (installed by the
    // script runtime next to its loader; without one, events pass unedited).
    struct EventEditingOutcome {
        bool failed = false;
        std::optional<APMPEvent> editedEvent;  // set when the program changed it
        std::vector<APMPEvent> createdEvents;
    };
    using EventEditingRunner =
        std::function<EventEditingOutcome(class APMPEventEditing& editing, const APMPEvent& event)>;
    static void setEventEditingRunner(EventEditingRunner runner);
    // The record stored once with the raw events written under the same
    // device, app and user-property state (APMMeasurementBundling.cpp).
    std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
        const std::vector<APMUserAttribute>& userAttributes);
    // Device identifiers, app instance ID and consent signals of a bundle, as
    // consent and tracking authorisation allow.
    static void fillIdentityAndConsent(APMPBMeasurementBundle& bundle,
                                       const std::optional<std::string>& consentSignals,
                                       bool gateIDFAOnATTMAS, APMIdentity& identity);

    // ---- Raw-event bundling (APMMeasurementBundling.cpp) ----
    // Packs the next run of stored raw events into one queued bundle (or
    // discards a run that nothing of is left to upload); false when there was
    // nothing to bundle or bundling failed (logged, rolled back).
    bool bundleRawEvents();
    // The next run of one metadata record: one hour, consecutive rows, within
    // the per-bundle count and size. Its first row is always taken, so an
    // oversized event or a zero size limit cannot hold back the rows behind
    // it. `coveredRowID` receives the run's last row, undecodable ones
    // included. Nullopt on failure (logged).
    std::optional<std::vector<APMRawEventData>> rawEventsWithMetadataFingerprint(
        std::int64_t fingerprint, std::int64_t* coveredRowID = nullptr);
    // Blocklist, renaming and the daily conversion and real-time limits;
    // empty when the whole run was rejected (and deleted), nullopt on failure.
    std::optional<std::vector<APMEvent>> processRawEvents(
        const std::vector<APMRawEventData>& rawEvents, std::int64_t fingerprint,
        std::int64_t coveredRowID);
    std::optional<APMRawEventData> internalEventFromPublicEvent(const APMRawEventData& rawEvent);
    bool checkConversion(APMEvent& event, class APMDailyCounts& dailyCounts);
    bool checkRealtime(APMEvent& event, class APMDailyCounts& dailyCounts);
    // Session start and engagement totals of the unfiltered run.
    void evaluationTimeFromRawEvents(const std::vector<APMRawEventData>& rawEvents,
                                     APMPBMeasurementBundle& bundle);
    bool updateUserEngagement(std::int64_t engagementMilliseconds, APMPBMeasurementBundle& bundle,
                              bool sessionScoped);
    std::optional<std::vector<APMEvent>> eventsAfterUpdatingEventAggregates(
        const std::vector<APMEvent>& events, APMAudienceTimestampsCache& cache);
    bool updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                    double bundleEndTimestamp);
    void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                     double bundleEndTimestamp);
    // Deletes the rows up to `rowID` and, once unused, their metadata record.
    bool deleteRawEventRun(std::int64_t rowID, std::int64_t fingerprint);
    // Tests: the uniform draw of event sampling (nullptr: the system's).
    static void setSamplingRandomForTesting(std::function<std::uint32_t(std::uint32_t)> random);

    // ---- Upload scheduling and batch upload (APMMeasurementUpload.cpp) ----
    // Worker queue only. At most one request of the engine (upload or
    // configuration fetch) is in flight.
    using QueuedBundles =
        std::vector<std::pair<std::shared_ptr<APMPBMeasurementBundle>, std::int64_t>>;
    // Arms the upload timer for the next upload time; disarms it while
    // uploads are suspended, when nothing is queued, when retries are used
    // up or without network (then reachability reschedules).
    void updateSchedule();
    // Seconds since 1970; 0 when no upload is due.
    double nextUploadingTime();
    void uploadDataOrRegisterAlarm();
    // Sends the leading run of queued bundles of one app and device as one
    // batch; they are deleted only once the server has accepted them.
    void uploadData();
    bool isNetworkReadyForRequest();
    // The pairs (bundle, row ID) before the first bundle of another app or
    // device; empty when both device IDs are given.
    static QueuedBundles filteredBundlesWithCompatibleAppID(
        const std::optional<std::string>& compatibleAppID,
        const std::optional<std::string>& resettableDeviceID,
        const std::optional<std::string>& vendorDeviceID, const QueuedBundles& bundlesToUpload);
    // The answer to the batch of `bundleIDs` (the rows that batch was built
    // from, whatever the in-progress list says by then).
    void networkUploadCompletionHandlerWithResponse(
        const std::shared_ptr<NSHTTPURLResponse>& response, const std::optional<NSError>& error,
        const std::vector<std::int64_t>& bundleIDs);
    void incrementRetryCounter(const std::vector<std::int64_t>& bundleIDs);
    // False (logged) for an empty list. A list left from an earlier upload
    // can only be stale here (no request is in flight), so it is replaced.
    bool setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs);
    bool hasDataToUpload();
    bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs);
    static bool shouldUseBackgroundSession() { return false; }
    std::optional<std::vector<std::int64_t>> uploadingBundleIDs() const;
    double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
    // The network object (a DOZIvedidi), null when it could not be made.
    std::shared_ptr<NSObject> network() const { return network_; }

    // ---- Measurement configuration fetch (APMMeasurementConfigFetch.cpp) ----
    // Worker queue only.
    void fetchRemoteConfig();
    void networkRemoteConfigFetchCompletionHandler(
        const std::shared_ptr<NSHTTPURLResponse>& response, const std::optional<Data>& data,
        const std::optional<NSError>& error);

    // ---- Entry points, user properties, reset and wipe (APMMeasurementEntryPoints.cpp) ----
    void logEventOnWorkerQueue(const APMEvent& event, bool notifyEventListeners);
    void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
    // True when stored.
    bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute);
    void logEventOnWorkerQueueWithOrigin(
        const std::string& origin, bool isPublicEvent, const std::string& name,
        const APMRawParameters& parameters, double timestamp, bool enabled, bool ignoreEnabled,
        bool ignoreInterceptor, const APMLogEventInterceptor& interceptor,
        const std::optional<APMRawParameters>& addedScreenParameters);
    void handleSetDefaultEventParametersOnWorkerQueue(const std::optional<Dictionary>& parameters);
    // The stored default parameters with the given ones written over them.
    APMRawParameters parametersWithAddedDefaultEventParameters(const APMRawParameters& parameters);
    void removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
    void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
    // Deletes the stored data and resets the components; false (logged)
    // when the database could not be reset.
    bool wipeoutAnalyticsDataAndResetComponents();

    // ---- Deep links and campaign attribution (APMMeasurementAttribution.cpp) ----
    // Keeps the URL of a launch notification until the engine starts.
    static void handleStoredURLAfterAppLaunchWithNotification(const NSNotification& notification);
    // Removes the stored launch URL when it has outlived the attribution
    // cache's time to live.
    void clearExpiredStoredDeepLinkOnWorkerQueue();
    // Reports the stored launch URL as a campaign and forgets it; an expired
    // one counts as a campaign of unknown source.
    void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs);
    bool shouldAllowRequestDeferredDeepLink();
    // Asks the ad service once for a link waiting since installation; the
    // answer comes back on the worker queue.
    void requestDeferredDeepLink();
    void handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                       double eventTimestampInSeconds);
    void handleDebugModeWithURL(const std::string& url);
    void handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                        double eventTimestampInSeconds);
    // The campaign event "_cmp" ("_cmpx" when the number "_cc" is 1) of the
    // URL's query and the extra parameters (strings and numbers only).
    void handleOpenURLOnWorkerQueue(const std::string& url,
                                    std::optional<std::int64_t> clickTimestampInMs,
                                    double eventTimestampInSeconds,
                                    const Dictionary& extraParameters);
    // At least one of utm_campaign, zclid, utm_medium, utm_source, zbraid
    // has a non-empty value.
    static bool isValidCampaignURLParamDictionary(const Dictionary& parameters);
    bool shouldAllowClickID();
    // Nullopt (logged) unless the answer is an object with a usable link.
    static std::optional<Dictionary> deepLinkInfoFromResponseData(const std::optional<Data>& data);
    void handleDeferredDeepLinkInfo(const Dictionary& info);
    // Main queue; this platform has no application delegate to take the
    // link, so the answer is always false.
    static bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                         const Dictionary& extraInfo);
    static constexpr const char* kDeferredDeepLinkHost = "ads.zevera.example";
    // Tests: the identity the attribution asks instead of the engine's.
    void setAttributionIdentityForTesting(std::shared_ptr<APMIdentity> identity);

    // ---- First-open, update and session-start reports (APMMeasurementReports.cpp) ----
    void reportFirstOpenOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    void setPersonalizedAdsUserPropertyOnWorkerQueue();
    void backfillSessionNumber();
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
    // The "_fot" property's set time, else the oldest set time of the stored
    // properties; 0 when none or on failure (logged).
    double firstOpenTimestamp();
    // The next whole hour after a millisecond time (a whole hour moves on);
    // saturates at the last whole hour a signed 64-bit number holds.
    static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
    // "NSFileType", "NSFileSize", "NSFilePosixPermissions",
    // "NSFileModificationDate" and "NSFileCreationDate" (seconds since 1970);
    // none for an empty path or an unreadable item (logged).
    static std::optional<Dictionary> fileAttributesForPath(const std::string& path);
    // Whether the running version is the one installed: the main bundle's
    // information list has not been rewritten since the bundle was installed.
    static bool isVersionSameAsOriginalVersion();

    // APMConditionalUserPropertyEngine.
    APMDatabase* database() override;
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override;
    bool checkOnBackgroundThread(const std::string& methodName) override;
    void writeEventOnWorkerQueue(const APMEvent& event) override;

    // Tests: the raw events this start stored that the database still holds,
    // oldest first (waits for the worker queue).
    std::vector<APMEvent> keptEvents();
    // The console's view, read from the database: every stored raw event
    // (oldest first), the queued bundles and the current session (waits for
    // the worker queue).
    struct Summary {
        bool started = false;
        std::vector<APMEvent> storedEvents;
        std::vector<APMQueuedBundleInfo> queuedBundles;
        bool hasSessionReporter = false;
        std::optional<std::int64_t> sessionID;
        std::optional<std::int64_t> sessionNumber;
        bool sessionExpired = false;
    };
    Summary summary();
    // The deep links handed to handleDeepLink, with their times, as the
    // monitor's kept lines tell.
    std::vector<std::pair<std::string, double>> openedURLs();
    // keptEvents() then answers only what is stored from now on.
    void forgetKeptEventsForTesting();
    // Tests: forget the shared engine (its database stays on disk).
    static void resetSharedInstanceForTesting();

    // Use initWithAppID or initWithDatabaseName.
    APMMeasurement(std::string databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
                   std::shared_ptr<APMScheduler> scheduler, std::unique_ptr<APMAlarm> alarm,
                   std::string appID, bool isAnalyticsCollectionEnabled,
                   bool isAnalyticsCollectionDeactivated,
                   std::optional<std::vector<std::string>> safelistedEvents);
    ~APMMeasurement() override;

  private:
    friend class APMEngineNetworkBridge;
    // Every worker block goes through these: they hold the engine weakly and
    // stop touching storage once the process exits.
    void scheduleWeakly(const std::string& blockID,
                        std::function<void(const std::shared_ptr<APMMeasurement>&)> block);
    bool dispatchSyncOnWorkerQueue(const std::string& blockID, const std::function<void()>& block);
    bool initializeComponentsOnWorkerQueue();
    // A new session reporter (worker queue) whose reporting follows `enabled`.
    void createSessionReporterOnWorkerQueue(bool reportingEnabled);
    void createNetwork();
    // Whether the network tells the engine of reachability changes.
    void observeReachability(bool observe);
    // Stores a fetched configuration body and its audiences in one
    // transaction; false (logged) when it is refused or cannot be saved.
    bool applyFetchedConfiguration(const Data& body, double now);

    std::string appID_;
    std::string databaseName_;
    std::optional<std::vector<std::string>> safelistedEvents_;
    bool wasEnabledDuringInitialization_ = false;
    std::atomic<bool> isAnalyticsCollectionEnabled_{false};
    std::atomic<bool> isAnalyticsCollectionDeactivated_{false};
    std::atomic<bool> isNetworkRequestPending_{false};
    std::atomic<double> suspendedUploadTimestamp_{0};
    double initTimestamp_ = 0;                     // worker queue after construction
    std::optional<std::string> previousRUVAppID_;  // worker queue
    std::shared_ptr<APMScheduler> scheduler_;
    std::shared_ptr<DispatchQueue> worker_;  // the scheduler's worker queue
    std::unique_ptr<APMAlarm> alarm_;
    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    std::shared_ptr<APMEngineNetworkBridge> networkBridge_;
    std::shared_ptr<NSObject> network_;
    // Rows of the batch in flight; worker queue only.
    std::optional<std::vector<std::int64_t>> uploadingBundleIDs_;
    // Guards the whole component start and the flag below.
    mutable std::mutex initializeComponentsLock_;
    bool lifecycleObserved_ = false;  // worker queue
    // Worker queue only, set when the components start.
    std::shared_ptr<APMRemoteConfig> remoteConfig_;
    std::shared_ptr<APMIdentity> identity_;
    std::shared_ptr<APMAudience> audience_;
    std::shared_ptr<APMSessionReporter> sessionReporter_;
    std::shared_ptr<APMSearchAdReporter> searchAdReporter_;

    // ---- Event write path state ----
    // What a stored event changes outside the database, applied once its
    // transaction has committed. Worker queue only.
    struct PendingWriteEffects {
        bool markUnmatchedFirstOpen = false;
        std::optional<double> consentedFirstOpenTimestamp;
        bool raiseFirstOpenCounter = false;
    };
    PendingWriteEffects pendingWriteEffects_;
    // The day number of the daily limits, now.
    std::int32_t currentDayNumber() const;

    // ---- Entry points state ----

    // ---- Attribution state ----
    std::shared_ptr<APMIdentity> attributionIdentity();
    std::shared_ptr<APMIdentity> attributionIdentityForTesting_;  // worker queue

    // ---- Reports state ----

    mutable std::mutex mutex_;
    bool enabled_ = false;
    double sessionTimeout_ = 1800;
    bool sessionTimeoutSet_ = false;  // by the application
    // Worker queue only.
    std::unique_ptr<APMDatabase> database_;
    // The newest raw row when this start opened the database: the events
    // after it are this start's (read back from the database, never held).
    int64_t keptEventsAfterRowID_ = 0;
    std::atomic<bool> componentsInitialized_{false};  // written under initializeComponentsLock_
};

// An error of the library's domain: a non-empty description under the
// localized-description key, a non-empty context under "APMMonitorContext".
NSError apm_errorWithCode(long long code, const std::string& description,
                          const std::string& monitorContext);
