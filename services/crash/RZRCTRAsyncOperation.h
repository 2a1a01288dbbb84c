#pragma once
// Operations whose work goes on after main returns: they report finished
// later, from whatever thread their work completes on.
//
// A subclass overrides main, starts its work there and ends it with
// finishWithError (or markDone). Finishing is claimed once: later calls do
// nothing, so the owner's completion and the finished notification come
// exactly once.

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/operation/Operation.h"

// The shared machinery of both asynchronous bases.
class RZRCTRAsyncOperationCore : public NSOperation {
  public:
    bool isConcurrent() const override { return true; }
    bool isAsynchronous() const override { return true; }
    bool isExecuting() const override;
    bool isFinished() const override;

    void start() override;
    // markDone and true when cancelled.
    bool checkForCancellation();
    void markStarted();
    void markDone();

    const std::string& lockName() const { return lockName_; }
    void lock(const std::function<void()>& block);

  protected:
    explicit RZRCTRAsyncOperationCore(std::string lockName);
    void unlockedMarkStarted();
    void unlockedMarkComplete();
    void unlockedMarkFinished();
    void changeValueForKey(const std::string& key, const std::function<void()>& block);
    // Claims the right to finish; false when the operation finished (or is
    // finishing) already.
    bool claimFinish();
    // Executing NO, then finished YES; after a successful claimFinish.
    void finalizeFinish();

  private:
    std::string lockName_;
    mutable std::recursive_mutex lock_;
    bool internalExecuting_ = false;
    bool internalFinished_ = false;
    bool finishClaimed_ = false;
};

class RZRCTRTKAsyncOperation : public RZRCTRAsyncOperationCore {
  public:
    using AsyncCompletion = std::function<void(const std::optional<NSError>& error)>;

    // The lock is named after the concrete class: pass its className().
    explicit RZRCTRTKAsyncOperation(
        const std::string& concreteClassName = "RZRCTRTKAsyncOperation");
    std::string className() const override { return "RZRCTRTKAsyncOperation"; }

    void setAsyncCompletion(AsyncCompletion completion);
    AsyncCompletion asyncCompletion() const;

    // Calls the completion with the error, then markDone; only the first call
    // does anything.
    void finishWithError(const std::optional<NSError>& error);

  private:
    mutable std::mutex completionMutex_;
    AsyncCompletion asyncCompletion_;
};

class RZRCTRAsyncOperation : public RZRCTRAsyncOperationCore {
  public:
    RZRCTRAsyncOperation();
    std::string className() const override { return "RZRCTRAsyncOperation"; }
};
