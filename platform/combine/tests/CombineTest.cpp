#include "platform/combine/Combine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using Subscribers::Completion;
using Subscribers::Demand;

TEST(Demand, ArithmeticAndComparison) {
    EXPECT_EQ(Demand::max(2) + Demand::max(3), Demand::max(5));
    EXPECT_EQ(Demand::max(2) + Demand::unlimited(), Demand::unlimited());
    EXPECT_EQ(Demand::none(), Demand::max(0));
    EXPECT_TRUE(Demand::unlimited() > Demand::max(1000000));
    EXPECT_TRUE(Demand::max(1) > 0);
    EXPECT_FALSE(Demand::none() > 0);
    EXPECT_EQ(Demand::max(4).max(), std::optional<std::size_t>(4));
    EXPECT_EQ(Demand::unlimited().max(), std::nullopt);
    EXPECT_EQ(Demand::max(1) - 1, Demand::none());
    EXPECT_EQ(Demand::unlimited() - 1, Demand::unlimited());
    Demand d = Demand::none();
    d += 2;
    EXPECT_EQ(d, 2u);
}

TEST(Sink, ReceivesValuesAndCompletion) {
    PassthroughSubject<int> subject;
    std::vector<int> values;
    int completions = 0;
    auto c = subject.sink([&](Completion) { ++completions; }, [&](int v) { values.push_back(v); });
    subject.send(1);
    subject.send(2);
    subject.send(Completion::finished);
    subject.send(3);
    EXPECT_EQ(values, (std::vector<int>{1, 2}));
    EXPECT_EQ(completions, 1);
}

TEST(Sink, SubscribingAfterCompletionFinishesAtOnce) {
    PassthroughSubject<int> subject;
    subject.send(Completion::finished);
    bool finished = false;
    auto c = subject.sink([&](Completion) { finished = true; }, [](int) {});
    EXPECT_TRUE(finished);
}

TEST(Map, TransformsValues) {
    PassthroughSubject<int> subject;
    std::vector<std::string> out;
    auto c =
        subject.map([](int v) { return std::to_string(v * 2); }).sink([&](const std::string& s) {
            out.push_back(s);
        });
    subject.send(1);
    subject.send(21);
    EXPECT_EQ(out, (std::vector<std::string>{"2", "42"}));
}

TEST(Map, ChainsAndErases) {
    PassthroughSubject<int> subject;
    AnyPublisher<double> erased = subject.map([](int v) { return v + 1; })
                                      .map([](int v) { return v / 2.0; })
                                      .eraseToAnyPublisher();
    std::vector<double> out;
    auto c = erased.sink([&](double d) { out.push_back(d); });
    subject.send(2);
    EXPECT_EQ(out, (std::vector<double>{1.5}));
}

TEST(Merge, EmitsBothAndFinishesWhenBothFinish) {
    PassthroughSubject<int> a;
    PassthroughSubject<int> b;
    std::vector<int> values;
    int completions = 0;
    auto c = Publishers::Merge(a, b).sink([&](Completion) { ++completions; },
                                          [&](int v) { values.push_back(v); });
    a.send(1);
    b.send(2);
    a.send(3);
    a.send(Completion::finished);
    EXPECT_EQ(completions, 0);
    b.send(4);
    b.send(Completion::finished);
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(completions, 1);
}

TEST(Merge, MergeWithOperatorAndCancel) {
    PassthroughSubject<int> a;
    PassthroughSubject<int> b;
    PassthroughSubject<int> c3;
    std::vector<int> values;
    auto c = a.merge(b, c3).sink([&](int v) { values.push_back(v); });
    a.send(1);
    b.send(2);
    c3.send(3);
    c.cancel();
    a.send(4);
    b.send(5);
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(a.subscriberCount(), 0u);
    EXPECT_EQ(b.subscriberCount(), 0u);
}

TEST(Empty, NeverCompletesWhenAsked) {
    bool finished = false;
    auto c = Empty<int>(false).sink([&](Completion) { finished = true; }, [](int) {});
    EXPECT_FALSE(finished);
    auto d = Empty<int>().sink([&](Completion) { finished = true; }, [](int) {});
    EXPECT_TRUE(finished);
}

