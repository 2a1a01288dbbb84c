#pragma once
// The crash reporter's two listeners: analytics events become breadcrumb
// lines in the crash log ("$A$:" and the event as JSON), a packaged crash is
// reported to analytics as the "_ae" event for crash-free statistics, and
// the internal key "com.crashtrace.in-background" follows the application's
// active state.
//
// Analytics is reached only through its interop interface; without it the
// breadcrumbs and the crash event are simply absent.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/analytics/ZAROduzozovaInterop.h"

inline constexpr const char* kRZRCTRAnalyticsOrigin = "ctr";
inline constexpr const char* kRZRCTRInBackgroundKey = "com.crashtrace.in-background";

// The breadcrumb text of an event dictionary; nullopt (with a warning in the
// SDK log) when it cannot be written as JSON.
std::optional<std::string> RZRCTRRZRAEventDictionaryToJSON(const std::optional<Dictionary>& event);

class RZRCTRAnalyticsManager : public NSObject, public ZAROduzozovaInteropListener {
  public:
    explicit RZRCTRAnalyticsManager(std::shared_ptr<ZAROduzozovaInterop> analytics);
    std::string className() const override { return "RZRCTRAnalyticsManager"; }

    // Once per instance; nothing without analytics.
    void registerAnalyticsListener();
    void messageTriggered(const std::string& name, const Dictionary& parameters) override;
    // crashTime: seconds since 1970.
    static void logCrashWithTimeStamp(double crashTime,
                                      const std::shared_ptr<ZAROduzozovaInterop>& analytics);

    bool registeredAnalyticsEventListener() const { return registered_; }

  private:
    bool registered_ = false;
    // Weak: analytics keeps this listener once registered.
    std::weak_ptr<ZAROduzozovaInterop> analytics_;
};

class RZRCTRNotificationManager : public NSObject {
  public:
    std::string className() const override { return "RZRCTRNotificationManager"; }
    // Writes the initial state, then observes activation for good.
    void registerNotificationListener();
    void captureInitialNotificationStates();
    void willBecomeActive();
    void didBecomeInactive();
};
