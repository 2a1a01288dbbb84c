#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/audio/tests/SimAudioTestSupport.h"
#include "platform/dispatch/DispatchQueue.h"

using namespace simtest;
using sim::AudioDeviceConfig;
using sim::AudioHardware;

namespace {

const AudioObjectPropertyAddress kWildcard{kAudioObjectPropertySelectorWildcard,
                                           kAudioObjectPropertyScopeWildcard,
                                           kAudioObjectPropertyElementWildcard};

// What one listener heard.
struct Recorder {
    std::mutex mutex;
    std::vector<std::vector<AudioObjectPropertyAddress>> calls;
    std::vector<std::string> threads;
    std::function<void(AudioObjectID, const AudioObjectPropertyAddress&)> hook;

    static OSStatus proc(AudioObjectID id, UInt32 count,
                         const AudioObjectPropertyAddress* addresses, void* client) {
        auto* self = static_cast<Recorder*>(client);
        {
            std::lock_guard lock(self->mutex);
            self->calls.emplace_back(addresses, addresses + count);
            self->threads.push_back(DispatchQueue::currentLabel());
        }
        if (self->hook) self->hook(id, addresses[0]);
        return noErr;
    }
    std::vector<AudioObjectPropertySelector> selectors() {
        std::lock_guard lock(mutex);
        std::vector<AudioObjectPropertySelector> out;
        for (const auto& call : calls) out.push_back(call[0].mSelector);
        return out;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
};

class Listeners : public SimAudioTest {};

TEST_F(Listeners, ChangesArriveLaterOnTheHardwareThread) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder recorder;
    ASSERT_EQ(AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
    ASSERT_EQ(set(mic, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput), UInt32{1}),
              noErr);
    AudioHardware::flush();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.calls[0][0],
              addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0));
    EXPECT_EQ(recorder.threads[0], AudioHardware::callbackQueueLabel());
    EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
}

TEST_F(Listeners, UnchangedValuesNotifyNobody) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder recorder;
    AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder);
    auto mute = addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput);
    set(mic, mute, UInt32{0});                                              // already 0
    AudioHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, false);  // already unmuted
    set(mic, addr(kAudioDevicePropertyNominalSampleRate), Float64{48000});
    AudioHardware::flush();
    EXPECT_EQ(recorder.count(), 0u);
    AudioHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, true);
    set(mic, addr(kAudioDevicePropertyNominalSampleRate), Float64{44100});
    AudioHardware::flush();
    EXPECT_EQ(recorder.selectors(),
              (std::vector<AudioObjectPropertySelector>{kAudioDevicePropertyMute,
                                                        kAudioDevicePropertyNominalSampleRate}));
    AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder);
}

TEST_F(Listeners, SpecificAddressesHearOnlyTheirProperty) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder muteOnly, volumeOnly;
    auto mute = addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput, 0);
    auto volume = addr(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeWildcard,
                       kAudioObjectPropertyElementWildcard);
    AudioObjectAddPropertyListener(mic, &mute, Recorder::proc, &muteOnly);
    AudioObjectAddPropertyListener(mic, &volume, Recorder::proc, &volumeOnly);
    AudioHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, true);
    set(mic, addr(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput),
        Float32{0.25f});
    AudioHardware::flush();
    EXPECT_EQ(muteOnly.selectors(),
              std::vector<AudioObjectPropertySelector>{kAudioDevicePropertyMute});
    EXPECT_EQ(volumeOnly.selectors(),
              std::vector<AudioObjectPropertySelector>{kAudioDevicePropertyVolumeScalar});
    AudioObjectRemovePropertyListener(mic, &mute, Recorder::proc, &muteOnly);
    AudioObjectRemovePropertyListener(mic, &volume, Recorder::proc, &volumeOnly);
}

TEST_F(Listeners, AddingTheSameListenerTwiceInstallsItOnce) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder recorder;
    EXPECT_EQ(AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
    EXPECT_EQ(AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
    EXPECT_EQ(AudioHardware::listenerCount(mic), 1u);
    AudioHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, true);
    AudioHardware::flush();
    EXPECT_EQ(recorder.count(), 1u);
    EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
    EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioHardware::listenerCount(), 0u);
}

TEST_F(Listeners, CallbacksMayUseTheHardwareAndChangeListeners) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder first, second;
    std::atomic<int> reads{0};
    first.hook = [&](AudioObjectID id, const AudioObjectPropertyAddress&) {
        // Reading, writing and re-registering from inside a callback must
        // not deadlock: the hardware holds no lock while calling.
        UInt32 value = 0;
        if (get(id, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput), value) == noErr)
            ++reads;
        AudioObjectRemovePropertyListener(id, &kWildcard, Recorder::proc, &first);
        AudioObjectAddPropertyListener(id, &kWildcard, Recorder::proc, &second);
        set(id, addr(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput),
            Float32{0.5f});
    };
    AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &first);
    AudioHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, true);
    AudioHardware::flush();  // also waits for the volume change the callback made
    EXPECT_EQ(reads.load(), 1);
    EXPECT_EQ(first.count(), 1u);
    EXPECT_EQ(second.selectors(),
              std::vector<AudioObjectPropertySelector>{kAudioDevicePropertyVolumeScalar});
    AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &second);
}

