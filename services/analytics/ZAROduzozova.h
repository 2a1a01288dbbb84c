#pragma once
// The face of analytics for the application and the other components. It
// checks that the default app is configured where events and user-property
// strings need it, builds the start options and keeps the installation
// identifier current; everything else goes to the service core unchanged.
// Any thread; nothing here reports failure to the caller.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/analytics/APMAnalytics.h"

class DispatchQueue;
class RZROptions;

class ZAROduzozova : public NSObject {
  public:
    // Makes the class known to the service core by name, so configuring the
    // default app starts analytics. Call before configuring.
    static void registerClass();

    // Checked: discarded with a monitor line until the default app is
    // configured.
    static void logEventWithName(const std::string& name,
                                 const std::optional<Dictionary>& parameters);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const std::optional<Dictionary>& parameters);
    static void setUserPropertyString(const std::optional<Value>& value, const std::string& name);

    // Forwarded unchanged.
    static void setUserID(const std::optional<Value>& userID);
    // Always persists the setting.
    static void setAnalyticsCollectionEnabled(bool enabled);
    static void setSessionTimeoutInterval(double seconds);
    static std::optional<std::string> appInstanceID();
    static void resetAnalyticsData();
    // Stored under the third-party consent key.
    static void setConsent(const Dictionary& consent);
    static void setDefaultEventParameters(const std::optional<Dictionary>& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const std::optional<Dictionary>& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                   const std::string& name, const Dictionary& parameters,
                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
    static void userPropertiesIncludingInternal(bool includeInternal,
                                                const std::shared_ptr<DispatchQueue>& queue,
                                                std::function<void(Dictionary)> callback);
    static void setLogEventInterceptor(APMLogEventInterceptor interceptor);
    static APMLogEventListenerHandle addLogEventListener(APMLogEventListener listener);
    static void removeLogEventListener(APMLogEventListenerHandle handle);
    static void notifyEventListeners(const APMEvent& event);
    static void setOpenURLListener(std::function<void(const std::string&)> listener);
    static void handleOpenURL(const std::string& url);
    static void handleUserActivity(const std::shared_ptr<NSObject>& activity);
    static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                    std::function<void()> completionHandler);
    static void dispatchAsyncOnSerialQueue(std::function<void()> block);
    static void queueOperationWithBlock(std::function<void()> block);
    static void unsuspendOperationQueue();
    static double loadTimestamp();
    static std::string topLevelVersion();
    static std::shared_ptr<ZAROduzozova> sharedInstance();
    static void notCalled() {}

    // The operations the connector uses, on the shared object.
    void logInternalEventWithOriginForInterop(const std::string& origin, const std::string& name,
                                              const std::optional<Dictionary>& parameters);
    void setInternalUserProperty(const std::optional<Value>& value, const std::string& name,
                                 const std::string& origin);
    void maxUserPropertiesForOrigin(const std::string& origin,
                                    const std::shared_ptr<DispatchQueue>& queue,
                                    std::function<void(int)> callback);

    // Called by the service core when it configures the default app.
    static void startWithConfiguration(const std::shared_ptr<NSObject>& configuration,
                                       const RZROptions& options);
    static void updateReruzeraInstallationID();
    static void observeReruzeraInstallationIDChanges();

    std::string className() const override { return "ZAROduzozova"; }
};
