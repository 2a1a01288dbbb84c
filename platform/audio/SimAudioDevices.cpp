// Building devices, streams and controls from a configuration, and the
// preset devices of the control surface.

#include <cstdio>

#include "platform/audio/SimAudioEngine.h"

std::string FourCCString(UInt32 code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((code >> shift) & 0xFF);
        if (c < 0x20 || c > 0x7E) return std::to_string(code);
        text.push_back(c);
    }
    return "'" + text + "'";
}

AudioStreamBasicDescription MakeLinearPCMFormat(Float64 rate, UInt32 channels,
                                                AudioFormatFlags extraFlags) {
    AudioStreamBasicDescription format;
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | extraFlags;
    format.mBytesPerPacket = 4 * channels;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

namespace sim {

AudioPropertyValue AudioPropertyValue::string(std::string text) {
    AudioPropertyValue v;
    v.kind_ = Kind::String;
    v.elementSize_ = sizeof(void*);
    v.text_ = std::move(text);
    return v;
}

namespace {

AudioScopeConfig microphoneSide(UInt32 channels) {
    AudioScopeConfig side;
    side.channels = channels;
    side.terminalType = kAudioStreamTerminalTypeMicrophone;
    side.mainMute = true;
    side.mainVolume = true;
    side.latency = 32;
    side.safetyOffset = 16;
    return side;
}

AudioScopeConfig speakerSide(UInt32 channels) {
    AudioScopeConfig side;
    side.channels = channels;
    side.terminalType = kAudioStreamTerminalTypeSpeaker;
    side.mainMute = true;
    side.mainVolume = true;
    side.channelVolumes = true;
    side.latency = 48;
    side.safetyOffset = 24;
    if (channels >= 2) side.preferredStereo = std::make_pair(1u, 2u);
    return side;
}

}  // namespace

AudioDeviceConfig AudioDeviceConfig::builtInMicrophone() {
    AudioDeviceConfig c;
    c.uid = "BuiltInMicrophoneDevice";
    c.modelUID = "Digital Mic";
    c.name = "Built-in Microphone";
    c.manufacturer = "Vantorel Audio";
    c.transportType = kAudioDeviceTransportTypeBuiltIn;
    c.input = microphoneSide(1);
    c.input.dataSources = {{FourCC("imic"), "Internal Microphone"}};
    c.clockSources = {{1, "Internal Clock"}};
    return c;
}

AudioDeviceConfig AudioDeviceConfig::builtInSpeakers() {
    AudioDeviceConfig c;
    c.uid = "BuiltInSpeakerDevice";
    c.modelUID = "Speaker";
    c.name = "Built-in Speakers";
    c.manufacturer = "Vantorel Audio";
    c.transportType = kAudioDeviceTransportTypeBuiltIn;
    c.output = speakerSide(2);
    c.output.dataSources = {{FourCC("ispk"), "Internal Speakers"}};
    c.clockSources = {{1, "Internal Clock"}};
    return c;
}

AudioDeviceConfig AudioDeviceConfig::usbMicrophone(std::string uid) {
    AudioDeviceConfig c;
    c.uid = std::move(uid);
    c.modelUID = "USB Microphone:1234:5678";
    c.name = "USB Microphone";
    c.manufacturer = "Generic USB Audio";
    c.transportType = kAudioDeviceTransportTypeUSB;
    c.input = microphoneSide(1);
    return c;
}

AudioDeviceConfig AudioDeviceConfig::bluetoothHeadset(std::string uid) {
    AudioDeviceConfig c;
    c.uid = std::move(uid);
    c.modelUID = "Bluetooth Headset:4c:200e";
    c.name = "Bluetooth Headset";
    c.manufacturer = "Generic Bluetooth Audio";
    c.transportType = kAudioDeviceTransportTypeBluetooth;
    c.input = microphoneSide(1);
    c.input.terminalType = kAudioStreamTerminalTypeHeadsetMicrophone;
    c.output = speakerSide(2);
    c.output.terminalType = kAudioStreamTerminalTypeHeadphones;
    c.nominalSampleRate = 24000;
    c.sampleRateRanges = {{16000, 16000}, {24000, 24000}};
    return c;
}

AudioDeviceConfig AudioDeviceConfig::bluetoothLEHeadset(std::string uid) {
    AudioDeviceConfig c = bluetoothHeadset(std::move(uid));
    c.modelUID = "Bluetooth LE Headset:4c:2014";
    c.name = "Bluetooth LE Headset";
    c.transportType = kAudioDeviceTransportTypeBluetoothLE;
    return c;
}

AudioDeviceConfig AudioDeviceConfig::inputOnly(std::string uid, std::string name, UInt32 channels) {
    AudioDeviceConfig c;
    c.uid = std::move(uid);
    c.modelUID = "Input:" + c.uid;
    c.name = std::move(name);
    c.manufacturer = "Generic Audio";
    c.transportType = kAudioDeviceTransportTypeUSB;
    c.input = microphoneSide(channels);
    return c;
}

AudioDeviceConfig AudioDeviceConfig::outputOnly(std::string uid, std::string name,
                                                UInt32 channels) {
    AudioDeviceConfig c;
    c.uid = std::move(uid);
    c.modelUID = "Output:" + c.uid;
    c.name = std::move(name);
    c.manufacturer = "Generic Audio";
    c.transportType = kAudioDeviceTransportTypeUSB;
    c.output = speakerSide(channels);
    return c;
}

namespace audio {

namespace {

void put(Object& object, AudioObjectPropertySelector selector, UInt32 scope, UInt32 element,
         AudioPropertyValue value, bool settable = false, Special special = Special::None) {
    AudioObjectPropertyAddress address{selector, scope, element};
    object.properties[{selector, scope, element}] =
        Property{address, std::move(value), settable, special};
}

void putGlobal(Object& object, AudioObjectPropertySelector selector, AudioPropertyValue value,
               bool settable = false, Special special = Special::None) {
    put(object, selector, kAudioObjectPropertyScopeGlobal, 0, std::move(value), settable, special);
}

}  // namespace

AudioObjectID Engine::addControlLocked(AudioObjectID owner, AudioClassID classID) {
    Object control;
    control.id = nextID_++;
    control.classID = classID;
    control.owner = owner;
    putGlobal(control, kAudioObjectPropertyClass, AudioPropertyValue::u32(classID));
    putGlobal(control, kAudioObjectPropertyOwner, AudioPropertyValue::u32(owner));
    AudioObjectID id = control.id;
    objects_[id] = std::move(control);
    return id;
}

void Engine::buildScopeLocked(Object& device, const AudioDeviceConfig& config, bool input,
                              std::vector<AudioObjectID>& controls) {
    const AudioScopeConfig& side = input ? config.input : config.output;
    const UInt32 scope = input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
    std::vector<AudioObjectID>& streams = input ? device.inputStreams : device.outputStreams;
    (input ? device.inputChannels : device.outputChannels) = side.channels;

    if (side.channels > 0) {
        UInt32 count = std::max<UInt32>(1, std::min(side.streams, side.channels));
        UInt32 startingChannel = 1;
        for (UInt32 i = 0; i < count; ++i) {
            UInt32 channels = side.channels / count + (i < side.channels % count ? 1 : 0);
            Object stream;
            stream.id = nextID_++;
            stream.classID = kAudioStreamClassID;
            stream.owner = device.id;
            putGlobal(stream, kAudioObjectPropertyClass,
                      AudioPropertyValue::u32(kAudioStreamClassID));
            putGlobal(stream, kAudioObjectPropertyOwner, AudioPropertyValue::u32(device.id));
            putGlobal(stream, kAudioStreamPropertyDirection,
                      AudioPropertyValue::u32(input ? 1 : 0));
            putGlobal(stream, kAudioStreamPropertyTerminalType,
                      AudioPropertyValue::u32(side.terminalType));
            putGlobal(stream, kAudioStreamPropertyIsActive, AudioPropertyValue::u32(1));
            putGlobal(stream, kAudioStreamPropertyLatency,
                      AudioPropertyValue::u32(side.latency / 4));
            putGlobal(stream, kAudioStreamPropertyStartingChannel,
                      AudioPropertyValue::u32(startingChannel));
            auto format = MakeLinearPCMFormat(config.nominalSampleRate, channels);
            put(stream, kAudioStreamPropertyPhysicalFormat, scope, 0,
                AudioPropertyValue::pod(format), true);
            put(stream, kAudioStreamPropertyVirtualFormat, scope, 0,
                AudioPropertyValue::pod(format), true);
            std::vector<AudioStreamRangedDescription> available;
            for (const auto& range : config.sampleRateRanges) {
                available.push_back({MakeLinearPCMFormat(range.mMinimum, channels), range});
            }
            put(stream, kAudioStreamPropertyAvailablePhysicalFormats, scope, 0,
                AudioPropertyValue::array(available));
            put(stream, kAudioStreamPropertyAvailableVirtualFormats, scope, 0,
                AudioPropertyValue::array(available));
            streams.push_back(stream.id);
            device.owned.push_back(stream.id);
            objects_[stream.id] = std::move(stream);
            startingChannel += channels;
        }
        AudioChannelLayout layout;
        layout.mNumberChannelDescriptions = side.channels;
        put(device, kAudioDevicePropertyPreferredChannelLayout, scope, 0,
            AudioPropertyValue::pod(layout));
        for (UInt32 channel = 1; channel <= side.channels; ++channel) {
            put(device, kAudioObjectPropertyElementName, scope, channel,
                AudioPropertyValue::string((input ? "Input " : "Output ") +
                                           std::to_string(channel)));
        }
    }
    put(device, kAudioDevicePropertyStreams, scope, 0, AudioPropertyValue::array(streams));
    put(device, kAudioDevicePropertyLatency, scope, 0, AudioPropertyValue::u32(side.latency));
    put(device, kAudioDevicePropertySafetyOffset, scope, 0,
        AudioPropertyValue::u32(side.safetyOffset));

    auto elements = [&](bool main, bool perChannel) {
        std::vector<UInt32> list;
        if (main) list.push_back(0);
        if (perChannel)
            for (UInt32 channel = 1; channel <= side.channels; ++channel) list.push_back(channel);
        return list;
    };
    for (UInt32 element : elements(side.mainMute, side.channelMutes)) {
        put(device, kAudioDevicePropertyMute, scope, element, AudioPropertyValue::u32(0),
            side.muteSettable);
        controls.push_back(addControlLocked(device.id, kAudioMuteControlClassID));
    }
    auto volumes = elements(side.mainVolume, side.channelVolumes);
    for (UInt32 element : volumes) {
        put(device, kAudioDevicePropertyVolumeScalar, scope, element,
            AudioPropertyValue::f32(0.75f), side.volumeSettable);
        put(device, kAudioDevicePropertyVolumeDecibels, scope, element, AudioPropertyValue::f32(0),
            false, Special::VolumeDecibels);
        put(device, kAudioDevicePropertyVolumeScalarToDecibels, scope, element,
            AudioPropertyValue::f32(0), false, Special::ScalarToDecibels);
        put(device, kAudioDevicePropertyVolumeDecibelsToScalar, scope, element,
            AudioPropertyValue::f32(0), false, Special::DecibelsToScalar);
        controls.push_back(addControlLocked(device.id, kAudioVolumeControlClassID));
    }
    if (!volumes.empty()) {
        put(device, kAudioHardwareServiceDeviceProperty_VirtualMainVolume, scope, 0,
            AudioPropertyValue::f32(0.75f), true);
        put(device, kAudioHardwareServiceDeviceProperty_VirtualMainBalance, scope, 0,
            AudioPropertyValue::f32(0.5f), true);
    }
    if (side.playThru)
        put(device, kAudioDevicePropertyPlayThru, scope, 0, AudioPropertyValue::u32(0), true);
    if (side.jack)
        put(device, kAudioDevicePropertyJackIsConnected, scope, 0, AudioPropertyValue::u32(1));
    if (side.preferredStereo) {
        put(device, kAudioDevicePropertyPreferredChannelsForStereo, scope, 0,
            AudioPropertyValue::array(
                std::vector<UInt32>{side.preferredStereo->first, side.preferredStereo->second}),
            true);
    }
    if (!side.dataSources.empty()) {
        std::vector<UInt32> ids;
        auto& names = device.sourceNames[{kAudioDevicePropertyDataSourceNameForIDCFString, scope}];
        for (const auto& [id, name] : side.dataSources) {
            ids.push_back(id);
            names[id] = name;
        }
        put(device, kAudioDevicePropertyDataSources, scope, 0, AudioPropertyValue::array(ids));
        put(device, kAudioDevicePropertyDataSource, scope, 0,
            AudioPropertyValue::array(std::vector<UInt32>{ids.front()}), true);
        put(device, kAudioDevicePropertyDataSourceNameForIDCFString, scope, 0,
            AudioPropertyValue::pod(AudioValueTranslation{}), false, Special::SourceName);
    }
}

AudioObjectID Engine::buildDeviceLocked(const AudioDeviceConfig& config) {
    Object device;
    device.id = nextID_++;
    device.classID = config.classID;
    device.owner = kAudioObjectSystemObject;
    putGlobal(device, kAudioObjectPropertyClass, AudioPropertyValue::u32(config.classID));
    putGlobal(device, kAudioObjectPropertyOwner, AudioPropertyValue::u32(kAudioObjectSystemObject));
    putGlobal(device, kAudioObjectPropertyName, AudioPropertyValue::string(config.name));
    if (!config.manufacturer.empty())
        putGlobal(device, kAudioObjectPropertyManufacturer,
                  AudioPropertyValue::string(config.manufacturer));
    if (!config.uid.empty())
        putGlobal(device, kAudioDevicePropertyDeviceUID, AudioPropertyValue::string(config.uid));
    if (!config.modelUID.empty())
        putGlobal(device, kAudioDevicePropertyModelUID,
                  AudioPropertyValue::string(config.modelUID));
    if (!config.configurationApplication.empty())
        putGlobal(device, kAudioDevicePropertyConfigurationApplication,
                  AudioPropertyValue::string(config.configurationApplication));
    putGlobal(device, kAudioDevicePropertyTransportType,
              AudioPropertyValue::u32(config.transportType));
    putGlobal(device, kAudioDevicePropertyDeviceIsAlive, AudioPropertyValue::u32(1));
    putGlobal(device, kAudioDevicePropertyIsHidden, AudioPropertyValue::u32(config.hidden ? 1 : 0));
    putGlobal(device, kAudioDevicePropertyDeviceIsRunning, AudioPropertyValue::u32(0));
    putGlobal(device, kAudioDevicePropertyDeviceIsRunningSomewhere, AudioPropertyValue::u32(0));
    putGlobal(device, kAudioDevicePropertyRelatedDevices,
              AudioPropertyValue::array(std::vector<AudioObjectID>{device.id}));
    putGlobal(device, kAudioObjectPropertyOwnedObjects,
              AudioPropertyValue::array(std::vector<AudioObjectID>{}), false,
              Special::OwnedObjects);
    if (config.hogMode) {
        put(device, kAudioDevicePropertyHogMode, kAudioObjectPropertyScopeWildcard, 0,
            AudioPropertyValue::i32(-1), true, Special::HogMode);
    }
    putGlobal(device, kAudioDevicePropertyNominalSampleRate,
              AudioPropertyValue::f64(config.nominalSampleRate), true);
    putGlobal(device, kAudioDevicePropertyActualSampleRate,
              AudioPropertyValue::f64(config.nominalSampleRate));
    put(device, kAudioDevicePropertyAvailableNominalSampleRates, kAudioObjectPropertyScopeWildcard,
        0, AudioPropertyValue::array(config.sampleRateRanges));
    put(device, kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeWildcard, 0,
        AudioPropertyValue::u32(config.bufferFrameSize), true);
    put(device, kAudioDevicePropertyBufferFrameSizeRange, kAudioObjectPropertyScopeWildcard, 0,
        AudioPropertyValue::array(config.bufferFrameSizeRanges));
    if (!config.clockSources.empty()) {
        std::vector<UInt32> ids;
        auto& names = device.sourceNames[{kAudioDevicePropertyClockSourceNameForIDCFString,
                                          kAudioObjectPropertyScopeGlobal}];
        for (const auto& [id, name] : config.clockSources) {
            ids.push_back(id);
            names[id] = name;
        }
        putGlobal(device, kAudioDevicePropertyClockSources, AudioPropertyValue::array(ids));
        putGlobal(device, kAudioDevicePropertyClockSource, AudioPropertyValue::u32(ids.front()),
                  true);
        putGlobal(device, kAudioDevicePropertyClockSourceNameForIDCFString,
                  AudioPropertyValue::pod(AudioValueTranslation{}), false, Special::SourceName);
    }

    if (config.subwoofer) {
        putGlobal(device, kAudioDevicePropertyDriverShouldOwniSub, AudioPropertyValue::u32(0),
                  true);
        putGlobal(device, kAudioDevicePropertySubMute, AudioPropertyValue::u32(0), true);
        putGlobal(device, kAudioDevicePropertySubVolumeScalar, AudioPropertyValue::f32(1), true);
        putGlobal(device, kAudioDevicePropertySubVolumeDecibels, AudioPropertyValue::f32(0), true);
    }

    std::vector<AudioObjectID> controls;
    buildScopeLocked(device, config, true, controls);
    buildScopeLocked(device, config, false, controls);
    std::vector<AudioObjectID> allStreams = device.inputStreams;
    allStreams.insert(allStreams.end(), device.outputStreams.begin(), device.outputStreams.end());
    putGlobal(device, kAudioDevicePropertyStreams, AudioPropertyValue::array(allStreams));
    putGlobal(device, kAudioObjectPropertyControlList, AudioPropertyValue::array(controls));
    device.owned.insert(device.owned.end(), controls.begin(), controls.end());

    AudioObjectID id = device.id;
    objects_[id] = std::move(device);
    return id;
}

std::vector<AudioObjectID> Engine::addDevices(const std::vector<AudioDeviceConfig>& configs) {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& config : configs) {
        ids.push_back(buildDeviceLocked(config));
        deviceList_.push_back(ids.back());
    }
    if (!ids.empty()) announceDeviceListLocked();
    return ids;
}

}  // namespace audio
}  // namespace sim
