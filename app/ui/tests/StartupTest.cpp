// Launch, initialisation, the remote-configuration completion, fast user
// switching, the floating windows and quitting.

#include "app/hotkeys/HotKey.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppWindows.h"
#include "app/ui/FloatingWindows.h"
#include "app/ui/StatusItemController.h"
#include "app/ui/UpdaterDelegate.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/bezel/BHBezelNotification.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Timer.h"
#include "platform/input/Keyboard.h"
#include "platform/process/NSTask.h"
#include "platform/servicemanagement/SMLoginItem.h"
#include "platform/updater/SUUpdater.h"
#include "services/analytics/APMAnalytics.h"

namespace shelltest {
namespace {

using K = Defaults::Keys;

using StartupTest = ShellTest;

std::size_t cannotMuteBezels() {
    std::size_t n = 0;
    for (const auto& bezel : sim::Bezels::shown())
        if (bezel.messageText == "Mute error") ++n;
    return n;
}

TEST_F(StartupTest, AFirstLaunchStartsLiveWithOnboardingAndRegistersEverything) {
    auto& app = launch();
    EXPECT_TRUE(app.hasInitializedApp());
    EXPECT_TRUE(allInputs("live"));
    EXPECT_FALSE(devicesMuted());
    EXPECT_TRUE(app.windows().isOnboardingWindowOpen());
    EXPECT_FALSE(app.windows().isStatusWindowOpen());
    EXPECT_TRUE(app.windows().isObservingScreenChanges());
    EXPECT_EQ(app.softwareUpdater(), nullptr);
    ASSERT_NE(app.hotKeyListener(), nullptr);
    EXPECT_EQ(sim::Keyboard::registeredHotKeys().size(), 1u);
    EXPECT_EQ(sim::StatusBar::imageName(), "colorMic-on");
    EXPECT_TRUE(
        NSUserDefaults::standardUserDefaults()->boolForKey("NSApplicationCrashOnExceptions"));
    // The default of launch at login is on: the helper is registered although
    // the setting was never written.
    EXPECT_TRUE(sim::LoginItems::isEnabled("com.vantorel.Lumbrel-Helper"));
    EXPECT_EQ(eventCount("changed_start_on_login"), 0u);
}

struct LaunchState {
    std::int64_t pushToTalk;
    bool storedMuted;
    bool startsMuted;
};

void PrintTo(const LaunchState& c, std::ostream* out) {
    *out << "mode " << c.pushToTalk << (c.storedMuted ? ", stored muted" : ", stored live");
}

class LaunchStateTest : public ShellTest, public ::testing::WithParamInterface<LaunchState> {};

TEST_P(LaunchStateTest, ThePushToTalkModeDecidesTheFirstState) {
    Defaults::set(K::pushToTalk(), GetParam().pushToTalk);
    Defaults::set(K::devicesMuted(), GetParam().storedMuted);
    launch();
    EXPECT_EQ(devicesMuted(), GetParam().startsMuted);
    EXPECT_TRUE(allInputs(GetParam().startsMuted ? "muted" : "live"));
    EXPECT_EQ(sim::StatusBar::imageName(), GetParam().startsMuted ? "colorMic-off" : "colorMic-on");
}

INSTANTIATE_TEST_SUITE_P(Modes, LaunchStateTest,
                         ::testing::Values(LaunchState{0, true, true}, LaunchState{0, false, false},
                                           LaunchState{1, false, true}, LaunchState{2, true, false},
                                           LaunchState{5, true, true}));

TEST_F(StartupTest, AnOnboardedUserGetsTheUpdaterAndTheStatusWindowAtOnce) {
    Defaults::set(K::hasCompletedOnboarding(), true);
    Defaults::set(K::showStatusWindow(), true);
    auto& app = launch();
    ASSERT_NE(app.softwareUpdater(), nullptr);
    EXPECT_EQ(app.softwareUpdater()->delegate(), id(UpdaterDelegate::shared()));
    EXPECT_TRUE(app.windows().isStatusWindowOpen());
    EXPECT_FALSE(app.windows().isOnboardingWindowOpen());
}

TEST_F(StartupTest, InitialisingTwiceChangesNothing) {
    auto& app = launch();
    auto hotKey = app.hotKeyListener();
    auto item = app.statusItemController().statusItem();
    Defaults::set(K::devicesMuted(), true);
    app.initializeApp();
    settle();
    EXPECT_EQ(app.hotKeyListener(), hotKey);
    EXPECT_EQ(app.statusItemController().statusItem(), item);
    EXPECT_TRUE(allInputs("live"));
}

TEST_F(StartupTest, WithoutMicrophonesALiveStateIsStoredAndTheErrorShownTwice) {
    unplugAllInputs();
    Defaults::set(K::devicesMuted(), false);
    launch();
    EXPECT_FALSE(devicesMuted());
    EXPECT_EQ(cannotMuteBezels(), 2u);
    EXPECT_TRUE(log_->contains("No compatible input devices found."));
}

TEST_F(StartupTest, AMutedStateSurvivesALaunchWithoutMicrophones) {
    unplugAllInputs();
    Defaults::set(K::devicesMuted(), true);
    launch();
    EXPECT_TRUE(devicesMuted());
    EXPECT_EQ(sim::StatusBar::imageName(), "colorMic-off");

    auto mic = sim::AudioHardware::addDevice(sim::AudioDeviceConfig::usbMicrophone("USB-LATER"));
    settle();
    EXPECT_EQ(muteOf(mic), "muted");
}

TEST_F(StartupTest, PushToTalkWithoutMicrophonesKeepsTheMutedIntention) {
    unplugAllInputs();
    Defaults::set(K::pushToTalk(), std::int64_t{1});
    launch();
    EXPECT_TRUE(devicesMuted());
    EXPECT_EQ(sim::StatusBar::imageName(), "colorMic-off");
}

TEST_F(StartupTest, AFailedRemoteFetchIsReportedAndTheRestStillRuns) {
    auto& app = launch();
    app.openPreferencesWindow(nullptr);
    app.openAboutWindow(nullptr);
    auto menu = app.statusItemController().statusMenu();

    app.remoteConfigFetched(NSError("com.zevera.remoteconfig.ErrorDomain", 8003));
    EXPECT_TRUE(log_->contains("Error fetching Reruzera Remote Config values."));
    ASSERT_EQ(eventCount("remote_config_error"), 1u);
    auto events = APMAnalytics::loggedEvents();
    for (const auto& event : events) {
        if (event.name == "remote_config_error") {
            EXPECT_EQ(event.parameters["error_code"].asInt(), 8003);
        }
    }
    EXPECT_FALSE(app.windows().isPreferencesWindowOpen());
    EXPECT_FALSE(app.windows().isAboutWindowOpen());
    EXPECT_NE(app.statusItemController().statusMenu(), menu);

    log_->clear();
    app.remoteConfigFetched(std::nullopt);
    EXPECT_FALSE(log_->contains("Error fetching Reruzera Remote Config values."));
    EXPECT_EQ(eventCount("remote_config_error"), 1u);
}

TEST_F(StartupTest, AnotherUsersSessionGetsLiveMicrophonesAndOursGetsThemBack) {
    Defaults::set(K::devicesMuted(), true);
    auto& app = launch();
    ASSERT_TRUE(allInputs("muted"));

    sim::Workspace::resignSessionActive();
    settle();
    EXPECT_TRUE(allInputs("live"));
    EXPECT_TRUE(devicesMuted());

    auto oldHotKey = app.hotKeyListener();
    sim::Workspace::becomeSessionActive();
    settle();
    EXPECT_TRUE(allInputs("muted"));
    EXPECT_NE(app.hotKeyListener(), oldHotKey);
    EXPECT_EQ(sim::Keyboard::registeredHotKeys().size(), 1u);
}

TEST_F(StartupTest, QuittingRestoresEveryMicrophoneAndTerminates) {
    Defaults::set(K::devicesMuted(), true);
    launch();
    ASSERT_TRUE(allInputs("muted"));
    sim::StatusBar::click(sim::MouseButton::left);
    ASSERT_TRUE(sim::Menus::choose("Quit Lumbrel"));
    settle();
    EXPECT_TRUE(sim::Application::isTerminated());
    EXPECT_TRUE(allInputs("live"));
    EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
    EXPECT_FALSE(log_->contains("Problem cleaning up Lumbrel audio MuteManager."));
}

TEST_F(StartupTest, QuittingWithTheStatusWindowOpenKeepsItForTheNextLaunch) {
    Defaults::set(K::devicesMuted(), true);
    Defaults::set(K::hasCompletedOnboarding(), true);
    Defaults::set(K::showStatusWindow(), true);
    auto& app = launch();
    ASSERT_TRUE(app.windows().isStatusWindowOpen());
    ASSERT_TRUE(allInputs("muted"));

    sim::StatusBar::click(sim::MouseButton::left);
    ASSERT_TRUE(sim::Menus::choose("Quit Lumbrel"));
    settle();
    EXPECT_TRUE(sim::Application::isTerminated());
    EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
    EXPECT_TRUE(allInputs("live"));

    // What the next launch reads: the window was open when Lumbrel quit.
    NSUserDefaults::resetForTesting();
    EXPECT_TRUE(Defaults::get(K::showStatusWindow()));
}

TEST_F(StartupTest, KeepingWindowsFloatingRunsOneTimerForPlainWindowsOnly) {
    auto& app = launch();
    auto window = std::make_shared<NSWindow>(NSRect{{0, 0}, {300, 200}}, NSWindowStyleMaskTitled,
                                             NSBackingStoreType::buffered, false);
    auto panel = std::make_shared<NSPanel>(NSRect{{0, 0}, {100, 100}}, NSWindowStyleMaskTitled,
                                           NSBackingStoreType::buffered, false);
    window->orderFront(nullptr);
    panel->orderFront(nullptr);

    app.keepWindowsFloating();
    auto first = app.floatingWindows().timer();
    app.keepWindowsFloating();
    EXPECT_FALSE(first->isValid());
    EXPECT_TRUE(app.floatingWindows().timer()->isValid());
    EXPECT_EQ(window->level(), NSFloatingWindowLevel);
    EXPECT_EQ(window->collectionBehavior(), NSWindowCollectionBehaviorCanJoinAllSpaces);
    EXPECT_EQ(panel->level(), NSNormalWindowLevel);

    window->setLevel(NSNormalWindowLevel);
    sim::advanceAndRun(sim::seconds(2.1));
    EXPECT_EQ(window->level(), NSFloatingWindowLevel);
    app.floatingWindows().timer()->invalidate();
    window->close();
    panel->close();
}

}  // namespace
}  // namespace shelltest
