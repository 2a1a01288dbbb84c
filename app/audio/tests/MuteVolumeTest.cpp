#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class MuteVolume : public AudioModelTest {
  protected:
    AudioObjectID add(AudioDeviceConfig config) { return SimHardware::addDevice(config); }
};

TEST_F(MuteVolume, MutingTheMainInputElement) {
    auto mac = SimHardware::installDefaultMac();
    auto speakers = AudioDevice::lookup(mac.builtInSpeakers);
    auto mic = AudioDevice::lookup(mac.builtInMicrophone);
    EXPECT_FALSE(speakers->canMute(0, Scope::input));
    EXPECT_FALSE(speakers->setMute(true, 0, Scope::input));
    EXPECT_TRUE(SimHardware::writes().empty());
    EXPECT_EQ(speakers->isMuted(0, Scope::input), std::nullopt);

    EXPECT_TRUE(mic->canMute(0, Scope::input));
    EXPECT_EQ(mic->isMuted(0, Scope::input), false);
    EXPECT_TRUE(mic->setMute(true, 0, Scope::input));
    auto writes = SimHardware::writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data.size(), 4u);
    EXPECT_EQ(writes[0].as<UInt32>(), 1u);
    EXPECT_EQ(mic->isMuted(0, Scope::input), true);
    EXPECT_EQ(mic->isMainChannelMuted(Scope::input), true);
    EXPECT_EQ(mic->isMasterChannelMuted(Scope::input), true);
    EXPECT_EQ(SimHardware::isMuted(mac.builtInMicrophone, kAudioObjectPropertyScopeInput, 0), true);

    SimHardware::failNextGet(mac.builtInMicrophone,
                             propertyAddress(kAudioDevicePropertyMute, Scope::input),
                             kAudioHardwareNotRunningError);
    EXPECT_EQ(mic->isMuted(0, Scope::input), std::nullopt);  // absent, not false
}

TEST_F(MuteVolume, VolumeInfoReportsEachControl) {
    auto config = AudioDeviceConfig::builtInMicrophone();
    config.input.playThru = true;
    AudioObjectID id = add(config);
    auto device = AudioDevice::lookup(id);
    auto info = device->volumeInfo(0, Scope::input);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->volume, 0.75f);
    EXPECT_TRUE(info->hasVolume);
    EXPECT_TRUE(info->canSetVolume);
    EXPECT_TRUE(info->canMute);
    EXPECT_FALSE(info->isMuted);
    EXPECT_TRUE(info->canPlayThru);
    EXPECT_FALSE(info->isPlayThruSet);
    EXPECT_EQ(device->volumeInfo(0, Scope::output), std::nullopt);

    // Controls exist but no value can be read: no info, so no mute.
    for (auto selector :
         {kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyMute, kAudioDevicePropertyPlayThru})
        SimHardware::failNextGet(id, propertyAddress(selector, Scope::input),
                                 kAudioHardwareNotRunningError);
    EXPECT_EQ(device->volumeInfo(0, Scope::input), std::nullopt);
    for (auto selector :
         {kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyMute, kAudioDevicePropertyPlayThru})
        SimHardware::failNextGet(id, propertyAddress(selector, Scope::input),
                                 kAudioHardwareNotRunningError);
    EXPECT_FALSE(device->canMute(0, Scope::input));
    EXPECT_TRUE(device->canMute(0, Scope::input));

    // A failed settability query makes that control count as absent.
    SimHardware::failNext(sim::AudioCall::IsSettable, id,
                          propertyAddress(kAudioDevicePropertyMute, Scope::input),
                          kAudioHardwareNotRunningError);
    info = device->volumeInfo(0, Scope::input);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->canMute);
    EXPECT_TRUE(info->hasVolume);
    EXPECT_TRUE(log_->records().empty());  // all silent
}

TEST_F(MuteVolume, NonSettableControlsCannotBeUsed) {
    auto config = AudioDeviceConfig::builtInMicrophone();
    config.input.muteSettable = false;
    config.input.volumeSettable = false;
    auto device = AudioDevice::lookup(add(config));
    EXPECT_FALSE(device->canMute(0, Scope::input));
    EXPECT_FALSE(device->canSetVolume(0, Scope::input));
    EXPECT_FALSE(device->setMute(true, 0, Scope::input));
}

TEST_F(MuteVolume, Volumes) {
    auto device = AudioDevice::lookup(add(AudioDeviceConfig::builtInSpeakers()));
    EXPECT_EQ(device->volume(0, Scope::output), 0.75f);
    EXPECT_TRUE(device->setVolume(0.1f, 1, Scope::output));
    EXPECT_EQ(device->volume(1, Scope::output), 0.1f);
    EXPECT_NEAR(*device->volumeInDecibels(1, Scope::output), -20.0f, 1e-4);
    EXPECT_FALSE(device->setVolume(0.1f, 5, Scope::output));
    EXPECT_EQ(device->volume(0, Scope::input), std::nullopt);
    EXPECT_TRUE(device->canSetVolume(0, Scope::output));
    EXPECT_NEAR(*device->scalarToDecibels(0.1f, 0, Scope::output), -20.0f, 1e-4);
    EXPECT_NEAR(*device->decibelsToScalar(-20.0f, 0, Scope::output), 0.1f, 1e-6);
    SimHardware::failNextGet(
        device->objectID,
        propertyAddress(kAudioDevicePropertyVolumeScalarToDecibels, Scope::output),
        kAudioHardwareNotRunningError);
    EXPECT_EQ(device->scalarToDecibels(0.1f, 0, Scope::output), std::nullopt);
    EXPECT_EQ(device->scalarToDecibels(0.1f, 0, Scope::input), std::nullopt);
}

