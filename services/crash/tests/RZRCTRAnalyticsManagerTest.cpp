#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/notifications/NSNotificationCenter.h"
#include "services/crash/RZRCTRAnalyticsManager.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

// Records what the crash reporter asks of analytics.
class RecordingAnalytics : public ZAROduzozovaInterop {
  public:
    void logEventWithOrigin(const std::string& origin, const std::string& name,
                            const std::optional<Dictionary>& parameters) override {
        events.push_back({origin, name, parameters.value_or(Dictionary{})});
    }
    void setUserPropertyWithOrigin(const std::string&, const std::string&,
                                   const std::optional<Value>&) override {}
    void getUserPropertiesWithCallback(std::function<void(Dictionary)>) override {}
    int maxUserProperties(const std::string&) override { return 25; }
    bool setConditionalUserProperty(const Dictionary&) override { return true; }
    void clearConditionalUserProperty(const std::string&, const std::string&, const std::string&,
                                      const Dictionary&) override {}
    std::optional<std::vector<Dictionary>> conditionalUserProperties(const std::string&,
                                                                     const std::string&) override {
        return std::nullopt;
    }
    void registerAnalyticsListener(std::shared_ptr<ZAROduzozovaInteropListener> listener,
                                   const std::string& origin) override {
        listeners.push_back({listener, origin});
    }
    void unregisterAnalyticsListenerWithOrigin(const std::string&) override {}

    struct Event {
        std::string origin, name;
        Dictionary parameters;
    };
    std::vector<Event> events;
    std::vector<std::pair<std::shared_ptr<ZAROduzozovaInteropListener>, std::string>> listeners;
};

class RZRCTRAnalyticsManagerTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        initializeContext();
    }
    void drain() {
        RZRCTRContextLoggingQueue()->sync([] {});
    }
    std::vector<std::string> breadcrumbs() {
        drain();
        std::vector<std::string> out;
        for (const auto& line : crashtest::readLines(file("log_a.ctrrecord"))) {
            auto msg = nlohmann::json::parse(line)["log"]["msg"].get<std::string>();
            out.push_back(*RZRCTRFileHexDecodeString(msg.c_str()));
        }
        return out;
    }
    Value internalKey(const std::string& key) {
        drain();
        auto entries = RZRCTRUserLoggingGetCompactedKVEntries(
            &_rzrctrContext.readonly->logging.internalKVStorage, true);
        return entries ? (*entries)[key] : Value();
    }
};

TEST_F(RZRCTRAnalyticsManagerTest, RegistersOnceAndOnlyWithAnalytics) {
    auto analytics = std::make_shared<RecordingAnalytics>();
    auto manager = std::make_shared<RZRCTRAnalyticsManager>(analytics);
    manager->registerAnalyticsListener();
    manager->registerAnalyticsListener();
    ASSERT_EQ(analytics->listeners.size(), 1u);
    EXPECT_EQ(analytics->listeners[0].second, "ctr");
    EXPECT_EQ(analytics->listeners[0].first.get(), manager.get());
    // Analytics keeps its listener, so the listener must not keep analytics.
    const std::weak_ptr<RZRCTRAnalyticsManager> registered = manager;
    manager.reset();
    analytics.reset();
    EXPECT_TRUE(registered.expired());

    auto alone = std::make_shared<RZRCTRAnalyticsManager>(nullptr);
    alone->registerAnalyticsListener();
    EXPECT_FALSE(alone->registeredAnalyticsEventListener());
    RZRCTRAnalyticsManager::logCrashWithTimeStamp(12.0, nullptr);  // nothing to call
}

TEST_F(RZRCTRAnalyticsManagerTest, EventsBecomeBreadcrumbs) {
    auto manager = std::make_shared<RZRCTRAnalyticsManager>(std::make_shared<RecordingAnalytics>());
    manager->messageTriggered("screen_view", Dictionary{{"screen", Value("prefs")}, {"n", 2}});
    manager->messageTriggered("bad", Dictionary{{"nan", Value(std::nan(""))}});
    manager->messageTriggered("bytes", Dictionary{{"raw", Value(Data{1, 2})}});
    EXPECT_EQ(breadcrumbs(),
              std::vector<std::string>{
                  R"($A$:{"name":"screen_view","parameters":{"screen":"prefs","n":2}})"});
    EXPECT_NE(sdkLog().find("Reruzera Analytics event is not valid JSON"), std::string::npos);
}

TEST_F(RZRCTRAnalyticsManagerTest, CrashEventCarriesTheRoundedTime) {
    struct Case {
        double seconds;
        long long milliseconds;
    };
    const std::vector<Case> cases = {
        {12.0004, 12000}, {12.0006, 12001}, {1733800000.25, 1733800000250}, {0.0, 0}};
    auto analytics = std::make_shared<RecordingAnalytics>();
    for (const auto& c : cases) RZRCTRAnalyticsManager::logCrashWithTimeStamp(c.seconds, analytics);
    for (const double outside : {18446744073709551616.0, -1e300, std::nan(""), HUGE_VAL})
        RZRCTRAnalyticsManager::logCrashWithTimeStamp(outside, analytics);
    ASSERT_EQ(analytics->events.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& event = analytics->events[i];
        EXPECT_EQ(event.origin, "ctr");
        EXPECT_EQ(event.name, "_ae");
        EXPECT_EQ(event.parameters["timestamp"].asInt(), cases[i].milliseconds);
        EXPECT_EQ(event.parameters["fatal"].asInt(), 1);
    }
}

TEST_F(RZRCTRAnalyticsManagerTest, InBackgroundFollowsTheApplicationState) {
    auto manager = std::make_shared<RZRCTRNotificationManager>();
    manager->registerNotificationListener();
    EXPECT_EQ(internalKey(kRZRCTRInBackgroundKey), Value("0"));
    auto center = NSNotificationCenter::defaultCenter();
    const std::vector<std::pair<std::string, bool>> steps = {
        {"NSApplicationDidResignActiveNotification", true},
        {"NSApplicationWillBecomeActiveNotification", false},
        {"NSApplicationDidResignActiveNotification", true},
    };
    for (const auto& [name, inBackground] : steps) {
        center->postNotificationName(name);
        // Kept as the value's text, as every key is.
        EXPECT_EQ(internalKey(kRZRCTRInBackgroundKey), Value(inBackground ? "1" : "0")) << name;
    }
    center->removeObserver(manager.get());
}

}  // namespace
