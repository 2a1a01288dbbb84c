#include "app/audio/AudioHardware.h"
#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class Hardware : public AudioModelTest {
  protected:
    void TearDown() override {
        if (hardware_) hardware_->stopDeviceMonitoring();
        hardware_.reset();
        AudioModelTest::TearDown();
    }
    std::shared_ptr<AudioHardware> monitoring() {
        hardware_ = AudioHardware::create();
        hardware_->startDeviceMonitoring();
        return hardware_;
    }
    std::shared_ptr<AudioHardware> hardware_;
};

std::vector<AudioObjectID> ids(const std::vector<std::shared_ptr<AudioDevice>>& devices) {
    std::vector<AudioObjectID> out;
    for (const auto& d : devices) out.push_back(d->objectID);
    return out;
}

TEST_F(Hardware, DeviceLists) {
    auto mac = SimHardware::installDefaultMac();
    AudioObjectID aggregate =
        SimHardware::addAggregateDevice("Agg", "agg", {"USB-MIC-0001", "BuiltInSpeakerDevice"});
    using V = std::vector<AudioObjectID>;
    EXPECT_EQ(ids(AudioHardware::allDevices()),
              (V{mac.builtInMicrophone, mac.builtInSpeakers, mac.usbMicrophone,
                 mac.bluetoothHeadset, aggregate}));
    EXPECT_EQ(ids(AudioHardware::allInputDevices()),
              (V{mac.builtInMicrophone, mac.usbMicrophone, mac.bluetoothHeadset, aggregate}));
    EXPECT_EQ(ids(AudioHardware::allOutputDevices()),
              (V{mac.builtInSpeakers, mac.bluetoothHeadset, aggregate}));
    EXPECT_EQ(ids(AudioHardware::allIODevices()), (V{mac.bluetoothHeadset, aggregate}));
    EXPECT_EQ(
        ids(AudioHardware::allNonAggregateDevices()),
        (V{mac.builtInMicrophone, mac.builtInSpeakers, mac.usbMicrophone, mac.bluetoothHeadset}));
    EXPECT_EQ(ids(AudioHardware::allAggregateDevices()), V{aggregate});
    EXPECT_EQ(AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultInputDevice)->objectID,
              mac.builtInMicrophone);
    EXPECT_EQ(
        AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice)->objectID,
        mac.builtInSpeakers);
}

TEST_F(Hardware, ListsAreEmptyWhenTheSystemHasNoneOrCannotSay) {
    EXPECT_TRUE(AudioHardware::allDevices().empty());
    EXPECT_EQ(AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultInputDevice), nullptr);
    SimHardware::installDefaultMac();
    SimHardware::failNextGet(kAudioObjectSystemObject,
                             propertyAddress(kAudioHardwarePropertyDevices),
                             kAudioHardwareNotRunningError);
    EXPECT_TRUE(AudioHardware::allDevices().empty());
    SimHardware::failNextGet(kAudioObjectSystemObject,
                             propertyAddress(kAudioHardwarePropertyDefaultInputDevice),
                             kAudioHardwareNotRunningError);
    EXPECT_EQ(AudioHardware::defaultDevice(kAudioHardwarePropertyDefaultInputDevice), nullptr);
    EXPECT_TRUE(log_->records().empty());
}

TEST_F(Hardware, IdentifiersThatAreNoDevicesAreLeftOut) {
    auto mac = SimHardware::installDefaultMac();
    auto config = AudioDeviceConfig::usbMicrophone("not-a-device");
    config.classID = kAudioStreamClassID;
    SimHardware::addDevice(config);
    EXPECT_EQ(AudioHardware::allDevices().size(), 4u);
    // An entry that disappears between the size query and the read.
    SimHardware::shrinkNextArrayRead(kAudioObjectSystemObject,
                                     propertyAddress(kAudioHardwarePropertyDevices), 2);
    EXPECT_EQ(ids(AudioHardware::allDevices()),
              (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.builtInSpeakers,
                                          mac.usbMicrophone}));
}

TEST_F(Hardware, ListsReuseLiveObjects) {
    SimHardware::installDefaultMac();
    auto first = AudioHardware::allDevices();
    auto second = AudioHardware::allDevices();
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i].get(), second[i].get());
}

