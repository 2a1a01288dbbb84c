#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace std::chrono_literals;

namespace {

class VirtualClock : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::MainLoop::runUntilIdle();
        sim::useVirtualClock();
    }
    void TearDown() override {
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }
};

}  // namespace

TEST_F(VirtualClock, StandsStillAndAdvances) {
    EXPECT_TRUE(sim::isVirtualClock());
    auto t0 = sim::Clock::now();
    EXPECT_EQ(t0, sim::kVirtualEpoch);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(sim::Clock::now(), t0);
    double wall0 = sim::wallClockSeconds();
    EXPECT_DOUBLE_EQ(wall0, sim::kVirtualWallEpochUnixSeconds);
    sim::advanceClock(1500ms);
    EXPECT_EQ(sim::Clock::now(), t0 + 1500ms);
    EXPECT_DOUBLE_EQ(sim::wallClockSeconds(), wall0 + 1.5);
}

TEST(RealClock, FollowsSteadyAndSystemClocks) {
    sim::useRealClock();
    EXPECT_FALSE(sim::isVirtualClock());
    auto a = sim::Clock::now();
    std::this_thread::sleep_for(2ms);
    EXPECT_GE(sim::Clock::now() - a, 2ms);
    double wall = sim::wallClockSeconds();
    double sys =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(wall, sys, 1.0);
    sim::advanceClock(1s);  // no-op in real mode
}

TEST_F(VirtualClock, AsyncAfterFiresWhenTimePassesInDeadlineOrder) {
    std::vector<int> order;
    auto main = DispatchQueue::main();
    main->asyncAfter(3s, [&] { order.push_back(3); });
    main->asyncAfter(1s, [&] { order.push_back(1); });
    main->asyncAfter(2s, [&] { order.push_back(2); });
    main->asyncAfter(2s, [&] { order.push_back(22); });  // same deadline: posting order
    sim::advanceClock(999ms);
    EXPECT_EQ(sim::MainLoop::runUntilIdle(), 0u);
    sim::advanceClock(1ms);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1}));
    sim::advanceClock(5s);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 22, 3}));
}

TEST_F(VirtualClock, AsyncAfterOnWorkerQueue) {
    auto q = DispatchQueue::create("com.test.after");
    std::atomic<bool> ran{false};
    q->asyncAfter(10s, [&] { ran = true; });
    std::this_thread::sleep_for(5ms);
    q->sync([] {});
    EXPECT_FALSE(ran.load());
    sim::advanceClock(10s);
    q->sync([] {});
    EXPECT_TRUE(ran.load());
}

TEST(RealClock, AsyncAfterWaitsRealTime) {
    sim::useRealClock();
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ran{false};
    DispatchQueue::global()->asyncAfter(30ms, [&] { ran = true; });
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return ran.load(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    bool mainRan = false;
    DispatchQueue::main()->asyncAfter(20ms, [&] { mainRan = true; });
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return mainRan; }, 10s));
}

TEST_F(VirtualClock, AdvanceAndRunFiresRepeatingTimerAtEachDeadline) {
    std::vector<sim::Time> fires;
    auto start = sim::Clock::now();
    auto timer = Timer::scheduledTimer(1.0, true, [&] { fires.push_back(sim::Clock::now()); });
    sim::advanceAndRun(3500ms);
    ASSERT_EQ(fires.size(), 3u);
    EXPECT_EQ(fires[0], start + 1s);
    EXPECT_EQ(fires[1], start + 2s);
    EXPECT_EQ(fires[2], start + 3s);
    EXPECT_EQ(sim::Clock::now(), start + 3500ms);
    sim::advanceAndRun(500ms);
    EXPECT_EQ(fires.size(), 4u);
    EXPECT_TRUE(timer->isValid());
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    sim::advanceAndRun(10s);
    EXPECT_EQ(fires.size(), 4u);
}

TEST_F(VirtualClock, OneShotTimerFiresOnceAndInvalidatesItself) {
    int count = 0;
    auto timer = Timer::scheduledTimer(2s, false, [&](Timer& t) {
        ++count;
        EXPECT_TRUE(t.isValid());
    });
    sim::advanceAndRun(1s);
    EXPECT_EQ(count, 0);
    sim::advanceAndRun(1s);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(timer->isValid());
    sim::advanceAndRun(10s);
    EXPECT_EQ(count, 1);
}

