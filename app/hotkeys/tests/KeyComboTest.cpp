#include "app/hotkeys/KeyCombo.h"

#include <gtest/gtest.h>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/input/InputSources.h"
#include "platform/input/NSEvent.h"

namespace {

// Writes whatever keys an archive of a key combination may hold, as older
// versions and damaged files do.
class RawCombo : public NSObject, public NSCoding {
  public:
    Dictionary fields;
    std::string className() const override { return "KeyCombo"; }
    bool supportsSecureCoding() const override { return true; }
    void encodeWithCoder(NSCoder& coder) const override {
        for (const auto& [name, value] : fields) {
            if (value.isBool())
                coder.encodeBool(*value.asBool(), name);
            else if (value.isInteger())
                coder.encodeInteger(*value.asInt(), name);
            else
                coder.encodeObject(value, name);
        }
    }
};

std::shared_ptr<KeyCombo> unarchive(const Dictionary& fields) {
    auto raw = std::make_shared<RawCombo>();
    raw->fields = fields;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(raw, true);
    if (!data) return nullptr;
    return NSKeyedUnarchiver::unarchivedObjectOfClass("KeyCombo", *data).as<KeyCombo>();
}

std::shared_ptr<KeyCombo> roundTripArchive(const std::shared_ptr<KeyCombo>& combo) {
    NSError error;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(combo, true, &error);
    if (!data) return nullptr;
    return NSKeyedUnarchiver::unarchivedObjectOfClass("KeyCombo", *data, &error).as<KeyCombo>();
}

}  // namespace

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

TEST(KeyCombo, BothArchiveFormsRoundTrip) {
    const std::shared_ptr<KeyCombo> combos[] = {
        KeyCombo::initWithQWERTYKeyCode(46, NSEventModifierFlagCommand | NSEventModifierFlagShift),
        KeyCombo::initWithDoubledCocoaModifiers(NSEventModifierFlagOption),
        KeyCombo::init(Key::f5, 0),
        KeyCombo::init(Key::keypadEnter, NSEventModifierFlagControl),
    };
    for (const auto& combo : combos) {
        ASSERT_NE(combo, nullptr);
        auto archived = roundTripArchive(combo);
        ASSERT_NE(archived, nullptr) << combo->description();
        EXPECT_TRUE(archived->isEqual(*combo)) << combo->description();

        nlohmann::json json = *combo;
        auto decoded = json.get<std::shared_ptr<KeyCombo>>();
        ASSERT_NE(decoded, nullptr);
        EXPECT_TRUE(decoded->isEqual(*combo)) << json.dump();
    }
    EXPECT_EQ(nlohmann::json(*combos[0]),
              nlohmann::json::parse(R"({"key":"m","modifiers":768,"doubledModifiers":false})"));
    EXPECT_EQ(nlohmann::json(*combos[1]),
              nlohmann::json::parse(R"({"key":"a","modifiers":2048,"doubledModifiers":true})"));
}

TEST(KeyCombo, KeyedArchivesOfEveryVintage) {
    // Older archives name the key by its QWERTY code; "keyCode" wins.
    auto legacy = unarchive({{"keyCode", 0}, {"QWERTYKeyCode", 46}, {"modifiers", 0x100}});
    ASSERT_NE(legacy, nullptr);
    EXPECT_EQ(legacy->key(), Key::a);
    EXPECT_EQ(legacy->modifiers(), 0x100);
    auto older = unarchive({{"QWERTYKeyCode", 46}, {"modifiers", 0x100}});
    ASSERT_NE(older, nullptr);
    EXPECT_EQ(older->key(), Key::m);
    // A double tap needs no key at all.
    auto doubled = unarchive({{"doubledModifiers", true}, {"modifiers", 0x1000}});
    ASSERT_NE(doubled, nullptr);
    EXPECT_EQ(doubled->key(), Key::a);
    EXPECT_TRUE(doubled->doubledModifiers());
    // Modifiers are taken as archived, even ones the initialisers refuse.
    auto bare = unarchive({{"key", "q"}});
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->modifiers(), 0);
    auto copy = bare->copy();
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->isEqual(*bare));

    EXPECT_EQ(unarchive({{"key", "keypadenter"}, {"modifiers", 0x100}}), nullptr);
    EXPECT_EQ(unarchive({{"key", 12}, {"modifiers", 0x100}}), nullptr);
    EXPECT_EQ(unarchive({{"keyCode", 52}, {"modifiers", 0x100}}), nullptr);
}

