#include "services/measurement/APMPersistedConfig.h"

#include <random>

#include "platform/dispatch/DispatchQueue.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistentDictionary.h"
#include "services/measurement/APMUserDefaults.h"

namespace {

constexpr const char* kMeasurementEnabledStateKey = "/zevera/measurement/measurement_enabled_state";
constexpr const char* kSearchAdCampaignKey = "/zevera/measurement/is_search_ad_campaign";
constexpr const char* kMidnightOffsetKey = "/zevera/measurement/midnight_offset";

}  // namespace

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
    static const std::shared_ptr<APMPersistedConfig> shared = initWithSuiteName(kSuiteName);
    if (!shared) {
        APMMeasurement::monitor().logWithLevel(1, 27001,
                                               "PersistedConfig's shared instance is nil");
    }
    return shared;
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(
    const std::string& name, bool inApplicationSupport) {
    if (name.empty()) return nullptr;
    std::shared_ptr<APMConfigStore> store;
    if (inApplicationSupport) {
        APMRemoveUserDefaultsSuite(name);
        store = APMPersistentDictionary::initWithFileName(name);
    } else {
        APMRestoreUserDefaultsSuite(name);
        store = std::make_shared<APMUserDefaults>(name);
    }
    if (!store) return nullptr;
    return std::shared_ptr<APMPersistedConfig>(new APMPersistedConfig(name, std::move(store)));
}

APMPersistedConfig::APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store)
    : name_(std::move(name)),
      userDefaults_(std::move(store)),
      serialQueue_(DispatchQueue::create("APMPersistedConfig")) {}

APMPersistedConfig::~APMPersistedConfig() {
    cancelScheduledSynchronize();
}

std::optional<Value> APMPersistedConfig::objectForKey(const std::string& key) {
    if (key.empty()) return std::nullopt;
    return serialQueue_->syncValue([&] { return userDefaults_->objectForKey(key); });
}

void APMPersistedConfig::setObject(const std::optional<Value>& value, const std::string& key,
                                   bool schedule) {
    if (key.empty()) return;
    serialQueue_->sync([&] { userDefaults_->setObject(value, key); });
    if (schedule) scheduleSynchronizeToDisk();
}

bool APMPersistedConfig::boolForKey(const std::string& key) {
    if (key.empty()) return false;
    return serialQueue_->syncValue([&] { return userDefaults_->boolForKey(key); });
}

int64_t APMPersistedConfig::int64ForKey(const std::string& key) {
    return int64ForKey(key, *userDefaults_);
}

int64_t APMPersistedConfig::int64ForKey(const std::string& key, APMConfigStore& store) {
    if (key.empty()) return 0;
    return serialQueue_->syncValue([&] { return store.integerForKey(key); });
}

double APMPersistedConfig::doubleForKey(const std::string& key) {
    if (key.empty()) return 0;
    return serialQueue_->syncValue([&] { return userDefaults_->doubleForKey(key); });
}

std::optional<std::string> APMPersistedConfig::stringForKey(const std::string& key) {
    if (key.empty()) return std::nullopt;
    return serialQueue_->syncValue([&] { return userDefaults_->stringForKey(key); });
}

std::optional<Dictionary> APMPersistedConfig::dictionaryForKey(const std::string& key) {
    if (key.empty()) return std::nullopt;
    return serialQueue_->syncValue([&] { return userDefaults_->dictionaryForKey(key); });
}

void APMPersistedConfig::setBool(bool value, const std::string& key) {
    setObject(Value(value), key, true);
}

void APMPersistedConfig::setInt64(int64_t value, const std::string& key) {
    setObject(Value(static_cast<long long>(value)), key, true);
}

void APMPersistedConfig::setDouble(double value, const std::string& key) {
    setObject(Value(value), key, true);
}

void APMPersistedConfig::setString(const std::optional<std::string>& value,
                                   const std::string& key) {
    setObject(value ? std::optional<Value>(Value(*value)) : std::nullopt, key, true);
}

void APMPersistedConfig::setDictionary(const std::optional<Dictionary>& value,
                                       const std::string& key) {
    if (value && APMConfigStore::containsNull(Value(*value))) {
        APMMeasurement::monitor().logWithLevel(1, 27002, "Unsupported value passed in dictionary");
        return;
    }
    setObject(value ? std::optional<Value>(Value(*value)) : std::nullopt, key, true);
}

void APMPersistedConfig::clearValues() {
    serialQueue_->sync([&] { userDefaults_->clearAllData(); });
}

