#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "app/audio/AudioNotifications.h"
#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSAlert.h"

namespace mutetest {
namespace {

const std::string kInconsistent = "Mute is inconsistent, so refreshing devices.";

class ObservationTest : public MuteEngineTest {
  protected:
    // The shell's set-muted: store the intention and apply it.
    void setMuted(bool muted) {
        Defaults::set(Defaults::Keys::devicesMuted(), muted);
        MuteManager::setMute(muted,
                             engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, false));
        settle();
    }
    std::size_t muteObservers() { return observers(AudioNotificationName::deviceMuteDidChange()); }
};

TEST_F(ObservationTest, NoInputDevicesStillObservesListAndDefaultInput) {
    makeEngine();
    EXPECT_TRUE(engine_->muteObservers().empty());
    EXPECT_EQ(muteObservers(), 0u);
    EXPECT_EQ(observers(AudioNotificationName::deviceListChanged()), 1u);
    EXPECT_EQ(observers(AudioNotificationName::defaultInputDeviceChanged()), 1u);
    EXPECT_TRUE(APMAnalytics::loggedEvents().empty());
}

TEST_F(ObservationTest, MuteFlippedByAnotherProgramIsRewrittenOnce) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    makeEngine();
    setMuted(true);
    SimHardware::clearWrites();
    SimHardware::setMute(usb, kAudioObjectPropertyScopeInput, 0, false);
    settle();
    EXPECT_EQ(isMuted(usb), true);
    EXPECT_EQ(muteWrites(usb), 1u);
    EXPECT_EQ(log_->count(kInconsistent), 1u);
    EXPECT_EQ(engine_->lastMuteState(), MuteState::muted);
}

TEST_F(ObservationTest, ConsistentNotificationChangesNothing) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    makeEngine();
    SimHardware::clearWrites();
    SimHardware::announce(usb, {{kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0}});
    settle();
    EXPECT_EQ(muteWrites(usb), 0u);
    EXPECT_EQ(log_->count(kInconsistent), 0u);

    // An unmuted intention is defended as well.
    SimHardware::setMute(usb, kAudioObjectPropertyScopeInput, 0, true);
    settle();
    EXPECT_EQ(isMuted(usb), false);
    EXPECT_EQ(log_->count(kInconsistent), 1u);
}

TEST_F(ObservationTest, UnreadableMuteDoesNotMakeEveryNotificationRewrite) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto broken = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone("USB-MIC-0002"));
    makeEngine();
    setMuted(true);
    SimHardware::failNextGet(broken, {kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0},
                             kAudioHardwareIllegalOperationError, -1);
    SimHardware::clearWrites();
    log_->clear();
    SimHardware::setMute(usb, kAudioObjectPropertyScopeInput, 0, false);
    settle();
    // The flipped device is put back once; its own notification then finds
    // it right, although the combined state stays "mixed".
    EXPECT_EQ(isMuted(usb), true);
    EXPECT_EQ(muteWrites(usb), 1u);
    EXPECT_EQ(muteWrites(broken), 0u);
    EXPECT_EQ(log_->count(kInconsistent), 1u);
    SimHardware::clearFailures();
}

TEST_F(ObservationTest, UnreadableMuteIsStillDefended) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto broken = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone("USB-MIC-0002"));
    makeEngine();
    setMuted(true);
    SimHardware::failNextGet(broken, {kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0},
                             kAudioHardwareIllegalOperationError, -1);
    log_->clear();
    SimHardware::setMute(broken, kAudioObjectPropertyScopeInput, 0, false);
    settle();
    SimHardware::clearFailures();
    EXPECT_EQ(isMuted(broken), true);
    EXPECT_EQ(isMuted(usb), true);
    EXPECT_GE(log_->count(kInconsistent), 1u);
}

TEST_F(ObservationTest, ABurstOfMuteChangesIsCheckedInOnePass) {
    constexpr std::size_t kDevices = 16;
    std::vector<AudioObjectID> mics;
    for (std::size_t i = 0; i < kDevices; ++i) {
        auto config = AudioDeviceConfig::usbMicrophone("burst-" + std::to_string(i));
        config.modelUID += "-" + std::to_string(i);
        mics.push_back(SimHardware::addDevice(config));
    }
    makeEngine();
    auto before = SimHardware::callCount();
    engine_->getAggregatedMuteStatus();
    auto oneReading = SimHardware::callCount() - before;

    // The shell mutes every device at once: the notifications, all waiting
    // when the first is handled, read the devices once, not once each.
    Defaults::set(Defaults::Keys::devicesMuted(), true);
    MuteManager::setMute(true,
                         engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, false));
    before = SimHardware::callCount();
    settle();
    EXPECT_LT(SimHardware::callCount() - before, 2 * oneReading);
    EXPECT_EQ(engine_->lastMuteState(), MuteState::muted);

    // Another program unmutes every microphone at once: each is muted again.
    SimHardware::clearWrites();
    log_->clear();
    for (auto mic : mics) SimHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, false);
    settle();
    for (auto mic : mics) {
        EXPECT_EQ(isMuted(mic), true) << mic;
        EXPECT_EQ(muteWrites(mic), 1u) << mic;
    }
    EXPECT_EQ(log_->count(kInconsistent), kDevices);
    EXPECT_EQ(engine_->lastMuteState(), MuteState::muted);
}

