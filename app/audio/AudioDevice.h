#pragma once
// One audio device (a microphone, a headset, the built-in input, an
// aggregate device): the object through which the program reads and writes
// a device's properties.
//
// Obtaining one: AudioDevice::lookup by identifier or UID, or the lists and
// default devices of AudioSystem. A device object is unique per identifier
// while anybody holds it (AudioObjectPool.h). On creation it checks that the
// object is of a device class, caches its name and installs one property
// listener; every property change of the device is then posted as a
// notification with the device as object (AudioNotifications.h). When the
// last holder lets go, it leaves the pool and removes its listener, unless
// the device is gone from the system (then nothing is left to remove).
//
// All operations are synchronous calls into the audio hardware, may be
// called from any thread and never throw. A property the device lacks gives
// absent, false or an empty list without logging; reads and writes called
// "logged" leave one debug line in audioLog() when the hardware refuses.
//
// Scopes select the side of the device (Scope::input for a microphone);
// channel 0 is the main element, channels count from 1.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/audio/AudioObject.h"

class AudioStream;

// What volumeInfo reports about one element's volume-type controls.
struct VolumeInfo {
    std::optional<Float32> volume;
    bool hasVolume = false;
    bool canSetVolume = false;
    bool canMute = false;
    bool isMuted = false;
    bool canPlayThru = false;
    bool isPlayThruSet = false;
};

using StereoPair = std::pair<UInt32, UInt32>;  // left, right channel

class AudioDevice : public AudioObject {
  public:
    ~AudioDevice() override;

    std::string className() const override { return "AudioDevice"; }

    // ---- Lookup -----------------------------------------------------------
    // The live device for the identifier, else a new one; null when the
    // identifier names no device (its class is not a device class).
    static std::shared_ptr<AudioDevice> lookup(AudioObjectID id);
    // The device whose UID this is (translated by the system object); null
    // when the system does not know it.
    static std::shared_ptr<AudioDevice> lookup(const std::string& uid);

    // ---- Name and listener ------------------------------------------------
    // The current name, else the name read at creation, else
    // "<Unknown Device Name>".
    std::string name() const;
    // "<name> (<identifier>)".
    std::string description() const override;
    const std::optional<std::string>& cachedDeviceName() const { return cachedDeviceName_; }
    bool isRegisteredForNotifications() const { return listenerRegistered(); }
    void registerForNotifications();
    void unregisterForNotifications();
    // The listener installed on every device: turns the first changed
    // address into a notification. Answers kAudioHardwareBadObjectError for
    // an identifier without a live device object.
    static OSStatus devicePropertyListener(AudioObjectID id, UInt32 count,
                                           const AudioObjectPropertyAddress* addresses,
                                           void* clientData);

