// Mute, volume, play-through, stereo pair, virtual main volume and balance,
// and the subwoofer controls of a device.

#include "app/audio/AudioDevice.h"

namespace {

// A logged optional read of an address the device may lack.
template <class T>
std::optional<T> readIfPresent(const AudioDevice& device, const AudioObjectPropertyAddress& a) {
    if (!device.hasProperty(a)) return std::nullopt;
    return device.getProperty<T>(a);
}

template <class T>
bool writeIfPresent(const AudioDevice& device, const AudioObjectPropertyAddress& a, T value) {
    if (!device.hasProperty(a)) return false;
    return device.setProperty(a, value);
}

}  // namespace

std::optional<VolumeInfo> AudioDevice::volumeInfo(UInt32 channel, Scope scope) const {
    VolumeInfo info;
    bool readSucceeded = false;

    auto volumeAddress = propertyAddress(kAudioDevicePropertyVolumeScalar, scope, channel);
    bool settable = false;
    if (hasProperty(volumeAddress) && isPropertySettable(volumeAddress, settable) == noErr) {
        info.canSetVolume = settable;
        info.hasVolume = true;
        Float32 volume = 0;
        if (getPropertyData(volumeAddress, volume) == noErr) {
            info.volume = volume;
            readSucceeded = true;
        }
    }
    auto muteAddress = propertyAddress(kAudioDevicePropertyMute, scope, channel);
    if (hasProperty(muteAddress) && isPropertySettable(muteAddress, settable) == noErr) {
        info.canMute = settable;
        UInt32 muted = 0;
        if (getPropertyData(muteAddress, muted) == noErr) {
            info.isMuted = muted != 0;
            readSucceeded = true;
        }
    }
    auto thruAddress = propertyAddress(kAudioDevicePropertyPlayThru, scope, channel);
    if (hasProperty(thruAddress) && isPropertySettable(thruAddress, settable) == noErr) {
        info.canPlayThru = settable;
        UInt32 thru = 0;
        if (getPropertyData(thruAddress, thru) == noErr) {
            info.isPlayThruSet = thru != 0;
            readSucceeded = true;
        }
    }
    if (!readSucceeded) return std::nullopt;
    return info;
}

std::optional<Float32> AudioDevice::volume(UInt32 channel, Scope scope) const {
    return readIfPresent<Float32>(
        *this, propertyAddress(kAudioDevicePropertyVolumeScalar, scope, channel));
}

std::optional<Float32> AudioDevice::volumeInDecibels(UInt32 channel, Scope scope) const {
    return readIfPresent<Float32>(
        *this, propertyAddress(kAudioDevicePropertyVolumeDecibels, scope, channel));
}

bool AudioDevice::setVolume(Float32 volume, UInt32 channel, Scope scope) const {
    return writeIfPresent(*this, propertyAddress(kAudioDevicePropertyVolumeScalar, scope, channel),
                          volume);
}

bool AudioDevice::setMute(bool muted, UInt32 channel, Scope scope) const {
    return writeIfPresent(*this, propertyAddress(kAudioDevicePropertyMute, scope, channel), muted);
}

std::optional<bool> AudioDevice::isMuted(UInt32 channel, Scope scope) const {
    auto value =
        readIfPresent<UInt32>(*this, propertyAddress(kAudioDevicePropertyMute, scope, channel));
    if (!value) return std::nullopt;
    return *value != 0;
}

bool AudioDevice::canMute(UInt32 channel, Scope scope) const {
    auto info = volumeInfo(channel, scope);
    return info && info->canMute;
}

bool AudioDevice::canSetVolume(UInt32 channel, Scope scope) const {
    auto info = volumeInfo(channel, scope);
    return info && info->canSetVolume;
}

bool AudioDevice::canMuteMainVolume(Scope scope) const {
    if (canMute(0, scope)) return true;
    auto pair = preferredChannelsForStereo(scope);
    if (!pair) return false;
    return canMute(pair->first, scope) && canMute(pair->second, scope);
}

std::optional<StereoPair> AudioDevice::preferredChannelsForStereo(Scope scope) const {
    auto address = propertyAddress(kAudioDevicePropertyPreferredChannelsForStereo, scope);
    if (!hasProperty(address)) return std::nullopt;
    std::vector<UInt32> channels;
    if (getPropertyDataArray<UInt32>(address, std::nullopt, channels, 0) != noErr)
        return std::nullopt;
    if (channels.size() != 2) return std::nullopt;
    return StereoPair{channels[0], channels[1]};
}

