#pragma once
// Control surface of the simulated audio hardware: what tests and the
// console use to build a machine's audio devices and to act as the hardware,
// the user or another program would. The application never includes this.
//
// The hardware is one process-wide instance; all functions are static and
// thread-safe. Object identifiers are never reused within a process, also
// not across reset(). Changes made here notify listeners exactly as changes
// made through the property interface do (AudioHardwareServices.h), on the
// hardware's own thread; flush() waits until they have been delivered.

#include <sys/types.h>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/AudioTypes.h"
#include "platform/foundation/Value.h"

namespace sim {

// A property value as the hardware keeps it: a fixed-size scalar or
// structure, a string (read as a CFStringRef), or an array of fixed-size
// elements.
class AudioPropertyValue {
  public:
    enum class Kind { Scalar, String, Array };

    AudioPropertyValue() = default;
    static AudioPropertyValue u32(UInt32 v) { return pod(v); }
    static AudioPropertyValue i32(SInt32 v) { return pod(v); }
    static AudioPropertyValue f32(Float32 v) { return pod(v); }
    static AudioPropertyValue f64(Float64 v) { return pod(v); }
    static AudioPropertyValue string(std::string text);
    template <class T>
    static AudioPropertyValue pod(const T& value) {
        AudioPropertyValue v;
        v.kind_ = Kind::Scalar;
        v.elementSize_ = sizeof(T);
        v.bytes_.resize(sizeof(T));
        std::memcpy(v.bytes_.data(), &value, sizeof(T));
        return v;
    }
    template <class T>
    static AudioPropertyValue array(const std::vector<T>& values) {
        AudioPropertyValue v;
        v.kind_ = Kind::Array;
        v.elementSize_ = sizeof(T);
        v.bytes_.resize(values.size() * sizeof(T));
        if (!values.empty()) std::memcpy(v.bytes_.data(), values.data(), v.bytes_.size());
        return v;
    }

    Kind kind() const { return kind_; }
    UInt32 elementSize() const { return elementSize_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

    // The scalar as T (zero-filled when the sizes differ).
    template <class T>
    T as() const {
        T out{};
        std::memcpy(&out, bytes_.data(), std::min(sizeof(T), bytes_.size()));
        return out;
    }
    template <class T>
    std::vector<T> asArray() const {
        std::vector<T> out(bytes_.size() / sizeof(T));
        if (!out.empty()) std::memcpy(out.data(), bytes_.data(), out.size() * sizeof(T));
        return out;
    }
    bool operator==(const AudioPropertyValue&) const = default;

  private:
    Kind kind_ = Kind::Scalar;
    UInt32 elementSize_ = 0;
    std::vector<std::uint8_t> bytes_;
    std::string text_;
};

// Controls and channels of one side (input or output) of a device.
struct AudioScopeConfig {
    UInt32 channels = 0;  // 0: the device has no streams on this side
    UInt32 streams = 1;   // the channels are spread over this many streams
    UInt32 terminalType = 0;
    bool mainMute = false;      // a mute control on element 0
    bool channelMutes = false;  // a mute control on each channel 1..n
    bool muteSettable = true;
    bool mainVolume = false;      // a volume control on element 0
    bool channelVolumes = false;  // a volume control on each channel 1..n
    bool volumeSettable = true;
    bool playThru = false;
    bool jack = false;  // has a jack-connected flag (initially connected)
    std::optional<std::pair<UInt32, UInt32>> preferredStereo;
    std::vector<std::pair<UInt32, std::string>> dataSources;  // id, name
    UInt32 latency = 0;
    UInt32 safetyOffset = 0;
};

struct AudioDeviceConfig {
    std::string uid;
    std::string modelUID;
    std::string name;
    std::string manufacturer;
    UInt32 transportType = kAudioDeviceTransportTypeBuiltIn;
    AudioClassID classID = kAudioDeviceClassID;
    AudioScopeConfig input;
    AudioScopeConfig output;
    bool hogMode = true;  // has the hog-mode property (initially free)
    Float64 nominalSampleRate = 48000;
    std::vector<AudioValueRange> sampleRateRanges{{44100, 44100}, {48000, 48000}};
    std::vector<AudioValueRange> bufferFrameSizeRanges{{15, 4096}};
    UInt32 bufferFrameSize = 512;
    std::vector<std::pair<UInt32, std::string>> clockSources;  // id, name
    std::string configurationApplication;
    bool hidden = false;
    bool subwoofer = false;  // settable sub mute, sub volume (scalar, dB), own-iSub flag

