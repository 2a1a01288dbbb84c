#pragma once
// Every key a shortcut can use, named independently of the keyboard layout,
// with its virtual key code on the ANSI (US QWERTY) keyboard.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

enum class Key : std::uint8_t {
    a,
    s,
    d,
    f,
    h,
    g,
    z,
    x,
    c,
    v,
    b,
    q,
    w,
    e,
    r,
    y,
    t,
    one,
    two,
    three,
    four,
    six,
    five,
    equal,
    nine,
    seven,
    minus,
    eight,
    zero,
    rightBracket,
    o,
    u,
    leftBracket,
    i,
    p,
    l,
    j,
    quote,
    k,
    semicolon,
    backslash,
    comma,
    slash,
    n,
    m,
    period,
    grave,
    keypadDecimal,
    keypadMultiply,
    keypadPlus,
    keypadClear,
    keypadDivide,
    keypadEnter,
    keypadMinus,
    keypadEquals,
    keypadZero,
    keypadOne,
    keypadTwo,
    keypadThree,
    keypadFour,
    keypadFive,
    keypadSix,
    keypadSeven,
    keypadEight,
    keypadNine,
    return_,
    tab,
    space,
    delete_,
    escape,
    f17,
    f18,
    f19,
    f20,
    f5,
    f6,
    f7,
    f3,
    f8,
    f9,
    f11,
    f13,
    f16,
    f14,
    f10,
    f12,
    f15,
    help,
    home,
    pageUp,
    forwardDelete,
    f4,
    end,
    f2,
    pageDown,
    f1,
    leftArrow,
    rightArrow,
    downArrow,
    upArrow,
    yen,
    underscore,
    keypadComma,
    eisu,
    kana,
    atSign,
    caret,
    colon,
    section,
};

inline constexpr int kKeyCount = 109;

// The case name ("a", "return", "keypadEnter", ...).
std::string_view rawValue(Key key);
// Case-sensitive inverse of rawValue.
std::optional<Key> keyFromRawValue(std::string_view raw);
std::uint16_t qwertyKeyCode(Key key);
// The key of an ANSI key code; shared codes give the ANSI key (24 equal,
// 33 leftBracket, 39 quote), 10 gives section.
std::optional<Key> keyFromQWERTYKeyCode(std::int64_t keyCode);
Key keyAt(int index);  // enumeration order

// The key that a typed character (or a key's name) stands for; the key code,
// when given, tells keypad keys from the main keys ("1" with 83 is
// keypadOne). The string is compared lowercased.
std::optional<Key> keyFromCharacter(std::string_view character,
                                    std::optional<std::int64_t> keyCode = std::nullopt);
// The key of a menu item: its user key equivalent when set, else its key
// equivalent.
std::optional<Key> menuKey(std::string_view userKeyEquivalent, std::string_view keyEquivalent);

// A key encodes as its raw name; decoding another string or a non-string
// throws the JSON library's error.
template <class BasicJsonType>
void to_json(BasicJsonType& json, const Key& key) {
    json = std::string(rawValue(key));
}
template <class BasicJsonType>
void from_json(const BasicJsonType& json, Key& key) {
    if (!json.is_string())
        throw BasicJsonType::type_error::create(
            302, std::string("type must be string, but is ") + json.type_name(), &json);
    auto decoded = keyFromRawValue(json.template get_ref<const std::string&>());
    if (!decoded)
        throw BasicJsonType::other_error::create(
            501, "no key is named " + json.template get<std::string>(), &json);
    key = *decoded;
}

// Keys whose label does not come from the keyboard layout.
enum class SymbolKeyCode : std::uint8_t {
    return_,
    tab,
    space,
    delete_,
    escape,
    f17,
    f18,
    f19,
    f20,
    f5,
    f6,
    f7,
    f3,
    f8,
    f9,
    f11,
    f13,
    f16,
    f14,
    f10,
    f12,
    f15,
    help,
    home,
    pageUp,
    forwardDelete,
    f4,
    end,
    f2,
    pageDown,
    f1,
    leftArrow,
    rightArrow,
    downArrow,
    upArrow,
    eisu,
    kana,
    keypadClear,
    keypadEnter,
};

inline constexpr int kSymbolKeyCodeCount = 39;

std::optional<SymbolKeyCode> symbolKeyCodeFromKeyCode(std::int64_t keyCode);
std::uint16_t keyCode(SymbolKeyCode symbol);
// "Space", "F1", "⌫", "?⃝", ...
std::string label(SymbolKeyCode symbol);
