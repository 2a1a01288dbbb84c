#pragma once
// Shared internals of the input stand-in (not a public header).

#include <memory>
#include <optional>
#include <vector>

#include "platform/input/Carbon.h"
#include "platform/input/NSEvent.h"

namespace sim::detail {

// Carbon matching bits: command, shift, option, control.
inline constexpr UInt32 kHotKeyMatchMask = cmdKey | shiftKey | optionKey | controlKey;

// The registered hot key that a press of keyCode with these Carbon
// modifiers fires, or null.
EventHotKeyRef findHotKey(UInt16 keyCode, UInt32 carbonModifiers);
bool isRegistered(EventHotKeyRef hotKey);
// Queues on the main queue the hot-key event of that kind for its target.
void postHotKeyEvent(EventHotKeyRef hotKey, UInt32 kind);

// Runs the monitors that match the event (global ones when global is set,
// local ones when local is set) and answers the event left after the local
// monitors (null when one swallowed it). Call on the main thread.
std::shared_ptr<NSEvent> runMonitors(const std::shared_ptr<NSEvent>& event, bool global,
                                     bool local);
void countBeep();

}  // namespace sim::detail

namespace sim::detail {

// What the key types with these Carbon modifiers in the selected input
// source (its ASCII-capable fallback when it has no layout), for key events.
std::string typedCharacters(UInt16 keyCode, UInt32 carbonModifiers);

}  // namespace sim::detail
