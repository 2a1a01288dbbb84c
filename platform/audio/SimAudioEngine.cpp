#include "platform/audio/SimAudioEngine.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim::audio {

namespace {

constexpr Float32 kMinimumDecibels = -96.0f;

Float32 scalarToDecibels(Float32 scalar) {
    if (scalar <= 0) return kMinimumDecibels;
    return std::max(kMinimumDecibels, 20.0f * std::log10(std::min(scalar, 1.0f)));
}

Float32 decibelsToScalar(Float32 decibels) {
    if (decibels <= kMinimumDecibels) return 0;
    return std::min(1.0f, std::pow(10.0f, decibels / 20.0f));
}

std::vector<std::uint8_t> idBytes(const std::vector<AudioObjectID>& ids) {
    std::vector<std::uint8_t> bytes(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty()) std::memcpy(bytes.data(), ids.data(), bytes.size());
    return bytes;
}

}  // namespace

bool scopeMatches(UInt32 a, UInt32 b) {
    return a == b || a == kAudioObjectPropertyScopeWildcard ||
           b == kAudioObjectPropertyScopeWildcard;
}

bool elementMatches(UInt32 a, UInt32 b) {
    return a == b || a == kAudioObjectPropertyElementWildcard ||
           b == kAudioObjectPropertyElementWildcard;
}

bool addressMatches(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    bool selector = a.mSelector == b.mSelector ||
                    a.mSelector == kAudioObjectPropertySelectorWildcard ||
                    b.mSelector == kAudioObjectPropertySelectorWildcard;
    return selector && scopeMatches(a.mScope, b.mScope) && elementMatches(a.mElement, b.mElement);
}

Engine& Engine::shared() {
    // Leaked on purpose: callbacks may still be queued at exit.
    static Engine* engine = new Engine();
    return *engine;
}

Engine::Engine() : queue_(DispatchQueue::create("com.lumbrel.audio.hardware")) {
    std::lock_guard lock(mutex_);
    installSystemObjectLocked();
}

void Engine::installSystemObjectLocked() {
    Object system;
    system.id = kAudioObjectSystemObject;
    system.classID = kAudioSystemObjectClassID;
    auto add = [&](AudioObjectPropertySelector selector, AudioPropertyValue value, bool settable,
                   Special special) {
        AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
        system.properties[{selector, address.mScope, address.mElement}] =
            Property{address, std::move(value), settable, special};
    };
    add(kAudioObjectPropertyClass, AudioPropertyValue::u32(kAudioSystemObjectClassID), false,
        Special::None);
    add(kAudioObjectPropertyName, AudioPropertyValue::string("Audio Hardware"), false,
        Special::None);
    add(kAudioHardwarePropertyDevices, AudioPropertyValue::array<AudioObjectID>({}), false,
        Special::DeviceList);
    add(kAudioObjectPropertyOwnedObjects, AudioPropertyValue::array<AudioObjectID>({}), false,
        Special::OwnedObjects);
    for (auto selector :
         {kAudioHardwarePropertyDefaultInputDevice, kAudioHardwarePropertyDefaultOutputDevice,
          kAudioHardwarePropertyDefaultSystemOutputDevice}) {
        add(selector, AudioPropertyValue::u32(kAudioObjectUnknown), true, Special::DefaultDevice);
    }
    add(kAudioHardwarePropertyDeviceForUID, AudioPropertyValue::pod(AudioValueTranslation{}), false,
        Special::DeviceForUID);
    objects_[system.id] = std::move(system);
}

Object* Engine::objectLocked(AudioObjectID id) {
    auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : &it->second;
}

Property* Engine::findLocked(Object& object, const AudioObjectPropertyAddress& address) {
    auto exact = object.properties.find({address.mSelector, address.mScope, address.mElement});
    if (exact != object.properties.end()) return &exact->second;
    for (auto it = object.properties.lower_bound({address.mSelector, 0, 0});
         it != object.properties.end() && std::get<0>(it->first) == address.mSelector; ++it) {
        const auto& [selector, scope, element] = it->first;
        if (scopeMatches(scope, address.mScope) && elementMatches(element, address.mElement)) {
            return &it->second;
        }
    }
    return nullptr;
}

