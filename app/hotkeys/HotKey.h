#pragma once
// One system-wide shortcut with its action: a handler that receives the
// event kind (kEventHotKeyPressed 5, kEventHotKeyReleased 6; a double tap
// arrives as 5 only), or a target sent an action.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/hotkeys/KeyCombo.h"
#include "platform/input/Carbon.h"

// Where a hot key's action runs: later on the main queue, or at once on the
// thread that delivers the event.
enum class ActionQueue : std::uint8_t { main = 0, session = 1 };
void execute(ActionQueue queue, std::function<void()> block);

using Selector = std::string;

// What a target/action hot key needs of its target: answering whether it
// performs an action, and performing it with one object argument.
class SelectorPerforming {
  public:
    virtual ~SelectorPerforming() = default;
    virtual bool respondsToSelector(const Selector& selector) const = 0;
    virtual void performSelector(const Selector& selector,
                                 const std::shared_ptr<NSObject>& object) = 0;
};

class HotKeyCenter;

class HotKey : public NSObject {
  public:
    using Handler = std::function<void(const std::shared_ptr<HotKey>& hotKey, UInt32 eventKind)>;

    // Null without a key combination.
    static std::shared_ptr<HotKey> init(std::string identifier, std::shared_ptr<KeyCombo> keyCombo,
                                        std::shared_ptr<NSObject> target,
                                        std::optional<Selector> action, ActionQueue actionQueue);
    static std::shared_ptr<HotKey> init(std::string identifier, std::shared_ptr<KeyCombo> keyCombo,
                                        ActionQueue actionQueue, Handler handler);

    const std::string& identifier() const { return identifier_; }
    const std::shared_ptr<KeyCombo>& keyCombo() const { return keyCombo_; }
    const Handler& callback() const { return callback_; }
    const std::shared_ptr<NSObject>& target() const { return target_; }
    const std::optional<Selector>& action() const { return action_; }
    ActionQueue actionQueue() const { return actionQueue_; }
    std::optional<UInt32> hotKeyId() const { return hotKeyId_; }
    EventHotKeyRef hotKeyRef() const { return hotKeyRef_; }  // null when not registered

    // Through HotKeyCenter::shared().
    bool register_();
    void unregister();

    void invoke(UInt32 eventKind);

    std::string className() const override { return "HotKey"; }
    bool isEqual(const NSObject& other) const override;
    std::size_t hash() const override;

    HotKey(std::string identifier, std::shared_ptr<KeyCombo> keyCombo,
           std::shared_ptr<NSObject> target, std::optional<Selector> action,
           ActionQueue actionQueue, Handler handler);

  private:
    friend class HotKeyCenter;

    std::string identifier_;
    std::shared_ptr<KeyCombo> keyCombo_;
    Handler callback_;
    std::shared_ptr<NSObject> target_;
    std::optional<Selector> action_;
    ActionQueue actionQueue_;
    std::optional<UInt32> hotKeyId_;
    EventHotKeyRef hotKeyRef_ = nullptr;
};
