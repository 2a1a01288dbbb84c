#include "app/ui/KeyboardShortcutView.h"

#include <string>

#include "app/settings/AppSettings.h"
#include "app/ui/Theme.h"
#include "app/ui/tests/WindowTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/dispatch/MainLoop.h"

namespace windowtest {
namespace {

using K = Defaults::Keys;

constexpr std::uint16_t keyCodeK = 40;

class KeyboardShortcutViewTest : public WindowsTest {
  protected:
    void SetUp() override {
        WindowsTest::SetUp();
        didSaveNewShortcut() = false;
    }

    // The preferences' shortcut section in a key window.
    void show() {
        host_ = std::make_shared<NSHostingView>(View(HotKeyView()));
        window_ =
            std::make_shared<NSWindow>(NSRect{{100, 100}, {420, 120}}, NSWindowStyleMaskTitled,
                                       NSBackingStoreType::buffered, false);
        window_->setContentView(host_);
        window_->makeKeyAndOrderFront(nullptr);
        host_->update();
        for (const auto& view : host_->subviews())
            if (auto r = std::dynamic_pointer_cast<RecordView>(view)) recorder_ = r;
        ASSERT_NE(recorder_, nullptr);
    }
    void typeKey(std::uint16_t code, NSEventModifierFlags flags) {
        time_ += 0.05;
        window_->sendEvent(NSEvent::keyEvent(NSEventType::keyDown, flags, time_, code));
    }
    void flags(NSEventModifierFlags flags) {
        time_ += 0.05;
        window_->sendEvent(NSEvent::keyEvent(NSEventType::flagsChanged, flags, time_, 58));
    }

    struct Shortcut {
        std::int64_t keyCode;
        std::string keyCodeString;
        bool doubled;
        bool enabled;
        std::int64_t modifiers;
        std::string modifiersString;
        bool operator==(const Shortcut&) const = default;
    };
    static Shortcut stored() {
        return {Defaults::get(K::keyCode()),
                Defaults::get(K::keyCodeString()),
                Defaults::get(K::keyDoubleModifiers()),
                Defaults::get(K::keyEnabled()),
                Defaults::get(K::keyModifiers()),
                Defaults::get(K::keyModifiersString())};
    }

