#include "app/hotkeys/ModifierFlags.h"

namespace {

struct Pair {
    NSEventModifierFlags cocoa;
    std::int64_t carbon;
};
constexpr Pair kPairs[] = {
    {NSEventModifierFlagShift, shiftKey},
    {NSEventModifierFlagControl, controlKey},
    {NSEventModifierFlagOption, optionKey},
    {NSEventModifierFlagCommand, cmdKey},
};
constexpr NSEventModifierFlags kShortcutModifiers =
    NSEventModifierFlagCommand | NSEventModifierFlagOption | NSEventModifierFlagControl |
    NSEventModifierFlagShift;

}  // namespace

NSEventModifierFlags cocoaModifierFlags(std::int64_t fromCarbon) {
    NSEventModifierFlags out = 0;
    for (const auto& p : kPairs)
        if (fromCarbon & p.carbon) out |= p.cocoa;
    return out;
}

std::int64_t carbonModifiers(NSEventModifierFlags fromCocoa, bool includingFunction) {
    std::int64_t out = 0;
    for (const auto& p : kPairs)
        if (fromCocoa & p.cocoa) out |= p.carbon;
    if (includingFunction && (fromCocoa & NSEventModifierFlagFunction)) out |= kCarbonFunctionBit;
    return out;
}

NSEventModifierFlags filteredModifierFlags(NSEventModifierFlags flags) {
    return flags & kShortcutModifiers;
}

NSEventModifierFlags shiftOnlyModifierFlags(NSEventModifierFlags flags) {
    return (flags & NSEventModifierFlagShift) ? NSEventModifierFlagShift : 0;
}

bool containsSupportedModifiers(NSEventModifierFlags flags) {
    return (flags & (kShortcutModifiers | NSEventModifierFlagFunction)) != 0;
}

bool isSingleModifier(NSEventModifierFlags flags) {
    const bool present[] = {
        (flags & NSEventModifierFlagCommand) != 0,
        (flags & NSEventModifierFlagOption) != 0,
        (flags & NSEventModifierFlagControl) != 0,
        (flags & NSEventModifierFlagShift) != 0,
    };
    int trueCount = 0;
    for (bool p : present) trueCount += p ? 1 : 0;
    return trueCount == 1;
}

std::vector<std::string> modifierSymbols(NSEventModifierFlags flags) {
    std::vector<std::string> out;
    if (flags & NSEventModifierFlagControl) out.emplace_back("\u2303");
    if (flags & NSEventModifierFlagOption) out.emplace_back("\u2325");
    if (flags & NSEventModifierFlagShift) out.emplace_back("\u21E7");
    if (flags & NSEventModifierFlagCommand) out.emplace_back("\u2318");
    return out;
}

bool isFunctionKey(Key key) {
    switch (key) {
        case Key::f1:
        case Key::f2:
        case Key::f3:
        case Key::f4:
        case Key::f5:
        case Key::f6:
        case Key::f7:
        case Key::f8:
        case Key::f9:
        case Key::f10:
        case Key::f11:
        case Key::f12:
        case Key::f13:
        case Key::f14:
        case Key::f15:
        case Key::f16:
        case Key::f17:
        case Key::f18:
        case Key::f19:
        case Key::f20:
            return true;
        default:
            return false;
    }
}

bool isLetterKey(Key key) {
    auto name = rawValue(key);
    return name.size() == 1 && name[0] >= 'a' && name[0] <= 'z';
}
