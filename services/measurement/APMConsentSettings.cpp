#include "services/measurement/APMConsentSettings.h"

#include <algorithm>
#include <cctype>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

struct State {
    std::optional<Dictionary> settings;
    std::int64_t source = APMConsentSettingsUtil::kSourceNone;
};

State& state() {
    static auto* const s = new State();
    return *s;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

char signal(const Value& value) {
    if (APMConsentSettingsUtil::isDenied(value)) return '0';
    if (APMConsentSettingsUtil::isGranted(value)) return '1';
    return '-';
}

bool deniedInCurrent(const char* key) {
    if (!APMMeasurement::remoteConfig()->isConsentSettingsEnabled()) return false;
    auto settings = APMConsentSettingsUtil::consentSettings();
    return settings && APMConsentSettingsUtil::isDenied((*settings)[key]);
}

}  // namespace

const std::shared_ptr<DispatchQueue>& APMConsentSettingsUtil::serialQueue() {
    static const auto queue = DispatchQueue::create(
        "APMConsentSettingsUtilQueue", DispatchQueue::Attributes::Serial, DispatchQoS::Utility);
    return queue;
}

std::optional<Dictionary> APMConsentSettingsUtil::consentSettings() {
    std::optional<Dictionary> settings;
    serialQueue()->sync([&] { settings = state().settings; });
    return settings;
}

void APMConsentSettingsUtil::setConsentSettings(const std::optional<Dictionary>& settings) {
    serialQueue()->async([settings] {
        state().settings = settings;
        if (!settings) state().source = kSourceNone;
    });
}

void APMConsentSettingsUtil::updateSettings(const Dictionary& settings) {
    serialQueue()->async([settings] {
        Dictionary merged = state().settings.value_or(Dictionary{});
        for (const auto& [key, value] : settings) merged.set(key, value);
        state().settings = std::move(merged);
    });
}

std::int64_t APMConsentSettingsUtil::consentSource() {
    std::int64_t source = kSourceNone;
    serialQueue()->sync([&] { source = state().source; });
    return source;
}

void APMConsentSettingsUtil::setConsentSource(std::int64_t source) {
    serialQueue()->async([source] { state().source = source; });
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(std::int64_t source) {
    return consentSource() >= source;
}

bool APMConsentSettingsUtil::applySettings(const Dictionary& settings, std::int64_t source,
                                           bool merge) {
    bool accepted = false;
    // One block, so that no other writer slips between the test and the write.
    serialQueue()->sync([&] {
        if (state().source < source) return;
        if (merge) {
            Dictionary merged = state().settings.value_or(Dictionary{});
            for (const auto& [key, value] : settings) merged.set(key, value);
            state().settings = std::move(merged);
        } else {
            state().settings = settings;
        }
        state().source = source;
        accepted = true;
    });
    return accepted;
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
    return deniedInCurrent(kAdStorage);
}

bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
    return deniedInCurrent(kAnalyticsStorage);
}

Dictionary APMConsentSettingsUtil::consentSettingsFromDictionary(const Dictionary& dictionary) {
    Dictionary result;
    for (const char* key : {kAdStorage, kAnalyticsStorage}) {
        if (const Value* value = dictionary.find(key)) result.set(key, *value);
    }
    return result;
}

Dictionary APMConsentSettingsUtil::consentSettingsFromPlist() {
    Dictionary result;
    auto bundle = NSBundle::mainBundle();
    const std::pair<const char*, const char*> switches[] = {
        {"ZEVERA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", kAdStorage},
        {"ZEVERA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", kAnalyticsStorage}};
    for (const auto& [name, key] : switches) {
        const Value* value = bundle->objectForInfoDictionaryKey(name);
        if (!value || !(value->isNumber() || value->isBool())) continue;
        result.set(key, value->asDouble().value_or(0) != 0 ? kGranted : kDenied);
    }
    return result;
}

bool APMConsentSettingsUtil::didWithdrawPreviousConsent(const std::optional<Value>& previous) {
    if (!APMMeasurement::remoteConfig()->isConsentSettingsEnabled()) return false;
    if (previous && !previous->isNull() && !previous->isDictionary()) return false;
    const auto current = consentSettings();
    if (!current) return false;
    const Dictionary before =
        previous && previous->isDictionary() ? *previous->asDictionary() : Dictionary{};
    if (previous && previous->isDictionary() && before == *current) return false;
    for (const char* key : {kAdStorage, kAnalyticsStorage}) {
        if (!isDenied(before[key]) && isDenied((*current)[key])) return true;
    }
    return false;
}

std::optional<std::string> APMConsentSettingsUtil::consentSignals() {
    auto config = APMMeasurement::remoteConfig();
    if (!config->isConsentSettings3PEnabled() || !config->isConsentSettingsEnabled()) {
        return std::nullopt;
    }
    std::string text = "G1";
    serialQueue()->sync([&] {
        const Dictionary settings = state().settings.value_or(Dictionary{});
        text += signal(settings[kAdStorage]);
        text += signal(settings[kAnalyticsStorage]);
    });
    return text;
}

std::string APMConsentSettingsUtil::description() {
    const Dictionary settings = consentSettings().value_or(Dictionary{});
    auto describe = [&](const char* key) {
        const Value* value = settings.find(key);
        if (!value) return std::string(kGranted);
        if (auto text = value->asString()) return *text;
        return value->description();
    };
    return std::string(kAdStorage) + " is " + describe(kAdStorage) + ". " + kAnalyticsStorage +
           " is " + describe(kAnalyticsStorage) + ".";
}

bool APMConsentSettingsUtil::isDenied(const Value& value) {
    auto text = value.asString();
    return text && lower(*text) == kDenied;
}

bool APMConsentSettingsUtil::isGranted(const Value& value) {
    auto text = value.asString();
    return text && lower(*text) == kGranted;
}