TEST_F(Hardware, DefaultDeviceNotificationsUseTheFirstAddressOnly) {
    auto mac = SimHardware::installDefaultMac();
    auto hardware = monitoring();
    NotificationRecorder input(AudioNotificationName::defaultInputDeviceChanged(), hardware);
    NotificationRecorder output(AudioNotificationName::defaultOutputDeviceChanged(), hardware);
    NotificationRecorder system(AudioNotificationName::defaultSystemOutputDeviceChanged(),
                                hardware);
    NotificationRecorder list(AudioNotificationName::deviceListChanged(), hardware);
    SimHardware::setDefaultInputDevice(mac.usbMicrophone);
    SimHardware::setDefaultOutputDevice(mac.bluetoothHeadset);
    SimHardware::setDefaultSystemOutputDevice(mac.bluetoothHeadset);
    SimHardware::announce(kAudioObjectSystemObject,
                          {propertyAddress(kAudioHardwarePropertyDefaultOutputDevice),
                           propertyAddress(kAudioHardwarePropertyDefaultInputDevice)});
    SimHardware::announce(kAudioObjectSystemObject,
                          {propertyAddress(kAudioHardwarePropertyDevices),
                           propertyAddress(kAudioObjectPropertyOwnedObjects)});
    SimHardware::announce(kAudioObjectSystemObject, {propertyAddress(kAudioObjectPropertyName)});
    SimHardware::flush();
    EXPECT_EQ(input.count(), 1u);
    EXPECT_EQ(output.count(), 2u);
    EXPECT_EQ(system.count(), 1u);
    EXPECT_EQ(list.count(), 0u);
    auto n = input.notifications()[0];
    EXPECT_EQ(n.objectAs<AudioHardware>().get(), hardware.get());
    EXPECT_TRUE(n.userInfo.empty());
    EXPECT_EQ(input.threads()[0], SimHardware::callbackQueueLabel());
}

TEST_F(Hardware, DeviceListChanges) {
    auto mac = SimHardware::installDefaultMac();
    auto hardware = monitoring();
    EXPECT_EQ(hardware->allKnownDevices().size(), 4u);
    NotificationRecorder list(AudioNotificationName::deviceListChanged(), hardware);

    // Two devices appear in one change; the next change finds nothing new.
    auto added = SimHardware::addDevices(
        {AudioDeviceConfig::usbMicrophone("A"), AudioDeviceConfig::usbMicrophone("B")});
    AudioObjectID a = added[0], b = added[1];
    SimHardware::announce(kAudioObjectSystemObject,
                          {propertyAddress(kAudioObjectPropertyOwnedObjects)});
    SimHardware::flush();
    auto notes = list.notifications();
    ASSERT_EQ(notes.size(), 2u);
    auto first = audioDeviceListChange(notes[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(ids(first->addedDevices), (std::vector<AudioObjectID>{a, b}));
    EXPECT_TRUE(first->removedDevices.empty());
    EXPECT_EQ(*notes[0].userInfo["addedDevices"].asArray(), (Array{Value(a), Value(b)}));
    auto second = audioDeviceListChange(notes[1]);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->addedDevices.empty());
    EXPECT_TRUE(second->removedDevices.empty());
    EXPECT_EQ(notes[0].objectAs<AudioHardware>().get(), hardware.get());

    // A known device disappears; the others keep their order.
    list.clear();
    SimHardware::removeDevice(mac.builtInSpeakers);
    SimHardware::flush();
    ASSERT_EQ(list.count(), 1u);
    auto removal = audioDeviceListChange(list.notifications()[0]);
    ASSERT_TRUE(removal);
    ASSERT_EQ(removal->removedDevices.size(), 1u);
    EXPECT_EQ(removal->removedDevices[0]->objectID, mac.builtInSpeakers);
    EXPECT_EQ(removal->removedDevices[0]->name(), "Built-in Speakers");  // still alive
    EXPECT_EQ(ids(hardware->allKnownDevices()),
              (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.usbMicrophone,
                                          mac.bluetoothHeadset, a, b}));
}

TEST_F(Hardware, ANotificationKeepsItsRemovedDevicesAlive) {
    auto mac = SimHardware::installDefaultMac();
    auto hardware = monitoring();
    NotificationRecorder list(AudioNotificationName::deviceListChanged(), hardware);
    SimHardware::removeDevice(mac.usbMicrophone);
    SimHardware::flush();
    ASSERT_EQ(list.count(), 1u);
    std::weak_ptr<AudioDevice> removed;
    {
        auto change = audioDeviceListChange(list.notifications()[0]);
        removed = change->removedDevices.at(0);
    }
    EXPECT_FALSE(removed.expired());
    list.clear();
    EXPECT_TRUE(removed.expired());
    EXPECT_EQ(audioDeviceListChange(NSNotification{"x", nullptr, {}}), std::nullopt);
}

