#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

using namespace std::chrono_literals;

namespace {

// Waits (real time) for a worker-side condition, pumping the main loop.
bool eventually(const std::function<bool()>& predicate) {
    return sim::MainLoop::runUntil(predicate, 10s);
}

}  // namespace

TEST(DispatchQueue, SerialQueueRunsInFifoOrderAndNeverInline) {
    auto q = DispatchQueue::create("com.test.fifo");
    std::mutex m;
    std::vector<int> order;
    std::atomic<bool> inline_{true};
    for (int i = 0; i < 200; ++i) {
        q->async([&, i] {
            std::lock_guard lock(m);
            order.push_back(i);
        });
    }
    q->async([&] { inline_ = false; });
    q->sync([] {});
    EXPECT_FALSE(inline_.load());
    std::lock_guard lock(m);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(DispatchQueue, AsyncNeverRunsInline) {
    auto q = DispatchQueue::create("com.test.inline");
    std::atomic<bool> ran{false};
    std::mutex gate;
    {
        std::lock_guard hold(gate);
        q->async([&] {
            std::lock_guard lock(gate);
            ran = true;
        });
        EXPECT_FALSE(ran.load());  // still holding gate: it cannot have run inline
    }
    q->sync([] {});
    EXPECT_TRUE(ran.load());
}

TEST(DispatchQueue, SerialQueueRunsOneAtATime) {
    auto q = DispatchQueue::create("com.test.exclusive");
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    for (int i = 0; i < 50; ++i) {
        q->async([&] {
            int now = ++active;
            int prev = maxActive.load();
            while (now > prev && !maxActive.compare_exchange_weak(prev, now)) {
            }
            std::this_thread::sleep_for(100us);
            --active;
        });
    }
    q->sync([] {});
    EXPECT_EQ(maxActive.load(), 1);
}

TEST(DispatchQueue, ConcurrentQueueRunsInParallel) {
    auto q = DispatchQueue::create("com.test.concurrent", DispatchQueue::Attributes::Concurrent);
    std::atomic<int> arrived{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < 4; ++i) {
        q->async([&] {
            ++arrived;
            while (!release.load()) std::this_thread::sleep_for(1ms);
        });
    }
    // All four are blocked at once: only possible when they run in parallel.
    EXPECT_TRUE(eventually([&] { return arrived.load() == 4; }));
    release = true;
    q->syncBarrier([] {});
}

TEST(DispatchQueue, BarrierWaitsForEarlierAndBlocksLater) {
    auto q = DispatchQueue::create("com.test.barrier", DispatchQueue::Attributes::Concurrent);
    std::mutex m;
    std::vector<std::string> events;
    auto log = [&](std::string e) {
        std::lock_guard lock(m);
        events.push_back(std::move(e));
    };
    for (int i = 0; i < 5; ++i) {
        q->async([&] {
            std::this_thread::sleep_for(5ms);
            log("before");
        });
    }
    q->asyncBarrier([&] {
        log("barrier-start");
        std::this_thread::sleep_for(10ms);
        log("barrier-end");
    });
    for (int i = 0; i < 5; ++i) q->async([&] { log("after"); });
    q->syncBarrier([] {});
    std::lock_guard lock(m);
    ASSERT_EQ(events.size(), 12u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(events[i], "before");
    EXPECT_EQ(events[5], "barrier-start");
    EXPECT_EQ(events[6], "barrier-end");
    for (int i = 7; i < 12; ++i) EXPECT_EQ(events[i], "after");
}

TEST(DispatchQueue, SyncReturnsAfterTheBlockAndPropagatesExceptions) {
    auto q = DispatchQueue::create("com.test.sync");
    int value = 0;
    q->sync([&] { value = 42; });
    EXPECT_EQ(value, 42);
    EXPECT_EQ(q->syncValue([] { return 7; }), 7);
    EXPECT_THROW(q->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    q->sync([&] { value = 1; });  // still usable
    EXPECT_EQ(value, 1);
}

TEST(DispatchQueue, NestedSyncOntoOtherQueuesWorks) {
    auto a = DispatchQueue::create("com.test.a");
    auto b = DispatchQueue::create("com.test.b");
    std::string inner;
    a->sync([&] { b->sync([&] { inner = DispatchQueue::currentLabel(); }); });
    EXPECT_EQ(inner, "com.test.b");
}

TEST(DispatchQueue, CurrentLabel) {
    EXPECT_EQ(DispatchQueue::main()->label(), "com.apple.main-thread");
    EXPECT_TRUE(NSThread::isMainThread());
    EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread");
    auto q = DispatchQueue::create("com.test.label");
    std::string seen;
    q->sync([&] { seen = DispatchQueue::currentLabel(); });
    EXPECT_EQ(seen, "com.test.label");
    std::string asyncSeen;
    bool mainThreadInside = true;
    q->async([&] {
        asyncSeen = DispatchQueue::currentLabel();
        mainThreadInside = NSThread::isMainThread();
    });
    q->sync([] {});
    EXPECT_EQ(asyncSeen, "com.test.label");
    EXPECT_FALSE(mainThreadInside);
    std::string onPlainThread = "unset";
    std::thread([&] { onPlainThread = DispatchQueue::currentLabel(); }).join();
    EXPECT_EQ(onPlainThread, "");
    std::string globalLabel;
    DispatchQueue::global()->sync([&] { globalLabel = DispatchQueue::currentLabel(); });
    EXPECT_EQ(globalLabel, "com.apple.root.default-qos");
}

TEST(DispatchQueue, Specific) {
    static int key;
    auto q = DispatchQueue::create("com.test.specific");
    q->setSpecific(&key, std::make_shared<int>(5));
    std::shared_ptr<void> inside;
    q->sync([&] { inside = DispatchQueue::getSpecific(&key); });
    ASSERT_TRUE(inside);
    EXPECT_EQ(*std::static_pointer_cast<int>(inside), 5);
    EXPECT_EQ(DispatchQueue::getSpecific(&key), nullptr);
}

TEST(DispatchQueue, QueueStaysAliveWhileWorkIsPending) {
    std::atomic<int> ran{0};
    {
        auto q = DispatchQueue::create("com.test.transient");
        for (int i = 0; i < 10; ++i) q->async([&] { ++ran; });
    }
    EXPECT_TRUE(eventually([&] { return ran.load() == 10; }));
}

TEST(MainQueue, RunsOnlyWhenPumpedInFifoOrder) {
    sim::MainLoop::runUntilIdle();
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) DispatchQueue::main()->async([&, i] { order.push_back(i); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(sim::MainLoop::pendingCount(), 5u);
    // Blocks posted by blocks run in the same runUntilIdle.
    DispatchQueue::main()->async(
        [&] { DispatchQueue::main()->async([&] { order.push_back(99); }); });
    EXPECT_EQ(sim::MainLoop::runUntilIdle(), 7u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 99}));
    EXPECT_EQ(sim::MainLoop::runUntilIdle(), 0u);
}

TEST(MainQueue, BlocksSeeMainThreadAndLabel) {
    bool isMain = false;
    std::string label;
    DispatchQueue::main()->async([&] {
        isMain = NSThread::isMainThread();
        label = DispatchQueue::currentLabel();
    });
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(isMain);
    EXPECT_EQ(label, "com.apple.main-thread");
}

TEST(MainQueue, SyncFromBackgroundWorksWhileMainPumps) {
    auto q = DispatchQueue::create("com.test.bg");
    std::atomic<bool> done{false};
    bool ranOnMain = false;
    q->async([&] {
        DispatchQueue::main()->sync([&] { ranOnMain = NSThread::isMainThread(); });
        done = true;
    });
    EXPECT_TRUE(eventually([&] { return done.load(); }));
    EXPECT_TRUE(ranOnMain);
}

TEST(MainLoop, RunUntilPredicateAndTimeout) {
    std::atomic<int> counter{0};
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(5ms);
            DispatchQueue::main()->async([&] { ++counter; });
        }
    });
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return counter.load() == 3; }, 10s));
    poster.join();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sim::MainLoop::runUntil([] { return false; }, 50ms));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 50ms);
    EXPECT_LT(elapsed, 5s);
}

