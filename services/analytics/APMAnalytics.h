#pragma once
// The analytics service core between the public face (ZAROduzozova) and the
// measurement engine (APMMeasurement). It starts the engine once per
// process, holds the collection switches, checks public names and values,
// stamps events in call order and hands all work to one serial queue
// ("APMAnalyticsQueue") so that the engine sees calls in the order made.
//
// Queued operations wait, in order, until start. A start that ends early
// still releases them; without an engine they are answered safely (events
// dropped, queries answered empty). Callbacks go to the queue the caller
// names. No method reports failure: refusals are monitor lines or the
// validation error event.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMMeasurement.h"

class DispatchQueue;
struct NSNotification;

struct APMLoggedEvent {
    std::string origin;
    std::string name;
    Dictionary parameters;
};

using APMLogEventListener = std::function<void(const APMEvent&)>;
// Identifies one added listener; null for none.
using APMLogEventListenerHandle = const void*;

inline constexpr const char* kZAROduzozovaWillStartNotification =
    "kZAROduzozovaWillStartNotification";

// A runtime object, so that the store's payment queue can message it as its
// transaction observer ("paymentQueue:updatedTransactions:").
class APMAnalytics : public RuntimeObject {
  public:
    static std::shared_ptr<APMAnalytics> sharedInstance();
    std::string className() const override { return "APMAnalytics"; }

    // Queues.
    static std::shared_ptr<DispatchQueue> queue();
    static bool isCurrentQueueSerialQueue();
    static void dispatchAsyncOnSerialQueue(std::function<void()> block);
    static void queueOperationWithBlock(std::function<void()> block);
    static void unsuspendOperationQueue();

    // Start: origin "ra" through the public face; options as it builds them.
    static void startWithAppID(const std::string& appID, const std::string& origin,
                               const Dictionary& options);

    // Collection switches.
    static void setAnalyticsEnabled(bool enabled, bool persistSetting);
    static void setAnalyticsEnabled(bool enabled);
    static void observeNotificationsForAnalyticsConfiguration(
        const std::shared_ptr<NSObject>& configuration);
    static void handleSetEnabled(const NSNotification& notification);
    static void setSessionTimeoutInterval(double seconds);
    static void setDefaultEventParameters(const std::optional<Dictionary>& parameters);

    // Events.
    static void logEventWithName(const std::string& name, const Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const Dictionary& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                   const std::string& name, const Dictionary& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           double timestamp, const Dictionary& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                   const std::string& name, const Dictionary& parameters,
                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
    // The interop entry: an ad event identifier of origin "zd" given as
    // decimal text becomes an integer value.
    void logInternalEventForInterop(const std::string& origin, const std::string& name,
                                    const Dictionary& parameters);

    // User properties. A value that is not a string is refused with a line.
    static void setUserPropertyString(const std::optional<Value>& value, const std::string& name);
    static void setUserAttributeNumber(const Value& number, const std::string& name);
    static void setUserID(const std::optional<Value>& userID);
    static void removeUserAttributeForName(const std::string& name);
    static void removeInternalUserAttributeForName(const std::string& name);
    void setInternalUserProperty(const std::optional<Value>& value, const std::string& name,
                                 const std::string& origin);
    static void userPropertiesIncludingInternal(bool includeInternal,
                                                const std::shared_ptr<DispatchQueue>& queue,
                                                std::function<void(Dictionary)> callback);
    void maxUserPropertiesForOrigin(const std::string& origin,
                                    const std::shared_ptr<DispatchQueue>& queue,
                                    std::function<void(int)> callback);

    // Interceptor and listeners (kept on the serial queue).
    static void setLogEventInterceptor(APMLogEventInterceptor interceptor);
    static APMLogEventListenerHandle addLogEventListener(APMLogEventListener listener);
    static void removeLogEventListener(APMLogEventListenerHandle handle);
    static void notifyEventListeners(const APMEvent& event);

    // Application hooks.
    static void setOpenURLListener(std::function<void(const std::string&)> listener);
    static void handleOpenURL(const std::string& url);
    // A user activity (a runtime object); a browsing activity's web address
    // reaches the engine as an opened URL.
    static void handleUserActivity(const std::shared_ptr<NSObject>& activity);
    static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                    std::function<void()> completionHandler);
    // Once per process, on the main queue: proxies the application delegate
    // and registers the measurement interceptor with it.
    static void createAppDelegateProxy();
    // Starts the video-ads library when it is linked.
    static void maybeEnableVadIzivure();
    // The payment queue's observer entry: while collection is on, the
    // engine's filter picks the transactions the reporter gets.
    static void paymentQueueUpdatedTransactions(
        const std::shared_ptr<NSObject>& paymentQueue,
        const std::vector<std::shared_ptr<NSObject>>& transactions);
    void paymentQueue(const std::shared_ptr<NSObject>& paymentQueue,
                      const std::vector<std::shared_ptr<NSObject>>& transactions);
    static double loadTimestamp();
    static void setLoadTimestamp(double seconds);

    // Consent, reset and the app instance identifier (settings store: the
    // suite "APMAnalyticsSuiteName").
    static std::optional<Dictionary> consentSettings3P();
    static std::optional<Dictionary> consentSettings1P();
    static std::optional<Dictionary> consentSettings1PStart();
    static void setConsentSettings1PStart(const Dictionary& settings);
    static bool deferredResetOnDeniedConsent();
    static void removeStartUpConsentSettings();
    static void removeDeferredResetOnDeniedConsent();
    static long long resetRetryCount();
    static void setResetRetryCount(long long count);
    static bool needFirstOpenAfterReset();
    static void setNeedFirstOpenAfterReset(bool due);
    static void removeNeedFirstOpenAfterReset();
    static std::optional<std::string> appInstanceIDAfterReset();
    static void setAppInstanceIDAfterReset(const std::optional<std::string>& identifier);
    static std::optional<Value> deferredAnalyticsCollection();
    static void setDeferredAnalyticsCollection(const std::optional<Value>& value);
    static long long persistedConsentSource();
    static void persistConsentSettings(const Dictionary& settings, long long source);
    static void loadPersistedConsentSettings();
    static void setConsent(const Dictionary& consent);
    static void setConsent(const Dictionary& consent, const std::string& key);
    static void clearConsent();
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();

    // Tests and the console. Not on the serial queue: they wait for it.
    static bool isAnalyticsEnabled();
    // What the engine kept so far, oldest first.
    static std::vector<APMLoggedEvent> loggedEvents();
    static void clearLoggedEventsForTesting();
    // Returns once the work queued so far (and released) has run.
    static void waitForPendingWorkForTesting();
};
