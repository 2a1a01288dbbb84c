#include "app/audio/AudioStream.h"
#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class Stream : public AudioModelTest {
  protected:
    AudioObjectID inputStream(AudioObjectID device, std::size_t index = 0) {
        return SimHardware::streams(device, kAudioObjectPropertyScopeInput).at(index);
    }
};

AudioStreamRangedDescription ranged(Float64 rate, UInt32 flags = 0) {
    return {MakeLinearPCMFormat(rate, 1, flags), {rate, rate}};
}

TEST_F(Stream, PlainProperties) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::bluetoothHeadset());
    auto input = AudioStream::lookup(inputStream(device));
    auto output =
        AudioStream::lookup(SimHardware::streams(device, kAudioObjectPropertyScopeOutput)[0]);
    ASSERT_TRUE(input && output);
    EXPECT_EQ(input.get(), AudioStream::lookup(input->identifier()).get());
    EXPECT_EQ(input->direction(), Scope::input);
    EXPECT_EQ(output->direction(), Scope::output);
    EXPECT_TRUE(input->isActive());
    EXPECT_EQ(input->terminalType(), TerminalType::headsetMicrophone);
    EXPECT_EQ(output->terminalType(), TerminalType::headphones);
    EXPECT_EQ(input->startingChannel(), 1u);
    EXPECT_EQ(input->latency(), 8u);
    EXPECT_EQ(input->physicalFormat()->mChannelsPerFrame, 1u);
    EXPECT_EQ(output->virtualFormat()->mChannelsPerFrame, 2u);
    EXPECT_EQ(input->owningDevice()->objectID, device);
    std::string id = std::to_string(input->objectID);
    EXPECT_EQ(input->description(), "Stream " + id + " (" + id + ")");

    SimHardware::changeValue(input->objectID, propertyAddress(kAudioStreamPropertyIsActive),
                             sim::AudioPropertyValue::u32(2));
    EXPECT_FALSE(input->isActive());  // only exactly 1 is active
    SimHardware::changeValue(input->objectID, propertyAddress(kAudioStreamPropertyTerminalType),
                             sim::AudioPropertyValue::u32(FourCC("zzzz")));
    EXPECT_EQ(input->terminalType(), TerminalType::unknown);
    SimHardware::removeProperty(input->objectID, propertyAddress(kAudioStreamPropertyTerminalType));
    EXPECT_EQ(input->terminalType(), TerminalType::unknown);
}

TEST_F(Stream, AStreamWithoutOwnerIsNeverMade) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    AudioObjectID id = inputStream(device);
    SimHardware::removeProperty(id, propertyAddress(kAudioObjectPropertyOwner));
    EXPECT_EQ(AudioStream::lookup(id), nullptr);
    EXPECT_EQ(AudioObjectPool::shared().find(id), nullptr);
    EXPECT_EQ(SimHardware::listenerCount(id), 0u);
}

TEST_F(Stream, AnUnknownDirectionHasNoFormats) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto stream = AudioStream::lookup(inputStream(device));
    SimHardware::changeValue(stream->objectID, propertyAddress(kAudioStreamPropertyDirection),
                             sim::AudioPropertyValue::u32(2));
    EXPECT_EQ(stream->direction(), std::nullopt);
    EXPECT_EQ(stream->physicalFormat(), std::nullopt);
    EXPECT_EQ(stream->availablePhysicalFormats(), std::nullopt);
    auto format = MakeLinearPCMFormat(44100, 1);
    stream->setPhysicalFormat(format);
    EXPECT_EQ(debugLines("Error setting physicalFormat to " + describeFormat(format) + "."), 1u);
    EXPECT_TRUE(SimHardware::writes().empty());
    // The device counts no channels for it.
    EXPECT_EQ(AudioDevice::lookup(device)->channels(Scope::input), 0u);
}