    // Presets. Each gives a distinct UID per call only when uid is changed
    // by the caller; add two of the same kind with different UIDs.
    static AudioDeviceConfig builtInMicrophone();
    static AudioDeviceConfig builtInSpeakers();
    static AudioDeviceConfig usbMicrophone(std::string uid = "USB-MIC-0001");
    static AudioDeviceConfig bluetoothHeadset(std::string uid = "BT-HEADSET-0001");
    static AudioDeviceConfig bluetoothLEHeadset(std::string uid = "BLE-HEADSET-0001");
    // An input-only or output-only device with a main mute control.
    static AudioDeviceConfig inputOnly(std::string uid, std::string name, UInt32 channels = 1);
    static AudioDeviceConfig outputOnly(std::string uid, std::string name, UInt32 channels = 2);
};

// Which call of the property interface a failure is injected into.
enum class AudioCall {
    IsSettable,
    GetSize,
    Get,
    Set,
    AddListener,
    RemoveListener,
    CreateAggregate,
    DestroyAggregate,
};

// One call of AudioObjectSetPropertyData, whatever its outcome.
struct AudioWrite {
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address;
    std::vector<std::uint8_t> data;
    OSStatus status = 0;

    template <class T>
    T as() const {
        T out{};
        std::memcpy(&out, data.data(), std::min(sizeof(T), data.size()));
        return out;
    }
};

struct SimulatedMac {
    AudioObjectID builtInMicrophone = 0;
    AudioObjectID builtInSpeakers = 0;
    AudioObjectID usbMicrophone = 0;
    AudioObjectID bluetoothHeadset = 0;
};

class AudioHardware {
  public:
    // ---- Devices ---------------------------------------------------------
    // Adds a device (with its streams, one control object per mute or volume
    // control and every property its config implies) at the end of the
    // system's device list and announces the list change. Returns its id.
    static AudioObjectID addDevice(const AudioDeviceConfig& config);
    // Several devices that appear in one change (one list announcement).
    static std::vector<AudioObjectID> addDevices(const std::vector<AudioDeviceConfig>& configs);
    // An aggregate device over existing devices, as
    // AudioHardwareCreateAggregateDevice makes it; 0 when it cannot be made.
    static AudioObjectID addAggregateDevice(const std::string& name, const std::string& uid,
                                            const std::vector<std::string>& subDeviceUIDs);
    // Unplugs a device: its alive flag drops (one last callback), it leaves
    // the device list with its streams and controls, and a default device
    // that was it moves to the first remaining device with channels on that
    // side (or 0). False when there is no such device.
    static bool removeDevice(AudioObjectID device);
    static std::optional<AudioObjectID> deviceWithUID(const std::string& uid);
    static std::vector<AudioObjectID> devices();
    // The stream ids of a device on one side ('inpt' or 'outp'), in order.
    static std::vector<AudioObjectID> streams(AudioObjectID device, AudioObjectPropertyScope scope);
    static bool exists(AudioObjectID object);

    // The default Mac of the console: built-in microphone (default input),
    // built-in speakers (default output and system output), a USB microphone
    // and a Bluetooth headset with input and output.
    static SimulatedMac installDefaultMac();

    // ---- Defaults --------------------------------------------------------
    static void setDefaultInputDevice(AudioObjectID device);
    static void setDefaultOutputDevice(AudioObjectID device);
    static void setDefaultSystemOutputDevice(AudioObjectID device);
    static AudioObjectID defaultInputDevice();
    static AudioObjectID defaultOutputDevice();

