#include "platform/audio/tests/SimAudioTestSupport.h"

using namespace simtest;
using sim::AudioDeviceConfig;
using sim::AudioHardware;

namespace {

class ControlSurface : public SimAudioTest {};

UInt32 channelsOf(AudioObjectID device, AudioObjectPropertyScope scope) {
    UInt32 total = 0;
    for (AudioObjectID stream : AudioHardware::streams(device, scope)) {
        AudioStreamBasicDescription format;
        EXPECT_EQ(get(stream, addr(kAudioStreamPropertyPhysicalFormat, scope), format), noErr);
        total += format.mChannelsPerFrame;
    }
    return total;
}

TEST_F(ControlSurface, TheDefaultMac) {
    auto mac = AudioHardware::installDefaultMac();
    struct Expect {
        AudioObjectID id;
        const char* uid;
        UInt32 transport;
        UInt32 inputs, outputs;
    };
    for (const auto& e : std::vector<Expect>{
             {mac.builtInMicrophone, "BuiltInMicrophoneDevice", kAudioDeviceTransportTypeBuiltIn, 1,
              0},
             {mac.builtInSpeakers, "BuiltInSpeakerDevice", kAudioDeviceTransportTypeBuiltIn, 0, 2},
             {mac.usbMicrophone, "USB-MIC-0001", kAudioDeviceTransportTypeUSB, 1, 0},
             {mac.bluetoothHeadset, "BT-HEADSET-0001", kAudioDeviceTransportTypeBluetooth, 1, 2},
         }) {
        SCOPED_TRACE(e.uid);
        EXPECT_EQ(AudioHardware::deviceWithUID(e.uid), e.id);
        UInt32 transport = 0;
        EXPECT_EQ(get(e.id, addr(kAudioDevicePropertyTransportType), transport), noErr);
        EXPECT_EQ(transport, e.transport);
        EXPECT_EQ(channelsOf(e.id, kAudioObjectPropertyScopeInput), e.inputs);
        EXPECT_EQ(channelsOf(e.id, kAudioObjectPropertyScopeOutput), e.outputs);
        EXPECT_EQ(
            AudioHardware::isMuted(
                e.id, e.inputs ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput,
                0),
            false);
    }
    EXPECT_EQ(AudioHardware::defaultInputDevice(), mac.builtInMicrophone);
    EXPECT_EQ(AudioHardware::defaultOutputDevice(), mac.builtInSpeakers);
}

TEST_F(ControlSurface, PresetsAndStreams) {
    AudioObjectID le = AudioHardware::addDevice(AudioDeviceConfig::bluetoothLEHeadset());
    UInt32 transport = 0;
    get(le, addr(kAudioDevicePropertyTransportType), transport);
    EXPECT_EQ(transport, kAudioDeviceTransportTypeBluetoothLE);

    auto config = AudioDeviceConfig::inputOnly("multi", "Multi Mic", 5);
    config.input.streams = 2;
    config.input.channelMutes = true;
    AudioObjectID multi = AudioHardware::addDevice(config);
    auto streams = AudioHardware::streams(multi, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(channelsOf(multi, kAudioObjectPropertyScopeInput), 5u);
    UInt32 direction = 9, starting = 0, owner = 0;
    get(streams[1], addr(kAudioStreamPropertyDirection), direction);
    get(streams[1], addr(kAudioStreamPropertyStartingChannel), starting);
    get(streams[1], addr(kAudioObjectPropertyOwner), owner);
    EXPECT_EQ(direction, 1u);
    EXPECT_EQ(starting, 4u);
    EXPECT_EQ(owner, multi);
    for (UInt32 channel = 0; channel <= 5; ++channel)
        EXPECT_EQ(AudioHardware::isMuted(multi, kAudioObjectPropertyScopeInput, channel), false);

    AudioObjectID speakers =
        AudioHardware::addDevice(AudioDeviceConfig::outputOnly("spk", "Speaker"));
    EXPECT_TRUE(AudioHardware::streams(speakers, kAudioObjectPropertyScopeInput).empty());
    // The input stream list exists and is empty.
    OSStatus status = -1;
    EXPECT_TRUE(
        getArray<AudioObjectID>(
            speakers, addr(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput), &status)
            .empty());
    EXPECT_EQ(status, noErr);
}

TEST_F(ControlSurface, AnyPropertyCanBeSetChangedAndRemoved) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto jack = addr(kAudioDevicePropertyJackIsConnected, kAudioObjectPropertyScopeInput);
    EXPECT_FALSE(AudioObjectHasProperty(mic, &jack));
    AudioHardware::setProperty(mic, jack, sim::AudioPropertyValue::u32(1));
    UInt32 value = 0;
    EXPECT_EQ(get(mic, jack, value), noErr);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(set(mic, jack, UInt32{0}), kAudioHardwareIllegalOperationError);
    AudioHardware::changeValue(mic, jack, sim::AudioPropertyValue::u32(0));
    EXPECT_EQ(AudioHardware::property(mic, jack)->as<UInt32>(), 0u);
    EXPECT_TRUE(AudioHardware::removeProperty(mic, jack));
    EXPECT_FALSE(AudioObjectHasProperty(mic, &jack));
    EXPECT_FALSE(AudioHardware::property(mic, jack));
}

TEST_F(ControlSurface, WritesAreRecordedAndFiltered) {
    auto mac = AudioHardware::installDefaultMac();
    set(mac.usbMicrophone, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput),
        UInt32{1});
    set(mac.usbMicrophone, addr(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput),
        Float32{0.5f});
    EXPECT_EQ(AudioHardware::writes().size(), 2u);
    EXPECT_EQ(AudioHardware::writes(kAudioDevicePropertyMute).size(), 1u);
    AudioHardware::setRecordingWrites(false);
    set(mac.usbMicrophone, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput),
        UInt32{0});
    EXPECT_EQ(AudioHardware::writes().size(), 2u);
    AudioHardware::setRecordingWrites(true);
    AudioHardware::clearWrites();
    EXPECT_TRUE(AudioHardware::writes().empty());
    EXPECT_GT(AudioHardware::callCount(), 0u);
}

