#include "platform/input/Keyboard.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/input/Internal.h"
#include "platform/input/TextInputSources.h"

namespace sim {
namespace {

struct ModifierKey {
    NSEventModifierFlags flag;
    UInt16 keyCode;
};
// The order in which press() puts modifiers down.
constexpr ModifierKey kModifierKeys[] = {
    {NSEventModifierFlagControl, kVK_Control},   {NSEventModifierFlagOption, kVK_Option},
    {NSEventModifierFlagShift, kVK_Shift},       {NSEventModifierFlagCommand, kVK_Command},
    {NSEventModifierFlagCapsLock, kVK_CapsLock}, {NSEventModifierFlagFunction, kVK_Function},
};
constexpr NSEventModifierFlags kModifierKeyFlags =
    NSEventModifierFlagControl | NSEventModifierFlagOption | NSEventModifierFlagShift |
    NSEventModifierFlagCommand | NSEventModifierFlagCapsLock | NSEventModifierFlagFunction;

struct State {
    std::mutex mutex;
    NSEventModifierFlags modifiers = 0;
    double lastTimestamp = 0;
    MonitorDelivery delivery = MonitorDelivery::both;
    std::function<void(const std::shared_ptr<NSEvent>&)> applicationHandler;
    std::map<UInt16, EventHotKeyRef> pressed;  // key code -> hot key its press fired
};

State& state() {
    static auto* s = new State;
    return *s;
}

void moveTo(std::optional<Time> at) {
    if (!at || !isVirtualClock()) return;
    // Events posted earlier are handled at their own moment, not at `at`.
    MainLoop::runUntilIdle();
    const auto now = Clock::now();
    if (*at > now) advanceAndRun(*at - now);
}

double nextTimestamp(State& s) {
    const double now = toSeconds(Clock::now().time_since_epoch());
    s.lastTimestamp = std::max(now, s.lastTimestamp + 1e-6);
    return s.lastTimestamp;
}

UInt32 carbonBits(NSEventModifierFlags flags) {
    UInt32 bits = 0;
    if (flags & NSEventModifierFlagCommand) bits |= cmdKey;
    if (flags & NSEventModifierFlagShift) bits |= shiftKey;
    if (flags & NSEventModifierFlagOption) bits |= optionKey;
    if (flags & NSEventModifierFlagControl) bits |= controlKey;
    if (flags & NSEventModifierFlagCapsLock) bits |= alphaLock;
    return bits;
}

// Flags that the hardware adds to key events of some keys.
NSEventModifierFlags keyFlags(UInt16 keyCode) {
    switch (keyCode) {
        case 122:
        case 120:
        case 99:
        case 118:
        case 96:
        case 97:
        case 98:
        case 100:
        case 101:
        case 109:
        case 103:
        case 111:
        case 105:
        case 107:
        case 113:
        case 106:
        case 64:
        case 79:
        case 80:
        case 90:
        case 114:
        case 115:
        case 116:
        case 117:
        case 119:
        case 121:
            return NSEventModifierFlagFunction;
        case 123:
        case 124:
        case 125:
        case 126:
            return NSEventModifierFlagFunction | NSEventModifierFlagNumericPad;
        case 65:
        case 67:
        case 69:
        case 71:
        case 75:
        case 76:
        case 78:
        case 81:
        case 82:
        case 83:
        case 84:
        case 85:
        case 86:
        case 87:
        case 88:
        case 89:
        case 91:
        case 92:
            return NSEventModifierFlagNumericPad;
        default:
            return 0;
    }
}

void deliver(std::shared_ptr<NSEvent> event, MonitorDelivery delivery) {
    DispatchQueue::main()->async([event = std::move(event), delivery] {
        const bool global = delivery != MonitorDelivery::localOnly;
        const bool local = delivery != MonitorDelivery::globalOnly;
        auto passed = detail::runMonitors(event, global, local);
        if (!passed) return;
        std::function<void(const std::shared_ptr<NSEvent>&)> handler;
        {
            auto& s = state();
            std::lock_guard lock(s.mutex);
            handler = s.applicationHandler;
        }
        if (handler) handler(passed);
    });
}

// Caller holds the lock.
void changeModifier(State& s, const ModifierKey& key, bool down) {
    if (down)
        s.modifiers |= key.flag;
    else
        s.modifiers &= ~key.flag;
    deliver(
        NSEvent::keyEvent(NSEventType::flagsChanged, s.modifiers, nextTimestamp(s), key.keyCode),
        s.delivery);
}

void changeModifiersTo(State& s, NSEventModifierFlags flags) {
    flags &= kModifierKeyFlags;
    for (const auto& key : kModifierKeys) {
        const bool want = (flags & key.flag) != 0;
        const bool held = (s.modifiers & key.flag) != 0;
        if (want != held) changeModifier(s, key, want);
    }
}

}  // namespace

void Keyboard::press(UInt16 keyCode, NSEventModifierFlags modifiers, std::optional<Time> at) {
    moveTo(at);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    changeModifiersTo(s, s.modifiers | modifiers);
    const UInt32 carbon = carbonBits(s.modifiers);
    EventHotKeyRef hotKey = detail::findHotKey(keyCode, carbon);
    const bool repeat = s.pressed.count(keyCode) > 0;
    s.pressed[keyCode] = hotKey;
    if (hotKey) {
        nextTimestamp(s);
        detail::postHotKeyEvent(hotKey, kEventHotKeyPressed);
        return;
    }
    const auto flags = s.modifiers | keyFlags(keyCode);
    deliver(NSEvent::keyEvent(NSEventType::keyDown, flags, nextTimestamp(s), keyCode,
                              detail::typedCharacters(keyCode, carbon),
                              detail::typedCharacters(keyCode, carbon & shiftKey), repeat),
            s.delivery);
}

void Keyboard::release(UInt16 keyCode, std::optional<Time> at) {
    moveTo(at);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    EventHotKeyRef hotKey = nullptr;
    if (auto it = s.pressed.find(keyCode); it != s.pressed.end()) {
        hotKey = it->second;
        s.pressed.erase(it);
    }
    if (hotKey && detail::isRegistered(hotKey)) {
        nextTimestamp(s);
        detail::postHotKeyEvent(hotKey, kEventHotKeyReleased);
    } else if (!hotKey) {
        const UInt32 carbon = carbonBits(s.modifiers);
        deliver(
            NSEvent::keyEvent(NSEventType::keyUp, s.modifiers | keyFlags(keyCode), nextTimestamp(s),
                              keyCode, detail::typedCharacters(keyCode, carbon),
                              detail::typedCharacters(keyCode, carbon & shiftKey)),
            s.delivery);
    }
    changeModifiersTo(s, 0);
}

void Keyboard::pressAndRelease(UInt16 keyCode, NSEventModifierFlags modifiers,
                               std::optional<Time> at) {
    press(keyCode, modifiers, at);
    release(keyCode);
}

void Keyboard::setModifiers(NSEventModifierFlags flags, std::optional<Time> at) {
    moveTo(at);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    changeModifiersTo(s, flags);
}

void Keyboard::tapModifier(NSEventModifierFlags modifier, std::optional<Time> at) {
    moveTo(at);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const auto before = s.modifiers;
    changeModifiersTo(s, before | modifier);
    changeModifiersTo(s, before & ~modifier);
}

NSEventModifierFlags Keyboard::currentModifiers() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.modifiers;
}

void Keyboard::setMonitorDelivery(MonitorDelivery delivery) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.delivery = delivery;
}

void Keyboard::setApplicationEventHandler(
    std::function<void(const std::shared_ptr<NSEvent>&)> handler) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.applicationHandler = std::move(handler);
}

void Keyboard::reset() {
    releaseOtherProgramHotKeys();
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.modifiers = 0;
    s.pressed.clear();
    s.delivery = MonitorDelivery::both;
    s.applicationHandler = nullptr;
}

}  // namespace sim
