#include "app/hotkeys/KeyCombo.h"

#include <gtest/gtest.h>

TEST(Key, QWERTYCodesAndRawNamesRoundTrip) {
    for (int i = 0; i < kKeyCount; ++i) {
        Key key = keyAt(i);
        EXPECT_EQ(keyFromRawValue(rawValue(key)), key);
    }
    EXPECT_EQ(keyFromQWERTYKeyCode(10), Key::section);
    EXPECT_EQ(keyFromQWERTYKeyCode(24), Key::equal);
    EXPECT_EQ(keyFromQWERTYKeyCode(33), Key::leftBracket);
    EXPECT_EQ(keyFromQWERTYKeyCode(39), Key::quote);
    EXPECT_FALSE(keyFromQWERTYKeyCode(52));
    EXPECT_FALSE(keyFromQWERTYKeyCode(127));
    EXPECT_FALSE(keyFromQWERTYKeyCode(-1));
    EXPECT_EQ(qwertyKeyCode(Key::caret), 24);
    EXPECT_EQ(rawValue(Key::return_), "return");
    EXPECT_FALSE(keyFromRawValue("keypadenter"));
    EXPECT_EQ(keyFromRawValue("keypadEnter"), Key::keypadEnter);
}

TEST(ModifierFlags, ConversionsBetweenEncodings) {
    EXPECT_EQ(cocoaModifierFlags(0x1B00), 0x1E0000u);
    EXPECT_EQ(cocoaModifierFlags(0x800000), 0u);
    EXPECT_EQ(cocoaModifierFlags(0x400), 0u);
    const auto fnCmd = NSEventModifierFlagFunction | NSEventModifierFlagCommand;
    EXPECT_EQ(carbonModifiers(fnCmd, false), 0x100);
    EXPECT_EQ(carbonModifiers(fnCmd, true), 0x800100);
    EXPECT_EQ(carbonModifiers(NSEventModifierFlagCapsLock, true), 0);
    EXPECT_EQ(modifierSymbols(0x120000), (std::vector<std::string>{"⇧", "⌘"}));
    EXPECT_EQ(modifierSymbols(0x1E0000), (std::vector<std::string>{"⌃", "⌥", "⇧", "⌘"}));
    EXPECT_TRUE(modifierSymbols(0).empty());
    EXPECT_TRUE(isSingleModifier(fnCmd));
    EXPECT_FALSE(isSingleModifier(NSEventModifierFlagCommand | NSEventModifierFlagShift));
    EXPECT_FALSE(isSingleModifier(0));
}

TEST(KeyCombo, ValidatingInitialisers) {
    EXPECT_EQ(KeyCombo::init(Key::a, 0), nullptr);
    EXPECT_EQ(KeyCombo::init(Key::a, NSEventModifierFlagCapsLock), nullptr);
    EXPECT_EQ(KeyCombo::init(Key::a, NSEventModifierFlagFunction), nullptr);
    EXPECT_EQ(KeyCombo::init(Key::a, NSEventModifierFlagShift)->modifiers(), 0x200);
    EXPECT_EQ(KeyCombo::init(Key::f5, 0)->modifiers(), 0x800000);
    EXPECT_EQ(KeyCombo::init(Key::f5, NSEventModifierFlagCommand)->modifiers(), 0x800100);
    EXPECT_EQ(KeyCombo::initWithQWERTYKeyCode(200, NSEventModifierFlagCommand), nullptr);

    auto doubled = KeyCombo::initWithDoubledCocoaModifiers(NSEventModifierFlagCommand);
    EXPECT_EQ(doubled->key(), Key::a);
    EXPECT_EQ(doubled->modifiers(), 0x100);
    EXPECT_EQ(doubled->keyCode(), 0);
    EXPECT_EQ(doubled->characters(), "");
    EXPECT_EQ(KeyCombo::initWithDoubledCocoaModifiers(NSEventModifierFlagCommand |
                                                      NSEventModifierFlagShift),
              nullptr);
    EXPECT_EQ(KeyCombo::initWithDoubledCocoaModifiers(NSEventModifierFlagOption |
                                                      NSEventModifierFlagFunction)
                  ->modifiers(),
              0x800);
}

TEST(KeyCombo, DefaultShortcutAndItsDerivedValues) {
    auto combo =
        KeyCombo::initWithQWERTYKeyCode(46, NSEventModifierFlagCommand | NSEventModifierFlagShift);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->key(), Key::m);
    EXPECT_EQ(combo->modifiers(), 0x300);
    EXPECT_EQ(combo->keyCode(), 46);
    EXPECT_EQ(combo->characters(), "M");
    EXPECT_EQ(combo->keyEquivalentModifierMaskString(), "⇧⌘");
    EXPECT_EQ(KeyCombo::initWithCarbonModifiers(Key::f1, 0x1B00)->keyEquivalentModifierMaskString(),
              "⌃⌥⇧⌘");
    EXPECT_EQ(KeyCombo::init(Key::f5, NSEventModifierFlagCommand)->keyEquivalentModifierMask(),
              NSEventModifierFlagCommand);
}

TEST(KeyCombo, EqualityAndCopy) {
    auto a = KeyCombo::initWithDoubledCarbonModifiers(optionKey);
    auto b = KeyCombo::initWithDoubledCarbonModifiers(optionKey);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    auto f = KeyCombo::init(Key::f5, 0);
    auto copy = f->copy();
    EXPECT_NE(copy, f);
    EXPECT_TRUE(copy->isEqual(*f));
    EXPECT_FALSE(f->isEqual(*a));
}
