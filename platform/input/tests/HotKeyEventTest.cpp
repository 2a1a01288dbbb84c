#include <gtest/gtest.h>

#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/input/Carbon.h"
#include "platform/input/Keyboard.h"
#include "platform/input/NSEvent.h"

namespace {

struct Delivery {
    UInt32 kind;
    EventHotKeyID id;
    bool onMainThread;
    int handler;
};

struct Recorder {
    std::vector<Delivery> deliveries;
    int handler = 0;
    OSStatus answer = noErr;
};

OSStatus record(EventHandlerCallRef, EventRef event, void* userData) {
    auto* recorder = static_cast<Recorder*>(userData);
    EventHotKeyID id;
    const OSStatus status = GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID,
                                              nullptr, sizeof id, nullptr, &id);
    if (status != noErr) return status;
    recorder->deliveries.push_back(
        {GetEventKind(event), id, NSThread::isMainThread(), recorder->handler});
    return recorder->answer;
}

const EventTypeSpec kHotKeyEvents[] = {{kEventClassKeyboard, kEventHotKeyPressed},
                                       {kEventClassKeyboard, kEventHotKeyReleased}};

class HotKeyEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::Keyboard::reset();
        sim::MainLoop::runUntilIdle();
    }
    void TearDown() override {
        for (auto handler : handlers_) RemoveEventHandler(handler);
        for (const auto& key : sim::Keyboard::registeredHotKeys()) UnregisterEventHotKey(key.ref);
        sim::Keyboard::reset();
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }
    void install(Recorder& recorder) {
        EventHandlerRef ref = nullptr;
        ASSERT_EQ(InstallEventHandler(GetEventDispatcherTarget(), record, 2, kHotKeyEvents,
                                      &recorder, &ref),
                  noErr);
        handlers_.push_back(ref);
    }
    EventHotKeyRef registerKey(UInt32 keyCode, UInt32 modifiers, UInt32 id) {
        EventHotKeyRef ref = nullptr;
        EXPECT_EQ(RegisterEventHotKey(keyCode, modifiers, {fourCharCode("test"), id},
                                      GetEventDispatcherTarget(), 0, &ref),
                  noErr);
        return ref;
    }
    std::vector<EventHandlerRef> handlers_;
};

TEST_F(HotKeyEvents, PressAndReleaseReachTheHandlerOnTheMainQueue) {
    Recorder recorder;
    install(recorder);
    registerKey(46, cmdKey | shiftKey, 7);

    sim::Keyboard::press(46, NSEventModifierFlagCommand | NSEventModifierFlagShift);
    EXPECT_TRUE(recorder.deliveries.empty()) << "delivered before the main queue ran";
    sim::MainLoop::runUntilIdle();
    sim::Keyboard::release(46);
    sim::MainLoop::runUntilIdle();

    ASSERT_EQ(recorder.deliveries.size(), 2u);
    EXPECT_EQ(recorder.deliveries[0].kind, kEventHotKeyPressed);
    EXPECT_EQ(recorder.deliveries[1].kind, kEventHotKeyReleased);
    EXPECT_EQ(recorder.deliveries[0].id.id, 7u);
    EXPECT_EQ(recorder.deliveries[0].id.signature, fourCharCode("test"));
    EXPECT_TRUE(recorder.deliveries[0].onMainThread);
    EXPECT_EQ(sim::Keyboard::currentModifiers(), 0u);
}

TEST_F(HotKeyEvents, OnlyTheExactModifiersFire) {
    Recorder recorder;
    install(recorder);
    registerKey(46, cmdKey | shiftKey, 1);
    // Function-key shortcuts carry 0x800000, which matching ignores.
    registerKey(96, 0x800000, 2);

    sim::Keyboard::pressAndRelease(46, NSEventModifierFlagCommand);
    sim::Keyboard::pressAndRelease(
        46, NSEventModifierFlagCommand | NSEventModifierFlagShift | NSEventModifierFlagOption);
    sim::Keyboard::pressAndRelease(96);
    sim::MainLoop::runUntilIdle();

    ASSERT_EQ(recorder.deliveries.size(), 2u);
    EXPECT_EQ(recorder.deliveries[0].id.id, 2u);
    EXPECT_EQ(recorder.deliveries[1].id.id, 2u);
}

