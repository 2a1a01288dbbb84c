#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class PropertyAccess : public AudioModelTest {};

std::string getFailure(const AudioObjectPropertyAddress& address, OSStatus status) {
    return "Unable to get property with address (" + describeAddress(address) +
           "). Status: " + std::to_string(status);
}

std::string setFailure(const AudioObjectPropertyAddress& address, OSStatus status) {
    return "Unable to set property with address (" + describeAddress(address) +
           "). Status: " + std::to_string(status);
}

TEST_F(PropertyAccess, AddressesAndTheirDescription) {
    auto address = propertyAddress(kAudioDevicePropertyMute, Scope::input, 2);
    EXPECT_EQ(address.mSelector, 0x6D757465u);
    EXPECT_EQ(address.mScope, 0x696E7074u);
    EXPECT_EQ(address.mElement, 2u);
    EXPECT_EQ(describeAddress(address),
              "AudioObjectPropertyAddress(mSelector: 1836414053, mScope: 1768845428, mElement: 2)");
    EXPECT_EQ(kAudioObjectWildcardAddress.mElement, 0xFFFFFFFFu);
}

TEST_F(PropertyAccess, LoggedReadsAnswerAbsentAndLeaveOneDebugLine) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    AudioObject object(id);
    auto mute = propertyAddress(kAudioDevicePropertyMute, Scope::input);
    EXPECT_EQ(object.getProperty<UInt32>(mute), 0u);
    SimHardware::failNextGet(id, mute, kAudioHardwareNotRunningError);
    EXPECT_EQ(object.getProperty<UInt32>(mute), std::nullopt);
    ASSERT_EQ(debugLines(getFailure(mute, kAudioHardwareNotRunningError)), 1u);
    auto record = log_->records().back();
    EXPECT_EQ(record.subsystem, "AudioSystem");
    EXPECT_EQ(record.category, "default");
    EXPECT_EQ(object.getProperty<std::string>(propertyAddress(kAudioObjectPropertyName)),
              "Built-in Microphone");
    EXPECT_EQ(object.getProperty<Float64>(propertyAddress(kAudioDevicePropertyNominalSampleRate)),
              48000.0);
    EXPECT_EQ(object.getProperty<Float32>(
                  propertyAddress(kAudioDevicePropertyVolumeScalar, Scope::input)),
              0.75f);
}

TEST_F(PropertyAccess, TypedWritesSendTheirByteLayout) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    AudioObject object(id);
    auto mute = propertyAddress(kAudioDevicePropertyMute, Scope::input);
    EXPECT_TRUE(object.setProperty(mute, true));
    EXPECT_TRUE(object.setProperty(mute, false));
    EXPECT_TRUE(object.setProperty(propertyAddress(kAudioDevicePropertyHogMode, Scope::wildcard),
                                   SInt64{0}));
    EXPECT_TRUE(
        object.setProperty(propertyAddress(kAudioDevicePropertyNominalSampleRate), 44100.0));
    EXPECT_TRUE(
        object.setProperty(propertyAddress(kAudioDevicePropertyVolumeScalar, Scope::input), 0.5f));
    EXPECT_TRUE(
        object.setProperty(propertyAddress(kAudioDevicePropertyBufferFrameSize), UInt32{256}));
    auto writes = SimHardware::writes();
    ASSERT_EQ(writes.size(), 6u);
    struct Expect {
        std::size_t bytes;
        AudioObjectPropertySelector selector;
    };
    std::vector<Expect> expected{
        {4, kAudioDevicePropertyMute},         {4, kAudioDevicePropertyMute},
        {8, kAudioDevicePropertyHogMode},      {8, kAudioDevicePropertyNominalSampleRate},
        {4, kAudioDevicePropertyVolumeScalar}, {4, kAudioDevicePropertyBufferFrameSize}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(writes[i].data.size(), expected[i].bytes) << i;
        EXPECT_EQ(writes[i].address.mSelector, expected[i].selector) << i;
    }
    EXPECT_EQ(writes[0].as<UInt32>(), 1u);
    EXPECT_EQ(writes[1].as<UInt32>(), 0u);
    EXPECT_EQ(writes[2].as<SInt64>(), 0);
    EXPECT_EQ(writes[3].as<Float64>(), 44100.0);

    SimHardware::failNextSet(id, mute, kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(object.setProperty(mute, true));
    EXPECT_EQ(debugLines(setFailure(mute, kAudioHardwareIllegalOperationError)), 1u);
}

