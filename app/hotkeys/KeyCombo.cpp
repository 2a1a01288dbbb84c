#include "app/hotkeys/KeyCombo.h"

#include <functional>

#include "app/hotkeys/Keymap.h"

namespace {

[[maybe_unused]] const bool registered = [] {
    registerCodingClass<KeyCombo>();
    return true;
}();

template <class Json>
std::int64_t requiredInteger(const Json& container, const char* name) {
    const auto& value = container.at(name);
    if (!value.is_number_integer())
        throw Json::type_error::create(
            302, std::string("type must be an integer, but is ") + value.type_name(), &value);
    return value.template get<std::int64_t>();
}

template <class Json>
bool requiredBool(const Json& container, const char* name) {
    const auto& value = container.at(name);
    if (!value.is_boolean())
        throw Json::type_error::create(
            302, std::string("type must be boolean, but is ") + value.type_name(), &value);
    return value.template get<bool>();
}

template <class Json>
std::shared_ptr<KeyCombo> decodeJSON(const Json& container) {
    if (!container.is_object())
        throw Json::type_error::create(
            302, std::string("type must be object, but is ") + container.type_name(), &container);
    const bool doubled = requiredBool(container, "doubledModifiers");
    const std::int64_t modifiers = requiredInteger(container, "modifiers");
    if (doubled) return std::make_shared<KeyCombo>(Key::a, modifiers, true);
    if (container.contains("key"))
        return std::make_shared<KeyCombo>(container.at("key").template get<Key>(), modifiers,
                                          false);
    const std::int64_t code = container.contains("keyCode")
                                  ? requiredInteger(container, "keyCode")
                                  : requiredInteger(container, "QWERTYKeyCode");
    auto key = keyFromQWERTYKeyCode(code);
    if (!key) throw KeyCombo::InitializeError();
    return std::make_shared<KeyCombo>(*key, modifiers, false);
}

}  // namespace

std::string_view KeyCombo::stringValue(CodingKeys codingKey) {
    switch (codingKey) {
        case CodingKeys::key:
            return "key";
        case CodingKeys::keyCode:
            return "keyCode";
        case CodingKeys::QWERTYKeyCode:
            return "QWERTYKeyCode";
        case CodingKeys::modifiers:
            return "modifiers";
        case CodingKeys::doubledModifiers:
            return "doubledModifiers";
    }
    return {};
}

std::optional<KeyCombo::CodingKeys> KeyCombo::codingKeyFromString(std::string_view string) {
    for (auto k : {CodingKeys::key, CodingKeys::keyCode, CodingKeys::QWERTYKeyCode,
                   CodingKeys::modifiers, CodingKeys::doubledModifiers})
        if (stringValue(k) == string) return k;
    return std::nullopt;
}

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

std::shared_ptr<KeyCombo> KeyCombo::initWithCoder(NSCoder& coder) {
    const bool doubled = coder.decodeBoolForKey("doubledModifiers");
    const std::int64_t modifiers = coder.decodeIntegerForKey("modifiers");
    if (doubled) return std::make_shared<KeyCombo>(Key::a, modifiers, true);
    if (coder.containsValueForKey("key")) {
        Id object = coder.decodeObjectForKey("key");
        auto name = object.value() ? object.value()->asString() : std::nullopt;
        auto key = name ? keyFromRawValue(*name) : std::nullopt;
        if (!key) return nullptr;
        return std::make_shared<KeyCombo>(*key, modifiers, false);
    }
    const std::int64_t code = coder.containsValueForKey("keyCode")
                                  ? coder.decodeIntegerForKey("keyCode")
                                  : coder.decodeIntegerForKey("QWERTYKeyCode");
    auto key = keyFromQWERTYKeyCode(code);
    if (!key) return nullptr;
    return std::make_shared<KeyCombo>(*key, modifiers, false);
}

std::shared_ptr<KeyCombo> KeyCombo::decode(const nlohmann::json& container) {
    return decodeJSON(container);
}

std::shared_ptr<KeyCombo> KeyCombo::decode(const nlohmann::ordered_json& container) {
    return decodeJSON(container);
}

void KeyCombo::encodeWithCoder(NSCoder& coder) const {
    coder.encodeObject(std::string(rawValue(key_)), "key");
    coder.encodeInteger(modifiers_, "modifiers");
    coder.encodeBool(doubledModifiers_, "doubledModifiers");
}

std::int64_t KeyCombo::keyCode() const {
    return doubledModifiers_ ? 0 : qwertyKeyCode(key_);
}

std::uint16_t KeyCombo::currentKeyCode() const {
    return doubledModifiers_ ? 0 : Keymap::shared()->resolvedKeyCode(key_);
}

std::string KeyCombo::characters() const {
    if (doubledModifiers_) return "";
    return Keymap::shared()->character(currentKeyCode(), modifiers_).value_or("");
}

std::string KeyCombo::keyEquivalent() const {
    if (doubledModifiers_) return "";
    const NSEventModifierFlags flags =
        isLetterKey(key_) ? shiftOnlyModifierFlags(keyEquivalentModifierMask()) : 0;
    return Keymap::shared()->characterForCocoaModifiers(currentKeyCode(), flags).value_or("");
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

std::string KeyCombo::description() const {
    std::string text = keyEquivalentModifierMaskString();
    if (doubledModifiers_) return text + " (twice)";
    return text + std::string(rawValue(key_));
}

std::shared_ptr<KeyCombo> KeyCombo::copy() const {
    auto made = doubledModifiers_ ? initWithDoubledCocoaModifiers(cocoaModifierFlags(modifiers_))
                                  : init(key_, cocoaModifierFlags(modifiers_));
    // A decoded combination that the initialisers would reject still copies
    // as itself.
    if (!made || !made->isEqual(*this))
        return std::make_shared<KeyCombo>(key_, modifiers_, doubledModifiers_);
    return made;
}

std::shared_ptr<KeyCombo> keyCombo(const NSEvent& event) {
    switch (event.type()) {
        case NSEventType::keyDown:
        case NSEventType::keyUp:
        case NSEventType::flagsChanged:
            break;
        default:
            return nullptr;
    }
    auto key = Keymap::shared()->resolvedKey(event.keyCode());
    if (!key) return nullptr;
    return KeyCombo::init(*key, event.modifierFlags());
}