TEST_F(MuteVolume, StereoPairs) {
    auto speakers = AudioDevice::lookup(add(AudioDeviceConfig::builtInSpeakers()));
    EXPECT_EQ(speakers->preferredChannelsForStereo(Scope::output), StereoPair(1, 2));
    EXPECT_TRUE(speakers->setPreferredChannelsForStereo({2, 1}, Scope::output));
    auto writes = SimHardware::writes(kAudioDevicePropertyPreferredChannelsForStereo);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data.size(), 8u);
    EXPECT_EQ(speakers->preferredChannelsForStereo(Scope::output), StereoPair(2, 1));
    SimHardware::changeValue(
        speakers->objectID,
        propertyAddress(kAudioDevicePropertyPreferredChannelsForStereo, Scope::output),
        sim::AudioPropertyValue::array(std::vector<UInt32>{1, 2, 3}));
    EXPECT_EQ(speakers->preferredChannelsForStereo(Scope::output), std::nullopt);
    EXPECT_EQ(speakers->preferredChannelsForStereo(Scope::input), std::nullopt);
    EXPECT_FALSE(speakers->setPreferredChannelsForStereo({1, 2}, Scope::input));
}

TEST_F(MuteVolume, MainVolumeMuteThroughTheStereoPair) {
    auto config = AudioDeviceConfig::outputOnly("pair", "Pair Speakers", 2);
    config.output.mainMute = false;
    config.output.channelMutes = true;
    AudioObjectID id = add(config);
    auto device = AudioDevice::lookup(id);
    EXPECT_FALSE(device->canMute(0, Scope::output));
    EXPECT_TRUE(device->canMuteMainVolume(Scope::output));
    EXPECT_TRUE(device->canMuteMasterVolume(Scope::output));
    SimHardware::setProperty(id, propertyAddress(kAudioDevicePropertyMute, Scope::output, 2),
                             sim::AudioPropertyValue::u32(0), false);
    EXPECT_FALSE(device->canMuteMainVolume(Scope::output));
    SimHardware::removeProperty(
        id, propertyAddress(kAudioDevicePropertyPreferredChannelsForStereo, Scope::output));
    EXPECT_FALSE(device->canMuteMainVolume(Scope::output));
}

TEST_F(MuteVolume, VirtualMainVolumeAndBalance) {
    auto device = AudioDevice::lookup(add(AudioDeviceConfig::builtInSpeakers()));
    EXPECT_TRUE(device->hasVirtualMainVolume(Scope::output));
    EXPECT_TRUE(device->hasVirtualMasterVolume(Scope::output));
    EXPECT_FALSE(device->hasVirtualMainVolume(Scope::input));
    EXPECT_TRUE(device->setVirtualMainVolume(0.1f, Scope::output));
    EXPECT_EQ(device->virtualMasterVolume(Scope::output), 0.1f);
    EXPECT_NEAR(*device->virtualMainVolumeInDecibels(Scope::output), -20.0f, 1e-4);
    EXPECT_TRUE(device->setVirtualMasterBalance(0.25f, Scope::output));
    EXPECT_EQ(device->virtualMainBalance(Scope::output), 0.25f);
    EXPECT_EQ(device->virtualMainVolumeInDecibels(Scope::input), std::nullopt);

    // Without a settable main volume the left channel of the pair is the
    // reference; without a pair there is no answer.
    auto config = AudioDeviceConfig::outputOnly("ch", "Channel Speakers", 2);
    config.output.mainVolume = false;
    config.output.channelVolumes = true;
    auto channelOnly = AudioDevice::lookup(add(config));
    EXPECT_TRUE(channelOnly->virtualMainVolumeInDecibels(Scope::output).has_value());
    SimHardware::removeProperty(
        channelOnly->objectID,
        propertyAddress(kAudioDevicePropertyPreferredChannelsForStereo, Scope::output));
    EXPECT_EQ(channelOnly->virtualMainVolumeInDecibels(Scope::output), std::nullopt);
}

TEST_F(MuteVolume, SubwooferControls) {
    AudioObjectID id = add(AudioDeviceConfig::builtInSpeakers());
    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(device->lfeMute(), std::nullopt);
    auto calls = SimHardware::callCount();
    device->setLfeMute(std::nullopt);
    device->setLfeVolume(std::nullopt);
    device->setLfeVolumeDecibels(std::nullopt);
    device->setShouldOwniSub(std::nullopt);
    EXPECT_EQ(SimHardware::callCount(), calls);  // no call at all
    device->setLfeMute(true);                    // missing: tested, not written
    EXPECT_TRUE(SimHardware::writes().empty());

    auto config = AudioDeviceConfig::builtInSpeakers();
    config.uid = "with-subwoofer";
    config.subwoofer = true;
    device = AudioDevice::lookup(SimHardware::addDevice(config));
    EXPECT_EQ(device->lfeMute(), false);
    EXPECT_EQ(device->lfeVolume(), 1.0f);
    device->setLfeMute(true);
    device->setShouldOwniSub(true);
    device->setLfeVolume(0.5f);
    device->setLfeVolumeDecibels(-6.0f);
    EXPECT_EQ(device->lfeMute(), true);
    EXPECT_EQ(device->shouldOwniSub(), true);
    EXPECT_EQ(device->lfeVolume(), 0.5f);
    EXPECT_EQ(device->lfeVolumeDecibels(), -6.0f);
    EXPECT_EQ(SimHardware::writes().size(), 4u);
}

}  // namespace
