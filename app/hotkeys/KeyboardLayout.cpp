#include "app/hotkeys/KeyboardLayout.h"

#include <map>

namespace {

struct Characters {
    const char* plain;
    const char* shifted;
};

const std::map<int, Characters>& usLayout() {
    static const std::map<int, Characters> table{
        {0, {"a", "A"}},   {1, {"s", "S"}},  {2, {"d", "D"}},   {3, {"f", "F"}},  {4, {"h", "H"}},
        {5, {"g", "G"}},   {6, {"z", "Z"}},  {7, {"x", "X"}},   {8, {"c", "C"}},  {9, {"v", "V"}},
        {11, {"b", "B"}},  {12, {"q", "Q"}}, {13, {"w", "W"}},  {14, {"e", "E"}}, {15, {"r", "R"}},
        {16, {"y", "Y"}},  {17, {"t", "T"}}, {18, {"1", "!"}},  {19, {"2", "@"}}, {20, {"3", "#"}},
        {21, {"4", "$"}},  {22, {"6", "^"}}, {23, {"5", "%"}},  {24, {"=", "+"}}, {25, {"9", "("}},
        {26, {"7", "&"}},  {27, {"-", "_"}}, {28, {"8", "*"}},  {29, {"0", ")"}}, {30, {"]", "}"}},
        {31, {"o", "O"}},  {32, {"u", "U"}}, {33, {"[", "{"}},  {34, {"i", "I"}}, {35, {"p", "P"}},
        {37, {"l", "L"}},  {38, {"j", "J"}}, {39, {"'", "\""}}, {40, {"k", "K"}}, {41, {";", ":"}},
        {42, {"\\", "|"}}, {43, {",", "<"}}, {44, {"/", "?"}},  {45, {"n", "N"}}, {46, {"m", "M"}},
        {47, {".", ">"}},  {50, {"`", "~"}}, {49, {" ", " "}},
    };
    return table;
}

}  // namespace

std::shared_ptr<KeyboardLayout> KeyboardLayout::shared() {
    static auto layout = std::make_shared<KeyboardLayout>();
    return layout;
}

std::uint16_t KeyboardLayout::resolvedKeyCode(Key key) const {
    return qwertyKeyCode(key);
}

std::optional<std::string> KeyboardLayout::character(std::int64_t keyCode,
                                                     std::int64_t carbonModifiers) const {
    auto it = usLayout().find(static_cast<int>(keyCode));
    if (it == usLayout().end()) return std::nullopt;
    return std::string((carbonModifiers & shiftKey) ? it->second.shifted : it->second.plain);
}

std::optional<std::string> KeyboardLayout::characterForCocoaModifiers(
    std::int64_t keyCode, NSEventModifierFlags flags) const {
    return character(keyCode, carbonModifiers(flags, false));
}
