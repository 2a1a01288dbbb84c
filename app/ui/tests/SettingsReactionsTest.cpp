// What follows a change of the settings the windows write.

#include "app/settings/AppSettings.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/servicemanagement/SMLoginItem.h"
#include "services/analytics/APMAnalytics.h"
#include "services/crash/RZRCrashtrace.h"

namespace shelltest {
namespace {

using K = Defaults::Keys;
using SettingsReactionsTest = ShellTest;
constexpr const char* kHelper = "com.vantorel.Lumbrel-Helper";

TEST_F(SettingsReactionsTest, DataCollectionFollowsTheSetting) {
    Defaults::set(K::collectData(), false);
    launch();
    EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
    EXPECT_EQ(RZRCrashtrace::stickySetting(), 2);
    Defaults::set(K::collectData(), true);
    EXPECT_TRUE(APMAnalytics::isAnalyticsEnabled());
    EXPECT_EQ(RZRCrashtrace::stickySetting(), 1);
}

TEST_F(SettingsReactionsTest, NoEventIsKeptForAUserWhoNeverAgreedToShareData) {
    Defaults::set(K::collectData(), false);
    launch();
    sim::StatusBar::click(sim::MouseButton::right);  // toggles: a "mic_muted" event
    settle();
    ASSERT_TRUE(devicesMuted());
    EXPECT_TRUE(APMAnalytics::loggedEvents().empty());

    Defaults::set(K::collectData(), true);
    sim::StatusBar::click(sim::MouseButton::right);
    settle();
    EXPECT_EQ(eventCount("mic_muted"), 1u);
}

TEST_F(SettingsReactionsTest, LaunchAtLoginFollowsTheSetting) {
    launch();
    ASSERT_TRUE(sim::LoginItems::isEnabled(kHelper));
    Defaults::set(K::startOnLogin(), false);
    EXPECT_FALSE(sim::LoginItems::isEnabled(kHelper));
    EXPECT_EQ(lastEventParameter("changed_start_on_login", "mode"), "Off");
    EXPECT_TRUE(log_->contains("SMLoginItemSetEnabled change to 0 worked!"));
}

TEST_F(SettingsReactionsTest, AUserWhoTurnedLaunchAtLoginOffIsUnregisteredAtEveryLaunch) {
    Defaults::set(K::startOnLogin(), false);
    launch();
    auto requests = sim::LoginItems::requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].enabled);
    EXPECT_EQ(lastEventParameter("changed_start_on_login", "mode"), "Off");
}

TEST_F(SettingsReactionsTest, ARefusedChangeIsWrittenBack) {
    launch();
    sim::LoginItems::failNext();
    Defaults::set(K::startOnLogin(), false);
    EXPECT_TRUE(Defaults::get(K::startOnLogin()));
    EXPECT_TRUE(sim::LoginItems::isEnabled(kHelper));
    EXPECT_TRUE(log_->contains("SMLoginItemSetEnabled failed to set 0; reverting."));
    // The reverted value is reported from within the reaction to the refused one.
    EXPECT_EQ(eventCount("changed_start_on_login"), 2u);
}

TEST_F(SettingsReactionsTest, AServiceThatRefusesEverythingEndsAfterOneRevert) {
    launch();
    sim::LoginItems::reset();
    sim::LoginItems::refuseAll(true);
    Defaults::set(K::startOnLogin(), false);
    sim::LoginItems::refuseAll(false);
    EXPECT_EQ(sim::LoginItems::requests().size(), 2u);
    EXPECT_TRUE(Defaults::get(K::startOnLogin()));
    EXPECT_EQ(log_->count("SMLoginItemSetEnabled failed to set 0; reverting."), 1u);
    EXPECT_TRUE(log_->contains("SMLoginItemSetEnabled failed to set 1."));
}

TEST_F(SettingsReactionsTest, RightClickShowsMenuSwapsTheButtons) {
    launch();
    Defaults::set(K::rightClickShowsMenu(), true);
    EXPECT_EQ(Defaults::get(K::leftClickAction()), 1);
    EXPECT_EQ(Defaults::get(K::rightClickAction()), 0);
    EXPECT_EQ(lastEventParameter("changed_right_click", "action"), "Show Menu");
    sim::StatusBar::click(sim::MouseButton::left);
    settle();
    EXPECT_TRUE(allInputs("muted"));
    sim::StatusBar::click(sim::MouseButton::right);
    EXPECT_TRUE(sim::Menus::openMenu());
    sim::Menus::close();

    Defaults::set(K::rightClickShowsMenu(), false);
    EXPECT_EQ(Defaults::get(K::leftClickAction()), 0);
    EXPECT_EQ(Defaults::get(K::rightClickAction()), 1);
    EXPECT_EQ(lastEventParameter("changed_right_click", "action"), "Toggle Mute");
}

TEST_F(SettingsReactionsTest, IconAndNotificationChangesAreShownAndReported) {
    launch();
    Defaults::set(K::menubarIcon(), std::int64_t{0});
    EXPECT_EQ(sim::StatusBar::imageName(), "monochromeMic-on");
    EXPECT_TRUE(sim::StatusBar::imageIsTemplate());
    EXPECT_EQ(lastEventParameter("changed_menubar_icon", "iconName"), "Monochrome");
    Defaults::set(K::menubarIcon(), std::int64_t{1});
    EXPECT_EQ(lastEventParameter("changed_menubar_icon", "iconName"), "Colour");
    Defaults::set(K::menubarIcon(), std::int64_t{1});
    EXPECT_EQ(eventCount("changed_menubar_icon"), 2u) << "an unchanged value is not reported";

    Defaults::set(K::muteNotifications(), true);
    EXPECT_EQ(lastEventParameter("changed_notifications", "mode"), "On");
}

struct ModeChange {
    bool mutedBefore;
    std::int64_t mode;
    bool mutedAfter;
    const char* reported;
};

TEST_F(SettingsReactionsTest, AHoldModeSetsItsStateAndToggleRestoresTheFormerOne) {
    launch();
    for (const auto& c :
         {ModeChange{false, 1, true, "hold-to-talk"}, ModeChange{true, 0, false, "off"},
          ModeChange{true, 2, false, "hold-to-mute"}, ModeChange{false, 0, true, "off"},
          ModeChange{true, 9, true, "[Invalid]"}}) {
        if (devicesMuted() != c.mutedBefore) delegate_->setMuted(c.mutedBefore);
        Defaults::set(K::pushToTalk(), c.mode);
        settle();
        EXPECT_EQ(devicesMuted(), c.mutedAfter) << c.reported;
        EXPECT_TRUE(allInputs(c.mutedAfter ? "muted" : "live")) << c.reported;
        EXPECT_EQ(lastEventParameter("changed_push_to_talk", "mode"), c.reported);
    }
}

TEST_F(SettingsReactionsTest, ALaunchInPushToTalkKeepsTheMicrophonesMutedOnReturnToToggle) {
    Defaults::set(K::pushToTalk(), std::int64_t{1});
    launch();
    EXPECT_TRUE(Defaults::get(K::originalMuteValue()));
    EXPECT_EQ(lastEventParameter("changed_push_to_talk", "mode"), "hold-to-talk");
    Defaults::set(K::pushToTalk(), std::int64_t{0});
    EXPECT_TRUE(allInputs("muted"));
}

}  // namespace
}  // namespace shelltest