TEST_F(HotKeyEvents, RegistrationConflictsAndListing) {
    auto ref = registerKey(46, cmdKey, 1);
    EventHotKeyRef other = nullptr;
    EXPECT_EQ(RegisterEventHotKey(46, cmdKey, {0, 2}, GetEventDispatcherTarget(), 0, &other),
              eventHotKeyExistsErr);
    sim::Keyboard::holdHotKeyInOtherProgram(0, controlKey);
    EXPECT_EQ(RegisterEventHotKey(0, controlKey, {0, 3}, GetEventDispatcherTarget(), 0, &other),
              eventHotKeyExistsErr);
    EXPECT_EQ(RegisterEventHotKey(200, cmdKey, {0, 4}, GetEventDispatcherTarget(), 0, &other),
              paramErr);

    auto listed = sim::Keyboard::registeredHotKeys();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].keyCode, 46u);
    EXPECT_EQ(listed[0].modifiers, static_cast<UInt32>(cmdKey));
    EXPECT_EQ(listed[0].ref, ref);

    EXPECT_EQ(UnregisterEventHotKey(ref), noErr);
    EXPECT_EQ(UnregisterEventHotKey(ref), eventHotKeyInvalidErr);
    EXPECT_NE(registerKey(46, cmdKey, 5), nullptr);
    sim::Keyboard::releaseOtherProgramHotKeys();
    EXPECT_NE(registerKey(0, controlKey, 6), nullptr);
}

TEST_F(HotKeyEvents, HandlersRunNewestFirstAndPassOnWhenNotHandled) {
    Recorder older, newer;
    older.handler = 1;
    newer.handler = 2;
    install(older);
    install(newer);
    registerKey(12, cmdKey, 1);

    sim::Keyboard::pressAndRelease(12, NSEventModifierFlagCommand);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(newer.deliveries.size(), 2u);
    EXPECT_TRUE(older.deliveries.empty());

    newer.answer = eventNotHandledErr;
    sim::Keyboard::pressAndRelease(12, NSEventModifierFlagCommand);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(older.deliveries.size(), 2u);

    RemoveEventHandler(handlers_.back());
    handlers_.pop_back();
    newer.deliveries.clear();
    older.deliveries.clear();
    sim::Keyboard::pressAndRelease(12, NSEventModifierFlagCommand);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(newer.deliveries.empty());
    EXPECT_EQ(older.deliveries.size(), 2u);
}

TEST_F(HotKeyEvents, EventParameters) {
    EventRef event = nullptr;
    ASSERT_EQ(CreateEvent(nullptr, kEventClassKeyboard, kEventHotKeyPressed, 0, 0, &event), noErr);
    EventHotKeyID id;
    EXPECT_EQ(GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr,
                                sizeof id, nullptr, &id),
              eventParameterNotFoundErr);
    const UInt32 number = 3;
    SetEventParameter(event, kEventParamDirectObject, fourCharCode("magn"), sizeof number, &number);
    EXPECT_EQ(GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr,
                                sizeof id, nullptr, &id),
              errAECoercionFail);

    Recorder recorder;
    install(recorder);
    // The recording handler answers the parameter's failure.
    EXPECT_EQ(SendEventToEventTarget(event, GetEventDispatcherTarget()), errAECoercionFail);
    ReleaseEvent(event);
}

TEST(UTGetOSTypeFromString, CodesOfUpToFourCharacters) {
    EXPECT_EQ(UTGetOSTypeFromString("keyb"), fourCharCode("keyb"));
    EXPECT_EQ(UTGetOSTypeFromString("ab"), fourCharCode("ab  "));
    EXPECT_EQ(UTGetOSTypeFromString(""), 0u);
    EXPECT_EQ(UTGetOSTypeFromString("longer"), 0u);
    EXPECT_EQ(UTGetOSTypeFromString("\xC3\xA9"), 0u);
}

class Monitors : public HotKeyEvents {
  protected:
    void TearDown() override {
        for (const auto& token : tokens_) NSEvent::removeMonitor(token);
        HotKeyEvents::TearDown();
    }
    std::vector<std::shared_ptr<NSObject>> tokens_;
};

