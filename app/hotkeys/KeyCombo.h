#pragma once
// One keyboard shortcut: a key with modifiers, or a double tap of a single
// modifier key (then the key is the placeholder `a`). Immutable; invalid
// combinations are never built (the factories answer nullptr). Archived as a
// keyed archive (class "KeyCombo", secure coding) and in a keyed JSON form,
// both with the keys "key", "modifiers" and "doubledModifiers".

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "app/hotkeys/Key.h"
#include "app/hotkeys/ModifierFlags.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"

class KeyCombo : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "KeyCombo";
    static constexpr bool kSupportsSecureCoding = true;

    // The archive's key names; older archives hold "keyCode" or
    // "QWERTYKeyCode" instead of "key".
    enum class CodingKeys { key, keyCode, QWERTYKeyCode, modifiers, doubledModifiers };
    static std::string_view stringValue(CodingKeys codingKey);
    static std::optional<CodingKeys> codingKeyFromString(std::string_view string);

    // Thrown by the JSON decoder for a key code that names no key.
    struct InitializeError : std::runtime_error {
        InitializeError() : std::runtime_error("KeyCombo.InitializeError") {}
    };

    static std::shared_ptr<KeyCombo> init(Key key, NSEventModifierFlags cocoaModifiers);
    static std::shared_ptr<KeyCombo> initWithCarbonModifiers(Key key, std::int64_t carbonModifiers);
    static std::shared_ptr<KeyCombo> initWithQWERTYKeyCode(std::int64_t keyCode,
                                                           NSEventModifierFlags cocoaModifiers);
    static std::shared_ptr<KeyCombo> initWithQWERTYKeyCodeCarbon(std::int64_t keyCode,
                                                                 std::int64_t carbonModifiers);
    static std::shared_ptr<KeyCombo> initWithDoubledCocoaModifiers(NSEventModifierFlags flags);
    static std::shared_ptr<KeyCombo> initWithDoubledCarbonModifiers(std::int64_t carbonModifiers);
    // Null for an archive that names no key; the modifiers are taken as
    // archived.
    static std::shared_ptr<KeyCombo> initWithCoder(NSCoder& coder);
    // The JSON form; throws the JSON library's errors for missing or
    // mistyped values and InitializeError.
    static std::shared_ptr<KeyCombo> decode(const nlohmann::json& container);
    static std::shared_ptr<KeyCombo> decode(const nlohmann::ordered_json& container);

    Key key() const { return key_; }
    std::int64_t modifiers() const { return modifiers_; }
    bool doubledModifiers() const { return doubledModifiers_; }

    // The key's QWERTY code (0 for a double tap).
    std::int64_t keyCode() const;
    // The key's code in the current layout (0 for a double tap).
    std::uint16_t currentKeyCode() const;
    // What the key types with the modifiers in the current layout.
    std::string characters() const;
    std::string keyEquivalent() const;
    NSEventModifierFlags keyEquivalentModifierMask() const;
    std::string keyEquivalentModifierMaskString() const;

    std::string className() const override { return kClassName; }
    bool isEqual(const NSObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override;
    std::shared_ptr<KeyCombo> copy() const;

    void encodeWithCoder(NSCoder& coder) const override;
    bool supportsSecureCoding() const override { return kSupportsSecureCoding; }
    template <class BasicJsonType>
    void encode(BasicJsonType& container) const {
        container = BasicJsonType::object();
        container["key"] = key_;
        container["modifiers"] = modifiers_;
        container["doubledModifiers"] = doubledModifiers_;
    }

    KeyCombo(Key key, std::int64_t modifiers, bool doubled)
        : key_(key), modifiers_(modifiers), doubledModifiers_(doubled) {}

  private:
    Key key_;
    std::int64_t modifiers_;
    bool doubledModifiers_;
};

// The shortcut of a key-down, key-up or flags-changed event, through the
// current layout's key for its key code; null for other events and for
// invalid combinations.
std::shared_ptr<KeyCombo> keyCombo(const NSEvent& event);

// JSON: `json j = *combo;` and `j.get<std::shared_ptr<KeyCombo>>()`.
template <class BasicJsonType>
void to_json(BasicJsonType& json, const KeyCombo& combo) {
    combo.encode(json);
}

namespace nlohmann {
template <>
struct adl_serializer<std::shared_ptr<KeyCombo>> {
    template <class BasicJsonType>
    static void to_json(BasicJsonType& json, const std::shared_ptr<KeyCombo>& combo) {
        if (combo)
            combo->encode(json);
        else
            json = nullptr;
    }
    template <class BasicJsonType>
    static void from_json(const BasicJsonType& json, std::shared_ptr<KeyCombo>& combo) {
        combo = KeyCombo::decode(json);
    }
};
}  // namespace nlohmann
