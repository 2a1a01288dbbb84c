#include "services/crash/RZRCTRSettings.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/foundation/JSON.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRApplicationIdentifierModel.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRSettingsDocument.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

constexpr std::uint32_t kDefaultCacheDuration = 3600;
constexpr std::uint32_t kDefaultLogBufferSize = 64000;
constexpr std::uint32_t kDefaultMaxCustomExceptions = 8;
constexpr std::uint32_t kDefaultMaxCustomKeys = 64;

}  // namespace

RZRCTRSettings::RZRCTRSettings(std::shared_ptr<RZRCTRFileManager> fileManager,
                               std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel)
    : fileManager_(std::move(fileManager)), appIDModel_(std::move(appIDModel)) {}

void RZRCTRSettings::reloadFromCacheWithZeveraAppID(const std::string& zeveraAppID,
                                                    double currentTimestamp) {
    auto data = fileManager_->dataWithContentsOfFile(fileManager_->settingsFilePath());
    if (!data) {
        RZRCTRDebugLog("[Crashtrace:Settings] No settings were cached");
        return;
    }
    NSError parseError;
    auto document = NSJSONSerialization::JSONObjectWithData(*data, &parseError);
    if (document && !RZRCTRIsValidSettingsDocument(*document)) {
        document.reset();
        parseError = NSError::withDescription(
            "NSCocoaErrorDomain", 3840, "The settings document does not have the expected shape.");
    }
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        settingsDictionary_ =
            document ? std::optional<Dictionary>(*document->asDictionary()) : std::nullopt;
    }
    if (!document) {
        RZRCTRErrorLog("Could not load settings file data with error: %@",
                       parseError.localizedDescription());
        deleteCachedSettings();
        return;
    }
    auto key = loadCacheKey();
    if (!key) {
        RZRCTRErrorLog("Could not load settings cache key");
        deleteCachedSettings();
        return;
    }
    if ((*key)["zevera_app_id"].asString() != zeveraAppID) {
        RZRCTRDebugLog(
            "[Crashtrace:Settings] Invalidating settings cache because Zevera App ID changed");
        deleteCachedSettings();
        return;
    }
    const auto markExpired = [this] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        isCacheKeyExpired_ = true;
    };
    // Sums in 64 bits: a late creation time plus a long duration must not
    // wrap around into the past.
    const double created = (*key)["created_at"].asDouble().value_or(0);
    const std::uint64_t createdAt = created > 0
                                        ? static_cast<std::uint64_t>(std::min<double>(
                                              created, std::numeric_limits<std::uint32_t>::max()))
                                        : 0;
    if (static_cast<double>(createdAt + cacheDurationSeconds()) < currentTimestamp) {
        RZRCTRDebugLog("[Crashtrace:Settings] Settings TTL expired");
        markExpired();
    }
    if ((*key)["build_instance_id"].asString() != currentBuildInstanceID()) {
        RZRCTRDebugLog("[Crashtrace:Settings] Settings expired because build instance changed");
        markExpired();
    }
    if ((*key)["app_version"].asString() != currentSynthesizedVersion()) {
        RZRCTRDebugLog("[Crashtrace:Settings] Settings expired because app version changed");
        markExpired();
    }
}

void RZRCTRSettings::cacheSettingsWithZeveraAppID(const std::string& zeveraAppID,
                                                  double currentTimestamp) {
    Dictionary key{{"created_at", Value(currentTimestamp)},
                   {"zevera_app_id", Value(zeveraAppID)},
                   {"build_instance_id", Value(currentBuildInstanceID())},
                   {"app_version", Value(currentSynthesizedVersion())}};
    NSError error;
    auto data = NSJSONSerialization::dataWithJSONObject(Value(std::move(key)), &error);
    if (!data) {
        RZRCTRErrorLog("Could not create settings cache key with error: %@",
                       error.localizedDescription());
        return;
    }
    const std::string path = fileManager_->settingsCacheKeyPath();
    if (fileManager_->fileExistsAtPath(path)) fileManager_->removeItemAtPath(path);
    fileManager_->createFileAtPath(path, *data);
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        isCacheKeyExpired_ = false;
    }
    reloadFromCacheWithZeveraAppID(zeveraAppID, currentTimestamp);
}

bool RZRCTRSettings::isCacheExpired() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return !settingsDictionary_ || isCacheKeyExpired_;
}

