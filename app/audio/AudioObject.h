#pragma once
// The base of the audio device model: one audio object of the platform (the
// system object, a device, a stream), identified by its AudioObjectID, with
// typed access to its properties.
//
// Property access never throws. The "silent" operations (getPropertyData,
// setPropertyData, getPropertyDataArray) hand the platform's status back and
// log nothing; the typed getProperty / setProperty log one debug line to
// audioLog() on failure ("Unable to get property with address (...).
// Status: ...") and answer absent or false. Every accessor of the model first
// asks hasProperty and answers its empty result, without logging, for a
// property the object lacks.
//
// Identity: two audio objects are equal when their identifiers are, whatever
// their subclass. Devices and streams are unique per identifier while alive
// (AudioObjectPool.h); a plain AudioObject is not pooled.
//
// Thread-safety: every operation may be called from any thread. The lazily
// read class, owner and owning device are guarded by a small lock.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/audio/AudioEnums.h"
#include "platform/audio/AudioHardwareServices.h"
#include "platform/foundation/Object.h"
#include "platform/log/Log.h"

class AudioDevice;

// The model's logger: subsystem = the main bundle's identifier (or
// "AudioSystem" when it has none), category "default"; created on first use.
const OSLog& audioLog();

// "AudioObjectPropertyAddress(mSelector: 1836414053, mScope: 1768845428,
// mElement: 0)"
std::string describeAddress(const AudioObjectPropertyAddress& address);

// The address of a property at a scope and element (element 0 is the main
// element, channels count from 1).
inline AudioObjectPropertyAddress propertyAddress(
    AudioObjectPropertySelector selector, Scope scope = Scope::global,
    UInt32 element = kAudioObjectPropertyElementMain) {
    return {selector, scopeCode(scope), element};
}

// The address with which an object listens to all its properties.
inline constexpr AudioObjectPropertyAddress kAudioObjectWildcardAddress{
    kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
    kAudioObjectPropertyElementWildcard};

// A value read on first use and then kept, an absent result included; it
// can be assigned, which replaces what was kept.
template <class T>
class LazyValue {
  public:
    template <class Compute>
    std::optional<T> get(Compute compute) const {
        std::lock_guard lock(mutex_);
        if (!state_) state_.emplace(compute());
        return *state_;
    }
    void set(std::optional<T> value) {
        std::optional<std::optional<T>> old;
        {
            std::lock_guard lock(mutex_);
            old = std::exchange(state_, std::optional<std::optional<T>>(std::move(value)));
        }
    }  // what was kept is released after the lock
    bool isComputed() const {
        std::lock_guard lock(mutex_);
        return state_.has_value();
    }

  private:
    mutable std::mutex mutex_;
    mutable std::optional<std::optional<T>> state_;
};

class AudioObject : public NSObject {
  public:
    // Stores the identifier; reads nothing and pools nothing.
    explicit AudioObject(AudioObjectID objectID);
    ~AudioObject() override;

    const AudioObjectID objectID;

    std::string className() const override { return "AudioObject"; }
    std::string description() const override;
    std::size_t hash() const override;
    bool isEqual(const NSObject& other) const override;
    bool operator==(const AudioObject& other) const { return objectID == other.objectID; }

    // ---- Property access --------------------------------------------------
    bool hasProperty(const AudioObjectPropertyAddress& address) const;
    // True only when the query succeeds and says settable.
    bool isPropertySettable(const AudioObjectPropertyAddress& address) const;
    // Settability with the query's status (false when it failed).
    OSStatus isPropertySettable(const AudioObjectPropertyAddress& address, bool& settable) const;

