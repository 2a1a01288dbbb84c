#pragma once
// The sections of the preferences page after the keyboard shortcut: the
// push-to-talk mode, the menu-bar icon with the right-click choice, the
// mute-toggle notification, launch at login with update checks, and the
// sharing of usage data. Each control writes its setting the moment it
// changes; each section redraws when one of its settings changes, whoever
// writes it.

#include <cstdint>
#include <memory>
#include <vector>

#include "app/settings/DefaultsObservable.h"
#include "platform/swiftui/View.h"

struct PushToTalkView {
    PushToTalkView();
    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    Defaults::Default<bool> keyDoubleModifiers;
    Defaults::Default<std::int64_t> pushToTalk;
};

struct MenuBarDisplayView {
    MenuBarDisplayView();
    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    Defaults::Default<std::int64_t> menubarIcon;
    Defaults::Default<bool> rightClickShowsMenu;
};

struct NotificationsView {
    NotificationsView();
    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    Defaults::Default<bool> muteNotifications;
};

struct StartupView {
    explicit StartupView(bool showUpdates);
    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    Defaults::Default<bool> checkForUpdates;
    Defaults::Default<bool> startOnLogin;
    State<bool> showUpdates;
};

struct PrivacyView {
    PrivacyView();
    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    Defaults::Default<bool> collectData;
};