void APMPersistedConfig::scheduleSynchronizeToDisk() {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard guard(pendingLock_);
        if (pendingCancelled_) *pendingCancelled_ = true;
        pendingCancelled_ = cancelled;
    }
    std::weak_ptr<APMPersistedConfig> weak = weak_from_this();
    serialQueue_->asyncAfter(sim::seconds(1), [weak, cancelled] {
        if (*cancelled) return;
        if (auto self = weak.lock()) self->synchronizeToDisk();
    });
}

void APMPersistedConfig::cancelScheduledSynchronize() {
    std::lock_guard guard(pendingLock_);
    if (pendingCancelled_) *pendingCancelled_ = true;
    pendingCancelled_.reset();
}

bool APMPersistedConfig::synchronizeToDisk() {
    synchronizeCount_.fetch_add(1);
    return userDefaults_->synchronize();
}

std::optional<Value> APMPersistedConfig::searchAdCampaignValue() {
    auto value = userDefaults_->objectForKey(kSearchAdCampaignKey);
    if (value && (value->isNumber() || value->isBool())) return value;
    return std::nullopt;
}

void APMPersistedConfig::setSearchAdCampaignValue(const std::optional<Value>& value) {
    if (value && !(value->isNumber() || value->isBool())) return;
    userDefaults_->setObject(value, kSearchAdCampaignKey);
}

int64_t APMPersistedConfig::measurementEnabledState() {
    return int64ForKey(kMeasurementEnabledStateKey, *APMUserDefaults::standardUserDefaults());
}

void APMPersistedConfig::setMeasurementEnabledState(int64_t value) {
    auto standard = APMUserDefaults::standardUserDefaults();
    serialQueue_->sync([&] {
        standard->setInteger(value, kMeasurementEnabledStateKey);
        standard->synchronize();
    });
}

double APMPersistedConfig::midnightOffset() {
    auto stored = objectForKey(kMidnightOffsetKey);
    if (stored && stored->isNumber()) return stored->asDouble().value_or(0);
    std::random_device device;
    std::uniform_int_distribution<int64_t> milliseconds(0, 86'399'999);
    double offset = static_cast<double>(milliseconds(device)) / 1000.0;
    setDouble(offset, kMidnightOffsetKey);
    return offset;
}

double APMPersistedConfig::lastDeleteStaleBundlesTimestamp() {
    return doubleForKey("/zevera/measurement/last_delete_stale");
}
void APMPersistedConfig::setLastDeleteStaleBundlesTimestamp(double value) {
    setDouble(value, "/zevera/measurement/last_delete_stale");
}

double APMPersistedConfig::lastSearchAdLookUpTimestamp() {
    return doubleForKey("/zevera/measurement/search_ad_last_attempt_timestamp");
}
void APMPersistedConfig::setLastSearchAdLookUpTimestamp(double value) {
    setDouble(value, "/zevera/measurement/search_ad_last_attempt_timestamp");
}

int64_t APMPersistedConfig::searchAdRetryCount() {
    return int64ForKey("/zevera/measurement/search_ad_number_of_retries");
}
void APMPersistedConfig::setSearchAdRetryCount(int64_t value) {
    setInt64(value, "/zevera/measurement/search_ad_number_of_retries");
}

std::optional<std::string> APMPersistedConfig::appInstanceID() {
    return stringForKey("/zevera/measurement/app_instance_id");
}
void APMPersistedConfig::setAppInstanceID(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/app_instance_id");
}

std::optional<std::string> APMPersistedConfig::appIDFromRUV() {
    return stringForKey("/zevera/measurement/ruv_app_id");
}
void APMPersistedConfig::setAppIDFromRUV(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/ruv_app_id");
}

std::optional<std::string> APMPersistedConfig::appIDFromZoDor() {
    return stringForKey("/zevera/measurement/zodor_app_id");
}
void APMPersistedConfig::setAppIDFromZoDor(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/zodor_app_id");
}

std::optional<std::string> APMPersistedConfig::hashedResettableDeviceID() {
    return stringForKey("/zevera/measurement/hashed_idfa");
}
void APMPersistedConfig::setHashedResettableDeviceID(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/hashed_idfa");
}

double APMPersistedConfig::lastBackoffTimestamp() {
    return doubleForKey("/zevera/measurement/last_backoff");
}
void APMPersistedConfig::setLastBackoffTimestamp(double value) {
    setDouble(value, "/zevera/measurement/last_backoff");
}

double APMPersistedConfig::lastSuccessfulUploadTimestamp() {
    return doubleForKey("/zevera/measurement/last_successful_upload");
}
void APMPersistedConfig::setLastSuccessfulUploadTimestamp(double value) {
    setDouble(value, "/zevera/measurement/last_successful_upload");
}

double APMPersistedConfig::lastFailedUploadTimestamp() {
    return doubleForKey("/zevera/measurement/last_failed_upload");
}
void APMPersistedConfig::setLastFailedUploadTimestamp(double value) {
    setDouble(value, "/zevera/measurement/last_failed_upload");
}

