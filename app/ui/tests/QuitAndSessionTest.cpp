// Quitting when the microphones cannot all be restored, and the session
// handler reached through the runtime.

#include "app/settings/AppSettings.h"
#include "app/ui/tests/ShellTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/process/NSTask.h"
#include "platform/runtime/Runtime.h"

namespace shelltest {
namespace {

using K = Defaults::Keys;
using QuitAndSessionTest = ShellTest;

const std::string kCleanUpProblem = "Problem cleaning up Lumbrel audio MuteManager.";

void chooseQuit() {
    sim::StatusBar::click(sim::MouseButton::left);
    ASSERT_TRUE(sim::Menus::choose("Quit Lumbrel"));
}

TEST_F(QuitAndSessionTest, AQuitThatCannotRestoreEveryMicrophoneKeepsGuardingThem) {
    Defaults::set(K::devicesMuted(), true);
    launch();
    ASSERT_TRUE(allInputs("muted"));
    sim::AudioHardware::failNextSet(
        mac_.usbMicrophone,
        {kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, kAudioObjectPropertyElementMain},
        kAudioHardwareIllegalOperationError);
    chooseQuit();
    settle();
    EXPECT_FALSE(sim::Application::isTerminated());
    EXPECT_EQ(log_->count(kCleanUpProblem), 1u);
    // The microphones that were unmuted are muted again, as the status item
    // still says.
    EXPECT_TRUE(devicesMuted());
    EXPECT_TRUE(allInputs("muted"));

    // Still guarded: a microphone unmuted by another program is muted again,
    // and one plugged in later is muted.
    sim::AudioHardware::setMute(mac_.builtInMicrophone, kAudioObjectPropertyScopeInput,
                                kAudioObjectPropertyElementMain, false);
    auto later = sim::AudioHardware::addDevice(sim::AudioDeviceConfig::usbMicrophone("USB-MIC-9"));
    settle();
    EXPECT_EQ(muteOf(mac_.builtInMicrophone), "muted");
    EXPECT_EQ(muteOf(later), "muted");

    // The next Quit restores everything and ends.
    chooseQuit();
    settle();
    EXPECT_TRUE(sim::Application::isTerminated());
    EXPECT_TRUE(allInputs("live"));
    EXPECT_EQ(muteOf(later), "live");
    EXPECT_EQ(log_->count(kCleanUpProblem), 1u);
}

TEST_F(QuitAndSessionTest, TheRuntimeSessionHandlerFollowsItsNotification) {
    Defaults::set(K::devicesMuted(), true);
    auto& app = launch();
    ASSERT_TRUE(allInputs("muted"));
    struct Case {
        std::any argument;
        const char* inputs;
    } cases[] = {
        {NSNotification{NSWorkspaceSessionDidResignActiveNotification, nullptr, {}}, "live"},
        {NSNotification{NSWorkspaceSessionDidBecomeActiveNotification, nullptr, {}}, "muted"},
        {NSNotification{NSWorkspaceSessionDidResignActiveNotification, nullptr, {}}, "live"},
        {id(), "muted"},  // no notification: the session is ours again
    };
    for (const auto& c : cases) {
        objc_msgSend<void>(&app, "switchHandler:", c.argument);
        settle();
        EXPECT_TRUE(allInputs(c.inputs)) << c.inputs;
        EXPECT_TRUE(devicesMuted());
    }
}

}  // namespace
}  // namespace shelltest
