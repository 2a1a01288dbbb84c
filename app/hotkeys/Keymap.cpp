#include "app/hotkeys/Keymap.h"

std::shared_ptr<Keymap> Keymap::shared() {
    // Never destroyed: lookups stay valid during exit.
    static const auto* keymap =
        new std::shared_ptr<Keymap>(std::make_shared<Keymap>(KeyboardLayout::init(
            NSDistributedNotificationCenter::defaultCenter(), NSNotificationCenter::defaultCenter(),
            std::make_shared<ModifierTransformer>())));
    return *keymap;
}

Keymap::Keymap(std::shared_ptr<KeyboardLayout> layout)
    : layout_(std::move(layout)), modifierTransformer_(std::make_shared<ModifierTransformer>()) {}

std::vector<std::shared_ptr<InputSource>> Keymap::enabledInputSources() const {
    return layout_->inputSources();
}

std::uint16_t Keymap::resolvedKeyCode(Key key) const {
    return layoutKeyCode(key).value_or(qwertyKeyCode(key));
}

std::optional<std::uint16_t> Keymap::layoutKeyCode(Key key) const {
    auto current = layout_->currentKeyboardLayoutInputSource();
    return current ? keyCode(key, *current) : std::nullopt;
}

std::optional<KeyCodeMap> Keymap::layoutKeyCodes() const {
    auto current = layout_->currentKeyboardLayoutInputSource();
    return current ? layout_->keyCodes(*current) : std::nullopt;
}

std::optional<std::uint16_t> Keymap::keyCode(Key key, const InputSource& source) const {
    auto map = layout_->keyCodes(source);
    if (!map) return std::nullopt;
    auto it = map->find(key);
    return it == map->end() ? std::nullopt : std::optional<std::uint16_t>(it->second);
}

std::optional<KeyCodeMap> Keymap::keyCodes(const InputSource& source) const {
    return layout_->keyCodes(source);
}

std::optional<Key> Keymap::resolvedKey(std::int64_t keyCode) const {
    if (auto key = layoutKey(keyCode)) return key;
    return keyFromQWERTYKeyCode(keyCode);
}

std::optional<Key> Keymap::layoutKey(std::int64_t keyCode) const {
    auto current = layout_->currentKeyboardLayoutInputSource();
    return current ? layout_->key(keyCode, *current) : std::nullopt;
}

std::optional<Key> Keymap::key(std::int64_t keyCode, const InputSource& source) const {
    return layout_->key(keyCode, source);
}

std::optional<std::string> Keymap::character(std::int64_t keyCode,
                                             std::int64_t carbonModifiers) const {
    if (auto typed = layoutCharacter(keyCode, carbonModifiers)) return typed;
    return asciiCharacter(keyCode, carbonModifiers);
}

std::optional<std::string> Keymap::layoutCharacter(std::int64_t keyCode,
                                                   std::int64_t carbonModifiers) const {
    auto current = layout_->currentKeyboardLayoutInputSource();
    return current ? layout_->character(keyCode, carbonModifiers, *current) : std::nullopt;
}

std::optional<std::string> Keymap::asciiCharacter(std::int64_t keyCode,
                                                  std::int64_t carbonModifiers) const {
    auto ascii = layout_->currentASCIICapableInputSource();
    return ascii ? layout_->character(keyCode, carbonModifiers, *ascii) : std::nullopt;
}

std::optional<std::string> Keymap::character(std::int64_t keyCode, std::int64_t carbonModifiers,
                                             const InputSource& source) const {
    return layout_->character(keyCode, carbonModifiers, source);
}

std::optional<std::string> Keymap::characterForCocoaModifiers(std::int64_t keyCode,
                                                              NSEventModifierFlags flags) const {
    return character(keyCode, modifierTransformer_->carbonFlags(flags));
}

std::optional<std::string> Keymap::layoutCharacterForCocoaModifiers(
    std::int64_t keyCode, NSEventModifierFlags flags) const {
    return layoutCharacter(keyCode, modifierTransformer_->carbonFlags(flags));
}

std::optional<std::string> Keymap::asciiCharacterForCocoaModifiers(
    std::int64_t keyCode, NSEventModifierFlags flags) const {
    return asciiCharacter(keyCode, modifierTransformer_->carbonFlags(flags));
}

std::optional<std::string> Keymap::characterForCocoaModifiers(std::int64_t keyCode,
                                                              NSEventModifierFlags flags,
                                                              const InputSource& source) const {
    return character(keyCode, modifierTransformer_->carbonFlags(flags), source);
}
