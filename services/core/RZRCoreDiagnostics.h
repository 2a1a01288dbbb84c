#pragma once
// The core's diagnostics telemetry: each time the application becomes active
// with data collection on, one message about the configured application goes
// through the event transport (mapping ID "137", target 1001); the first one
// of a calendar day is marked as a heartbeat. The core finds the two runtime
// classes "RZRCoreDiagnosticsConnector" and "RZRCoreDiagnostics" by name.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "services/transport/ZDTCOREvent.h"
#include "services/util/ZVUHeartbeatDateStorage.h"

class RZROptions;
class ZDTCORTransport;

inline constexpr const char* kRZRCDIsDataCollectionDefaultEnabledKey =
    "RZRCDIsDataCollectionDefaultEnabledKey";
inline constexpr const char* kRZRCDReruzeraUserAgentKey = "RZRCDReruzeraUserAgentKey";
inline constexpr const char* kRZRCDConfigurationTypeKey = "RZRCDConfigurationTypeKey";
inline constexpr const char* kRZRCDZeveraAppIDKey = "RZRCDZeveraAppIDKey";
inline constexpr const char* kRZRCDBundleID = "RZRCDBundleID";
inline constexpr const char* kRZRCDUsingOptionsFromDefaultPlistKey =
    "RZRCDUsingOptionsFromDefaultPlistKey";
inline constexpr const char* kRZRCDLibraryVersionIDKey = "RZRCDLibraryVersionIDKey";
inline constexpr const char* kRZRCDllAppsCountKey = "RZRCDllAppsCountKey";
inline constexpr const char* kRZRCDSdkNameKey = "RZRCDSdkNameKey";
inline constexpr const char* kRZRCDSdkVersionKey = "RZRCDSdkVersionKey";

class RZRDiagnosticsData {
  public:
    void insertValue(const Value& value, const std::string& key);
    // The values, with the app count, data-collection switch and user agent
    // filled in when absent.
    Dictionary diagnosticObjects() const;

  private:
    Dictionary objects_;
};

// The message's values; absent ones are not written.
struct RZRCoreConfiguration {
    std::optional<std::uint32_t> configurationType;
    std::vector<std::uint32_t> installedServices;
    std::optional<std::string> deviceModel, appID, bundleID, libraryVersionID, sdkVersion,
        osVersion, minimumOSVersion, buildVersions, userAgent;
    std::optional<std::uint32_t> platform, sdkService, field30;
    std::optional<std::int32_t> appCount;
    std::optional<bool> usingOptionsFromDefaultList, fromAppStore, field29, appDelegateProxyEnabled,
        field36;
};

// The transport's data object for one message.
class RZRCoreDiagnosticsLog : public ZDTCOREventDataObject {
  public:
    explicit RZRCoreDiagnosticsLog(RZRCoreConfiguration config) : config_(std::move(config)) {}
    const RZRCoreConfiguration& config() const { return config_; }
    Data transportBytes() const override;

  private:
    RZRCoreConfiguration config_;
};

class RZRCoreDiagnostics {
  public:
    static std::shared_ptr<RZRCoreDiagnostics> sharedInstance();
    RZRCoreDiagnostics(std::shared_ptr<ZDTCORTransport> transport,
                       std::shared_ptr<ZVUHeartbeatDateStorable> heartbeatDateStorage);

    // Queued; nothing is sent when data collection is off.
    void sendDiagnosticsData(const RZRDiagnosticsData& data);
    // The message for the data, without the heartbeat mark.
    static RZRCoreConfiguration configurationForData(const Dictionary& data);
    // Marks the message when no heartbeat was stored today (or later).
    void setHeartbeatFlagIfNeededToConfig(RZRCoreConfiguration& config);
    static bool isDateInSameDayOrBeforeThan(const Date& date1, const Date& date2);
    // Returns once the queued sends have been handed to the transport.
    void flush();

  private:
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<ZDTCORTransport> transport_;
    std::shared_ptr<ZVUHeartbeatDateStorable> heartbeatDateStorage_;
};

struct RZRCoreDiagnosticsConnector {
    static void logCoreTelemetryWithOptions(const std::shared_ptr<RZROptions>& options);
};

// Makes the two runtime classes known (idempotent).
void RZRRegisterCoreDiagnostics();
