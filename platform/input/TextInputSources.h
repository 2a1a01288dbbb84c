#pragma once
// Text input sources (keyboard layouts and input methods), the Unicode
// translation of key codes, and the keyboard type.
//
// The sources and their state come from sim::InputSources (InputSources.h).
// A keyboard layout's Unicode layout data stands for a layout of the
// system's XKB data; UCKeyTranslate types with it: a fixed table takes each
// virtual key code of the ANSI keyboard to its physical key. Selecting a
// source or enabling or disabling one posts the two distributed
// notifications below, synchronously, on the posting thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/input/Carbon.h"

struct OpaqueTISInputSource;
// A counted reference: copies share the one source.
using TISInputSourceRef = std::shared_ptr<OpaqueTISInputSource>;

inline constexpr const char* kTISPropertyInputSourceCategory = "TISPropertyInputSourceCategory";
inline constexpr const char* kTISPropertyInputSourceType = "TISPropertyInputSourceType";
inline constexpr const char* kTISPropertyInputSourceIsASCIICapable =
    "TISPropertyInputSourceIsASCIICapable";
inline constexpr const char* kTISPropertyInputSourceIsEnableCapable =
    "TISPropertyInputSourceIsEnableCapable";
inline constexpr const char* kTISPropertyInputSourceIsSelectCapable =
    "TISPropertyInputSourceIsSelectCapable";
inline constexpr const char* kTISPropertyInputSourceIsEnabled = "TISPropertyInputSourceIsEnabled";
inline constexpr const char* kTISPropertyInputSourceIsSelected = "TISPropertyInputSourceIsSelected";
inline constexpr const char* kTISPropertyInputSourceID = "TISPropertyInputSourceID";
inline constexpr const char* kTISPropertyInputModeID = "TISPropertyInputModeID";
inline constexpr const char* kTISPropertyLocalizedName = "TISPropertyLocalizedName";
inline constexpr const char* kTISPropertyUnicodeKeyLayoutData = "TISPropertyUnicodeKeyLayoutData";

inline constexpr const char* kTISCategoryKeyboardInputSource = "TISCategoryKeyboardInputSource";
inline constexpr const char* kTISTypeKeyboardLayout = "TISTypeKeyboardLayout";
inline constexpr const char* kTISTypeKeyboardInputMode = "TISTypeKeyboardInputMode";

inline constexpr const char* kTISNotifySelectedKeyboardInputSourceChanged =
    "com.lumbrel.input.SelectedInputSourcesChanged";
inline constexpr const char* kTISNotifyEnabledKeyboardInputSourcesChanged =
    "com.lumbrel.input.EnabledInputSourcesChanged";

TISInputSourceRef TISCopyCurrentKeyboardInputSource();
// The selected source, whatever its kind.
TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource();
// The selected source when it is an ASCII-capable layout, else the last
// such layout selected (the U.S. layout at first).
TISInputSourceRef TISCopyCurrentASCIICapableKeyboardInputSource();
// The enabled sources (every installed one with includeAllInstalled) whose
// properties equal every entry of the filter. None when the list cannot be
// made.
std::optional<std::vector<TISInputSourceRef>> TISCreateInputSourceList(const Dictionary& properties,
                                                                       bool includeAllInstalled);
// Strings, booleans, and Data for the layout data; null when the source has
// no such property. The value stays valid while the caller holds it.
std::shared_ptr<const Value> TISGetInputSourceProperty(const TISInputSourceRef& source,
                                                       std::string_view propertyKey);
OSStatus TISSelectInputSource(const TISInputSourceRef& source);
OSStatus TISEnableInputSource(const TISInputSourceRef& source);
OSStatus TISDisableInputSource(const TISInputSourceRef& source);

struct UCKeyboardLayout;
using UniChar = char16_t;
using UniCharCount = unsigned long;

inline constexpr UInt16 kUCKeyActionDown = 0;
inline constexpr UInt16 kUCKeyActionUp = 1;
inline constexpr UInt16 kUCKeyActionAutoKey = 2;
inline constexpr UInt16 kUCKeyActionDisplay = 3;
inline constexpr OptionBits kUCKeyTranslateNoDeadKeysMask = 1;
inline constexpr OSStatus kUCOutputBufferTooSmall = -25340;
inline constexpr OSStatus kUCKeyLayoutBadFormat = -25341;

// modifierKeyState: the Carbon modifier bits shifted right by 8 (shift 2,
// caps lock 4, option 8; command and control do not change what is typed).
// A dead key pressed (kUCKeyActionDown) types nothing and leaves its state
// in *deadKeyState; the next key types the composed character, or the
// accent followed by its own character. kUCKeyActionDisplay shows a dead
// key's accent and neither reads nor writes the state.
OSStatus UCKeyTranslate(const UCKeyboardLayout* keyLayoutPtr, UInt16 virtualKeyCode,
                        UInt16 keyAction, UInt32 modifierKeyState, UInt32 keyboardType,
                        OptionBits keyTranslateOptions, UInt32* deadKeyState,
                        UniCharCount maxStringLength, UniCharCount* actualStringLength,
                        UniChar unicodeString[]);

// UTF-16 units as a UTF-8 string; a lone surrogate becomes U+FFFD.
std::string CFStringCreateWithCharacters(void* allocator, const UniChar* chars,
                                         UniCharCount numChars);

// The physical keyboard's type (sim::InputSources::setKeyboardType).
UInt8 LMGetKbdType();
