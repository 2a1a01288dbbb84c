#pragma once
// The facade through which the program uses the audio device model: device
// lists, default devices and aggregate devices.
//
// All facades of the process share one AudioHardware: the first facade
// created starts its monitoring (so the device-list and default-device
// notifications flow), the last one destroyed stops it. The program keeps
// one facade for its whole life: sharedAudioSystem().
//
// Typical use by the mute engine:
//
//     auto audio = sharedAudioSystem();
//     for (auto& device : audio->allInputDevices())
//         if (device->canMute(0, Scope::input)) device->setMute(true, 0, Scope::input);
//     center->addObserverForName(AudioNotificationName::deviceMuteDidChange(), device,
//                                DispatchQueue::main(), ...);
//
// Lists and default devices are read afresh on every call, on the caller's
// thread. Creating and destroying facades is serialised.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/AudioDevice.h"
#include "app/audio/AudioHardware.h"

class AudioSystem : public NSObject {
  public:
    AudioSystem();
    ~AudioSystem() override;

    std::string className() const override { return "AudioSystem"; }

    const std::shared_ptr<AudioHardware>& hardware() const { return hardware_; }

    std::vector<std::shared_ptr<AudioDevice>> allDevices() const;
    std::vector<std::shared_ptr<AudioDevice>> allInputDevices() const;
    std::vector<std::shared_ptr<AudioDevice>> allOutputDevices() const;
    std::vector<std::shared_ptr<AudioDevice>> allIODevices() const;
    std::vector<std::shared_ptr<AudioDevice>> allNonAggregateDevices() const;
    std::vector<std::shared_ptr<AudioDevice>> allAggregateDevices() const;
    std::shared_ptr<AudioDevice> defaultInputDevice() const;
    std::shared_ptr<AudioDevice> defaultOutputDevice() const;
    std::shared_ptr<AudioDevice> defaultSystemOutputDevice() const;
    // The identifiers of 'dev#'; empty when it cannot be read.
    std::vector<AudioObjectID> allDeviceIDs() const;

    // An aggregate device named `name` with UID `uid` over the main device
    // and, when it has a different UID, the second one. Null (logged) when
    // the hardware refuses or the main device has no UID.
    std::shared_ptr<AudioDevice> createAggregateDevice(const AudioDevice& mainDevice,
                                                       const AudioDevice* secondDevice,
                                                       const std::string& name,
                                                       const std::string& uid) const;
    // The hardware's status, unchanged.
    OSStatus removeAggregateDevice(AudioObjectID id) const;

    // For tests: live facades and the shared hardware (null when none).
    static long instanceCount();
    static std::shared_ptr<AudioHardware> sharedHardware();

  private:
    std::shared_ptr<AudioHardware> hardware_;
};

// The program's facade, created on first use and kept for the process's life.
std::shared_ptr<AudioSystem> sharedAudioSystem();
