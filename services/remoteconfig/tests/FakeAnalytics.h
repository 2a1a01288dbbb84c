#pragma once
// Analytics as A/B testing and the fetch see it, recording what they did.

#include <mutex>
#include <string>
#include <vector>

#include "services/remoteconfig/RZRExperimentController.h"

class FakeAnalytics : public ABTAnalyticsConnector {
  public:
    std::optional<std::vector<Dictionary>> conditionalUserProperties(const std::string&,
                                                                     const std::string&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return properties;
    }
    int maxUserProperties(const std::string&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return maximum;
    }
    void setConditionalUserProperty(const Dictionary& property) override {
        std::lock_guard<std::mutex> lock(mutex_);
        properties.push_back(property);
        calls.push_back("set " + property["name"].asString().value_or("") + "=" +
                        property["value"].asString().value_or(""));
    }
    void clearConditionalUserProperty(const std::string& name, const std::string&,
                                      const std::string& event, const Dictionary&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(properties, [&](const Dictionary& p) { return p["name"] == Value(name); });
        calls.push_back("clear " + name + " " + event);
    }
    void logEvent(const std::string&, const std::string& name, const Dictionary&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.push_back("log " + name);
    }
    Dictionary userProperties() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return user;
    }
    std::vector<std::string> takeCalls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(calls, {});
    }

    std::mutex mutex_;
    std::vector<Dictionary> properties;
    int maximum = 10;
    Dictionary user;
    std::vector<std::string> calls;
};

inline Dictionary experiment(const char* id, const char* variant) {
    return Dictionary{{"name", id}, {"value", variant}};
}
