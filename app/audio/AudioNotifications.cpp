#include "app/audio/AudioNotifications.h"

#define AUDIO_NOTIFICATION(accessor)                              \
    const std::string& AudioNotificationName::accessor() {        \
        static const std::string name = "AudioSystem." #accessor; \
        return name;                                              \
    }

AUDIO_NOTIFICATION(deviceListChanged)
AUDIO_NOTIFICATION(defaultInputDeviceChanged)
AUDIO_NOTIFICATION(defaultOutputDeviceChanged)
AUDIO_NOTIFICATION(defaultSystemOutputDeviceChanged)
AUDIO_NOTIFICATION(deviceNominalSampleRateDidChange)
AUDIO_NOTIFICATION(deviceAvailableNominalSampleRatesDidChange)
AUDIO_NOTIFICATION(deviceClockSourceDidChange)
AUDIO_NOTIFICATION(deviceNameDidChange)
AUDIO_NOTIFICATION(deviceOwnedObjectsDidChange)
AUDIO_NOTIFICATION(deviceVolumeDidChange)
AUDIO_NOTIFICATION(deviceMuteDidChange)
AUDIO_NOTIFICATION(deviceIsAliveDidChange)
AUDIO_NOTIFICATION(deviceIsRunningDidChange)
AUDIO_NOTIFICATION(deviceIsRunningSomewhereDidChange)
AUDIO_NOTIFICATION(deviceIsJackConnectedDidChange)
AUDIO_NOTIFICATION(devicePreferredChannelsForStereoDidChange)
AUDIO_NOTIFICATION(deviceHogModeDidChange)
AUDIO_NOTIFICATION(deviceProcessorOverload)
AUDIO_NOTIFICATION(deviceIOStoppedAbnormally)
AUDIO_NOTIFICATION(streamIsActiveDidChange)
AUDIO_NOTIFICATION(streamPhysicalFormatDidChange)

#undef AUDIO_NOTIFICATION

std::optional<AudioElementChange> audioElementChange(const NSNotification& notification) {
    auto channel = notification.userInfo["channel"].asUInt();
    auto scopeText = notification.userInfo["scope"].asString();
    if (!channel || !scopeText || *channel > 0xFFFFFFFFu) return std::nullopt;
    auto scope = scopeFromName(*scopeText);
    if (!scope) return std::nullopt;
    return AudioElementChange{static_cast<UInt32>(*channel), *scope};
}
