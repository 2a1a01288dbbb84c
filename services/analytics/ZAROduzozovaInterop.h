#pragma once
// What the other components may ask of analytics, through the component
// container, without linking against it. The analytics connector provides it;
// every call is screened there and a refused call is ignored without a line.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "services/core/RZRComponent.h"

// A listener for the events logged with one origin; called on the main queue.
class ZAROduzozovaInteropListener {
  public:
    virtual ~ZAROduzozovaInteropListener() = default;
    virtual void messageTriggered(const std::string& name, const Dictionary& parameters) = 0;
};

class ZAROduzozovaInterop {
  public:
    virtual ~ZAROduzozovaInterop() = default;
    virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                    const std::optional<Dictionary>& parameters) = 0;
    // An absent value removes the property.
    virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                           const std::optional<Value>& value) = 0;
    // The public user properties; the callback runs on the connector's queue.
    virtual void getUserPropertiesWithCallback(std::function<void(Dictionary)> callback) = 0;
    // Blocks for at most 10 seconds; 0 when analytics did not answer. Never
    // call it on the connector's queue or the analytics serial queue.
    virtual int maxUserProperties(const std::string& origin) = 0;
    // False when analytics refused the property (an invalid name, value,
    // trigger time-out or time to live).
    virtual bool setConditionalUserProperty(const Dictionary& property) = 0;
    virtual void clearConditionalUserProperty(const std::string& userPropertyName,
                                              const std::string& origin,
                                              const std::string& clearEventName,
                                              const Dictionary& clearEventParameters) = 0;
    // {"name", "value"} per property of the origin whose name starts with the
    // prefix; absent when they cannot be had.
    virtual std::optional<std::vector<Dictionary>> conditionalUserProperties(
        const std::string& origin, const std::string& propertyNamePrefix) = 0;
    virtual void registerAnalyticsListener(std::shared_ptr<ZAROduzozovaInteropListener> listener,
                                           const std::string& origin) = 0;
    virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};

inline const RZRProtocol& ZAROduzozovaInteropProtocol() {
    static const RZRProtocol protocol = RZRProtocol::of<ZAROduzozovaInterop>("ZAROduzozovaInterop");
    return protocol;
}