TEST_F(Monitors, FlagsChangedReachGlobalAndLocalMonitorsWithOneTimestamp) {
    std::vector<std::pair<char, std::shared_ptr<NSEvent>>> seen;
    tokens_.push_back(NSEvent::addGlobalMonitorForEventsMatchingMask(
        NSEventMaskFlagsChanged, [&](const auto& e) { seen.emplace_back('g', e); }));
    tokens_.push_back(
        NSEvent::addLocalMonitorForEventsMatchingMask(NSEventMaskFlagsChanged, [&](const auto& e) {
            seen.emplace_back('l', e);
            return e;
        }));

    sim::Keyboard::tapModifier(NSEventModifierFlagCommand);
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].second, seen[1].second);
    EXPECT_EQ(seen[0].second->type(), NSEventType::flagsChanged);
    EXPECT_EQ(seen[0].second->modifierFlags(), NSEventModifierFlagCommand);
    EXPECT_EQ(seen[0].second->keyCode(), kVK_Command);
    EXPECT_EQ(seen[2].second->modifierFlags(), 0u);
    EXPECT_LT(seen[0].second->timestamp(), seen[2].second->timestamp())
        << "two events at one moment must still differ";

    seen.clear();
    sim::Keyboard::setMonitorDelivery(sim::MonitorDelivery::globalOnly);
    sim::Keyboard::tapModifier(NSEventModifierFlagOption);
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, 'g');
}

TEST_F(Monitors, ModifiersGoDownOneByOneInFixedOrder) {
    std::vector<NSEventModifierFlags> flags;
    tokens_.push_back(NSEvent::addGlobalMonitorForEventsMatchingMask(
        NSEventMaskFlagsChanged, [&](const auto& e) { flags.push_back(e->modifierFlags()); }));
    sim::Keyboard::press(0, NSEventModifierFlagCommand | NSEventModifierFlagControl);
    sim::Keyboard::release(0);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(flags, (std::vector<NSEventModifierFlags>{
                         NSEventModifierFlagControl,
                         NSEventModifierFlagControl | NSEventModifierFlagCommand,
                         NSEventModifierFlagCommand, 0}));
}

TEST_F(Monitors, KeyEventsPassLocalMonitorsToTheApplication) {
    std::vector<std::shared_ptr<NSEvent>> app;
    sim::Keyboard::setApplicationEventHandler([&](const auto& e) { app.push_back(e); });
    bool swallow = false;
    tokens_.push_back(NSEvent::addLocalMonitorForEventsMatchingMask(
        NSEventMaskKeyDown, [&](const auto& e) { return swallow ? nullptr : e; }));

    sim::Keyboard::press(0, NSEventModifierFlagShift);
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(app.size(), 2u);  // shift's flags change, then the key
    EXPECT_EQ(app[1]->type(), NSEventType::keyDown);
    EXPECT_EQ(app[1]->characters(), "A");
    EXPECT_EQ(app[1]->charactersIgnoringModifiers(), "A");
    sim::Keyboard::release(0);
    sim::MainLoop::runUntilIdle();

    app.clear();
    swallow = true;
    sim::Keyboard::press(123);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(app.empty());
    sim::Keyboard::release(123);
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(app.size(), 1u);
    EXPECT_EQ(app[0]->type(), NSEventType::keyUp);
    EXPECT_EQ(app[0]->modifierFlags(), NSEventModifierFlagFunction | NSEventModifierFlagNumericPad);
}

TEST_F(Monitors, AtMovesTheVirtualClockFirst) {
    std::vector<double> stamps;
    tokens_.push_back(NSEvent::addGlobalMonitorForEventsMatchingMask(
        NSEventMaskFlagsChanged, [&](const auto& e) { stamps.push_back(e->timestamp()); }));
    const auto start = sim::Clock::now();
    sim::Keyboard::tapModifier(NSEventModifierFlagShift, start + std::chrono::milliseconds(250));
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(sim::Clock::now(), start + std::chrono::milliseconds(250));
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_NEAR(stamps[0], sim::toSeconds(sim::Clock::now().time_since_epoch()), 1e-5);
}

TEST_F(Monitors, BeepsAreCounted) {
    const int before = sim::Keyboard::beepCount();
    NSBeep();
    EXPECT_EQ(sim::Keyboard::beepCount(), before + 1);
}

}  // namespace