std::optional<OSStatus> Engine::takeFailureLocked(AudioCall call, AudioObjectID id,
                                                  const AudioObjectPropertyAddress& address) {
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->call != call) continue;
        bool matches =
            call == AudioCall::CreateAggregate ||
            (it->object == id && (call == AudioCall::DestroyAggregate || it->address == address));
        if (!matches) continue;
        OSStatus status = it->status;
        if (it->remaining > 0 && --it->remaining == 0) failures_.erase(it);
        return status;
    }
    return std::nullopt;
}

// ---- Reads ---------------------------------------------------------------

Boolean Engine::hasProperty(AudioObjectID id, const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    ++calls_;
    Object* object = objectLocked(id);
    return object && findLocked(*object, address) ? 1 : 0;
}

OSStatus Engine::isSettable(AudioObjectID id, const AudioObjectPropertyAddress& address,
                            Boolean* out) {
    std::lock_guard lock(mutex_);
    ++calls_;
    Object* object = objectLocked(id);
    if (!object) return kAudioHardwareBadObjectError;
    if (auto failure = takeFailureLocked(AudioCall::IsSettable, id, address)) return *failure;
    Property* property = findLocked(*object, address);
    if (!property) return kAudioHardwareUnknownPropertyError;
    if (out) *out = property->settable ? 1 : 0;
    return noErr;
}

std::vector<std::uint8_t> Engine::computedArrayLocked(const Object& object,
                                                      const Property& property,
                                                      UInt32 qualifierSize, const void* qualifier) {
    if (property.special == Special::DeviceList) return idBytes(deviceList_);
    if (property.special != Special::OwnedObjects) return property.value.bytes();
    std::vector<AudioClassID> classes(qualifier ? qualifierSize / sizeof(AudioClassID) : 0);
    if (!classes.empty()) std::memcpy(classes.data(), qualifier, classes.size() * 4);
    bool all = classes.empty() ||
               std::find(classes.begin(), classes.end(), kAudioObjectClassID) != classes.end();
    const auto& candidates = object.id == kAudioObjectSystemObject ? deviceList_ : object.owned;
    std::vector<AudioObjectID> ids;
    for (AudioObjectID owned : candidates) {
        auto it = objects_.find(owned);
        if (it == objects_.end()) continue;
        if (all || std::find(classes.begin(), classes.end(), it->second.classID) != classes.end())
            ids.push_back(owned);
    }
    return idBytes(ids);
}

OSStatus Engine::getSize(AudioObjectID id, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32* outSize) {
    std::lock_guard lock(mutex_);
    ++calls_;
    Object* object = objectLocked(id);
    if (!object) return kAudioHardwareBadObjectError;
    if (auto failure = takeFailureLocked(AudioCall::GetSize, id, address)) return *failure;
    Property* property = findLocked(*object, address);
    if (!property) return kAudioHardwareUnknownPropertyError;
    UInt32 size = 0;
    switch (property->special) {
        case Special::DeviceList:
        case Special::OwnedObjects:
            size = static_cast<UInt32>(
                computedArrayLocked(*object, *property, qualifierSize, qualifier).size());
            break;
        case Special::DeviceForUID:
        case Special::SourceName:
            size = sizeof(AudioValueTranslation);
            break;
        case Special::ScalarToDecibels:
        case Special::DecibelsToScalar:
        case Special::VolumeDecibels:
            size = sizeof(Float32);
            break;
        default:
            size = property->value.kind() == AudioPropertyValue::Kind::String
                       ? static_cast<UInt32>(sizeof(CFStringRef))
                       : static_cast<UInt32>(property->value.bytes().size());
    }
    if (outSize) *outSize = size;
    return noErr;
}

