// The global shortcut in its three modes and as a double tap, the mute
// changes behind it, and what it shows.

#include <functional>

#include "app/hotkeys/HotKey.h"
#include "app/hotkeys/RecordView.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppWindows.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/bezel/BHBezelNotification.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/input/Keyboard.h"
#include "platform/swiftui/NSHostingView.h"

namespace shelltest {
namespace {

using K = Defaults::Keys;
constexpr UInt16 kKeyM = 46;
constexpr NSEventModifierFlags kShiftCommand =
    NSEventModifierFlagShift | NSEventModifierFlagCommand;

class ShortcutTest : public ShellTest {
  protected:
    void press() {
        sim::Keyboard::press(kKeyM, kShiftCommand);
        settle();
    }
    void release() {
        sim::Keyboard::release(kKeyM);
        settle();
    }
    void doubleTapCommand() {
        sim::Keyboard::tapModifier(NSEventModifierFlagCommand);
        sim::advanceAndRun(sim::seconds(0.05));
        sim::Keyboard::tapModifier(NSEventModifierFlagCommand);
        settle();
        sim::advanceAndRun(sim::seconds(1));
    }
};

struct ModeCase {
    std::int64_t pushToTalk;
    bool startMuted;
    bool afterPress;
    bool afterRelease;
    const char* source;
};

void PrintTo(const ModeCase& c, std::ostream* out) {
    *out << "mode " << c.pushToTalk << (c.startMuted ? ", muted" : ", live");
}

class ShortcutModeTest : public ShortcutTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ShortcutModeTest, PressAndReleaseFollowTheMode) {
    const auto& c = GetParam();
    Defaults::set(K::pushToTalk(), c.pushToTalk);
    Defaults::set(K::devicesMuted(), c.startMuted);
    Defaults::set(K::muteNotifications(), true);
    launch();
    ASSERT_TRUE(allInputs(c.startMuted ? "muted" : "live"));

    press();
    EXPECT_EQ(devicesMuted(), c.afterPress);
    EXPECT_TRUE(allInputs(c.afterPress ? "muted" : "live"));
    EXPECT_EQ(lastEventParameter("mic_muted", "source"), c.source);
    EXPECT_EQ(lastEventParameter("mic_muted", "shortcut"), "⇧⌘M");
    ASSERT_TRUE(sim::Bezels::current());
    EXPECT_EQ(sim::Bezels::current()->messageText, c.afterPress ? "Muted" : "Live");

