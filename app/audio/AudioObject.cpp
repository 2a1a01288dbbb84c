#include "app/audio/AudioObject.h"

#include <functional>

#include "app/audio/AudioDevice.h"
#include "app/audio/AudioObjectPool.h"
#include "platform/bundle/NSBundle.h"

const OSLog& audioLog() {
    // Never destroyed: audio callbacks may still log while the process exits.
    static const auto* const log = [] {
        std::string subsystem = NSBundle::mainBundle()->bundleIdentifier();
        return new OSLog(*os_log_create(subsystem.empty() ? "AudioSystem" : subsystem, "default"));
    }();
    return *log;
}

std::string describeAddress(const AudioObjectPropertyAddress& address) {
    return "AudioObjectPropertyAddress(mSelector: " + std::to_string(address.mSelector) +
           ", mScope: " + std::to_string(address.mScope) +
           ", mElement: " + std::to_string(address.mElement) + ")";
}

bool isDeviceClass(AudioClassID classID) {
    switch (classID) {
        case kAudioDeviceClassID:
        case kAudioSubDeviceClassID:
        case kAudioAggregateDeviceClassID:
        case kAudioEndPointClassID:
        case kAudioEndPointDeviceClassID:
            return true;
        default:
            return false;
    }
}

namespace {
std::atomic<std::uintptr_t> nextListenerToken{1};
}  // namespace

AudioObject::AudioObject(AudioObjectID id)
    : objectID(id), listenerToken_(nextListenerToken.fetch_add(1, std::memory_order_relaxed)) {}

AudioObject::~AudioObject() = default;

std::string AudioObject::description() const {
    return name().value_or("AudioObject") + " (" + std::to_string(objectID) + ")";
}

std::size_t AudioObject::hash() const {
    return std::hash<AudioObjectID>{}(objectID);
}

bool AudioObject::isEqual(const NSObject& other) const {
    const auto* object = dynamic_cast<const AudioObject*>(&other);
    return object && object->hash() == hash();
}

// ---- Property access -----------------------------------------------------

bool AudioObject::hasProperty(const AudioObjectPropertyAddress& address) const {
    return AudioObjectHasProperty(objectID, &address) != 0;
}

OSStatus AudioObject::isPropertySettable(const AudioObjectPropertyAddress& address,
                                         bool& settable) const {
    Boolean flag = 0;
    OSStatus status = AudioObjectIsPropertySettable(objectID, &address, &flag);
    settable = status == noErr && flag != 0;
    return status;
}

bool AudioObject::isPropertySettable(const AudioObjectPropertyAddress& address) const {
    bool settable = false;
    isPropertySettable(address, settable);
    return settable;
}

OSStatus AudioObject::getPropertyData(const AudioObjectPropertyAddress& address,
                                      std::string& value) const {
    CFStringHolder string;
    UInt32 size = sizeof(CFStringRef);
    OSStatus status =
        AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, string.out());
    if (status == noErr) value = string.str();
    return status;
}

namespace {

template <class T>
std::optional<T> loggedRead(const AudioObject& object, const AudioObjectPropertyAddress& address) {
    T value{};
    OSStatus status = object.getPropertyData(address, value);
    if (status == noErr) return value;
    os_log_debug(audioLog(), "Unable to get property with address (" + describeAddress(address) +
                                 "). Status: " + std::to_string(status));
    return std::nullopt;
}

template <class T>
bool loggedWrite(const AudioObject& object, const AudioObjectPropertyAddress& address,
                 const T& value) {
    OSStatus status = object.setPropertyData(address, value);
    if (status == noErr) return true;
    os_log_debug(audioLog(), "Unable to set property with address (" + describeAddress(address) +
                                 "). Status: " + std::to_string(status));
    return false;
}

}  // namespace

