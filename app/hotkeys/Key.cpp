#include "app/hotkeys/Key.h"

#include <array>

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
