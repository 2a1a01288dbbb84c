// The status item: its image, its click actions and its menu.

#include "app/settings/AppSettings.h"
#include "app/ui/AppWindows.h"
#include "app/ui/StatusImage.h"
#include "app/ui/StatusItemController.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/updater/SUUpdater.h"

namespace shelltest {
namespace {

using K = Defaults::Keys;
using StatusItemTest = ShellTest;

struct ImageCase {
    std::int64_t menubarIcon;
    bool muted;
    const char* name;
    bool isTemplate;
};

TEST_F(StatusItemTest, TheButtonShowsStateAndStyle) {
    launch();
    for (const auto& c :
         {ImageCase{1, true, "colorMic-off", false}, ImageCase{1, false, "colorMic-on", false},
          ImageCase{0, false, "monochromeMic-on", true},
          ImageCase{0, true, "monochromeMic-off", true}}) {
        Defaults::set(K::menubarIcon(), c.menubarIcon);
        delegate_->setMuted(c.muted);
        EXPECT_EQ(sim::StatusBar::imageName(), c.name);
        EXPECT_EQ(sim::StatusBar::imageIsTemplate(), c.isTemplate) << c.name;
        EXPECT_EQ(sim::StatusBar::accessibilityTitle(),
                  c.muted ? "Lumbrel: Mic Off" : "Lumbrel: Mic On");
    }
}

TEST_F(StatusItemTest, ImageNamesCoverEveryTypeAndStyle) {
    Defaults::set(K::devicesMuted(), true);
    Defaults::set(K::menubarIcon(), std::int64_t{0});
    EXPECT_EQ(statusImageName(IconType::large, 1, false), "colorMic-off-large");
    EXPECT_EQ(statusImageName(IconType::large, 1, true), "monochromeMic-off-large");
    EXPECT_EQ(statusImageName(IconType::bezel, 0, false), "notification-off");
    Defaults::set(K::devicesMuted(), false);
    EXPECT_EQ(statusImageName(IconType::menuBar, 7, false), "colorMic-on");
    auto image = statusImage(IconType::large, 1, false, false);
    ASSERT_NE(image, nullptr);
    EXPECT_FALSE(image->isTemplate());
}

TEST_F(StatusItemTest, BeforeOnboardingTheMenuOffersLess) {
    launch();
    ASSERT_EQ(sim::StatusBar::click(sim::MouseButton::left), sim::ClickOutcome::actionSent);
    auto items = sim::Menus::items();
    std::vector<std::string> titles;
    for (const auto& item : items) titles.push_back(item.separator ? "-" : item.title);
    EXPECT_EQ(titles,
              (std::vector<std::string>{"Mute", "-", "Show Status Window", "Preferences…", "-",
                                        "About Lumbrel", "Help", "-", "Quit Lumbrel"}));
    EXPECT_FALSE(items[2].enabled);
    EXPECT_FALSE(items[3].enabled);
    EXPECT_EQ(items[3].keyEquivalent, "");
    EXPECT_EQ(items[8].keyEquivalent, "q");
    EXPECT_TRUE(items[0].enabled);
}

TEST_F(StatusItemTest, AfterOnboardingEveryCommandWorks) {
    auto& app = launch();
    Defaults::set(K::hasCompletedOnboarding(), true);
    settle();
    EXPECT_FALSE(app.windows().isOnboardingWindowOpen());
    ASSERT_NE(app.softwareUpdater(), nullptr);

    auto choose = [](const std::string& title) {
        sim::StatusBar::click(sim::MouseButton::left);
        bool chosen = sim::Menus::choose(title);
        settle();
        return chosen;
    };
    sim::StatusBar::click(sim::MouseButton::left);
    auto items = sim::Menus::items();
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items[3].keyEquivalent, ",");
    EXPECT_EQ(items[6].title, "Check for Updates…");
    sim::Menus::close();

    EXPECT_TRUE(choose("Show Status Window"));
    EXPECT_TRUE(app.windows().isStatusWindowOpen());
    sim::StatusBar::click(sim::MouseButton::left);
    EXPECT_EQ(sim::Menus::items()[2].title, "Hide Status Window");
    sim::Menus::close();
    EXPECT_TRUE(choose("Preferences…"));
    EXPECT_TRUE(app.windows().isPreferencesWindowOpen());
    EXPECT_TRUE(choose("About Lumbrel"));
    EXPECT_TRUE(app.windows().isAboutWindowOpen());
    EXPECT_TRUE(choose("Help"));
    EXPECT_EQ(sim::Workspace::openedURLs(), std::vector<std::string>{AppDelegate::helpURL()});
    EXPECT_TRUE(choose("Check for Updates…"));
    EXPECT_EQ(sim::Updater::checks(app.softwareUpdater().get()).size(), 1u);
    EXPECT_EQ(eventCount("manually_checked_for_updates"), 1u);
}

TEST_F(StatusItemTest, EachButtonPerformsItsChosenAction) {
    auto& app = launch();
    // Defaults: the left button shows the menu, the right one toggles.
    EXPECT_EQ(sim::StatusBar::click(sim::MouseButton::left), sim::ClickOutcome::actionSent);
    EXPECT_TRUE(sim::Menus::openMenu());
    sim::Menus::close();
    EXPECT_EQ(sim::StatusBar::attachedMenu(), nullptr) << "the closed menu stays detached";

    sim::StatusBar::click(sim::MouseButton::right);
    settle();
    EXPECT_TRUE(allInputs("muted"));
    EXPECT_EQ(lastEventParameter("mic_muted", "source"), "Menubar: Icon");
    sim::StatusBar::click(sim::MouseButton::left, NSEventModifierFlagControl);
    settle();
    EXPECT_TRUE(allInputs("live"));
    EXPECT_FALSE(sim::Menus::openMenu());

    Defaults::set(K::rightClickAction(), std::int64_t{0});
    Defaults::set(K::leftClickAction(), std::int64_t{2});
    sim::StatusBar::click(sim::MouseButton::right);
    EXPECT_TRUE(sim::Menus::openMenu());
    sim::Menus::close();
    sim::StatusBar::click(sim::MouseButton::left);
    settle();
    EXPECT_TRUE(app.windows().isStatusWindowOpen());
}

TEST_F(StatusItemTest, TheMenuPopsUpUnderTheButton) {
    launch();
    sim::StatusBar::click(sim::MouseButton::left);
    auto button = sim::StatusBar::item()->button();
    EXPECT_EQ(sim::Menus::lastLocation().x, -1);
    EXPECT_EQ(sim::Menus::lastLocation().y, NSMaxY(button->bounds()) + 5);
    EXPECT_EQ(sim::Menus::lastView(), std::static_pointer_cast<NSObject>(button));
    EXPECT_EQ(sim::Menus::lastPositioningItem(), nullptr);
}

TEST_F(StatusItemTest, AnAppearanceChangeRebuildsTheMenuInTheNewAppearance) {
    auto& app = launch();
    auto before = app.statusItemController().statusMenu();
    sim::Appearance::setDark(true);
    auto after = app.statusItemController().statusMenu();
    ASSERT_NE(after, before);
    ASSERT_NE(after->appearance(), nullptr);
    EXPECT_EQ(after->appearance()->name(),
              NSApplication::sharedApplication()->effectiveAppearance()->name());
    EXPECT_EQ(after->title(), "Lumbrel");
}

}  // namespace
}  // namespace shelltest