TEST_F(Hardware, AFailedDeviceListReadReportsEverythingRemovedThenAdded) {
    SimHardware::installDefaultMac();
    auto hardware = monitoring();
    NotificationRecorder list(AudioNotificationName::deviceListChanged(), hardware);
    SimHardware::failNext(sim::AudioCall::GetSize, kAudioObjectSystemObject,
                          propertyAddress(kAudioHardwarePropertyDevices),
                          kAudioHardwareNotRunningError);
    SimHardware::announce(kAudioObjectSystemObject,
                          {propertyAddress(kAudioObjectPropertyOwnedObjects)});
    SimHardware::announce(kAudioObjectSystemObject,
                          {propertyAddress(kAudioObjectPropertyOwnedObjects)});
    SimHardware::flush();
    auto notes = list.notifications();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(audioDeviceListChange(notes[0])->removedDevices.size(), 4u);
    EXPECT_EQ(audioDeviceListChange(notes[1])->addedDevices.size(), 4u);
    EXPECT_EQ(hardware->allKnownDevices().size(), 4u);
}

TEST_F(Hardware, ListenerRegistration) {
    SimHardware::installDefaultMac();
    auto hardware = AudioHardware::create();
    hardware->removeSystemListener();  // idle: nothing, no log
    EXPECT_TRUE(log_->records().empty());
    hardware->addSystemListener();
    hardware->addSystemListener();  // removed first, installed once
    EXPECT_TRUE(hardware->isRegisteredForNotifications());
    EXPECT_EQ(SimHardware::listenerCount(kAudioObjectSystemObject), 1u);
    hardware->removeSystemListener();
    EXPECT_FALSE(hardware->isRegisteredForNotifications());
    EXPECT_EQ(SimHardware::listenerCount(kAudioObjectSystemObject), 0u);

    hardware->startDeviceMonitoring();
    hardware->startDeviceMonitoring();  // appends the devices again
    EXPECT_EQ(hardware->allKnownDevices().size(), 8u);
    hardware->removeKnownDevice(*hardware->allKnownDevices()[0]);
    EXPECT_EQ(hardware->allKnownDevices().size(), 6u);
    hardware->stopDeviceMonitoring();
    EXPECT_TRUE(hardware->allKnownDevices().empty());
    EXPECT_FALSE(hardware->isRegisteredForNotifications());
}

TEST_F(Hardware, ListenerFailuresAreLogged) {
    auto hardware = AudioHardware::create();
    SimHardware::failNext(sim::AudioCall::AddListener, kAudioObjectSystemObject,
                          kAudioObjectWildcardAddress, kAudioHardwareUnspecifiedError);
    hardware->addSystemListener();
    EXPECT_FALSE(hardware->isRegisteredForNotifications());
    EXPECT_EQ(defaultLines("Unable to add property listener for systemObjectID: 1."), 1u);
    hardware->addSystemListener();
    SimHardware::failNext(sim::AudioCall::RemoveListener, kAudioObjectSystemObject,
                          kAudioObjectWildcardAddress, kAudioHardwareUnspecifiedError);
    hardware->removeSystemListener();
    EXPECT_EQ(defaultLines("Unable to remove property listener for systemObjectID: 1."), 1u);
    EXPECT_TRUE(hardware->isRegisteredForNotifications());
    hardware->removeSystemListener();
    EXPECT_FALSE(hardware->isRegisteredForNotifications());
}

TEST_F(Hardware, TheListenedObjectLivesUntilItsListenerIsRemoved) {
    SimHardware::installDefaultMac();
    auto hardware = AudioHardware::create();
    std::weak_ptr<AudioHardware> weak = hardware;
    hardware->startDeviceMonitoring();
    SimHardware::failNext(sim::AudioCall::RemoveListener, kAudioObjectSystemObject,
                          kAudioObjectWildcardAddress, kAudioHardwareUnspecifiedError);
    hardware->stopDeviceMonitoring();
    hardware.reset();
    // The hardware may still call it, so it must still be there ...
    ASSERT_FALSE(weak.expired());
    NotificationRecorder input(AudioNotificationName::defaultInputDeviceChanged(), weak.lock());
    SimHardware::setDefaultInputDevice(SimHardware::devices()[2]);
    SimHardware::flush();
    EXPECT_EQ(input.count(), 1u);  // ... and it still works.
    input.clear();                 // (the notification held it too)
    // Once a removal succeeds it goes.
    weak.lock()->removeSystemListener();
    EXPECT_TRUE(weak.expired());
}

}  // namespace
