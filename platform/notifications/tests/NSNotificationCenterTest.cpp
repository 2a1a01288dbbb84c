#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/notifications/NSNotificationCenter.h"

using namespace std::chrono_literals;

namespace {
struct Device {
    int id = 0;
};
}  // namespace

TEST(NSNotificationCenter, FiltersByName) {
    auto center = std::make_shared<NSNotificationCenter>();
    std::vector<std::string> seen;
    auto a = center->addObserverForName(
        "A", nullptr, nullptr, [&](const NSNotification& n) { seen.push_back("a:" + n.name); });
    auto any = center->addObserverForName(
        std::nullopt, nullptr, nullptr,
        [&](const NSNotification& n) { seen.push_back("any:" + n.name); });
    center->postNotificationName("A");
    center->postNotificationName("B");
    EXPECT_EQ(seen, (std::vector<std::string>{"a:A", "any:A", "any:B"}));
    center->removeObserver(a);
    center->removeObserver(any);
    EXPECT_EQ(center->observerCount(), 0u);
}

TEST(NSNotificationCenter, FiltersBySenderIdentityWithoutRetainingIt) {
    auto center = std::make_shared<NSNotificationCenter>();
    auto d1 = std::make_shared<Device>();
    auto d2 = std::make_shared<Device>();
    int forD1 = 0, forAny = 0;
    std::shared_ptr<void> lastObject;
    center->addObserverForName("changed", d1, nullptr, [&](const NSNotification& n) {
        ++forD1;
        lastObject = n.object;
    });
    center->addObserverForName("changed", nullptr, nullptr,
                               [&](const NSNotification&) { ++forAny; });
    center->postNotificationName("changed", d1);
    center->postNotificationName("changed", d2);
    center->postNotificationName("changed");
    EXPECT_EQ(forD1, 1);
    EXPECT_EQ(forAny, 3);
    EXPECT_EQ(lastObject.get(), d1.get());
    lastObject.reset();
    std::weak_ptr<Device> weak = d1;
    d1.reset();
    EXPECT_TRUE(weak.expired());  // the observer did not keep the sender alive
    center->postNotificationName("changed", d2);
    EXPECT_EQ(forD1, 1);
}

TEST(NSNotificationCenter, UserInfoAndObjectReachTheObserver) {
    auto center = std::make_shared<NSNotificationCenter>();
    auto device = std::make_shared<Device>(Device{7});
    Dictionary received;
    int id = 0;
    center->addObserverForName("info", nullptr, nullptr, [&](const NSNotification& n) {
        received = n.userInfo;
        id = n.objectAs<Device>()->id;
    });
    center->postNotification(NSNotification{"info", device, Dictionary{{"key", Value("value")}}});
    EXPECT_EQ(id, 7);
    EXPECT_TRUE(received.contains("key"));
}

