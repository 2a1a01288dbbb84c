#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "services/util/PRMPromise.h"

namespace {

NSError err(long long code) {
    return NSError("test", code);
}
using P = std::shared_ptr<PRMPromise>;

class PRMPromiseCombinatorsTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::useVirtualClock(); }
    void TearDown() override {
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }
    static void run() { sim::MainLoop::runUntilIdle(); }
};

TEST_F(PRMPromiseCombinatorsTest, ThenCatchRecoverAlwaysValidate) {
    int caught = 0, always = 0;
    P ok = PRMPromise::resolvedWith(2);
    P bad = PRMPromise::resolvedWith(err(1));
    P doubled = ok->then([](PRMValue v) { return PRMValue(*v.value()->asInt() * 2); });
    P skipped = bad->then([](PRMValue) -> PRMValue {
        ADD_FAILURE();
        return nullptr;
    });
    P caughtP = bad->catchError([&](NSError) { ++caught; });
    P recovered = bad->recover([](NSError e) { return PRMValue(e.code + 10); });
    P alwaysP = bad->always([&] { ++always; });
    P valid = ok->validate([](const PRMValue& v) { return v == PRMValue(2); });
    P invalid = ok->validate([](const PRMValue&) { return false; });
    run();
    EXPECT_EQ(doubled->value(), PRMValue(4));
    EXPECT_EQ(skipped->error(), err(1));
    EXPECT_EQ(caughtP->error(), err(1));
    EXPECT_EQ(caught, 1);
    EXPECT_EQ(recovered->value(), PRMValue(11));
    EXPECT_EQ(alwaysP->error(), err(1));
    EXPECT_EQ(always, 1);
    EXPECT_EQ(valid->value(), PRMValue(2));
    EXPECT_EQ(invalid->error(), NSError(PRMPromiseErrorDomain, 2));
}

TEST_F(PRMPromiseCombinatorsTest, DoAndAsyncRunOnTheQueueAndFollowPromises) {
    bool ran = false;
    auto inner = PRMPromise::pendingPromise();
    P viaDo = PRMPromise::doWork([&] {
        ran = true;
        return PRMValue(inner);
    });
    EXPECT_FALSE(ran);
    P viaAsync = PRMPromise::async([](auto fulfill, auto reject) {
        fulfill(5);
        reject(err(1));  // ignored: the first settlement wins
    });
    run();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(viaDo->isPending());
    inner->fulfill("in");
    run();
    EXPECT_EQ(viaDo->value(), PRMValue("in"));
    EXPECT_EQ(viaAsync->value(), PRMValue(5));
}

TEST_F(PRMPromiseCombinatorsTest, AllAndAnyCases) {
    struct Case {
        const char* name;
        std::function<P()> make;
        std::optional<PRMValue> value;
        std::optional<NSError> error;
    };
    auto pending = PRMPromise::pendingPromise();  // never settled: all must not wait for it
    std::vector<Case> cases = {
        {"all empty", [] { return PRMPromise::all({}); }, PRMValue(PRMArray{}), {}},
        {"any empty", [] { return PRMPromise::any({}); }, PRMValue(PRMArray{}), {}},
        {"all values",
         [] {
             return PRMPromise::all({PRMPromise::resolvedWith(1), 2});
         },
         PRMValue(PRMArray{1, 2}),
         {}},
        {"all nil slot",
         [] { return PRMPromise::all({PRMPromise::resolvedWith(nullptr)}); },
         PRMValue(PRMArray{PRMValue::null()}),
         {}},
        {"all with error element",
         [&] {
             return PRMPromise::all({pending, err(3)});
         },
         {},
         err(3)},
        {"any mixed",
         [] {
             return PRMPromise::any(
                 {PRMPromise::resolvedWith(err(1)), PRMPromise::resolvedWith(5)});
         },
         PRMValue(PRMArray{err(1), 5}),
         {}},
        {"any all rejected",
         [] {
             return PRMPromise::any(
                 {PRMPromise::resolvedWith(err(1)), PRMPromise::resolvedWith(err(2))});
         },
         {},
         err(1)},
    };
    for (auto& c : cases) {
        P p = c.make();
        run();
        if (c.value) {
            EXPECT_EQ(p->value(), *c.value) << c.name;
        }
        if (c.error) {
            EXPECT_EQ(p->error(), *c.error) << c.name;
        }
    }
    pending->fulfill(nullptr);
}

TEST_F(PRMPromiseCombinatorsTest, AnyOfLateRejectionsTakesTheLastToSettle) {
    auto a = PRMPromise::pendingPromise();
    auto b = PRMPromise::pendingPromise();
    P result = PRMPromise::any({a, b});
    run();
    b->reject(err(2));
    run();
    a->reject(err(1));
    run();
    EXPECT_EQ(result->error(), err(1));
}

TEST_F(PRMPromiseCombinatorsTest, RaceTakesFirstPlainValueOrFirstSettled) {
    auto pending = PRMPromise::pendingPromise();
    P plain = PRMPromise::race({pending, 3});
    auto a = PRMPromise::pendingPromise();
    auto b = PRMPromise::pendingPromise();
    P first = PRMPromise::race({a, b});
    run();
    b->reject(err(2));
    a->fulfill(1);
    run();
    EXPECT_EQ(plain->value(), PRMValue(3));
    EXPECT_EQ(first->error(), err(2));
    pending->fulfill(nullptr);
}

