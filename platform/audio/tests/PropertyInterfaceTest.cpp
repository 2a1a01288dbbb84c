#include <unistd.h>

#include "platform/audio/tests/SimAudioTestSupport.h"

using namespace simtest;
using sim::AudioDeviceConfig;
using sim::AudioHardware;

namespace {

class PropertyInterface : public SimAudioTest {};

TEST(FourCharacterCodes, PackBigEndian) {
    EXPECT_EQ(kAudioObjectPropertyScopeGlobal, 0x676C6F62u);
    EXPECT_EQ(kAudioDevicePropertyMute, 0x6D757465u);
    EXPECT_EQ(kAudioObjectPropertyScopeWildcard, 0x2A2A2A2Au);
    EXPECT_EQ(kAudioHardwareBadObjectError, 0x216F626A);
    EXPECT_EQ(FourCCString(kAudioDevicePropertyStreams), "'stm#'");
    EXPECT_EQ(FourCCString(0), "0");
}

TEST_F(PropertyInterface, ReadsAndWritesAMuteControl) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto mute = addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0);
    EXPECT_TRUE(AudioObjectHasProperty(mic, &mute));
    Boolean settable = 0;
    EXPECT_EQ(AudioObjectIsPropertySettable(mic, &mute, &settable), noErr);
    EXPECT_EQ(settable, 1);
    UInt32 value = 7;
    EXPECT_EQ(get(mic, mute, value), noErr);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(set(mic, mute, UInt32{1}), noErr);
    EXPECT_EQ(get(mic, mute, value), noErr);
    EXPECT_EQ(value, 1u);
    auto writes = AudioHardware::writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].object, mic);
    EXPECT_EQ(writes[0].address, mute);
    EXPECT_EQ(writes[0].data.size(), 4u);
    EXPECT_EQ(writes[0].as<UInt32>(), 1u);
    EXPECT_EQ(writes[0].status, noErr);
    // Output side and channel 1 have no mute control.
    auto outputMute = addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput, 0);
    auto channelMute = addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 1);
    EXPECT_FALSE(AudioObjectHasProperty(mic, &outputMute));
    EXPECT_FALSE(AudioObjectHasProperty(mic, &channelMute));
}

TEST_F(PropertyInterface, AnswersTheDocumentedStatusCodes) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    UInt32 value = 0;
    Float64 rate = 0;
    struct Case {
        const char* what;
        OSStatus status;
        OSStatus expected;
    };
    std::vector<Case> cases = {
        {"unknown object", get(9999, addr(kAudioObjectPropertyClass), value),
         kAudioHardwareBadObjectError},
        {"missing property", get(mic, addr(kAudioDevicePropertyPlayThru), value),
         kAudioHardwareUnknownPropertyError},
        {"small buffer",
         [&] {
             UInt32 size = 4;
             auto a = addr(kAudioDevicePropertyNominalSampleRate);
             return AudioObjectGetPropertyData(mic, &a, 0, nullptr, &size, &rate);
         }(),
         kAudioHardwareBadPropertySizeError},
        {"not settable", set(mic, addr(kAudioDevicePropertyTransportType), UInt32{1}),
         kAudioHardwareIllegalOperationError},
        {"wrong write size",
         set(mic, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput), Float64{1}),
         kAudioHardwareBadPropertySizeError},
        {"write to missing object", set(9999, addr(kAudioDevicePropertyMute), UInt32{1}),
         kAudioHardwareBadObjectError},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;
    // Failed writes are recorded too.
    auto writes = AudioHardware::writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].status, kAudioHardwareIllegalOperationError);
}

TEST_F(PropertyInterface, StringsAreFreshReferences) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    EXPECT_EQ(getString(mic, addr(kAudioObjectPropertyName)), "Built-in Microphone");
    EXPECT_EQ(getString(mic, addr(kAudioDevicePropertyDeviceUID)), "BuiltInMicrophoneDevice");
    EXPECT_EQ(getString(mic, addr(kAudioDevicePropertyModelUID)), "Digital Mic");
    EXPECT_EQ(
        getString(mic, addr(kAudioObjectPropertyElementName, kAudioObjectPropertyScopeInput, 1)),
        "Input 1");
}

TEST_F(PropertyInterface, WildcardScopesMatchEitherWay) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    SInt32 owner = 0;
    EXPECT_EQ(get(mic, addr(kAudioDevicePropertyHogMode, kAudioObjectPropertyScopeWildcard), owner),
              noErr);
    EXPECT_EQ(owner, -1);
    UInt32 frames = 0;
    EXPECT_EQ(
        get(mic, addr(kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeInput), frames),
        noErr);
    EXPECT_EQ(frames, 512u);
    UInt32 muted = 0;
    EXPECT_EQ(get(mic, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeWildcard), muted),
              noErr);
    EXPECT_EQ(get(mic,
                  addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput,
                       kAudioObjectPropertyElementWildcard),
                  muted),
              noErr);
}

