#pragma once
// The measurement engine's switches that experiments decide. The engine's
// configuration registers with the experiments manager as the SDK
// "app_measurement" with five flags, each with default 0; a switch answers
// the flag's boolean value, and reads the configuration's own setting only
// when the experiments client cannot answer (no manager). A new snapshot is
// noted when it arrives and put in force by activateNewSnapshot.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "services/experiments/APMEManager.h"

enum class APMEMeasurementSwitch {
    EfficientEngagementReporting,
    RedundantEngagementRemoval,
    NonBlockingAppInstanceID,
    PersistentConfigInApplicationSupport,
    NetworkBackgroundSession,
};

class APMEMeasurementSwitches {
  public:
    static constexpr const char* kSDKName = "app_measurement";
    struct Info {
        APMEMeasurementSwitch which;
        const char* flag;
        const char* settingKey;
    };
    static const std::array<Info, 5>& all();

    // The configuration's switch for a setting key (NO when it has none).
    using SettingReader = std::function<bool(const std::string& key)>;

    // Registers with the manager (none: only settings answer) and activates
    // the latest pending snapshot.
    static std::shared_ptr<APMEMeasurementSwitches> create(
        const std::shared_ptr<APMEManager>& manager, std::int64_t libraryVersion,
        SettingReader settings);

    bool isEnabled(APMEMeasurementSwitch which);
    bool efficientEngagementReportingEnabled() {
        return isEnabled(APMEMeasurementSwitch::EfficientEngagementReporting);
    }
    bool redundantEngagementRemovalEnabled() {
        return isEnabled(APMEMeasurementSwitch::RedundantEngagementRemoval);
    }
    bool nonBlockingAppInstanceIDEnabled() {
        return isEnabled(APMEMeasurementSwitch::NonBlockingAppInstanceID);
    }
    bool persistentConfigInApplicationSupportEnabled() {
        return isEnabled(APMEMeasurementSwitch::PersistentConfigInApplicationSupport);
    }
    bool isNetworkBackgroundSessionEnabled() {
        return isEnabled(APMEMeasurementSwitch::NetworkBackgroundSession);
    }

    // Activates the snapshot noted as new; NO when none is noted or the
    // activation fails (it is tried again on the next call then).
    bool activateNewSnapshot();
    bool hasNewSnapshot() const;
    const std::shared_ptr<APMEClient>& experimentClient() const { return client_; }

  private:
    APMEMeasurementSwitches() = default;

    std::shared_ptr<APMEClient> client_;
    std::shared_ptr<APMEClientDelegate> delegate_;
    SettingReader settings_;
    mutable std::mutex mutex_;
    bool hasNewSnapshot_ = false;
};