bool AudioDevice::setPreferredChannelsForStereo(StereoPair channels, Scope scope) const {
    auto address = propertyAddress(kAudioDevicePropertyPreferredChannelsForStereo, scope);
    if (!hasProperty(address)) return false;
    const UInt32 pair[2] = {channels.first, channels.second};
    return setPropertyData(address, pair) == noErr;
}

bool AudioDevice::hasVirtualMainVolume(Scope scope) const {
    return hasProperty(
        propertyAddress(kAudioHardwareServiceDeviceProperty_VirtualMainVolume, scope));
}

std::optional<Float32> AudioDevice::virtualMainVolume(Scope scope) const {
    return readIfPresent<Float32>(
        *this, propertyAddress(kAudioHardwareServiceDeviceProperty_VirtualMainVolume, scope));
}

bool AudioDevice::setVirtualMainVolume(Float32 volume, Scope scope) const {
    return writeIfPresent(
        *this, propertyAddress(kAudioHardwareServiceDeviceProperty_VirtualMainVolume, scope),
        volume);
}

std::optional<Float32> AudioDevice::virtualMainVolumeInDecibels(Scope scope) const {
    UInt32 reference = 0;
    auto info = volumeInfo(0, scope);
    if (!info || !info->canSetVolume) {
        auto pair = preferredChannelsForStereo(scope);
        if (!pair) return std::nullopt;
        reference = pair->first;
    }
    auto scalar = virtualMainVolume(scope);
    if (!scalar) return std::nullopt;
    return scalarToDecibels(*scalar, reference, scope);
}

std::optional<Float32> AudioDevice::virtualMainBalance(Scope scope) const {
    return readIfPresent<Float32>(
        *this, propertyAddress(kAudioHardwareServiceDeviceProperty_VirtualMainBalance, scope));
}

bool AudioDevice::setVirtualMainBalance(Float32 balance, Scope scope) const {
    return writeIfPresent(
        *this, propertyAddress(kAudioHardwareServiceDeviceProperty_VirtualMainBalance, scope),
        balance);
}

namespace {

std::optional<Float32> convert(const AudioDevice& device, AudioObjectPropertySelector selector,
                               Float32 value, UInt32 channel, Scope scope) {
    auto address = propertyAddress(selector, scope, channel);
    if (!device.hasProperty(address)) return std::nullopt;
    Float32 buffer = value;
    if (device.getPropertyData(address, buffer) != noErr) return std::nullopt;
    return buffer;
}

}  // namespace

std::optional<Float32> AudioDevice::scalarToDecibels(Float32 volume, UInt32 channel,
                                                     Scope scope) const {
    return convert(*this, kAudioDevicePropertyVolumeScalarToDecibels, volume, channel, scope);
}

std::optional<Float32> AudioDevice::decibelsToScalar(Float32 volume, UInt32 channel,
                                                     Scope scope) const {
    return convert(*this, kAudioDevicePropertyVolumeDecibelsToScalar, volume, channel, scope);
}

namespace {

std::optional<bool> readFlag(const AudioDevice& device, AudioObjectPropertySelector selector) {
    auto value = readIfPresent<UInt32>(device, propertyAddress(selector));
    if (!value) return std::nullopt;
    return *value != 0;
}

}  // namespace

std::optional<bool> AudioDevice::shouldOwniSub() const {
    return readFlag(*this, kAudioDevicePropertyDriverShouldOwniSub);
}

void AudioDevice::setShouldOwniSub(std::optional<bool> value) const {
    if (value)
        writeIfPresent(*this, propertyAddress(kAudioDevicePropertyDriverShouldOwniSub), *value);
}

std::optional<bool> AudioDevice::lfeMute() const {
    return readFlag(*this, kAudioDevicePropertySubMute);
}

void AudioDevice::setLfeMute(std::optional<bool> value) const {
    if (value) writeIfPresent(*this, propertyAddress(kAudioDevicePropertySubMute), *value);
}

std::optional<Float32> AudioDevice::lfeVolume() const {
    return readIfPresent<Float32>(*this, propertyAddress(kAudioDevicePropertySubVolumeScalar));
}

void AudioDevice::setLfeVolume(std::optional<Float32> value) const {
    if (value) writeIfPresent(*this, propertyAddress(kAudioDevicePropertySubVolumeScalar), *value);
}

std::optional<Float32> AudioDevice::lfeVolumeDecibels() const {
    return readIfPresent<Float32>(*this, propertyAddress(kAudioDevicePropertySubVolumeDecibels));
}

void AudioDevice::setLfeVolumeDecibels(std::optional<Float32> value) const {
    if (value)
        writeIfPresent(*this, propertyAddress(kAudioDevicePropertySubVolumeDecibels), *value);
}
