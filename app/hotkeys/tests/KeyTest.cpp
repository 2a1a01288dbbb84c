#include "app/hotkeys/Key.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

struct CharacterCase {
    std::string character;
    std::optional<std::int64_t> keyCode;
    std::optional<Key> expected;
};

TEST(Key, FromTypedCharactersAndNames) {
    const CharacterCase cases[] = {
        {"A", {}, Key::a},
        {"a", {}, Key::a},
        {"rightBracket", {}, Key::rightBracket},
        {"]", {}, Key::rightBracket},
        {"yen", {}, std::nullopt},
        {"¥", {}, Key::yen},
        {"1", 83, Key::keypadOne},
        {"1", 18, Key::one},
        {"1", {}, Key::one},
        {"one", {}, Key::one},
        {"keypad1", 18, Key::keypadOne},
        {"KeypadOne", {}, Key::keypadOne},
        {",", 95, Key::keypadComma},
        {",", 43, Key::comma},
        {",", {}, Key::comma},
        {".", 65, Key::keypadDecimal},
        {".", {}, Key::period},
        {"/", 75, Key::keypadDivide},
        {"-", 78, Key::keypadMinus},
        {"=", 81, Key::keypadEquals},
        {"=", {}, Key::equal},
        {"*", {}, Key::keypadMultiply},
        {"Space", {}, Key::space},
        {" ", {}, std::nullopt},
        {"", {}, std::nullopt},
        {"\r", {}, Key::return_},
        {"\n", {}, Key::return_},
        {"\u21A9", {}, Key::return_},
        {"F12", {}, Key::f12},
        {"\u2190", {}, Key::leftArrow},
        {"pageup", {}, Key::pageUp},
        {"⌫", {}, Key::delete_},
        {"?\u20DD", {}, Key::help},
        {"\u2305", {}, Key::keypadEnter},
        {"英数", {}, Key::eisu},
        {"@", {}, Key::atSign},
        {"^", {}, Key::caret},
        {":", {}, Key::colon},
        {"§", {}, Key::section},
        {"section", {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(keyFromCharacter(c.character, c.keyCode), c.expected)
            << "'" << c.character << "' " << c.keyCode.value_or(-1);
}

TEST(Key, MenuKeyPrefersTheUserKeyEquivalent) {
    EXPECT_EQ(menuKey("", "q"), Key::q);
    EXPECT_EQ(menuKey("w", "q"), Key::w);
    EXPECT_EQ(menuKey("", ""), std::nullopt);
}

TEST(SymbolKeyCode, FixedLabels) {
    EXPECT_EQ(symbolKeyCodeFromKeyCode(49), SymbolKeyCode::space);
    EXPECT_EQ(label(SymbolKeyCode::space), "Space");
    EXPECT_EQ(label(*symbolKeyCodeFromKeyCode(122)), "F1");
    EXPECT_EQ(label(*symbolKeyCodeFromKeyCode(114)), "?\u20DD");
    EXPECT_EQ(label(*symbolKeyCodeFromKeyCode(104)), "かな");
    EXPECT_FALSE(symbolKeyCodeFromKeyCode(0));
    // Every symbol key is a key of the same code.
    for (int i = 0; i < kSymbolKeyCodeCount; ++i) {
        auto symbol = static_cast<SymbolKeyCode>(i);
        auto key = keyFromQWERTYKeyCode(keyCode(symbol));
        ASSERT_TRUE(key);
        EXPECT_EQ(keyFromCharacter(label(symbol), keyCode(symbol)), key) << label(symbol);
    }
}

TEST(Key, JSONIsTheRawName) {
    nlohmann::json j = Key::keypadEnter;
    EXPECT_EQ(j, "keypadEnter");
    EXPECT_EQ(j.get<Key>(), Key::keypadEnter);
    EXPECT_THROW(nlohmann::json("keypadenter").get<Key>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json(3).get<Key>(), nlohmann::json::type_error);
}
