// The control surface: static entry points over the engine, and the engine's
// control operations.

#include "platform/audio/SimAudioHardware.h"

#include <algorithm>

#include "platform/audio/SimAudioEngine.h"

namespace sim {

namespace audio {

bool Engine::removeDevice(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    return removeDeviceLocked(id);
}

std::optional<AudioObjectID> Engine::deviceWithUID(const std::string& uid) {
    std::lock_guard lock(mutex_);
    for (AudioObjectID device : deviceList_) {
        Property* p = findLocked(objects_.at(device), {kAudioDevicePropertyDeviceUID,
                                                       kAudioObjectPropertyScopeGlobal, 0});
        if (p && p->value.text() == uid) return device;
    }
    return std::nullopt;
}

std::vector<AudioObjectID> Engine::devices() {
    std::lock_guard lock(mutex_);
    return deviceList_;
}

std::vector<AudioObjectID> Engine::streams(AudioObjectID device, AudioObjectPropertyScope scope) {
    std::lock_guard lock(mutex_);
    Object* object = objectLocked(device);
    if (!object) return {};
    return scope == kAudioObjectPropertyScopeInput ? object->inputStreams : object->outputStreams;
}

bool Engine::exists(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    return objectLocked(id) != nullptr;
}

void Engine::setDefault(AudioObjectPropertySelector selector, AudioObjectID device) {
    std::lock_guard lock(mutex_);
    setDefaultLocked(selector, device);
}

AudioObjectID Engine::defaultDevice(AudioObjectPropertySelector selector) {
    std::lock_guard lock(mutex_);
    return defaultDeviceLocked(selector);
}

bool Engine::changeValue(AudioObjectID id, const AudioObjectPropertyAddress& address,
                         AudioPropertyValue value, bool create, std::optional<bool> settable) {
    std::lock_guard lock(mutex_);
    Object* object = objectLocked(id);
    if (!object) return false;
    Property* property = findLocked(*object, address);
    if (!property) {
        if (!create) return false;
        Property& added = object->properties[{address.mSelector, address.mScope, address.mElement}];
        added.address = address;
        added.value = std::move(value);
        added.settable = settable.value_or(false);
        notifyLocked(id, address);
        return true;
    }
    if (settable) property->settable = *settable;
    if (property->value == value) return true;
    property->value = std::move(value);
    notifyLocked(id, property->address);
    return true;
}

bool Engine::removeProperty(AudioObjectID id, const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    Object* object = objectLocked(id);
    if (!object) return false;
    return object->properties.erase({address.mSelector, address.mScope, address.mElement}) > 0;
}

std::optional<AudioPropertyValue> Engine::property(AudioObjectID id,
                                                   const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    Object* object = objectLocked(id);
    if (!object) return std::nullopt;
    Property* p = findLocked(*object, address);
    if (!p) return std::nullopt;
    return p->value;
}

void Engine::setSourceName(AudioObjectID device, UInt32 selector, UInt32 scope, UInt32 sourceID,
                           std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    Object* object = objectLocked(device);
    if (!object) return;
    auto& names = object->sourceNames[{selector, scope}];
    if (name)
        names[sourceID] = *name;
    else
        names.erase(sourceID);
}

void Engine::announce(AudioObjectID id, const std::vector<AudioObjectPropertyAddress>& addresses) {
    std::lock_guard lock(mutex_);
    notifyLocked(id, addresses);
}

void Engine::failNext(const Failure& failure) {
    std::lock_guard lock(mutex_);
    failures_.push_back(failure);
}

void Engine::clearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void Engine::shrinkNext(const Shrink& shrink) {
    std::lock_guard lock(mutex_);
    shrinks_.push_back(shrink);
}

std::vector<AudioWrite> Engine::writes() {
    std::lock_guard lock(mutex_);
    return writes_;
}

void Engine::clearWrites() {
    std::lock_guard lock(mutex_);
    writes_.clear();
}

void Engine::setRecordingWrites(bool enabled) {
    std::lock_guard lock(mutex_);
    recordingWrites_ = enabled;
}

std::vector<Dictionary> Engine::aggregateRequests() {
    std::lock_guard lock(mutex_);
    return aggregateRequests_;
}

std::size_t Engine::listenerCount(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [object, list] : listeners_) {
        if (id == 0 || object == id) count += list.size();
    }
    return count;
}

void Engine::reset() {
    flush();
    std::lock_guard lock(mutex_);
    for (auto& [object, list] : listeners_) {
        for (auto& listener : list) listener->active = false;
    }
    listeners_.clear();
    objects_.clear();
    deviceList_.clear();
    failures_.clear();
    shrinks_.clear();
    writes_.clear();
    aggregateRequests_.clear();
    recordingWrites_ = true;
    installSystemObjectLocked();
}

}  // namespace audio

