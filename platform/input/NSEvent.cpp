#include "platform/input/NSEvent.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/input/Internal.h"
#include "platform/input/Keyboard.h"

namespace {

class MonitorToken : public NSObject {
  public:
    std::string className() const override { return "_NSEventMonitor"; }
};

struct Monitor {
    std::shared_ptr<NSObject> token;  // the system keeps a monitor until it is removed
    const NSObject* identity;
    NSEventMask mask;
    bool global;
    NSEvent::GlobalMonitor globalHandler;
    NSEvent::LocalMonitor localHandler;
};

struct Monitors {
    std::mutex mutex;
    std::vector<Monitor> list;
};

Monitors& monitors() {
    static auto* m = new Monitors;
    return *m;
}

std::atomic<int> beeps{0};

std::shared_ptr<NSObject> addMonitor(Monitor monitor) {
    auto token = std::make_shared<MonitorToken>();
    monitor.token = token;
    monitor.identity = token.get();
    auto& m = monitors();
    std::lock_guard lock(m.mutex);
    m.list.push_back(std::move(monitor));
    return token;
}

}  // namespace

NSEvent::NSEvent(NSEventType type, NSEventModifierFlags flags, double timestamp,
                 std::uint16_t keyCode, std::string characters,
                 std::string charactersIgnoringModifiers, bool isARepeat)
    : type_(type),
      modifierFlags_(flags),
      timestamp_(timestamp),
      keyCode_(keyCode),
      characters_(std::move(characters)),
      charactersIgnoringModifiers_(std::move(charactersIgnoringModifiers)),
      isARepeat_(isARepeat) {}

std::shared_ptr<NSEvent> NSEvent::keyEvent(NSEventType type, NSEventModifierFlags modifierFlags,
                                           double timestamp, std::uint16_t keyCode,
                                           std::string characters,
                                           std::string charactersIgnoringModifiers,
                                           bool isARepeat) {
    return std::make_shared<NSEvent>(type, modifierFlags, timestamp, keyCode, std::move(characters),
                                     std::move(charactersIgnoringModifiers), isARepeat);
}

std::shared_ptr<NSEvent> NSEvent::mouseEvent(NSEventType type, NSEventModifierFlags modifierFlags,
                                             double timestamp) {
    return std::make_shared<NSEvent>(type, modifierFlags, timestamp, 0, "", "", false);
}

std::shared_ptr<NSEvent> NSEvent::mouseEvent(NSEventType type, NSPoint locationInWindow,
                                             NSEventModifierFlags modifierFlags, double timestamp,
                                             long windowNumber, long clickCount, double deltaX,
                                             double deltaY) {
    auto event = std::make_shared<NSEvent>(type, modifierFlags, timestamp, 0, "", "", false);
    event->locationInWindow_ = locationInWindow;
    event->windowNumber_ = windowNumber;
    event->clickCount_ = clickCount;
    event->deltaX_ = deltaX;
    event->deltaY_ = deltaY;
    return event;
}

std::shared_ptr<NSObject> NSEvent::addGlobalMonitorForEventsMatchingMask(NSEventMask mask,
                                                                         GlobalMonitor handler) {
    if (!handler) return nullptr;
    return addMonitor({{}, nullptr, mask, true, std::move(handler), {}});
}

std::shared_ptr<NSObject> NSEvent::addLocalMonitorForEventsMatchingMask(NSEventMask mask,
                                                                        LocalMonitor handler) {
    if (!handler) return nullptr;
    return addMonitor({{}, nullptr, mask, false, {}, std::move(handler)});
}

void NSEvent::removeMonitor(const std::shared_ptr<NSObject>& monitor) {
    auto& m = monitors();
    std::lock_guard lock(m.mutex);
    std::erase_if(m.list, [&](const Monitor& entry) { return entry.identity == monitor.get(); });
}

NSEventModifierFlags NSEvent::currentModifierFlags() {
    return sim::Keyboard::currentModifiers();
}

void NSBeep() {
    sim::detail::countBeep();
}

namespace sim::detail {

std::shared_ptr<NSEvent> runMonitors(const std::shared_ptr<NSEvent>& event, bool global,
                                     bool local) {
    const NSEventMask bit = NSEventMaskFromType(event->type());
    std::vector<Monitor> matching;
    {
        auto& m = monitors();
        std::lock_guard lock(m.mutex);
        for (const auto& entry : m.list)
            if ((entry.mask & bit) && (entry.global ? global : local)) matching.push_back(entry);
    }
    std::shared_ptr<NSEvent> current = event;
    for (const auto& entry : matching) {
        // A monitor removed by an earlier one in this delivery is skipped.
        {
            auto& m = monitors();
            std::lock_guard lock(m.mutex);
            if (std::none_of(m.list.begin(), m.list.end(),
                             [&](const Monitor& e) { return e.identity == entry.identity; }))
                continue;
        }
        if (entry.global) {
            entry.globalHandler(event);
        } else if (current) {
            current = entry.localHandler(current);
        }
    }
    return local ? current : nullptr;
}

void countBeep() {
    beeps.fetch_add(1);
}

}  // namespace sim::detail

namespace sim {

int Keyboard::beepCount() {
    return beeps.load();
}

}  // namespace sim
