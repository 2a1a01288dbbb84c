#pragma once
// Private to platform/audio: the state of the simulated audio hardware behind
// both the property interface and the control surface.
//
// One mutex guards all state. Listener callbacks run on one serial dispatch
// queue with the mutex released: changes queue deliveries in order, and one
// drain block at a time calls them. `inFlight_` names the listener being
// called so that a removal from another thread can wait for it to return.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/audio/AudioHardwareServices.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/dispatch/DispatchQueue.h"

namespace sim::audio {

// Properties whose value the hardware works out when asked, or whose writes
// mean more than storing bytes.
enum class Special {
    None,
    DeviceList,        // 'dev#' of the system object
    OwnedObjects,      // 'ownd', filtered by the class qualifier
    DeviceForUID,      // 'duid' translation
    SourceName,        // 'lcsn' / 'lscn' translations
    ScalarToDecibels,  // 'v2db', in place
    DecibelsToScalar,  // 'db2v', in place
    VolumeDecibels,    // 'vold', from 'volm' at the same address
    HogMode,           // 'oink': a write takes or gives back exclusive access
    DefaultDevice,     // 'dIn ', 'dOut', 'sOut'
};

struct Property {
    AudioObjectPropertyAddress address;
    AudioPropertyValue value;
    bool settable = false;
    Special special = Special::None;
};

using Key = std::tuple<UInt32, UInt32, UInt32>;  // selector, scope, element

struct Object {
    AudioObjectID id = 0;
    AudioClassID classID = 0;
    AudioObjectID owner = 0;
    std::map<Key, Property> properties;
    std::vector<AudioObjectID> owned;
    // (translation selector, scope) -> source id -> name
    std::map<std::pair<UInt32, UInt32>, std::map<UInt32, std::string>> sourceNames;
    UInt32 inputChannels = 0;
    UInt32 outputChannels = 0;
    std::vector<AudioObjectID> inputStreams;
    std::vector<AudioObjectID> outputStreams;
};

struct Listener {
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc proc = nullptr;
    void* clientData = nullptr;
    bool active = true;  // guarded by the engine's mutex
};

struct Failure {
    AudioCall call;
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address;
    OSStatus status = 0;
    int remaining = 1;
};

struct Shrink {
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address;
    UInt32 fewer = 1;
};

bool scopeMatches(UInt32 a, UInt32 b);
bool elementMatches(UInt32 a, UInt32 b);
bool addressMatches(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b);

class Engine {
  public:
    static Engine& shared();

    // ---- The property interface ----
    Boolean hasProperty(AudioObjectID id, const AudioObjectPropertyAddress& address);
    OSStatus isSettable(AudioObjectID id, const AudioObjectPropertyAddress& address, Boolean* out);
    OSStatus getSize(AudioObjectID id, const AudioObjectPropertyAddress& address,
                     UInt32 qualifierSize, const void* qualifier, UInt32* outSize);
    OSStatus get(AudioObjectID id, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                 const void* qualifier, UInt32* ioSize, void* out);
    OSStatus set(AudioObjectID id, const AudioObjectPropertyAddress& address, UInt32 size,
                 const void* data);
    OSStatus addListener(AudioObjectID id, const AudioObjectPropertyAddress& address,
                         AudioObjectPropertyListenerProc proc, void* clientData);
    OSStatus removeListener(AudioObjectID id, const AudioObjectPropertyAddress& address,
                            AudioObjectPropertyListenerProc proc, void* clientData);
    OSStatus createAggregate(const Dictionary& description, AudioObjectID* out);
    OSStatus destroyAggregate(AudioObjectID id);

