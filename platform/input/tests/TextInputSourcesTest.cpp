#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/input/InputSources.h"
#include "platform/input/TextInputSources.h"
#include "platform/notifications/NSNotificationCenter.h"

namespace {

const std::string kUS = "com.apple.keylayout.US";
const std::string kGerman = "com.apple.keylayout.German";
const std::string kFrench = "com.apple.keylayout.French";
const std::string kDvorak = "com.apple.keylayout.Dvorak";
const std::string kJapanese = "com.apple.inputmethod.Japanese";

std::string stringProperty(const TISInputSourceRef& source, const char* key) {
    auto value = TISGetInputSourceProperty(source, key);
    return value && value->asString() ? *value->asString() : "<none>";
}

const UCKeyboardLayout* layoutOf(const std::string& id) {
    auto list = TISCreateInputSourceList({{kTISPropertyInputSourceID, Value(id)}}, true);
    if (!list || list->empty()) return nullptr;
    // The installed sources live as long as the process, so the data does.
    auto data = TISGetInputSourceProperty(list->front(), kTISPropertyUnicodeKeyLayoutData);
    return data ? reinterpret_cast<const UCKeyboardLayout*>(data->asData()->data()) : nullptr;
}

struct Typed {
    OSStatus status;
    std::string text;
};

Typed type(const UCKeyboardLayout* layout, UInt16 keyCode, UInt32 state, UInt32* deadKeyState,
           UInt16 action = kUCKeyActionDown, OptionBits options = 0, UniCharCount max = 8) {
    UniChar buffer[8] = {};
    UniCharCount length = 0;
    Typed out;
    out.status = UCKeyTranslate(layout, keyCode, action, state, LMGetKbdType(), options,
                                deadKeyState, max, &length, buffer);
    out.text = CFStringCreateWithCharacters(nullptr, buffer, std::min<UniCharCount>(length, max));
    return out;
}

class InputSourcesTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::InputSources::reset(); }
    void TearDown() override {
        for (const auto& token : tokens_)
            NSDistributedNotificationCenter::defaultCenter()->removeObserver(token);
        sim::InputSources::reset();
    }
    void observe() {
        for (const char* name : {kTISNotifySelectedKeyboardInputSourceChanged,
                                 kTISNotifyEnabledKeyboardInputSourcesChanged})
            tokens_.push_back(NSDistributedNotificationCenter::defaultCenter()->addObserverForName(
                name, std::nullopt, nullptr,
                [this](const NSDistributedNotification& n) { posted_.push_back(n.name); }));
    }
    std::vector<std::shared_ptr<NSNotificationObserver>> tokens_;
    std::vector<std::string> posted_;
};

TEST_F(InputSourcesTest, StartsWithTheUSLayoutSelectedAndAloneEnabled) {
    auto current = TISCopyCurrentKeyboardLayoutInputSource();
    EXPECT_EQ(stringProperty(current, kTISPropertyInputSourceID), kUS);
    EXPECT_EQ(stringProperty(current, kTISPropertyLocalizedName), "U.S.");
    EXPECT_EQ(stringProperty(current, kTISPropertyInputModeID), "<none>");
    EXPECT_EQ(*TISGetInputSourceProperty(current, kTISPropertyInputSourceIsSelected), Value(true));
    EXPECT_EQ(TISCopyCurrentASCIICapableKeyboardInputSource(), current);
    auto enabled = TISCreateInputSourceList({}, false);
    ASSERT_TRUE(enabled);
    ASSERT_EQ(enabled->size(), 1u);
    EXPECT_EQ(enabled->front(), current);
    EXPECT_EQ(TISCreateInputSourceList({}, true)->size(), 6u);

    sim::InputSources::failNextSourceList();
    EXPECT_FALSE(TISCreateInputSourceList({}, false));
    EXPECT_TRUE(TISCreateInputSourceList({}, false));
}

TEST_F(InputSourcesTest, SelectingAndEnablingPostTheirNotifications) {
    observe();
    EXPECT_FALSE(sim::InputSources::select(kGerman)) << "a disabled source cannot be selected";
    EXPECT_TRUE(posted_.empty());
    EXPECT_TRUE(sim::InputSources::enable(kGerman));
    EXPECT_TRUE(sim::InputSources::select(kGerman));
    EXPECT_TRUE(sim::InputSources::select(kGerman));  // already selected: no change
    EXPECT_EQ(posted_, (std::vector<std::string>{kTISNotifyEnabledKeyboardInputSourcesChanged,
                                                 kTISNotifySelectedKeyboardInputSourceChanged}));
    EXPECT_FALSE(sim::InputSources::disable(kGerman)) << "the selected source stays enabled";
    EXPECT_FALSE(sim::InputSources::select("no.such.source"));
    EXPECT_EQ(stringProperty(TISCopyCurrentKeyboardLayoutInputSource(), kTISPropertyInputSourceID),
              kGerman);
}

