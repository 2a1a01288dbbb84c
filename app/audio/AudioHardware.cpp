#include "app/audio/AudioHardware.h"

#include <algorithm>

#include "app/audio/AudioNotifications.h"
#include "platform/notifications/NSNotificationCenter.h"

namespace {

std::vector<AudioObjectID> systemDeviceIDs() {
    AudioObject system(kAudioObjectSystemObject);
    std::vector<AudioObjectID> ids;
    if (system.getPropertyDataArray<AudioObjectID>(propertyAddress(kAudioHardwarePropertyDevices),
                                                   std::nullopt, ids, 0) != noErr)
        return {};
    return ids;
}

template <class Keep>
std::vector<std::shared_ptr<AudioDevice>> filtered(Keep keep) {
    auto devices = AudioHardware::allDevices();
    std::vector<std::shared_ptr<AudioDevice>> kept;
    for (auto& device : devices) {
        if (keep(*device)) kept.push_back(device);
    }
    return kept;
}

bool contains(const std::vector<std::shared_ptr<AudioDevice>>& list, const AudioDevice& device) {
    return std::any_of(list.begin(), list.end(),
                       [&](const std::shared_ptr<AudioDevice>& d) { return *d == device; });
}

// Holds the devices of one device-list notification; the notification's
// object shares ownership of it, so audioDeviceListChange() finds it again.
struct DeviceListPayload {
    std::shared_ptr<AudioHardware> hardware;
    AudioDeviceListChange change;
    void operator()(void*) const noexcept {}
};

Array identifiers(const std::vector<std::shared_ptr<AudioDevice>>& devices) {
    Array ids;
    for (const auto& device : devices) ids.emplace_back(device->objectID);
    return ids;
}

}  // namespace

std::optional<AudioDeviceListChange> audioDeviceListChange(const NSNotification& notification) {
    if (!notification.userInfo["addedDevices"].isArray() ||
        !notification.userInfo["removedDevices"].isArray())
        return std::nullopt;
    auto* payload = std::get_deleter<DeviceListPayload>(notification.object);
    if (!payload) return std::nullopt;
    return payload->change;
}

std::shared_ptr<AudioHardware> AudioHardware::create() {
    return std::shared_ptr<AudioHardware>(new AudioHardware());
}

AudioHardware::~AudioHardware() = default;