    // ---- Mute and volume --------------------------------------------------
    std::optional<VolumeInfo> volumeInfo(UInt32 channel, Scope scope) const;
    std::optional<Float32> volume(UInt32 channel, Scope scope) const;            // logged
    std::optional<Float32> volumeInDecibels(UInt32 channel, Scope scope) const;  // logged
    bool setVolume(Float32 volume, UInt32 channel, Scope scope) const;           // logged
    // Writes the 32-bit 1 or 0 (logged); false when there is no mute control.
    bool setMute(bool muted, UInt32 channel, Scope scope) const;
    // Absent (not false) when the control is missing or unreadable.
    std::optional<bool> isMuted(UInt32 channel, Scope scope) const;  // logged
    std::optional<bool> isMainChannelMuted(Scope scope) const { return isMuted(0, scope); }
    std::optional<bool> isMasterChannelMuted(Scope scope) const { return isMuted(0, scope); }
    // The mute control exists, is settable and volumeInfo could read a value.
    bool canMute(UInt32 channel, Scope scope) const;
    bool canSetVolume(UInt32 channel, Scope scope) const;
    // The main element can be muted, or both channels of the preferred
    // stereo pair can.
    bool canMuteMainVolume(Scope scope) const;
    bool canMuteMasterVolume(Scope scope) const { return canMuteMainVolume(scope); }
    // Present only when the device reports exactly two channels.
    std::optional<StereoPair> preferredChannelsForStereo(Scope scope) const;
    bool setPreferredChannelsForStereo(StereoPair channels, Scope scope) const;
    bool hasVirtualMainVolume(Scope scope) const;
    bool hasVirtualMasterVolume(Scope scope) const { return hasVirtualMainVolume(scope); }
    std::optional<Float32> virtualMainVolume(Scope scope) const;
    std::optional<Float32> virtualMasterVolume(Scope scope) const {
        return virtualMainVolume(scope);
    }
    bool setVirtualMainVolume(Float32 volume, Scope scope) const;
    bool setVirtualMasterVolume(Float32 volume, Scope scope) const {
        return setVirtualMainVolume(volume, scope);
    }
    std::optional<Float32> virtualMainVolumeInDecibels(Scope scope) const;
    std::optional<Float32> virtualMasterVolumeInDecibels(Scope scope) const {
        return virtualMainVolumeInDecibels(scope);
    }
    std::optional<Float32> virtualMainBalance(Scope scope) const;
    std::optional<Float32> virtualMasterBalance(Scope scope) const {
        return virtualMainBalance(scope);
    }
    bool setVirtualMainBalance(Float32 balance, Scope scope) const;
    bool setVirtualMasterBalance(Float32 balance, Scope scope) const {
        return setVirtualMainBalance(balance, scope);
    }
    // Conversions done by the hardware; absent (never the input) on failure.
    std::optional<Float32> scalarToDecibels(Float32 volume, UInt32 channel, Scope scope) const;
    std::optional<Float32> decibelsToScalar(Float32 volume, UInt32 channel, Scope scope) const;
    // Subwoofer controls: assigning absent does nothing.
    std::optional<bool> shouldOwniSub() const;
    void setShouldOwniSub(std::optional<bool> value) const;
    std::optional<bool> lfeMute() const;
    void setLfeMute(std::optional<bool> value) const;
    std::optional<Float32> lfeVolume() const;
    void setLfeVolume(std::optional<Float32> value) const;
    std::optional<Float32> lfeVolumeDecibels() const;
    void setLfeVolumeDecibels(std::optional<Float32> value) const;

    // ---- Hog mode ---------------------------------------------------------
    // The process holding exclusive access (-1: nobody); absent when the
    // property is missing or unreadable.
    std::optional<pid_t> hogModePID() const;
    // Takes hog mode unless this process holds it already; true only when a
    // write was made and succeeded.
    bool setHogMode() const;
    // Gives hog mode back when this process holds it; true only when a write
    // was made and succeeded.
    bool unsetHogMode() const;

    // ---- Identity, transport and state -----------------------------------
    std::optional<std::string> uid() const;                       // logged
    std::optional<std::string> modelUID() const;                  // logged
    std::optional<std::string> manufacturer() const;              // logged
    std::optional<std::string> configurationApplication() const;  // logged
    bool isHidden() const;
    bool isAlive() const;
    bool isRunning() const;
    bool isRunningSomewhere() const;
    std::optional<bool> isJackConnected(Scope scope) const;
    // Absent when missing or unreadable; an unlisted code is unknown.
    std::optional<TransportType> transportType() const;
    std::optional<std::vector<std::shared_ptr<AudioDevice>>> relatedDevices() const;
    std::optional<std::vector<AudioObjectID>> ownedObjectIDs() const;
    std::optional<std::vector<AudioObjectID>> controlList() const;
    bool isDefaultInputDevice() const;
    bool isDefaultOutputDevice() const;
    bool isDefaultSystemOutputDevice() const;
    // Makes this device the default (the hardware's status is not looked
    // at; the change arrives as defaultInputDeviceChanged). false does
    // nothing: there is no "not default" to write.
    void setIsDefaultInputDevice(bool value) const;
    void setIsDefaultOutputDevice(bool value) const;
    void setIsDefaultSystemOutputDevice(bool value) const;

