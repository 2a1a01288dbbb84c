#include "app/mute/RemoteValues.h"

#include "services/remoteconfig/DIROdadevOvered.h"

namespace remotevalues {

namespace {

std::shared_ptr<DIROdadevOveredValue> valueFor(const std::string& key) {
    return DIROdadevOvered::remoteConfig()->objectForKeyedSubscript(key);
}

}  // namespace

bool boolean(const std::string& key) {
    return valueFor(key)->boolValue();
}

double number(const std::string& key) {
    return valueFor(key)->numberValue();
}

std::optional<std::string> text(const std::string& key) {
    return valueFor(key)->stringValue();
}

std::optional<Array> array(const std::string& key) {
    auto json = valueFor(key)->JSONValue();
    if (!json || !json->isArray()) return std::nullopt;
    return *json->asArray();
}

std::optional<Dictionary> dictionary(const std::string& key) {
    auto json = valueFor(key)->JSONValue();
    if (!json || !json->isDictionary()) return std::nullopt;
    return *json->asDictionary();
}

bool containsString(const std::optional<Array>& array, const std::string& text) {
    if (!array) return false;
    for (const auto& entry : *array)
        if (entry.isString() && *entry.asString() == text) return true;
    return false;
}

bool withOverride(const std::string& key, const std::optional<bool>& storedOverride) {
    if (storedOverride && containsString(array("allowedOverrides"), key)) return *storedOverride;
    return boolean(key);
}

}  // namespace remotevalues
