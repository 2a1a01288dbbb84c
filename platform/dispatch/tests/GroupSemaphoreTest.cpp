#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace std::chrono_literals;

namespace {
class VirtualClockWaits : public ::testing::Test {
  protected:
    void SetUp() override { sim::useVirtualClock(); }
    void TearDown() override {
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }
};
}  // namespace

TEST(DispatchGroup, NotifyAfterAllLeaveAndWait) {
    sim::useRealClock();
    DispatchGroup group;
    std::atomic<int> done{0};
    for (int i = 0; i < 10; ++i) {
        group.async(DispatchQueue::global(), [&] {
            std::this_thread::sleep_for(1ms);
            ++done;
        });
    }
    bool notified = false;
    int doneAtNotify = -1;
    group.notify(DispatchQueue::main(), [&] {
        notified = true;
        doneAtNotify = done.load();
    });
    EXPECT_EQ(group.wait(10s), DispatchTimeoutResult::success);
    EXPECT_EQ(done.load(), 10);
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return notified; }, 10s));
    EXPECT_EQ(doneAtNotify, 10);
}

TEST(DispatchGroup, NotifyOnEmptyGroupPostsAtOnceButNotInline) {
    DispatchGroup group;
    bool ran = false;
    group.notify(DispatchQueue::main(), [&] { ran = true; });
    EXPECT_FALSE(ran);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(ran);
    group.wait();
}

TEST(DispatchGroup, RealTimedWaitTimesOut) {
    sim::useRealClock();
    DispatchGroup group;
    group.enter();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(group.wait(30ms), DispatchTimeoutResult::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    std::thread t([&] {
        std::this_thread::sleep_for(10ms);
        group.leave();
    });
    EXPECT_EQ(group.wait(10s), DispatchTimeoutResult::success);
    t.join();
}

TEST(DispatchSemaphore, SignalAndWait) {
    sim::useRealClock();
    DispatchSemaphore sem(0);
    std::thread t([&] {
        std::this_thread::sleep_for(5ms);
        sem.signal();
    });
    sem.wait();
    t.join();
    DispatchSemaphore two(2);
    EXPECT_EQ(two.wait(0ms), DispatchTimeoutResult::success);
    EXPECT_EQ(two.wait(0ms), DispatchTimeoutResult::success);
    EXPECT_EQ(two.wait(0ms), DispatchTimeoutResult::timedOut);
}

TEST(DispatchSemaphore, RealTimedWait) {
    sim::useRealClock();
    DispatchSemaphore sem(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sem.wait(30ms), DispatchTimeoutResult::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    DispatchQueue::global()->asyncAfter(5ms, [&] { sem.signal(); });
    EXPECT_EQ(sem.wait(10s), DispatchTimeoutResult::success);
}

TEST(DispatchSemaphore, LimitsConcurrency) {
    sim::useRealClock();
    DispatchSemaphore sem(2);
    std::atomic<int> active{0}, maxActive{0};
    DispatchGroup group;
    for (int i = 0; i < 12; ++i) {
        group.async(DispatchQueue::global(), [&] {
            sem.wait();
            int now = ++active;
            int prev = maxActive.load();
            while (now > prev && !maxActive.compare_exchange_weak(prev, now)) {
            }
            std::this_thread::sleep_for(1ms);
            --active;
            sem.signal();
        });
    }
    group.wait();
    EXPECT_LE(maxActive.load(), 2);
}

TEST_F(VirtualClockWaits, SemaphoreWaitEndsWhenVirtualTimePassesDeadline) {
    DispatchSemaphore sem(0);
    std::atomic<bool> advanced{false};
    std::thread advancer([&] {
        std::this_thread::sleep_for(20ms);  // real time passes, virtual does not
        sim::advanceClock(4s);
        advanced = true;
        sim::advanceClock(1s);
    });
    auto result = sem.wait(5s);
    EXPECT_EQ(result, DispatchTimeoutResult::timedOut);
    EXPECT_TRUE(advanced.load());
    EXPECT_GE(sim::Clock::now(), sim::kVirtualEpoch + 5s);
    advancer.join();
}

TEST_F(VirtualClockWaits, SemaphoreWaitEndsWhenSignalled) {
    DispatchSemaphore sem(0);
    std::thread signaller([&] {
        std::this_thread::sleep_for(10ms);
        sem.signal();
    });
    EXPECT_EQ(sem.wait(5s), DispatchTimeoutResult::success);
    signaller.join();
    EXPECT_EQ(sim::Clock::now(), sim::kVirtualEpoch);
    // Already past the deadline: times out at once.
    EXPECT_EQ(sem.wait(0s), DispatchTimeoutResult::timedOut);
}

TEST_F(VirtualClockWaits, GroupWaitEndsOnVirtualDeadlineOrCompletion) {
    DispatchGroup group;
    group.enter();
    std::thread advancer([&] {
        std::this_thread::sleep_for(10ms);
        sim::advanceClock(2s);
    });
    EXPECT_EQ(group.wait(2s), DispatchTimeoutResult::timedOut);
    advancer.join();
    std::thread leaver([&] {
        std::this_thread::sleep_for(10ms);
        group.leave();
    });
    EXPECT_EQ(group.wait(1h), DispatchTimeoutResult::success);
    leaver.join();
}

TEST(DispatchGroupDeathTest, UnbalancedLeaveAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            DispatchGroup g;
            g.leave();
        },
        "Unbalanced call to dispatch_group_leave");
}