TEST_F(ObservationTest, PluggingAndUnpluggingKeepsOneObserverPerDevice) {
    Defaults::set(Defaults::Keys::collectData(), true);
    makeEngine();
    setMuted(true);
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    settle();
    EXPECT_EQ(isMuted(usb), true);
    EXPECT_EQ(events("device_encountered").size(), 1u);
    EXPECT_EQ(engine_->muteObservers().count(usb), 1u);
    EXPECT_EQ(muteObservers(), 1u);

    SimHardware::removeDevice(usb);
    settle();
    EXPECT_TRUE(engine_->muteObservers().empty());
    EXPECT_EQ(muteObservers(), 0u);

    auto again = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone("USB-MIC-0001-B"));
    settle();
    EXPECT_EQ(isMuted(again), true);
    EXPECT_EQ(muteObservers(), 1u);
    EXPECT_EQ(events("device_encountered").size(), 1u);  // same model, reported once
}

TEST_F(ObservationTest, ProblematicDevicePluggedInIsNeitherObservedNorMuted) {
    setRemote({{"problematicDevices", R"({"USB Microphone:1234:5678": 3})"}});
    makeEngine();
    setMuted(true);
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    settle();
    EXPECT_EQ(isMuted(usb), false);
    EXPECT_EQ(muteObservers(), 0u);
}

TEST_F(ObservationTest, AggregateDeviceWarnsOnceAndRelaunches) {
    makeEngine();
    auto config = AudioDeviceConfig::usbMicrophone("VAE-PROXY");
    config.modelUID = "com.vendorsoft.VAE:proxy";
    config.name = "Proxy Audio %@";
    auto proxy = SimHardware::addDevice(config);
    settle();
    EXPECT_EQ(isMuted(proxy), false);
    EXPECT_EQ(muteObservers(), 0u);
    auto warnings = events("device_warning");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].parameters["type"], Value("Aggregate Device"));
    EXPECT_EQ(warnings[0].parameters["uid"], Value("VAE-PROXY"));
    auto shown = sim::Alerts::shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "Unsupported aggregate device detected.");
    EXPECT_EQ(shown[0].buttons, std::vector<std::string>{"Restart"});
    EXPECT_EQ(host_->relaunches, 1);

    SimHardware::removeDevice(proxy);
    SimHardware::addDevice(config);
    settle();
    EXPECT_EQ(events("device_warning").size(), 1u);
    EXPECT_EQ(sim::Alerts::shown().size(), 1u);
    EXPECT_EQ(host_->relaunches, 2);
}

TEST_F(ObservationTest, DeactivateAndReactivate) {
    auto mac = SimHardware::installDefaultMac();
    makeEngine();
    setMuted(true);
    engine_->deactivate();
    engine_->deactivate();
    settle();
    EXPECT_EQ(muteObservers(), 0u);
    EXPECT_FALSE(engine_->isObservingDeviceList());
    EXPECT_EQ(isMuted(mac.usbMicrophone), false);
    EXPECT_EQ(observers(AudioNotificationName::defaultInputDeviceChanged()), 0u);

    // The shell's reactivation.
    MuteManager::setMute(true,
                         engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, false));
    engine_->observeMuteChanges();
    engine_->observeDeviceList();
    engine_->observeDefaultInput();
    engine_->observeMuteChanges();  // again: replaces, never duplicates
    settle();
    EXPECT_EQ(muteObservers(), 3u);
    EXPECT_EQ(observers(AudioNotificationName::deviceListChanged()), 1u);
    EXPECT_EQ(isMuted(mac.builtInMicrophone), true);
}

TEST_F(ObservationTest, CleanUpUnmutesRemovesObserversAndReportsFailure) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    makeEngine();
    setMuted(true);
    EXPECT_EQ(engine_->cleanUp(), 0);
    settle();
    EXPECT_EQ(isMuted(usb), false);  // not muted again by a late notification
    EXPECT_EQ(muteObservers(), 0u);
    EXPECT_EQ(observers(AudioNotificationName::deviceListChanged()), 0u);
    EXPECT_EQ(observers(AudioNotificationName::defaultInputDeviceChanged()), 0u);

    SimHardware::setMute(usb, kAudioObjectPropertyScopeInput, 0, true);
    SimHardware::failNextSet(usb, {kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0},
                             kAudioHardwareIllegalOperationError);
    EXPECT_NE(engine_->cleanUp(), 0);

    // Staying open after that, the engine guards again.
    engine_->reactivate();
    settle();
    EXPECT_EQ(muteObservers(), 1u);
    EXPECT_EQ(observers(AudioNotificationName::deviceListChanged()), 1u);
    SimHardware::setMute(usb, kAudioObjectPropertyScopeInput, 0, false);
    settle();
    EXPECT_EQ(isMuted(usb), true);
}

TEST_F(ObservationTest, DefaultInputMovesAwayFromProblematicDevice) {
    auto mac = SimHardware::installDefaultMac();
    setRemote({{"skipProblematicDevices", "true"},
               {"problematicDevices", R"({"USB Microphone:1234:5678": "Bad"})"}});
    makeEngine();
    SimHardware::setDefaultInputDevice(mac.usbMicrophone);
    settle();
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac.builtInMicrophone);
    EXPECT_EQ(engine_->previousInputDevice()->objectID, mac.usbMicrophone);
}

}  // namespace
}  // namespace mutetest
