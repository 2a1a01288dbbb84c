#include "platform/appkit/AppKit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bezel/BHBezelNotification.h"
#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/notifications/NSNotificationCenter.h"

namespace {

struct HelpDelegate : NSAlertDelegate {
    int calls = 0;
    bool alertShowHelp(NSAlert&) override {
        ++calls;
        return true;
    }
};

}  // namespace

TEST(AppKit, SettingScreensPostsTheScreenParametersNotification) {
    int posts = 0;
    auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::string(NSApplicationDidChangeScreenParametersNotification), nullptr, nullptr,
        [&](const NSNotification&) { ++posts; });
    EXPECT_EQ(NSScreen::screens().size(), 1u);
    sim::Screens::set({{"DELL U2720Q", {{0, 0}, {2560, 1440}}}, {"LG", {{2560, 0}, {1920, 1080}}}});
    EXPECT_EQ(posts, 1);
    ASSERT_EQ(NSScreen::screens().size(), 2u);
    EXPECT_EQ(NSScreen::mainScreen()->localizedName(), "DELL U2720Q");
    sim::Screens::set({});
    EXPECT_EQ(NSScreen::mainScreen(), nullptr);
    NSNotificationCenter::defaultCenter()->removeObserver(token);
    sim::Screens::reset();
}

TEST(AppKit, AlertsAreRecordedAndTheResponderCanPressHelp) {
    sim::Alerts::clear();
    auto delegate = std::make_shared<HelpDelegate>();
    sim::Alerts::setResponder([](NSAlert& alert) {
        if (auto d = alert.delegate()) d->alertShowHelp(alert);
        return NSAlertFirstButtonReturn;
    });
    NSAlert alert;
    alert.setDelegate(delegate);
    alert.setShowsHelp(true);
    alert.setMessageText("Bluetooth device detected");
    alert.addButtonWithTitle("I understand");
    alert.setAlertStyle(NSAlertStyle::critical);
    EXPECT_EQ(alert.runModal(), NSAlertFirstButtonReturn);
    EXPECT_EQ(delegate->calls, 1);
    auto shown = sim::Alerts::shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].buttons, std::vector<std::string>{"I understand"});
    EXPECT_EQ(shown[0].style, NSAlertStyle::critical);
    EXPECT_TRUE(shown[0].hadDelegate);
    sim::Alerts::resetResponder();
    sim::Alerts::clear();
}

TEST(AppKit, WorkspaceRecordsAndImagesComeFromTheBundle) {
    sim::Workspace::clear();
    NSWorkspace::sharedWorkspace()->openURL(
        "https://lumbrel.app/help/hardware-issues?source=macApp");
    EXPECT_EQ(sim::Workspace::openedURLs().size(), 1u);
    sim::Workspace::failNextLaunch();
    EXPECT_FALSE(NSWorkspace::sharedWorkspace()->launchApplication("Lumbrel"));
    EXPECT_TRUE(NSWorkspace::sharedWorkspace()->launchApplication("Lumbrel"));
    EXPECT_EQ(sim::Workspace::launchedApplications(), std::vector<std::string>{"Lumbrel"});

    namespace fs = std::filesystem;
    auto bundle = fs::temp_directory_path() / ("appkit-" + std::to_string(::getpid())) / "T.app";
    fs::create_directories(bundle / "Contents/Resources");
    std::ofstream(bundle / "Contents/Resources/colorMic-on.png") << "png";
    sim::setMainBundlePath(bundle.string());
    EXPECT_NE(NSImage::imageNamed("colorMic-on"), nullptr);
    EXPECT_EQ(NSImage::imageNamed("colorMic-off"), nullptr);
    sim::setMainBundlePath("");
    fs::remove_all(bundle.parent_path());
}

TEST(Bezel, ShownBezelsAreRecordedUntilTheirTimeRunsOutOrTheyAreTakenOff) {
    sim::useVirtualClock();
    sim::Bezels::clear();
    auto image = std::make_shared<NSImage>("notification-off");
    image->setTemplate(true);
    auto first = BHNotificationBezel::show(
        "Muted", image, BezelParameters::defaultLocation(), BezelParameters::defaultSize(),
        BezelTimeToLive::Seconds(0.75), 0.0, 0.25, 18, "", "", "", [] {});
    ASSERT_TRUE(sim::Bezels::current());
    EXPECT_EQ(sim::Bezels::current()->messageText, "Muted");
    EXPECT_TRUE(sim::Bezels::current()->iconIsTemplate);
    sim::advanceClock(sim::seconds(2));
    EXPECT_FALSE(sim::Bezels::current());
    first->dismiss();  // already gone: not counted as taken off
    EXPECT_FALSE(sim::Bezels::shown()[0].dismissed);

    auto second = BHNotificationBezel::show("Live", nullptr, {}, {}, BezelTimeToLive::Seconds(5), 0,
                                            0.25, 0, "", "", "", [] {});
    second->dismiss();
    EXPECT_TRUE(sim::Bezels::shown()[1].dismissed);
    EXPECT_EQ(sim::Bezels::shown()[1].iconName, "");
    EXPECT_FALSE(sim::Bezels::current());
    sim::useRealClock();
}
