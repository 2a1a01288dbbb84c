#pragma once
// Conversions between the two encodings of modifier keys: the Cocoa flags of
// key events and the Carbon bits of hot-key registration and key translation.

#include <cstdint>
#include <string>
#include <vector>

#include "app/hotkeys/Key.h"
#include "platform/input/Carbon.h"
#include "platform/input/NSEvent.h"

// The bit that function-key shortcuts carry, with the Cocoa function flag's
// value.
inline constexpr std::int64_t kCarbonFunctionBit = 0x800000;

NSEventModifierFlags cocoaModifierFlags(std::int64_t fromCarbon);
std::int64_t carbonModifiers(NSEventModifierFlags fromCocoa, bool includingFunction);
NSEventModifierFlags filteredModifierFlags(NSEventModifierFlags flags);
NSEventModifierFlags shiftOnlyModifierFlags(NSEventModifierFlags flags);
bool containsSupportedModifiers(NSEventModifierFlags flags);
bool isSingleModifier(NSEventModifierFlags flags);
// One symbol per modifier present, always in the order ⌃ ⌥ ⇧ ⌘.
std::vector<std::string> modifierSymbols(NSEventModifierFlags flags);
bool isFunctionKey(Key key);
bool isLetterKey(Key key);
