#include "services/util/PRMPromise.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/dispatch/Dispatch.h"

namespace {

NSError err(long long code) {
    return NSError("test", code);
}

class PRMPromiseTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::useVirtualClock(); }
    void TearDown() override {
        sim::MainLoop::runUntilIdle();
        sim::useRealClock();
    }
};

TEST_F(PRMPromiseTest, ResolutionRulesAndFirstSettlementWins) {
    EXPECT_TRUE(PRMPromise::resolvedWith(nullptr)->isFulfilled());
    EXPECT_TRUE(PRMPromise::resolvedWith(nullptr)->value().isNil());
    EXPECT_EQ(PRMPromise::resolvedWith(err(1))->error(), err(1));

    auto p = PRMPromise::pendingPromise();
    p->fulfill(err(7));  // an error always rejects
    EXPECT_TRUE(p->isRejected());
    p->fulfill(5);
    EXPECT_EQ(p->error(), err(7));

    auto q = PRMPromise::pendingPromise();
    q->fulfill(5);
    q->reject(err(1));
    EXPECT_TRUE(q->isFulfilled());
    EXPECT_EQ(q->value(), PRMValue(5));

    auto inner = PRMPromise::pendingPromise();
    auto outer = PRMPromise::pendingPromise();
    outer->fulfill(inner);  // a promise given to fulfill is a plain value
    EXPECT_EQ(outer->value().promise(), inner);
}

TEST_F(PRMPromiseTest, ObserversRunLaterOnTheirQueueInRegistrationOrder) {
    std::vector<std::string> calls;
    auto done = PRMPromise::resolvedWith(1);
    done->observeOnQueue(
        DispatchQueue::main(), [&](PRMValue) { calls.push_back("resolved"); }, [](NSError) {});
    EXPECT_TRUE(calls.empty());  // never on the caller's stack

    auto p = PRMPromise::pendingPromise();
    for (std::string name : {"first", "second"}) {
        p->observeOnQueue(
            DispatchQueue::main(), [&calls, name](PRMValue) { calls.push_back(name); },
            [](NSError) {});
    }
    p->fulfill(2);
    EXPECT_TRUE(calls.empty());
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(calls, (std::vector<std::string>{"resolved", "first", "second"}));
}

TEST_F(PRMPromiseTest, ChainFollowsReturnedPromisesAndErrors) {
    auto later = PRMPromise::pendingPromise();
    auto source = PRMPromise::resolvedWith(1);
    auto followed = source->chainOnQueue(
        DispatchQueue::main(), [later](PRMValue) { return PRMValue(later); }, nullptr);
    auto failed = source->chainOnQueue(
        DispatchQueue::main(), [](PRMValue) { return PRMValue(err(3)); }, nullptr);
    auto passed =
        PRMPromise::resolvedWith(err(4))->chainOnQueue(DispatchQueue::main(), nullptr, nullptr);
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(followed->isPending());
    EXPECT_EQ(failed->error(), err(3));
    EXPECT_EQ(passed->error(), err(4));
    later->fulfill("done");
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(followed->value(), PRMValue("done"));
}

TEST_F(PRMPromiseTest, DescriptionShowsStateClassAndAddress) {
    auto p = PRMPromise::pendingPromise();
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(p.get()));
    EXPECT_EQ(p->description(), std::string("<PRMPromise ") + address + "> Pending");
    p->fulfill("x");
    EXPECT_EQ(p->description(), std::string("<PRMPromise ") + address + "> Fulfilled: x");
}

TEST_F(PRMPromiseTest, WaitForAllTracksPendingPromisesAndQueuedCallbacks) {
    sim::MainLoop::runUntilIdle();
    EXPECT_TRUE(PRMWaitForAllPromises(0));
    {
        auto dropped = PRMPromise::pendingPromise();  // destroyed pending: leaves the group
    }
    EXPECT_TRUE(PRMWaitForAllPromises(0));

    auto p = PRMPromise::pendingPromise();
    EXPECT_FALSE(PRMWaitForAllPromises(0));
    bool ran = false;
    p->observeOnQueue(
        DispatchQueue::main(), [&](PRMValue) { ran = true; }, [](NSError) {});
    p->fulfill(1);
    // The queued callback keeps the group busy; waiting pumps the main loop.
    EXPECT_TRUE(PRMWaitForAllPromises(1));
    EXPECT_TRUE(ran);
}

TEST_F(PRMPromiseTest, PendingObjectsAreReleasedAtResolution) {
    auto p = PRMPromise::pendingPromise();
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> watch = held;
    p->addPendingObject(held);
    held.reset();
    EXPECT_FALSE(watch.expired());
    p->fulfill(nullptr);
    EXPECT_TRUE(watch.expired());
}

TEST_F(PRMPromiseTest, AwaitBlocksUntilSettledFromAnotherThread) {
    auto p = PRMPromise::pendingPromise();
    std::thread settler([p] { p->reject(err(9)); });
    NSError error;
    EXPECT_TRUE(PRMPromiseAwait(p, &error).isNil());
    EXPECT_EQ(error, err(9));
    settler.join();
    EXPECT_EQ(PRMPromiseAwait(PRMPromise::resolvedWith(3)), PRMValue(3));
}

TEST_F(PRMPromiseTest, MissingArgumentsRaise) {
    auto p = PRMPromise::pendingPromise();
    EXPECT_THROW(p->observeOnQueue(
                     nullptr, [](PRMValue) {}, [](NSError) {}),
                 NSException);
    EXPECT_THROW(PRMPromise::race({}), NSException);
    p->fulfill(nullptr);
}

}  // namespace
