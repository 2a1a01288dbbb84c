#pragma once
// The process-wide consent state of the measurement library: for ad storage
// and analytics storage, granted or denied, with the number of the source it
// came from. Lower source numbers win: a new state is accepted from a source
// whose number is not greater than the current one.
//
// Every read waits on the serial queue "APMConsentSettingsUtilQueue" and
// every write is queued there, so a read sees the same thread's earlier
// writes. Never call the reads from that queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class DispatchQueue;

struct APMConsentSettingsUtil {
    static constexpr const char* kAdStorage = "ad_storage";
    static constexpr const char* kAnalyticsStorage = "analytics_storage";
    static constexpr const char* kGranted = "granted";
    static constexpr const char* kDenied = "denied";
    // Source numbers, most important first.
    static constexpr std::int64_t kSourceThirdPartyCall = 10;
    static constexpr std::int64_t kSourceInfoPlist = 20;
    static constexpr std::int64_t kSourceCall = 30;
    static constexpr std::int64_t kSourceStartUp = 40;
    static constexpr std::int64_t kSourceNone = 100;

    static const std::shared_ptr<DispatchQueue>& serialQueue();

    static std::optional<Dictionary> consentSettings();
    // Nil also returns the source to "none".
    static void setConsentSettings(const std::optional<Dictionary>& settings);
    // The current entries with the given ones written over them.
    static void updateSettings(const Dictionary& settings);
    static std::int64_t consentSource();
    static void setConsentSource(std::int64_t source);
    // Whether settings from `source` may replace the current ones.
    static bool isConsentSourceHigherPriority(std::int64_t source);
    // The steps of a caller applying settings from a source: accepted only
    // when the source may replace the current one; then stored (merged into
    // the current entries, or replacing them) with the source recorded.
    static bool applySettings(const Dictionary& settings, std::int64_t source, bool merge);

    // NO whenever consent settings are switched off in the configuration.
    static bool isAdStorageDenied();
    static bool isAnalyticsStorageDenied();

    static Dictionary consentSettingsFromDictionary(const Dictionary& dictionary);
    // Defaults from the information list's two switches (numbers only).
    static Dictionary consentSettingsFromPlist();
    // Whether the current settings deny something the previous ones did not.
    static bool didWithdrawPreviousConsent(const std::optional<Value>& previous);
    // "G1" and one character each for ad and analytics storage: "1"
    // granted, "0" denied, "-" otherwise; nil when switched off.
    static std::optional<std::string> consentSignals();
    static std::string description();

    static bool isDenied(const Value& value);
    static bool isGranted(const Value& value);
};
