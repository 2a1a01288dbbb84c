#include "app/ui/SettingsReactions.h"

#include "app/mute/MuteManager.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/LoginItem.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/crash/RZRCrashtrace.h"

namespace SettingsReactions {
namespace {

using K = Defaults::Keys;

void logEvent(const std::string& name, const std::string& parameter, const std::string& value) {
    ZAROduzozova::logEventWithName(name, Dictionary{{parameter, Value(value)}});
}

std::string onOff(bool value) {
    return value ? "On" : "Off";
}

template <class T>
std::function<void(const Defaults::KeyChange<T>&)> withDelegate(
    const std::weak_ptr<AppDelegate>& weak,
    std::function<void(AppDelegate&, const Defaults::KeyChange<T>&)> handler) {
    return [weak, handler](const Defaults::KeyChange<T>& change) {
        if (auto delegate = weak.lock()) handler(*delegate, change);
    };
}

}  // namespace

std::vector<std::shared_ptr<Defaults::DefaultsObservation>> observe(
    const std::shared_ptr<AppDelegate>& delegate) {
    std::weak_ptr<AppDelegate> weak = delegate;
    auto registerHotKey = [](AppDelegate& d, const auto&) { d.registerHotKey(); };
    auto registering = std::make_shared<bool>(true);

    std::vector<std::shared_ptr<Defaults::DefaultsObservation>> observations;
    observations.push_back(Defaults::observe<bool>(K::collectData(), [weak](const auto& change) {
        collectDataChanged(change.newValue);
        // Devices met before the user allowed it are reported now, once each.
        if (auto delegate = weak.lock(); delegate && change.newValue)
            if (auto engine = delegate->muteManager()) engine->reportAllInputDevices();
    }));
    observations.push_back(Defaults::observe<bool>(
        K::startOnLogin(),
        [registering](const auto& change) { startOnLoginChanged(change, *registering); }));
    *registering = false;
    observations.push_back(
        Defaults::observe<bool>(K::keyEnabled(), withDelegate<bool>(weak, registerHotKey)));
    observations.push_back(Defaults::observe<std::int64_t>(
        K::keyCode(), withDelegate<std::int64_t>(weak, registerHotKey)));
    observations.push_back(Defaults::observe<std::int64_t>(
        K::keyModifiers(), withDelegate<std::int64_t>(weak, registerHotKey)));
    observations.push_back(Defaults::observe<bool>(
        K::rightClickShowsMenu(), [](const auto& change) { rightClickShowsMenuChanged(change); }));
    observations.push_back(Defaults::observe<std::int64_t>(
        K::menubarIcon(), withDelegate<std::int64_t>(weak, menubarIconChanged)));
    observations.push_back(Defaults::observe<bool>(
        K::muteNotifications(), [](const auto& change) { muteNotificationsChanged(change); }));
    observations.push_back(Defaults::observe<std::int64_t>(
        K::pushToTalk(), withDelegate<std::int64_t>(weak, pushToTalkChanged)));
    return observations;
}

void collectDataChanged(bool enabled) {
    ZAROduzozova::setAnalyticsCollectionEnabled(enabled);
    RZRCrashtrace::applyCollectionSetting(enabled);
}

void startOnLoginChanged(const Defaults::KeyChange<bool>& change, bool initial) {
    if (change.newValue != change.oldValue) {
        setLaunchAtLogin(change.newValue);
        logEvent("changed_start_on_login", "mode", onOff(change.newValue));
    } else if (initial) {
        // On a fresh install the setting says "start at login" without ever
        // having been written; register accordingly, without an event.
        setLaunchAtLogin(change.newValue);
    }
}

void rightClickShowsMenuChanged(const Defaults::KeyChange<bool>& change) {
    if (change.newValue == change.oldValue) return;
    auto actions = clickActionsFor(change.newValue);
    Defaults::set(K::leftClickAction(), rawValue(actions.left));
    Defaults::set(K::rightClickAction(), rawValue(actions.right));
    logEvent("changed_right_click", "action", change.newValue ? "Show Menu" : "Toggle Mute");
}

void menubarIconChanged(AppDelegate& delegate, const Defaults::KeyChange<std::int64_t>& change) {
    if (change.newValue == change.oldValue) return;
    delegate.updateStatusImage();
    logEvent("changed_menubar_icon", "iconName", change.newValue == 0 ? "Monochrome" : "Colour");
}

void muteNotificationsChanged(const Defaults::KeyChange<bool>& change) {
    if (change.newValue == change.oldValue) return;
    logEvent("changed_notifications", "mode", onOff(change.newValue));
}

void pushToTalkChanged(AppDelegate& delegate, const Defaults::KeyChange<std::int64_t>& change) {
    if (change.newValue == change.oldValue) return;
    std::string mode;
    switch (change.newValue) {
        case 0:
            if (Defaults::get(K::originalMuteValue()) != Defaults::get(K::devicesMuted()))
                delegate.setMuted(Defaults::get(K::originalMuteValue()));
            mode = "off";
            break;
        case 1:
            Defaults::set(K::originalMuteValue(), Defaults::get(K::devicesMuted()));
            delegate.setMuted(true);
            mode = "hold-to-talk";
            break;
        case 2:
            Defaults::set(K::originalMuteValue(), Defaults::get(K::devicesMuted()));
            delegate.setMuted(false);
            mode = "hold-to-mute";
            break;
        default:
            mode = "[Invalid]";
            break;
    }
    logEvent("changed_push_to_talk", "mode", mode);
}

}  // namespace SettingsReactions
