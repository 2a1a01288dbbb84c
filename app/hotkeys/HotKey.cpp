#include "app/hotkeys/HotKey.h"

#include <functional>

#include "app/hotkeys/HotKeyCenter.h"
#include "platform/dispatch/DispatchQueue.h"

void execute(ActionQueue queue, std::function<void()> block) {
    if (queue == ActionQueue::main)
        DispatchQueue::main()->async(std::move(block));
    else
        block();
}

HotKey::HotKey(std::string identifier, std::shared_ptr<KeyCombo> keyCombo,
               std::shared_ptr<NSObject> target, std::optional<Selector> action,
               ActionQueue actionQueue, Handler handler)
    : identifier_(std::move(identifier)),
      keyCombo_(std::move(keyCombo)),
      callback_(std::move(handler)),
      target_(std::move(target)),
      action_(std::move(action)),
      actionQueue_(actionQueue) {}

std::shared_ptr<HotKey> HotKey::init(std::string identifier, std::shared_ptr<KeyCombo> keyCombo,
                                     std::shared_ptr<NSObject> target,
                                     std::optional<Selector> action, ActionQueue actionQueue) {
    if (!keyCombo) return nullptr;
    return std::make_shared<HotKey>(std::move(identifier), std::move(keyCombo), std::move(target),
                                    std::move(action), actionQueue, nullptr);
}

std::shared_ptr<HotKey> HotKey::init(std::string identifier, std::shared_ptr<KeyCombo> keyCombo,
                                     ActionQueue actionQueue, Handler handler) {
    if (!keyCombo) return nullptr;
    return std::make_shared<HotKey>(std::move(identifier), std::move(keyCombo), nullptr,
                                    std::nullopt, actionQueue, std::move(handler));
}

bool HotKey::register_() {
    return HotKeyCenter::shared()->register_(std::static_pointer_cast<HotKey>(shared_from_this()));
}

void HotKey::unregister() {
    HotKeyCenter::shared()->unregister(std::static_pointer_cast<HotKey>(shared_from_this()));
}

void HotKey::invoke(UInt32 eventKind) {
    auto self = std::static_pointer_cast<HotKey>(shared_from_this());
    std::weak_ptr<HotKey> weak = self;
    if (callback_) {
        if (actionQueue_ == ActionQueue::main) {
            execute(ActionQueue::main, [weak, eventKind] {
                if (auto hotKey = weak.lock()) hotKey->callback_(hotKey, eventKind);
            });
        } else {
            callback_(self, eventKind);
        }
        return;
    }
    auto* performer = dynamic_cast<SelectorPerforming*>(target_.get());
    if (!performer || !action_ || !performer->respondsToSelector(*action_)) return;
    if (actionQueue_ == ActionQueue::main) {
        execute(ActionQueue::main, [weak] {
            auto hotKey = weak.lock();
            if (!hotKey) return;
            if (auto* target = dynamic_cast<SelectorPerforming*>(hotKey->target_.get()))
                target->performSelector(*hotKey->action_, hotKey);
        });
    } else {
        performer->performSelector(*action_, self);
    }
}

bool HotKey::isEqual(const NSObject& other) const {
    auto* hotKey = dynamic_cast<const HotKey*>(&other);
    return hotKey && hotKey->identifier_ == identifier_ && hotKey->keyCombo_->isEqual(*keyCombo_) &&
           hotKey->hotKeyId_ == hotKeyId_ && hotKey->hotKeyRef_ == hotKeyRef_;
}

std::size_t HotKey::hash() const {
    return std::hash<std::string>{}(identifier_) ^ (keyCombo_->hash() << 1);
}