TEST(Empty, MergedWithSubjectStartsAStream) {
    // A common pattern: start from Empty(false) and merge publishers in.
    PassthroughSubject<int> s;
    AnyPublisher<int> stream = Empty<int>(false).eraseToAnyPublisher();
    stream = stream.merge(s).eraseToAnyPublisher();
    std::vector<int> values;
    bool finished = false;
    auto c = stream.sink([&](Completion) { finished = true; }, [&](int v) { values.push_back(v); });
    s.send(7);
    s.send(Completion::finished);
    EXPECT_EQ(values, (std::vector<int>{7}));
    EXPECT_FALSE(finished);  // Empty(false) never finishes
}

TEST(Just, EmitsOnceAndFinishes) {
    std::vector<std::string> values;
    bool finished = false;
    auto c = Just<std::string>("hi").sink([&](Completion) { finished = true; },
                                          [&](std::string v) { values.push_back(v); });
    EXPECT_EQ(values, (std::vector<std::string>{"hi"}));
    EXPECT_TRUE(finished);
}

TEST(AnyCancellable, DestructionStopsDelivery) {
    PassthroughSubject<int> subject;
    int count = 0;
    {
        auto c = subject.sink([&](int) { ++count; });
        subject.send(1);
        EXPECT_EQ(subject.subscriberCount(), 1u);
    }
    subject.send(2);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(AnyCancellable, UnstoredSinkIsCancelledAtOnce) {
    PassthroughSubject<int> subject;
    int count = 0;
    (void)subject.sink([&](int) { ++count; });
    subject.send(1);
    EXPECT_EQ(count, 0);
}

TEST(AnyCancellable, StoreKeepsItAliveAndCopiesShareIt) {
    PassthroughSubject<int> subject;
    int count = 0;
    std::set<AnyCancellable> set;
    std::vector<AnyCancellable> vec;
    subject.sink([&](int) { ++count; }).store(set);
    subject.sink([&](int) { ++count; }).store(vec);
    subject.send(1);
    EXPECT_EQ(count, 2);
    auto copy = vec.front();
    vec.clear();
    subject.send(2);
    EXPECT_EQ(count, 4);  // the copy still holds it
    copy = AnyCancellable();
    set.clear();
    subject.send(3);
    EXPECT_EQ(count, 4);
}

TEST(AnyCancellable, CustomClosureRunsOnce) {
    int runs = 0;
    {
        AnyCancellable c([&] { ++runs; });
        EXPECT_TRUE(c.isActive());
        c.cancel();
        c.cancel();
        EXPECT_FALSE(c.isActive());
    }
    EXPECT_EQ(runs, 1);
}

TEST(Cancel, FromWithinDelivery) {
    PassthroughSubject<int> subject;
    AnyCancellable c;
    std::vector<int> values;
    c = subject.sink([&](int v) {
        values.push_back(v);
        if (v == 2) c = AnyCancellable();  // drops the last reference mid-delivery
    });
    subject.send(1);
    subject.send(2);
    subject.send(3);
    EXPECT_EQ(values, (std::vector<int>{1, 2}));
}

TEST(Cancel, FromAnotherThreadStopsDelivery) {
    PassthroughSubject<int> subject;
    std::atomic<bool> cancelled{false};
    std::atomic<int> afterCancel{0};
    std::atomic<int> received{0};
    auto c = subject.sink([&](int) {
        if (cancelled.load()) ++afterCancel;
        ++received;
    });
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load()) subject.send(1);
    });
    while (received.load() < 100) std::this_thread::yield();
    c.cancel();
    cancelled = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    sender.join();
    EXPECT_EQ(afterCancel.load(), 0);
}