TEST_F(VirtualClock, TimerInvalidatedInsideItsBlock) {
    int count = 0;
    Timer::scheduledTimer(1s, true, [&](Timer& t) {
        if (++count == 2) t.invalidate();
    });
    sim::advanceAndRun(10s);
    EXPECT_EQ(count, 2);
}

TEST_F(VirtualClock, TimerKeptAliveByRunLoopUntilInvalidated) {
    int count = 0;
    std::weak_ptr<Timer> weak;
    {
        auto t = Timer::scheduledTimer(1s, true, [&] { ++count; });
        weak = t;
    }
    sim::advanceAndRun(2s);
    EXPECT_EQ(count, 2);
    ASSERT_FALSE(weak.expired());
    weak.lock()->invalidate();
    EXPECT_TRUE(weak.expired());
}

TEST_F(VirtualClock, DispatchTimerOneShotAndRepeating) {
    auto main = DispatchQueue::main();
    auto oneShot = DispatchTimer::make(main);
    int once = 0;
    oneShot->setEventHandler([&] { ++once; });
    oneShot->schedule(500ms);
    sim::advanceAndRun(1s);
    EXPECT_EQ(once, 0);  // created suspended
    oneShot->schedule(500ms);
    oneShot->resume();
    sim::advanceAndRun(1s);
    EXPECT_EQ(once, 1);
    sim::advanceAndRun(10s);
    EXPECT_EQ(once, 1);

    auto repeating = DispatchTimer::make(main);
    std::vector<sim::Time> fires;
    auto start = sim::Clock::now();
    repeating->setEventHandler([&] { fires.push_back(sim::Clock::now()); });
    repeating->schedule(100ms, 250ms);
    repeating->resume();
    sim::advanceAndRun(700ms);
    ASSERT_EQ(fires.size(), 3u);  // 100, 350, 600
    EXPECT_EQ(fires[0], start + 100ms);
    EXPECT_EQ(fires[1], start + 350ms);
    EXPECT_EQ(fires[2], start + 600ms);
    repeating->cancel();
    EXPECT_TRUE(repeating->isCancelled());
    sim::advanceAndRun(10s);
    EXPECT_EQ(fires.size(), 3u);
}

TEST_F(VirtualClock, DispatchTimerCancelledInsideHandlerAndAlreadyPostedFireDropped) {
    auto timer = DispatchTimer::make(DispatchQueue::main());
    int count = 0;
    bool cancelHandlerRan = false;
    timer->setEventHandler([&] {
        if (++count == 3) timer->cancel();
    });
    timer->setCancelHandler([&] { cancelHandlerRan = true; });
    timer->schedule(1s, 1s);
    timer->resume();
    sim::advanceAndRun(10s);
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(cancelHandlerRan);

    // A fire already posted to the queue does not run once cancelled.
    auto other = DispatchTimer::make(DispatchQueue::main());
    int otherCount = 0;
    other->setEventHandler([&] { ++otherCount; });
    other->schedule(1s);
    other->resume();
    sim::advanceClock(1s);  // posted, not run
    other->cancel();
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(otherCount, 0);
}

TEST_F(VirtualClock, DispatchTimerOnWorkerQueue) {
    auto q = DispatchQueue::create("com.test.timerq");
    auto timer = DispatchTimer::make(q);
    std::atomic<int> count{0};
    std::atomic<bool> onQueue{true};
    timer->setEventHandler([&] {
        if (DispatchQueue::currentLabel() != "com.test.timerq") onQueue = false;
        ++count;
    });
    timer->schedule(1s, 1s);
    timer->resume();
    sim::advanceClock(5s);
    q->sync([] {});
    EXPECT_EQ(count.load(), 5);
    EXPECT_TRUE(onQueue.load());
    timer->cancel();
}

TEST(RealClock, RepeatingTimerFiresInRealTime) {
    sim::useRealClock();
    int count = 0;
    auto timer = Timer::scheduledTimer(10ms, true, [&] { ++count; });
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return count >= 3; }, 10s));
    timer->invalidate();
    int after = count;
    sim::MainLoop::runFor(40ms);
    EXPECT_EQ(count, after);
}

TEST(RealClock, DispatchTimerRealTime) {
    sim::useRealClock();
    auto timer = DispatchTimer::make(DispatchQueue::global());
    std::atomic<int> count{0};
    timer->setEventHandler([&] { ++count; });
    timer->schedule(5ms, 5ms);
    timer->resume();
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return count.load() >= 3; }, 10s));
    timer->cancel();
}
