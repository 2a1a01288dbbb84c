// Update checks, the update delegate and the runtime face of the delegate.

#include "app/settings/AppSettings.h"
#include "app/ui/FloatingWindows.h"
#include "app/ui/LoginItem.h"
#include "app/ui/UpdaterDelegate.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/dispatch/Timer.h"
#include "platform/runtime/Runtime.h"
#include "platform/servicemanagement/SMLoginItem.h"
#include "platform/updater/SUUpdater.h"

namespace shelltest {
namespace {

using K = Defaults::Keys;
using ServicesTest = ShellTest;

TEST_F(ServicesTest, AManualCheckCreatesTheUpdaterWithItsDelegate) {
    auto& app = launch();
    ASSERT_EQ(app.softwareUpdater(), nullptr);
    app.checkForUpdates(nullptr);
    ASSERT_NE(app.softwareUpdater(), nullptr);
    EXPECT_EQ(app.softwareUpdater()->delegate(), id(UpdaterDelegate::shared()));
    auto checks = sim::Updater::checks(app.softwareUpdater().get());
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_TRUE(checks[0].userInitiated);
}

TEST_F(ServicesTest, AFoundUpdateKeepsThePlainWindowsFloating) {
    auto& app = launch();
    auto window = std::make_shared<NSWindow>(NSRect{{0, 0}, {400, 300}}, NSWindowStyleMaskTitled,
                                             NSBackingStoreType::buffered, false);
    window->orderFront(nullptr);
    sim::Updater::offerUpdate("2.0");
    app.checkForUpdates(nullptr);
    settle();
    EXPECT_EQ(window->level(), NSFloatingWindowLevel);
    ASSERT_NE(app.floatingWindows().timer(), nullptr);
    app.floatingWindows().timer()->invalidate();
    window->close();
}

TEST_F(ServicesTest, TheLoginItemReportsWhatTheServiceDid) {
    EXPECT_TRUE(setLaunchAtLogin(true));
    EXPECT_TRUE(log_->contains("SMLoginItemSetEnabled change to 1 worked!"));
    sim::LoginItems::failNext();
    EXPECT_FALSE(setLaunchAtLogin(true));
    EXPECT_TRUE(log_->contains("SMLoginItemSetEnabled failed to set 1; reverting."));
    EXPECT_FALSE(Defaults::get(K::startOnLogin()));
}

TEST_F(ServicesTest, TheDelegateAnswersItsActionsThroughTheRuntime) {
    auto& app = launch();
    auto shared = NSApplication::sharedApplication();
    // Analytics wraps the delegate in a proxy subclass of its own class.
    Class cls = object_getClass(&app);
    while (cls != nullptr && std::string(class_getName(cls)) != "Lumbrel.AppDelegate")
        cls = class_getSuperclass(cls);
    EXPECT_NE(cls, nullptr) << app.className();
    for (const char* action :
         {"toggleMuteFromMenuWithSender:", "quitWithSender:", "checkForUpdatesWithSender:",
          "openHelpWithSender:", "toggleMicStatusWindowWithSender:",
          "openPreferencesWindowWithSender:", "openAboutWindowWithSender:",
          "statusBarButtonClicked", "switchHandler:"})
        EXPECT_EQ(shared->targetForAction(action), id(delegate_)) << action;
    EXPECT_TRUE(shared->sendAction("toggleMuteFromMenuWithSender:", nullptr, nullptr));
    settle();
    EXPECT_TRUE(allInputs("muted"));
}

}  // namespace
}  // namespace shelltest
