#include <unistd.h>

#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class DeviceState : public AudioModelTest {};

TEST_F(DeviceState, HogModeTakeAndRelease) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::bluetoothHeadset());
    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(device->hogModePID(), -1);
    EXPECT_FALSE(device->unsetHogMode());  // nobody holds it
    EXPECT_TRUE(device->setHogMode());
    EXPECT_EQ(device->hogModePID(), getpid());
    EXPECT_FALSE(device->setHogMode());  // already ours: writing would give it back
    EXPECT_TRUE(device->unsetHogMode());
    EXPECT_EQ(device->hogModePID(), -1);
    auto writes = SimHardware::writes();
    ASSERT_EQ(writes.size(), 2u);
    for (const auto& write : writes) {
        EXPECT_EQ(write.data.size(), 8u);
        EXPECT_EQ(write.as<SInt64>(), 0);
        EXPECT_EQ(write.address,
                  (AudioObjectPropertyAddress{kAudioDevicePropertyHogMode,
                                              kAudioObjectPropertyScopeWildcard, 0}));
    }

    SimHardware::setHogModeOwner(id, 4242);
    EXPECT_FALSE(device->unsetHogMode());  // another process's
    EXPECT_EQ(SimHardware::writes().size(), 2u);
    EXPECT_FALSE(device->setHogMode());  // tried, refused, logged
    EXPECT_EQ(SimHardware::writes().size(), 3u);
    EXPECT_EQ(log_->records().size(), 1u);
}

TEST_F(DeviceState, HogModeWithoutTheProperty) {
    auto config = AudioDeviceConfig::usbMicrophone();
    config.hogMode = false;
    auto device = AudioDevice::lookup(SimHardware::addDevice(config));
    EXPECT_EQ(device->hogModePID(), std::nullopt);
    EXPECT_FALSE(device->setHogMode());
    EXPECT_FALSE(device->unsetHogMode());
    EXPECT_TRUE(SimHardware::writes().empty());
}

TEST_F(DeviceState, HogModeChangesAreNotified) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::bluetoothHeadset());
    auto device = AudioDevice::lookup(id);
    NotificationRecorder hog(AudioNotificationName::deviceHogModeDidChange(), device);
    device->setHogMode();
    SimHardware::setHogModeOwner(id, -1);
    SimHardware::flush();
    EXPECT_EQ(hog.count(), 2u);
}

TEST_F(DeviceState, IdentityAndTransport) {
    auto mac = SimHardware::installDefaultMac();
    auto mic = AudioDevice::lookup(mac.builtInMicrophone);
    EXPECT_EQ(mic->uid(), "BuiltInMicrophoneDevice");
    EXPECT_EQ(mic->modelUID(), "Digital Mic");
    EXPECT_EQ(mic->manufacturer(), "Vantorel Audio");
    EXPECT_EQ(mic->configurationApplication(), std::nullopt);
    EXPECT_EQ(mic->transportType(), TransportType::builtIn);
    EXPECT_EQ(AudioDevice::lookup(mac.bluetoothHeadset)->transportType(), TransportType::bluetooth);
    EXPECT_TRUE(mic->isAlive());
    EXPECT_FALSE(mic->isHidden());
    EXPECT_FALSE(mic->isRunning());
    EXPECT_FALSE(mic->isRunningSomewhere());
    EXPECT_EQ(mic->isJackConnected(Scope::input), std::nullopt);

    auto tran = propertyAddress(kAudioDevicePropertyTransportType);
    SimHardware::changeValue(mac.builtInMicrophone, tran,
                             sim::AudioPropertyValue::u32(FourCC("blea")));
    EXPECT_EQ(mic->transportType(), TransportType::bluetoothLE);
    SimHardware::changeValue(mac.builtInMicrophone, tran,
                             sim::AudioPropertyValue::u32(FourCC("abcd")));
    EXPECT_EQ(mic->transportType(), TransportType::unknown);
    SimHardware::failNextGet(mac.builtInMicrophone, tran, kAudioHardwareNotRunningError);
    EXPECT_EQ(mic->transportType(), std::nullopt);
    SimHardware::removeProperty(mac.builtInMicrophone, tran);
    EXPECT_EQ(mic->transportType(), std::nullopt);

    SimHardware::removeProperty(mac.builtInMicrophone,
                                propertyAddress(kAudioDevicePropertyDeviceIsAlive));
    EXPECT_FALSE(mic->isAlive());  // false, not absent
    SimHardware::changeValue(mac.builtInMicrophone,
                             propertyAddress(kAudioDevicePropertyDeviceIsRunningSomewhere),
                             sim::AudioPropertyValue::u32(1));
    EXPECT_TRUE(mic->isRunningSomewhere());
}

TEST_F(DeviceState, RelatedDevicesSkipNonDevices) {
    auto mac = SimHardware::installDefaultMac();
    AudioObjectID stream =
        SimHardware::streams(mac.usbMicrophone, kAudioObjectPropertyScopeInput)[0];
    SimHardware::changeValue(mac.usbMicrophone, propertyAddress(kAudioDevicePropertyRelatedDevices),
                             sim::AudioPropertyValue::array(std::vector<AudioObjectID>{
                                 mac.usbMicrophone, stream, mac.builtInMicrophone}));
    auto usb = AudioDevice::lookup(mac.usbMicrophone);
    auto related = usb->relatedDevices();
    ASSERT_TRUE(related);
    ASSERT_EQ(related->size(), 2u);
    EXPECT_EQ((*related)[0].get(), usb.get());
    EXPECT_EQ((*related)[1]->objectID, mac.builtInMicrophone);
    EXPECT_TRUE(usb->controlList().has_value());
    EXPECT_FALSE(usb->controlList()->empty());
    EXPECT_EQ(usb->ownedObjectIDs()->size(), 1u + usb->controlList()->size());
}