TEST_F(Stream, WritingFormats) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto stream = AudioStream::lookup(inputStream(device));
    NotificationRecorder changes(AudioNotificationName::streamPhysicalFormatDidChange(), stream);
    stream->modifyPhysicalFormat(
        [](std::optional<AudioStreamBasicDescription>& format) { format->mSampleRate = 44100; });
    EXPECT_EQ(stream->physicalFormat()->mSampleRate, 44100);
    auto writes = SimHardware::writes(kAudioStreamPropertyPhysicalFormat);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data.size(), 40u);
    EXPECT_EQ(writes[0].address.mScope, kAudioObjectPropertyScopeInput);
    stream->setVirtualFormat(std::nullopt);  // 40 zero bytes
    auto virtualWrites = SimHardware::writes(kAudioStreamPropertyVirtualFormat);
    ASSERT_EQ(virtualWrites.size(), 1u);
    EXPECT_EQ(virtualWrites[0].data, std::vector<std::uint8_t>(40, 0));
    SimHardware::failNextSet(stream->objectID,
                             propertyAddress(kAudioStreamPropertyVirtualFormat, Scope::input),
                             kAudioDeviceUnsupportedFormatError);
    stream->modifyVirtualFormat([](auto&) {});
    EXPECT_EQ(log_->count("Error setting virtualFormat to " +
                          describeFormat(AudioStreamBasicDescription{}) + "."),
              1u);
    SimHardware::flush();
    EXPECT_EQ(changes.count(), 1u);
}

TEST_F(Stream, FormatsAtTheCurrentSampleRate) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    AudioObjectID id = inputStream(device);
    std::vector<AudioStreamRangedDescription> available{
        ranged(44100),
        ranged(48000),
        ranged(48000, kAudioFormatFlagIsNonMixable),
        ranged(96000),
        {MakeLinearPCMFormat(32000, 2), {8000, 96000}}};  // a continuous range around it
    for (auto selector : {kAudioStreamPropertyAvailablePhysicalFormats,
                          kAudioStreamPropertyAvailableVirtualFormats})
        SimHardware::changeValue(id, propertyAddress(selector, Scope::input),
                                 sim::AudioPropertyValue::array(available));
    auto stream = AudioStream::lookup(id);
    auto mixable = stream->physicalFormatsAtCurrentSampleRate(false);
    ASSERT_TRUE(mixable);
    ASSERT_EQ(mixable->size(), 2u);
    EXPECT_EQ((*mixable)[0], available[1].mFormat);
    EXPECT_EQ((*mixable)[1], available[4].mFormat);
    auto all = stream->virtualFormatsAtCurrentSampleRate(true);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 3u);

    SimHardware::failNextGet(id, propertyAddress(kAudioStreamPropertyPhysicalFormat, Scope::input),
                             kAudioHardwareNotRunningError);
    EXPECT_EQ(stream->physicalFormatsAtCurrentSampleRate(true), std::nullopt);
}

TEST_F(Stream, AvailableFormatsAreReadOnce) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    AudioObjectID id = inputStream(device);
    auto stream = AudioStream::lookup(id);
    auto first = stream->availablePhysicalFormats();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 2u);
    SimHardware::changeValue(
        id, propertyAddress(kAudioStreamPropertyAvailablePhysicalFormats, Scope::input),
        sim::AudioPropertyValue::array(std::vector{ranged(8000)}));
    EXPECT_EQ(stream->availablePhysicalFormats()->size(), 2u);
    stream->setAvailablePhysicalFormats(std::vector{ranged(8000)});
    EXPECT_EQ(stream->availablePhysicalFormats()->size(), 1u);
    stream->setAvailableVirtualFormats(std::nullopt);
    EXPECT_EQ(stream->availableVirtualFormats(), std::nullopt);
    EXPECT_EQ(stream->virtualFormatsAtCurrentSampleRate(true), std::nullopt);
}

TEST_F(Stream, ListenerPostsTwoChanges) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    AudioObjectID id = inputStream(device);
    auto stream = AudioStream::lookup(id);
    EXPECT_TRUE(stream->isRegisteredForNotifications());
    NotificationRecorder active(AudioNotificationName::streamIsActiveDidChange(), stream);
    NotificationRecorder any(std::nullopt, stream);
    SimHardware::changeValue(id, propertyAddress(kAudioStreamPropertyIsActive),
                             sim::AudioPropertyValue::u32(0));
    SimHardware::changeValue(id, propertyAddress(kAudioStreamPropertyLatency),
                             sim::AudioPropertyValue::u32(99));
    SimHardware::flush();
    EXPECT_EQ(active.count(), 1u);
    EXPECT_EQ(any.count(), 1u);
    EXPECT_EQ(AudioStream::streamPropertyListener(9999, 0, nullptr, nullptr),
              kAudioHardwareBadObjectError);
}