template <>
std::optional<UInt32> AudioObject::getProperty<UInt32>(
    const AudioObjectPropertyAddress& address) const {
    return loggedRead<UInt32>(*this, address);
}
template <>
std::optional<Float32> AudioObject::getProperty<Float32>(
    const AudioObjectPropertyAddress& address) const {
    return loggedRead<Float32>(*this, address);
}
template <>
std::optional<Float64> AudioObject::getProperty<Float64>(
    const AudioObjectPropertyAddress& address) const {
    return loggedRead<Float64>(*this, address);
}
template <>
std::optional<std::string> AudioObject::getProperty<std::string>(
    const AudioObjectPropertyAddress& address) const {
    return loggedRead<std::string>(*this, address);
}

bool AudioObject::setProperty(const AudioObjectPropertyAddress& address, Float32 value) const {
    return loggedWrite(*this, address, value);
}
bool AudioObject::setProperty(const AudioObjectPropertyAddress& address, bool value) const {
    return loggedWrite(*this, address, UInt32{value ? 1u : 0u});
}
bool AudioObject::setProperty(const AudioObjectPropertyAddress& address, UInt32 value) const {
    return loggedWrite(*this, address, value);
}
bool AudioObject::setProperty(const AudioObjectPropertyAddress& address, SInt64 value) const {
    return loggedWrite(*this, address, value);
}
bool AudioObject::setProperty(const AudioObjectPropertyAddress& address, Float64 value) const {
    return loggedWrite(*this, address, value);
}

// ---- Identity --------------------------------------------------------------

std::optional<AudioClassID> AudioObject::classID() const {
    return classID_.get([this]() -> std::optional<AudioClassID> {
        auto address = propertyAddress(kAudioObjectPropertyClass);
        if (!hasProperty(address)) return std::nullopt;
        AudioClassID value = 0;
        if (getPropertyData(address, value) != noErr) return std::nullopt;
        return value;
    });
}

void AudioObject::setClassID(std::optional<AudioClassID> value) {
    classID_.set(value);
}

std::shared_ptr<AudioObject> AudioObject::owningObject() const {
    return owningObject_
        .get([this]() -> std::optional<std::shared_ptr<AudioObject>> {
            auto address = propertyAddress(kAudioObjectPropertyOwner);
            if (!hasProperty(address)) return std::shared_ptr<AudioObject>();
            AudioObjectID owner = 0;
            if (getPropertyData(address, owner) != noErr) return std::shared_ptr<AudioObject>();
            return std::make_shared<AudioObject>(owner);
        })
        .value_or(nullptr);
}

void AudioObject::setOwningObject(std::shared_ptr<AudioObject> value) {
    owningObject_.set(std::move(value));
}

std::shared_ptr<AudioDevice> AudioObject::owningDevice() const {
    return owningDevice_
        .get([this]() -> std::optional<std::shared_ptr<AudioDevice>> {
            auto owner = owningObject();
            if (!owner || owner->classID() != kAudioDeviceClassID)
                return std::shared_ptr<AudioDevice>();
            return AudioDevice::lookup(owner->objectID);
        })
        .value_or(nullptr);
}

void AudioObject::setOwningDevice(std::shared_ptr<AudioDevice> value) {
    owningDevice_.set(std::move(value));
}

std::optional<std::string> AudioObject::name() const {
    auto address = propertyAddress(kAudioObjectPropertyName);
    if (!hasProperty(address)) return std::nullopt;
    std::string value;
    if (getPropertyData(address, value) != noErr) return std::nullopt;
    return value;
}

// ---- Listener registration ------------------------------------------------

void AudioObject::addListener(AudioObjectPropertyListenerProc listener) {
    if (registered_.load()) removeListener(listener);
    OSStatus status = AudioObjectAddPropertyListener(objectID, &kAudioObjectWildcardAddress,
                                                     listener, listenerClientData());
    if (status == noErr) {
        registered_.store(true);
    } else {
        os_log(OSLog::defaultLog(), "Unable to add property listener for " + description() + ".");
    }
}

void AudioObject::removeListener(AudioObjectPropertyListenerProc listener) {
    if (!registered_.load()) return;
    OSStatus status = AudioObjectRemovePropertyListener(objectID, &kAudioObjectWildcardAddress,
                                                        listener, listenerClientData());
    if (status == noErr) {
        registered_.store(false);
    } else {
        os_log(OSLog::defaultLog(),
               "Unable to remove property listener for " + description() + ".");
    }
}