OSStatus Engine::translateLocked(Object& object, Property& property, UInt32* ioSize, void* out) {
    if (*ioSize < sizeof(AudioValueTranslation)) return kAudioHardwareBadPropertySizeError;
    auto* translation = static_cast<AudioValueTranslation*>(out);
    if (property.special == Special::DeviceForUID) {
        if (translation->mInputDataSize != sizeof(CFStringRef) || !translation->mInputData ||
            translation->mOutputDataSize != sizeof(AudioObjectID) || !translation->mOutputData)
            return kAudioHardwareBadPropertySizeError;
        std::string uid = CFStringGetUTF8(*static_cast<CFStringRef*>(translation->mInputData));
        AudioObjectID found = kAudioObjectUnknown;
        for (AudioObjectID device : deviceList_) {
            Object& candidate = objects_.at(device);
            Property* p = findLocked(
                candidate, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0});
            if (p && p->value.text() == uid) {
                found = device;
                break;
            }
        }
        std::memcpy(translation->mOutputData, &found, sizeof(found));
    } else {
        if (translation->mInputDataSize != sizeof(UInt32) || !translation->mInputData ||
            translation->mOutputDataSize != sizeof(CFStringRef) || !translation->mOutputData)
            return kAudioHardwareBadPropertySizeError;
        UInt32 source = 0;
        std::memcpy(&source, translation->mInputData, sizeof(source));
        auto table = object.sourceNames.find({property.address.mSelector, property.address.mScope});
        if (table == object.sourceNames.end()) return kAudioHardwareIllegalOperationError;
        auto name = table->second.find(source);
        if (name == table->second.end()) return kAudioHardwareIllegalOperationError;
        CFStringRef result = CFStringCreateWithUTF8(name->second);
        std::memcpy(translation->mOutputData, &result, sizeof(result));
    }
    *ioSize = sizeof(AudioValueTranslation);
    return noErr;
}

