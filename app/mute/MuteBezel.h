#pragma once
// The on-screen bezels: the mute bezel ("Muted" / "Live") after the global
// shortcut changed the state, and the cannot-mute bezel ("Mute error").
// Their display times come from the remote values
// "muteToggleNotificationTime" and "cannotMuteNotificationTime". A new bezel
// takes the previous one off the screen first. Main thread only.

#include <memory>

class BezelDelegate;

// Shown only once the shell has initialised and when muteNotifications is on.
void showMuteToggleBezel();
// Shown only when the remote switch "showCannotMuteNotification" is on.
void showCannotMuteBezel();

// The handle of the latest bezel of either kind (null before the first).
std::shared_ptr<BezelDelegate> currentBezel();
