#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRAsyncOperation.h"
#include "services/crash/RZRCTRCompoundOperation.h"

namespace {

constexpr auto kWait = std::chrono::seconds(20);

// Finishes from main with its error, or, when held, only when told.
class TestOperation : public RZRCTRTKAsyncOperation {
  public:
    explicit TestOperation(std::optional<NSError> error = std::nullopt, bool hold = false)
        : RZRCTRTKAsyncOperation("TestOperation"), error_(std::move(error)), hold_(hold) {}
    void main() override {
        ranMain = true;
        running.signal();
        if (!hold_) finishWithError(error_);
    }
    std::atomic<bool> ranMain{false};
    DispatchSemaphore running{0};

  private:
    std::optional<NSError> error_;
    bool hold_;
};

struct Watch {
    std::atomic<int> completions{0};
    std::atomic<int> finishedNotifications{0};
    std::optional<NSError> error;
    DispatchSemaphore done{0};

    void attach(const std::shared_ptr<RZRCTRTKAsyncOperation>& op) {
        op->setAsyncCompletion([this](const std::optional<NSError>& e) {
            error = e;
            ++completions;
        });
        op->addObserver([this](NSOperation& o, const std::string& key) {
            if (key != "isFinished" || !o.isFinished()) return;
            ++finishedNotifications;
            done.signal();
        });
    }
    bool wait() { return done.wait(sim::Duration(kWait)) == DispatchTimeoutResult::success; }
};

std::shared_ptr<RZRCTRCompoundOperation> compoundOf(
    const std::vector<std::shared_ptr<TestOperation>>& ops) {
    auto compound = std::make_shared<RZRCTRCompoundOperation>();
    compound->setName("settings");
    compound->setOperations({ops.begin(), ops.end()});
    return compound;
}

TEST(RZRCTROperationTest, LockNamesAndStates) {
    TestOperation tk;
    EXPECT_EQ(tk.lockName(), "com.zevera.reruzera.crashtrace.TestOperation-lock");
    EXPECT_EQ(RZRCTRAsyncOperation().lockName(), "com.crashtrace.async-operation-lock");
    EXPECT_TRUE(tk.isAsynchronous());
    EXPECT_TRUE(tk.isConcurrent());
}

TEST(RZRCTROperationTest, CancelledBeforeStartNeverRunsMain) {
    auto op = std::make_shared<TestOperation>();
    Watch watch;
    watch.attach(op);
    op->cancel();
    op->start();
    EXPECT_FALSE(op->ranMain);
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_EQ(watch.finishedNotifications, 1);
    EXPECT_EQ(watch.completions, 0);
}

TEST(RZRCTROperationTest, FinishingTwiceCompletesOnce) {
    auto op = std::make_shared<TestOperation>(std::nullopt, true);
    Watch watch;
    watch.attach(op);
    op->start();
    EXPECT_TRUE(op->isExecuting());
    op->finishWithError(NSError("first", 1));
    op->finishWithError(NSError("second", 2));
    op->markDone();
    EXPECT_EQ(watch.completions, 1);
    EXPECT_EQ(watch.error->domain, "first");
    EXPECT_EQ(watch.finishedNotifications, 1);
    EXPECT_FALSE(op->isExecuting());
}

TEST(RZRCTROperationTest, CompoundFinishesOnceWithTheOutcomeOfAll) {
    struct Case {
        std::vector<std::optional<NSError>> results;
        std::optional<long long> code;
        std::size_t underlying;
    };
    const std::vector<Case> cases = {
        {{std::nullopt, std::nullopt, std::nullopt}, std::nullopt, 0},
        {{std::nullopt, NSError("op", 7), std::nullopt}, 4294967293LL, 1},
        {{NSError("op", 1), NSError("op", 2)}, 4294967293LL, 2},
        {{}, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::shared_ptr<TestOperation>> ops;
        for (const auto& r : c.results) ops.push_back(std::make_shared<TestOperation>(r));
        auto compound = compoundOf(ops);
        Watch watch;
        watch.attach(compound);
        compound->start();
        ASSERT_TRUE(watch.wait());
        EXPECT_TRUE(compound->isFinished());
        EXPECT_EQ(watch.completions, 1);
        ASSERT_EQ(watch.error.has_value(), c.code.has_value());
        if (!c.code) continue;
        EXPECT_EQ(watch.error->domain, kRZRCTRCompoundOperationErrorDomain);
        EXPECT_EQ(watch.error->code, *c.code);
        const Array* list =
            watch.error->userInfo[kRZRCTRCompoundOperationErrorUserInfoKeyUnderlyingErrors]
                .asArray();
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->size(), c.underlying);
    }
}

TEST(RZRCTROperationTest, CompoundKeepsTheOwnersCompletions) {
    auto ops = std::vector{std::make_shared<TestOperation>(), std::make_shared<TestOperation>()};
    std::atomic<int> ownerCalls{0};
    for (auto& op : ops) op->setAsyncCompletion([&](const auto&) { ++ownerCalls; });
    auto compound = compoundOf(ops);
    Watch watch;
    watch.attach(compound);
    compound->start();
    ASSERT_TRUE(watch.wait());
    EXPECT_EQ(ownerCalls, 2);
    EXPECT_EQ(compound->completedOperations(), 2u);
}

TEST(RZRCTROperationTest, CompoundCancelledWhileRunningFinishesOnce) {
    auto ops = std::vector{std::make_shared<TestOperation>(std::nullopt, true),
                           std::make_shared<TestOperation>(std::nullopt, true)};
    auto compound = compoundOf(ops);
    Watch watch;
    watch.attach(compound);
    compound->start();
    for (auto& op : ops)
        ASSERT_EQ(op->running.wait(sim::Duration(kWait)), DispatchTimeoutResult::success);
    compound->cancel();
    ASSERT_TRUE(watch.wait());
    EXPECT_EQ(watch.error->code, 4294967294LL);
    EXPECT_EQ(watch.error->localizedDescription(), "settings cancelled");
    // Late completions of the cancelled operations, and any later attempt,
    // leave the finished compound alone.
    for (auto& op : ops) op->finishWithError(NSError("late", 1));
    compound->countingQueue()->sync([&] { compound->attemptCompoundCompletion(); });
    EXPECT_EQ(watch.completions, 1);
    EXPECT_EQ(watch.finishedNotifications, 1);
}

TEST(RZRCTROperationTest, CompoundCancelledBeforeStartFinishesItsOperationsAndItself) {
    auto ops = std::vector{std::make_shared<TestOperation>(), std::make_shared<TestOperation>()};
    DispatchSemaphore opsDone(0);
    for (auto& op : ops) op->setCompletionBlock([&] { opsDone.signal(); });
    auto compound = compoundOf(ops);
    compound->cancel();
    for (std::size_t i = 0; i < ops.size(); ++i)
        ASSERT_EQ(opsDone.wait(sim::Duration(kWait)), DispatchTimeoutResult::success);
    for (auto& op : ops) {
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(op->isFinished());
        EXPECT_FALSE(op->ranMain);
    }
    compound->start();
    EXPECT_TRUE(compound->isFinished());
    EXPECT_FALSE(compound->isExecuting());
}

}  // namespace
