#pragma once
// Key codes and characters of the current keyboard layout.
//
// This first version knows the US (ANSI) layout only; the layout service
// that follows the selected input source replaces its internals.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/hotkeys/Key.h"
#include "app/hotkeys/ModifierFlags.h"

class KeyboardLayout {
  public:
    static std::shared_ptr<KeyboardLayout> shared();

    // The current layout's key code for the key, or its QWERTY code.
    std::uint16_t resolvedKeyCode(Key key) const;
    // What the key types with the shift and option state of the modifiers
    // (command and control do not change the character); none when it types
    // nothing.
    std::optional<std::string> character(std::int64_t keyCode, std::int64_t carbonModifiers) const;
    std::optional<std::string> characterForCocoaModifiers(std::int64_t keyCode,
                                                          NSEventModifierFlags flags) const;
};
