#pragma once
// The application's settings: `Defaults::Keys::<name>()` for each key, and
// the built-in shortcut their defaults come from.

#include <memory>

#include "app/hotkeys/KeyCombo.h"
#include "app/settings/Defaults.h"
#include "app/settings/SettingEnums.h"

// ⇧⌘M: QWERTY key code 46 with command and shift, created once.
const std::shared_ptr<KeyCombo>& defaultKeyCombo();

// The display text of a shortcut's modifiers: their symbols, and " (twice)"
// for a double tap.
std::string keyModifiersDisplayString(std::int64_t carbonModifiers, bool doubled);
