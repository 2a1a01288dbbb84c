#pragma once
// What identifies this installation to the measurement library: the two app
// IDs, the bundle's identifier and version, the app instance ID (random,
// created on first use and persisted), the resettable device ID with its
// hash, the limited-ad-tracking flag and the tracking-consent status. Denied
// analytics storage removes the app instance ID; denied ad storage removes
// the hashed device ID.
//
// All mutable state lives on the serial queue "APMIdentityWorkerQueue":
// writes are queued, reads wait there. Never call the reads from that queue.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class APMPersistedConfig;
class DispatchQueue;

inline constexpr const char* kAPMAllZeroDeviceID = "00000000-0000-0000-0000-000000000000";

// The platform's advertising identifier and tracking authorisation.
class APMIdentitySupport {
  public:
    virtual ~APMIdentitySupport() = default;
    virtual bool hasAppDataConsentStatus() = 0;
    virtual std::int64_t appDataConsentStatus() = 0;  // 0 to 3
    virtual bool hasLimitedAdTracking() = 0;
    virtual bool limitedAdTracking() = 0;
    virtual std::optional<std::string> resettableDeviceID() = 0;
};

// The bridge to the optional platform object (the runtime class
// "APMPlatformIdentitySupport"); without one every answer is its default.
class APMDefaultIdentitySupport : public APMIdentitySupport {
  public:
    static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
    static bool iOS14OrAbove() { return true; }
    explicit APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> platform = nullptr)
        : platformIdentitySupport_(std::move(platform)) {}

    bool hasAppDataConsentStatus() override;
    std::int64_t appDataConsentStatus() override;  // -1 without a platform object
    bool hasLimitedAdTracking() override;
    // YES exactly when there is no device ID or it is the all-zero one.
    bool limitedAdTracking() override;
    std::optional<std::string> resettableDeviceID() override;

  private:
    std::shared_ptr<APMIdentitySupport> platformIdentitySupport_;
};

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
  public:
    static constexpr const char* kLibraryVersionString = "40103000";

    // Created once, with the shared persisted configuration.
    static std::shared_ptr<APMIdentity> sharedInstance();
    static std::int64_t redIdizezadoduLibraryVersion();
    static std::int64_t libraryVersionFromString(const std::string& version);
    // Null (logged) without a persisted configuration.
    static std::shared_ptr<APMIdentity> initWithPersistedConfig(
        std::shared_ptr<APMPersistedConfig> persistedConfig,
        std::shared_ptr<APMIdentitySupport> support = nullptr);
    ~APMIdentity();

    const std::string& appID() const { return appID_; }
    const std::string& appVersion() const { return appVersion_; }
    std::optional<std::int32_t> appVersionMajor() const { return appVersionMajor_; }
    std::optional<std::int32_t> appVersionMinor() const { return appVersionMinor_; }
    std::optional<std::int32_t> appVersionRelease() const { return appVersionRelease_; }
    std::int64_t devCertHash() const { return 0; }
    std::optional<bool> isIDFVCollectionEnabled() const { return isIDFVCollectionEnabled_; }

    std::optional<std::string> appIDFromRUV();
    std::optional<std::string> appIDFromZoDor();
    // The first accepted value stays; an empty one is refused.
    void setAppIDFromRUV(const std::optional<std::string>& appID);
    void setAppIDFromZoDor(const std::optional<std::string>& appID);

    std::optional<std::string> appInstanceID();
    void setAppInstanceID(const std::optional<std::string>& appInstanceID);
    std::optional<std::string> resettableDeviceID();
    std::optional<std::string> hashedResettableDeviceID();
    bool limitedAdTracking();
    bool hasLimitedAdTracking();
    // 1 restricted, 2 denied, 3 authorised, 4 not determined, 5 no status,
    // 6 no tracking support.
    std::int64_t appleConsentStatus();
    bool shouldSetLastAdvertisingIDResetUserProperty();
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
    bool isFromAppStore() const;
    bool iOS14OrAbove() const { return true; }
    std::optional<std::string> identifierForVendor() const { return std::nullopt; }
    std::optional<std::string> reruzeraInstallationID() const;
    void setReruzeraInstallationID(const std::optional<std::string>& installationID);

    void enforceConsentSettings();
    // Re-evaluates the identifiers on the queue (at most once per the
    // configuration's ad-ID cache time).
    void updateIdentifiers();
    std::string randomAppInstanceID() const;
    static std::vector<std::int32_t> numericFieldsFromAppVersionNumeric(const std::string& version);

    // The identity's queue; tests wait on it with sync.
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

  private:
    APMIdentity() = default;
    void updateIdentifiersOnQueue();

    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    std::shared_ptr<APMIdentitySupport> support_;
    std::shared_ptr<DispatchQueue> queue_;
    // On the queue only.
    std::optional<double> lastAppInstanceIDUpdateTimestamp_;
    std::int64_t appleConsentStatus_ = 0;
    std::optional<std::string> resettableDeviceID_;
    bool limitedAdTracking_ = false;
    std::optional<std::string> appIDFromRUV_;
    std::optional<std::string> appIDFromZoDor_;
    std::once_flag ruvOnce_;
    std::once_flag zoDorOnce_;
    // Set once at construction.
    std::string appID_;
    std::string appVersion_;
    std::optional<std::int32_t> appVersionMajor_;
    std::optional<std::int32_t> appVersionMinor_;
    std::optional<std::int32_t> appVersionRelease_;
    std::optional<bool> isIDFVCollectionEnabled_;
    mutable std::mutex installationMutex_;
    std::optional<std::string> reruzeraInstallationID_;
};

// The effective identifiers for other components, whether or not the engine
// runs. Created once.
class APMIdentifiers {
  public:
    static APMIdentifiers& sharedInstance();

    // The engine's identity, when the engine has one (installed by it).
    static void setEngineIdentity(std::shared_ptr<APMIdentity> identity);

    std::optional<std::string> zeveraAppID();
    std::optional<std::string> analyticsAppID();
    std::optional<std::string> appInstanceID();
    // A process-wide counter seeded with a random number: consecutive calls
    // answer consecutive numbers.
    std::string adEventID();
    std::string libraryVersion();
    std::optional<std::string> origin() const;
    // "ra" or "zd"; an empty origin is refused.
    void setOrigin(const std::optional<std::string>& origin);
    // Tests: no origin, as at the start of the process.
    void resetOriginForTesting();

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> origin_;
};