std::optional<Dictionary> RZRCTRSettings::loadCacheKey() const {
    auto data = fileManager_->dataWithContentsOfFile(fileManager_->settingsCacheKeyPath());
    if (!data) return std::nullopt;
    auto key = NSJSONSerialization::JSONObjectWithData(*data, nullptr, true);
    if (!key || !key->isDictionary()) return std::nullopt;
    return *key->asDictionary();
}

void RZRCTRSettings::deleteCachedSettings() {
    std::weak_ptr<NSObject> weak = shared_from_this();
    auto deletions = deletions_;
    deletions->async(DispatchQueue::global(DispatchQoS::Background), [weak] {
        auto self = std::static_pointer_cast<RZRCTRSettings>(weak.lock());
        if (!self) return;
        const auto& files = self->fileManager_;
        if (files->fileExistsAtPath(files->settingsFilePath()))
            files->removeItemAtPath(files->settingsFilePath());
        if (files->fileExistsAtPath(files->settingsCacheKeyPath()))
            files->removeItemAtPath(files->settingsCacheKeyPath());
    });
    std::lock_guard<std::recursive_mutex> guard(lock_);
    isCacheKeyExpired_ = true;
    settingsDictionary_.reset();
}

bool RZRCTRSettings::waitForPendingDeletions(sim::Duration timeout) const {
    return deletions_->wait(timeout) == DispatchTimeoutResult::success;
}

std::optional<Dictionary> RZRCTRSettings::settingsDictionary() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return settingsDictionary_;
}

std::optional<Value> RZRCTRSettings::section(const char* name) const {
    auto document = settingsDictionary();
    if (!document) return std::nullopt;
    const Value* value = document->find(name);
    if (!value) return std::nullopt;
    return *value;
}

std::optional<Value> RZRCTRSettings::appSettings() const {
    return section("app");
}
std::optional<Value> RZRCTRSettings::sessionSettings() const {
    return section("session");
}
std::optional<Value> RZRCTRSettings::featuresSettings() const {
    return section("features");
}
std::optional<Value> RZRCTRSettings::tracekitSettings() const {
    return section("tracekit");
}

std::uint32_t RZRCTRSettings::cacheDurationSeconds() const {
    auto document = settingsDictionary();
    if (!document) return kDefaultCacheDuration;
    return RZRCTRSettingsUInt32((*document)["cache_duration"]).value_or(kDefaultCacheDuration);
}

std::uint32_t RZRCTRSettings::sessionValue(const char* key, std::uint32_t fallback) const {
    auto session = sessionSettings();
    if (!session) return fallback;
    return RZRCTRSettingsUInt32((*session)[key]).value_or(fallback);
}

bool RZRCTRSettings::featureValue(const char* key, bool fallback) const {
    auto features = featuresSettings();
    if (!features) return fallback;
    const Value& value = (*features)[key];
    if (!RZRCTRSettingsIsFlag(value)) return fallback;
    return value.isBool() ? *value.asBool() : *value.asDouble() != 0;
}

bool RZRCTRSettings::errorReportingEnabled() const {
    return featureValue("collect_logged_exceptions", true);
}
bool RZRCTRSettings::customExceptionsEnabled() const {
    return errorReportingEnabled();
}
bool RZRCTRSettings::collectReportsEnabled() const {
    return featureValue("collect_reports", true);
}
bool RZRCTRSettings::metricKitCollectionEnabled() const {
    return featureValue("collect_metric_kit", false);
}
std::uint32_t RZRCTRSettings::logBufferSize() const {
    return sessionValue("log_buffer_size", kDefaultLogBufferSize);
}
std::uint32_t RZRCTRSettings::errorLogBufferSize() const {
    return logBufferSize();
}
std::uint32_t RZRCTRSettings::maxCustomExceptions() const {
    return sessionValue("max_custom_exception_events", kDefaultMaxCustomExceptions);
}
std::uint32_t RZRCTRSettings::maxCustomKeys() const {
    return sessionValue("max_custom_key_value_pairs", kDefaultMaxCustomKeys);
}

std::string RZRCTRSettings::currentBuildInstanceID() const {
    return appIDModel_ ? appIDModel_->buildInstanceID() : std::string();
}

std::string RZRCTRSettings::currentSynthesizedVersion() const {
    if (appIDModel_) return appIDModel_->synthesizedVersion();
    return RZRCTRApplicationGetShortBundleVersion().value_or("(null)") + " (" +
           RZRCTRApplicationGetBundleVersion().value_or("(null)") + ")";
}
