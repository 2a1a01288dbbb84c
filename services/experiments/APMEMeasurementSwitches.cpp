#include "services/experiments/APMEMeasurementSwitches.h"

const std::array<APMEMeasurementSwitches::Info, 5>& APMEMeasurementSwitches::all() {
    static const std::array<Info, 5> switches = {{
        {APMEMeasurementSwitch::EfficientEngagementReporting,
         "efficient_engagement_reporting_enabled",
         "measurement.collection.efficient_engagement_reporting_enabled"},
        {APMEMeasurementSwitch::RedundantEngagementRemoval, "redundant_engagement_removal_enabled",
         "measurement.collection.redundant_engagement_removal_enabled"},
        {APMEMeasurementSwitch::NonBlockingAppInstanceID, "non_blocking_app_instance_id_enabled",
         "measurement.non_blocking_app_instance_id_enabled"},
        {APMEMeasurementSwitch::PersistentConfigInApplicationSupport,
         "persistent_config_in_application_support_enabled",
         "measurement.persistent_config_in_application_support_enabled"},
        {APMEMeasurementSwitch::NetworkBackgroundSession, "network_background_session_enabled",
         "measurement.network.background_session_enabled"},
    }};
    return switches;
}

std::shared_ptr<APMEMeasurementSwitches> APMEMeasurementSwitches::create(
    const std::shared_ptr<APMEManager>& manager, std::int64_t libraryVersion,
    SettingReader settings) {
    std::shared_ptr<APMEMeasurementSwitches> self(new APMEMeasurementSwitches());
    self->settings_ = std::move(settings);
    if (!manager) return self;
    auto property = APMESDKProperty::initWithName(Value(kSDKName));
    property->version = libraryVersion;
    Dictionary defaults;
    for (const auto& info : all()) defaults.set(info.flag, Value(0));
    self->client_ = manager->registerSDKProperty(property, defaults);
    if (!self->client_) return self;
    self->delegate_ = std::make_shared<APMEClientDelegate>();
    std::weak_ptr<APMEMeasurementSwitches> weak = self;
    self->delegate_->clientDidReceiveNewSnapshot = [weak](APMEClient&) {
        if (auto s = weak.lock()) {
            std::lock_guard lock(s->mutex_);
            s->hasNewSnapshot_ = true;
        }
    };
    self->delegate_->didReceiveFetchError = [](APMEClient&, const NSError& error) {
        APMEManager::monitor().logWithLevel(2, 29025, "Cannot fetch experiment. Error",
                                            Value(error.description()));
    };
    self->client_->setDelegate(self->delegate_);
    NSError error;
    if (!self->client_->activateLatestSnapshot(&error) && !error.domain.empty()) {
        APMEManager::monitor().logWithLevel(2, 29023, "Cannot activate stale snapshot. Error",
                                            Value(error.localizedDescription()));
    }
    return self;
}

bool APMEMeasurementSwitches::isEnabled(APMEMeasurementSwitch which) {
    const Info* info = nullptr;
    for (const auto& candidate : all()) {
        if (candidate.which == which) info = &candidate;
    }
    if (!info) return false;
    if (client_) {
        Value value = client_->objectForKeyedSubscript(Value(info->flag));
        if (!value.isNull()) return value.asInt().value_or(0) != 0;
    }
    return settings_ ? settings_(info->settingKey) : false;
}

bool APMEMeasurementSwitches::hasNewSnapshot() const {
    std::lock_guard lock(mutex_);
    return hasNewSnapshot_;
}

bool APMEMeasurementSwitches::activateNewSnapshot() {
    if (!hasNewSnapshot() || !client_) return false;
    NSError error;
    if (!client_->activateLatestSnapshot(&error)) {
        APMEManager::monitor().logWithLevel(2, 29024, "Cannot activate snapshot. Error",
                                            Value(error.localizedDescription()));
        return false;
    }
    std::lock_guard lock(mutex_);
    hasNewSnapshot_ = false;
    return true;
}
