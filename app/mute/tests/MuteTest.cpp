#include <gtest/gtest.h>

#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"

namespace mutetest {
namespace {

class MuteTest : public MuteEngineTest {
  protected:
    AudioObjectPropertyAddress inputMute() const {
        return {kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0};
    }
};

TEST_F(MuteTest, MutesAndUnmutesEveryHandledInputTogether) {
    auto mac = SimHardware::installDefaultMac();
    auto engine = makeEngine();
    auto handled = engine->compatibleInputDevices(BluetoothDevicesMode::exclude, false);
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_TRUE(MuteManager::setMute(true, handled));
    for (auto id : {mac.builtInMicrophone, mac.usbMicrophone, mac.bluetoothHeadset})
        EXPECT_EQ(isMuted(id), true);
    EXPECT_EQ(engine->getAggregatedMuteStatus(), MuteState::muted);
    EXPECT_TRUE(MuteManager::setMute(false, handled));
    EXPECT_EQ(engine->getAggregatedMuteStatus(), MuteState::unmuted);
    EXPECT_EQ(SimHardware::isMuted(mac.builtInSpeakers, kAudioObjectPropertyScopeOutput, 0), false);
}

TEST_F(MuteTest, AggregatedState) {
    auto engine = makeEngine();
    EXPECT_EQ(engine->getAggregatedMuteStatus(), MuteState::muted);  // no devices

    auto noControl = AudioDeviceConfig::inputOnly("NO-MUTE", "Plain Mic");
    noControl.input.mainMute = false;
    SimHardware::addDevice(noControl);
    EXPECT_EQ(engine->getAggregatedMuteStatus(), MuteState::unmuted);

    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    SimHardware::setMute(usb, kAudioObjectPropertyScopeInput, 0, true);
    EXPECT_EQ(engine->getAggregatedMuteStatus(), MuteState::mixed);
}

TEST_F(MuteTest, OutputOnlyDeviceIsLoggedOnceAndNotWritten) {
    auto speakers = SimHardware::addDevice(AudioDeviceConfig::builtInSpeakers());
    SimHardware::clearWrites();
    MuteManager::setMute(true, {device(speakers)});
    EXPECT_EQ(log_->count("Output-only device connected; ignoring. Built-in Speakers"), 1u);
    EXPECT_TRUE(SimHardware::writes(kAudioDevicePropertyMute).empty());
    EXPECT_TRUE(MuteManager::setMute(true, {}));
}

TEST_F(MuteTest, ToggleAppliesTheNegatedIntentionWithoutStoringIt) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto engine = makeEngine();
    engine->toggleMuteOfAllInputDevices();
    engine->toggleMuteOfAllInputDevices();
    EXPECT_EQ(isMuted(usb), true);
    EXPECT_FALSE(Defaults::get(Defaults::Keys::devicesMuted()));
}

TEST_F(MuteTest, FailedWriteIsLoggedAndTheStateReadAgain) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto other = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone("USB-MIC-0002"));
    auto engine = makeEngine();
    SimHardware::failNextSet(usb, inputMute(), kAudioHardwareIllegalOperationError);
    engine->toggleMuteOfAllInputDevices();
    EXPECT_EQ(log_->count("Unable to mute device: USB Microphone"), 1u);
    EXPECT_EQ(isMuted(other), true);
    EXPECT_EQ(engine->lastMuteState(), MuteState::mixed);
}

}  // namespace
}  // namespace mutetest