TEST(Subject, SendsOnManyThreads) {
    PassthroughSubject<int> subject;
    std::atomic<int> sum{0};
    auto c = subject.sink([&](int v) { sum += v; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) subject.send(1);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(sum.load(), 4000);
}

namespace {

// A subscriber of our own that asks for one value, then one more per value
// until it has three.
class CountingSubscriber final : public Subscriber<int> {
  public:
    explicit CountingSubscriber(Demand initial, std::size_t more)
        : initial_(initial), more_(more) {}
    void receive(std::shared_ptr<Subscription> s) override {
        subscription = s;
        s->request(initial_);
    }
    Demand receive(int v) override {
        values.push_back(v);
        if (values.size() < more_) return Demand::max(1);
        return Demand::none();
    }
    void receive(Completion) override { finished = true; }

    std::shared_ptr<Subscription> subscription;
    std::vector<int> values;
    bool finished = false;

  private:
    Demand initial_;
    std::size_t more_;
};

}  // namespace

TEST(Subject, HonoursDemand) {
    PassthroughSubject<int> subject;
    auto one = std::make_shared<CountingSubscriber>(Demand::max(1), 0);
    subject.subscribe(one);
    subject.send(1);
    subject.send(2);
    EXPECT_EQ(one->values, (std::vector<int>{1}));
    one->subscription->request(Demand::max(1));
    subject.send(3);
    subject.send(4);
    EXPECT_EQ(one->values, (std::vector<int>{1, 3}));

    auto three = std::make_shared<CountingSubscriber>(Demand::max(1), 3);
    subject.subscribe(three);
    for (int i = 10; i < 15; ++i) subject.send(i);
    EXPECT_EQ(three->values, (std::vector<int>{10, 11, 12}));

    auto all = std::make_shared<CountingSubscriber>(Demand::unlimited(), 0);
    subject.subscribe(all);
    for (int i = 0; i < 5; ++i) subject.send(i);
    EXPECT_EQ(all->values.size(), 5u);
    subject.send(Completion::finished);
    EXPECT_TRUE(all->finished);
    one->subscription->cancel();
    three->subscription->cancel();
    all->subscription->cancel();
}

namespace {

// A publisher of our own: on a subscriber it creates a subscription, hands
// it over, then starts producing on a thread of its own until cancelled. It
// ignores demand.
class TickPublisher final : public Publisher<int> {
  public:
    explicit TickPublisher(int count) : count_(count) {}
    void receive(std::shared_ptr<Subscriber<int>> subscriber) override {
        auto subscription = std::make_shared<TickSubscription>(subscriber, count_);
        subscriber->receive(subscription);
        subscription->start();
    }

  private:
    class TickSubscription final : public Subscription {
      public:
        TickSubscription(std::shared_ptr<Subscriber<int>> s, int count)
            : subscriber_(std::move(s)), count_(count) {}
        ~TickSubscription() override {
            if (thread_.joinable()) thread_.detach();
        }
        void request(Demand) override {}
        void cancel() override {
            std::lock_guard<std::mutex> lock(mutex_);
            subscriber_ = nullptr;
        }
        void start() {
            thread_ = std::thread([this, keep = subscriber_] {
                for (int i = 0; i < count_; ++i) {
                    std::shared_ptr<Subscriber<int>> s;
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        s = subscriber_;
                    }
                    if (!s) return;
                    s->receive(i);
                }
                std::shared_ptr<Subscriber<int>> s;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    s = std::move(subscriber_);
                }
                if (s) s->receive(Completion::finished);
            });
            thread_.join();  // kept synchronous so the test is deterministic
        }

      private:
        std::mutex mutex_;
        std::shared_ptr<Subscriber<int>> subscriber_;
        int count_;
        std::thread thread_;
    };
    int count_;
};

}  // namespace

TEST(CustomPublisher, WorksWithSinkMapAndErasure) {
    std::vector<int> values;
    bool finished = false;
    TickPublisher ticks(3);
    auto c = ticks.sink([&](Completion) { finished = true; }, [&](int v) { values.push_back(v); });
    EXPECT_EQ(values, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(finished);

    auto shared = std::make_shared<TickPublisher>(2);
    std::vector<int> mapped;
    auto d = shared->map([](int v) { return v * 10; }).sink([&](int v) { mapped.push_back(v); });
    EXPECT_EQ(mapped, (std::vector<int>{0, 10}));

    AnyPublisher<int> erased(TickPublisher(1));
    std::vector<int> e;
    auto f = erased.sink([&](int v) { e.push_back(v); });
    EXPECT_EQ(e, (std::vector<int>{0}));

    // A plain stack publisher cannot be kept by an operator: it says so.
    EXPECT_THROW(ticks.eraseToAnyPublisher(), std::logic_error);
}

namespace {
class Model : public ObservableObject {
  public:
    void setValue(int v) {
        objectWillChange()->send();
        value = v;
    }
    int value = 0;
};
}  // namespace

TEST(ObservableObject, WillChangeFiresBeforeChange) {
    Model model;
    std::vector<int> seen;
    auto c = model.objectWillChange()->sink([&] { seen.push_back(model.value); });
    model.setValue(1);
    model.setValue(2);
    EXPECT_EQ(seen, (std::vector<int>{0, 1}));

    std::vector<int> merged;
    PassthroughSubject<Void> other;
    auto d =
        Publishers::Merge(model.objectWillChange(), other).sink([&](Void) { merged.push_back(1); });
    model.setValue(3);
    other.send();
    EXPECT_EQ(merged.size(), 2u);
}
