#include "app/mute/tests/MuteTestSupport.h"

#include <unistd.h>

#include "app/audio/AudioNotifications.h"
#include "app/audio/AudioSystem.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/bezel/BHBezelNotification.h"
#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/iokit/IOKit.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/process/NSTask.h"
#include "services/analytics/ZAROduzozovaTesting.h"
#include "services/remoteconfig/DIROdadevOvered.h"

namespace mutetest {

std::shared_ptr<NSImage> FakeHost::statusImage(StatusImageKind) const {
    auto image = NSImage::imageNamed(
        Defaults::get(Defaults::Keys::devicesMuted()) ? "notification-off" : "notification-on");
    if (image) image->setTemplate(Defaults::get(Defaults::Keys::menubarIcon()) != 1);
    return image;
}

void MuteEngineTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    home_ = std::filesystem::temp_directory_path() /
            ("lumbrel-mute-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" +
             info->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    homeOverride_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
    sim::setLogEcho(false);
    NSUserDefaults::resetForTesting();
    SimHardware::reset();
    // The process's one facade outlives each test's hardware: it listens
    // anew to this one and forgets the devices of the last.
    auto hardware = sharedAudioSystem()->hardware();
    hardware->stopDeviceMonitoring();
    hardware->startDeviceMonitoring();
    log_ = std::make_unique<sim::LogCapture>();
    DIROdadevOvered::resetForTesting();  // its database lives in this home
    DIROdadevOvered::remoteConfig()->setDefaults(Dictionary{});
    setRemote({});
    sim::configureDefaultAppForAnalytics();  // analytics takes events from a configured app
    APMAnalytics::clearLoggedEventsForTesting();
    sim::Alerts::clear();
    sim::Alerts::resetResponder();
    sim::Workspace::clear();
    sim::Bezels::clear();
    sim::Process::intercept(true);
    sim::Process::clear();
    sim::clearOperatingSystemVersion();
    sim::clearHostModel();
    sim::clearPlatformExpertModelData();
    sim::Screens::reset();
    sim::Application::reset();
    host_ = std::make_shared<FakeHost>();
    NSApplication::sharedApplication()->setDelegate(host_);
}

void MuteEngineTest::TearDown() {
    engine_.reset();
    if (host_) {
        host_->engine.reset();
        host_->clamshell.reset();
    }
    settle();
    sim::Application::reset();
    host_.reset();
    // The process's facade outlives the test: its listener goes while the
    // hardware still has it, or the facade cannot be released at exit.
    sharedAudioSystem()->hardware()->stopDeviceMonitoring();
    SimHardware::reset();
    sim::MainLoop::runUntilIdle();
    sim::clearMainBundlePath();
    sim::clearOperatingSystemVersion();
    sim::clearHostModel();
    sim::clearPlatformExpertModelData();
    sim::Screens::reset();
    log_.reset();
    NSUserDefaults::resetForTesting();
    DIROdadevOvered::resetForTesting();
    APMAnalytics::waitForPendingWorkForTesting();  // the engine writes into this home
    homeOverride_.reset();
    std::filesystem::remove_all(home_);
}

void MuteEngineTest::setRemote(const std::map<std::string, std::string>& values) {
    DIROdadevOvered::remoteConfig()->activateValuesForTesting(values);
}

void MuteEngineTest::settle() {
    for (int round = 0; round < 100; ++round) {
        SimHardware::flush();
        if (sim::MainLoop::runUntilIdle() == 0 && sim::MainLoop::pendingCount() == 0) {
            SimHardware::flush();
            if (sim::MainLoop::pendingCount() == 0) return;
        }
    }
    ADD_FAILURE() << "the engine did not settle";
}

std::shared_ptr<MuteManager> MuteEngineTest::makeEngine() {
    engine_ = MuteManager::create(host_->clamshell);
    host_->engine = engine_;
    settle();
    return engine_;
}

std::size_t MuteEngineTest::muteWrites(AudioObjectID id) {
    std::size_t n = 0;
    for (const auto& write : SimHardware::writes(kAudioDevicePropertyMute))
        if (write.object == id && write.address.mScope == kAudioObjectPropertyScopeInput) ++n;
    return n;
}

std::vector<AudioObjectID> MuteEngineTest::ids(const MuteManager::Devices& devices) {
    std::vector<AudioObjectID> out;
    for (const auto& d : devices) out.push_back(d->objectID);
    return out;
}

std::vector<APMLoggedEvent> MuteEngineTest::events(const std::string& name) {
    std::vector<APMLoggedEvent> out;
    for (const auto& event : APMAnalytics::loggedEvents())
        if (event.name == name) out.push_back(event);
    return out;
}

std::size_t MuteEngineTest::observers(const std::string& name) {
    return sim::observerCount(*NSNotificationCenter::defaultCenter(), name);
}

std::filesystem::path MuteEngineTest::makeBundle() {
    auto bundle = home_ / "Lumbrel.app";
    std::filesystem::create_directories(bundle / "Contents" / "Resources" / "en.lproj");
    sim::setMainBundlePath(bundle.string());
    return bundle;
}

}  // namespace mutetest
