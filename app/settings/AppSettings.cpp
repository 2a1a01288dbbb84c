#include "app/settings/AppSettings.h"

const std::shared_ptr<KeyCombo>& defaultKeyCombo() {
    static const auto combo =
        KeyCombo::initWithQWERTYKeyCode(46, NSEventModifierFlagCommand | NSEventModifierFlagShift);
    return combo;
}

std::string keyModifiersDisplayString(std::int64_t carbonModifiers, bool doubled) {
    std::string text;
    for (const auto& symbol : modifierSymbols(cocoaModifierFlags(carbonModifiers))) text += symbol;
    if (doubled) text += " (twice)";
    return text;
}

namespace Defaults {

// Each key is a function-local static: created on first use, thread-safe,
// never destroyed.
#define LUMBREL_KEY(Type, name, ...)                                  \
    const Key<Type>& Keys::name() {                                   \
        static const auto* key = new Key<Type>(#name, ##__VA_ARGS__); \
        return *key;                                                  \
    }

using Strings = std::vector<std::string>;

LUMBREL_KEY(bool, devicesMuted, false)
LUMBREL_KEY(bool, originalMuteValue, false)
LUMBREL_KEY(std::int64_t, keyCode, defaultKeyCombo()->keyCode())
LUMBREL_KEY(std::string, keyCodeString, defaultKeyCombo()->characters())
LUMBREL_KEY(bool, keyEnabled, true)
LUMBREL_KEY(bool, keyDoubleModifiers, defaultKeyCombo()->doubledModifiers())
LUMBREL_KEY(std::int64_t, keyModifiers, defaultKeyCombo()->modifiers())
LUMBREL_KEY(std::string, keyModifiersString,
            keyModifiersDisplayString(defaultKeyCombo()->modifiers(),
                                      defaultKeyCombo()->doubledModifiers()))
LUMBREL_KEY(bool, hasOpenedMicStatusWindow, false)
LUMBREL_KEY(bool, showStatusWindow, false)
LUMBREL_KEY(bool, hasShownStatusWindowOnboardingText, false)
LUMBREL_KEY(bool, statusWindowHelpTextAnimation, true)
LUMBREL_KEY(bool, rightClickShowsMenu, false)
LUMBREL_KEY(bool, collectData, false)
LUMBREL_KEY(bool, hasCompletedOnboarding, false)
LUMBREL_KEY(std::int64_t, menubarIcon, 1)
LUMBREL_KEY(bool, muteNotifications, false)
LUMBREL_KEY(std::int64_t, pushToTalk, 0)
LUMBREL_KEY(bool, startOnLogin, true)
LUMBREL_KEY(std::int64_t, leftClickAction, 0)
LUMBREL_KEY(std::int64_t, rightClickAction, 1)
LUMBREL_KEY(Strings, aggregateDeviceWarnings, Strings{})
LUMBREL_KEY(bool, bluetoothWarningSeen, false)
LUMBREL_KEY(bool, bluetoothWorkaroundNoticeSeen, false)
LUMBREL_KEY(Strings, deviceWarnings, Strings{})
LUMBREL_KEY(std::optional<bool>, useBluetoothHogMode)
LUMBREL_KEY(std::optional<bool>, useBluetoothWorkaround)
LUMBREL_KEY(Strings, displaysSentToAnalytics, Strings{})
LUMBREL_KEY(Strings, devicesSentToAnalytics, Strings{})
LUMBREL_KEY(bool, SUEnableAutomaticChecks, true)

#undef LUMBREL_KEY

}  // namespace Defaults
