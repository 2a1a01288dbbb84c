#include "platform/defaults/CFPreferences.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

namespace {

// A domain's store stays alive once preferences have touched it, so values
// whose write to disk failed are still there for the next synchronize. The
// map is never destroyed: exit handlers synchronize through it, and they may
// run after static objects created later than their registration are gone.
std::shared_ptr<NSUserDefaults> storeFor(const std::string& applicationID) {
    if (applicationID == kCFPreferencesCurrentApplication) {
        return NSUserDefaults::standardUserDefaults();
    }
    static auto* mutex = new std::mutex;
    static auto* stores = new std::map<std::string, std::shared_ptr<NSUserDefaults>>;
    std::lock_guard lock(*mutex);
    auto& slot = (*stores)[applicationID];
    if (!slot) slot = NSUserDefaults::initWithSuiteName(applicationID);
    return slot;
}

}  // namespace

std::optional<Value> CFPreferencesCopyAppValue(const std::string& key,
                                               const std::string& applicationID) {
    auto store = storeFor(applicationID);
    if (!store || key.empty()) return std::nullopt;
    const Dictionary persistent = store->persistentDomain();
    if (const Value* v = persistent.find(key)) return *v;
    return std::nullopt;
}

void CFPreferencesSetAppValue(const std::string& key, const std::optional<Value>& value,
                              const std::string& applicationID) {
    auto store = storeFor(applicationID);
    if (!store || key.empty()) return;
    store->setObject(value, key);
}

bool CFPreferencesAppSynchronize(const std::string& applicationID) {
    auto store = storeFor(applicationID);
    if (!store) return false;
    const Dictionary persistent = store->persistentDomain();
    const std::string path = store->filePath();
    if (auto data = sim::FileSystem::readFile(path)) {
        auto onDisk = PropertyListSerialization::propertyListWithData(*data);
        if (onDisk && *onDisk == Value(persistent)) return true;
    } else if (persistent.empty()) {
        return true;
    }
    auto data = PropertyListSerialization::dataWithPropertyList(Value(persistent),
                                                                PropertyListFormat::Binary);
    return data && sim::FileSystem::writeFileAtomically(path, *data);
}

bool CFPreferencesGetAppBooleanValue(const std::string& key, const std::string& applicationID,
                                     bool* keyExistsAndHasValidFormat) {
    auto value = CFPreferencesCopyAppValue(key, applicationID);
    std::optional<bool> result;
    if (value) {
        if (auto b = value->asBool()) {
            result = *b;
        } else if (value->isNumber()) {
            result = value->asDouble().value_or(0) != 0;
        } else if (auto s = value->asString()) {
            std::string lower = *s;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == "yes" || lower == "true") result = true;
            if (lower == "no" || lower == "false") result = false;
        }
    }
    if (keyExistsAndHasValidFormat) *keyExistsAndHasValidFormat = result.has_value();
    return result.value_or(false);
}

std::int64_t CFPreferencesGetAppIntegerValue(const std::string& key,
                                             const std::string& applicationID,
                                             bool* keyExistsAndHasValidFormat) {
    auto value = CFPreferencesCopyAppValue(key, applicationID);
    std::optional<std::int64_t> result;
    if (value) {
        if (value->isNumber() || value->isBool()) {
            result = value->asInt();
        } else if (auto s = value->asString()) {
            char* end = nullptr;
            long long parsed = std::strtoll(s->c_str(), &end, 10);
            if (!s->empty() && end && *end == '\0') result = parsed;
        }
    }
    if (keyExistsAndHasValidFormat) *keyExistsAndHasValidFormat = result.has_value();
    return result.value_or(0);
}

std::vector<std::string> CFPreferencesCopyKeyList(const std::string& applicationID) {
    auto store = storeFor(applicationID);
    if (!store) return {};
    return store->persistentDomain().keys();
}
