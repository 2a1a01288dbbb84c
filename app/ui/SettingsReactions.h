#pragma once
// How the application follows the settings that the windows write: data
// collection, launch at login, the shortcut, the click actions, the
// menu-bar icon, the mute notifications and the push-to-talk mode, each
// change reported to analytics. Every handler also runs once while the
// observations are registered (old value: the default, new value: the
// stored one).

#include <cstdint>
#include <memory>
#include <vector>

#include "app/settings/DefaultsObservation.h"

class AppDelegate;

namespace SettingsReactions {

// Registers the nine observations, in order; the handlers hold the delegate
// weakly.
std::vector<std::shared_ptr<Defaults::DefaultsObservation>> observe(
    const std::shared_ptr<AppDelegate>& delegate);

void collectDataChanged(bool enabled);
// `initial`: the run during registration, which also puts the login item in
// line with the setting when both equal the default.
void startOnLoginChanged(const Defaults::KeyChange<bool>& change, bool initial);
void rightClickShowsMenuChanged(const Defaults::KeyChange<bool>& change);
void menubarIconChanged(AppDelegate& delegate, const Defaults::KeyChange<std::int64_t>& change);
void muteNotificationsChanged(const Defaults::KeyChange<bool>& change);
void pushToTalkChanged(AppDelegate& delegate, const Defaults::KeyChange<std::int64_t>& change);

}  // namespace SettingsReactions