TEST_F(DeviceState, DefaultDevices) {
    auto mac = SimHardware::installDefaultMac();
    auto mic = AudioDevice::lookup(mac.builtInMicrophone);
    auto usb = AudioDevice::lookup(mac.usbMicrophone);
    auto speakers = AudioDevice::lookup(mac.builtInSpeakers);
    EXPECT_TRUE(mic->isDefaultInputDevice());
    EXPECT_FALSE(usb->isDefaultInputDevice());
    EXPECT_TRUE(speakers->isDefaultOutputDevice());
    EXPECT_TRUE(speakers->isDefaultSystemOutputDevice());

    usb->setIsDefaultInputDevice(true);
    EXPECT_TRUE(usb->isDefaultInputDevice());
    auto writes = SimHardware::writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].object, kAudioObjectSystemObject);
    EXPECT_EQ(writes[0].address.mSelector, kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_EQ(writes[0].as<AudioObjectID>(), mac.usbMicrophone);
    usb->setIsDefaultInputDevice(false);  // nothing to write
    EXPECT_EQ(SimHardware::writes().size(), 1u);

    // A device that is gone cannot become the default: refused, silently.
    speakers->setIsDefaultOutputDevice(true);
    AudioObjectID gone = mac.builtInSpeakers;
    SimHardware::removeDevice(gone);
    speakers->setIsDefaultSystemOutputDevice(true);
    EXPECT_EQ(SimHardware::writes().back().status, kAudioHardwareIllegalOperationError);
    EXPECT_TRUE(log_->records().empty());

    SimHardware::setDefaultInputDevice(kAudioObjectUnknown);
    EXPECT_FALSE(usb->isDefaultInputDevice());
}

TEST_F(DeviceState, ClockAndDataSources) {
    auto config = AudioDeviceConfig::builtInMicrophone();
    config.clockSources = {{1, "Internal"}, {2, "External"}};
    config.input.dataSources = {{10, "Front"}, {11, "Back"}};
    AudioObjectID id = SimHardware::addDevice(config);
    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(device->clockSourceID(), 1u);
    EXPECT_EQ(device->clockSourceName(), "Internal");
    EXPECT_EQ(device->clockSourceIDs(), (std::vector<UInt32>{1, 2}));
    SimHardware::setSourceName(id, kAudioDevicePropertyClockSourceNameForIDCFString,
                               kAudioObjectPropertyScopeGlobal, 2, std::nullopt);
    EXPECT_EQ(device->clockSourceNames(), (std::vector<std::string>{"Internal", "Clock source 2"}));
    EXPECT_TRUE(device->setClockSourceID(2));
    EXPECT_EQ(device->clockSourceID(), 2u);
    EXPECT_EQ(device->clockSourceName(), std::nullopt);

    EXPECT_EQ(device->dataSourceIDs(Scope::input), (std::vector<UInt32>{10, 11}));
    EXPECT_EQ(device->dataSource(Scope::input), std::vector<UInt32>{10});
    EXPECT_EQ(device->dataSourceName(11, Scope::input), "Back");
    EXPECT_EQ(device->dataSourceName(12, Scope::input), std::nullopt);
    EXPECT_EQ(device->dataSource(Scope::output), std::nullopt);  // absent, not empty
    EXPECT_EQ(device->dataSourceIDs(Scope::output), std::nullopt);

    auto plain = AudioDevice::lookup(SimHardware::addDevice(AudioDeviceConfig::usbMicrophone()));
    EXPECT_EQ(plain->clockSourceID(), std::nullopt);
    EXPECT_EQ(plain->clockSourceNames(), std::nullopt);
    EXPECT_FALSE(plain->setClockSourceID(1));
}

TEST_F(DeviceState, SubDevicesOfAnAggregate) {
    auto mac = SimHardware::installDefaultMac();
    AudioObjectID aggregateID = SimHardware::addAggregateDevice(
        "Agg", "agg-uid", {"BuiltInMicrophoneDevice", "BuiltInSpeakerDevice"});
    auto aggregate = AudioDevice::lookup(aggregateID);
    ASSERT_TRUE(aggregate);
    EXPECT_TRUE(aggregate->isAggregateDevice());
    EXPECT_EQ(aggregate->transportType(), TransportType::aggregate);
    auto owned = aggregate->ownedDevices();
    ASSERT_TRUE(owned);
    ASSERT_EQ(owned->size(), 2u);
    EXPECT_EQ((*owned)[0]->objectID, mac.builtInMicrophone);
    auto inputs = aggregate->ownedInputDevices();
    auto outputs = aggregate->ownedOutputDevices();
    ASSERT_TRUE(inputs && outputs);
    ASSERT_EQ(inputs->size(), 1u);
    EXPECT_EQ((*inputs)[0]->objectID, mac.builtInMicrophone);
    ASSERT_EQ(outputs->size(), 1u);
    EXPECT_EQ((*outputs)[0]->objectID, mac.builtInSpeakers);

    auto usb = AudioDevice::lookup(mac.usbMicrophone);
    EXPECT_FALSE(usb->isAggregateDevice());  // owns streams and controls only
    EXPECT_TRUE(usb->ownedDevices()->empty());
    EXPECT_TRUE(usb->ownedInputDevices()->empty());
    SimHardware::failNext(sim::AudioCall::GetSize, mac.usbMicrophone,
                          propertyAddress(kAudioObjectPropertyOwnedObjects),
                          kAudioHardwareNotRunningError, 2);
    EXPECT_EQ(usb->ownedInputDevices(), std::nullopt);
    EXPECT_FALSE(usb->isAggregateDevice());
}

}  // namespace
