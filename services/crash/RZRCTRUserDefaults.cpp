#include "services/crash/RZRCTRUserDefaults.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <system_error>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/crash/RZRCTRUtilities.h"

namespace fs = std::filesystem;

std::shared_ptr<RZRCTRUserDefaults> RZRCTRUserDefaults::standardUserDefaults() {
    static std::mutex mutex;
    static std::shared_ptr<RZRCTRUserDefaults> shared;
    const auto directory = generateDirectoryURL();
    std::lock_guard lock(mutex);
    if (!shared || shared->directoryURL() != directory) {
        shared = std::make_shared<RZRCTRUserDefaults>(directory);
    }
    return shared;
}

RZRCTRUserDefaults::RZRCTRUserDefaults() : RZRCTRUserDefaults(generateDirectoryURL()) {}

RZRCTRUserDefaults::RZRCTRUserDefaults(std::string directoryPath)
    : serialDictionaryQueue_(DispatchQueue::create("com.crashtrace.CTRUserDefaults.access")),
      synchronizationQueue_(DispatchQueue::create("com.crashtrace.CTRUserDefaults.io")) {
    serialDictionaryQueue_->sync([&] {
        directoryURL_ = std::move(directoryPath);
        fileURL_ = (fs::path(directoryURL_) / "CTRUserDefaults.plist").string();
        persistedDataDictionary_ = loadDefaults().value_or(Dictionary{});
        dataDictionary_ = persistedDataDictionary_;
    });
}

RZRCTRUserDefaults::~RZRCTRUserDefaults() = default;

std::string RZRCTRUserDefaults::getEscapedAppBundleIdentifier() {
    auto identifier = NSBundle::mainBundle()->bundleIdentifier();
    std::replace(identifier.begin(), identifier.end(), '/', '_');
    return identifier;
}

std::string RZRCTRUserDefaults::generateDirectoryURLForBaseURL(
    const std::string& base, const std::string& hostAppBundleIdentifier) {
    fs::path directory = base;
    if (!hostAppBundleIdentifier.empty()) directory /= hostAppBundleIdentifier;
    return (directory / "com.crashtrace").string();
}

std::string RZRCTRUserDefaults::generateDirectoryURL() {
    return generateDirectoryURLForBaseURL(sim::applicationSupportPath(),
                                          getEscapedAppBundleIdentifier());
}

std::optional<Dictionary> RZRCTRUserDefaults::loadDefaults() {
    std::optional<Dictionary> result;
    synchronizationQueue_->sync([&] {
        std::error_code error;
        const auto status = fs::status(fileURL_, error);
        if (fs::is_regular_file(status)) {
            auto data = sim::FileSystem::readFile(fileURL_);
            auto plist = data ? PropertyListSerialization::propertyListWithData(*data)
                              : std::optional<Value>{};
            if (plist && plist->isDictionary()) {
                result = *plist->asDictionary();
            } else {
                RZRCTRErrorLog("Failed to read existing UserDefaults file");
            }
        } else if (fs::is_directory(status)) {
            RZRCTRErrorLog("Found directory where file expected. Removing conflicting directory");
            fs::remove_all(fileURL_, error);
            if (error) {
                RZRCTRErrorLog("Error removing conflicting directory: %@", error.message());
            }
        }
    });
    return result;
}

std::optional<Value> RZRCTRUserDefaults::objectForKey(const std::string& key) const {
    std::optional<Value> value;
    serialDictionaryQueue_->sync([&] {
        if (const Value* found = dataDictionary_.find(key)) value = *found;
    });
    return value;
}

std::optional<std::string> RZRCTRUserDefaults::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value ? value->asString() : std::nullopt;
}

bool RZRCTRUserDefaults::boolForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !(value->isNumber() || value->isBool())) return false;
    return value->asDouble().value_or(0) != 0;
}