TEST(KeyCombo, JSONDecodingErrors) {
    using nlohmann::json;
    auto decode = [](const char* text) { return KeyCombo::decode(json::parse(text)); };
    EXPECT_EQ(decode(R"({"keyCode":0,"QWERTYKeyCode":46,"modifiers":256,"doubledModifiers":false})")
                  ->key(),
              Key::a);
    EXPECT_EQ(decode(R"({"QWERTYKeyCode":46,"modifiers":256,"doubledModifiers":false})")->key(),
              Key::m);
    EXPECT_THROW(decode(R"({"QWERTYKeyCode":52,"modifiers":256,"doubledModifiers":false})"),
                 KeyCombo::InitializeError);
    EXPECT_THROW(decode(R"({"key":"m","modifiers":256})"), json::out_of_range);
    EXPECT_THROW(decode(R"({"key":"m","doubledModifiers":false})"), json::out_of_range);
    EXPECT_THROW(decode(R"({"key":"m","modifiers":true,"doubledModifiers":false})"),
                 json::type_error);
    EXPECT_THROW(decode(R"({"key":"m","modifiers":256,"doubledModifiers":0})"), json::type_error);
    EXPECT_THROW(decode(R"({"key":"nope","modifiers":256,"doubledModifiers":false})"),
                 json::exception);
    EXPECT_THROW(decode(R"({"modifiers":256,"doubledModifiers":false})"), json::out_of_range);
    EXPECT_EQ(KeyCombo::codingKeyFromString("QWERTYKeyCode"), KeyCombo::CodingKeys::QWERTYKeyCode);
    EXPECT_FALSE(KeyCombo::codingKeyFromString("qwertyKeyCode"));
}

class KeyComboLayouts : public ::testing::Test {
  protected:
    void SetUp() override { sim::InputSources::reset(); }
    void TearDown() override { sim::InputSources::reset(); }
};

TEST_F(KeyComboLayouts, KeyNamesFollowTheSelectedLayout) {
    auto z = KeyCombo::init(Key::z, NSEventModifierFlagCommand | NSEventModifierFlagShift);
    EXPECT_EQ(z->currentKeyCode(), 6);
    EXPECT_EQ(z->characters(), "Z");
    EXPECT_EQ(z->keyEquivalent(), "Z");
    EXPECT_EQ(KeyCombo::init(Key::z, NSEventModifierFlagCommand)->keyEquivalent(), "z");
    EXPECT_EQ(KeyCombo::init(Key::one, NSEventModifierFlagShift)->keyEquivalent(), "1")
        << "only letters take shift into their key equivalent";

    sim::InputSources::enable("com.apple.keylayout.German");
    sim::InputSources::select("com.apple.keylayout.German");
    EXPECT_EQ(z->currentKeyCode(), 16);
    EXPECT_EQ(z->keyCode(), 6) << "the stored code stays the QWERTY one";
    EXPECT_EQ(z->characters(), "Z");
    EXPECT_EQ(KeyCombo::init(Key::one, NSEventModifierFlagShift)->characters(), "!");

    sim::InputSources::enable("com.apple.keylayout.French");
    sim::InputSources::select("com.apple.keylayout.French");
    auto m = KeyCombo::initWithQWERTYKeyCode(46, NSEventModifierFlagCommand);
    EXPECT_EQ(m->currentKeyCode(), 41);
    EXPECT_EQ(m->characters(), "m");
}

TEST_F(KeyComboLayouts, FromEvents) {
    auto event = [](NSEventType type, std::uint16_t code, NSEventModifierFlags flags) {
        return NSEvent::keyEvent(type, flags, 1.0, code);
    };
    EXPECT_EQ(keyCombo(*NSEvent::mouseEvent(NSEventType::leftMouseDown, 0, 1.0)), nullptr);
    EXPECT_EQ(keyCombo(*event(NSEventType::keyDown, 0, 0)), nullptr);
    auto combo = keyCombo(*event(NSEventType::keyDown, 6, NSEventModifierFlagCommand));
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->key(), Key::z);
    EXPECT_EQ(keyCombo(*event(NSEventType::keyDown, 52, NSEventModifierFlagCommand)), nullptr);

    sim::InputSources::enable("com.apple.keylayout.German");
    sim::InputSources::select("com.apple.keylayout.German");
    EXPECT_EQ(keyCombo(*event(NSEventType::keyUp, 6, NSEventModifierFlagCommand))->key(), Key::y);
}