    // ---- The control surface (SimAudioHardware.cpp, SimAudioDevices.cpp) ----
    std::vector<AudioObjectID> addDevices(const std::vector<AudioDeviceConfig>& configs);
    AudioObjectID addAggregate(const std::string& name, const std::string& uid,
                               const std::vector<std::string>& subDeviceUIDs,
                               const std::string& mainUID);
    bool removeDevice(AudioObjectID id);
    std::optional<AudioObjectID> deviceWithUID(const std::string& uid);
    std::vector<AudioObjectID> devices();
    std::vector<AudioObjectID> streams(AudioObjectID device, AudioObjectPropertyScope scope);
    bool exists(AudioObjectID id);
    void setDefault(AudioObjectPropertySelector selector, AudioObjectID device);
    AudioObjectID defaultDevice(AudioObjectPropertySelector selector);
    // Stores a value and notifies when it changed; false when the object or
    // (unless `create`) the property is missing.
    bool changeValue(AudioObjectID id, const AudioObjectPropertyAddress& address,
                     AudioPropertyValue value, bool create, std::optional<bool> settable);
    bool removeProperty(AudioObjectID id, const AudioObjectPropertyAddress& address);
    std::optional<AudioPropertyValue> property(AudioObjectID id,
                                               const AudioObjectPropertyAddress& address);
    void setSourceName(AudioObjectID device, UInt32 selector, UInt32 scope, UInt32 sourceID,
                       std::optional<std::string> name);
    void announce(AudioObjectID id, const std::vector<AudioObjectPropertyAddress>& addresses);
    void failNext(const Failure& failure);
    void clearFailures();
    void shrinkNext(const Shrink& shrink);
    std::vector<AudioWrite> writes();
    void clearWrites();
    void setRecordingWrites(bool enabled);
    std::vector<Dictionary> aggregateRequests();
    std::size_t listenerCount(AudioObjectID id);
    std::uint64_t callCount() const { return calls_.load(); }
    void flush();
    std::string queueLabel() const { return queue_->label(); }
    void reset();

  private:
    Engine();

    Object* objectLocked(AudioObjectID id);
    Property* findLocked(Object& object, const AudioObjectPropertyAddress& address);
    std::optional<OSStatus> takeFailureLocked(AudioCall call, AudioObjectID id,
                                              const AudioObjectPropertyAddress& address);
    // The bytes of a property whose value is worked out on demand.
    std::vector<std::uint8_t> computedArrayLocked(const Object& object, const Property& property,
                                                  UInt32 qualifierSize, const void* qualifier);
    OSStatus translateLocked(Object& object, Property& property, UInt32* ioSize, void* out);
    // Calls the object's matching listeners (asynchronously) for the changed
    // addresses.
    void notifyLocked(AudioObjectID id, const std::vector<AudioObjectPropertyAddress>& changed);
    void notifyLocked(AudioObjectID id, const AudioObjectPropertyAddress& changed) {
        notifyLocked(id, std::vector<AudioObjectPropertyAddress>{changed});
    }
    // Runs on the callback queue: calls every pending delivery in order.
    void drain();
    void setDefaultLocked(AudioObjectPropertySelector selector, AudioObjectID device);
    OSStatus createAggregateLocked(const Dictionary& description, AudioObjectID* out);
    AudioObjectID defaultDeviceLocked(AudioObjectPropertySelector selector);
    bool removeDeviceLocked(AudioObjectID id);
    void dropObjectLocked(AudioObjectID id);
    void announceDeviceListLocked();
    void installSystemObjectLocked();
    AudioObjectID buildDeviceLocked(const AudioDeviceConfig& config);
    void buildScopeLocked(Object& device, const AudioDeviceConfig& config, bool input,
                          std::vector<AudioObjectID>& controls);
    AudioObjectID addControlLocked(AudioObjectID owner, AudioClassID classID);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<AudioObjectID, Object> objects_;
    std::vector<AudioObjectID> deviceList_;
    std::unordered_map<AudioObjectID, std::vector<std::shared_ptr<Listener>>> listeners_;
    std::vector<Failure> failures_;
    std::vector<Shrink> shrinks_;
    std::vector<AudioWrite> writes_;
    bool recordingWrites_ = true;
    std::vector<Dictionary> aggregateRequests_;
    AudioObjectID nextID_ = 100;
    struct Delivery {
        std::shared_ptr<Listener> listener;
        AudioObjectID object = 0;
        std::vector<AudioObjectPropertyAddress> addresses;
    };
    std::shared_ptr<DispatchQueue> queue_;
    std::deque<Delivery> deliveries_;
    bool drainScheduled_ = false;
    std::size_t pending_ = 0;  // queued or being called
    const Listener* inFlight_ = nullptr;
    std::thread::id inFlightThread_;
    std::atomic<std::uint64_t> calls_{0};
};

}  // namespace sim::audio