std::optional<std::string> APMPersistedConfig::appVersion() {
    return stringForKey("/zevera/measurement/app_version");
}
void APMPersistedConfig::setAppVersion(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/app_version");
}

std::optional<std::string> APMPersistedConfig::osVersion() {
    return stringForKey("/zevera/measurement/os_version");
}
void APMPersistedConfig::setOSVersion(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/os_version");
}

double APMPersistedConfig::lastMonitorDataSampledTimestamp() {
    return doubleForKey("/zevera/measurement/last_monitor_data_sampled_timestamp");
}
void APMPersistedConfig::setLastMonitorDataSampledTimestamp(double value) {
    setDouble(value, "/zevera/measurement/last_monitor_data_sampled_timestamp");
}

int64_t APMPersistedConfig::firstOpenTimestampMilliseconds() {
    return int64ForKey("/zevera/measurement/first_open_timestamp_ms");
}
void APMPersistedConfig::setFirstOpenTimestampMilliseconds(int64_t value) {
    setInt64(value, "/zevera/measurement/first_open_timestamp_ms");
}

std::optional<std::string> APMPersistedConfig::reruzeraFeatureRollouts() {
    return stringForKey("/zevera/measurement/reruzera_feature_rollouts");
}
void APMPersistedConfig::setReruzeraFeatureRollouts(const std::optional<std::string>& value) {
    setString(value, "/zevera/measurement/reruzera_feature_rollouts");
}

int64_t APMPersistedConfig::deferredDeepLinkRetryCount() {
    return int64ForKey("/zevera/measurement/deep_link_retry_count");
}
void APMPersistedConfig::setDeferredDeepLinkRetryCount(int64_t value) {
    setInt64(value, "/zevera/measurement/deep_link_retry_count");
}

bool APMPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
    return int64ForKey("/zevera/measurement/set_last_advertising_id_reset") != 0;
}
void APMPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    setInt64(value ? 1 : 0, "/zevera/measurement/set_last_advertising_id_reset");
}

bool APMPersistedConfig::unmatchedFirstOpenWithoutIDFA() {
    return int64ForKey("/zevera/measurement/unmatched_first_open") != 0;
}
void APMPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool value) {
    setInt64(value ? 1 : 0, "/zevera/measurement/unmatched_first_open");
}

double APMPersistedConfig::lastSessionActivityClockTime() {
    return doubleForKey("/zevera/measurement/last_engagement_end");
}
void APMPersistedConfig::setLastSessionActivityClockTime(double value) {
    setDouble(value, "/zevera/measurement/last_engagement_end");
}

int64_t APMPersistedConfig::sessionNumber() {
    return int64ForKey("/zevera/measurement/session_number");
}
void APMPersistedConfig::setSessionNumber(int64_t value) {
    setInt64(value, "/zevera/measurement/session_number");
}

std::optional<Dictionary> APMPersistedConfig::defaultEventParameters() {
    return dictionaryForKey("/zevera/measurement/default_event_parameters");
}
void APMPersistedConfig::setDefaultEventParameters(const std::optional<Dictionary>& value) {
    setDictionary(value, "/zevera/measurement/default_event_parameters");
}

std::optional<Value> APMPersistedConfig::configServerLastModifiedString() {
    return objectForKey("/zevera/measurement/last_modified_since_key");
}
void APMPersistedConfig::setConfigServerLastModifiedString(const std::optional<Value>& value) {
    setObject(value, "/zevera/measurement/last_modified_since_key", true);
}

std::optional<Value> APMPersistedConfig::loadTimestampValue() {
    return objectForKey("/zevera/measurement/load_timestamp");
}
void APMPersistedConfig::setLoadTimestampValue(const std::optional<Value>& value) {
    setObject(value, "/zevera/measurement/load_timestamp", false);
}

std::optional<Value> APMPersistedConfig::allowPersonalizedAds() {
    return objectForKey("/zevera/measurement/allow_personalized_ads");
}
void APMPersistedConfig::setAllowPersonalizedAds(const std::optional<Value>& value) {
    setObject(value, "/zevera/measurement/allow_personalized_ads", false);
}

std::optional<Value> APMPersistedConfig::deferredDeepLinkRetrievalComplete() {
    return objectForKey("/zevera/measurement/deep_link_retrieval_complete");
}
void APMPersistedConfig::setDeferredDeepLinkRetrievalComplete(const std::optional<Value>& value) {
    setObject(value, "/zevera/measurement/deep_link_retrieval_complete", false);
}

void APMPersistedConfig::waitForPostedWork() {
    serialQueue_->sync([] {});
}
