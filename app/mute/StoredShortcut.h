#pragma once
// The stored shortcut as a key combination, and the Mac's model identifier.

#include <memory>
#include <optional>
#include <string>

class KeyCombo;

// The shortcut the settings describe: none when the shortcut is disabled or
// the settings build no valid combination. A double-tap setting whose
// modifiers form no valid double tap falls back to the key-code combination.
std::shared_ptr<KeyCombo> storedKeyCombo();

// The I/O registry's "model" of the platform-expert device as text, up to
// its first NUL; absent when missing or not UTF-8.
std::optional<std::string> macModelName();