    // One fixed-size value. The caller initialises `value`; on failure it
    // keeps what the platform left in it.
    template <class T>
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, T& value) const {
        static_assert(std::is_trivially_copyable_v<T>);
        UInt32 size = sizeof(T);
        return AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, &value);
    }
    // A string, read as a platform string reference.
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, std::string& value) const;
    // One fixed-size value of 4 or 8 bytes (or a structure, for the few
    // callers that write one).
    template <class T>
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, const T& value) const {
        static_assert(std::is_trivially_copyable_v<T>);
        return AudioObjectSetPropertyData(objectID, &address, 0, nullptr, sizeof(T), &value);
    }
    // An array: the size query (its failure is returned at once and leaves
    // `value` as it was), then `value` becomes size / sizeof(T) copies of
    // `defaultElement`, then the read fills it. The element count stays
    // that of the size query even when the read delivers fewer bytes. The
    // qualifier, when given, is one class identifier.
    template <class T>
    OSStatus getPropertyDataArray(const AudioObjectPropertyAddress& address,
                                  std::optional<AudioClassID> qualifier, std::vector<T>& value,
                                  const T& defaultElement) const {
        static_assert(std::is_trivially_copyable_v<T>);
        UInt32 qualifierSize = qualifier ? sizeof(AudioClassID) : 0;
        const void* qualifierData = qualifier ? &*qualifier : nullptr;
        UInt32 size = 0;
        OSStatus status =
            AudioObjectGetPropertyDataSize(objectID, &address, qualifierSize, qualifierData, &size);
        if (status != noErr) return status;
        value.assign(size / sizeof(T), defaultElement);
        return AudioObjectGetPropertyData(objectID, &address, qualifierSize, qualifierData, &size,
                                          value.data());
    }

    // Logged typed reads: UInt32, Float32, Float64 and std::string.
    template <class T>
    std::optional<T> getProperty(const AudioObjectPropertyAddress& address) const;
    // Logged typed writes. A bool is written as the 32-bit 1 or 0.
    bool setProperty(const AudioObjectPropertyAddress& address, Float32 value) const;
    bool setProperty(const AudioObjectPropertyAddress& address, bool value) const;
    bool setProperty(const AudioObjectPropertyAddress& address, UInt32 value) const;
    bool setProperty(const AudioObjectPropertyAddress& address, SInt64 value) const;
    bool setProperty(const AudioObjectPropertyAddress& address, Float64 value) const;

    // ---- Identity ---------------------------------------------------------
    // The class code ('clas'), read once.
    std::optional<AudioClassID> classID() const;
    void setClassID(std::optional<AudioClassID> value);
    // The owner ('stdv') as a new plain object, read once; null when absent.
    std::shared_ptr<AudioObject> owningObject() const;
    void setOwningObject(std::shared_ptr<AudioObject> value);
    // The owner as the pooled device when its class is 'adev'; read once.
    std::shared_ptr<AudioDevice> owningDevice() const;
    void setOwningDevice(std::shared_ptr<AudioDevice> value);
    // The name ('lnam'), read silently on every call.
    std::optional<std::string> name() const;

    // The client data this object's listener is installed with: a token
    // unique to this object for the life of the process (never an address,
    // never dereferenced), so that each object's listener is its own even
    // when an older object for the same identifier is still going away.
    void* listenerClientData() const { return reinterpret_cast<void*>(listenerToken_); }

  protected:
    // Installs `listener` for every property of this object; on failure
    // logs "Unable to add property listener for <description>." to the
    // default log. Replaces an earlier registration.
    void addListener(AudioObjectPropertyListenerProc listener);
    // Removes it when registered; on failure logs "Unable to remove property
    // listener for <description>." and stays registered.
    void removeListener(AudioObjectPropertyListenerProc listener);
    bool listenerRegistered() const { return registered_.load(); }

    // Whether the pool holds this object (set once, by the pool).
    bool isPooled() const { return pooled_.load(); }

  private:
    friend class AudioObjectPool;
    const std::uintptr_t listenerToken_;
    std::atomic<bool> registered_{false};
    std::atomic<bool> pooled_{false};
    LazyValue<AudioClassID> classID_;
    LazyValue<std::shared_ptr<AudioObject>> owningObject_;
    LazyValue<std::shared_ptr<AudioDevice>> owningDevice_;
};

// The classes a device object may have: 'adev', 'asub', 'aagg', 'endp', 'edev'.
bool isDeviceClass(AudioClassID classID);

template <>
std::optional<UInt32> AudioObject::getProperty<UInt32>(const AudioObjectPropertyAddress&) const;
template <>
std::optional<Float32> AudioObject::getProperty<Float32>(const AudioObjectPropertyAddress&) const;
template <>
std::optional<Float64> AudioObject::getProperty<Float64>(const AudioObjectPropertyAddress&) const;
template <>
std::optional<std::string> AudioObject::getProperty<std::string>(
    const AudioObjectPropertyAddress&) const;
