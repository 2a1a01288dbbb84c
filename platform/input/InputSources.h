#pragma once
// Control surface of the input sources, for tests and the console.
//
// Installed at start (and after reset), in this order:
//   "com.apple.keylayout.US"      "U.S."    XKB "us"           enabled, selected
//   "com.apple.keylayout.German"  "German"  XKB "de"
//   "com.apple.keylayout.French"  "French"  XKB "fr"
//   "com.apple.keylayout.Dvorak"  "Dvorak"  XKB "us" "dvorak"
//   "com.apple.inputmethod.Japanese" in the modes "com.apple.inputmethod.Japanese"
//     ("Hiragana") and "com.apple.inputmethod.Japanese.Katakana" ("Katakana"):
//     an input method without layout data, not ASCII-capable.
// Every change posts its distributed notification (TextInputSources.h).

#include <optional>
#include <string>

#include "platform/input/Carbon.h"

namespace sim {

struct InputSourceDescription {
    std::string id;
    std::optional<std::string> modeID;
    std::optional<std::string> localizedName;
    // The XKB layout (and variant) typed with; none for an input method
    // without layout data.
    std::optional<std::string> xkbLayout;
    std::string xkbVariant;
    bool asciiCapable = true;
    bool enableCapable = true;
    bool selectCapable = true;
    // False: the source reports no selected-state property.
    bool reportsSelectedState = true;
    bool enabled = false;
};

struct InputSources {
    // False when no such source is installed or it is not enabled and
    // select-capable. Selecting the selected source changes nothing.
    static bool select(const std::string& id, const std::optional<std::string>& modeID = {});
    // False when no such source is installed, it cannot be enabled, or (for
    // disable) it is the selected source.
    static bool enable(const std::string& id, const std::optional<std::string>& modeID = {});
    static bool disable(const std::string& id, const std::optional<std::string>& modeID = {});
    // Installs (or replaces) a source; posts the enabled-sources notification
    // when it is enabled.
    static void install(const InputSourceDescription& description);
    // Posts a notification without a change, as the system sometimes does.
    static void postSelectionChanged();
    static void postEnabledSourcesChanged();
    // The next TISCreateInputSourceList answers none.
    static void failNextSourceList();
    static void setKeyboardType(UInt8 type);
    // The sources of the table above; posts both notifications.
    static void reset();
};

}  // namespace sim
