#pragma once
// Where a user's mute change came from, and the analytics event that records
// it ("mic_muted").

#include <optional>
#include <string>
#include <string_view>

enum class MuteEventSource {
    keyboardShortcut,
    pushToTalk,
    pushToMute,
    menuBarDropdownItem,
    menuBarItem,
    statusWindow,
};

// "Keyboard: toggle", "Keyboard: Hold to speak", ... exactly.
const std::string& rawValue(MuteEventSource source);
// Exact, case-sensitive match of one of the six raw strings.
std::optional<MuteEventSource> muteEventSourceFromRawValue(std::string_view raw);

// Logs "mic_muted" with "source" and, for the keyboard sources, "shortcut"
// (the stored modifier text followed by the stored key text).
void logMicMute(MuteEventSource source);
