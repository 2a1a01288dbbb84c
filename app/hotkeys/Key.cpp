#include "app/hotkeys/Key.h"

#include <array>
#include <cctype>

namespace {

struct KeyInfo {
    std::string_view name;
    std::uint16_t code;
};

constexpr std::array<KeyInfo, kKeyCount> kKeys{{
    {"a", 0},
    {"s", 1},
    {"d", 2},
    {"f", 3},
    {"h", 4},
    {"g", 5},
    {"z", 6},
    {"x", 7},
    {"c", 8},
    {"v", 9},
    {"b", 11},
    {"q", 12},
    {"w", 13},
    {"e", 14},
    {"r", 15},
    {"y", 16},
    {"t", 17},
    {"one", 18},
    {"two", 19},
    {"three", 20},
    {"four", 21},
    {"six", 22},
    {"five", 23},
    {"equal", 24},
    {"nine", 25},
    {"seven", 26},
    {"minus", 27},
    {"eight", 28},
    {"zero", 29},
    {"rightBracket", 30},
    {"o", 31},
    {"u", 32},
    {"leftBracket", 33},
    {"i", 34},
    {"p", 35},
    {"l", 37},
    {"j", 38},
    {"quote", 39},
    {"k", 40},
    {"semicolon", 41},
    {"backslash", 42},
    {"comma", 43},
    {"slash", 44},
    {"n", 45},
    {"m", 46},
    {"period", 47},
    {"grave", 50},
    {"keypadDecimal", 65},
    {"keypadMultiply", 67},
    {"keypadPlus", 69},
    {"keypadClear", 71},
    {"keypadDivide", 75},
    {"keypadEnter", 76},
    {"keypadMinus", 78},
    {"keypadEquals", 81},
    {"keypadZero", 82},
    {"keypadOne", 83},
    {"keypadTwo", 84},
    {"keypadThree", 85},
    {"keypadFour", 86},
    {"keypadFive", 87},
    {"keypadSix", 88},
    {"keypadSeven", 89},
    {"keypadEight", 91},
    {"keypadNine", 92},
    {"return", 36},
    {"tab", 48},
    {"space", 49},
    {"delete", 51},
    {"escape", 53},
    {"f17", 64},
    {"f18", 79},
    {"f19", 80},
    {"f20", 90},
    {"f5", 96},
    {"f6", 97},
    {"f7", 98},
    {"f3", 99},
    {"f8", 100},
    {"f9", 101},
    {"f11", 103},
    {"f13", 105},
    {"f16", 106},
    {"f14", 107},
    {"f10", 109},
    {"f12", 111},
    {"f15", 113},
    {"help", 114},
    {"home", 115},
    {"pageUp", 116},
    {"forwardDelete", 117},
    {"f4", 118},
    {"end", 119},
    {"f2", 120},
    {"pageDown", 121},
    {"f1", 122},
    {"leftArrow", 123},
    {"rightArrow", 124},
    {"downArrow", 125},
    {"upArrow", 126},
    {"yen", 93},
    {"underscore", 94},
    {"keypadComma", 95},
    {"eisu", 102},
    {"kana", 104},
    {"atSign", 33},
    {"caret", 24},
    {"colon", 39},
    {"section", 10},
}};

bool isLetterKeyName(std::string_view name) {
    return name.size() == 1 && name[0] >= 'a' && name[0] <= 'z';
}

}  // namespace

std::string_view rawValue(Key key) {
    return kKeys[static_cast<std::size_t>(key)].name;
}

std::uint16_t qwertyKeyCode(Key key) {
    return kKeys[static_cast<std::size_t>(key)].code;
}

Key keyAt(int index) {
    return static_cast<Key>(index);
}

std::optional<Key> keyFromRawValue(std::string_view raw) {
    for (int i = 0; i < kKeyCount; ++i)
        if (kKeys[i].name == raw) return keyAt(i);
    return std::nullopt;
}

std::optional<Key> keyFromQWERTYKeyCode(std::int64_t keyCode) {
    // The first case in enumeration order wins, which gives the ANSI key for
    // the codes that JIS keys share.
    for (int i = 0; i < kKeyCount; ++i)
        if (kKeys[i].code == keyCode) return keyAt(i);
    return std::nullopt;
}

namespace {

struct SymbolInfo {
    std::uint16_t code;
    std::string_view label;
};

constexpr std::array<SymbolInfo, kSymbolKeyCodeCount> kSymbols{{
    {36, "\u21A9"},  {48, "\u21E5"},  {49, "Space"},    {51, "\u232B"},  {53, "\u238B"},
    {64, "F17"},     {79, "F18"},     {80, "F19"},      {90, "F20"},     {96, "F5"},
    {97, "F6"},      {98, "F7"},      {99, "F3"},       {100, "F8"},     {101, "F9"},
    {103, "F11"},    {105, "F13"},    {106, "F16"},     {107, "F14"},    {109, "F10"},
    {111, "F12"},    {113, "F15"},    {114, "?\u20DD"}, {115, "\u2196"}, {116, "\u21DE"},
    {117, "\u2326"}, {118, "F4"},     {119, "\u2198"},  {120, "F2"},     {121, "\u21DF"},
    {122, "F1"},     {123, "\u2190"}, {124, "\u2192"},  {125, "\u2193"}, {126, "\u2191"},
    {102, "英数"},   {104, "かな"},   {71, "\u2327"},   {76, "\u2305"},
}};

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x80)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The lowercased label of the symbol key with the same name as the key.
std::string lowercasedLabelOf(Key key) {
    for (int i = 0; i < kSymbolKeyCodeCount; ++i) {
        auto symbol = static_cast<SymbolKeyCode>(i);
        if (qwertyKeyCode(key) == kSymbols[i].code) return lowercased(label(symbol));
    }
    return {};
}

