#pragma once
// One keyboard shortcut: a key with modifiers, or a double tap of a single
// modifier key (then the key is the placeholder `a`). Immutable; invalid
// combinations are never built (the factories answer nullptr).

#include <cstdint>
#include <memory>
#include <string>

#include "app/hotkeys/Key.h"
#include "app/hotkeys/ModifierFlags.h"
#include "platform/foundation/Object.h"

class KeyCombo : public NSObject {
  public:
    static std::shared_ptr<KeyCombo> init(Key key, NSEventModifierFlags cocoaModifiers);
    static std::shared_ptr<KeyCombo> initWithCarbonModifiers(Key key, std::int64_t carbonModifiers);
    static std::shared_ptr<KeyCombo> initWithQWERTYKeyCode(std::int64_t keyCode,
                                                           NSEventModifierFlags cocoaModifiers);
    static std::shared_ptr<KeyCombo> initWithQWERTYKeyCodeCarbon(std::int64_t keyCode,
                                                                 std::int64_t carbonModifiers);
    static std::shared_ptr<KeyCombo> initWithDoubledCocoaModifiers(NSEventModifierFlags flags);
    static std::shared_ptr<KeyCombo> initWithDoubledCarbonModifiers(std::int64_t carbonModifiers);

    Key key() const { return key_; }
    std::int64_t modifiers() const { return modifiers_; }
    bool doubledModifiers() const { return doubledModifiers_; }

    std::int64_t keyCode() const;
    std::uint16_t currentKeyCode() const;
    std::string characters() const;
    NSEventModifierFlags keyEquivalentModifierMask() const;
    std::string keyEquivalentModifierMaskString() const;

    std::string className() const override { return "KeyCombo"; }
    bool isEqual(const NSObject& other) const override;
    std::size_t hash() const override;
    std::shared_ptr<KeyCombo> copy() const;

    KeyCombo(Key key, std::int64_t modifiers, bool doubled)
        : key_(key), modifiers_(modifiers), doubledModifiers_(doubled) {}

  private:
    Key key_;
    std::int64_t modifiers_;
    bool doubledModifiers_;
};
