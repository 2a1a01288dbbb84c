// The analytics state that survives restarts outside the measurement
// database: consent settings and their source, a pending reset and the app
// instance identifier chosen at a reset.

#include <algorithm>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "services/analytics/APMAnalytics.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMUserDefaults.h"

namespace {

constexpr const char* kConsentSettings = "consent_settings";
constexpr const char* kConsentSettings3P = "consent_settings_3p";
constexpr const char* kConsentSource = "consent_source";
constexpr const char* kConsentSettingsOnStart = "consent_settings_on_start";
constexpr const char* kDeferredConsentReset = "deferred_consent_reset";
constexpr const char* kResetRetryCount = "reset_retry_count";
constexpr const char* kNeedFirstOpenAfterReset = "need_first_open_after_reset";
constexpr const char* kAppInstanceIDAfterReset = "app_instance_id_after_reset";
constexpr const char* kDeferredAnalyticsCollection = "deferred_analytics_collection";

APMUserDefaults& store() {
    static auto* shared = new APMUserDefaults("APMAnalyticsSuiteName");
    return *shared;
}

}  // namespace

std::optional<Dictionary> APMAnalytics::consentSettings3P() {
    return store().dictionaryForKey(kConsentSettings3P);
}

std::optional<Dictionary> APMAnalytics::consentSettings1P() {
    return store().dictionaryForKey(kConsentSettings);
}

std::optional<Dictionary> APMAnalytics::consentSettings1PStart() {
    return store().dictionaryForKey(kConsentSettingsOnStart);
}

void APMAnalytics::setConsentSettings1PStart(const Dictionary& settings) {
    store().setObject(Value(settings), kConsentSettingsOnStart);
}

bool APMAnalytics::deferredResetOnDeniedConsent() {
    return store().boolForKey(kDeferredConsentReset);
}

void APMAnalytics::removeStartUpConsentSettings() {
    store().removeObjectForKey(kConsentSettingsOnStart);
}

void APMAnalytics::removeDeferredResetOnDeniedConsent() {
    store().removeObjectForKey(kDeferredConsentReset);
}

long long APMAnalytics::resetRetryCount() {
    return store().integerForKey(kResetRetryCount);
}

void APMAnalytics::setResetRetryCount(long long count) {
    if (count < 1) {
        store().removeObjectForKey(kResetRetryCount);
        return;
    }
    store().setObject(Value(count), kResetRetryCount);
}

bool APMAnalytics::needFirstOpenAfterReset() {
    return store().boolForKey(kNeedFirstOpenAfterReset);
}

void APMAnalytics::setNeedFirstOpenAfterReset(bool due) {
    store().setObject(Value(due), kNeedFirstOpenAfterReset);
}

void APMAnalytics::removeNeedFirstOpenAfterReset() {
    store().removeObjectForKey(kNeedFirstOpenAfterReset);
}

std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
    return store().stringForKey(kAppInstanceIDAfterReset);
}

void APMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& identifier) {
    if (!identifier) {
        store().removeObjectForKey(kAppInstanceIDAfterReset);
        return;
    }
    store().setObject(Value(*identifier), kAppInstanceIDAfterReset);
}

std::optional<Value> APMAnalytics::deferredAnalyticsCollection() {
    return store().objectForKey(kDeferredAnalyticsCollection);
}

void APMAnalytics::setDeferredAnalyticsCollection(const std::optional<Value>& value) {
    store().setObject(value, kDeferredAnalyticsCollection);
}

long long APMAnalytics::persistedConsentSource() {
    auto stored = store().objectForKey(kConsentSource);
    if (!stored || !stored->isNumber()) return 100;
    return stored->asInt().value_or(100);
}

void APMAnalytics::persistConsentSettings(const Dictionary& settings, long long source) {
    store().setObject(Value(settings), source <= 20 ? kConsentSettings3P : kConsentSettings);
    store().setObject(Value(source), kConsentSource);
}

// ---- consent in force (APMConsentSettingsUtil), reset and identifier