    release();
    EXPECT_EQ(devicesMuted(), c.afterRelease);
    EXPECT_TRUE(allInputs(c.afterRelease ? "muted" : "live"));
    EXPECT_EQ(eventCount("mic_muted"), 1u) << "a release sends no event";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ShortcutModeTest,
    ::testing::Values(ModeCase{0, false, true, true, "Keyboard: toggle"},
                      ModeCase{0, true, false, false, "Keyboard: toggle"},
                      ModeCase{1, true, false, true, "Keyboard: Hold to speak"},
                      ModeCase{2, false, true, false, "Keyboard: Hold to mute"}));

TEST_F(ShortcutTest, ADoubleTapToggles) {
    Defaults::set(K::keyDoubleModifiers(), true);
    Defaults::set(K::keyModifiers(), std::int64_t{0x100});
    Defaults::set(K::keyModifiersString(), std::string("⌘ (twice)"));
    Defaults::set(K::pushToTalk(), std::int64_t{0});
    launch();
    doubleTapCommand();
    EXPECT_TRUE(devicesMuted());
    EXPECT_TRUE(allInputs("muted"));
    EXPECT_EQ(lastEventParameter("mic_muted", "source"), "Keyboard: toggle");
    doubleTapCommand();
    EXPECT_FALSE(devicesMuted());
}

TEST_F(ShortcutTest, ADoubleTapTogglesEvenInAHoldMode) {
    Defaults::set(K::keyDoubleModifiers(), true);
    Defaults::set(K::keyModifiers(), std::int64_t{0x100});
    Defaults::set(K::pushToTalk(), std::int64_t{2});
    auto& app = launch();
    ASSERT_FALSE(devicesMuted());
    app.hotKeyDown();
    EXPECT_TRUE(devicesMuted());
    app.hotKeyDown();
    EXPECT_FALSE(devicesMuted());
}

TEST_F(ShortcutTest, NoBezelWhileNotificationsAreOff) {
    launch();
    press();
    EXPECT_TRUE(devicesMuted());
    EXPECT_FALSE(sim::Bezels::current());
}

TEST_F(ShortcutTest, WithoutMicrophonesMutingIsRefusedAndUnmutingStored) {
    auto& app = launch();
    unplugAllInputs();
    sim::Bezels::clear();
    app.setMuted(true);
    EXPECT_FALSE(devicesMuted());
    EXPECT_TRUE(log_->contains("No compatible input devices found."));
    ASSERT_TRUE(sim::Bezels::current());
    EXPECT_EQ(sim::Bezels::current()->messageText, "Mute error");

    Defaults::set(K::devicesMuted(), true);
    app.setMuted(false);
    EXPECT_FALSE(devicesMuted());
}

TEST_F(ShortcutTest, TheShortcutFollowsItsSettings) {
    auto& app = launch();
    Defaults::set(K::keyEnabled(), false);
    settle();
    EXPECT_TRUE(sim::Keyboard::registeredHotKeys().empty());
    press();
    release();
    EXPECT_FALSE(devicesMuted());

    Defaults::set(K::keyEnabled(), true);
    Defaults::set(K::keyCode(), std::int64_t{0});  // A
    settle();
    ASSERT_EQ(sim::Keyboard::registeredHotKeys().size(), 1u);
    EXPECT_EQ(sim::Keyboard::registeredHotKeys()[0].keyCode, 0u);
    sim::Keyboard::pressAndRelease(0, kShiftCommand);
    settle();
    EXPECT_TRUE(devicesMuted());

    // The double-tap flag alone is not observed.
    auto hotKey = app.hotKeyListener();
    Defaults::set(K::keyDoubleModifiers(), true);
    settle();
    EXPECT_EQ(app.hotKeyListener(), hotKey);
}

TEST_F(ShortcutTest, TheMenuCommandTogglesWithoutABezel) {
    Defaults::set(K::muteNotifications(), true);
    launch();
    sim::StatusBar::click(sim::MouseButton::left);
    ASSERT_TRUE(sim::Menus::choose("Mute"));
    settle();
    EXPECT_TRUE(allInputs("muted"));
    EXPECT_EQ(lastEventParameter("mic_muted", "source"), "Menubar: Dropdown List Item");
    EXPECT_FALSE(lastEventParameter("mic_muted", "shortcut"));
    EXPECT_FALSE(sim::Bezels::current());
}

std::shared_ptr<RecordView> findRecorder(const std::shared_ptr<NSView>& view) {
    if (!view) return nullptr;
    if (auto recorder = std::dynamic_pointer_cast<RecordView>(view)) return recorder;
    for (const auto& sub : view->subviews())
        if (auto recorder = findRecorder(sub)) return recorder;
    return nullptr;
}

TEST_F(ShortcutTest, ClosingThePreferencesWhileRecordingKeepsTheShortcut) {
    struct Case {
        const char* how;
        std::function<void(AppDelegate&, NSWindow&)> close;
    };
    const Case cases[] = {
        {"close button",
         [](AppDelegate&, NSWindow& window) { sim::Windows::clickCloseButton(window); }},
        {"auxiliary windows closed",
         [](AppDelegate& app, NSWindow&) { app.closeAuxiliaryWindows(); }},
    };
    auto& app = launch();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        app.openPreferencesWindow(nullptr);
        auto window = app.windows().window("preferences");
        ASSERT_NE(window, nullptr);
        sim::Views::host(*window)->update();
        auto recorder = findRecorder(window->contentView());
        ASSERT_NE(recorder, nullptr);
        ASSERT_TRUE(recorder->beginRecording());
        settle();
        ASSERT_TRUE(sim::Keyboard::registeredHotKeys().empty());

        c.close(app, *window);
        settle();
        EXPECT_FALSE(app.windows().isPreferencesWindowOpen());
        EXPECT_FALSE(recorder->isRecording());
        EXPECT_TRUE(Defaults::get(K::keyEnabled()));
        EXPECT_EQ(Defaults::get(K::keyCode()), kKeyM);
        EXPECT_EQ(sim::Keyboard::registeredHotKeys().size(), 1u);
        press();
        release();
        EXPECT_TRUE(devicesMuted());
        press();
        release();
        EXPECT_FALSE(devicesMuted());
    }
}

struct DescriptionCase {
    const char* modifiers;
    const char* key;
    bool doubled;
    const char* expected;
};

TEST_F(ShortcutTest, TheShortcutIsWrittenOutInWords) {
    auto& app = launch();
    for (const auto& c : {DescriptionCase{"⇧⌘", "M", false, "Shift + Command + M"},
                          DescriptionCase{"⌃⌥", "K", false, "Control + Option + K"},
                          DescriptionCase{"⌘ (twice)", "", true, "Command (twice)"},
                          DescriptionCase{"⌥ (twice)", "X", true, "Option (twice)"}}) {
        Defaults::set(K::keyModifiersString(), std::string(c.modifiers));
        Defaults::set(K::keyCodeString(), std::string(c.key));
        Defaults::set(K::keyDoubleModifiers(), c.doubled);
        EXPECT_EQ(app.shortcutDescription(), c.expected);
    }
}

}  // namespace
}  // namespace shelltest
