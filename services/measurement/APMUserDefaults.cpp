#include "services/measurement/APMUserDefaults.h"

#include <filesystem>

#include "platform/bundle/NSBundle.h"
#include "platform/defaults/CFPreferences.h"
#include "platform/defaults/NSUserDefaults.h"
#include "services/measurement/APMFileUtils.h"
#include "services/util/ZVULogger.h"

namespace {

constexpr const char* kService = "[<RedIdizezadodu>]";

std::string code(long long number) {
    return ZVUMessageCode("I-ACS%06ld", number);
}

}  // namespace

bool APMConfigStore::isStorable(const Value& value) {
    switch (value.type()) {
        case Value::Type::String:
        case Value::Type::Bool:
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double:
        case Value::Type::Array:
        case Value::Type::Dictionary:
        case Value::Type::Date:
        case Value::Type::Data:
            return true;
        default:
            return false;
    }
}

bool APMConfigStore::containsNull(const Value& value) {
    if (value.isNull()) return true;
    if (const Array* array = value.asArray()) {
        for (const auto& item : *array) {
            if (containsNull(item)) return true;
        }
    }
    if (const Dictionary* dictionary = value.asDictionary()) {
        for (const auto& [key, item] : *dictionary) {
            if (containsNull(item)) return true;
        }
    }
    return false;
}

std::optional<Array> APMConfigStore::arrayForKey(const std::string& key) {
    auto value = objectForKey(key);
    if (!value || !value->isArray()) return std::nullopt;
    return *value->asArray();
}

std::optional<Dictionary> APMConfigStore::dictionaryForKey(const std::string& key) {
    auto value = objectForKey(key);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
}

std::optional<std::string> APMConfigStore::stringForKey(const std::string& key) {
    auto value = objectForKey(key);
    if (!value || !value->isString()) return std::nullopt;
    return value->asString();
}

int64_t APMConfigStore::integerForKey(const std::string& key) {
    auto value = objectForKey(key);
    if (!value) return 0;
    if (value->isBool()) return *value->asBool() ? 1 : 0;
    if (!value->isNumber()) return 0;
    if (value->type() == Value::Type::Double) return static_cast<int64_t>(*value->asDouble());
    return value->asInt().value_or(static_cast<int64_t>(value->asUInt().value_or(0)));
}

double APMConfigStore::doubleForKey(const std::string& key) {
    auto value = objectForKey(key);
    if (!value) return 0;
    if (value->isBool()) return *value->asBool() ? 1 : 0;
    return value->isNumber() ? value->asDouble().value_or(0) : 0;
}

float APMConfigStore::floatForKey(const std::string& key) {
    return static_cast<float>(doubleForKey(key));
}

bool APMConfigStore::boolForKey(const std::string& key) {
    auto value = objectForKey(key);
    if (!value) return false;
    if (value->isBool()) return *value->asBool();
    return value->isNumber() && value->asDouble().value_or(0) != 0;
}

bool APMUserDefaults::userPreferenceEnabled() {
    static const bool enabled = [] {
        auto bundle = NSBundle::mainBundle();
        const Value* value =
            bundle ? bundle->objectForInfoDictionaryKey("UseCFPreferencesLibrary") : nullptr;
        if (value && (value->isNumber() || value->isBool())) {
            return value->isBool() ? *value->asBool() : value->asDouble().value_or(0) != 0;
        }
        return true;
    }();
    return enabled;
}

std::shared_ptr<APMUserDefaults> APMUserDefaults::standardUserDefaults() {
    // Never destroyed: the monitor's queue outlives static destruction and still reads it.
    static const auto* shared = new std::shared_ptr<APMUserDefaults>([] {
        auto defaults = std::make_shared<APMUserDefaults>();
        defaults->setIsPreferenceFileExcluded(true);
        return defaults;
    }());
    return *shared;
}

APMUserDefaults::APMUserDefaults(std::string suiteName)
    : suiteName_(std::move(suiteName)),
      appNameRef_(suiteName_.empty() ? kCFPreferencesCurrentApplication : suiteName_),
      useCFPreferencesLibrary_(userPreferenceEnabled()) {
    if (!useCFPreferencesLibrary_) setUseCFPreferencesLibrary(false);
}

void APMUserDefaults::setUseCFPreferencesLibrary(bool use) {
    std::lock_guard guard(lock_);
    useCFPreferencesLibrary_ = use;
    if (use) {
        userDefaults_.reset();
    } else if (!userDefaults_) {
        userDefaults_ = suiteName_.empty() ? NSUserDefaults::standardUserDefaults()
                                           : NSUserDefaults::initWithSuiteName(suiteName_);
        if (!userDefaults_) userDefaults_ = NSUserDefaults::standardUserDefaults();
    }
}

std::optional<Value> APMUserDefaults::objectForKey(const std::string& key) {
    if (key.empty()) {
        ZVULogWarning(kService, false, code(41001),
                      "Cannot get object for invalid user default key.");
        return std::nullopt;
    }
    if (useCFPreferencesLibrary_) return CFPreferencesCopyAppValue(key, appNameRef_);
    return userDefaults_->objectForKey(key);
}

void APMUserDefaults::setObject(const std::optional<Value>& value, const std::string& key) {
    if (key.empty()) {
        ZVULogWarning(kService, false, code(41002),
                      "Cannot set object for invalid user default key.");
        return;
    }
    if (!value || value->isNull()) {
        if (useCFPreferencesLibrary_) {
            CFPreferencesSetAppValue(key, std::nullopt, appNameRef_);
        } else {
            userDefaults_->setObject(std::nullopt, key);
        }
        return;
    }
    if (!isStorable(*value)) {
        ZVULogWarning(kService, false, code(41003),
                      "Cannot set invalid object to user defaults. Must be a string or number or "
                      "an array. Value %@",
                      value->description());
        return;
    }
    if (useCFPreferencesLibrary_) {
        CFPreferencesSetAppValue(key, *value, appNameRef_);
    } else {
        userDefaults_->setObject(*value, key);
    }
}

void APMUserDefaults::removeObjectForKey(const std::string& key) {
    setObject(std::nullopt, key);
}

void APMUserDefaults::clearAllData() {
    if (useCFPreferencesLibrary_) {
        for (const auto& key : CFPreferencesCopyKeyList(appNameRef_)) {
            CFPreferencesSetAppValue(key, std::nullopt, appNameRef_);
        }
    } else {
        for (const auto& key : userDefaults_->persistentDomain().keys()) {
            userDefaults_->removeObjectForKey(key);
        }
    }
}

bool APMUserDefaults::synchronize() {
    bool synced;
    if (useCFPreferencesLibrary_) {
        synced = CFPreferencesAppSynchronize(appNameRef_);
        if (!synced) {
            ZVULogError(kService, false, code(41004), "Cannot synchronize user defaults to disk");
        }
    } else {
        synced = userDefaults_->synchronize();
    }
    std::lock_guard guard(lock_);
    if (!isPreferenceFileExcluded_) {
        std::string name = suiteName_.empty() ? NSUserDefaults::standardDomainName() : suiteName_;
        std::string path = APMPreferencesPlistPath(name);
        std::error_code ec;
        if (!path.empty() && std::filesystem::exists(path, ec)) {
            NSError error;
            if (APMSetExcludedFromBackup(path, &error)) {
                isPreferenceFileExcluded_ = true;
            } else {
                ZVULogWarning(kService, false, code(41000),
                              "Failed to exclude preferences file from backup. Error code %@",
                              error.localizedDescription());
            }
        }
    }
    return synced;
}
