#pragma once
// The analytics collection switch as the core sees it: it stores the choice
// in the standard user defaults (1 enabled, 2 disabled) and announces it with
// "ZAROduzozovaConfigurationSetEnabledNotification" from this singleton.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

inline constexpr const char* kZAROduzozovaConfigurationSetEnabledNotification =
    "ZAROduzozovaConfigurationSetEnabledNotification";

class ZAROduzozovaConfiguration : public NSObject {
  public:
    static constexpr const char* kMeasurementEnabledStateKey =
        "/zevera/measurement/measurement_enabled_state";

    static std::shared_ptr<ZAROduzozovaConfiguration> sharedInstance();

    // Persists the choice.
    void setAnalyticsCollectionEnabled(bool enabled);
    void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);
    // Posts only for a non-empty name and a present value.
    void postNotificationName(const std::string& name, const std::optional<Value>& value);

    std::string className() const override { return "ZAROduzozovaConfiguration"; }
};