bool isNot(std::optional<std::int64_t> keyCode, std::int64_t code) {
    return !keyCode || *keyCode != code;
}
bool is(std::optional<std::int64_t> keyCode, std::int64_t code) {
    return keyCode && *keyCode == code;
}

constexpr std::string_view kDigitNames[] = {"zero", "one", "two",   "three", "four",
                                            "five", "six", "seven", "eight", "nine"};
constexpr std::int64_t kKeypadDigitCodes[] = {82, 83, 84, 85, 86, 87, 88, 89, 91, 92};

std::optional<int> digitOf(Key key) {
    for (int d = 0; d < 10; ++d)
        if (rawValue(key) == kDigitNames[d]) return d;
    return std::nullopt;
}

std::optional<int> keypadDigitOf(Key key) {
    for (int d = 0; d < 10; ++d)
        if (qwertyKeyCode(key) == kKeypadDigitCodes[d] && rawValue(key).starts_with("keypad"))
            return d;
    return std::nullopt;
}

bool accepts(Key key, const std::string& s, std::optional<std::int64_t> k) {
    const std::string name = lowercased(rawValue(key));
    if (isLetterKeyName(rawValue(key))) return s == name;
    if (auto d = digitOf(key)) {
        return (s == std::string(1, static_cast<char>('0' + *d)) || s == name) &&
               isNot(k, kKeypadDigitCodes[*d]);
    }
    if (auto d = keypadDigitOf(key)) {
        const std::string digit(1, static_cast<char>('0' + *d));
        return s == "keypad" + digit || s == "keypad" + std::string(kDigitNames[*d]) ||
               (s == digit && is(k, kKeypadDigitCodes[*d]));
    }
    switch (key) {
        case Key::equal:
            return (s == "equal" || s == "=") && isNot(k, 81);
        case Key::minus:
            return (s == "minus" || s == "-") && isNot(k, 78);
        case Key::rightBracket:
            return s == name || s == "]";
        case Key::leftBracket:
            return s == name || s == "[";
        case Key::quote:
            return s == name || s == "'";
        case Key::semicolon:
            return s == name || s == ";";
        case Key::backslash:
            return s == name || s == "\\";
        case Key::grave:
            return s == name || s == "`";
        case Key::comma:
            return s == "comma" || (s == "," && isNot(k, 95));
        case Key::slash:
            return (s == "slash" || s == "/") && isNot(k, 75);
        case Key::period:
            return s == "period" || (s == "." && isNot(k, 65));
        case Key::keypadDecimal:
            return s == "keypaddecimal" || (s == "." && is(k, 65));
        case Key::keypadMultiply:
            return s == "keypadmultiply" || s == "*";
        case Key::keypadPlus:
            return s == "keypadplus" || s == "+";
        case Key::keypadDivide:
            return s == "keypaddivide" || (s == "/" && is(k, 75));
        case Key::keypadMinus:
            return s == "keypadminus" || (s == "-" && is(k, 78));
        case Key::keypadEquals:
            return s == "keypadequals" || (s == "=" && is(k, 81));
        case Key::return_:
            return s == "return" || s == "\r" || s == "\n" || s == lowercasedLabelOf(key);
        case Key::yen:
            return s == "¥";
        case Key::underscore:
            return s == "_";
        case Key::keypadComma:
            return s == "," && is(k, 95);
        case Key::eisu:
        case Key::kana:
            return s == lowercasedLabelOf(key);
        case Key::atSign:
            return s == "@";
        case Key::caret:
            return s == "^";
        case Key::colon:
            return s == ":";
        case Key::section:
            return s == "§";
        default:
            // Named keys with fixed labels, the function keys among them.
            return s == name || s == lowercasedLabelOf(key);
    }
}

}  // namespace

std::optional<Key> keyFromCharacter(std::string_view character,
                                    std::optional<std::int64_t> keyCode) {
    const std::string s = lowercased(character);
    if (s.empty()) return std::nullopt;
    for (int i = 0; i < kKeyCount; ++i)
        if (accepts(keyAt(i), s, keyCode)) return keyAt(i);
    return std::nullopt;
}

std::optional<Key> menuKey(std::string_view userKeyEquivalent, std::string_view keyEquivalent) {
    return keyFromCharacter(userKeyEquivalent.empty() ? keyEquivalent : userKeyEquivalent);
}

std::optional<SymbolKeyCode> symbolKeyCodeFromKeyCode(std::int64_t keyCode) {
    for (int i = 0; i < kSymbolKeyCodeCount; ++i)
        if (kSymbols[i].code == keyCode) return static_cast<SymbolKeyCode>(i);
    return std::nullopt;
}

std::uint16_t keyCode(SymbolKeyCode symbol) {
    return kSymbols[static_cast<std::size_t>(symbol)].code;
}

std::string label(SymbolKeyCode symbol) {
    return std::string(kSymbols[static_cast<std::size_t>(symbol)].label);
}
