#include "app/hotkeys/HotKeyCenter.h"

#include <chrono>
#include <limits>

#include "app/hotkeys/Keymap.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/input/NSEvent.h"

namespace {

const NSNotificationName kApplicationWillTerminate = "NSApplicationWillTerminateNotification";

}  // namespace

std::shared_ptr<HotKeyCenter> HotKeyCenter::shared() {
    // Never destroyed: unregistering at exit is the termination handler's job.
    static const auto* center = new std::shared_ptr<HotKeyCenter>(
        init(ModifierEventHandler::init(std::chrono::milliseconds(300), DispatchQueue::main()),
             NSNotificationCenter::defaultCenter()));
    return *center;
}

std::shared_ptr<HotKeyCenter> HotKeyCenter::init(
    std::shared_ptr<ModifierEventHandler> modifierEventHandler,
    std::shared_ptr<NSNotificationCenter> notificationCenter) {
    auto center = std::make_shared<HotKeyCenter>(std::move(modifierEventHandler),
                                                 std::move(notificationCenter));
    center->start();
    return center;
}

HotKeyCenter::HotKeyCenter(std::shared_ptr<ModifierEventHandler> modifierEventHandler,
                           std::shared_ptr<NSNotificationCenter> notificationCenter)
    : modifierEventHandler_(std::move(modifierEventHandler)),
      notificationCenter_(std::move(notificationCenter)) {}

void HotKeyCenter::start() {
    for (UInt32 kind : {kEventHotKeyPressed, kEventHotKeyReleased}) {
        const EventTypeSpec type{kEventClassKeyboard, kind};
        EventHandlerRef handler = nullptr;
        if (InstallEventHandler(GetEventDispatcherTarget(), hotKeyEventHandler, 1, &type, this,
                                &handler) == noErr)
            eventHandlers_.push_back(handler);
    }

    std::weak_ptr<HotKeyCenter> weak = weak_from_this();
    monitors_.push_back(NSEvent::addGlobalMonitorForEventsMatchingMask(
        NSEventMaskFlagsChanged, [weak](const std::shared_ptr<NSEvent>& event) {
            if (auto self = weak.lock())
                self->modifierEventHandler_->handleModifiersEvent(event->modifierFlags(),
                                                                  event->timestamp());
        }));
    monitors_.push_back(NSEvent::addLocalMonitorForEventsMatchingMask(
        NSEventMaskFlagsChanged, [weak](const std::shared_ptr<NSEvent>& event) {
            if (auto self = weak.lock())
                self->modifierEventHandler_->handleModifiersEvent(event->modifierFlags(),
                                                                  event->timestamp());
            return event;
        }));

    modifierEventHandler_->setDoubleTapped([weak](NSEventModifierFlags flags) {
        if (auto self = weak.lock()) self->doubleTapped(flags);
    });

    notificationCenter_->addObserver(
        this,
        [weak](const NSNotification& notification) {
            if (auto self = weak.lock()) self->applicationWillTerminate(notification);
        },
        kApplicationWillTerminate, nullptr);
}

HotKeyCenter::~HotKeyCenter() {
    unregisterAll();
    for (auto handler : eventHandlers_) RemoveEventHandler(handler);
    for (const auto& monitor : monitors_) NSEvent::removeMonitor(monitor);
    notificationCenter_->removeObserver(static_cast<const void*>(this));
}

bool HotKeyCenter::register_(const std::shared_ptr<HotKey>& hotKey) {
    if (!hotKey || hotKeys_.count(hotKey->identifier())) return false;
    for (const auto& [identifier, stored] : hotKeys_)
        if (stored->keyCombo()->isEqual(*hotKey->keyCombo())) return false;
    hotKeys_[hotKey->identifier()] = hotKey;
    const auto& combo = *hotKey->keyCombo();
    if (combo.doubledModifiers()) return true;

    // Ids are never reused; archived modifiers that do not fit the
    // service's 32 bits cannot be registered.
    if (hotKeyCount_ > std::numeric_limits<UInt32>::max() || combo.modifiers() < 0 ||
        combo.modifiers() > std::numeric_limits<UInt32>::max()) {
        unregister(hotKey);
        return false;
    }
    const EventHotKeyID id{UTGetOSTypeFromString("Ruriri"), static_cast<UInt32>(hotKeyCount_)};
    EventHotKeyRef ref = nullptr;
    const OSStatus status = RegisterEventHotKey(Keymap::shared()->resolvedKeyCode(combo.key()),
                                                static_cast<UInt32>(combo.modifiers()), id,
                                                GetEventDispatcherTarget(), 0, &ref);
    if (status != noErr) {
        unregister(hotKey);
        return false;
    }
    hotKey->hotKeyId_ = id.id;
    hotKey->hotKeyRef_ = ref;
    ++hotKeyCount_;
    return true;
}

void HotKeyCenter::unregister(const std::shared_ptr<HotKey>& hotKey) {
    if (!hotKey) return;
    if (hotKey->hotKeyRef_) UnregisterEventHotKey(hotKey->hotKeyRef_);
    // Only this hot key's own entry: another one under the same identifier
    // stays registered.
    auto it = hotKeys_.find(hotKey->identifier());
    if (it != hotKeys_.end() && it->second == hotKey) hotKeys_.erase(it);
    hotKey->hotKeyId_.reset();
    hotKey->hotKeyRef_ = nullptr;
}

bool HotKeyCenter::unregister(const std::string& identifier) {
    auto it = hotKeys_.find(identifier);
    if (it == hotKeys_.end()) return false;
    auto hotKey = it->second;
    unregister(hotKey);
    return true;
}

void HotKeyCenter::unregisterAll() {
    auto all = hotKeys_;
    for (const auto& [identifier, hotKey] : all) unregister(hotKey);
}

void HotKeyCenter::applicationWillTerminate(const NSNotification&) {
    unregisterAll();
}

OSStatus HotKeyCenter::hotKeyEventHandler(EventHandlerCallRef, EventRef event, void* userData) {
    EventHotKeyID id;
    const OSStatus status = GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID,
                                              nullptr, sizeof id, nullptr, &id);
    if (status != noErr) return status;
    auto* center = static_cast<HotKeyCenter*>(userData);
    std::shared_ptr<HotKey> match;
    for (const auto& [identifier, hotKey] : center->hotKeys_)
        if (hotKey->hotKeyId() && *hotKey->hotKeyId() == id.id) {
            match = hotKey;
            break;
        }
    if (!match) return noErr;
    const UInt32 kind = GetEventKind(event);
    if (kind == kEventHotKeyPressed || kind == kEventHotKeyReleased) match->invoke(kind);
    return noErr;
}

void HotKeyCenter::doubleTapped(NSEventModifierFlags flags) {
    const std::int64_t modifiers = carbonModifiers(flags, false);
    std::vector<std::shared_ptr<HotKey>> matching;
    for (const auto& [identifier, hotKey] : hotKeys_)
        if (hotKey->keyCombo()->doubledModifiers() && hotKey->keyCombo()->modifiers() == modifiers)
            matching.push_back(hotKey);
    for (const auto& hotKey : matching) hotKey->invoke(kEventHotKeyPressed);
}