TEST_F(PropertyInterface, DeviceListAndOwnedObjectsAreArrays) {
    auto mac = AudioHardware::installDefaultMac();
    auto devices =
        getArray<AudioObjectID>(kAudioObjectSystemObject, addr(kAudioHardwarePropertyDevices));
    EXPECT_EQ(devices, (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.builtInSpeakers,
                                                   mac.usbMicrophone, mac.bluetoothHeadset}));
    AudioClassID all = kAudioObjectClassID;
    AudioClassID streams = kAudioStreamClassID;
    auto owned = getArray<AudioObjectID>(mac.bluetoothHeadset,
                                         addr(kAudioObjectPropertyOwnedObjects), nullptr, &all);
    auto ownedStreams = getArray<AudioObjectID>(
        mac.bluetoothHeadset, addr(kAudioObjectPropertyOwnedObjects), nullptr, &streams);
    auto input = AudioHardware::streams(mac.bluetoothHeadset, kAudioObjectPropertyScopeInput);
    auto output = AudioHardware::streams(mac.bluetoothHeadset, kAudioObjectPropertyScopeOutput);
    ASSERT_EQ(input.size(), 1u);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(ownedStreams, (std::vector<AudioObjectID>{input[0], output[0]}));
    EXPECT_GT(owned.size(), ownedStreams.size());  // controls too
    EXPECT_EQ(getArray<AudioObjectID>(mac.bluetoothHeadset, addr(kAudioDevicePropertyStreams,
                                                                 kAudioObjectPropertyScopeInput)),
              input);
}

TEST_F(PropertyInterface, ShrinkingAnArrayBetweenSizeQueryAndRead) {
    auto mac = AudioHardware::installDefaultMac();
    auto devicesAddress = addr(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devicesAddress, 0, nullptr,
                                             &size),
              noErr);
    EXPECT_EQ(size, 16u);
    AudioHardware::shrinkNextArrayRead(kAudioObjectSystemObject, devicesAddress, 1);
    std::vector<AudioObjectID> ids(size / 4, 0);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddress, 0, nullptr,
                                         &size, ids.data()),
              noErr);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.builtInSpeakers,
                                               mac.usbMicrophone, 0}));
    // Only the next read is shrunk.
    EXPECT_EQ(getArray<AudioObjectID>(kAudioObjectSystemObject, devicesAddress).size(), 4u);
}

TEST_F(PropertyInterface, TranslatesUIDsAndSourceNames) {
    auto mac = AudioHardware::installDefaultMac();
    auto translate = [](const std::string& uid) {
        CFStringHolder input(uid);
        CFStringRef ref = input.get();
        AudioObjectID out = 0;
        AudioValueTranslation t{&ref, sizeof(ref), &out, sizeof(out)};
        UInt32 size = sizeof(t);
        auto a = addr(kAudioHardwarePropertyDeviceForUID);
        EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, &size, &t),
                  noErr);
        return out;
    };
    EXPECT_EQ(translate("USB-MIC-0001"), mac.usbMicrophone);
    EXPECT_EQ(translate("no such device"), 0u);

    auto name = [&](UInt32 source, OSStatus* status) {
        CFStringHolder out;
        AudioValueTranslation t{&source, sizeof(source), out.out(), sizeof(CFStringRef)};
        UInt32 size = sizeof(t);
        auto a = addr(kAudioDevicePropertyClockSourceNameForIDCFString);
        *status = AudioObjectGetPropertyData(mac.builtInMicrophone, &a, 0, nullptr, &size, &t);
        return out.str();
    };
    OSStatus status = 0;
    EXPECT_EQ(name(1, &status), "Internal Clock");
    EXPECT_EQ(status, noErr);
    name(2, &status);
    EXPECT_NE(status, noErr);
}

TEST_F(PropertyInterface, ConvertsVolumesInPlace) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Float32 value = 1.0f;
    EXPECT_EQ(
        get(mic, addr(kAudioDevicePropertyVolumeScalarToDecibels, kAudioObjectPropertyScopeInput),
            value),
        noErr);
    EXPECT_FLOAT_EQ(value, 0.0f);
    value = -20.0f;
    EXPECT_EQ(
        get(mic, addr(kAudioDevicePropertyVolumeDecibelsToScalar, kAudioObjectPropertyScopeInput),
            value),
        noErr);
    EXPECT_NEAR(value, 0.1f, 1e-5);
}

TEST_F(PropertyInterface, HogModeWritesTakeAndGiveBack) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto hog = addr(kAudioDevicePropertyHogMode, kAudioObjectPropertyScopeWildcard);
    EXPECT_EQ(set(mic, hog, SInt64{0}), noErr);
    EXPECT_EQ(AudioHardware::hogModeOwner(mic), getpid());
    EXPECT_EQ(set(mic, hog, SInt64{0}), noErr);
    EXPECT_EQ(AudioHardware::hogModeOwner(mic), -1);
    AudioHardware::setHogModeOwner(mic, 4242);
    EXPECT_EQ(set(mic, hog, SInt64{0}), kAudioDevicePermissionsError);
    EXPECT_EQ(AudioHardware::hogModeOwner(mic), 4242);
}