OSStatus Engine::get(AudioObjectID id, const AudioObjectPropertyAddress& address,
                     UInt32 qualifierSize, const void* qualifier, UInt32* ioSize, void* out) {
    std::lock_guard lock(mutex_);
    ++calls_;
    Object* object = objectLocked(id);
    if (!object) return kAudioHardwareBadObjectError;
    if (auto failure = takeFailureLocked(AudioCall::Get, id, address)) return *failure;
    Property* property = findLocked(*object, address);
    if (!property) return kAudioHardwareUnknownPropertyError;
    if (!ioSize) return kAudioHardwareBadPropertySizeError;

    switch (property->special) {
        case Special::DeviceForUID:
        case Special::SourceName:
            return translateLocked(*object, *property, ioSize, out);
        case Special::ScalarToDecibels:
        case Special::DecibelsToScalar:
        case Special::VolumeDecibels: {
            if (*ioSize < sizeof(Float32)) return kAudioHardwareBadPropertySizeError;
            Float32 value = 0;
            if (property->special == Special::VolumeDecibels) {
                Property* volume =
                    findLocked(*object, {kAudioDevicePropertyVolumeScalar, property->address.mScope,
                                         property->address.mElement});
                if (!volume) return kAudioHardwareUnknownPropertyError;
                value = scalarToDecibels(volume->value.as<Float32>());
            } else {
                std::memcpy(&value, out, sizeof(value));
                value = property->special == Special::ScalarToDecibels ? scalarToDecibels(value)
                                                                       : decibelsToScalar(value);
            }
            std::memcpy(out, &value, sizeof(value));
            *ioSize = sizeof(value);
            return noErr;
        }
        default:
            break;
    }

    const AudioPropertyValue& value = property->value;
    if (value.kind() == AudioPropertyValue::Kind::String) {
        if (*ioSize < sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
        CFStringRef string = CFStringCreateWithUTF8(value.text());
        std::memcpy(out, &string, sizeof(string));
        *ioSize = sizeof(CFStringRef);
        return noErr;
    }
    if (value.kind() == AudioPropertyValue::Kind::Scalar) {
        auto size = static_cast<UInt32>(value.bytes().size());
        if (*ioSize < size) return kAudioHardwareBadPropertySizeError;
        std::memcpy(out, value.bytes().data(), size);
        *ioSize = size;
        return noErr;
    }
    std::vector<std::uint8_t> computed;
    const std::vector<std::uint8_t>* bytes = &value.bytes();
    if (property->special == Special::DeviceList || property->special == Special::OwnedObjects) {
        computed = computedArrayLocked(*object, *property, qualifierSize, qualifier);
        bytes = &computed;
    }
    UInt32 elementSize = std::max<UInt32>(1, value.elementSize());
    auto size = static_cast<UInt32>(std::min<std::size_t>(*ioSize, bytes->size()));
    size -= size % elementSize;
    for (auto it = shrinks_.begin(); it != shrinks_.end(); ++it) {
        if (it->object == id && it->address == address) {
            size -= std::min(size, it->fewer * elementSize);
            shrinks_.erase(it);
            break;
        }
    }
    if (size > 0) std::memcpy(out, bytes->data(), size);
    *ioSize = size;
    return noErr;
}

// ---- Writes --------------------------------------------------------------

OSStatus Engine::set(AudioObjectID id, const AudioObjectPropertyAddress& address, UInt32 size,
                     const void* data) {
    std::lock_guard lock(mutex_);
    ++calls_;
    std::vector<std::uint8_t> bytes(size);
    if (size > 0 && data) std::memcpy(bytes.data(), data, size);

    auto write = [&]() -> OSStatus {
        Object* object = objectLocked(id);
        if (!object) return kAudioHardwareBadObjectError;
        if (auto failure = takeFailureLocked(AudioCall::Set, id, address)) return *failure;
        Property* property = findLocked(*object, address);
        if (!property) return kAudioHardwareUnknownPropertyError;
        if (!property->settable) return kAudioHardwareIllegalOperationError;
        AudioPropertyValue& value = property->value;
        switch (property->special) {
            case Special::HogMode: {
                if (size != 4 && size != 8) return kAudioHardwareBadPropertySizeError;
                auto owner = value.as<SInt32>();
                auto self = static_cast<SInt32>(getpid());
                if (owner == -1) {
                    value = AudioPropertyValue::i32(self);
                } else if (owner == self) {
                    value = AudioPropertyValue::i32(-1);
                } else {
                    return kAudioDevicePermissionsError;
                }
                notifyLocked(id, property->address);
                return noErr;
            }
            case Special::DefaultDevice: {
                if (size != sizeof(AudioObjectID)) return kAudioHardwareBadPropertySizeError;
                AudioObjectID device = 0;
                std::memcpy(&device, data, sizeof(device));
                if (std::find(deviceList_.begin(), deviceList_.end(), device) == deviceList_.end())
                    return kAudioHardwareIllegalOperationError;
                setDefaultLocked(address.mSelector, device);
                return noErr;
            }
            case Special::None:
                break;
            default:
                return kAudioHardwareIllegalOperationError;
        }
        if (value.kind() == AudioPropertyValue::Kind::String) {
            if (size != sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
            CFStringRef string = nullptr;
            std::memcpy(&string, data, sizeof(string));
            std::string text = CFStringGetUTF8(string);
            if (text == value.text()) return noErr;
            value.setText(std::move(text));
        } else {
            if (value.kind() == AudioPropertyValue::Kind::Scalar && size != value.bytes().size())
                return kAudioHardwareBadPropertySizeError;
            if (value.kind() == AudioPropertyValue::Kind::Array &&
                size % std::max<UInt32>(1, value.elementSize()) != 0)
                return kAudioHardwareBadPropertySizeError;
            if (bytes == value.bytes()) return noErr;
            value.bytes() = bytes;
        }
        notifyLocked(id, property->address);
        return noErr;
    };
    OSStatus status = write();
    if (recordingWrites_) writes_.push_back(AudioWrite{id, address, std::move(bytes), status});
    return status;
}

void Engine::setDefaultLocked(AudioObjectPropertySelector selector, AudioObjectID device) {
    Object& system = objects_.at(kAudioObjectSystemObject);
    Property* property = findLocked(
        system, {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain});
    if (!property || property->value.as<AudioObjectID>() == device) return;
    property->value = AudioPropertyValue::u32(device);
    notifyLocked(kAudioObjectSystemObject, property->address);
}

// ---- Listeners -----------------------------------------------------------

OSStatus Engine::addListener(AudioObjectID id, const AudioObjectPropertyAddress& address,
                             AudioObjectPropertyListenerProc proc, void* clientData) {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (!objectLocked(id)) return kAudioHardwareBadObjectError;
    if (auto failure = takeFailureLocked(AudioCall::AddListener, id, address)) return *failure;
    if (!proc) return kAudioHardwareIllegalOperationError;
    auto& list = listeners_[id];
    for (const auto& listener : list) {
        if (listener->address == address && listener->proc == proc &&
            listener->clientData == clientData)
            return noErr;
    }
    auto listener = std::make_shared<Listener>();
    listener->object = id;
    listener->address = address;
    listener->proc = proc;
    listener->clientData = clientData;
    list.push_back(std::move(listener));
    return noErr;
}

OSStatus Engine::removeListener(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                AudioObjectPropertyListenerProc proc, void* clientData) {
    std::unique_lock lock(mutex_);
    ++calls_;
    if (!objectLocked(id)) return kAudioHardwareBadObjectError;
    if (auto failure = takeFailureLocked(AudioCall::RemoveListener, id, address)) return *failure;
    auto found = listeners_.find(id);
    if (found == listeners_.end()) return kAudioHardwareIllegalOperationError;
    auto& list = found->second;
    auto it = std::find_if(list.begin(), list.end(), [&](const std::shared_ptr<Listener>& l) {
        return l->address == address && l->proc == proc && l->clientData == clientData;
    });
    if (it == list.end()) return kAudioHardwareIllegalOperationError;
    std::shared_ptr<Listener> listener = *it;
    list.erase(it);
    if (list.empty()) listeners_.erase(found);
    listener->active = false;
    // A callback running on another thread finishes before the removal
    // returns; one running on this thread is the caller itself.
    auto self = std::this_thread::get_id();
    changed_.wait(lock, [&] { return inFlight_ != listener.get() || inFlightThread_ == self; });
    return noErr;
}

void Engine::notifyLocked(AudioObjectID id,
                          const std::vector<AudioObjectPropertyAddress>& changed) {
    auto found = listeners_.find(id);
    if (found == listeners_.end()) return;
    for (const auto& listener : found->second) {
        if (!listener->active) continue;
        std::vector<AudioObjectPropertyAddress> matched;
        for (const auto& address : changed) {
            if (addressMatches(listener->address, address)) matched.push_back(address);
        }
        if (matched.empty()) continue;
        ++pending_;
        deliveries_.push_back(Delivery{listener, id, std::move(matched)});
    }
    if (!deliveries_.empty() && !drainScheduled_) {
        drainScheduled_ = true;
        queue_->async([this] { drain(); });
    }
}

void Engine::drain() {
    std::unique_lock lock(mutex_);
    while (!deliveries_.empty()) {
        Delivery delivery = std::move(deliveries_.front());
        deliveries_.pop_front();
        if (delivery.listener->active) {
            inFlight_ = delivery.listener.get();
            inFlightThread_ = std::this_thread::get_id();
            lock.unlock();
            delivery.listener->proc(delivery.object, static_cast<UInt32>(delivery.addresses.size()),
                                    delivery.addresses.data(), delivery.listener->clientData);
            lock.lock();
            inFlight_ = nullptr;
        }
        --pending_;
        changed_.notify_all();
    }
    drainScheduled_ = false;
}

void Engine::flush() {
    if (DispatchQueue::currentLabel() == queue_->label()) return;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_ == 0; });
}