TEST_F(Listeners, RemovalWaitsForARunningCallbackAndStopsLaterOnes) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder recorder;
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, removalReturned = false, sawRemovalReturned = false;
    recorder.hook = [&](AudioObjectID, const AudioObjectPropertyAddress&) {
        std::unique_lock lock(mutex);
        if (entered) return;
        entered = true;
        cv.notify_all();
        // Give the removal every chance to return early; it must not.
        sawRemovalReturned =
            cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return removalReturned; });
    };
    AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder);
    for (int i = 0; i < 10; ++i)
        AudioHardware::setMute(mic, kAudioObjectPropertyScopeInput, 0, i % 2 == 0);
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return entered; });
    }
    std::thread remover([&] {
        EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder),
                  noErr);
        std::lock_guard lock(mutex);
        removalReturned = true;
        cv.notify_all();
    });
    remover.join();
    std::size_t heard = recorder.count();
    AudioHardware::flush();
    EXPECT_FALSE(sawRemovalReturned);
    EXPECT_EQ(heard, 1u);
    EXPECT_EQ(recorder.count(), 1u);  // the nine queued changes never reached it
}

TEST_F(Listeners, SeveralAddressesCanArriveInOneCall) {
    Recorder recorder;
    AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kWildcard, Recorder::proc, &recorder);
    AudioHardware::announce(kAudioObjectSystemObject,
                            {addr(kAudioHardwarePropertyDefaultOutputDevice),
                             addr(kAudioHardwarePropertyDefaultInputDevice)});
    AudioHardware::flush();
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_EQ(recorder.calls[0].size(), 2u);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kWildcard, Recorder::proc,
                                      &recorder);
}

TEST_F(Listeners, UnpluggingADeviceSaysGoodbyeThenDropsItsListeners) {
    auto mac = AudioHardware::installDefaultMac();
    Recorder device, system;
    AudioObjectAddPropertyListener(mac.builtInMicrophone, &kWildcard, Recorder::proc, &device);
    AudioObjectAddPropertyListener(kAudioObjectSystemObject, &kWildcard, Recorder::proc, &system);
    ASSERT_TRUE(AudioHardware::removeDevice(mac.builtInMicrophone));
    AudioHardware::flush();
    EXPECT_EQ(device.selectors(),
              std::vector<AudioObjectPropertySelector>{kAudioDevicePropertyDeviceIsAlive});
    EXPECT_EQ(system.selectors(),
              (std::vector<AudioObjectPropertySelector>{kAudioHardwarePropertyDevices,
                                                        kAudioObjectPropertyOwnedObjects,
                                                        kAudioHardwarePropertyDefaultInputDevice}));
    EXPECT_EQ(AudioHardware::defaultInputDevice(), mac.usbMicrophone);
    EXPECT_EQ(AudioObjectRemovePropertyListener(mac.builtInMicrophone, &kWildcard, Recorder::proc,
                                                &device),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioHardware::listenerCount(mac.builtInMicrophone), 0u);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &kWildcard, Recorder::proc,
                                      &system);
}

TEST_F(Listeners, ListenerInstallationCanBeMadeToFail) {
    AudioObjectID mic = AudioHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    Recorder recorder;
    AudioHardware::failNext(sim::AudioCall::AddListener, mic, kWildcard,
                            kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioHardware::listenerCount(mic), 0u);
    EXPECT_EQ(AudioObjectAddPropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
    AudioHardware::failNext(sim::AudioCall::RemoveListener, mic, kWildcard,
                            kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(AudioHardware::listenerCount(mic), 1u);
    EXPECT_EQ(AudioObjectRemovePropertyListener(mic, &kWildcard, Recorder::proc, &recorder), noErr);
}

TEST_F(Listeners, ManyThreadsWritingWhileListenersComeAndGo) {
    auto mac = AudioHardware::installDefaultMac();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (AudioObjectID device : {mac.builtInMicrophone, mac.usbMicrophone}) {
        threads.emplace_back([&, device] {
            for (int i = 0; i < 300; ++i)
                set(device, addr(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput),
                    UInt32(i % 2));
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
            Recorder r;
            AudioObjectAddPropertyListener(mac.usbMicrophone, &kWildcard, Recorder::proc, &r);
            AudioObjectRemovePropertyListener(mac.usbMicrophone, &kWildcard, Recorder::proc, &r);
        }  // r is gone: nothing may call it any more
    });
    for (auto& t : threads) t.join();
    AudioHardware::flush();
    EXPECT_EQ(AudioHardware::listenerCount(), 0u);
}

}  // namespace
