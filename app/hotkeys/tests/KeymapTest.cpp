#include "app/hotkeys/Keymap.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/input/InputSources.h"

namespace {

const std::string kUS = "com.apple.keylayout.US";
const std::string kGerman = "com.apple.keylayout.German";
const std::string kJapanese = "com.apple.inputmethod.Japanese";

class KeymapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::InputSources::reset();
        center_ = std::make_shared<NSNotificationCenter>();
        for (const auto& name : {Keymap::selectedKeyboardInputSourceChangedNotification,
                                 Keymap::enabledKeyboardInputSourcesChangedNotification,
                                 Keymap::selectedKeyboardKeyCodesChangedNotification})
            center_->addObserver(
                this, [this](const NSNotification& n) { posted_.push_back(n.name); }, name,
                nullptr);
        layout_ = KeyboardLayout::init(NSDistributedNotificationCenter::defaultCenter(), center_,
                                       std::make_shared<ModifierTransformer>());
        keymap_ = std::make_shared<Keymap>(layout_);
    }
    void TearDown() override { sim::InputSources::reset(); }

    void enableAndSelect(const std::string& id, const std::optional<std::string>& mode = {}) {
        ASSERT_TRUE(sim::InputSources::enable(id, mode));
        ASSERT_TRUE(sim::InputSources::select(id, mode));
    }

    std::shared_ptr<NSNotificationCenter> center_;
    std::shared_ptr<KeyboardLayout> layout_;
    std::shared_ptr<Keymap> keymap_;
    std::vector<std::string> posted_;
};

TEST_F(KeymapTest, MapsTheUSLayoutAtStart) {
    EXPECT_EQ(layout_->currentKeyboardLayoutInputSource()->id(), kUS);
    EXPECT_EQ(keymap_->enabledInputSources().size(), 1u);
    auto map = keymap_->layoutKeyCodes();
    ASSERT_TRUE(map);
    // Every key of the US keyboard sits at its QWERTY code.
    for (const auto& [key, code] : *map) EXPECT_EQ(code, qwertyKeyCode(key)) << rawValue(key);
    EXPECT_EQ(keymap_->layoutKeyCode(Key::keypadOne), 83);
    EXPECT_EQ(keymap_->layoutKeyCode(Key::f5), 96);
    EXPECT_EQ(keymap_->resolvedKey(83), Key::keypadOne);
    EXPECT_EQ(keymap_->resolvedKey(10), Key::section) << "no layout key: the QWERTY one";
    EXPECT_EQ(keymap_->resolvedKey(52), std::nullopt);
}

TEST_F(KeymapTest, SwitchingToAnotherPlacementPostsBothInOrder) {
    enableAndSelect(kGerman);
    EXPECT_EQ(posted_,
              (std::vector<std::string>{Keymap::enabledKeyboardInputSourcesChangedNotification,
                                        Keymap::selectedKeyboardInputSourceChangedNotification,
                                        Keymap::selectedKeyboardKeyCodesChangedNotification}));
    EXPECT_EQ(keymap_->resolvedKeyCode(Key::z), 16);
    EXPECT_EQ(keymap_->resolvedKeyCode(Key::y), 6);
    EXPECT_EQ(keymap_->resolvedKey(16), Key::z);
    EXPECT_EQ(keymap_->character(16, 0), "z");
    // The lowest code that types a key wins, and no code serves two keys.
    auto map = *keymap_->layoutKeyCodes();
    EXPECT_EQ(map.at(Key::comma), 43);
    std::set<std::uint16_t> codes;
    for (const auto& [key, code] : map) EXPECT_TRUE(codes.insert(code).second) << code;
}

TEST_F(KeymapTest, SwitchingToAnIdenticalPlacementPostsOnlyTheSelection) {
    sim::InputSourceDescription copy;
    copy.id = "org.example.us-copy";
    copy.xkbLayout = "us";
    sim::InputSources::install(copy);
    enableAndSelect(copy.id);
    EXPECT_EQ(posted_,
              (std::vector<std::string>{Keymap::enabledKeyboardInputSourcesChangedNotification,
                                        Keymap::selectedKeyboardInputSourceChangedNotification}));
}

TEST_F(KeymapTest, ARepeatedSelectionOnlyRefreshesTheASCIISource) {
    sim::InputSources::postSelectionChanged();
    EXPECT_TRUE(posted_.empty());
}