// ---- Aggregates ----------------------------------------------------------

OSStatus Engine::createAggregate(const Dictionary& description, AudioObjectID* out) {
    std::lock_guard lock(mutex_);
    ++calls_;
    aggregateRequests_.push_back(description);
    if (auto failure = takeFailureLocked(AudioCall::CreateAggregate, 0, {})) return *failure;
    return createAggregateLocked(description, out);
}

AudioObjectID Engine::addAggregate(const std::string& name, const std::string& uid,
                                   const std::vector<std::string>& subDeviceUIDs,
                                   const std::string& mainUID) {
    Array subdevices;
    for (const auto& sub : subDeviceUIDs) {
        Dictionary entry;
        entry.set("uid", Value(sub));
        subdevices.emplace_back(std::move(entry));
    }
    Dictionary description;
    description.set("name", Value(name));
    description.set("uid", Value(uid));
    description.set("subdevices", Value(std::move(subdevices)));
    description.set("master", Value(mainUID));
    std::lock_guard lock(mutex_);
    AudioObjectID id = 0;
    return createAggregateLocked(description, &id) == noErr ? id : 0;
}

OSStatus Engine::createAggregateLocked(const Dictionary& description, AudioObjectID* out) {
    std::string uid = description["uid"].asString().value_or("");
    std::string name = description["name"].asString().value_or("");
    std::string mainUID = description["master"].asString().value_or("");
    if (uid.empty()) return kAudioHardwareIllegalOperationError;
    for (AudioObjectID device : deviceList_) {
        Property* p = findLocked(objects_.at(device), {kAudioDevicePropertyDeviceUID,
                                                       kAudioObjectPropertyScopeGlobal, 0});
        if (p && p->value.text() == uid) return kAudioHardwareIllegalOperationError;
    }
    std::vector<std::string> subUIDs;
    if (const Array* subs = description["subdevices"].asArray()) {
        for (const Value& sub : *subs) {
            auto subUID = sub["uid"].asString();
            if (!subUID) return kAudioHardwareIllegalOperationError;
            subUIDs.push_back(*subUID);
        }
    }
    AudioDeviceConfig config;
    config.uid = uid;
    config.name = name;
    config.modelUID = "com.lumbrel.aggregate";
    config.manufacturer = "Lumbrel";
    config.transportType = kAudioDeviceTransportTypeAggregate;
    config.classID = kAudioAggregateDeviceClassID;
    std::vector<AudioObjectID> subIDs;
    for (const auto& subUID : subUIDs) {
        AudioObjectID match = 0;
        for (AudioObjectID device : deviceList_) {
            Property* p = findLocked(objects_.at(device), {kAudioDevicePropertyDeviceUID,
                                                           kAudioObjectPropertyScopeGlobal, 0});
            if (p && p->value.text() == subUID) match = device;
        }
        if (!match) return kAudioHardwareIllegalOperationError;
        subIDs.push_back(match);
        config.input.channels += objects_.at(match).inputChannels;
        config.output.channels += objects_.at(match).outputChannels;
    }
    AudioObjectID id = buildDeviceLocked(config);
    Object& aggregate = objects_.at(id);
    aggregate.owned.insert(aggregate.owned.end(), subIDs.begin(), subIDs.end());
    AudioObjectPropertyAddress mainAddress{kAudioAggregateDevicePropertyMainSubDevice,
                                           kAudioObjectPropertyScopeGlobal, 0};
    aggregate.properties[{mainAddress.mSelector, mainAddress.mScope, 0}] =
        Property{mainAddress, AudioPropertyValue::string(mainUID), false, Special::None};
    deviceList_.push_back(id);
    announceDeviceListLocked();
    if (out) *out = id;
    return noErr;
}