TEST_F(ControlSurface, RemovingDevicesMovesTheDefaults) {
    auto mac = AudioHardware::installDefaultMac();
    AudioHardware::setDefaultInputDevice(mac.bluetoothHeadset);
    AudioHardware::setDefaultOutputDevice(mac.bluetoothHeadset);
    EXPECT_TRUE(AudioHardware::removeDevice(mac.bluetoothHeadset));
    EXPECT_FALSE(AudioHardware::removeDevice(mac.bluetoothHeadset));
    EXPECT_EQ(AudioHardware::defaultInputDevice(), mac.builtInMicrophone);
    EXPECT_EQ(AudioHardware::defaultOutputDevice(), mac.builtInSpeakers);
    for (AudioObjectID id : {mac.builtInMicrophone, mac.usbMicrophone})
        AudioHardware::removeDevice(id);
    EXPECT_EQ(AudioHardware::defaultInputDevice(), 0u);
    EXPECT_EQ(AudioHardware::devices(), std::vector<AudioObjectID>{mac.builtInSpeakers});
}

TEST_F(ControlSurface, ResetForgetsEverythingButNeverReusesIdentifiers) {
    auto first = AudioHardware::installDefaultMac();
    AudioHardware::reset();
    EXPECT_TRUE(AudioHardware::devices().empty());
    EXPECT_EQ(AudioHardware::defaultInputDevice(), 0u);
    EXPECT_FALSE(AudioHardware::exists(first.builtInMicrophone));
    auto second = AudioHardware::installDefaultMac();
    EXPECT_GT(second.builtInMicrophone, first.bluetoothHeadset);
}

}  // namespace