TEST_F(KeymapTest, AnInputMethodWithoutLayoutFallsBack) {
    sim::InputSources::enable(kGerman);
    sim::InputSources::select(kGerman);
    posted_.clear();
    enableAndSelect(kJapanese, kJapanese);
    EXPECT_EQ(posted_,
              (std::vector<std::string>{Keymap::enabledKeyboardInputSourcesChangedNotification,
                                        Keymap::selectedKeyboardInputSourceChangedNotification}));
    EXPECT_EQ(keymap_->layoutKeyCodes(), std::nullopt);
    EXPECT_EQ(keymap_->resolvedKeyCode(Key::z), 6);
    EXPECT_EQ(keymap_->layoutCharacter(16, 0), std::nullopt);
    EXPECT_EQ(keymap_->layoutCharacter(49, 0), std::nullopt) << "no layout, not even labels";
    EXPECT_EQ(keymap_->character(16, 0), "z") << "from the German ASCII-capable layout";
    EXPECT_EQ(keymap_->asciiCharacter(49, 0), "Space");
}

TEST_F(KeymapTest, EnablingRebuildsEveryMapAndPostsOnce) {
    ASSERT_TRUE(sim::InputSources::enable(kGerman));
    EXPECT_EQ(posted_,
              (std::vector<std::string>{Keymap::enabledKeyboardInputSourcesChangedNotification}));
    auto sources = keymap_->enabledInputSources();
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(keymap_->keyCode(Key::z, *sources[1]), 16);
    EXPECT_EQ(keymap_->key(6, *sources[1]), Key::y);

    ASSERT_TRUE(sim::InputSources::disable(kGerman));
    EXPECT_EQ(keymap_->enabledInputSources().size(), 1u);
    EXPECT_EQ(keymap_->keyCodes(*sources[1]), std::nullopt) << "its map went with it";
    sim::InputSources::failNextSourceList();
    sim::InputSources::postEnabledSourcesChanged();
    EXPECT_EQ(keymap_->enabledInputSources().size(), 1u) << "an unreadable list changes nothing";
    EXPECT_TRUE(keymap_->layoutKeyCodes()) << "the current source is mapped again";
}

struct CharacterCase {
    std::int64_t keyCode;
    std::int64_t carbon;
    std::optional<std::string> expected;
};

TEST_F(KeymapTest, CharactersUseShiftAndOptionOnly) {
    sim::InputSources::enable(kGerman);
    sim::InputSources::select(kGerman);
    const CharacterCase cases[] = {
        {12, 0, "q"},
        {12, shiftKey, "Q"},
        {12, optionKey, "@"},
        {12, cmdKey | controlKey, "q"},
        {12, cmdKey | shiftKey, "Q"},
        {49, shiftKey | optionKey, "Space"},
        {36, 0, "\u21A9"},
        {123, cmdKey, "\u2190"},
        {114, 0, "?\u20DD"},
        {104, 0, "かな"},
        {-1, 0, std::nullopt},
        {0x10000, 0, std::nullopt},
        {12, 0x100000000LL, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(keymap_->character(c.keyCode, c.carbon), c.expected)
            << c.keyCode << " " << c.carbon;
    EXPECT_EQ(keymap_->characterForCocoaModifiers(12, NSEventModifierFlagShift), "Q");
    EXPECT_EQ(ModifierTransformer().carbonFlags(0x1E0000 | NSEventModifierFlagFunction), 0x1B00);
}

TEST(InputSource, IdentityIsIdAndMode) {
    sim::InputSources::reset();
    auto list = *TISCreateInputSourceList({}, true);
    auto us = InputSource::init(list[0]);
    auto usAgain = InputSource::init(TISCopyCurrentKeyboardLayoutInputSource());
    EXPECT_EQ(*us, *usAgain);
    EXPECT_EQ(us->hash(), usAgain->hash());
    EXPECT_EQ(us->modeID(), std::nullopt);
    EXPECT_TRUE(us->isSelected());
    EXPECT_EQ(us->localizedName(), "U.S.");
    auto hiragana = InputSource::init(list[4]);
    auto katakana = InputSource::init(list[5]);
    EXPECT_EQ(hiragana->id(), katakana->id());
    EXPECT_FALSE(*hiragana == *katakana);
    EXPECT_FALSE(hiragana->isEnabled());
    EXPECT_EQ(InputSource::init(nullptr), nullptr);
}

}  // namespace
