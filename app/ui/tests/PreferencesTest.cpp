#include "app/ui/PreferencesView.h"

#include <string>
#include <vector>

#include "app/settings/AppSettings.h"
#include "app/ui/PreferenceSections.h"
#include "app/ui/tests/WindowTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/bundle/NSProcessInfo.h"

namespace windowtest {
namespace {

using K = Defaults::Keys;

class PreferencesTest : public WindowsTest {};

std::vector<std::string> sectionKinds(NSHostingView& h) {
    std::vector<std::string> kinds;
    for (auto* n : h.findAll([](const RenderNode& n) {
             return n.kind().find("View") != std::string::npos && n.kind() != "PreferencesView" &&
                    n.kind() != "HotKeyRecorderView" && n.kind() != "KeyboardShortcutView";
         }))
        kinds.push_back(n->kind());
    return kinds;
}

struct SystemCase {
    NSOperatingSystemVersion version;
    double shortcutTop;
    double shortcutLeading;
    double privacyBottom;
};

TEST_F(PreferencesTest, SixSectionsInOrderWithTheInsetsOfTheSystem) {
    for (const auto& c : {SystemCase{{11, 6, 0}, 0, 0, 0}, SystemCase{{12, 0, 0}, 16, -2, 16},
                          SystemCase{{14, 1, 0}, 16, -2, 16}}) {
        SCOPED_TRACE(c.version.majorVersion);
        sim::setOperatingSystemVersion(c.version);
        auto h = host(View(PreferencesView()), {480, 520});
        auto kinds = sectionKinds(*h);
        ASSERT_EQ(kinds.size(), 6u);
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            static const char* expected[] = {"HotKeyView",         "PushToTalkView",
                                             "MenuBarDisplayView", "NotificationsView",
                                             "StartupView",        "PrivacyView"};
            EXPECT_NE(kinds[i].find(expected[i]), std::string::npos) << kinds[i];
        }
        auto* shortcut = h->root()->find(
            [](const RenderNode& n) { return n.kind().find("HotKeyView") != std::string::npos; });
        double top = 0, leading = 0;
        for (auto* n = shortcut->parent(); n && n->kind() == "padding"; n = n->parent()) {
            top += n->padding().top;
            leading += n->padding().leading;
        }
        EXPECT_EQ(top, c.shortcutTop);
        EXPECT_EQ(leading, c.shortcutLeading);
        auto* privacy = h->root()->find(
            [](const RenderNode& n) { return n.kind().find("PrivacyView") != std::string::npos; });
        auto* parent = privacy->parent();
        EXPECT_EQ(parent->kind() == "padding" ? parent->padding().bottom : 0, c.privacyBottom);
        // Every label ends at the same place: one right-aligned column.
        for (const char* label : {"Keyboard shortcut:", "Push-to-talk:", "Menu bar icon:",
                                  "Notifications:", "Startup:", "Privacy:"}) {
            auto* frame = up(h->find(label), "frame");
            ASSERT_NE(frame, nullptr) << label;
            EXPECT_EQ(frame->frame().size.width, 152) << label;
            EXPECT_NEAR(NSMaxX(h->find(label)->frame()), NSMaxX(frame->frame()), 1e-9) << label;
        }
    }
}

TEST_F(PreferencesTest, ADoubleTapShortcutRefusesThePushModesWithoutChangingTheStoredMode) {
    Defaults::set(K::keyDoubleModifiers(), true);
    Defaults::set(K::pushToTalk(), std::int64_t{1});
    auto h = host(View(PushToTalkView()), {480, 120});
    auto* picker = h->find("Push-to-talk settings");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(picker->kind(), "Picker");
    EXPECT_EQ(picker->selectedTitle(), "Not available");
    EXPECT_EQ(picker->options().size(), 3u);
    EXPECT_TRUE(picker->isDisabled());
    EXPECT_FALSE(h->pick("Push-to-talk settings", "Not available"));
    EXPECT_NE(h->find("Push-to-talk cannot be used with a double-tap shortcut."), nullptr);
    EXPECT_EQ(Defaults::get(K::pushToTalk()), 1);

    // An ordinary shortcut recorded elsewhere brings the mode back at once.
    Defaults::set(K::keyDoubleModifiers(), false);
    settle();
    picker = h->find("Push-to-talk settings");
    EXPECT_EQ(picker->selectedTitle(), "Hold to speak");
    EXPECT_FALSE(picker->isDisabled());
    EXPECT_NE(h->find("Hold your shortcut to speak. Your mic will be muted the rest of the time."),
              nullptr);
}

struct ModeCase {
    std::int64_t stored;
    std::optional<std::string> selected;
    const char* help;  // null: none
};

TEST_F(PreferencesTest, ThePushToTalkPickerWritesAtOnceAndExplainsTheMode) {
    auto h = host(View(PushToTalkView()), {480, 120});
    ASSERT_TRUE(h->pick("Push-to-talk settings", "Hold to mute"));
    EXPECT_EQ(Defaults::get(K::pushToTalk()), 2);
    for (const auto& c :
         {ModeCase{0, "Disabled",
                   "Press your keyboard shortcut to toggle your mic's mute settings."},
          ModeCase{2, "Hold to mute",
                   "Hold your shortcut to mute your mic. You'll be live the rest of the time."},
          ModeCase{9, std::nullopt, nullptr}}) {
        SCOPED_TRACE(c.stored);
        Defaults::set(K::pushToTalk(), c.stored);
        settle();
        EXPECT_EQ(h->find("Push-to-talk settings")->selectedTitle(), c.selected);
        auto helps = h->findAll([](const RenderNode& n) {
            return n.kind() == "Text" && n.font() == Font::system(11) && n.text() != "Learn more.";
        });
        if (c.help) {
            ASSERT_EQ(helps.size(), 1u);
            EXPECT_EQ(helps[0]->text(), c.help);
            EXPECT_EQ(up(helps[0], "frame")->frame().size, (NSSize{240, 32}));
        } else {
            EXPECT_TRUE(helps.empty());
        }
        EXPECT_NE(h->find("Learn more."), nullptr);
    }
}

TEST_F(PreferencesTest, MenuBarIconAndRightClickWriteOnlyTheirOwnSettings) {
    auto h = host(View(MenuBarDisplayView()), {480, 120});
    auto* picker = h->find("Menu bar icon");
    EXPECT_EQ(picker->selectedTitle(), "Colour");
    EXPECT_EQ(picker->options()[0].tag, 1);
    EXPECT_EQ(picker->options()[1].tag, 0);
    auto images = [&] {
        std::vector<std::string> names;
        for (auto* n : h->findAll([](const RenderNode& n) { return n.kind() == "Image"; }))
            names.push_back(n->text());
        return names;
    };
    EXPECT_EQ(images(), (std::vector<std::string>{"colorMic-off", "colorMic-on"}));
    EXPECT_FALSE(h->find("Right click to show menu")->isOn());

    ASSERT_TRUE(h->pick("Menu bar icon", "Greyscale"));
    EXPECT_EQ(Defaults::get(K::menubarIcon()), 0);
    EXPECT_EQ(images(), (std::vector<std::string>{"monochromeMic-off", "monochromeMic-on"}));
    EXPECT_FALSE(Defaults::get(K::rightClickShowsMenu()));
    ASSERT_TRUE(h->toggle("Right click to show menu"));
    EXPECT_TRUE(Defaults::get(K::rightClickShowsMenu()));
    EXPECT_EQ(Defaults::get(K::menubarIcon()), 0);

    Defaults::set(K::menubarIcon(), std::int64_t{4});
    settle();
    EXPECT_EQ(h->find("Menu bar icon")->selectedTitle(), std::nullopt);
}

struct ToggleCase {
    const char* label;
    const Defaults::Key<bool>* key;
    bool initially;
};

TEST_F(PreferencesTest, CheckBoxesShowTheStoredValuesAndWriteThemAtOnce) {
    auto page = host(View(PreferencesView()), {480, 520});
    for (const auto& c :
         {ToggleCase{"Show notification on mute toggle", &K::muteNotifications(), false},
          ToggleCase{"Launch Lumbrel at login", &K::startOnLogin(), true},
          ToggleCase{"Automatically check for updates", &K::SUEnableAutomaticChecks(), true},
          ToggleCase{"Send crash reports & statistics", &K::collectData(), false}}) {
        SCOPED_TRACE(c.label);
        ASSERT_NE(page->find(c.label), nullptr);
        EXPECT_EQ(page->find(c.label)->isOn(), c.initially);
        ASSERT_TRUE(page->toggle(c.label));
        EXPECT_EQ(Defaults::get(*c.key), !c.initially);
        // A write from elsewhere (a refused login item) moves the box back.
        Defaults::set(*c.key, c.initially);
        settle();
        EXPECT_EQ(page->find(c.label)->isOn(), c.initially);
    }
    auto startup = host(View(StartupView(false)), {480, 80});
    EXPECT_NE(startup->find("Launch Lumbrel at login"), nullptr);
    EXPECT_EQ(startup->find("Automatically check for updates"), nullptr);
    auto privacy = host(View(PrivacyView()), {480, 120});
    EXPECT_NE(
        privacy->find("Share anonymous usage data and crash reports to help improve Lumbrel."),
        nullptr);
}

struct LinkCase {
    View section;
    const char* url;
};

TEST_F(PreferencesTest, LearnMoreOpensTheHelpPageOfEachSection) {
    for (const auto& c :
         {LinkCase{View(PushToTalkView()),
                   "https://lumbrel.vantorel.com/help/push-to-talk?source=macApp"},
          LinkCase{View(PrivacyView()), "https://lumbrel.vantorel.com/privacy?source=macApp"}}) {
        sim::Workspace::clear();
        auto h = host(c.section, {480, 160});
        ASSERT_TRUE(h->click("Learn more."));
        EXPECT_EQ(openedURLs(), std::vector<std::string>{c.url});
    }
    EXPECT_EQ(Defaults::get(K::collectData()), false);
}

}  // namespace
}  // namespace windowtest