TEST(NSNotificationCenter, QueueDeliveryIsAsynchronousAndOrdered) {
    auto center = std::make_shared<NSNotificationCenter>();
    std::vector<int> seen;
    bool onMain = false;
    center->addObserverForName("n", nullptr, DispatchQueue::main(), [&](const NSNotification& n) {
        seen.push_back(static_cast<int>(*n.userInfo.find("i")->asInt()));
        onMain = NSThread::isMainThread();
    });
    for (int i = 0; i < 20; ++i) center->postNotificationName("n", nullptr, Dictionary{{"i", i}});
    EXPECT_TRUE(seen.empty());
    sim::MainLoop::runUntilIdle();
    ASSERT_EQ(seen.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_TRUE(onMain);

    // A serial worker queue keeps post order too, across posting threads' order.
    auto q = DispatchQueue::create("com.test.notes");
    std::vector<int> workerSeen;
    center->addObserverForName("w", nullptr, q, [&](const NSNotification& n) {
        workerSeen.push_back(static_cast<int>(*n.userInfo.find("i")->asInt()));
    });
    for (int i = 0; i < 100; ++i) center->postNotificationName("w", nullptr, Dictionary{{"i", i}});
    q->sync([] {});
    ASSERT_EQ(workerSeen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(workerSeen[i], i);
}

TEST(NSNotificationCenter, QueuedDeliveryDroppedAfterRemoval) {
    auto center = std::make_shared<NSNotificationCenter>();
    int count = 0;
    auto token = center->addObserverForName("n", nullptr, DispatchQueue::main(),
                                            [&](const NSNotification&) { ++count; });
    center->postNotificationName("n");
    center->removeObserver(token);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(count, 0);
}

TEST(NSNotificationCenter, RemovalDuringDelivery) {
    auto center = std::make_shared<NSNotificationCenter>();
    std::vector<std::string> calls;
    std::shared_ptr<NSNotificationObserver> second;
    std::shared_ptr<NSNotificationObserver> self;
    auto first = center->addObserverForName("n", nullptr, nullptr, [&](const NSNotification&) {
        calls.push_back("first");
        center->removeObserver(second);  // removed by an earlier observer
    });
    second = center->addObserverForName("n", nullptr, nullptr,
                                        [&](const NSNotification&) { calls.push_back("second"); });
    self = center->addObserverForName("n", nullptr, nullptr, [&](const NSNotification&) {
        calls.push_back("self");
        center->removeObserver(self);  // removes itself
    });
    center->postNotificationName("n");
    center->postNotificationName("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "self", "first"}));
    EXPECT_EQ(sim::observerCount(*center, "n"), 1u);
    center->removeObserver(first);
    EXPECT_EQ(sim::observerCount(*center, "n"), 0u);
}

TEST(NSNotificationCenter, AddingDuringDeliveryIsSafe) {
    auto center = std::make_shared<NSNotificationCenter>();
    int added = 0;
    int outer = 0;
    center->addObserverForName("n", nullptr, nullptr, [&](const NSNotification&) {
        ++outer;
        center->addObserverForName("n", nullptr, nullptr, [&](const NSNotification&) { ++added; });
        center->postNotificationName("other");  // reentrant post
    });
    center->postNotificationName("n");
    EXPECT_EQ(added, 0);  // not called for the post that added it
    center->postNotificationName("n");
    EXPECT_EQ(added, 1);
    EXPECT_EQ(outer, 2);
    EXPECT_EQ(center->observerCount("n"), 3u);
}

TEST(NSNotificationCenter, SelectorStyleObservers) {
    auto center = std::make_shared<NSNotificationCenter>();
    int owner = 0;
    int count = 0;
    center->addObserver(
        &owner, [&](const NSNotification&) { ++count; }, "a", nullptr);
    center->addObserver(
        &owner, [&](const NSNotification&) { ++count; }, "b", nullptr);
    center->postNotificationName("a");
    center->postNotificationName("b");
    EXPECT_EQ(count, 2);
    center->removeObserver(&owner, std::string("a"), nullptr);
    EXPECT_EQ(center->observerCount(), 1u);
    center->removeObserver(&owner);
    EXPECT_EQ(center->observerCount(), 0u);
}

TEST(NSNotificationCenter, TokenHeldAsNSObject) {
    auto center = std::make_shared<NSNotificationCenter>();
    std::shared_ptr<NSObject> token =
        center->addObserverForName("n", nullptr, nullptr, [](const NSNotification&) {});
    EXPECT_EQ(center->observerCount("n"), 1u);
    center->removeObserver(token);
    EXPECT_EQ(center->observerCount("n"), 0u);
}

TEST(NSNotificationCenter, DefaultCenterIsShared) {
    EXPECT_EQ(NSNotificationCenter::defaultCenter(), NSNotificationCenter::defaultCenter());
    int count = 0;
    auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
        "test.default", nullptr, nullptr, [&](const NSNotification&) { ++count; });
    NSNotificationCenter::defaultCenter()->postNotificationName("test.default");
    EXPECT_EQ(count, 1);
    NSNotificationCenter::defaultCenter()->removeObserver(token);
    EXPECT_EQ(sim::observerCount(*NSNotificationCenter::defaultCenter(), "test.default"), 0u);
}

TEST(NSNotificationCenter, PostingFromManyThreads) {
    auto center = std::make_shared<NSNotificationCenter>();
    std::atomic<int> sync{0};
    std::atomic<int> queued{0};
    auto q = DispatchQueue::create("com.test.many");
    auto t1 =
        center->addObserverForName("n", nullptr, nullptr, [&](const NSNotification&) { ++sync; });
    auto t2 = center->addObserverForName("n", nullptr, q, [&](const NSNotification&) { ++queued; });
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    // Churn: observers come and go while others post.
    std::thread churn([&] {
        while (!stop.load()) {
            auto t =
                center->addObserverForName("n", nullptr, nullptr, [](const NSNotification&) {});
            center->removeObserver(t);
        }
    });
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) center->postNotificationName("n");
        });
    }
    for (auto& t : threads) t.join();
    stop = true;
    churn.join();
    q->sync([] {});
    EXPECT_EQ(sync.load(), 1600);
    EXPECT_EQ(queued.load(), 1600);
    center->removeObserver(t1);
    center->removeObserver(t2);
    EXPECT_EQ(center->observerCount(), 0u);
}

TEST(NSDistributedNotificationCenter, FiltersByStringObjectAndDelivers) {
    auto center = NSDistributedNotificationCenter::defaultCenter();
    EXPECT_EQ(center, NSDistributedNotificationCenter::defaultCenter());
    std::vector<std::string> seen;
    auto any =
        center->addObserverForName("com.apple.Carbon.TISNotifySelectedKeyboardInputSourceChanged",
                                   std::nullopt, nullptr, [&](const NSDistributedNotification& n) {
                                       seen.push_back("any:" + n.object.value_or("-"));
                                   });
    auto only = center->addObserverForName(
        std::nullopt, std::string("sender.x"), DispatchQueue::main(),
        [&](const NSDistributedNotification& n) { seen.push_back("x:" + n.name); });
    center->postNotificationName("com.apple.Carbon.TISNotifySelectedKeyboardInputSourceChanged");
    center->postNotificationName("com.apple.Carbon.TISNotifySelectedKeyboardInputSourceChanged",
                                 std::string("sender.x"), {}, true);
    center->postNotificationName("other", std::string("sender.y"));
    EXPECT_EQ(seen, (std::vector<std::string>{"any:-", "any:sender.x"}));
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(seen.back(), "x:com.apple.Carbon.TISNotifySelectedKeyboardInputSourceChanged");
    EXPECT_EQ(seen.size(), 3u);
    center->removeObserver(any);
    center->removeObserver(only);
    EXPECT_EQ(center->observerCount(), 0u);
}
