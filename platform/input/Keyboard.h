#pragma once
// Control surface of the keyboard stand-in, for tests and the console: keys
// and modifier keys go down and up, registered hot keys fire as the Carbon
// dispatcher fires them, and flags-changed and key events reach the event
// monitors. Everything is delivered on the main queue (pump the main loop);
// each event gets a timestamp from the process clock, strictly later than
// the one before.
//
// `at`: with the virtual clock, first runs what is queued on the main queue
// and moves time on to that moment (sim::advanceAndRun, so call on the main
// thread); an earlier moment, or the real clock, means now.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/input/Carbon.h"
#include "platform/input/NSEvent.h"

namespace sim {

struct RegisteredHotKey {
    UInt32 keyCode = 0;
    UInt32 modifiers = 0;
    EventHotKeyID hotKeyID;
    EventHotKeyRef ref = nullptr;
};

// Which monitors see an event: the global ones (the event went to another
// program), the local ones (it went to this one), or both.
enum class MonitorDelivery { both, globalOnly, localOnly };

struct Keyboard {
    // The modifier keys of `modifiers` that are not held yet go down one by
    // one (a flags-changed event each, in the order control, option, shift,
    // command), then the key goes down: a hot key registered for it with the
    // held modifiers receives kEventHotKeyPressed, otherwise a key-down event
    // goes to the monitors.
    static void press(UInt16 keyCode, NSEventModifierFlags modifiers = 0,
                      std::optional<Time> at = std::nullopt);
    // The key goes up (kEventHotKeyReleased for the hot key that its press
    // fired, else a key-up event), then every held modifier key goes up.
    static void release(UInt16 keyCode, std::optional<Time> at = std::nullopt);
    static void pressAndRelease(UInt16 keyCode, NSEventModifierFlags modifiers = 0,
                                std::optional<Time> at = std::nullopt);
    // Modifier keys go down or up until `flags` are held: one flags-changed
    // event per key that changes (caps lock and function count as keys).
    static void setModifiers(NSEventModifierFlags flags, std::optional<Time> at = std::nullopt);
    // One modifier key down and up again: two flags-changed events.
    static void tapModifier(NSEventModifierFlags modifier, std::optional<Time> at = std::nullopt);
    static NSEventModifierFlags currentModifiers();

    static void setMonitorDelivery(MonitorDelivery delivery);
    // Receives the events that the local monitors pass on (the
    // application's own event handling), on the main thread.
    static void setApplicationEventHandler(std::function<void(const std::shared_ptr<NSEvent>&)>);

    static std::vector<RegisteredHotKey> registeredHotKeys();
    // Another program holds this combination: registering it fails.
    static void holdHotKeyInOtherProgram(UInt16 keyCode, UInt32 carbonModifiers);
    static void releaseOtherProgramHotKeys();

    static int beepCount();

    // Nothing held, delivery to both, no other program's hot keys, no
    // application handler. Registered hot keys and monitors stay.
    static void reset();
};

}  // namespace sim