    // ---- Sub-devices of an aggregate ---------------------------------------
    std::optional<std::vector<std::shared_ptr<AudioDevice>>> ownedDevices() const;
    std::optional<std::vector<std::shared_ptr<AudioDevice>>> ownedInputDevices() const;
    std::optional<std::vector<std::shared_ptr<AudioDevice>>> ownedOutputDevices() const;
    bool isAggregateDevice() const;

    // ---- Data and clock sources -------------------------------------------
    std::optional<UInt32> clockSourceID() const;        // logged
    bool setClockSourceID(UInt32 clockSourceID) const;  // logged
    std::optional<std::vector<UInt32>> clockSourceIDs() const;
    std::optional<std::string> clockSourceName() const;
    std::optional<std::string> clockSourceName(UInt32 clockSourceID) const;
    // One name per source; "Clock source <id>" for one that has none.
    std::optional<std::vector<std::string>> clockSourceNames() const;
    std::optional<std::vector<UInt32>> dataSource(Scope scope) const;
    std::optional<std::vector<UInt32>> dataSourceIDs(Scope scope) const;
    std::optional<std::string> dataSourceName(UInt32 dataSourceID, Scope scope) const;

    // ---- Channels, streams and layout -------------------------------------
    std::optional<std::vector<std::shared_ptr<AudioStream>>> streams(Scope scope) const;
    // The channels of the streams' physical formats (saturating).
    UInt32 channels(Scope scope) const;
    bool isInputOnlyDevice() const;
    bool isOutputOnlyDevice() const;
    std::optional<UInt32> layoutChannels(Scope scope) const;
    // An element's name (logged); absent when missing or empty.
    std::optional<std::string> name(UInt32 channel, Scope scope) const;

    // ---- Sample rates, latency and buffers --------------------------------
    std::optional<Float64> nominalSampleRate() const;  // logged
    bool setNominalSampleRate(Float64 rate) const;     // logged
    std::optional<Float64> actualSampleRate() const;   // logged
    // The rates the device offers: single rates as they are, continuous
    // ranges expanded to the standard rates they span.
    std::optional<std::vector<Float64>> nominalSampleRates() const;
    std::optional<UInt32> latency(Scope scope) const;           // logged
    std::optional<UInt32> safetyOffset(Scope scope) const;      // logged
    std::optional<UInt32> bufferFrameSize(Scope scope) const;   // logged
    bool setBufferFrameSize(UInt32 frames, Scope scope) const;  // logged
    // Buffer sizes to offer, ascending: the device's minimum rounded up to a
    // multiple of 16 (at least 16) when the device supports it, and the
    // sizes 16..4096 (powers of two) that some range contains.
    std::optional<std::vector<UInt32>> bufferFrameSizes() const;
    // Frames: the streams' latencies + latency + safety offset + buffer size
    // (saturating).
    UInt32 presentationLatency(Scope scope) const;
    std::optional<Float64> presentationLatencyInSeconds(Scope scope) const;

    // ---- For the pool -------------------------------------------------------
    static std::shared_ptr<AudioDevice> makeCandidate(AudioObjectID id);
    // Checks the class and caches the name; false when no device.
    bool completeConstruction();

  protected:
    explicit AudioDevice(AudioObjectID id) : AudioObject(id) {}

  private:
    std::optional<std::string> loggedString(AudioObjectPropertySelector selector) const;
    bool loggedFlag(AudioObjectPropertySelector selector) const;
    bool isDefault(AudioObjectPropertySelector selector) const;
    void makeDefault(AudioObjectPropertySelector selector, bool value) const;
    std::optional<std::vector<std::shared_ptr<AudioDevice>>> ownedDevicesWithLayout(
        Scope scope) const;

    std::optional<std::string> cachedDeviceName_;  // written before pooling only
};
