// Data sources and clock sources of a device.

#include "app/audio/AudioDevice.h"

namespace {

std::optional<std::vector<UInt32>> readSourceIDs(const AudioDevice& device,
                                                 AudioObjectPropertySelector selector,
                                                 Scope scope) {
    auto address = propertyAddress(selector, scope);
    if (!device.hasProperty(address)) return std::nullopt;
    std::vector<UInt32> ids;
    if (device.getPropertyDataArray<UInt32>(address, std::nullopt, ids, 0) != noErr)
        return std::nullopt;
    return ids;
}

// The identifier-to-name translation; no existence test first.
std::optional<std::string> translateName(const AudioDevice& device,
                                         AudioObjectPropertySelector selector, UInt32 sourceID,
                                         Scope scope) {
    CFStringHolder name(std::string_view{});
    AudioValueTranslation translation{&sourceID, sizeof(sourceID), name.out(), sizeof(CFStringRef)};
    if (device.getPropertyData(propertyAddress(selector, scope), translation) != noErr)
        return std::nullopt;
    return name.str();
}

}  // namespace

std::optional<UInt32> AudioDevice::clockSourceID() const {
    auto address = propertyAddress(kAudioDevicePropertyClockSource);
    if (!hasProperty(address)) return std::nullopt;
    return getProperty<UInt32>(address);
}

bool AudioDevice::setClockSourceID(UInt32 clockSourceID) const {
    auto address = propertyAddress(kAudioDevicePropertyClockSource);
    if (!hasProperty(address)) return false;
    return setProperty(address, clockSourceID);
}

std::optional<std::vector<UInt32>> AudioDevice::clockSourceIDs() const {
    return readSourceIDs(*this, kAudioDevicePropertyClockSources, Scope::global);
}

std::optional<std::string> AudioDevice::clockSourceName() const {
    auto id = clockSourceID();
    if (!id) return std::nullopt;
    return clockSourceName(*id);
}

std::optional<std::string> AudioDevice::clockSourceName(UInt32 clockSourceID) const {
    return translateName(*this, kAudioDevicePropertyClockSourceNameForIDCFString, clockSourceID,
                         Scope::global);
}

std::optional<std::vector<std::string>> AudioDevice::clockSourceNames() const {
    auto ids = clockSourceIDs();
    if (!ids) return std::nullopt;
    std::vector<std::string> names;
    for (UInt32 id : *ids)
        names.push_back(clockSourceName(id).value_or("Clock source " + std::to_string(id)));
    return names;
}

std::optional<std::vector<UInt32>> AudioDevice::dataSource(Scope scope) const {
    return readSourceIDs(*this, kAudioDevicePropertyDataSource, scope);
}

std::optional<std::vector<UInt32>> AudioDevice::dataSourceIDs(Scope scope) const {
    return readSourceIDs(*this, kAudioDevicePropertyDataSources, scope);
}

std::optional<std::string> AudioDevice::dataSourceName(UInt32 dataSourceID, Scope scope) const {
    return translateName(*this, kAudioDevicePropertyDataSourceNameForIDCFString, dataSourceID,
                         scope);
}