using audio::Engine;

AudioObjectID AudioHardware::addDevice(const AudioDeviceConfig& config) {
    return Engine::shared().addDevices({config}).front();
}

std::vector<AudioObjectID> AudioHardware::addDevices(
    const std::vector<AudioDeviceConfig>& configs) {
    return Engine::shared().addDevices(configs);
}

AudioObjectID AudioHardware::addAggregateDevice(const std::string& name, const std::string& uid,
                                                const std::vector<std::string>& subDeviceUIDs) {
    return Engine::shared().addAggregate(name, uid, subDeviceUIDs,
                                         subDeviceUIDs.empty() ? "" : subDeviceUIDs.front());
}

bool AudioHardware::removeDevice(AudioObjectID device) {
    return Engine::shared().removeDevice(device);
}

std::optional<AudioObjectID> AudioHardware::deviceWithUID(const std::string& uid) {
    return Engine::shared().deviceWithUID(uid);
}

std::vector<AudioObjectID> AudioHardware::devices() {
    return Engine::shared().devices();
}

std::vector<AudioObjectID> AudioHardware::streams(AudioObjectID device,
                                                  AudioObjectPropertyScope scope) {
    return Engine::shared().streams(device, scope);
}

bool AudioHardware::exists(AudioObjectID object) {
    return Engine::shared().exists(object);
}

SimulatedMac AudioHardware::installDefaultMac() {
    SimulatedMac mac;
    mac.builtInMicrophone = addDevice(AudioDeviceConfig::builtInMicrophone());
    mac.builtInSpeakers = addDevice(AudioDeviceConfig::builtInSpeakers());
    mac.usbMicrophone = addDevice(AudioDeviceConfig::usbMicrophone());
    mac.bluetoothHeadset = addDevice(AudioDeviceConfig::bluetoothHeadset());
    setDefaultInputDevice(mac.builtInMicrophone);
    setDefaultOutputDevice(mac.builtInSpeakers);
    setDefaultSystemOutputDevice(mac.builtInSpeakers);
    return mac;
}

void AudioHardware::setDefaultInputDevice(AudioObjectID device) {
    Engine::shared().setDefault(kAudioHardwarePropertyDefaultInputDevice, device);
}

void AudioHardware::setDefaultOutputDevice(AudioObjectID device) {
    Engine::shared().setDefault(kAudioHardwarePropertyDefaultOutputDevice, device);
}

void AudioHardware::setDefaultSystemOutputDevice(AudioObjectID device) {
    Engine::shared().setDefault(kAudioHardwarePropertyDefaultSystemOutputDevice, device);
}

AudioObjectID AudioHardware::defaultInputDevice() {
    return Engine::shared().defaultDevice(kAudioHardwarePropertyDefaultInputDevice);
}

AudioObjectID AudioHardware::defaultOutputDevice() {
    return Engine::shared().defaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
}

bool AudioHardware::setMute(AudioObjectID device, AudioObjectPropertyScope scope, UInt32 element,
                            bool muted) {
    return Engine::shared().changeValue(device, {kAudioDevicePropertyMute, scope, element},
                                        AudioPropertyValue::u32(muted ? 1 : 0), false,
                                        std::nullopt);
}