TEST_F(PropertyAccess, ArrayReads) {
    auto mac = SimHardware::installDefaultMac();
    AudioObject system(kAudioObjectSystemObject);
    auto devices = propertyAddress(kAudioHardwarePropertyDevices);

    std::vector<AudioObjectID> ids{42, 43};
    SimHardware::failNext(sim::AudioCall::GetSize, kAudioObjectSystemObject, devices,
                          kAudioHardwareUnspecifiedError);
    EXPECT_EQ(system.getPropertyDataArray<AudioObjectID>(devices, std::nullopt, ids, 0),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{42, 43}));  // untouched

    SimHardware::shrinkNextArrayRead(kAudioObjectSystemObject, devices, 2);
    EXPECT_EQ(system.getPropertyDataArray<AudioObjectID>(devices, std::nullopt, ids, 7), noErr);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.builtInSpeakers, 7, 7}));

    AudioObject speakers(mac.builtInSpeakers);
    EXPECT_EQ(speakers.getPropertyDataArray<AudioObjectID>(
                  propertyAddress(kAudioDevicePropertyStreams, Scope::input), std::nullopt, ids, 0),
              noErr);
    EXPECT_TRUE(ids.empty());

    AudioObject headset(mac.bluetoothHeadset);
    std::vector<AudioObjectID> streams;
    EXPECT_EQ(
        headset.getPropertyDataArray<AudioObjectID>(
            propertyAddress(kAudioObjectPropertyOwnedObjects), kAudioStreamClassID, streams, 0),
        noErr);
    EXPECT_EQ(streams.size(), 2u);
}

TEST_F(PropertyAccess, SettabilityNeedsASuccessfulQuery) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    AudioObject object(id);
    auto mute = propertyAddress(kAudioDevicePropertyMute, Scope::input);
    EXPECT_TRUE(object.isPropertySettable(mute));
    EXPECT_FALSE(object.isPropertySettable(propertyAddress(kAudioDevicePropertyTransportType)));
    SimHardware::failNext(sim::AudioCall::IsSettable, id, mute, kAudioHardwareUnspecifiedError);
    EXPECT_FALSE(object.isPropertySettable(mute));
    EXPECT_FALSE(object.hasProperty(propertyAddress(kAudioDevicePropertyMute, Scope::output)));
}

TEST_F(PropertyAccess, MissingChannelsAreSilentFailingOnesAreLogged) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    log_->clear();
    EXPECT_EQ(device->isMuted(3, Scope::input), std::nullopt);
    EXPECT_TRUE(log_->records().empty());
    auto mute = propertyAddress(kAudioDevicePropertyMute, Scope::input, 0);
    SimHardware::failNextSet(id, mute, kAudioHardwareNotRunningError);
    EXPECT_FALSE(device->setMute(true, 0, Scope::input));
    EXPECT_EQ(log_->records().size(), 1u);
    EXPECT_EQ(debugLines(setFailure(mute, kAudioHardwareNotRunningError)), 1u);
}

TEST_F(PropertyAccess, ObjectsAreEqualByIdentifier) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    AudioObject plain(id), other(id + 1);
    EXPECT_TRUE(plain.isEqual(*device));
    EXPECT_TRUE(device->isEqual(plain));
    EXPECT_EQ(plain.hash(), device->hash());
    EXPECT_FALSE(plain.isEqual(other));
    EXPECT_TRUE(plain == *device);
}

}  // namespace