    // ---- Acting as somebody else ------------------------------------------
    // Another program changes a mute control. False when there is none.
    static bool setMute(AudioObjectID device, AudioObjectPropertyScope scope, UInt32 element,
                        bool muted);
    static std::optional<bool> isMuted(AudioObjectID device, AudioObjectPropertyScope scope,
                                       UInt32 element);
    // Hog mode now held by process `pid` (-1: nobody).
    static void setHogModeOwner(AudioObjectID device, pid_t pid);
    static std::optional<pid_t> hogModeOwner(AudioObjectID device);

    // ---- Any property ----------------------------------------------------
    // Adds or replaces a property; listeners hear it when the value changed.
    static void setProperty(AudioObjectID object, AudioObjectPropertyAddress address,
                            AudioPropertyValue value, bool settable = false);
    // Changes a property's value keeping its settability (adds it, not
    // settable, when missing); listeners hear it when the value changed.
    static void changeValue(AudioObjectID object, AudioObjectPropertyAddress address,
                            AudioPropertyValue value);
    static bool removeProperty(AudioObjectID object, AudioObjectPropertyAddress address);
    static std::optional<AudioPropertyValue> property(AudioObjectID object,
                                                      AudioObjectPropertyAddress address);
    // Names for the identifier-to-name translations ('lcsn' at 'glob',
    // 'lscn' per scope).
    static void setSourceName(AudioObjectID device, AudioObjectPropertySelector translation,
                              AudioObjectPropertyScope scope, UInt32 sourceID,
                              std::optional<std::string> name);
    // Calls the listeners of an object with these addresses in one callback,
    // as the hardware does when several properties change at once.
    static void announce(AudioObjectID object, std::vector<AudioObjectPropertyAddress> addresses);

    // ---- Faults ------------------------------------------------------------
    // The next `times` calls of `call` on exactly (object, address) fail with
    // `status` (times < 0: until clearFailures). For CreateAggregate the
    // object and address are ignored; for DestroyAggregate only the object
    // counts.
    static void failNext(AudioCall call, AudioObjectID object, AudioObjectPropertyAddress address,
                         OSStatus status, int times = 1);
    static void failNextGet(AudioObjectID object, AudioObjectPropertyAddress address,
                            OSStatus status, int times = 1) {
        failNext(AudioCall::Get, object, address, status, times);
    }
    static void failNextSet(AudioObjectID object, AudioObjectPropertyAddress address,
                            OSStatus status, int times = 1) {
        failNext(AudioCall::Set, object, address, status, times);
    }
    static void clearFailures();
    // The next read of the array at (object, address) delivers `fewer`
    // elements less than the size query promised, as when an entry
    // disappears between the two calls.
    static void shrinkNextArrayRead(AudioObjectID object, AudioObjectPropertyAddress address,
                                    UInt32 fewer = 1);

    // ---- Records -----------------------------------------------------------
    static std::vector<AudioWrite> writes();
    // The writes of one selector (any object, scope and element).
    static std::vector<AudioWrite> writes(AudioObjectPropertySelector selector);
    static void clearWrites();
    // Aggregate descriptions handed to AudioHardwareCreateAggregateDevice.
    static std::vector<Dictionary> aggregateRequests();
    // Installed listeners on an object (all of them when object is 0).
    static std::size_t listenerCount(AudioObjectID object = 0);
    // Number of calls made through the property interface so far.
    static std::uint64_t callCount();
    // Recording of writes is on by default; long benchmarks turn it off.
    static void setRecordingWrites(bool enabled);

    // ---- Threads -----------------------------------------------------------
    // Waits until every pending callback has been delivered, including those
    // that callbacks cause. Does nothing when called on the hardware's own
    // thread.
    static void flush();
    // The label of the hardware's callback queue.
    static std::string callbackQueueLabel();

    // Removes every device, listener, fault and record, and the defaults.
    // Pending callbacks are delivered first.
    static void reset();
};

}  // namespace sim
