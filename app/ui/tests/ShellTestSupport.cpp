#include "app/ui/tests/ShellTestSupport.h"

#include <unistd.h>

#include "app/audio/AudioHardware.h"
#include "app/audio/AudioSystem.h"
#include "app/hotkeys/HotKeyCenter.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/AppKit.h"
#include "platform/bezel/BHBezelNotification.h"
#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/console/Console.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"
#include "platform/process/NSTask.h"
#include "platform/servicemanagement/SMLoginItem.h"
#include "platform/updater/SUUpdater.h"
#include "services/analytics/APMAnalytics.h"
#include "services/core/VUVEzu.h"
#include "services/remoteconfig/DIROdadevOvered.h"

namespace shelltest {

void ShellTest::SetUp() {
    home_ = std::make_unique<uitest::TemporaryHome>("lumbrel-shell");
    sim::setLogEcho(false);
    sim::setMainBundlePath(LUMBREL_BUNDLE);
    sim::useVirtualClock();
    backend_ = std::make_unique<sim::Backend>();
    sim::setServiceHostOverride(backend_->url());
    NSUserDefaults::resetForTesting();
    // A user who agreed to share data: the tests follow the events sent.
    Defaults::set(Defaults::Keys::collectData(), true);
    sim::AudioHardware::reset();
    auto hardware = sharedAudioSystem()->hardware();
    hardware->stopDeviceMonitoring();
    hardware->startDeviceMonitoring();
    mac_ = sim::AudioHardware::installDefaultMac();
    DIROdadevOvered::resetForTesting();  // its database lives in this home
    DIROdadevOvered::remoteConfig()->activateValuesForTesting({});
    APMAnalytics::clearLoggedEventsForTesting();
    VUVEzu::resetApps();
    sim::Application::reset();
    sim::StatusBar::reset();
    sim::Menus::reset();
    sim::Windows::reset();
    sim::Screens::reset();
    sim::Bezels::clear();
    sim::Alerts::clear();
    sim::Alerts::resetResponder();
    sim::LoginItems::reset();
    sim::Updater::reset();
    sim::Workspace::clear();
    sim::Process::intercept(true);
    sim::Process::clear();
    sim::clearOperatingSystemVersion();
    sim::clearHostModel();
    log_ = std::make_unique<sim::LogCapture>();
}

void ShellTest::TearDown() {
    settle();
    sim::Application::reset();
    delegate_.reset();
    HotKeyCenter::shared()->unregisterAll();
    sim::StatusBar::reset();
    sim::Menus::reset();
    settle();
    // The process's facade outlives the test: its listener goes while the
    // hardware still has it, or the facade cannot be released at exit.
    sharedAudioSystem()->hardware()->stopDeviceMonitoring();
    sim::AudioHardware::reset();
    sim::MainLoop::runUntilIdle();
    sim::clearMainBundlePath();
    log_.reset();
    NSUserDefaults::resetForTesting();
    sim::clearServiceHostOverride();
    backend_.reset();
    DIROdadevOvered::resetForTesting();
    APMAnalytics::waitForPendingWorkForTesting();  // the engine writes into this home
    home_.reset();
}

AppDelegate& ShellTest::launch() {
    delegate_ = std::make_shared<AppDelegate>();
    NSApplication::sharedApplication()->setDelegate(delegate_);
    NSApplication::sharedApplication()->finishLaunching();
    settle();
    // The start-up fetch of remote values ends (and closes the auxiliary
    // windows) before the test goes on.
    sim::MainLoop::runUntil([] { return DIROdadevOvered::fetchAndActivateInFlight() == 0; },
                            std::chrono::seconds(30));
    settle();
    return *delegate_;
}

void ShellTest::settle() {
    sim::Console::settle();
}

std::string ShellTest::muteOf(AudioObjectID device) {
    auto muted = sim::AudioHardware::isMuted(device, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain);
    if (!muted) return "no mute";
    return *muted ? "muted" : "live";
}

bool ShellTest::allInputs(const std::string& state) const {
    for (auto device : {mac_.builtInMicrophone, mac_.usbMicrophone, mac_.bluetoothHeadset})
        if (muteOf(device) != state) return false;
    return true;
}

bool ShellTest::devicesMuted() {
    return Defaults::get(Defaults::Keys::devicesMuted());
}

std::size_t ShellTest::eventCount(const std::string& name) {
    return uitest::eventCount(name);
}

std::optional<std::string> ShellTest::lastEventParameter(const std::string& name,
                                                         const std::string& parameter) {
    return uitest::lastEventParameter(name, parameter);
}

void ShellTest::unplugAllInputs() {
    for (auto device : {mac_.builtInMicrophone, mac_.usbMicrophone, mac_.bluetoothHeadset})
        sim::AudioHardware::removeDevice(device);
    settle();
}

}  // namespace shelltest