TEST_F(PropertyInterface, DefaultDeviceWritesNeedADevice) {
    auto mac = AudioHardware::installDefaultMac();
    auto dIn = addr(kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_EQ(set(kAudioObjectSystemObject, dIn, mac.usbMicrophone), noErr);
    EXPECT_EQ(AudioHardware::defaultInputDevice(), mac.usbMicrophone);
    EXPECT_EQ(set(kAudioObjectSystemObject, dIn, AudioObjectID{9999}),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardware::defaultInputDevice(), mac.usbMicrophone);
}

TEST_F(PropertyInterface, CreatesAndDestroysAggregates) {
    auto mac = AudioHardware::installDefaultMac();
    Dictionary description{{"name", "Both Mics"},
                           {"uid", "agg-1"},
                           {"subdevices", Array{Dictionary{{"uid", "BuiltInMicrophoneDevice"}},
                                                Dictionary{{"uid", "USB-MIC-0001"}}}},
                           {"master", "BuiltInMicrophoneDevice"}};
    AudioObjectID aggregate = 0;
    ASSERT_EQ(AudioHardwareCreateAggregateDevice(description, &aggregate), noErr);
    EXPECT_EQ(AudioHardware::aggregateRequests().size(), 1u);
    EXPECT_EQ(AudioHardware::aggregateRequests()[0], description);
    UInt32 classID = 0, transport = 0;
    EXPECT_EQ(get(aggregate, addr(kAudioObjectPropertyClass), classID), noErr);
    EXPECT_EQ(classID, kAudioAggregateDeviceClassID);
    EXPECT_EQ(get(aggregate, addr(kAudioDevicePropertyTransportType), transport), noErr);
    EXPECT_EQ(transport, kAudioDeviceTransportTypeAggregate);
    AudioClassID devicesOnly = kAudioDeviceClassID;
    EXPECT_EQ(getArray<AudioObjectID>(aggregate, addr(kAudioObjectPropertyOwnedObjects), nullptr,
                                      &devicesOnly),
              (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.usbMicrophone}));
    EXPECT_EQ(getString(aggregate, addr(kAudioAggregateDevicePropertyMainSubDevice)),
              "BuiltInMicrophoneDevice");
    EXPECT_EQ(AudioHardware::streams(aggregate, kAudioObjectPropertyScopeInput).size(), 1u);

    EXPECT_EQ(AudioHardwareCreateAggregateDevice(description, &aggregate),
              kAudioHardwareIllegalOperationError);  // UID taken
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(mac.usbMicrophone), kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(9999), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(aggregate), noErr);
    EXPECT_FALSE(AudioHardware::exists(aggregate));
    EXPECT_EQ(AudioHardware::devices().size(), 4u);
}

TEST_F(PropertyInterface, InjectedFailuresHitOnlyTheirCallAndAddress) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto mute = addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0);
    const OSStatus failure = kAudioHardwareNotRunningError;
    AudioHardware::failNextGet(mic, mute, failure, 2);
    AudioHardware::failNextSet(mic, mute, failure);
    AudioHardware::failNext(sim::AudioCall::IsSettable, mic, mute, failure);
    UInt32 value = 0;
    Boolean settable = 0;
    EXPECT_EQ(get(mic, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeWildcard), value),
              noErr);  // another address
    EXPECT_EQ(get(mic, mute, value), failure);
    EXPECT_EQ(get(mic, mute, value), failure);
    EXPECT_EQ(get(mic, mute, value), noErr);
    EXPECT_EQ(set(mic, mute, UInt32{1}), failure);
    EXPECT_EQ(set(mic, mute, UInt32{1}), noErr);
    EXPECT_EQ(AudioObjectIsPropertySettable(mic, &mute, &settable), failure);
    EXPECT_EQ(AudioObjectIsPropertySettable(mic, &mute, &settable), noErr);

    AudioHardware::failNext(sim::AudioCall::GetSize, kAudioObjectSystemObject,
                            addr(kAudioHardwarePropertyDevices), failure, -1);
    OSStatus status = 0;
    for (int i = 0; i < 3; ++i) {
        getArray<AudioObjectID>(kAudioObjectSystemObject, addr(kAudioHardwarePropertyDevices),
                                &status);
        EXPECT_EQ(status, failure);
    }
    AudioHardware::clearFailures();
    getArray<AudioObjectID>(kAudioObjectSystemObject, addr(kAudioHardwarePropertyDevices), &status);
    EXPECT_EQ(status, noErr);

    AudioHardware::failNext(sim::AudioCall::CreateAggregate, 0, {}, failure);
    AudioObjectID aggregate = 0;
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(Dictionary{{"uid", "x"}}, &aggregate), failure);
}

}  // namespace
