#include "services/core/ZAROduzozovaConfiguration.h"

#include "platform/defaults/NSUserDefaults.h"
#include "platform/notifications/NSNotificationCenter.h"

std::shared_ptr<ZAROduzozovaConfiguration> ZAROduzozovaConfiguration::sharedInstance() {
    static const auto instance = std::make_shared<ZAROduzozovaConfiguration>();
    return instance;
}

void ZAROduzozovaConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
    setAnalyticsCollectionEnabled(enabled, true);
}

void ZAROduzozovaConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
    if (persistSetting) {
        auto defaults = NSUserDefaults::standardUserDefaults();
        defaults->setInteger(enabled ? 1 : 2, kMeasurementEnabledStateKey);
        defaults->synchronize();
    }
    postNotificationName(kZAROduzozovaConfigurationSetEnabledNotification, Value(enabled));
}

void ZAROduzozovaConfiguration::postNotificationName(const std::string& name,
                                                     const std::optional<Value>& value) {
    if (name.empty() || !value) return;
    NSNotificationCenter::defaultCenter()->postNotificationName(name, shared_from_this(),
                                                                Dictionary{{name, *value}});
}
