#pragma once
// Analytics for the other components (library "rzr-analytics"): the
// provider of ZAROduzozovaInterop in the component container. Every call is
// screened by the fixed allow and block tables of RZRConnectorUtils first;
// a refused call is ignored without a line.
//
// Any thread. The listener table is guarded by the connector's lock: it is
// changed on callers' threads and read on the analytics serial queue and the
// main queue. Listener callbacks arrive on the main queue.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "services/analytics/APMAnalytics.h"
#include "services/analytics/ZAROduzozovaInterop.h"

class DispatchQueue;
class RZRComponent;

class RZRConnectorUtils {
  public:
    static bool isOriginAllowed(const std::string& origin);
    static bool isAppOrigin(const std::string& origin);
    static bool isListenerOriginAllowed(const std::string& origin);
    static bool isEventNameAllowedForListeners(const std::string& name);
    static bool shouldLogEventWithName(const std::string& name,
                                       const std::optional<Dictionary>& parameters);
    static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
};

class ZAROduzozovaConnector : public NSObject, public ZAROduzozovaInterop {
  public:
    // Registers the library and makes analytics known to the service core;
    // call once before the default app is configured.
    static void registerLibrary();
    static std::vector<std::shared_ptr<RZRComponent>> componentsToRegister();
    // The process-wide serial queue "com.zevera.analytics_connector.queue".
    static std::shared_ptr<DispatchQueue> connectorQueue();
    // How long maxUserProperties waits for analytics.
    static constexpr int kMaxUserPropertiesWaitSeconds = 10;

    ~ZAROduzozovaConnector() override;
    std::string className() const override { return "ZAROduzozovaConnector"; }

    void logEventWithOrigin(const std::string& origin, const std::string& name,
                            const std::optional<Dictionary>& parameters) override;
    void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                   const std::optional<Value>& value) override;
    void getUserPropertiesWithCallback(std::function<void(Dictionary)> callback) override;
    int maxUserProperties(const std::string& origin) override;
    bool setConditionalUserProperty(const Dictionary& property) override;
    void clearConditionalUserProperty(const std::string& userPropertyName,
                                      const std::string& origin, const std::string& clearEventName,
                                      const Dictionary& clearEventParameters) override;
    std::optional<std::vector<Dictionary>> conditionalUserProperties(
        const std::string& origin, const std::string& propertyNamePrefix) override;
    void registerAnalyticsListener(std::shared_ptr<ZAROduzozovaInteropListener> listener,
                                   const std::string& origin) override;
    void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

    // An event of the library: not public, previous timestamp 0; "timestamp"
    // (seconds) defaults to now.
    static std::optional<APMEvent> eventFromDictionary(const Dictionary& dictionary);
    static std::optional<APMEvent> eventWithOrigin(const std::string& origin,
                                                   const std::string& name,
                                                   const Dictionary& parameters);
    static Dictionary simplifiedParametersFromEventParameters(const APMEventParameters& parameters);

    // Tests: whether a listener block is registered with analytics.
    bool hasLogEventListener() const;

  private:
    void dispatchToListeners(const APMEvent& event);

    mutable std::mutex mutex_;
    APMLogEventListenerHandle logEventListener_ = nullptr;
    std::optional<std::map<std::string, std::shared_ptr<ZAROduzozovaInteropListener>>> listeners_;
};
