#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class Device : public AudioModelTest {};

TEST_F(Device, LookupByUID) {
    auto mac = SimHardware::installDefaultMac();
    auto usb = AudioDevice::lookup(std::string("USB-MIC-0001"));
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->objectID, mac.usbMicrophone);
    EXPECT_EQ(usb.get(), AudioDevice::lookup(mac.usbMicrophone).get());
    EXPECT_EQ(AudioDevice::lookup(std::string("nope")), nullptr);
    SimHardware::failNextGet(kAudioObjectSystemObject,
                             propertyAddress(kAudioHardwarePropertyDeviceForUID),
                             kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioDevice::lookup(std::string("USB-MIC-0001")), nullptr);
}

TEST_F(Device, OnlyDeviceClassesBecomeDevices) {
    struct Case {
        AudioClassID classID;
        bool device;
    };
    for (const auto& c : std::vector<Case>{{kAudioDeviceClassID, true},
                                           {kAudioSubDeviceClassID, true},
                                           {kAudioAggregateDeviceClassID, true},
                                           {kAudioEndPointClassID, true},
                                           {kAudioEndPointDeviceClassID, true},
                                           {kAudioStreamClassID, false},
                                           {kAudioMuteControlClassID, false}}) {
        auto config = AudioDeviceConfig::usbMicrophone("uid-" + FourCCString(c.classID));
        config.classID = c.classID;
        AudioObjectID id = SimHardware::addDevice(config);
        auto device = AudioDevice::lookup(id);
        EXPECT_EQ(device != nullptr, c.device) << FourCCString(c.classID);
        EXPECT_EQ(SimHardware::listenerCount(id), c.device ? 1u : 0u);
    }
    AudioObjectID noClass = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone("no-class"));
    SimHardware::removeProperty(noClass, propertyAddress(kAudioObjectPropertyClass));
    EXPECT_EQ(AudioDevice::lookup(noClass), nullptr);
    EXPECT_EQ(AudioObjectPool::shared().find(noClass), nullptr);
}

TEST_F(Device, NameFallsBackToTheCachedNameThenAPlaceholder) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(device->name(), "Built-in Microphone");
    EXPECT_EQ(device->description(), "Built-in Microphone (" + std::to_string(id) + ")");
    SimHardware::changeValue(id, propertyAddress(kAudioObjectPropertyName),
                             sim::AudioPropertyValue::string("Renamed"));
    EXPECT_EQ(device->name(), "Renamed");
    SimHardware::removeProperty(id, propertyAddress(kAudioObjectPropertyName));
    EXPECT_EQ(device->name(), "Built-in Microphone");
    EXPECT_EQ(device->cachedDeviceName(), "Built-in Microphone");

    AudioObjectID nameless = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    SimHardware::removeProperty(nameless, propertyAddress(kAudioObjectPropertyName));
    auto unnamed = AudioDevice::lookup(nameless);
    EXPECT_EQ(unnamed->name(), "<Unknown Device Name>");
    EXPECT_EQ(unnamed->description(), "<Unknown Device Name> (" + std::to_string(nameless) + ")");
}

TEST_F(Device, EveryListedPropertyBecomesItsNotification) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    using N = AudioNotificationName;
    struct Case {
        AudioObjectPropertySelector selector;
        const std::string& name;
    };
    std::vector<Case> cases{
        {kAudioDevicePropertyNominalSampleRate, N::deviceNominalSampleRateDidChange()},
        {kAudioDevicePropertyAvailableNominalSampleRates,
         N::deviceAvailableNominalSampleRatesDidChange()},
        {kAudioDevicePropertyClockSource, N::deviceClockSourceDidChange()},
        {kAudioObjectPropertyName, N::deviceNameDidChange()},
        {kAudioObjectPropertyOwnedObjects, N::deviceOwnedObjectsDidChange()},
        {kAudioDevicePropertyVolumeScalar, N::deviceVolumeDidChange()},
        {kAudioDevicePropertyMute, N::deviceMuteDidChange()},
        {kAudioDevicePropertyDeviceIsAlive, N::deviceIsAliveDidChange()},
        {kAudioDevicePropertyDeviceIsRunning, N::deviceIsRunningDidChange()},
        {kAudioDevicePropertyDeviceIsRunningSomewhere, N::deviceIsRunningSomewhereDidChange()},
        {kAudioDevicePropertyJackIsConnected, N::deviceIsJackConnectedDidChange()},
        {kAudioDevicePropertyPreferredChannelsForStereo,
         N::devicePreferredChannelsForStereoDidChange()},
        {kAudioDevicePropertyHogMode, N::deviceHogModeDidChange()},
        {kAudioDeviceProcessorOverload, N::deviceProcessorOverload()},
        {kAudioDevicePropertyIOStoppedAbnormally, N::deviceIOStoppedAbnormally()},
    };
    for (const auto& c : cases) {
        NotificationRecorder recorder(c.name, device);
        SimHardware::announce(id, {propertyAddress(c.selector)});
        SimHardware::flush();
        ASSERT_EQ(recorder.count(), 1u) << c.name;
        auto n = recorder.notifications()[0];
        EXPECT_EQ(n.object.get(), device.get());
        EXPECT_EQ(n.objectAs<AudioDevice>()->objectID, id);
        EXPECT_EQ(recorder.threads()[0], SimHardware::callbackQueueLabel());
        bool element = c.selector == kAudioDevicePropertyMute ||
                       c.selector == kAudioDevicePropertyVolumeScalar;
        EXPECT_EQ(n.userInfo.size(), element ? 2u : 0u) << c.name;
    }
    EXPECT_EQ(N::deviceListChanged(), "AudioSystem.deviceListChanged");
    EXPECT_EQ(N::streamPhysicalFormatDidChange(), "AudioSystem.streamPhysicalFormatDidChange");
}

