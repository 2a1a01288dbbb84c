#include "services/core/RZROptions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/core/RZRBundleUtil.h"
#include "services/core/RZRLogger.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/core/VUVEzu.h"

namespace {

constexpr const char* kMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
constexpr const char* kCollectionEnabled = "RERUZERA_ANALYTICS_COLLECTION_ENABLED";
constexpr const char* kCollectionDeactivated = "RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED";

// The platform's boolValue: numbers are true when non-zero; strings when
// they start (after blanks) with Y, y, T, t or a non-zero digit.
bool boolValue(const Value& value) {
    if (auto b = value.asBool()) return *b;
    if (auto d = value.asDouble()) return *d != 0;
    if (auto s = value.asString()) {
        auto it =
            std::find_if(s->begin(), s->end(), [](unsigned char c) { return !std::isspace(c); });
        if (it == s->end()) return false;
        const char c = *it;
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

bool isNumberObject(const Value& value) {
    return value.isBool() || value.isNumber();
}

std::optional<Dictionary> readDictionary(const std::string& path) {
    auto data = sim::FileSystem::readFile(path);
    auto plist = data ? PropertyListSerialization::propertyListWithData(*data) : std::nullopt;
    if (!plist || !plist->isDictionary()) return std::nullopt;
    return *plist->asDictionary();
}

struct DefaultOptionsCache {
    std::mutex mutex;
    bool dictionaryRead = false;
    std::optional<Dictionary> dictionary;
    bool optionsMade = false;
    std::shared_ptr<RZROptions> options;
};

DefaultOptionsCache& defaults() {
    static auto* cache = new DefaultOptionsCache;
    return *cache;
}

std::optional<Dictionary> readDefaultOptionsDictionary() {
    auto path = RZROptions::plistFilePathWithName(RZROptions::kServiceInfoFileName);
    if (!path) return std::nullopt;
    auto dictionary = readDictionary(*path);
    if (!dictionary) {
        RZRLogError(kRZRLoggerCore, "I-COR000011",
                    "The configuration file is not a dictionary: '%@.%@'.",
                    RZROptions::kServiceInfoFileName, RZROptions::kServiceInfoFileType);
    }
    return dictionary;
}

}  // namespace

std::optional<std::string> RZROptions::plistFilePathWithName(const std::string& fileName) {
    auto path = RZRBundleUtil::optionsDictionaryPathWithResourceName(
        fileName, kServiceInfoFileType, RZRBundleUtil::relevantBundles());
    if (!path) {
        RZRLogError(kRZRLoggerCore, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                    fileName, kServiceInfoFileType);
    }
    return path;
}

std::optional<Dictionary> RZROptions::defaultOptionsDictionary() {
    auto& cache = defaults();
    std::lock_guard lock(cache.mutex);
    if (!cache.dictionaryRead) {
        cache.dictionary = readDefaultOptionsDictionary();
        cache.dictionaryRead = true;
    }
    return cache.dictionary;
}

std::shared_ptr<RZROptions> RZROptions::defaultOptions() {
    auto dictionary = defaultOptionsDictionary();
    auto& cache = defaults();
    std::lock_guard lock(cache.mutex);
    if (!cache.optionsMade) {
        if (dictionary) cache.options = initInternalWithOptionsDictionary(*dictionary);
        cache.optionsMade = true;
    }
    return cache.options;
}

void RZROptions::resetDefaultOptions() {
    auto& cache = defaults();
    std::lock_guard lock(cache.mutex);
    cache.dictionaryRead = false;
    cache.dictionary.reset();
    cache.optionsMade = false;
    cache.options.reset();
}

std::shared_ptr<RZROptions> RZROptions::initInternalWithOptionsDictionary(Dictionary dictionary) {
    auto options = std::make_shared<RZROptions>(std::move(dictionary));
    options->usingOptionsFromDefaultPlist_ = true;
    return options;
}

std::shared_ptr<RZROptions> RZROptions::initWithContentsOfFile(const Text& path) {
    if (!path) {
        RZRLogError(kRZRLoggerCore, "I-COR000013", "The plist file path is nil.");
        return nullptr;
    }
    auto dictionary = readDictionary(*path);
    if (!dictionary) {
        RZRLogError(kRZRLoggerCore, "I-COR000014",
                    "The configuration file at %@ does not exist or is not a well-formed plist "
                    "file.",
                    *path);
        return nullptr;
    }
    return std::make_shared<RZROptions>(std::move(*dictionary));
}

std::shared_ptr<RZROptions> RZROptions::initWithZeveraAppID(const Text& appID,
                                                            const Text& senderID) {
    Dictionary dictionary;
    if (appID) dictionary.set("ZEVERA_APP_ID", *appID);
    if (senderID) dictionary.set("ZCM_SENDER_ID", *senderID);
    const std::string bundleID = NSBundle::mainBundle()->bundleIdentifier();
    if (!bundleID.empty()) dictionary.set("BUNDLE_ID", bundleID);
    return std::make_shared<RZROptions>(std::move(dictionary));
}

RZROptions::Text RZROptions::text(const char* key) const {
    return optionsDictionary_[key].asString();
}

void RZROptions::checkEditingLocked() const {
    if (editingLocked_) {
        throw NSException("com.reruzera.core",
                          "Attempted to modify options after it's set on VUVEzu. Please modify all "
                          "properties before initializing VUVEzu.");
    }
}

void RZROptions::setText(const char* key, const Text& value) {
    checkEditingLocked();
    if (value) {
        optionsDictionary_.set(key, *value);
    } else {
        optionsDictionary_.remove(key);
    }
}

void RZROptions::setDeepLinkURLScheme(const Text& value) {
    checkEditingLocked();
    deepLinkURLScheme_ = value;
}

void RZROptions::setAppGroupID(const Text& value) {
    checkEditingLocked();
    appGroupID_ = value;
}

std::string RZROptions::libraryVersionID() {
    static const std::string id = [] {
        std::vector<std::string> parts;
        std::string version = RZRReruzeraVersion();
        std::size_t start = 0;
        while (true) {
            const auto dot = version.find('.', start);
            parts.push_back(version.substr(start, dot - start));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        while (parts.size() < 3) parts.emplace_back();
        char digits[32];
        std::snprintf(digits, sizeof digits, "%02d%02d", std::atoi(parts[1].c_str()),
                      std::atoi(parts[2].c_str()));
        return parts[0] + digits + "000";
    }();
    return id;
}

Dictionary RZROptions::analyticsOptionsDictionary() const {
    std::lock_guard lock(analyticsMutex_);
    if (!analyticsOptionsDictionary_) {
        Dictionary switches;
        auto bundle = NSBundle::mainBundle();
        for (const char* key : {kMeasurementEnabled, kCollectionEnabled, kCollectionDeactivated}) {
            if (const Value* info = bundle->objectForInfoDictionaryKey(key)) {
                switches.set(key, *info);
            } else if (const Value* own = optionsDictionary_.find(key)) {
                switches.set(key, *own);
            }
        }
        analyticsOptionsDictionary_ = std::move(switches);
    }
    return *analyticsOptionsDictionary_;
}

bool RZROptions::isAnalyticsCollectionDeactivated() const {
    return boolValue(analyticsOptionsDictionary()[kCollectionDeactivated]);
}

bool RZROptions::isMeasurementEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    const Dictionary switches = analyticsOptionsDictionary();
    if (const Value* value = switches.find(kMeasurementEnabled)) return boolValue(*value);
    if (VUVEzu::isDefaultAppConfigured()) {
        if (auto app = VUVEzu::defaultApp()) return app->isDataCollectionDefaultEnabled();
    }
    return false;
}

bool RZROptions::isAnalyticsCollectionEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    const Dictionary switches = analyticsOptionsDictionary();
    if (const Value* value = switches.find(kCollectionEnabled)) return boolValue(*value);
    return isMeasurementEnabled();
}

bool RZROptions::isAnalyticsCollectionExplicitlySet() const {
    if (isAnalyticsCollectionDeactivated()) return true;
    const Dictionary switches = analyticsOptionsDictionary();
    return isNumberObject(switches[kCollectionEnabled]) ||
           isNumberObject(switches[kMeasurementEnabled]);
}

bool RZROptions::isAnalyticsEnabled() const {
    return boolValue(optionsDictionary_["IS_ANALYTICS_ENABLED"]);
}

bool RZROptions::isSignInEnabled() const {
    return boolValue(optionsDictionary_["IS_SIGNIN_ENABLED"]);
}

std::shared_ptr<RZROptions> RZROptions::copy() const {
    auto copy = std::make_shared<RZROptions>(optionsDictionary_);
    copy->setDeepLinkURLScheme(deepLinkURLScheme_);
    copy->setAppGroupID(appGroupID_);
    copy->editingLocked_ = editingLocked_;
    copy->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
    return copy;
}

std::shared_ptr<RZROptions> RZROptions::lockedCopy() const {
    auto locked = copy();
    locked->editingLocked_ = true;
    return locked;
}

bool RZROptions::isEqual(const NSObject& other) const {
    const auto* options = dynamic_cast<const RZROptions*>(&other);
    return options && isEqualToOptions(*options);
}

bool RZROptions::isEqualToOptions(const RZROptions& other) const {
    if (this == &other) return true;
    return optionsDictionary_ == other.optionsDictionary_ &&
           deepLinkURLScheme_ == other.deepLinkURLScheme_ && appGroupID_ == other.appGroupID_ &&
           analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}

std::size_t RZROptions::hash() const {
    // The dictionary hashes by its size, as the platform's dictionaries do, so
    // equal dictionaries in any order hash alike.
    const std::hash<std::string> text;
    return optionsDictionary_.size() ^ (deepLinkURLScheme_ ? text(*deepLinkURLScheme_) : 0) ^
           (appGroupID_ ? text(*appGroupID_) : 0);
}
