// Hog mode, identity, transport type, state flags, default-device tests and
// the sub-devices of aggregate devices.

#include "app/audio/AudioDevice.h"
#include "app/audio/AudioHardware.h"
#include "platform/bundle/NSProcessInfo.h"

namespace {

AudioObjectPropertyAddress hogModeAddress() {
    return propertyAddress(kAudioDevicePropertyHogMode, Scope::wildcard);
}

}  // namespace

// ---- Hog mode ----------------------------------------------------------------

std::optional<pid_t> AudioDevice::hogModePID() const {
    auto address = hogModeAddress();
    if (!hasProperty(address)) return std::nullopt;
    SInt32 owner = 0;
    if (getPropertyData(address, owner) != noErr) return std::nullopt;
    return static_cast<pid_t>(owner);
}

bool AudioDevice::setHogMode() const {
    auto owner = hogModePID();
    int self = NSProcessInfo::processInfo()->processIdentifier();
    // Writing again would give back what this process already holds.
    if (owner && *owner == self) return false;
    if (!hasProperty(hogModeAddress())) return false;
    return setProperty(hogModeAddress(), SInt64{0});
}

bool AudioDevice::unsetHogMode() const {
    auto owner = hogModePID();
    int self = NSProcessInfo::processInfo()->processIdentifier();
    if (!owner || *owner != self) return false;
    if (!hasProperty(hogModeAddress())) return false;
    return setProperty(hogModeAddress(), SInt64{0});
}

// ---- Identity and state ------------------------------------------------------

std::optional<std::string> AudioDevice::loggedString(AudioObjectPropertySelector selector) const {
    auto address = propertyAddress(selector);
    if (!hasProperty(address)) return std::nullopt;
    return getProperty<std::string>(address);
}

bool AudioDevice::loggedFlag(AudioObjectPropertySelector selector) const {
    auto address = propertyAddress(selector);
    if (!hasProperty(address)) return false;
    auto value = getProperty<UInt32>(address);
    return value && *value != 0;
}

std::optional<std::string> AudioDevice::uid() const {
    return loggedString(kAudioDevicePropertyDeviceUID);
}
std::optional<std::string> AudioDevice::modelUID() const {
    return loggedString(kAudioDevicePropertyModelUID);
}
std::optional<std::string> AudioDevice::manufacturer() const {
    return loggedString(kAudioObjectPropertyManufacturer);
}
std::optional<std::string> AudioDevice::configurationApplication() const {
    return loggedString(kAudioDevicePropertyConfigurationApplication);
}
bool AudioDevice::isHidden() const {
    return loggedFlag(kAudioDevicePropertyIsHidden);
}
bool AudioDevice::isAlive() const {
    return loggedFlag(kAudioDevicePropertyDeviceIsAlive);
}
bool AudioDevice::isRunning() const {
    return loggedFlag(kAudioDevicePropertyDeviceIsRunning);
}
bool AudioDevice::isRunningSomewhere() const {
    return loggedFlag(kAudioDevicePropertyDeviceIsRunningSomewhere);
}

std::optional<bool> AudioDevice::isJackConnected(Scope scope) const {
    auto address = propertyAddress(kAudioDevicePropertyJackIsConnected, scope);
    if (!hasProperty(address)) return std::nullopt;
    auto value = getProperty<UInt32>(address);
    if (!value) return std::nullopt;
    return *value != 0;
}

std::optional<TransportType> AudioDevice::transportType() const {
    auto address = propertyAddress(kAudioDevicePropertyTransportType);
    if (!hasProperty(address)) return std::nullopt;
    auto code = getProperty<UInt32>(address);
    if (!code) return std::nullopt;
    return transportTypeFromCode(*code);
}

