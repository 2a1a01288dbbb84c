#pragma once
// Analytics as A/B testing and the fetch see it, recording what they did.

#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "services/remoteconfig/RZRExperimentController.h"

class FakeAnalytics : public ZAROduzozovaInterop {
  public:
    std::optional<std::vector<Dictionary>> conditionalUserProperties(const std::string&,
                                                                     const std::string&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unavailable) return std::nullopt;
        return properties;
    }
    int maxUserProperties(const std::string&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return maximum;
    }
    bool setConditionalUserProperty(const Dictionary& property) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // As analytics: a trigger time-out or time to live out of range is
        // refused.
        for (const char* key : {"triggerTimeout", "timeToLive"}) {
            const double seconds = property[key].asDouble().value_or(0);
            if (refuseAll || seconds < 0.001 || seconds > 15552000) {
                calls.push_back("refused " + property["name"].asString().value_or(""));
                return false;
            }
        }
        properties.push_back(property);
        calls.push_back("set " + property["name"].asString().value_or("") + "=" +
                        property["value"].asString().value_or(""));
        return true;
    }
    void clearConditionalUserProperty(const std::string& name, const std::string&,
                                      const std::string& event, const Dictionary&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(properties, [&](const Dictionary& p) { return p["name"] == Value(name); });
        calls.push_back("clear " + name + " " + event);
    }
    void logEventWithOrigin(const std::string& origin, const std::string& name,
                            const std::optional<Dictionary>& parameters) override {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.push_back("log " + name);
        events.push_back({origin, name, parameters.value_or(Dictionary{})});
    }
    void getUserPropertiesWithCallback(std::function<void(Dictionary)> callback) override {
        Dictionary copy;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            copy = user;
        }
        DispatchQueue::global()->async([callback, copy] { callback(copy); });
    }
    void setUserPropertyWithOrigin(const std::string&, const std::string&,
                                   const std::optional<Value>&) override {}
    void registerAnalyticsListener(std::shared_ptr<ZAROduzozovaInteropListener>,
                                   const std::string&) override {}
    void unregisterAnalyticsListenerWithOrigin(const std::string&) override {}
    std::vector<std::string> takeCalls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(calls, {});
    }

    std::mutex mutex_;
    std::vector<Dictionary> properties;
    bool unavailable = false;
    bool refuseAll = false;
    int maximum = 10;
    Dictionary user;
    std::vector<std::string> calls;
    struct Event {
        std::string origin, name;
        Dictionary parameters;
    };
    std::vector<Event> events;
};

inline Dictionary experiment(const char* id, const char* variant) {
    return Dictionary{{"name", id}, {"value", variant}};
}
