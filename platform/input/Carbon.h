#pragma once
// Carbon event services for global hot keys: registration, the event
// dispatcher target with its handlers, and event parameters.
//
// A hot key registered here fires when sim::Keyboard (Keyboard.h) presses
// its key code with its modifiers: the dispatcher then runs, on the main
// queue, the handlers installed for class 'keyb' with kind 5 (pressed) and,
// when the key goes up, kind 6 (released). Handlers run most recently
// installed first; one that returns eventNotHandledErr passes the event on.
// Matching looks at the key code and the command, shift, option and control
// bits; other bits (such as 0x800000, which function-key shortcuts carry)
// are kept but do not take part. A combination that this process or another
// program already holds fails with eventHotKeyExistsErr.

#include <cstdint>
#include <string>
#include "platform/foundation/MacTypes.h"

using OptionBits = std::uint32_t;
using ItemCount = unsigned long;
using ByteCount = unsigned long;
using EventParamName = OSType;
using EventParamType = OSType;
using EventTime = double;

inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus errAECoercionFail = -1700;
inline constexpr OSStatus eventParameterNotFoundErr = -9870;
inline constexpr OSStatus eventNotHandledErr = -9874;
inline constexpr OSStatus eventHotKeyExistsErr = -9878;
inline constexpr OSStatus eventHotKeyInvalidErr = -9879;

// 'abcd' as a number, first character in the high byte.
constexpr OSType fourCharCode(const char (&code)[5]) {
    return (static_cast<OSType>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<OSType>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<OSType>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<OSType>(static_cast<unsigned char>(code[3]));
}

inline constexpr OSType kEventClassKeyboard = fourCharCode("keyb");
inline constexpr UInt32 kEventHotKeyPressed = 5;
inline constexpr UInt32 kEventHotKeyReleased = 6;
inline constexpr EventParamName kEventParamDirectObject = fourCharCode("----");
inline constexpr EventParamType typeEventHotKeyID = fourCharCode("hkid");

// Carbon modifier bits.
inline constexpr int cmdKey = 0x100;
inline constexpr int shiftKey = 0x200;
inline constexpr int alphaLock = 0x400;
inline constexpr int optionKey = 0x800;
inline constexpr int controlKey = 0x1000;

// Virtual key codes of the modifier keys.
inline constexpr UInt16 kVK_Command = 0x37;
inline constexpr UInt16 kVK_Shift = 0x38;
inline constexpr UInt16 kVK_CapsLock = 0x39;
inline constexpr UInt16 kVK_Option = 0x3A;
inline constexpr UInt16 kVK_Control = 0x3B;
inline constexpr UInt16 kVK_Function = 0x3F;

struct EventHotKeyID {
    OSType signature = 0;
    UInt32 id = 0;
};

struct EventTypeSpec {
    OSType eventClass = 0;
    UInt32 eventKind = 0;
};

struct OpaqueEventRef;
struct OpaqueEventHotKeyRef;
struct OpaqueEventTargetRef;
struct OpaqueEventHandlerRef;
struct OpaqueEventHandlerCallRef;
using EventRef = OpaqueEventRef*;
using EventHotKeyRef = OpaqueEventHotKeyRef*;
using EventTargetRef = OpaqueEventTargetRef*;
using EventHandlerRef = OpaqueEventHandlerRef*;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;

using EventHandlerProcPtr = OSStatus (*)(EventHandlerCallRef nextHandler, EventRef event,
                                         void* userData);
using EventHandlerUPP = EventHandlerProcPtr;
inline EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr proc) {
    return proc;
}

EventTargetRef GetEventDispatcherTarget();

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef handler);
// Passes the event to the handlers after the calling one.
OSStatus CallNextEventHandler(EventHandlerCallRef nextHandler, EventRef event);

OSStatus RegisterEventHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID,
                             EventTargetRef target, OptionBits options, EventHotKeyRef* outRef);
OSStatus UnregisterEventHotKey(EventHotKeyRef hotKey);

// Events: made with a retain count of one.
OSStatus CreateEvent(void* allocator, OSType eventClass, UInt32 kind, EventTime when,
                     OptionBits flags, EventRef* outEvent);
EventRef RetainEvent(EventRef event);
void ReleaseEvent(EventRef event);
OSType GetEventClass(EventRef event);
UInt32 GetEventKind(EventRef event);
OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, ByteCount size,
                           const void* data);
// eventParameterNotFoundErr when missing, errAECoercionFail when stored with
// another type, paramErr when the buffer is too small.
OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* outActualType, ByteCount bufferSize,
                           ByteCount* outActualSize, void* outData);
// Runs the target's handlers for the event now, on the calling thread.
OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target);

// The four-character code of a string of one to four ASCII characters
// (shorter ones padded with blanks); 0 for any other string.
OSType UTGetOSTypeFromString(const std::string& string);
