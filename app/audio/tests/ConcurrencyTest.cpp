// Listener traffic from the hardware's thread meeting lookups, releases and
// facades on other threads. Meant to run under ThreadSanitizer too.

#include <atomic>
#include <barrier>
#include <chrono>
#include <thread>

#include "app/audio/AudioSystem.h"
#include "app/audio/tests/AudioTestSupport.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"

using namespace audiotest;

namespace {

class Concurrency : public AudioModelTest {};

TEST_F(Concurrency, ThreadsThatMissAtOnceShareOneNewObject) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    constexpr int kThreads = 8;
    constexpr int kRounds = 100;
    std::vector<std::shared_ptr<AudioDevice>> results(kThreads);
    std::barrier start(kThreads + 1), done(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                start.arrive_and_wait();
                results[t] = AudioDevice::lookup(id);
                done.arrive_and_wait();
            }
        });
    }
    for (int round = 0; round < kRounds; ++round) {
        start.arrive_and_wait();
        done.arrive_and_wait();
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(results[t].get(), results[0].get());
        ASSERT_EQ(SimHardware::listenerCount(id), 1u);
        for (auto& r : results) r.reset();  // released together: the next round misses
        ASSERT_EQ(SimHardware::listenerCount(id), 0u);
    }
    for (auto& t : threads) t.join();
}

TEST_F(Concurrency, ChurnLeavesOneListenerAndLosesNoNotification) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                auto device = AudioDevice::lookup(id);
                ASSERT_TRUE(device);
                ASSERT_TRUE(device->isRegisteredForNotifications());
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i)
            SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 0, i % 2 == 0);
    });
    for (std::size_t t = 0; t + 1 < threads.size(); ++t) threads[t].join();
    stop = true;
    threads.back().join();
    SimHardware::flush();

    auto device = AudioDevice::lookup(id);
    EXPECT_EQ(SimHardware::listenerCount(id), 1u);
    EXPECT_EQ(AudioObjectPool::shared().get<AudioDevice>(id).get(), device.get());
    NotificationRecorder mutes(AudioNotificationName::deviceMuteDidChange(), device);
    bool muted = *device->isMuted(0, Scope::input);
    EXPECT_TRUE(device->setMute(!muted, 0, Scope::input));
    SimHardware::flush();
    EXPECT_EQ(mutes.count(), 1u);
}

TEST_F(Concurrency, ADeviceReleasedInsideItsOwnCallback) {
    AudioObjectID id = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    auto holder = std::make_shared<std::shared_ptr<AudioDevice>>(AudioDevice::lookup(id));
    std::atomic<int> calls{0};
    auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
        AudioNotificationName::deviceMuteDidChange(), nullptr, nullptr,
        [holder, &calls](const NSNotification&) {
            ++calls;
            holder->reset();  // the callback's own reference is now the last one
        });
    SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 0, true);
    SimHardware::flush();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(SimHardware::listenerCount(id), 0u);
    EXPECT_EQ(AudioObjectPool::shared().find(id), nullptr);
    NSNotificationCenter::defaultCenter()->removeObserver(token);
}

TEST_F(Concurrency, FacadeFollowsDevicesComingAndGoingOnAnotherThread) {
    SimHardware::installDefaultMac();
    auto audio = std::make_shared<AudioSystem>();
    NotificationRecorder list(AudioNotificationName::deviceListChanged(), audio->hardware());
    std::atomic<bool> stop{false};
    std::thread plugger([&] {
        for (int i = 0; i < 40; ++i) {
            AudioObjectID id = SimHardware::addDevice(
                AudioDeviceConfig::usbMicrophone("usb-" + std::to_string(i)));
            SimHardware::setMute(id, kAudioObjectPropertyScopeInput, 0, true);
            if (i % 2 == 0) SimHardware::removeDevice(id);
        }
        stop = true;
    });
    while (!stop.load()) {
        for (auto& device : audio->allInputDevices()) {
            if (device->canMute(0, Scope::input)) device->setMute(true, 0, Scope::input);
        }
    }
    plugger.join();
    SimHardware::flush();
    std::vector<AudioObjectID> known;
    for (const auto& device : audio->hardware()->allKnownDevices())
        known.push_back(device->objectID);
    EXPECT_EQ(known, SimHardware::devices());
    EXPECT_GE(list.count(), 40u);
}

TEST_F(Concurrency, ObserversOnTheMainQueueSeeChangesOnTheMainThread) {
    sim::MainLoop::adoptCurrentThreadAsMain();
    auto mac = SimHardware::installDefaultMac();
    auto device = AudioDevice::lookup(mac.usbMicrophone);
    std::vector<std::string> threads;
    auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
        AudioNotificationName::deviceMuteDidChange(), device, DispatchQueue::main(),
        [&](const NSNotification& n) {
            threads.push_back(DispatchQueue::currentLabel());
            EXPECT_EQ(n.objectAs<AudioDevice>().get(), device.get());
        });
    SimHardware::setMute(mac.usbMicrophone, kAudioObjectPropertyScopeInput, 0, true);
    EXPECT_TRUE(
        sim::MainLoop::runUntil([&] { return !threads.empty(); }, std::chrono::milliseconds(5000)));
    EXPECT_EQ(threads, std::vector<std::string>{DispatchQueue::main()->label()});
    NSNotificationCenter::defaultCenter()->removeObserver(token);
    sim::MainLoop::runUntilIdle();
}

}  // namespace
