#include "app/settings/DefaultsObservable.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/settings/tests/SettingsTestSupport.h"
#include "platform/dispatch/MainLoop.h"

namespace {
using Publishing = SettingsTest;
using Defaults::ObservationOption;
}  // namespace

TEST_F(Publishing, InitialOptionDeliversTheCurrentValueAtOnce) {
    Defaults::Key<std::int64_t> key("n", 7, suite_);
    std::vector<std::int64_t> seen;
    auto sink = Defaults::publisher(key).sink([&](const auto& c) { seen.push_back(c.newValue); });
    Defaults::set(key, std::int64_t{8});
    EXPECT_EQ(seen, (std::vector<std::int64_t>{7, 8}));

    std::vector<std::int64_t> later;
    auto quiet =
        Defaults::publisher(key, {}).sink([&](const auto& c) { later.push_back(c.newValue); });
    EXPECT_TRUE(later.empty());
}

TEST_F(Publishing, DemandOfOneStillReceivesEveryChange) {
    struct OneAtATime : Subscriber<Defaults::KeyChange<bool>> {
        int count = 0;
        std::weak_ptr<Subscription> subscription;
        void receive(std::shared_ptr<Subscription> s) override {
            subscription = s;
            s->request(Subscribers::Demand::max(1));
        }
        Subscribers::Demand receive(Defaults::KeyChange<bool>) override {
            ++count;
            return Subscribers::Demand::none();
        }
        void receive(Subscribers::Completion) override {}
    };
    auto subscriber = std::make_shared<OneAtATime>();
    {
        Defaults::Key<bool> key("b", false, suite_);
        Defaults::publisher(key, {}).subscribe(subscriber);
        Defaults::set(key, true);
        Defaults::set(key, false);
        Defaults::set(key, true);
    }
    EXPECT_EQ(subscriber->count, 3);
    // Never cancelled, the subscription still goes with its suite.
    suite_.reset();
    EXPECT_TRUE(subscriber->subscription.expired());
}

TEST_F(Publishing, CancelRemovesTheObserverFromTheSuite) {
    Defaults::Key<bool> key("b", false, suite_);
    int calls = 0;
    auto sink = Defaults::publisher(key, {}).sink([&](const auto&) { ++calls; });
    EXPECT_EQ(suite_->observerCount("b"), 1u);
    sink.cancel();
    Defaults::set(key, true);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(suite_->observerCount("b"), 0u);
}

TEST_F(Publishing, SeveralKeysEmitOncePerWriteAndNeverComplete) {
    Defaults::Key<bool> a("a", false, suite_);
    Defaults::Key<bool> b("b", false, suite_);
    int values = 0;
    bool completed = false;
    auto sink =
        Defaults::publisher({&a, &b}, {})
            .sink([&](Subscribers::Completion) { completed = true; }, [&](Void) { ++values; });
    Defaults::set(a, true);
    Defaults::set(b, true);
    EXPECT_EQ(values, 2);
    EXPECT_FALSE(completed);

    bool noneCompleted = false;
    auto none = Defaults::publisher(std::vector<const Defaults::Keys*>{}, {})
                    .sink([&](Subscribers::Completion) { noneCompleted = true; }, [](Void) {});
    EXPECT_FALSE(noneCompleted);
}

TEST_F(Publishing, ObservableAnnouncesOnTheMainThread) {
    Defaults::Key<std::int64_t> key("n", 0, suite_);
    Defaults::Default<std::int64_t> property(key);
    int announcements = 0;
    auto sink = property.observable()->objectWillChange()->sink([&](Void) {
        EXPECT_TRUE(NSThread::isMainThread());
        ++announcements;
    });

    Defaults::set(key, std::int64_t{1});  // main thread: announced before the write returns
    EXPECT_EQ(announcements, 1);

    std::thread background([&] { Defaults::set(key, std::int64_t{2}); });
    background.join();
    EXPECT_EQ(announcements, 1);  // queued to the main queue
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(announcements, 2);

    property.projectedValue().set(2);  // same value: still announces (twice) and writes
    EXPECT_EQ(announcements, 4);
    EXPECT_EQ(property.wrappedValue(), 2);
    EXPECT_EQ(suite_->persistentDomain()["n"], Value(2));
}

TEST_F(Publishing, ReleasingTheViewPropertyEndsItsObservation) {
    Defaults::Key<bool> key("b", false, suite_);
    {
        Defaults::Default<bool> property(key);
        EXPECT_EQ(suite_->observerCount("b"), 1u);
        property.setWrappedValue(true);
        EXPECT_TRUE(Defaults::get(key));
        property.reset();
        EXPECT_FALSE(suite_->persistentDomain().contains("b"));
    }
    EXPECT_EQ(suite_->observerCount("b"), 0u);
}