TEST_F(Device, ElementChangesCarryChannelAndScope) {
    auto config = AudioDeviceConfig::builtInMicrophone();
    config.input.channels = 2;
    config.input.channelMutes = true;
    config.input.channelVolumes = true;
    AudioObjectID id = SimHardware::addDevice(config);
    auto device = AudioDevice::lookup(id);
    NotificationRecorder mutes(AudioNotificationName::deviceMuteDidChange(), device);
    NotificationRecorder volumes(AudioNotificationName::deviceVolumeDidChange(), device);
    SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 2, true);
    SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 0, true);
    device->setVolume(0.25f, 2, Scope::input);
    SimHardware::announce(id, {{kAudioDevicePropertyMute, 0, 0}});
    SimHardware::announce(id, {{kAudioDevicePropertyMute, kAudioObjectPropertyScopeWildcard, 1}});
    SimHardware::flush();
    std::vector<std::pair<UInt32, Scope>> seen;
    for (const auto& n : mutes.notifications()) {
        auto change = audioElementChange(n);
        ASSERT_TRUE(change);
        seen.emplace_back(change->channel, change->scope);
    }
    EXPECT_EQ(seen,
              (std::vector<std::pair<UInt32, Scope>>{
                  {2, Scope::input}, {0, Scope::input}, {0, Scope::master}, {1, Scope::wildcard}}));
    ASSERT_EQ(volumes.count(), 1u);
    EXPECT_EQ(volumes.notifications()[0].userInfo["channel"].asUInt(), 2u);
    EXPECT_EQ(volumes.notifications()[0].userInfo["scope"].asString(), "input");
}

TEST_F(Device, TheListenerLooksOnlyAtTheFirstAddress) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    NotificationRecorder any(std::nullopt);
    AudioObjectPropertyAddress addresses[] = {
        propertyAddress(kAudioDevicePropertyDataSource, Scope::input),
        propertyAddress(kAudioDevicePropertyMute, Scope::input)};
    EXPECT_EQ(AudioDevice::devicePropertyListener(id, 2, addresses, device->listenerClientData()),
              noErr);
    EXPECT_EQ(any.count(), 0u);
    EXPECT_EQ(AudioDevice::devicePropertyListener(9999, 1, &addresses[1], nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(any.count(), 0u);
    // A change the table does not list posts nothing through the hardware either.
    SimHardware::changeValue(id, propertyAddress(kAudioDevicePropertyDataSource, Scope::input),
                             sim::AudioPropertyValue::array(std::vector<UInt32>{7}));
    SimHardware::flush();
    EXPECT_EQ(any.count(), 0u);
}

TEST_F(Device, ReleasingRemovesTheListenerUnlessTheDeviceIsGone) {
    auto mac = SimHardware::installDefaultMac();
    auto usb = AudioDevice::lookup(mac.usbMicrophone);
    auto bluetooth = AudioDevice::lookup(mac.bluetoothHeadset);
    EXPECT_EQ(SimHardware::listenerCount(mac.usbMicrophone), 1u);
    usb.reset();
    EXPECT_EQ(SimHardware::listenerCount(mac.usbMicrophone), 0u);

    NotificationRecorder alive(AudioNotificationName::deviceIsAliveDidChange(), bluetooth);
    SimHardware::removeDevice(mac.bluetoothHeadset);
    SimHardware::flush();
    EXPECT_EQ(alive.count(), 1u);  // the goodbye still arrives
    EXPECT_FALSE(bluetooth->isAlive());
    EXPECT_EQ(bluetooth->name(), "Bluetooth Headset");  // from the cache
    alive.clear();                                      // the notification held the device too
    log_->clear();
    auto calls = SimHardware::callCount();
    bluetooth.reset();
    EXPECT_EQ(AudioObjectPool::shared().find(mac.bluetoothHeadset), nullptr);
    EXPECT_EQ(SimHardware::callCount(), calls + 1);  // only the has-alive test
    EXPECT_TRUE(log_->records().empty());
}

TEST_F(Device, ListenerFailuresAreLoggedAndLeaveTheDeviceUsable) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    SimHardware::failNext(sim::AudioCall::AddListener, id, kAudioObjectWildcardAddress,
                          kAudioHardwareUnspecifiedError);
    auto device = AudioDevice::lookup(id);
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->isRegisteredForNotifications());
    std::string description = "Built-in Microphone (" + std::to_string(id) + ")";
    EXPECT_EQ(defaultLines("Unable to add property listener for " + description + "."), 1u);
    EXPECT_TRUE(device->setMute(true, 0, Scope::input));

    device->registerForNotifications();
    EXPECT_TRUE(device->isRegisteredForNotifications());
    device->registerForNotifications();  // again: removed first, installed once
    EXPECT_EQ(SimHardware::listenerCount(id), 1u);
    SimHardware::failNext(sim::AudioCall::RemoveListener, id, kAudioObjectWildcardAddress,
                          kAudioHardwareUnspecifiedError);
    device.reset();
    EXPECT_EQ(defaultLines("Unable to remove property listener for " + description + "."), 1u);
}

TEST_F(Device, UnregisteringAnUnregisteredDeviceDoesNothing) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    device->unregisterForNotifications();
    EXPECT_FALSE(device->isRegisteredForNotifications());
    auto calls = SimHardware::callCount();
    device->unregisterForNotifications();
    EXPECT_EQ(SimHardware::callCount(), calls);
    device->registerForNotifications();
}

}  // namespace