void APMAnalytics::loadPersistedConsentSettings() {
    const long long stored = persistedConsentSource();
    if (stored == 100) return;
    auto thirdParty = consentSettings3P();
    auto firstParty = consentSettings1P();
    if (!thirdParty && !firstParty) {
        APMConsentSettingsUtil::setConsentSource(stored);
        return;
    }
    APMConsentSettingsUtil::setConsentSettings(thirdParty ? thirdParty : firstParty);
    APMConsentSettingsUtil::setConsentSource(std::min(stored, thirdParty ? 20LL : 40LL));
}

void APMAnalytics::setConsent(const Dictionary& settings) {
    setConsent(settings, kConsentSettings);
}

void APMAnalytics::setConsent(const Dictionary& input, const std::string& key) {
    auto config = APMMeasurement::remoteConfig();
    if (config && !config->isConsentSettings3PEnabled() && key == kConsentSettings3P) return;
    if (config && !config->isConsentSettingsEnabled()) return;
    if (APMConsentSettingsUtil::consentSource() == APMConsentSettingsUtil::kSourceNone)
        loadPersistedConsentSettings();
    Dictionary entries;
    for (const auto& [type, value] : APMConsentSettingsUtil::consentSettingsFromDictionary(input)) {
        if (value == Value("granted") || value == Value("denied")) {
            entries.set(type, value);
            continue;
        }
        APMMeasurement::monitor().logWithLevel(
            3, 25042,
            "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
            APMMonitorContext(value));
    }
    if (entries.empty()) {
        APMMeasurement::monitor().logWithLevel(3, 25041, "Discarding empty consent settings");
        return;
    }
    const long long source = key == kConsentSettings3P ? 10 : 30;
    if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
        APMMeasurement::monitor().logWithLevel(3, 25043,
                                               "Ignoring lower priority consent settings");
        return;
    }
    const std::optional<Value> previous = store().objectForKey(key);
    APMConsentSettingsUtil::updateSettings(entries);
    APMConsentSettingsUtil::setConsentSource(source);
    persistConsentSettings(APMConsentSettingsUtil::consentSettings().value_or(Dictionary{}),
                           source);
    if (!APMConsentSettingsUtil::didWithdrawPreviousConsent(previous)) return;
    setAppInstanceIDAfterReset(std::nullopt);
    auto engine = APMMeasurement::sharedInstance();
    if (engine && engine->didInitializeComponents())
        resetAnalyticsData();
    else
        store().setObject(Value(true), kDeferredConsentReset);
}

void APMAnalytics::clearConsent() {
    for (const char* key : {kConsentSource, kConsentSettings3P, kConsentSettings,
                            kConsentSettingsOnStart, kDeferredConsentReset})
        store().removeObjectForKey(key);
    APMConsentSettingsUtil::setConsentSettings(std::nullopt);
}

std::optional<std::string> APMAnalytics::appInstanceID() {
    if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
    auto afterReset = appInstanceIDAfterReset();
    if (afterReset && !afterReset->empty()) return afterReset;
    return APMIdentity::sharedInstance()->appInstanceID();
}

void APMAnalytics::resetAnalyticsData() {
    setLoadTimestamp(sim::wallClockSeconds());
    setResetRetryCount(resetRetryCount() + 1);
    setNeedFirstOpenAfterReset(true);
    const std::string identifier = APMIdentity::sharedInstance()->randomAppInstanceID();
    if (identifier.empty()) {
        APMMeasurement::monitor().logWithLevel(1, 25039, "Cannot generate a new app instance ID");
        return;
    }
    std::optional<std::string> kept;
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
        kept = identifier;
        setAppInstanceIDAfterReset(identifier);
    }
    queueOperationWithBlock([kept] {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine || !engine->resetAnalyticsDataWithAppInstanceID(kept)) {
            APMMeasurement::monitor().logWithLevel(1, 25037, "Failed to reset Analytics data");
            return;
        }
        store().removeObjectForKey(kResetRetryCount);
        if (kept && appInstanceIDAfterReset() == kept) setAppInstanceIDAfterReset(std::nullopt);
    });
}