std::optional<bool> AudioHardware::isMuted(AudioObjectID device, AudioObjectPropertyScope scope,
                                           UInt32 element) {
    auto value = Engine::shared().property(device, {kAudioDevicePropertyMute, scope, element});
    if (!value) return std::nullopt;
    return value->as<UInt32>() != 0;
}

void AudioHardware::setHogModeOwner(AudioObjectID device, pid_t pid) {
    Engine::shared().changeValue(
        device, {kAudioDevicePropertyHogMode, kAudioObjectPropertyScopeWildcard, 0},
        AudioPropertyValue::i32(static_cast<SInt32>(pid)), false, std::nullopt);
}

std::optional<pid_t> AudioHardware::hogModeOwner(AudioObjectID device) {
    auto value = Engine::shared().property(
        device, {kAudioDevicePropertyHogMode, kAudioObjectPropertyScopeWildcard, 0});
    if (!value) return std::nullopt;
    return static_cast<pid_t>(value->as<SInt32>());
}

void AudioHardware::setProperty(AudioObjectID object, AudioObjectPropertyAddress address,
                                AudioPropertyValue value, bool settable) {
    auto& engine = Engine::shared();
    engine.removeProperty(object, address);
    engine.changeValue(object, address, std::move(value), true, settable);
}

void AudioHardware::changeValue(AudioObjectID object, AudioObjectPropertyAddress address,
                                AudioPropertyValue value) {
    Engine::shared().changeValue(object, address, std::move(value), true, std::nullopt);
}

bool AudioHardware::removeProperty(AudioObjectID object, AudioObjectPropertyAddress address) {
    return Engine::shared().removeProperty(object, address);
}

std::optional<AudioPropertyValue> AudioHardware::property(AudioObjectID object,
                                                          AudioObjectPropertyAddress address) {
    return Engine::shared().property(object, address);
}

void AudioHardware::setSourceName(AudioObjectID device, AudioObjectPropertySelector translation,
                                  AudioObjectPropertyScope scope, UInt32 sourceID,
                                  std::optional<std::string> name) {
    Engine::shared().setSourceName(device, translation, scope, sourceID, std::move(name));
}

void AudioHardware::announce(AudioObjectID object,
                             std::vector<AudioObjectPropertyAddress> addresses) {
    Engine::shared().announce(object, addresses);
}

void AudioHardware::failNext(AudioCall call, AudioObjectID object,
                             AudioObjectPropertyAddress address, OSStatus status, int times) {
    if (times == 0) return;
    Engine::shared().failNext({call, object, address, status, times});
}

void AudioHardware::clearFailures() {
    Engine::shared().clearFailures();
}

void AudioHardware::shrinkNextArrayRead(AudioObjectID object, AudioObjectPropertyAddress address,
                                        UInt32 fewer) {
    Engine::shared().shrinkNext({object, address, fewer});
}

std::vector<AudioWrite> AudioHardware::writes() {
    return Engine::shared().writes();
}

std::vector<AudioWrite> AudioHardware::writes(AudioObjectPropertySelector selector) {
    auto all = writes();
    std::vector<AudioWrite> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [&](const AudioWrite& w) { return w.address.mSelector == selector; });
    return out;
}

void AudioHardware::clearWrites() {
    Engine::shared().clearWrites();
}

void AudioHardware::setRecordingWrites(bool enabled) {
    Engine::shared().setRecordingWrites(enabled);
}

std::vector<Dictionary> AudioHardware::aggregateRequests() {
    return Engine::shared().aggregateRequests();
}

std::size_t AudioHardware::listenerCount(AudioObjectID object) {
    return Engine::shared().listenerCount(object);
}

std::uint64_t AudioHardware::callCount() {
    return Engine::shared().callCount();
}

void AudioHardware::flush() {
    Engine::shared().flush();
}

std::string AudioHardware::callbackQueueLabel() {
    return Engine::shared().queueLabel();
}

void AudioHardware::reset() {
    Engine::shared().reset();
}

}  // namespace sim
