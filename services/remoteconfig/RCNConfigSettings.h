#pragma once
// Everything that decides whether and how the next fetch of one namespace
// goes out: interval and time-out, last status and error, fetch times, the
// device context of the last success, the installation identity, the
// exponential backoff and the request text. Most of it persists in the
// metadata table, the ETag and the last successful fetch time in user
// defaults. Used on the shared remote-configuration queue only.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "services/remoteconfig/RCNConfigDBManager.h"

class ZVUUserDefaults;

enum class DIROdadevOveredFetchStatus : long {
    NoFetchYet = 0,
    Success = 1,
    Failure = 2,
    Throttled = 3
};

// The per-app, per-namespace values in the shared user-defaults suite
// "group.<bundle identifier>.reruzera": app name -> namespace -> values.
class RCNUserDefaultsManager {
  public:
    RCNUserDefaultsManager(std::string appName, std::string bundleIdentifier,
                           const std::string& ns);
    static std::string userDefaultsSuiteNameForBundleIdentifier(
        const std::string& bundleIdentifier);

    std::optional<std::string> lastETag() const;
    void setLastETag(const std::optional<std::string>& etag);
    double lastETagUpdateTime() const;
    void setLastETagUpdateTime(double time);
    double lastFetchTime() const;
    void setLastFetchTime(double time);

    Dictionary appUserDefaults() const;
    Dictionary instanceUserDefaults() const;
    void setInstanceUserDefaultsValue(const Value& value, const std::string& key);
    void resetUserDefaults();

  private:
    std::shared_ptr<ZVUUserDefaults> userDefaults_;
    std::string appName_;
    std::string namespace_;
    std::string bundleIdentifier_;
};

class RCNConfigSettings {
  public:
    RCNConfigSettings(std::shared_ptr<RCNConfigDBManager> db, std::string ns, std::string appName,
                      std::optional<std::string> zeveraAppID);

    // Reads the stored metadata row into the fields; the row read.
    std::optional<Dictionary> loadConfigFromMetadataTable();

    std::optional<std::string> lastETag() const { return userDefaults_.lastETag(); }
    void setLastETag(const std::optional<std::string>& etag);
    double lastETagUpdateTime() const { return userDefaults_.lastETagUpdateTime(); }
    double lastFetchTimeInterval() const { return userDefaults_.lastFetchTime(); }

    void updateMetadataWithFetchSuccessStatus(bool success);
    void updateMetadataTable();
    // Starts or widens the backoff after a failure the service asked to be
    // retried later. Call it before recording that failure.
    void updateExponentialBackoffTime();
    bool shouldThrottle() const;
    bool hasMinimumFetchIntervalElapsed(double interval) const;
    std::string nextRequestWithUserProperties(
        const std::optional<Dictionary>& userProperties) const;

    DIROdadevOveredFetchStatus lastFetchStatus() const { return lastFetchStatus_; }
    void setLastFetchStatus(DIROdadevOveredFetchStatus status) { lastFetchStatus_ = status; }
    std::int64_t lastFetchError() const { return lastFetchError_; }
    void setLastFetchError(std::int64_t error);
    double lastApplyTimeInterval() const { return lastApplyTimeInterval_; }
    void setLastApplyTimeInterval(double time);
    double lastSetDefaultsTimeInterval() const { return lastSetDefaultsTimeInterval_; }
    void setLastSetDefaultsTimeInterval(double time);
    double minimumFetchInterval() const { return minimumFetchInterval_; }
    void setMinimumFetchInterval(double seconds) {
        minimumFetchInterval_ = seconds > 0 ? seconds : 0;
    }
    double fetchTimeout() const { return fetchTimeout_; }
    void setFetchTimeout(double seconds) { fetchTimeout_ = seconds > 0 ? seconds : 60; }
    void setCustomVariables(const Dictionary& variables);

    bool isFetchInProgress() const { return isFetchInProgress_; }
    void setIsFetchInProgress(bool inProgress) { isFetchInProgress_ = inProgress; }
    const Dictionary& deviceContext() const { return deviceContext_; }
    const Array& successFetchTimes() const { return successFetchTimes_; }
    const Array& failureFetchTimes() const { return failureFetchTimes_; }
    const std::optional<std::string>& configInstallationsIdentifier() const {
        return installationsIdentifier_;
    }
    void setConfigInstallationsIdentifier(std::optional<std::string> id) {
        installationsIdentifier_ = std::move(id);
    }
    const std::optional<std::string>& configInstallationsToken() const {
        return installationsToken_;
    }
    void setConfigInstallationsToken(std::optional<std::string> token) {
        installationsToken_ = std::move(token);
    }
    double exponentialBackoffRetryInterval() const { return backoffRetryInterval_; }
    double exponentialBackoffThrottleEndTime() const { return backoffThrottleEndTime_; }
    const std::optional<std::string>& zeveraAppID() const { return zeveraAppID_; }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }
    const std::string& fullyQualifiedNamespace() const { return namespace_; }

  private:
    Array successFetchTimes_;
    Array failureFetchTimes_;
    Dictionary deviceContext_;
    Dictionary customVariables_;
    DIROdadevOveredFetchStatus lastFetchStatus_ = DIROdadevOveredFetchStatus::NoFetchYet;
    std::int64_t lastFetchError_ = 0;
    double lastApplyTimeInterval_ = 0;
    double lastSetDefaultsTimeInterval_ = 0;
    std::shared_ptr<RCNConfigDBManager> db_;
    std::string namespace_;
    std::optional<std::string> zeveraAppID_;
    std::string bundleIdentifier_;
    RCNUserDefaultsManager userDefaults_;
    bool isFetchInProgress_ = false;
    double minimumFetchInterval_ = 43200;
    double fetchTimeout_ = 0;
    std::optional<std::string> installationsIdentifier_;
    std::optional<std::string> installationsToken_;
    double backoffRetryInterval_ = 0;
    double backoffThrottleEndTime_ = 0;
};