TEST_F(Stream, ReleaseRemovesTheListenerAndLogsWhenItCannot) {
    AudioObjectID device = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    AudioObjectID id = inputStream(device);
    auto stream = AudioStream::lookup(id);
    EXPECT_EQ(SimHardware::listenerCount(id), 1u);
    stream.reset();
    EXPECT_EQ(SimHardware::listenerCount(id), 0u);
    stream = AudioStream::lookup(id);
    SimHardware::failNext(sim::AudioCall::RemoveListener, id, kAudioObjectWildcardAddress,
                          kAudioHardwareUnspecifiedError);
    std::string text = "Unable to remove property listener for " + stream->description() + ".";
    stream.reset();
    EXPECT_EQ(defaultLines(text), 1u);
}

// ---- Channels of a device ------------------------------------------------------

TEST_F(Stream, ChannelCountsAndDirections) {
    struct Case {
        const char* what;
        AudioDeviceConfig config;
        UInt32 inputs, outputs;
        bool inputOnly, outputOnly;
    };
    auto stereoMic = AudioDeviceConfig::inputOnly("stereo", "Stereo Mic", 2);
    auto split = AudioDeviceConfig::inputOnly("split", "Split Mic", 3);
    split.input.streams = 3;
    auto silent = AudioDeviceConfig::usbMicrophone("silent");
    silent.input.channels = 0;
    std::vector<Case> cases{
        {"stereo microphone", stereoMic, 2, 0, true, false},
        {"three streams", split, 3, 0, true, false},
        {"headset", AudioDeviceConfig::bluetoothHeadset(), 1, 2, false, false},
        {"speakers", AudioDeviceConfig::builtInSpeakers(), 0, 2, false, true},
        {"no channels", silent, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto device = AudioDevice::lookup(SimHardware::addDevice(c.config));
        EXPECT_EQ(device->channels(Scope::input), c.inputs);
        EXPECT_EQ(device->channels(Scope::output), c.outputs);
        EXPECT_EQ(device->isInputOnlyDevice(), c.inputOnly);
        EXPECT_EQ(device->isOutputOnlyDevice(), c.outputOnly);
        EXPECT_EQ(device->streams(Scope::input)->size(), c.inputs ? c.config.input.streams : 0u);
        if (c.inputs) {
            EXPECT_EQ(device->layoutChannels(Scope::input), c.inputs);
        }
    }
}

TEST_F(Stream, StreamsThatCannotBeReadCountNothing) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::inputOnly("mic", "Mic", 2));
    auto device = AudioDevice::lookup(id);
    AudioObjectID streamID = inputStream(id);
    SimHardware::removeProperty(streamID,
                                propertyAddress(kAudioStreamPropertyPhysicalFormat, Scope::input));
    EXPECT_EQ(device->channels(Scope::input), 0u);
    SimHardware::removeProperty(id, propertyAddress(kAudioDevicePropertyStreams, Scope::input));
    EXPECT_EQ(device->streams(Scope::input), std::nullopt);
    EXPECT_EQ(device->channels(Scope::input), 0u);
    EXPECT_TRUE(log_->records().empty());
}

TEST_F(Stream, ElementNames) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInSpeakers());
    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(device->name(1, Scope::output), "Output 1");
    EXPECT_EQ(device->name(3, Scope::output), std::nullopt);
    SimHardware::changeValue(id, propertyAddress(kAudioObjectPropertyElementName, Scope::output, 2),
                             sim::AudioPropertyValue::string(""));
    EXPECT_EQ(device->name(2, Scope::output), std::nullopt);
    EXPECT_EQ(device->layoutChannels(Scope::input), std::nullopt);
}

}  // namespace
