#include "app/ui/SettingsReport.h"

#include "app/settings/AppSettings.h"

namespace {

std::string show(bool v) {
    return v ? "true" : "false";
}
std::string show(std::int64_t v) {
    return std::to_string(v);
}
std::string show(const std::string& v) {
    return "\"" + v + "\"";
}
std::string show(const std::optional<bool>& v) {
    return v ? show(*v) : "(absent)";
}
std::string show(const std::vector<std::string>& v) {
    std::string out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + show(v[i]);
    return out + "]";
}

template <class T>
std::string line(const Defaults::Key<T>& key) {
    return key.name() + " = " + show(Defaults::get(key));
}

}  // namespace

std::vector<std::string> settingsReport() {
    using K = Defaults::Keys;
    return {
        line(K::devicesMuted()),
        line(K::originalMuteValue()),
        line(K::keyCode()),
        line(K::keyCodeString()),
        line(K::keyEnabled()),
        line(K::keyDoubleModifiers()),
        line(K::keyModifiers()),
        line(K::keyModifiersString()),
        line(K::hasOpenedMicStatusWindow()),
        line(K::showStatusWindow()),
        line(K::hasShownStatusWindowOnboardingText()),
        line(K::statusWindowHelpTextAnimation()),
        line(K::rightClickShowsMenu()),
        line(K::collectData()),
        line(K::hasCompletedOnboarding()),
        line(K::menubarIcon()),
        line(K::muteNotifications()),
        line(K::pushToTalk()),
        line(K::startOnLogin()),
        line(K::leftClickAction()),
        line(K::rightClickAction()),
        line(K::aggregateDeviceWarnings()),
        line(K::bluetoothWarningSeen()),
        line(K::bluetoothWorkaroundNoticeSeen()),
        line(K::deviceWarnings()),
        line(K::useBluetoothHogMode()),
        line(K::useBluetoothWorkaround()),
        line(K::displaysSentToAnalytics()),
        line(K::devicesSentToAnalytics()),
        line(K::SUEnableAutomaticChecks()),
    };
}
