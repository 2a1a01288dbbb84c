#pragma once
// The audio system as a whole: the device lists and default devices (read
// afresh from the hardware on every call), and the one listener on the
// system object that turns its changes into the notifications
// deviceListChanged, defaultInputDeviceChanged, defaultOutputDeviceChanged
// and defaultSystemOutputDeviceChanged, with this object as their object.
//
// The program uses it through AudioSystem, which shares one instance among
// all facades and starts and stops its monitoring.
//
// Lifetime: the hardware passes this object to its listener as client data,
// so while the listener is installed the object keeps itself alive; it can
// be destroyed only after a removal of the listener has succeeded (a failed
// removal leaves it alive, and still posting, for good).
//
// Threads: the listener runs on the hardware's thread and posts there;
// startDeviceMonitoring / stopDeviceMonitoring run on the caller's. The
// known-device list is guarded by a lock.

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/audio/AudioDevice.h"
#include "platform/foundation/Object.h"

class AudioHardware : public NSObject {
  public:
    static std::shared_ptr<AudioHardware> create();
    ~AudioHardware() override;

    std::string className() const override { return "AudioHardware"; }

    // ---- Device lists (no state; any thread) --------------------------------
    // Every device, in the system's order.
    static std::vector<std::shared_ptr<AudioDevice>> allDevices();
    static std::vector<std::shared_ptr<AudioDevice>> allInputDevices();
    static std::vector<std::shared_ptr<AudioDevice>> allOutputDevices();
    static std::vector<std::shared_ptr<AudioDevice>> allIODevices();
    static std::vector<std::shared_ptr<AudioDevice>> allNonAggregateDevices();
    static std::vector<std::shared_ptr<AudioDevice>> allAggregateDevices();
    // The device named by 'dIn ', 'dOut' or 'sOut' of the system object.
    static std::shared_ptr<AudioDevice> defaultDevice(AudioObjectPropertySelector selector);

    // ---- Monitoring ---------------------------------------------------------
    // Installs the listener, then appends the current devices to the known
    // ones.
    void startDeviceMonitoring();
    // Removes the listener, then forgets every known device.
    void stopDeviceMonitoring();
    void addSystemListener();
    void removeSystemListener();
    // Forgets every known device with this identifier.
    void removeKnownDevice(const AudioDevice& device);
    std::vector<std::shared_ptr<AudioDevice>> allKnownDevices() const;
    bool isRegisteredForNotifications() const;

    static OSStatus systemPropertyListener(AudioObjectID id, UInt32 count,
                                           const AudioObjectPropertyAddress* addresses,
                                           void* clientData);
    static void systemPropertiesChanged(const AudioObjectPropertyAddress* addresses,
                                        AudioHardware& hardware);

  protected:
    AudioHardware() = default;

  private:
    void deviceListChanged();
    // Removes the listener (listenerMutex_ held); answers the
    // self-reference to release once nothing of this object is used.
    std::shared_ptr<AudioHardware> removeSystemListenerLocked();

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<AudioDevice>> allKnownDevices_;
    bool isRegisteredForNotifications_ = false;
    // Held while the listener is installed (see Lifetime above).
    std::shared_ptr<AudioHardware> selfWhileListening_;
    std::mutex listenerMutex_;  // serialises adding and removing the listener
};
