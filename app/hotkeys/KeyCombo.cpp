#include "app/hotkeys/KeyCombo.h"

#include <functional>

#include "app/hotkeys/KeyboardLayout.h"

std::shared_ptr<KeyCombo> KeyCombo::init(Key key, NSEventModifierFlags cocoaModifiers) {
    auto flags = filteredModifierFlags(cocoaModifiers);
    if (isFunctionKey(key)) flags |= NSEventModifierFlagFunction;
    if (!containsSupportedModifiers(flags)) return nullptr;
    return std::make_shared<KeyCombo>(key, carbonModifiers(flags, true), false);
}

std::shared_ptr<KeyCombo> KeyCombo::initWithCarbonModifiers(Key key, std::int64_t carbon) {
    return init(key, cocoaModifierFlags(carbon));
}

std::shared_ptr<KeyCombo> KeyCombo::initWithQWERTYKeyCode(std::int64_t keyCode,
                                                          NSEventModifierFlags cocoaModifiers) {
    auto key = keyFromQWERTYKeyCode(keyCode);
    if (!key) return nullptr;
    return init(*key, cocoaModifiers);
}

std::shared_ptr<KeyCombo> KeyCombo::initWithQWERTYKeyCodeCarbon(std::int64_t keyCode,
                                                                std::int64_t carbon) {
    return initWithQWERTYKeyCode(keyCode, cocoaModifierFlags(carbon));
}

std::shared_ptr<KeyCombo> KeyCombo::initWithDoubledCocoaModifiers(NSEventModifierFlags flags) {
    if (!isSingleModifier(flags)) return nullptr;
    return std::make_shared<KeyCombo>(Key::a, carbonModifiers(filteredModifierFlags(flags), false),
                                      true);
}

std::shared_ptr<KeyCombo> KeyCombo::initWithDoubledCarbonModifiers(std::int64_t carbon) {
    return initWithDoubledCocoaModifiers(cocoaModifierFlags(carbon));
}

std::int64_t KeyCombo::keyCode() const {
    return doubledModifiers_ ? 0 : qwertyKeyCode(key_);
}

std::uint16_t KeyCombo::currentKeyCode() const {
    return doubledModifiers_ ? 0 : KeyboardLayout::shared()->resolvedKeyCode(key_);
}

std::string KeyCombo::characters() const {
    if (doubledModifiers_) return "";
    return KeyboardLayout::shared()->character(currentKeyCode(), modifiers_).value_or("");
}

NSEventModifierFlags KeyCombo::keyEquivalentModifierMask() const {
    return cocoaModifierFlags(modifiers_);
}

std::string KeyCombo::keyEquivalentModifierMaskString() const {
    std::string out;
    for (const auto& symbol : modifierSymbols(keyEquivalentModifierMask())) out += symbol;
    return out;
}

bool KeyCombo::isEqual(const NSObject& other) const {
    auto* combo = dynamic_cast<const KeyCombo*>(&other);
    return combo && rawValue(combo->key_) == rawValue(key_) && combo->modifiers_ == modifiers_ &&
           combo->doubledModifiers_ == doubledModifiers_;
}

std::size_t KeyCombo::hash() const {
    return std::hash<std::string_view>{}(rawValue(key_)) ^
           (std::hash<std::int64_t>{}(modifiers_) << 1) ^ (doubledModifiers_ ? 0x9e3779b9u : 0u);
}

std::shared_ptr<KeyCombo> KeyCombo::copy() const {
    if (doubledModifiers_) return initWithDoubledCocoaModifiers(cocoaModifierFlags(modifiers_));
    return init(key_, cocoaModifierFlags(modifiers_));
}
