#pragma once
// Application events: key and flags-changed events, event monitors and the
// beep. Events come from sim::Keyboard (Keyboard.h); monitors run on the main
// thread, when the main loop is pumped.
//
// A global monitor sees the events sent to other programs, a local monitor
// those sent to this one; sim::Keyboard decides which (by default both see
// every event, so one event may reach a process twice). A local monitor
// answers the event to pass on, or null to swallow it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/appkit/Geometry.h"
#include "platform/foundation/Object.h"

using NSEventModifierFlags = std::uint64_t;

inline constexpr NSEventModifierFlags NSEventModifierFlagCapsLock = 0x10000;
inline constexpr NSEventModifierFlags NSEventModifierFlagShift = 0x20000;
inline constexpr NSEventModifierFlags NSEventModifierFlagControl = 0x40000;
inline constexpr NSEventModifierFlags NSEventModifierFlagOption = 0x80000;
inline constexpr NSEventModifierFlags NSEventModifierFlagCommand = 0x100000;
inline constexpr NSEventModifierFlags NSEventModifierFlagNumericPad = 0x200000;
inline constexpr NSEventModifierFlags NSEventModifierFlagHelp = 0x400000;
inline constexpr NSEventModifierFlags NSEventModifierFlagFunction = 0x800000;
inline constexpr NSEventModifierFlags NSEventModifierFlagDeviceIndependentFlagsMask = 0xFFFF0000;

enum class NSEventType : std::uint64_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    scrollWheel = 22,
};

using NSEventMask = std::uint64_t;
inline constexpr NSEventMask NSEventMaskFromType(NSEventType type) {
    return NSEventMask{1} << static_cast<std::uint64_t>(type);
}
inline constexpr NSEventMask NSEventMaskLeftMouseDown =
    NSEventMaskFromType(NSEventType::leftMouseDown);
inline constexpr NSEventMask NSEventMaskKeyDown = NSEventMaskFromType(NSEventType::keyDown);
inline constexpr NSEventMask NSEventMaskKeyUp = NSEventMaskFromType(NSEventType::keyUp);
inline constexpr NSEventMask NSEventMaskFlagsChanged =
    NSEventMaskFromType(NSEventType::flagsChanged);
inline constexpr NSEventMask NSEventMaskAny = ~NSEventMask{0};

class NSEvent : public NSObject {
  public:
    using GlobalMonitor = std::function<void(const std::shared_ptr<NSEvent>&)>;
    using LocalMonitor = std::function<std::shared_ptr<NSEvent>(const std::shared_ptr<NSEvent>&)>;

    // keyDown, keyUp or flagsChanged.
    static std::shared_ptr<NSEvent> keyEvent(NSEventType type, NSEventModifierFlags modifierFlags,
                                             double timestamp, std::uint16_t keyCode,
                                             std::string characters = {},
                                             std::string charactersIgnoringModifiers = {},
                                             bool isARepeat = false);
    static std::shared_ptr<NSEvent> mouseEvent(NSEventType type, NSEventModifierFlags modifierFlags,
                                               double timestamp);
    // A mouse event aimed at a window: the location in the window's
    // coordinates (origin at its bottom left), the window's number, and for
    // a drag the movement since the previous event (deltaY grows downwards,
    // as on the platform).
    static std::shared_ptr<NSEvent> mouseEvent(NSEventType type, NSPoint locationInWindow,
                                               NSEventModifierFlags modifierFlags, double timestamp,
                                               long windowNumber, long clickCount,
                                               double deltaX = 0, double deltaY = 0);

    NSEventType type() const { return type_; }
    NSEventModifierFlags modifierFlags() const { return modifierFlags_; }
    // Seconds since the system started, on the process clock.
    double timestamp() const { return timestamp_; }
    // 0 for events that are not key events.
    std::uint16_t keyCode() const { return keyCode_; }
    const std::string& characters() const { return characters_; }
    const std::string& charactersIgnoringModifiers() const { return charactersIgnoringModifiers_; }
    bool isARepeat() const { return isARepeat_; }
    // Mouse events; zero for the others.
    NSPoint locationInWindow() const { return locationInWindow_; }
    long windowNumber() const { return windowNumber_; }
    long clickCount() const { return clickCount_; }
    double deltaX() const { return deltaX_; }
    double deltaY() const { return deltaY_; }

    std::string className() const override { return "NSEvent"; }

    // The returned token removes the monitor through removeMonitor.
    static std::shared_ptr<NSObject> addGlobalMonitorForEventsMatchingMask(NSEventMask mask,
                                                                           GlobalMonitor handler);
    static std::shared_ptr<NSObject> addLocalMonitorForEventsMatchingMask(NSEventMask mask,
                                                                          LocalMonitor handler);
    static void removeMonitor(const std::shared_ptr<NSObject>& monitor);

    // The modifier keys held now (the class property modifierFlags).
    static NSEventModifierFlags currentModifierFlags();

    NSEvent(NSEventType type, NSEventModifierFlags flags, double timestamp, std::uint16_t keyCode,
            std::string characters, std::string charactersIgnoringModifiers, bool isARepeat);

  private:
    NSEventType type_;
    NSEventModifierFlags modifierFlags_;
    double timestamp_;
    std::uint16_t keyCode_;
    std::string characters_;
    std::string charactersIgnoringModifiers_;
    bool isARepeat_;
    NSPoint locationInWindow_;
    long windowNumber_ = 0;
    long clickCount_ = 0;
    double deltaX_ = 0;
    double deltaY_ = 0;
};

// The system alert sound; sim::Keyboard::beepCount counts them.
void NSBeep();