TEST_F(InputSourcesTest, AnInputMethodHasNoLayoutAndLeavesTheASCIICapableLayout) {
    sim::InputSources::enable(kGerman);
    sim::InputSources::select(kGerman);
    sim::InputSources::enable(kJapanese, kJapanese + ".Katakana");
    sim::InputSources::select(kJapanese, kJapanese + ".Katakana");

    auto current = TISCopyCurrentKeyboardLayoutInputSource();
    EXPECT_EQ(stringProperty(current, kTISPropertyInputModeID), kJapanese + ".Katakana");
    EXPECT_EQ(TISGetInputSourceProperty(current, kTISPropertyUnicodeKeyLayoutData), nullptr);
    EXPECT_EQ(*TISGetInputSourceProperty(current, kTISPropertyInputSourceIsASCIICapable),
              Value(false));
    EXPECT_EQ(
        stringProperty(TISCopyCurrentASCIICapableKeyboardInputSource(), kTISPropertyInputSourceID),
        kGerman);
}

TEST_F(InputSourcesTest, InstalledSourcesMayLackOptionalProperties) {
    sim::InputSourceDescription bare;
    bare.id = "org.example.bare";
    bare.xkbLayout = "us";
    bare.reportsSelectedState = false;
    bare.enabled = true;
    sim::InputSources::install(bare);
    auto list = TISCreateInputSourceList({{kTISPropertyInputSourceID, Value(bare.id)}}, false);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(TISGetInputSourceProperty(list->front(), kTISPropertyLocalizedName), nullptr);
    EXPECT_EQ(TISGetInputSourceProperty(list->front(), kTISPropertyInputSourceIsSelected), nullptr);
}

struct TranslationCase {
    std::string source;
    UInt16 keyCode;
    UInt32 state;
    std::string expected;
};

TEST_F(InputSourcesTest, LayoutsTypeWhatTheirKeyboardDataSays) {
    const TranslationCase cases[] = {
        {kUS, 0, 0, "a"},      {kUS, 0, 2, "A"},         {kUS, 0, 4, "A"},       // caps lock
        {kUS, 18, 2, "!"},     {kUS, 50, 0, "`"},        {kUS, 83, 0, "1"},      // keypad
        {kUS, 49, 0, " "},     {kUS, 46, 1 | 0x10, "m"},                         // command, control
        {kUS, 56, 0, ""},      {kUS, 52, 0, ""},                                 // modifier, no key
        {kGerman, 6, 0, "y"},  {kGerman, 16, 0, "z"},    {kGerman, 12, 8, "@"},  // option
        {kGerman, 41, 0, "ö"}, {kFrench, 12, 0, "a"},    {kFrench, 0, 0, "q"},
        {kFrench, 18, 0, "&"}, {kFrench, 18, 2, "1"},    {kDvorak, 1, 0, "o"},
        {kDvorak, 6, 0, ";"},
    };
    for (const auto& c : cases) {
        UInt32 dead = 0;
        auto typed = type(layoutOf(c.source), c.keyCode, c.state, &dead);
        EXPECT_EQ(typed.status, noErr) << c.source << " " << c.keyCode;
        EXPECT_EQ(typed.text, c.expected) << c.source << " " << c.keyCode << " state " << c.state;
    }
}

TEST_F(InputSourcesTest, DeadKeysComposeWithTheNextKey) {
    const auto* german = layoutOf(kGerman);
    UInt32 dead = 0;
    // The key right of ß is the acute accent, a dead key.
    EXPECT_EQ(type(german, 24, 0, &dead, kUCKeyActionDisplay).text, "´");
    EXPECT_EQ(dead, 0u);
    EXPECT_EQ(type(german, 24, 0, &dead, kUCKeyActionDown, kUCKeyTranslateNoDeadKeysMask).text,
              "´");
    EXPECT_EQ(dead, 0u);

    auto first = type(german, 24, 0, &dead);
    EXPECT_EQ(first.status, noErr);
    EXPECT_EQ(first.text, "");
    EXPECT_NE(dead, 0u);
    EXPECT_EQ(type(german, 14, 0, &dead).text, "é");
    EXPECT_EQ(dead, 0u);

    type(german, 24, 0, &dead);
    EXPECT_EQ(type(german, 7, 0, &dead).text, "´x") << "no composition: the accent, then the key";
    EXPECT_EQ(dead, 0u);
}

TEST_F(InputSourcesTest, TranslationFailures) {
    UInt32 dead = 0;
    const auto* us = layoutOf(kUS);
    EXPECT_EQ(type(us, 128, 0, &dead).status, paramErr);
    EXPECT_EQ(type(us, 0, 0, &dead, 7).status, paramErr);
    EXPECT_EQ(type(us, 0, 0, &dead, kUCKeyActionDown, 0, 0).status, kUCOutputBufferTooSmall);
    EXPECT_EQ(type(us, 0, 0, &dead, kUCKeyActionUp).text, "");
    const char bogus[] = "not a layout";
    EXPECT_EQ(type(reinterpret_cast<const UCKeyboardLayout*>(bogus), 0, 0, &dead).status,
              kUCKeyLayoutBadFormat);
    const UniChar lone[] = {0xD800, u'a'};
    EXPECT_EQ(CFStringCreateWithCharacters(nullptr, lone, 2), "\uFFFDa");
    const UniChar pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(CFStringCreateWithCharacters(nullptr, pair, 2), "\U0001F600");
}

}  // namespace
