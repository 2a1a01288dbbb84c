#pragma once
// The measurement library's small persistent settings under keys beginning
// "/zevera/measurement/", kept either in a property-list file of their own
// (APMPersistentDictionary) or in preferences (APMUserDefaults), as the
// configuration switch said when the object was made. Accessors may be
// called from any thread except a block already running on the
// "APMPersistedConfig" queue; writes are flushed one quiet second after the
// last change.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "services/measurement/APMConfigStore.h"

class DispatchQueue;

class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
  public:
    static constexpr const char* kSuiteName = "com.zevera.ruv.measurement";

    // The process-wide instance (suite "com.zevera.ruv.measurement").
    static std::shared_ptr<APMPersistedConfig> sharedInstance();
    // nullptr for an empty name. With `inApplicationSupport` the suite is
    // moved out of preferences into its own file, else moved back.
    static std::shared_ptr<APMPersistedConfig> initWithSuiteName(const std::string& name,
                                                                 bool inApplicationSupport = false);
    ~APMPersistedConfig();

    const std::string& name() const { return name_; }
    APMConfigStore& store() { return *userDefaults_; }

    bool boolForKey(const std::string& key);
    int64_t int64ForKey(const std::string& key);
    int64_t int64ForKey(const std::string& key, APMConfigStore& store);
    double doubleForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    std::optional<Dictionary> dictionaryForKey(const std::string& key);
    void setBool(bool value, const std::string& key);
    void setInt64(int64_t value, const std::string& key);
    void setDouble(double value, const std::string& key);
    void setString(const std::optional<std::string>& value, const std::string& key);
    void setDictionary(const std::optional<Dictionary>& value, const std::string& key);

    void clearValues();
    void scheduleSynchronizeToDisk();
    void cancelScheduledSynchronize();
    bool synchronizeToDisk();
    // Control surface for tests: store synchronizations done so far.
    int synchronizeCount() const { return synchronizeCount_; }
    // Control surface for tests: waits for blocks already posted to run.
    void waitForPostedWork();

    // Numbers only; read and written outside the queue, no write scheduled.
    std::optional<Value> searchAdCampaignValue();
    void setSearchAdCampaignValue(const std::optional<Value>& value);
    // Kept in the standard preferences store, synchronized at once.
    int64_t measurementEnabledState();
    void setMeasurementEnabledState(int64_t value);
    // Seconds; drawn once in [0, 86400) with millisecond steps.
    double midnightOffset();

    double lastDeleteStaleBundlesTimestamp();
    void setLastDeleteStaleBundlesTimestamp(double value);
    double lastSearchAdLookUpTimestamp();
    void setLastSearchAdLookUpTimestamp(double value);
    int64_t searchAdRetryCount();
    void setSearchAdRetryCount(int64_t value);
    std::optional<std::string> appInstanceID();
    void setAppInstanceID(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromRUV();
    void setAppIDFromRUV(const std::optional<std::string>& value);
    std::optional<std::string> appIDFromZoDor();
    void setAppIDFromZoDor(const std::optional<std::string>& value);
    std::optional<std::string> hashedResettableDeviceID();
    void setHashedResettableDeviceID(const std::optional<std::string>& value);
    double lastBackoffTimestamp();
    void setLastBackoffTimestamp(double value);
    double lastSuccessfulUploadTimestamp();
    void setLastSuccessfulUploadTimestamp(double value);
    double lastFailedUploadTimestamp();
    void setLastFailedUploadTimestamp(double value);
    std::optional<std::string> appVersion();
    void setAppVersion(const std::optional<std::string>& value);
    std::optional<std::string> osVersion();
    void setOSVersion(const std::optional<std::string>& value);
    double lastMonitorDataSampledTimestamp();
    void setLastMonitorDataSampledTimestamp(double value);
    int64_t firstOpenTimestampMilliseconds();
    void setFirstOpenTimestampMilliseconds(int64_t value);
    std::optional<std::string> reruzeraFeatureRollouts();
    void setReruzeraFeatureRollouts(const std::optional<std::string>& value);
    int64_t deferredDeepLinkRetryCount();
    void setDeferredDeepLinkRetryCount(int64_t value);
    bool shouldSetLastAdvertisingIDResetUserProperty();
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
    bool unmatchedFirstOpenWithoutIDFA();
    void setUnmatchedFirstOpenWithoutIDFA(bool value);
    double lastSessionActivityClockTime();
    void setLastSessionActivityClockTime(double value);
    int64_t sessionNumber();
    void setSessionNumber(int64_t value);
    std::optional<Dictionary> defaultEventParameters();
    void setDefaultEventParameters(const std::optional<Dictionary>& value);
    std::optional<Value> configServerLastModifiedString();
    void setConfigServerLastModifiedString(const std::optional<Value>& value);
    std::optional<Value> loadTimestampValue();
    void setLoadTimestampValue(const std::optional<Value>& value);
    std::optional<Value> allowPersonalizedAds();
    void setAllowPersonalizedAds(const std::optional<Value>& value);
    std::optional<Value> deferredDeepLinkRetrievalComplete();
    void setDeferredDeepLinkRetrievalComplete(const std::optional<Value>& value);

  private:
    APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store);
    std::optional<Value> objectForKey(const std::string& key);
    void setObject(const std::optional<Value>& value, const std::string& key, bool schedule);

    std::string name_;
    std::shared_ptr<APMConfigStore> userDefaults_;
    std::shared_ptr<DispatchQueue> serialQueue_;
    std::mutex pendingLock_;
    std::shared_ptr<std::atomic<bool>> pendingCancelled_;
    std::atomic<int> synchronizeCount_{0};
};