namespace {

std::optional<std::vector<AudioObjectID>> readIDs(const AudioObject& object,
                                                  AudioObjectPropertySelector selector,
                                                  std::optional<AudioClassID> qualifier) {
    auto address = propertyAddress(selector);
    if (!object.hasProperty(address)) return std::nullopt;
    std::vector<AudioObjectID> ids;
    if (object.getPropertyDataArray<AudioObjectID>(address, qualifier, ids, 0) != noErr)
        return std::nullopt;
    return ids;
}

std::vector<std::shared_ptr<AudioDevice>> devicesFor(const std::vector<AudioObjectID>& ids) {
    std::vector<std::shared_ptr<AudioDevice>> devices;
    for (AudioObjectID id : ids) {
        if (auto device = AudioDevice::lookup(id)) devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace

std::optional<std::vector<std::shared_ptr<AudioDevice>>> AudioDevice::relatedDevices() const {
    auto ids = readIDs(*this, kAudioDevicePropertyRelatedDevices, std::nullopt);
    if (!ids) return std::nullopt;
    return devicesFor(*ids);
}

std::optional<std::vector<AudioObjectID>> AudioDevice::ownedObjectIDs() const {
    return readIDs(*this, kAudioObjectPropertyOwnedObjects, kAudioObjectClassID);
}

std::optional<std::vector<AudioObjectID>> AudioDevice::controlList() const {
    return readIDs(*this, kAudioObjectPropertyControlList, std::nullopt);
}

bool AudioDevice::isDefault(AudioObjectPropertySelector selector) const {
    auto device = AudioHardware::defaultDevice(selector);
    return device && *device == *this;
}

void AudioDevice::makeDefault(AudioObjectPropertySelector selector, bool value) const {
    if (!value) return;
    auto address = propertyAddress(selector);
    AudioObjectID id = objectID;
    // The outcome arrives as a default-device notification; the status is
    // deliberately not looked at.
    (void)AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, sizeof(id),
                                     &id);
}

bool AudioDevice::isDefaultInputDevice() const {
    return isDefault(kAudioHardwarePropertyDefaultInputDevice);
}
bool AudioDevice::isDefaultOutputDevice() const {
    return isDefault(kAudioHardwarePropertyDefaultOutputDevice);
}
bool AudioDevice::isDefaultSystemOutputDevice() const {
    return isDefault(kAudioHardwarePropertyDefaultSystemOutputDevice);
}
void AudioDevice::setIsDefaultInputDevice(bool value) const {
    makeDefault(kAudioHardwarePropertyDefaultInputDevice, value);
}
void AudioDevice::setIsDefaultOutputDevice(bool value) const {
    makeDefault(kAudioHardwarePropertyDefaultOutputDevice, value);
}
void AudioDevice::setIsDefaultSystemOutputDevice(bool value) const {
    makeDefault(kAudioHardwarePropertyDefaultSystemOutputDevice, value);
}

// ---- Sub-devices ---------------------------------------------------------------

std::optional<std::vector<std::shared_ptr<AudioDevice>>> AudioDevice::ownedDevices() const {
    auto ids = ownedObjectIDs();
    if (!ids) return std::nullopt;
    return devicesFor(*ids);
}

std::optional<std::vector<std::shared_ptr<AudioDevice>>> AudioDevice::ownedDevicesWithLayout(
    Scope scope) const {
    auto owned = ownedDevices();
    if (!owned) return std::nullopt;
    std::vector<std::shared_ptr<AudioDevice>> kept;
    for (auto& device : *owned) {
        auto address = propertyAddress(kAudioDevicePropertyPreferredChannelLayout, scope);
        if (!device->hasProperty(address)) continue;
        AudioChannelLayout layout{};
        if (device->getPropertyData(address, layout) == noErr &&
            layout.mNumberChannelDescriptions != 0)
            kept.push_back(device);
    }
    return kept;
}

std::optional<std::vector<std::shared_ptr<AudioDevice>>> AudioDevice::ownedInputDevices() const {
    return ownedDevicesWithLayout(Scope::input);
}

std::optional<std::vector<std::shared_ptr<AudioDevice>>> AudioDevice::ownedOutputDevices() const {
    return ownedDevicesWithLayout(Scope::output);
}

bool AudioDevice::isAggregateDevice() const {
    auto owned = ownedDevices();
    return owned && !owned->empty();
}
