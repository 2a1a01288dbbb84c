#pragma once
// The registry of global hot keys. Key combinations are registered with the
// Carbon hot-key service and reach their hot key through the event
// dispatcher; double taps of a modifier are recognised from the system-wide
// and in-application flags-changed events. Main thread only.
//
// One combination is held by one hot key: registering another hot key with
// an equal combination fails. At application termination (and when the
// registry goes away) every hot key is unregistered.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/hotkeys/HotKey.h"
#include "app/hotkeys/ModifierEventHandler.h"
#include "platform/notifications/NSNotificationCenter.h"

class HotKeyCenter : public std::enable_shared_from_this<HotKeyCenter> {
  public:
    // Created on first use: a 300 ms double-tap interval on the main queue
    // and the default notification centre.
    static std::shared_ptr<HotKeyCenter> shared();
    static std::shared_ptr<HotKeyCenter> init(
        std::shared_ptr<ModifierEventHandler> modifierEventHandler,
        std::shared_ptr<NSNotificationCenter> notificationCenter);
    ~HotKeyCenter();
    HotKeyCenter(const HotKeyCenter&) = delete;
    HotKeyCenter& operator=(const HotKeyCenter&) = delete;

    // False for a taken identifier, a combination already registered, or one
    // the system refuses (held by another program, say).
    bool register_(const std::shared_ptr<HotKey>& hotKey);
    void unregister(const std::shared_ptr<HotKey>& hotKey);
    bool unregister(const std::string& identifier);
    void unregisterAll();
    void applicationWillTerminate(const NSNotification& notification);

    // Installed on the event dispatcher with the registry as user data.
    static OSStatus hotKeyEventHandler(EventHandlerCallRef nextHandler, EventRef event,
                                       void* userData);

    const std::map<std::string, std::shared_ptr<HotKey>>& hotKeys() const { return hotKeys_; }
    std::uint64_t hotKeyCount() const { return hotKeyCount_; }
    const std::shared_ptr<ModifierEventHandler>& modifierEventHandler() const {
        return modifierEventHandler_;
    }
    const std::shared_ptr<NSNotificationCenter>& notificationCenter() const {
        return notificationCenter_;
    }

    HotKeyCenter(std::shared_ptr<ModifierEventHandler> modifierEventHandler,
                 std::shared_ptr<NSNotificationCenter> notificationCenter);

  private:
    void start();
    void doubleTapped(NSEventModifierFlags flags);

    std::map<std::string, std::shared_ptr<HotKey>> hotKeys_;
    std::uint64_t hotKeyCount_ = 0;
    std::shared_ptr<ModifierEventHandler> modifierEventHandler_;
    std::shared_ptr<NSNotificationCenter> notificationCenter_;
    std::vector<EventHandlerRef> eventHandlers_;
    std::vector<std::shared_ptr<NSObject>> monitors_;
};