// ---- Lists -----------------------------------------------------------------------

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allDevices() {
    std::vector<std::shared_ptr<AudioDevice>> devices;
    for (AudioObjectID id : systemDeviceIDs()) {
        if (auto device = AudioDevice::lookup(id)) devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allInputDevices() {
    return filtered([](const AudioDevice& d) { return d.channels(Scope::input) > 0; });
}

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allOutputDevices() {
    return filtered([](const AudioDevice& d) { return d.channels(Scope::output) > 0; });
}

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allIODevices() {
    return filtered([](const AudioDevice& d) {
        return d.channels(Scope::input) > 0 && d.channels(Scope::output) > 0;
    });
}

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allNonAggregateDevices() {
    return filtered([](const AudioDevice& d) { return !d.isAggregateDevice(); });
}

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allAggregateDevices() {
    return filtered([](const AudioDevice& d) { return d.isAggregateDevice(); });
}

std::shared_ptr<AudioDevice> AudioHardware::defaultDevice(AudioObjectPropertySelector selector) {
    AudioObject system(kAudioObjectSystemObject);
    AudioObjectID id = kAudioObjectUnknown;
    if (system.getPropertyData(propertyAddress(selector), id) != noErr) return nullptr;
    return AudioDevice::lookup(id);
}

// ---- Monitoring -------------------------------------------------------------------

void AudioHardware::startDeviceMonitoring() {
    addSystemListener();
    auto devices = allDevices();
    std::lock_guard lock(mutex_);
    allKnownDevices_.insert(allKnownDevices_.end(), devices.begin(), devices.end());
}

void AudioHardware::stopDeviceMonitoring() {
    // The listener goes first, so no change can refill the list behind us.
    removeSystemListener();
    std::vector<std::shared_ptr<AudioDevice>> known;
    {
        std::lock_guard lock(mutex_);
        known = allKnownDevices_;
    }
    for (const auto& device : known) removeKnownDevice(*device);
}  // the devices are released here, outside the lock

void AudioHardware::addSystemListener() {
    std::shared_ptr<AudioHardware> previous;  // released after the lock
    std::lock_guard registration(listenerMutex_);
    if (isRegisteredForNotifications()) previous = removeSystemListenerLocked();
    auto self = std::static_pointer_cast<AudioHardware>(shared_from_this());
    OSStatus status = AudioObjectAddPropertyListener(
        kAudioObjectSystemObject, &kAudioObjectWildcardAddress, &systemPropertyListener, this);
    if (status == noErr) {
        std::lock_guard lock(mutex_);
        isRegisteredForNotifications_ = true;
        selfWhileListening_ = std::move(self);
    } else {
        os_log(OSLog::defaultLog(), "Unable to add property listener for systemObjectID: " +
                                        std::to_string(kAudioObjectSystemObject) + ".");
    }
}

void AudioHardware::removeSystemListener() {
    std::shared_ptr<AudioHardware> keep;  // may be the last reference: released last
    std::lock_guard registration(listenerMutex_);
    keep = removeSystemListenerLocked();
}

std::shared_ptr<AudioHardware> AudioHardware::removeSystemListenerLocked() {
    if (!isRegisteredForNotifications()) return nullptr;
    OSStatus status = AudioObjectRemovePropertyListener(
        kAudioObjectSystemObject, &kAudioObjectWildcardAddress, &systemPropertyListener, this);
    if (status != noErr) {
        os_log(OSLog::defaultLog(), "Unable to remove property listener for systemObjectID: " +
                                        std::to_string(kAudioObjectSystemObject) + ".");
        return nullptr;
    }
    // The hardware can no longer call us: the self-reference may go.
    std::lock_guard lock(mutex_);
    isRegisteredForNotifications_ = false;
    return std::move(selfWhileListening_);
}

void AudioHardware::removeKnownDevice(const AudioDevice& device) {
    std::vector<std::shared_ptr<AudioDevice>> removed;  // released after the lock
    std::lock_guard lock(mutex_);
    auto it = std::stable_partition(
        allKnownDevices_.begin(), allKnownDevices_.end(),
        [&](const std::shared_ptr<AudioDevice>& known) { return !(*known == device); });
    removed.assign(std::make_move_iterator(it), std::make_move_iterator(allKnownDevices_.end()));
    allKnownDevices_.erase(it, allKnownDevices_.end());
}

std::vector<std::shared_ptr<AudioDevice>> AudioHardware::allKnownDevices() const {
    std::lock_guard lock(mutex_);
    return allKnownDevices_;
}

bool AudioHardware::isRegisteredForNotifications() const {
    std::lock_guard lock(mutex_);
    return isRegisteredForNotifications_;
}

// ---- The listener -------------------------------------------------------------------

OSStatus AudioHardware::systemPropertyListener(AudioObjectID /*id*/, UInt32 count,
                                               const AudioObjectPropertyAddress* addresses,
                                               void* clientData) {
    if (count == 0 || !addresses || !clientData) return noErr;
    systemPropertiesChanged(addresses, *static_cast<AudioHardware*>(clientData));
    return noErr;
}

void AudioHardware::systemPropertiesChanged(const AudioObjectPropertyAddress* addresses,
                                            AudioHardware& hardware) {
    auto center = NSNotificationCenter::defaultCenter();
    auto self = std::static_pointer_cast<AudioHardware>(hardware.shared_from_this());
    switch (addresses[0].mSelector) {
        case kAudioHardwarePropertyDefaultInputDevice:
            center->postNotificationName(AudioNotificationName::defaultInputDeviceChanged(), self);
            break;
        case kAudioHardwarePropertyDefaultOutputDevice:
            center->postNotificationName(AudioNotificationName::defaultOutputDeviceChanged(), self);
            break;
        case kAudioHardwarePropertyDefaultSystemOutputDevice:
            center->postNotificationName(AudioNotificationName::defaultSystemOutputDeviceChanged(),
                                         self);
            break;
        case kAudioObjectPropertyOwnedObjects:
            hardware.deviceListChanged();
            break;
        default:
            break;
    }
}

void AudioHardware::deviceListChanged() {
    auto latest = allDevices();
    AudioDeviceListChange change;
    {
        std::lock_guard lock(mutex_);
        for (const auto& device : latest) {
            if (!contains(allKnownDevices_, *device)) change.addedDevices.push_back(device);
        }
        for (const auto& known : allKnownDevices_) {
            if (!contains(latest, *known)) change.removedDevices.push_back(known);
        }
        allKnownDevices_.insert(allKnownDevices_.end(), change.addedDevices.begin(),
                                change.addedDevices.end());
    }
    for (const auto& device : change.removedDevices) removeKnownDevice(*device);

    Dictionary userInfo;
    userInfo.set("addedDevices", Value(identifiers(change.addedDevices)));
    userInfo.set("removedDevices", Value(identifiers(change.removedDevices)));
    auto self = std::static_pointer_cast<AudioHardware>(shared_from_this());
    // The object is this hardware; the payload riding along in its control
    // block keeps the devices alive for as long as the notification lives.
    std::shared_ptr<void> object(static_cast<void*>(this),
                                 DeviceListPayload{self, std::move(change)});
    NSNotificationCenter::defaultCenter()->postNotificationName(
        AudioNotificationName::deviceListChanged(), std::move(object), std::move(userInfo));
}
