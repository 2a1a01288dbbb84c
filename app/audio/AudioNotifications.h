#pragma once
// The notifications of the audio device model, posted on
// NSNotificationCenter::defaultCenter() synchronously on the thread of the
// hardware callback that caused them (the simulated hardware's own thread):
// observers that need the main thread register with the main queue.
//
// The object of a notification (NSNotification::object) is the object whose
// property changed: the AudioHardware for the first four names, the
// AudioDevice for the device names, the AudioStream for the stream names.
// Use objectAs<AudioDevice>() and so on; to observe one device, pass the
// device's shared_ptr as the sender.
//
// User information:
//  * deviceVolumeDidChange, deviceMuteDidChange: "channel" (the element, an
//    unsigned number, 0 for the main element) and "scope" (the scope's name
//    as scopeName() gives it). audioElementChange() reads both.
//  * deviceListChanged: "addedDevices" and "removedDevices", each an array
//    of the devices' identifiers (unsigned numbers); audioDeviceListChange()
//    gives the AudioDevice objects themselves, which the notification keeps
//    alive for as long as it exists (removed devices included).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/AudioEnums.h"
#include "platform/notifications/NSNotificationCenter.h"

class AudioDevice;

struct AudioNotificationName {
    // Posted by the hardware listener.
    static const std::string& deviceListChanged();
    static const std::string& defaultInputDeviceChanged();
    static const std::string& defaultOutputDeviceChanged();
    static const std::string& defaultSystemOutputDeviceChanged();
    // Posted by a device's listener.
    static const std::string& deviceNominalSampleRateDidChange();
    static const std::string& deviceAvailableNominalSampleRatesDidChange();
    static const std::string& deviceClockSourceDidChange();
    static const std::string& deviceNameDidChange();
    static const std::string& deviceOwnedObjectsDidChange();
    static const std::string& deviceVolumeDidChange();
    static const std::string& deviceMuteDidChange();
    static const std::string& deviceIsAliveDidChange();
    static const std::string& deviceIsRunningDidChange();
    static const std::string& deviceIsRunningSomewhereDidChange();
    static const std::string& deviceIsJackConnectedDidChange();
    static const std::string& devicePreferredChannelsForStereoDidChange();
    static const std::string& deviceHogModeDidChange();
    static const std::string& deviceProcessorOverload();
    static const std::string& deviceIOStoppedAbnormally();
    // Posted by a stream's listener.
    static const std::string& streamIsActiveDidChange();
    static const std::string& streamPhysicalFormatDidChange();
};

// The element and scope of a volume or mute change.
struct AudioElementChange {
    UInt32 channel = 0;
    Scope scope = Scope::global;
};
std::optional<AudioElementChange> audioElementChange(const NSNotification& notification);

// The devices of a device-list change; absent when the notification does
// not carry both lists.
struct AudioDeviceListChange {
    std::vector<std::shared_ptr<AudioDevice>> addedDevices;
    std::vector<std::shared_ptr<AudioDevice>> removedDevices;
};
std::optional<AudioDeviceListChange> audioDeviceListChange(const NSNotification& notification);
