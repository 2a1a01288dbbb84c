// Device lookup, creation and release, its name, and its property listener.

#include "app/audio/AudioDevice.h"

#include <array>

#include "app/audio/AudioNotifications.h"
#include "app/audio/AudioObjectPool.h"
#include "platform/notifications/NSNotificationCenter.h"

std::shared_ptr<AudioDevice> AudioDevice::makeCandidate(AudioObjectID id) {
    return std::shared_ptr<AudioDevice>(new AudioDevice(id));
}

bool AudioDevice::completeConstruction() {
    auto classCode = classID();
    if (!classCode || !isDeviceClass(*classCode)) return false;
    // Cached before the object is shared, so readers need no lock.
    cachedDeviceName_ = AudioObject::name();
    return true;
}

std::shared_ptr<AudioDevice> AudioDevice::lookup(AudioObjectID id) {
    return AudioObjectPool::shared().lookupOrCreate<AudioDevice>(id);
}

std::shared_ptr<AudioDevice> AudioDevice::lookup(const std::string& uid) {
    CFStringHolder input(uid);
    CFStringRef inputRef = input.get();
    AudioObjectID id = kAudioObjectUnknown;
    AudioValueTranslation translation{&inputRef, sizeof(inputRef), &id, sizeof(id)};
    AudioObject system(kAudioObjectSystemObject);
    OSStatus status =
        system.getPropertyData(propertyAddress(kAudioHardwarePropertyDeviceForUID), translation);
    if (status != noErr || id == kAudioObjectUnknown) return nullptr;
    return lookup(id);
}

AudioDevice::~AudioDevice() {
    if (!isPooled()) return;
    AudioObjectPool::shared().forget(objectID, this);
    // A device that is gone from the system keeps its listener: there is
    // nothing left to remove it from.
    if (!isRegisteredForNotifications()) return;
    auto alive = propertyAddress(kAudioDevicePropertyDeviceIsAlive);
    if (!hasProperty(alive)) return;
    auto value = getProperty<UInt32>(alive);
    if (value && *value != 0) unregisterForNotifications();
}

std::string AudioDevice::name() const {
    if (auto current = AudioObject::name()) return *current;
    if (cachedDeviceName_) return *cachedDeviceName_;
    return "<Unknown Device Name>";
}

std::string AudioDevice::description() const {
    return name() + " (" + std::to_string(objectID) + ")";
}

void AudioDevice::registerForNotifications() {
    addListener(&AudioDevice::devicePropertyListener);
}

void AudioDevice::unregisterForNotifications() {
    removeListener(&AudioDevice::devicePropertyListener);
}

namespace {

struct DeviceNotification {
    AudioObjectPropertySelector selector;
    const std::string& (*name)();
    bool elementInfo;
};

const std::array<DeviceNotification, 15>& deviceNotifications() {
    using N = AudioNotificationName;
    static const std::array<DeviceNotification, 15> table{{
        {kAudioDevicePropertyNominalSampleRate, &N::deviceNominalSampleRateDidChange, false},
        {kAudioDevicePropertyAvailableNominalSampleRates,
         &N::deviceAvailableNominalSampleRatesDidChange, false},
        {kAudioDevicePropertyClockSource, &N::deviceClockSourceDidChange, false},
        {kAudioObjectPropertyName, &N::deviceNameDidChange, false},
        {kAudioObjectPropertyOwnedObjects, &N::deviceOwnedObjectsDidChange, false},
        {kAudioDevicePropertyVolumeScalar, &N::deviceVolumeDidChange, true},
        {kAudioDevicePropertyMute, &N::deviceMuteDidChange, true},
        {kAudioDevicePropertyDeviceIsAlive, &N::deviceIsAliveDidChange, false},
        {kAudioDevicePropertyDeviceIsRunning, &N::deviceIsRunningDidChange, false},
        {kAudioDevicePropertyDeviceIsRunningSomewhere, &N::deviceIsRunningSomewhereDidChange,
         false},
        {kAudioDevicePropertyJackIsConnected, &N::deviceIsJackConnectedDidChange, false},
        {kAudioDevicePropertyPreferredChannelsForStereo,
         &N::devicePreferredChannelsForStereoDidChange, false},
        {kAudioDevicePropertyHogMode, &N::deviceHogModeDidChange, false},
        {kAudioDeviceProcessorOverload, &N::deviceProcessorOverload, false},
        {kAudioDevicePropertyIOStoppedAbnormally, &N::deviceIOStoppedAbnormally, false},
    }};
    return table;
}

}  // namespace

OSStatus AudioDevice::devicePropertyListener(AudioObjectID id, UInt32 count,
                                             const AudioObjectPropertyAddress* addresses,
                                             void* clientData) {
    auto device = AudioObjectPool::shared().get<AudioDevice>(id);
    if (!device) return kAudioHardwareBadObjectError;
    // The listener of an older object for this identifier: the current
    // object's own listener reports the change.
    if (clientData != device->listenerClientData()) return noErr;
    if (count == 0 || !addresses) return noErr;
    const AudioObjectPropertyAddress& address = addresses[0];
    for (const auto& entry : deviceNotifications()) {
        if (entry.selector != address.mSelector) continue;
        Dictionary userInfo;
        if (entry.elementInfo) {
            userInfo.set("channel", Value(address.mElement));
            userInfo.set("scope", Value(std::string(scopeName(scopeFromCode(address.mScope)))));
        }
        NSNotificationCenter::defaultCenter()->postNotificationName(entry.name(), device,
                                                                    std::move(userInfo));
        break;
    }
    return noErr;
}
