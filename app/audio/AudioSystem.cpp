#include "app/audio/AudioSystem.h"

#include <mutex>

namespace {

std::mutex& lifecycleMutex() {
    static std::mutex mutex;
    return mutex;
}
std::atomic<long> instances{0};
std::shared_ptr<AudioHardware>& sharedSlot() {
    static std::shared_ptr<AudioHardware> slot;
    return slot;
}

}  // namespace

AudioSystem::AudioSystem() {
    std::lock_guard lock(lifecycleMutex());
    if (instances.load(std::memory_order_acquire) == 0) {
        sharedSlot() = AudioHardware::create();
        sharedSlot()->startDeviceMonitoring();
    }
    instances.fetch_add(1, std::memory_order_acq_rel);
    hardware_ = sharedSlot();
}

AudioSystem::~AudioSystem() {
    std::shared_ptr<AudioHardware> last;
    {
        std::lock_guard lock(lifecycleMutex());
        if (instances.fetch_sub(1, std::memory_order_acq_rel) - 1 == 0) {
            last = std::move(sharedSlot());
            sharedSlot() = nullptr;
        }
        hardware_.reset();
    }
    // Outside the lock: removing the listener waits for a running callback,
    // whose observers may themselves create facades.
    if (last) last->stopDeviceMonitoring();
}

long AudioSystem::instanceCount() {
    return instances.load(std::memory_order_acquire);
}

std::shared_ptr<AudioHardware> AudioSystem::sharedHardware() {
    std::lock_guard lock(lifecycleMutex());
    return sharedSlot();
}

std::vector<std::shared_ptr<AudioDevice>> AudioSystem::allDevices() const {
    return AudioHardware::allDevices();
}
std::vector<std::shared_ptr<AudioDevice>> AudioSystem::allInputDevices() const {
    return AudioHardware::allInputDevices();
}
std::vector<std::shared_ptr<AudioDevice>> AudioSystem::allOutputDevices() const {
    return AudioHardware::allOutputDevices();
}
std::vector<std::shared_ptr<AudioDevice>> AudioSystem::allIODevices() const {
    return AudioHardware::allIODevices();
}
std::vector<std::shared_ptr<AudioDevice>> AudioSystem::allNonAggregateDevices() const {
    return AudioHardware::allNonAggregateDevices();
}
std::vector<std::shared_ptr<AudioDevice>> AudioSystem::allAggregateDevices() const {
    return AudioHardware::allAggregateDevices();
}
std::shared_ptr<AudioDevice> AudioSystem::defaultInputDevice() const {
    return AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultInputDevice);
}
std::shared_ptr<AudioDevice> AudioSystem::defaultOutputDevice() const {
    return AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
}
std::shared_ptr<AudioDevice> AudioSystem::defaultSystemOutputDevice() const {
    return AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice);
}

std::vector<AudioObjectID> AudioSystem::allDeviceIDs() const {
    AudioObject system(kAudioObjectSystemObject);
    std::vector<AudioObjectID> ids;
    if (system.getPropertyDataArray<AudioObjectID>(propertyAddress(kAudioHardwarePropertyDevices),
                                                   std::nullopt, ids, 0) != noErr)
        return {};
    return ids;
}

std::shared_ptr<AudioDevice> AudioSystem::createAggregateDevice(const AudioDevice& mainDevice,
                                                                const AudioDevice* secondDevice,
                                                                const std::string& name,
                                                                const std::string& uid) const {
    auto mainUID = mainDevice.uid();
    if (!mainUID) return nullptr;
    Array subdevices;
    Dictionary mainEntry;
    mainEntry.set("uid", Value(*mainUID));
    subdevices.emplace_back(std::move(mainEntry));
    if (secondDevice) {
        auto secondUID = secondDevice->uid();
        if (secondUID && *secondUID != *mainUID) {
            Dictionary secondEntry;
            secondEntry.set("uid", Value(*secondUID));
            subdevices.emplace_back(std::move(secondEntry));
        }
    }
    Dictionary description;
    description.set("name", Value(name));
    description.set("uid", Value(uid));
    description.set("subdevices", Value(std::move(subdevices)));
    description.set("master", Value(*mainUID));
    AudioObjectID id = kAudioObjectUnknown;
    OSStatus status = AudioHardwareCreateAggregateDevice(description, &id);
    if (status != noErr) {
        os_log_debug(audioLog(), "Failed creating aggregate device with error: " +
                                     std::to_string(status) + ".");
        return nullptr;
    }
    return AudioDevice::lookup(id);
}

OSStatus AudioSystem::removeAggregateDevice(AudioObjectID id) const {
    return AudioHardwareDestroyAggregateDevice(id);
}

std::shared_ptr<AudioSystem> sharedAudioSystem() {
    static const std::shared_ptr<AudioSystem> system = std::make_shared<AudioSystem>();
    return system;
}