TEST_F(PRMPromiseCombinatorsTest, DelayAndTimeoutFollowTheClock) {
    P delayed = PRMPromise::resolvedWith(1)->delay(2.0);
    P delayedError = PRMPromise::resolvedWith(err(1))->delay(2.0);
    auto slow = PRMPromise::pendingPromise();
    P timedOut = slow->timeout(1.0);
    auto quick = PRMPromise::pendingPromise();
    P kept = quick->timeout(1.0);
    run();
    quick->fulfill("fast");
    run();
    EXPECT_EQ(delayedError->error(), err(1));  // no waiting for a rejection
    EXPECT_TRUE(delayed->isPending());
    EXPECT_EQ(kept->value(), PRMValue("fast"));
    sim::advanceAndRun(sim::seconds(1.0));
    EXPECT_EQ(timedOut->error(), NSError(PRMPromiseErrorDomain, 1));
    EXPECT_EQ(kept->value(), PRMValue("fast"));
    EXPECT_TRUE(delayed->isPending());
    sim::advanceAndRun(sim::seconds(1.0));
    EXPECT_EQ(delayed->value(), PRMValue(1));
    slow->fulfill(nullptr);
}

TEST_F(PRMPromiseCombinatorsTest, RetryCountsAttemptsAndHonoursTheCondition) {
    int calls = 0;
    P twice = PRMPromise::retry([&] { return PRMValue(err(++calls)); });
    EXPECT_EQ(calls, 1);  // the first attempt runs at once
    sim::advanceAndRun(sim::seconds(1.0));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(twice->error(), err(2));

    int conditioned = 0;
    std::vector<std::int64_t> remaining;
    P refused = PRMPromise::retryAgain(
        3, 0.5,
        [&](std::int64_t n, const NSError&) {
            remaining.push_back(n);
            return n > 2;
        },
        [&] { return PRMValue(err(++conditioned)); });
    sim::advanceAndRun(sim::seconds(5.0));
    EXPECT_EQ(conditioned, 2);
    EXPECT_EQ(remaining, (std::vector<std::int64_t>{3, 2}));
    EXPECT_EQ(refused->error(), err(2));

    for (std::int64_t attempts : {0, -1}) {
        int once = 0;
        P p = PRMPromise::retry(attempts, [&] { return PRMValue(err(++once)); });
        sim::advanceAndRun(sim::seconds(5.0));
        EXPECT_EQ(once, 1);
        EXPECT_EQ(p->error(), err(1));
    }
    P immediate = PRMPromise::retry([] { return PRMValue("ok"); });
    EXPECT_EQ(immediate->value(), PRMValue("ok"));
}

TEST_F(PRMPromiseCombinatorsTest, WrapAdaptersSettleFromTheirHandlers) {
    P two = PRMPromise::wrap2ObjectsOrErrorCompletion(
        [](auto done) { done(nullptr, "s", std::nullopt); });
    P failed = PRMPromise::wrapObjectOrErrorCompletion([](auto done) { done("x", err(5)); });
    P flag = PRMPromise::wrapBoolCompletion([](auto done) { done(true); });
    P number = PRMPromise::wrapIntegerOrErrorCompletion([](auto done) { done(42, std::nullopt); });
    P plain = PRMPromise::wrapCompletion([](auto done) { done(); });
    run();
    EXPECT_EQ(two->value(), PRMValue(PRMArray{PRMValue::null(), "s"}));
    EXPECT_EQ(failed->error(), err(5));
    EXPECT_EQ(flag->value(), PRMValue(true));
    EXPECT_EQ(number->value(), PRMValue(42));
    EXPECT_TRUE(plain->isFulfilled());
}

TEST_F(PRMPromiseCombinatorsTest, ReduceChainsInOrderAndStopsAtRejection) {
    P start = PRMPromise::resolvedWith("a");
    EXPECT_EQ(start->reduce({}, [](PRMValue p, PRMValue) { return p; }), start);
    P joined = start->reduce({"b", "c"}, [](PRMValue partial, PRMValue item) {
        return PRMValue(*partial.value()->asString() + *item.value()->asString());
    });
    int calls = 0;
    P stopped = start->reduce({1, 2}, [&](PRMValue, PRMValue) {
        ++calls;
        return PRMValue(err(1));
    });
    run();
    EXPECT_EQ(joined->value(), PRMValue("abc"));
    EXPECT_EQ(stopped->error(), err(1));
    EXPECT_EQ(calls, 1);
}

TEST_F(PRMPromiseCombinatorsTest, QueueFormsRunOnTheGivenQueue) {
    auto queue = DispatchQueue::create("test.promises");
    std::string label;
    P p = PRMPromise::resolvedWith(1)->thenOn(queue, [&](PRMValue v) {
        label = DispatchQueue::currentLabel();
        return v;
    });
    EXPECT_EQ(PRMPromiseAwait(p), PRMValue(1));
    EXPECT_EQ(label, "test.promises");
}

}  // namespace
