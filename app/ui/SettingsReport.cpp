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

namespace {

// Every setting of the application, in declaration order.
template <class Visit>
void forEachSetting(Visit&& visit) {
    using K = Defaults::Keys;
    visit(K::devicesMuted());
    visit(K::originalMuteValue());
    visit(K::keyCode());
    visit(K::keyCodeString());
    visit(K::keyEnabled());
    visit(K::keyDoubleModifiers());
    visit(K::keyModifiers());
    visit(K::keyModifiersString());
    visit(K::hasOpenedMicStatusWindow());
    visit(K::showStatusWindow());
    visit(K::hasShownStatusWindowOnboardingText());
    visit(K::statusWindowHelpTextAnimation());
    visit(K::rightClickShowsMenu());
    visit(K::collectData());
    visit(K::hasCompletedOnboarding());
    visit(K::menubarIcon());
    visit(K::muteNotifications());
    visit(K::pushToTalk());
    visit(K::startOnLogin());
    visit(K::leftClickAction());
    visit(K::rightClickAction());
    visit(K::aggregateDeviceWarnings());
    visit(K::bluetoothWarningSeen());
    visit(K::bluetoothWorkaroundNoticeSeen());
    visit(K::deviceWarnings());
    visit(K::useBluetoothHogMode());
    visit(K::useBluetoothWorkaround());
    visit(K::displaysSentToAnalytics());
    visit(K::devicesSentToAnalytics());
    visit(K::SUEnableAutomaticChecks());
}

}  // namespace

std::vector<std::string> settingsReport() {
    std::vector<std::string> lines;
    forEachSetting([&](const auto& key) { lines.push_back(line(key)); });
    return lines;
}

void registerApplicationDefaults() {
    // A key registers its default when it is first made.
    forEachSetting([](const auto&) {});
}