TEST(MainLoop, RunUntilStop) {
    std::thread stopper([] {
        std::this_thread::sleep_for(10ms);
        DispatchQueue::main()->async([] { sim::MainLoop::stop(); });
    });
    sim::MainLoop::run();
    stopper.join();
    std::thread external([] {
        std::this_thread::sleep_for(10ms);
        sim::MainLoop::stop();
    });
    sim::MainLoop::run();
    external.join();
}

TEST(MainLoop, AdoptCurrentThreadAsMain) {
    std::thread other([] {
        sim::MainLoop::adoptCurrentThreadAsMain();
        EXPECT_TRUE(NSThread::isMainThread());
    });
    other.join();
    EXPECT_FALSE(NSThread::isMainThread());
    sim::MainLoop::adoptCurrentThreadAsMain();
    EXPECT_TRUE(NSThread::isMainThread());
}

TEST(DispatchOnce, RunsOnce) {
    DispatchOnce once;
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] { dispatch_once(once, [&] { ++count; }); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(count.load(), 1);
}

using DispatchDeathTest = ::testing::Test;

TEST(DispatchDeathTest, SyncOntoCurrentSerialQueueAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* message =
        "BUG IN CLIENT OF DISPATCH: dispatch_sync called on queue already owned by current thread";
    EXPECT_DEATH(
        {
            auto q = DispatchQueue::create("com.test.deadlock");
            q->sync([&] { q->sync([] {}); });
        },
        message);
    EXPECT_DEATH(
        {
            auto a = DispatchQueue::create("com.test.outer");
            auto b = DispatchQueue::create("com.test.inner");
            a->sync([&] { b->sync([&] { a->sync([] {}); }); });
        },
        message);
    EXPECT_DEATH(
        {
            auto q = DispatchQueue::create("com.test.asyncdeadlock");
            q->async([&] { q->sync([] {}); });
            std::this_thread::sleep_for(10s);
        },
        message);
    EXPECT_DEATH(DispatchQueue::main()->sync([] {}), message);
}