OSStatus Engine::destroyAggregate(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (auto failure = takeFailureLocked(AudioCall::DestroyAggregate, id, {})) return *failure;
    Object* object = objectLocked(id);
    if (!object || id == kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
    if (object->classID != kAudioAggregateDeviceClassID) return kAudioHardwareBadDeviceError;
    removeDeviceLocked(id);
    return noErr;
}

// ---- Devices coming and going -------------------------------------------

void Engine::announceDeviceListLocked() {
    notifyLocked(kAudioObjectSystemObject,
                 {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 0});
    notifyLocked(kAudioObjectSystemObject,
                 {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, 0});
}

void Engine::dropObjectLocked(AudioObjectID id) {
    objects_.erase(id);
    // Queued callbacks still reach the dropped listeners; nothing new does.
    listeners_.erase(id);
}

bool Engine::removeDeviceLocked(AudioObjectID id) {
    auto position = std::find(deviceList_.begin(), deviceList_.end(), id);
    if (position == deviceList_.end()) return false;
    Object& device = objects_.at(id);
    AudioObjectPropertyAddress alive{kAudioDevicePropertyDeviceIsAlive,
                                     kAudioObjectPropertyScopeGlobal, 0};
    if (Property* p = findLocked(device, alive)) {
        p->value = AudioPropertyValue::u32(0);
        notifyLocked(id, p->address);
    }
    deviceList_.erase(position);
    std::vector<AudioObjectID> parts;
    for (AudioObjectID owned : device.owned) {
        auto it = objects_.find(owned);
        if (it != objects_.end() && it->second.owner == id) parts.push_back(owned);
    }
    for (AudioObjectID part : parts) dropObjectLocked(part);
    dropObjectLocked(id);
    announceDeviceListLocked();

    auto replacement = [&](bool input) {
        for (AudioObjectID candidate : deviceList_) {
            const Object& o = objects_.at(candidate);
            if ((input ? o.inputChannels : o.outputChannels) > 0) return candidate;
        }
        return kAudioObjectUnknown;
    };
    for (auto selector :
         {kAudioHardwarePropertyDefaultInputDevice, kAudioHardwarePropertyDefaultOutputDevice,
          kAudioHardwarePropertyDefaultSystemOutputDevice}) {
        if (defaultDeviceLocked(selector) == id)
            setDefaultLocked(selector,
                             replacement(selector == kAudioHardwarePropertyDefaultInputDevice));
    }
    return true;
}

AudioObjectID Engine::defaultDeviceLocked(AudioObjectPropertySelector selector) {
    Property* p = findLocked(objects_.at(kAudioObjectSystemObject),
                             {selector, kAudioObjectPropertyScopeGlobal, 0});
    return p ? p->value.as<AudioObjectID>() : kAudioObjectUnknown;
}

}  // namespace sim::audio
