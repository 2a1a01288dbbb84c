#pragma once
// Conversions between the two encodings of modifier keys: the Cocoa flags of
// key events and the Carbon bits of hot-key registration and key translation.

#include <cstdint>
#include <string>
#include <vector>

#include "app/hotkeys/Key.h"

using NSEventModifierFlags = std::uint64_t;

inline constexpr NSEventModifierFlags NSEventModifierFlagCapsLock = 0x10000;
inline constexpr NSEventModifierFlags NSEventModifierFlagShift = 0x20000;
inline constexpr NSEventModifierFlags NSEventModifierFlagControl = 0x40000;
inline constexpr NSEventModifierFlags NSEventModifierFlagOption = 0x80000;
inline constexpr NSEventModifierFlags NSEventModifierFlagCommand = 0x100000;
inline constexpr NSEventModifierFlags NSEventModifierFlagNumericPad = 0x200000;
inline constexpr NSEventModifierFlags NSEventModifierFlagHelp = 0x400000;
inline constexpr NSEventModifierFlags NSEventModifierFlagFunction = 0x800000;

inline constexpr std::int64_t cmdKey = 0x100;
inline constexpr std::int64_t shiftKey = 0x200;
inline constexpr std::int64_t optionKey = 0x800;
inline constexpr std::int64_t controlKey = 0x1000;
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
