#include "services/remoteconfig/RCNConfigSettings.h"

#include <random>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/JSON.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/remoteconfig/RCNDevice.h"
#include "services/remoteconfig/RCNLog.h"
#include "services/util/ZVUAppEnvironmentUtil.h"
#include "services/util/ZVUUserDefaults.h"

namespace {

constexpr double kBackoffStartSeconds = 120;
constexpr double kBackoffLimitSeconds = 14400;

std::mutex& suiteLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<ZVUUserDefaults> sharedUserDefaults(const std::string& bundleIdentifier) {
    static const auto suite = ZVUUserDefaults::initWithSuiteName(
        RCNUserDefaultsManager::userDefaultsSuiteNameForBundleIdentifier(bundleIdentifier));
    return suite;
}

// A value of the request text: single-quoted, with quotes and backslashes
// escaped so that no value can end its quotes early.
std::string requestValue(const std::optional<std::string>& value) {
    const std::string text = value.value_or("(null)");
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

std::optional<Data> prettyJSON(const Value& value) {
    return NSJSONSerialization::dataWithJSONObject(value, nullptr, false, true);
}

}  // namespace

// ---- user defaults

RCNUserDefaultsManager::RCNUserDefaultsManager(std::string appName, std::string bundleIdentifier,
                                               const std::string& ns)
    : userDefaults_(sharedUserDefaults(bundleIdentifier)),
      appName_(std::move(appName)),
      bundleIdentifier_(std::move(bundleIdentifier)) {
    auto colon = ns.find(':');
    if (colon == std::string::npos)
        RCNLog(ZVULoggerLevel::Error, "I-RCN000064",
               "Error: Namespace " + ns + " is not fully qualified app:namespace.");
    namespace_ = ns.substr(0, colon);
}

std::string RCNUserDefaultsManager::userDefaultsSuiteNameForBundleIdentifier(
    const std::string& bundleIdentifier) {
    return "group." + bundleIdentifier + ".reruzera";
}

Dictionary RCNUserDefaultsManager::appUserDefaults() const {
    auto stored = userDefaults_->objectForKey(appName_);
    return stored && stored->asDictionary() ? *stored->asDictionary() : Dictionary{};
}

// Looked up key by key rather than by a dotted path, so that app names
// holding dots work.
Dictionary RCNUserDefaultsManager::instanceUserDefaults() const {
    const Dictionary app = appUserDefaults();
    const Value& instance = app[namespace_];
    return instance.asDictionary() ? *instance.asDictionary() : Dictionary{};
}

void RCNUserDefaultsManager::setInstanceUserDefaultsValue(const Value& value,
                                                          const std::string& key) {
    std::lock_guard<std::mutex> lock(suiteLock());
    Dictionary app = appUserDefaults();
    Dictionary instance = instanceUserDefaults();
    instance.set(key, value);
    app.set(namespace_, instance);
    userDefaults_->setObject(Value(app), appName_);
    userDefaults_->synchronize();
}

void RCNUserDefaultsManager::resetUserDefaults() {
    std::lock_guard<std::mutex> lock(suiteLock());
    Dictionary app = appUserDefaults();
    app.set(namespace_, Dictionary{});
    userDefaults_->setObject(Value(app), appName_);
    userDefaults_->synchronize();
}

std::optional<std::string> RCNUserDefaultsManager::lastETag() const {
    return instanceUserDefaults()["lastETag"].asString();
}

void RCNUserDefaultsManager::setLastETag(const std::optional<std::string>& etag) {
    if (etag) setInstanceUserDefaultsValue(*etag, "lastETag");
}

double RCNUserDefaultsManager::lastETagUpdateTime() const {
    return instanceUserDefaults()["lastETagUpdateTime"].asDouble().value_or(0);
}

void RCNUserDefaultsManager::setLastETagUpdateTime(double time) {
    if (time != 0) setInstanceUserDefaultsValue(time, "lastETagUpdateTime");
}

double RCNUserDefaultsManager::lastFetchTime() const {
    return instanceUserDefaults()["lastSuccessfulFetchTime"].asDouble().value_or(0);
}

void RCNUserDefaultsManager::setLastFetchTime(double time) {
    setInstanceUserDefaultsValue(time, "lastSuccessfulFetchTime");
}

// ---- settings

RCNConfigSettings::RCNConfigSettings(std::shared_ptr<RCNConfigDBManager> db, std::string ns,
                                     std::string appName, std::optional<std::string> zeveraAppID)
    : db_(std::move(db)),
      namespace_(std::move(ns)),
      zeveraAppID_(std::move(zeveraAppID)),
      bundleIdentifier_(NSBundle::mainBundle()->bundleIdentifier()),
      userDefaults_(std::move(appName), bundleIdentifier_, namespace_) {
    if (bundleIdentifier_.empty())
        RCNLog(ZVULoggerLevel::Warning, "I-RCN000038",
               "Main bundle identifier is missing. Remote Config might not work properly.");
    if (db_) {
        // Waits for the opening, so the flag is this run's.
        db_->loadInternalMetadataTable();
        if (db_->isNewDatabase()) {
            RCNLog(ZVULoggerLevel::Warning, "I-RCN000072",
                   "New config database created. Resetting user defaults.");
            userDefaults_.resetUserDefaults();
        }
    }
}

std::optional<Dictionary> RCNConfigSettings::loadConfigFromMetadataTable() {
    if (!db_) return std::nullopt;
    Dictionary row = db_->loadMetadataWithBundleIdentifier(bundleIdentifier_, namespace_);
    if (const Dictionary* context = row["device_context"].asDictionary()) deviceContext_ = *context;
    if (const Dictionary* variables = row["app_context"].asDictionary())
        customVariables_ = *variables;
    if (const Array* times = row["success_fetch_time"].asArray()) successFetchTimes_ = *times;
    if (const Array* times = row["failure_fetch_time"].asArray()) failureFetchTimes_ = *times;
    if (auto status = row["last_fetch_status"].asInt())
        lastFetchStatus_ = static_cast<DIROdadevOveredFetchStatus>(*status);
    if (auto error = row["last_fetch_error"].asInt()) lastFetchError_ = *error;
    if (auto time = row["last_apply_time"].asDouble()) lastApplyTimeInterval_ = *time;
    if (auto time = row["last_set_defaults_time"].asDouble()) lastSetDefaultsTimeInterval_ = *time;
    return row;
}

void RCNConfigSettings::setLastETag(const std::optional<std::string>& etag) {
    userDefaults_.setLastETagUpdateTime(sim::wallClockSeconds());
    userDefaults_.setLastETag(etag);
}

void RCNConfigSettings::updateMetadataWithFetchSuccessStatus(bool success) {
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000056", "Updating metadata with fetch result.");
    const double now = sim::wallClockSeconds();
    (success ? successFetchTimes_ : failureFetchTimes_).emplace_back(now);
    lastFetchStatus_ =
        success ? DIROdadevOveredFetchStatus::Success : DIROdadevOveredFetchStatus::Failure;
    lastFetchError_ = success ? 8001 : 8003;
    if (success) {
        userDefaults_.setLastFetchTime(now);
        deviceContext_ = RCNDeviceContext(zeveraAppID_);
    }
    updateMetadataTable();
}

void RCNConfigSettings::updateMetadataTable() {
    if (!db_ || bundleIdentifier_.empty()) {
        if (db_) db_->deleteRecordWithBundleIdentifier(bundleIdentifier_, namespace_, false);
        return;
    }
    // Checked before the stored row is removed, so a bad value never leaves
    // the namespace without metadata.
    struct Part {
        Value value;
        const char* code;
        const char* message;
    };
    const Part parts[] = {
        {Value(customVariables_), "I-RCN000028", "Invalid custom variables to be serialized."},
        {Value(deviceContext_), "I-RCN000029", "Invalid device context to be serialized."},
        {Value(successFetchTimes_), "I-RCN000031", "Invalid success fetch times to be serialized."},
        {Value(failureFetchTimes_), "I-RCN000032", "Invalid failure fetch times to be serialized."},
    };
    std::vector<Data> json;
    for (const auto& part : parts) {
        auto data = NSJSONSerialization::isValidJSONObject(part.value) ? prettyJSON(part.value)
                                                                       : std::nullopt;
        if (!data) {
            RCNLog(ZVULoggerLevel::Error, part.code, part.message);
            return;
        }
        json.push_back(*data);
    }
    auto digest = prettyJSON(Value(Dictionary{}));
    db_->deleteRecordWithBundleIdentifier(bundleIdentifier_, namespace_, false);
    db_->insertMetadataTableWithValues(Dictionary{
        {"bundle_identifier", bundleIdentifier_},
        {"namespace", namespace_},
        {"fetch_time", lastFetchTimeInterval()},
        {"digest_per_ns", digest.value_or(Data{})},
        {"device_context", json[1]},
        {"app_context", json[0]},
        {"success_fetch_time", json[2]},
        {"failure_fetch_time", json[3]},
        {"last_fetch_status", std::to_string(static_cast<long>(lastFetchStatus_))},
        {"last_fetch_error", std::to_string(lastFetchError_)},
        {"last_apply_time", lastApplyTimeInterval_},
        {"last_set_defaults_time", lastSetDefaultsTimeInterval_},
    });
}

void RCNConfigSettings::updateExponentialBackoffTime() {
    // Enters backoff on the first such failure after a success (or ever);
    // the caller asks before it records this failure.
    if (lastFetchStatus_ == DIROdadevOveredFetchStatus::Success || backoffRetryInterval_ == 0) {
        RCNLog(ZVULoggerLevel::Debug, "I-RCN000057",
               "Throttling: Entering exponential backoff mode.");
        backoffRetryInterval_ = kBackoffStartSeconds;
    } else {
        RCNLog(ZVULoggerLevel::Debug, "I-RCN000057", "Throttling: Updating throttling interval.");
        if (backoffRetryInterval_ * 2 < kBackoffLimitSeconds) backoffRetryInterval_ *= 2;
    }
    static std::mt19937 random(std::random_device{}());
    const double sign = (random() & 1) ? 1 : -1;
    backoffThrottleEndTime_ =
        sim::wallClockSeconds() + backoffRetryInterval_ + 0.5 * backoffRetryInterval_ * sign;
}

bool RCNConfigSettings::shouldThrottle() const {
    return lastFetchTimeInterval() > 0 && lastFetchStatus_ != DIROdadevOveredFetchStatus::Success &&
           backoffThrottleEndTime_ - sim::wallClockSeconds() > 0;
}

bool RCNConfigSettings::hasMinimumFetchIntervalElapsed(double interval) const {
    const double last = lastFetchTimeInterval();
    if (last == 0) return true;
    return sim::wallClockSeconds() - last > interval;
}

std::string RCNConfigSettings::nextRequestWithUserProperties(
    const std::optional<Dictionary>& userProperties) const {
    auto info = [](const char* key) -> std::optional<std::string> {
        const Value* value = NSBundle::mainBundle()->objectForInfoDictionaryKey(key);
        return value ? value->asString() : std::nullopt;
    };
    std::string request =
        "{app_instance_id:" + requestValue(installationsIdentifier_) +
        ", app_instance_id_token:" + requestValue(installationsToken_) +
        ", app_id:" + requestValue(zeveraAppID_) +
        ", country_code:" + requestValue(RCNDeviceCountry()) +
        ", language_code:" + requestValue(RCNDeviceLocale()) +
        ", platform_version:" + requestValue(ZVUAppEnvironmentUtil::systemVersion()) +
        ", time_zone:" + requestValue(RCNDeviceTimeZone()) +
        ", package_name:" + requestValue(bundleIdentifier_) +
        ", app_version:" + requestValue(info("CFBundleShortVersionString")) +
        ", app_build:" + requestValue(info("CFBundleVersion")) +
        ", sdk_version:" + requestValue(std::string(kRZRReruzeraVersion));
    if (userProperties && !userProperties->empty()) {
        if (auto json = NSJSONSerialization::dataWithJSONObject(Value(*userProperties)))
            request += ", analytics_user_properties:" + std::string(json->begin(), json->end());
    }
    return request + "}";
}

void RCNConfigSettings::setLastFetchError(std::int64_t error) {
    if (error == lastFetchError_) return;
    lastFetchError_ = error;
    if (db_)
        db_->updateMetadataWithOption(
            RCNUpdateOption::FetchStatus, namespace_,
            {Value(static_cast<long>(lastFetchStatus_)), Value(static_cast<long>(error))});
}

void RCNConfigSettings::setLastApplyTimeInterval(double time) {
    lastApplyTimeInterval_ = time;
    if (db_) db_->updateMetadataWithOption(RCNUpdateOption::ApplyTime, namespace_, {Value(time)});
}

void RCNConfigSettings::setLastSetDefaultsTimeInterval(double time) {
    lastSetDefaultsTimeInterval_ = time;
    if (db_) db_->updateMetadataWithOption(RCNUpdateOption::DefaultTime, namespace_, {Value(time)});
}

void RCNConfigSettings::setCustomVariables(const Dictionary& variables) {
    customVariables_ = variables;
    updateMetadataTable();
}
