#include "app/audio/AudioSystem.h"
#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class System : public AudioModelTest {};

TEST_F(System, FacadesShareOneHardwareAndMonitorWhileAnyLives) {
    auto mac = SimHardware::installDefaultMac();
    // A facade left over from elsewhere would keep the hardware alive and hide
    // what the last one's release must do.
    ASSERT_EQ(AudioSystem::instanceCount(), 0);
    auto first = std::make_shared<AudioSystem>();
    auto hardware = first->hardware();
    auto second = std::make_shared<AudioSystem>();
    EXPECT_EQ(second->hardware().get(), hardware.get());
    EXPECT_EQ(AudioSystem::instanceCount(), 2);
    EXPECT_TRUE(hardware->isRegisteredForNotifications());
    EXPECT_EQ(hardware->allKnownDevices().size(), 4u);  // monitoring started once
    EXPECT_EQ(SimHardware::listenerCount(kAudioObjectSystemObject), 1u);

    first.reset();
    EXPECT_TRUE(hardware->isRegisteredForNotifications());
    NotificationRecorder input(AudioNotificationName::defaultInputDeviceChanged(), hardware);
    SimHardware::setDefaultInputDevice(mac.usbMicrophone);
    SimHardware::flush();
    EXPECT_EQ(input.count(), 1u);
    EXPECT_EQ(second->defaultInputDevice()->objectID, mac.usbMicrophone);

    second.reset();
    EXPECT_EQ(AudioSystem::instanceCount(), 0);
    EXPECT_FALSE(hardware->isRegisteredForNotifications());
    EXPECT_TRUE(hardware->allKnownDevices().empty());
    EXPECT_EQ(SimHardware::listenerCount(kAudioObjectSystemObject), 0u);
    EXPECT_EQ(AudioSystem::sharedHardware(), nullptr);
    // The next facade starts afresh with a new hardware object.
    auto third = std::make_shared<AudioSystem>();
    EXPECT_NE(third->hardware().get(), hardware.get());
    EXPECT_TRUE(third->hardware()->isRegisteredForNotifications());
}

TEST_F(System, ListsAndDefaults) {
    auto mac = SimHardware::installDefaultMac();
    auto audio = std::make_shared<AudioSystem>();
    EXPECT_EQ(audio->allDeviceIDs(),
              (std::vector<AudioObjectID>{mac.builtInMicrophone, mac.builtInSpeakers,
                                          mac.usbMicrophone, mac.bluetoothHeadset}));
    EXPECT_EQ(audio->allDevices().size(), 4u);
    EXPECT_EQ(audio->allInputDevices().size(), 3u);
    EXPECT_EQ(audio->allOutputDevices().size(), 2u);
    EXPECT_EQ(audio->allIODevices().size(), 1u);
    EXPECT_EQ(audio->allNonAggregateDevices().size(), 4u);
    EXPECT_TRUE(audio->allAggregateDevices().empty());
    EXPECT_EQ(audio->defaultInputDevice()->objectID, mac.builtInMicrophone);
    EXPECT_EQ(audio->defaultOutputDevice()->objectID, mac.builtInSpeakers);
    EXPECT_EQ(audio->defaultSystemOutputDevice()->objectID, mac.builtInSpeakers);
    SimHardware::failNextGet(kAudioObjectSystemObject,
                             propertyAddress(kAudioHardwarePropertyDevices),
                             kAudioHardwareNotRunningError);
    EXPECT_TRUE(audio->allDeviceIDs().empty());
}

TEST_F(System, CreatingAggregateDevices) {
    auto mac = SimHardware::installDefaultMac();
    auto audio = std::make_shared<AudioSystem>();
    auto mic = AudioDevice::lookup(mac.builtInMicrophone);
    auto usb = AudioDevice::lookup(mac.usbMicrophone);

    auto both = audio->createAggregateDevice(*mic, usb.get(), "Both", "agg-both");
    ASSERT_TRUE(both);
    EXPECT_TRUE(both->isAggregateDevice());
    EXPECT_EQ(both->name(), "Both");
    EXPECT_EQ(both->uid(), "agg-both");
    auto requests = SimHardware::aggregateRequests();
    ASSERT_EQ(requests.size(), 1u);
    const Dictionary& d = requests[0];
    EXPECT_EQ(d["name"].asString(), "Both");
    EXPECT_EQ(d["uid"].asString(), "agg-both");
    EXPECT_EQ(d["master"].asString(), "BuiltInMicrophoneDevice");
    ASSERT_EQ(d["subdevices"].asArray()->size(), 2u);
    EXPECT_EQ((*d["subdevices"].asArray())[1]["uid"].asString(), "USB-MIC-0001");
    EXPECT_EQ(audio->allAggregateDevices().size(), 1u);

    // The same device twice, or a second device without UID: one sub-device.
    auto single = audio->createAggregateDevice(*mic, mic.get(), "Single", "agg-single");
    ASSERT_TRUE(single);
    EXPECT_EQ(SimHardware::aggregateRequests()[1]["subdevices"].asArray()->size(), 1u);
    SimHardware::removeProperty(mac.usbMicrophone, propertyAddress(kAudioDevicePropertyDeviceUID));
    ASSERT_TRUE(audio->createAggregateDevice(*mic, usb.get(), "NoUID", "agg-nouid"));
    EXPECT_EQ(SimHardware::aggregateRequests()[2]["subdevices"].asArray()->size(), 1u);
    // A main device without UID creates nothing.
    EXPECT_EQ(audio->createAggregateDevice(*usb, mic.get(), "None", "agg-none"), nullptr);
    EXPECT_EQ(SimHardware::aggregateRequests().size(), 3u);

    EXPECT_EQ(audio->removeAggregateDevice(single->objectID), noErr);
    EXPECT_EQ(audio->removeAggregateDevice(9999), kAudioHardwareBadObjectError);
    EXPECT_EQ(audio->removeAggregateDevice(mac.builtInMicrophone), kAudioHardwareBadDeviceError);
}

TEST_F(System, AFailedCreationIsLoggedOnce) {
    auto mac = SimHardware::installDefaultMac();
    auto audio = std::make_shared<AudioSystem>();
    auto mic = AudioDevice::lookup(mac.builtInMicrophone);
    SimHardware::failNext(sim::AudioCall::CreateAggregate, 0, {}, -50);
    EXPECT_EQ(audio->createAggregateDevice(*mic, nullptr, "Agg", "agg"), nullptr);
    EXPECT_EQ(debugLines("Failed creating aggregate device with error: -50."), 1u);
    EXPECT_EQ(log_->records().size(), 1u);
}

TEST_F(System, TheProgramsFacadeIsCreatedOnce) {
    // In a child process: the facade lives until exit and would keep its
    // hardware listening through the other tests.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SimHardware::installDefaultMac();
            auto a = sharedAudioSystem();
            auto b = sharedAudioSystem();
            bool ok = a.get() == b.get() && AudioSystem::instanceCount() == 1 &&
                      a->hardware()->isRegisteredForNotifications() &&
                      a->allInputDevices().size() == 3;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
