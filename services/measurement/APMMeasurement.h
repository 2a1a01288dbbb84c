#pragma once
// The measurement engine's process-wide services that the messages and
// their users rely on (the monitor and the library's error values), and the
// engine's entry points for the analytics service core.
//
// The analytics service core calls every instance operation on its serial
// queue. Storage runs on the engine's serial worker queue: events, user
// attributes and conditional user properties live in the engine's database
// ("zevera-app-measurement.sql"). Until the engine exists there is no shared
// instance: callers ask hasSharedInstance() first.

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
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMParameterSanitizer.h"

class APMAlarm;
class APMDatabase;
class APMIdentity;
class APMPersistedConfig;
class APMRemoteConfig;
class APMScheduler;
class APMSessionReporter;
class DispatchQueue;
struct NSNotification;

inline constexpr const char* kAPMErrorDomain = "com.zevera.ruv.measurement.ErrorDomain";
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

// Sees every event before it is kept; may change its parameters; answering
// false drops the event.
using APMLogEventInterceptor =
    std::function<bool(const std::string& name, APMRawParameters& parameters)>;

class APMMeasurement : public APMConditionalUserPropertyEngine,
                       public std::enable_shared_from_this<APMMeasurement> {
  public:
    // The process-wide monitor, created once.
    static APMMonitor& monitor();
    // The engine's measurement configuration, or the default one while the
    // engine has none.
    static std::shared_ptr<APMRemoteConfig> remoteConfig();

    // Creates and starts the shared engine; a second call changes nothing.
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

    bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
    bool isEnabled() override;
    void setEnabled(bool enabled);
    void setSessionTimeoutInterval(double seconds);
    double sessionTimeoutInterval() const;
    void setDefaultEventParameters(const std::optional<Dictionary>& parameters);
    // Keeps the event when `enabled` or `ignoreEnabled`; the interceptor runs
    // unless `ignoreInterceptor`. Safelisting: while a safelist is set, only
    // its events and the public ones are kept.
    void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                            const APMRawParameters& parameters, double timestamp, bool enabled,
                            bool ignoreEnabled, bool ignoreInterceptor,
                            const APMLogEventInterceptor& interceptor,
                            const std::optional<APMRawParameters>& addedScreenParameters);
    // A screen view of the application's window ("screen_view").
    void trackScreenWithParameters(const Dictionary& parameters, double timestamp);
    void setUserAttribute(const APMUserAttribute& attribute);
    void removeUserAttribute(const APMUserAttribute& attribute);
    // Name to value; the callback runs on the worker queue.
    void userPropertiesIncludingInternal(bool includeInternal,
                                         std::function<void(Dictionary)> callback);
    void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int)> callback);
    // Forgets every event, attribute and conditional property and makes the
    // identifier the identity's; waits for the worker queue.
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
    std::shared_ptr<APMIdentity> identity() const { return identity_; }
    APMSessionReporter* sessionReporter() const { return sessionReporter_.get(); }
    const std::string& appID() const { return appID_; }

    // ---- Event write path (APMMeasurementWritePath.cpp) ----
    // Internal events of the engine's own reporters.
    void handleInternalEventOnWorkerQueue(const APMEvent& event);
    // Every logged event.
    void handleEventOnWorkerQueue(const APMEvent& event);

    // ---- Entry points, user properties, reset and wipe (APMMeasurementEntryPoints.cpp) ----
    void logEventOnWorkerQueue(const APMEvent& event, bool notifyEventListeners);
    void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
    // True when stored.
    bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute);
    void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
    bool wipeoutAnalyticsDataAndResetComponents();
    // Arms the upload timer for the next upload.
    void updateSchedule();

    // ---- Deep links and campaign attribution (APMMeasurementAttribution.cpp) ----
    // Keeps the URL of a launch notification until the engine starts.
    static void handleStoredURLAfterAppLaunchWithNotification(const NSNotification& notification);
    // Removes the stored launch URL when it has outlived the attribution
    // cache's time to live.
    void clearExpiredStoredDeepLinkOnWorkerQueue();
    void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs);
    bool shouldAllowRequestDeferredDeepLink();
    void requestDeferredDeepLink();

    // ---- First-open, update and session-start reports (APMMeasurementReports.cpp) ----
    void reportFirstOpenOnWorkerQueue();
    void reportAppUpdateOnWorkerQueue();
    void reportOSUpdateOnWorkerQueue();
    void setPersonalizedAdsUserPropertyOnWorkerQueue();
    void backfillSessionNumber();
    void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);

    // APMConditionalUserPropertyEngine.
    APMDatabase* database() override;
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override;
    bool checkOnBackgroundThread(const std::string& methodName) override;
    void writeEventOnWorkerQueue(const APMEvent& event) override;

    // Tests and the console: the events kept so far, oldest first (waits for
    // the worker queue).
    std::vector<APMEvent> keptEvents();
    // The URLs handed to handleNonFirstOpenEventURL, with their times.
    std::vector<std::pair<std::string, double>> openedURLs();
    void forgetKeptEventsForTesting();
    // Tests: forget the shared engine (its database stays on disk).
    static void resetSharedInstanceForTesting();

    APMMeasurement(std::string appID, bool enabled,
                   std::optional<std::vector<std::string>> safelistedEvents);
    ~APMMeasurement() override;

  private:
    void start();

    std::string appID_;
    std::optional<std::vector<std::string>> safelistedEvents_;
    bool wasEnabledDuringInitialization_ = false;
    std::shared_ptr<APMScheduler> scheduler_;
    std::shared_ptr<DispatchQueue> worker_;  // the scheduler's worker queue
    std::unique_ptr<APMAlarm> alarm_;
    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    // Worker queue only, set when the components start.
    std::shared_ptr<APMRemoteConfig> remoteConfig_;
    std::shared_ptr<APMIdentity> identity_;
    std::shared_ptr<APMSessionReporter> sessionReporter_;

    // ---- Event write path state ----

    // ---- Entry points state ----

    // ---- Attribution state ----

    // ---- Reports state ----

    mutable std::mutex mutex_;
    bool enabled_ = false;
    double sessionTimeout_ = 1800;
    std::optional<Dictionary> defaultEventParameters_;
    // Worker queue only.
    std::unique_ptr<APMDatabase> database_;
    std::vector<APMEvent> kept_;
    std::vector<std::pair<std::string, double>> openedURLs_;
    std::atomic<bool> componentsInitialized_{false};
};

// Reports the purchases that passed the engine's filter.
class APMInAppPurchaseTransactionReporter {
  public:
    static APMInAppPurchaseTransactionReporter& sharedInstance();
    void paymentQueueUpdatedFilteredTransactions(
        const std::shared_ptr<NSObject>& paymentQueue,
        const std::vector<std::shared_ptr<NSObject>>& transactions);
    // Tests: what was reported so far, oldest first.
    std::vector<std::shared_ptr<NSObject>> reportedTransactions() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<NSObject>> reported_;
};

// An error of the library's domain: a non-empty description under the
// localized-description key, a non-empty context under "APMMonitorContext".
NSError apm_errorWithCode(long long code, const std::string& description,
                          const std::string& monitorContext);