    std::shared_ptr<NSHostingView> host_;
    std::shared_ptr<NSWindow> window_;
    std::shared_ptr<RecordView> recorder_;
    double time_ = 10;
};

TEST_F(KeyboardShortcutViewTest, ClickingInAndAwayPutsThePreviousShortcutBack) {
    Defaults::set(K::keyCode(), std::int64_t{46});
    Defaults::set(K::keyModifiersString(), std::string("⇧⌘"));
    show();
    const auto before = stored();
    EXPECT_EQ(recorder_->clearButtonMode(), ClearButtonMode::whenRecorded);
    ASSERT_NE(recorder_->keyCombo(), nullptr);
    recorder_->display();
    EXPECT_FALSE(recorder_->clearButton()->isHidden());

    ASSERT_TRUE(recorder_->beginRecording());
    EXPECT_TRUE(recorder_->isRecording());
    EXPECT_EQ(recorder_->borderColor(), Theme::red());
    EXPECT_EQ(recorder_->tintColor(), Theme::red());
    EXPECT_EQ(recorder_->borderWidth(), 2);
    EXPECT_EQ(recorder_->cornerRadius(), 2);
    EXPECT_EQ(recorder_->keyCombo(), nullptr);
    EXPECT_FALSE(Defaults::get(K::keyEnabled()));  // the old hot key is off while typing
    EXPECT_FALSE(recorder_->focusRingMask());      // no ring while recording

    window_->makeFirstResponder(nullptr);  // click away
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_EQ(stored(), before);
    ASSERT_NE(recorder_->keyCombo(), nullptr);
    EXPECT_EQ(recorder_->keyCombo()->keyCode(), 46);
    EXPECT_EQ(recorder_->borderColor()->description(), "controlShadowColor");
    EXPECT_EQ(recorder_->tintColor()->description(), "controlAccentColor");
    EXPECT_EQ(recorder_->borderWidth(), defaultRecorderBorderWidth());
    EXPECT_EQ(recorder_->cornerRadius(), defaultRecorderCornerRadius());
    EXPECT_EQ(eventCount("changed_keyboard_shortcut"), 0u);
}

TEST_F(KeyboardShortcutViewTest, WithNoShortcutClickingInAndAwayLeavesItOff) {
    Defaults::set(K::keyEnabled(), false);
    show();
    EXPECT_EQ(recorder_->keyCombo(), nullptr);
    ASSERT_TRUE(recorder_->beginRecording());
    window_->makeFirstResponder(nullptr);
    EXPECT_FALSE(Defaults::get(K::keyEnabled()));
    EXPECT_EQ(recorder_->keyCombo(), nullptr);
}

struct RecordCase {
    const char* name;
    std::function<void(KeyboardShortcutViewTest&)> type;
};

TEST_F(KeyboardShortcutViewTest, ARecordedCombinationIsStoredAndReported) {
    show();
    ASSERT_TRUE(recorder_->beginRecording());
    typeKey(keyCodeK, NSEventModifierFlagOption | NSEventModifierFlagCommand);
    EXPECT_FALSE(recorder_->isRecording());  // the recorder ends the recording itself
    auto s = stored();
    EXPECT_EQ(s.keyCode, keyCodeK);
    EXPECT_TRUE(s.enabled);
    EXPECT_FALSE(s.doubled);
    EXPECT_EQ(s.modifiers, 0x800 | 0x100);
    EXPECT_EQ(s.modifiersString, "⌥⌘");
    EXPECT_EQ(lastEventParameter("changed_keyboard_shortcut", "double_tap"), "Off");
    EXPECT_EQ(lastEventParameter("changed_keyboard_shortcut", "shortcut"), "⌥⌘" + s.keyCodeString);
    EXPECT_FALSE(didSaveNewShortcut());

    // A double tap of Option.
    ASSERT_TRUE(recorder_->beginRecording());
    flags(NSEventModifierFlagOption);
    flags(0);
    flags(NSEventModifierFlagOption);
    flags(0);
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_EQ(stored(), (Shortcut{0, "", true, true, 0x800, "⌥ (twice)"}));
    EXPECT_EQ(lastEventParameter("changed_keyboard_shortcut", "double_tap"), "On");
    EXPECT_EQ(lastEventParameter("changed_keyboard_shortcut", "shortcut"), "⌥ (twice)");
    EXPECT_EQ(eventCount("changed_keyboard_shortcut"), 2u);
    sim::MainLoop::runUntilIdle();
}

TEST_F(KeyboardShortcutViewTest, TheClearButtonOutsideARecordingOnlyTurnsTheShortcutOff) {
    show();
    const auto before = stored();
    recorder_->display();
    ASSERT_FALSE(recorder_->clearButton()->isHidden());
    ASSERT_TRUE(recorder_->clearButton()->performClick());
    auto after = stored();
    EXPECT_FALSE(after.enabled);
    after.enabled = true;
    EXPECT_EQ(after, before);
    EXPECT_EQ(recorder_->keyCombo(), nullptr);
    recorder_->display();
    EXPECT_TRUE(recorder_->clearButton()->isHidden());
    EXPECT_EQ(eventCount("changed_keyboard_shortcut"), 0u);
}

TEST_F(KeyboardShortcutViewTest, TheViewTreeShowsWhatTheRecorderShows) {
    show();
    EXPECT_NE(host_->dump().find("KeyboardShortcutView(shortcut ⇧⌘ M) ["), std::string::npos)
        << host_->dump();
    ASSERT_TRUE(recorder_->beginRecording());
    EXPECT_NE(host_->dump().find("KeyboardShortcutView(no shortcut, recording) ["),
              std::string::npos)
        << host_->dump();
    window_->makeFirstResponder(nullptr);
}

TEST_F(KeyboardShortcutViewTest, TheRecorderKeepsALiveDelegateWhenTheSectionIsBuiltAnew) {
    show();
    Defaults::set(K::pushToTalk(), std::int64_t{2});
    host_->update();  // a new section value, with a new delegate
    host_->update();
    ASSERT_NE(recorder_->delegate(), nullptr);
    ASSERT_TRUE(recorder_->beginRecording());
    EXPECT_EQ(recorder_->borderColor(), Theme::red());
    window_->makeFirstResponder(nullptr);
}

TEST_F(KeyboardShortcutViewTest, TheSectionLaysOutTheRecorderInTheControlColumn) {
    show();
    auto* label = host_->find("Keyboard shortcut:");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(up(label, "frame")->frame().size.width, 152);
    EXPECT_EQ(recorder_->frame().size, (NSSize{240, 32}));
    EXPECT_NE(host_->find("Select this field to record a key combination to toggle your mic."),
              nullptr);
    ASSERT_TRUE(host_->click("Learn more."));
    EXPECT_EQ(openedURLs(),
              std::vector<std::string>{
                  "https://lumbrel.vantorel.com/help/keyboard-shortcut?source=macApp"});
}

}  // namespace
}  // namespace windowtest
