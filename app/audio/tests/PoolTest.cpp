#include "app/audio/AudioStream.h"
#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class Pool : public AudioModelTest {};

TEST_F(Pool, OneLiveObjectPerIdentifier) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto first = AudioDevice::lookup(id);
    auto second = AudioDevice::lookup(id);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(SimHardware::listenerCount(id), 1u);
    EXPECT_TRUE(first->isRegisteredForNotifications());
    EXPECT_EQ(AudioObjectPool::shared().get<AudioDevice>(id).get(), first.get());
}

TEST_F(Pool, ReleasedObjectsLeaveAndComeBackNew) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    std::weak_ptr<AudioDevice> weak;
    {
        auto device = AudioDevice::lookup(id);
        weak = device;
    }
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(AudioObjectPool::shared().get<AudioDevice>(id), nullptr);
    EXPECT_EQ(SimHardware::listenerCount(id), 0u);
    auto again = AudioDevice::lookup(id);
    ASSERT_TRUE(again);
    EXPECT_EQ(SimHardware::listenerCount(id), 1u);
}

TEST_F(Pool, KindsAndClassesAreChecked) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    AudioObjectID streamID = SimHardware::streams(id, kAudioObjectPropertyScopeInput).at(0);
    auto stream = AudioStream::lookup(streamID);
    ASSERT_TRUE(stream);
    EXPECT_EQ(AudioObjectPool::shared().get<AudioDevice>(streamID), nullptr);
    EXPECT_EQ(AudioDevice::lookup(streamID), nullptr);  // a stream is no device
    stream.reset();
    EXPECT_EQ(AudioDevice::lookup(streamID), nullptr);  // not even when nobody holds it
    EXPECT_EQ(AudioObjectPool::shared().find(streamID), nullptr);
    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(AudioStream::lookup(id), nullptr);  // a live device is no stream
    EXPECT_EQ(AudioDevice::lookup(9999), nullptr);
    EXPECT_FALSE(AudioObjectPool::shared().remove(9999));
    EXPECT_EQ(AudioObjectPool::shared().queueLabel(), "AudioSystem.audioObjectPool");
}

TEST_F(Pool, LazyFieldsAreReadOnceAndCanBeAssigned) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    AudioObjectID streamID = SimHardware::streams(id, kAudioObjectPropertyScopeInput).at(0);
    AudioObject control(streamID);
    SimHardware::removeProperty(streamID, propertyAddress(kAudioObjectPropertyOwner));
    EXPECT_EQ(control.owningObject(), nullptr);
    auto calls = SimHardware::callCount();
    EXPECT_EQ(control.owningObject(), nullptr);  // kept, no second call
    EXPECT_EQ(SimHardware::callCount(), calls);
    control.setOwningObject(std::make_shared<AudioObject>(id));
    EXPECT_EQ(control.owningObject()->objectID, id);

    AudioObject stream(SimHardware::streams(id, kAudioObjectPropertyScopeInput).at(0));
    EXPECT_EQ(stream.classID(), kAudioStreamClassID);
    stream.setClassID(kAudioDeviceClassID);
    EXPECT_EQ(stream.classID(), kAudioDeviceClassID);

    AudioObject streamOfDevice(SimHardware::streams(id, kAudioObjectPropertyScopeInput).at(0));
    SimHardware::setProperty(streamOfDevice.objectID, propertyAddress(kAudioObjectPropertyOwner),
                             sim::AudioPropertyValue::u32(id));
    auto owner = streamOfDevice.owningDevice();
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->objectID, id);
    EXPECT_EQ(owner.get(), AudioDevice::lookup(id).get());
}

TEST_F(Pool, ADyingObjectRemovesOnlyItsOwnEntryAndListener) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto old = AudioDevice::lookup(id);
    // A newer object for the same identifier takes over the entry while the
    // old one still lives; each listens with its own client data.
    auto newer = AudioDevice::makeCandidate(id);
    ASSERT_TRUE(newer->completeConstruction());
    newer->registerForNotifications();
    AudioObjectPool::shared().set(newer, id);
    EXPECT_NE(newer->listenerClientData(), old->listenerClientData());
    EXPECT_EQ(SimHardware::listenerCount(id), 2u);
    {
        // One change, one notification: only the pooled object reports.
        NotificationRecorder mutes(AudioNotificationName::deviceMuteDidChange());
        SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 0, true);
        SimHardware::flush();
        ASSERT_EQ(mutes.count(), 1u);
        EXPECT_EQ(mutes.notifications()[0].object.get(), newer.get());
    }
    old.reset();
    EXPECT_EQ(AudioObjectPool::shared().get<AudioDevice>(id).get(), newer.get());
    EXPECT_EQ(SimHardware::listenerCount(id), 1u);
    NotificationRecorder mutes(AudioNotificationName::deviceMuteDidChange(), newer);
    SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 0, false);
    SimHardware::flush();
    EXPECT_EQ(mutes.count(), 1u);
}

TEST_F(Pool, CallbacksOfAnOlderObjectPostNothing) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    auto device = AudioDevice::lookup(id);
    NotificationRecorder any(std::nullopt);
    auto mute = propertyAddress(kAudioDevicePropertyMute, Scope::input);
    int stale = 0;
    EXPECT_EQ(AudioDevice::devicePropertyListener(id, 1, &mute, &stale), noErr);
    EXPECT_EQ(any.count(), 0u);
    EXPECT_EQ(AudioDevice::devicePropertyListener(id, 1, &mute, device->listenerClientData()),
              noErr);
    EXPECT_EQ(any.count(), 1u);
}

}  // namespace