std::int64_t RZRCTRUserDefaults::integerForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !(value->isNumber() || value->isBool())) return 0;
    if (auto integer = value->asInt()) return *integer;
    // The file is outside data: a real beyond the integers is clamped, NaN is 0.
    const double real = value->asDouble().value_or(0);
    if (std::isnan(real)) return 0;
    if (real >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (real < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(real);
}

void RZRCTRUserDefaults::setObject(const std::optional<Value>& value, const std::string& key) {
    serialDictionaryQueue_->sync([&] {
        if (value && !value->isNull()) {
            dataDictionary_.set(key, *value);
        } else {
            dataDictionary_.remove(key);
        }
    });
}

void RZRCTRUserDefaults::setString(const std::optional<std::string>& value,
                                   const std::string& key) {
    setObject(value ? std::optional<Value>(Value(*value)) : std::nullopt, key);
}

void RZRCTRUserDefaults::setBool(bool value, const std::string& key) {
    setObject(Value(value), key);
}

void RZRCTRUserDefaults::setInteger(std::int64_t value, const std::string& key) {
    setObject(Value(static_cast<long long>(value)), key);
}

void RZRCTRUserDefaults::removeObjectForKey(const std::string& key) {
    serialDictionaryQueue_->sync([&] { dataDictionary_.remove(key); });
}

void RZRCTRUserDefaults::removeAllObjects() {
    serialDictionaryQueue_->sync([&] { dataDictionary_ = Dictionary{}; });
}

Dictionary RZRCTRUserDefaults::dictionaryRepresentation() const {
    Dictionary copy;
    serialDictionaryQueue_->sync([&] { copy = dataDictionary_; });
    return copy;
}

bool RZRCTRUserDefaults::synchronizeWroteToDisk() const {
    bool wrote = false;
    serialDictionaryQueue_->sync([&] { wrote = synchronizeWroteToDisk_; });
    return wrote;
}

void RZRCTRUserDefaults::synchronize() {
    bool changed = false;
    serialDictionaryQueue_->sync([&] {
        changed = !(persistedDataDictionary_ == dataDictionary_);
        synchronizeWroteToDisk_ = changed;
    });
    if (!changed) return;

    const Dictionary snapshot = dictionaryRepresentation();
    bool written = false;
    synchronizationQueue_->sync([&] {
        std::error_code error;
        if (!fs::exists(directoryURL_, error)) {
            fs::create_directories(directoryURL_, error);
            if (error) RZRCTRErrorLog("Failed to create directory with error: %@", error.message());
        }
        auto data = PropertyListSerialization::dataWithPropertyList(Value(snapshot),
                                                                    PropertyListFormat::XML);
        written = data && sim::FileSystem::writeFileAtomically(fileURL_, *data);
        if (!written) RZRCTRErrorLog("Unable to open file for writing at path %@", fileURL_);
    });
    // Only what reached the disk counts as persisted: after a failed write
    // the next synchronize must try again.
    if (written) serialDictionaryQueue_->sync([&] { persistedDataDictionary_ = snapshot; });
}

void RZRCTRUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
    auto application = NSUserDefaults::standardUserDefaults();
    bool migrated = false;
    for (const auto& key : keys) {
        if (auto value = application->objectForKey(key)) {
            setObject(value, key);
            migrated = true;
        }
    }
    if (!migrated) return;
    synchronize();
    for (const auto& key : keys) application->removeObjectForKey(key);
    application->synchronize();
}

std::optional<Value> RZRCTRUserDefaults::objectForKeyByMigratingFromNSUserDefaults(
    const std::string& key) {
    if (key.empty()) return std::nullopt;
    if (auto value = objectForKey(key)) return value;
    auto application = NSUserDefaults::standardUserDefaults();
    auto value = application->objectForKey(key);
    if (!value) return std::nullopt;
    setObject(value, key);
    synchronize();
    application->removeObjectForKey(key);
    application->synchronize();
    return value;
}
