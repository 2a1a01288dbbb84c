#include "services/crash/RZRCTRAsyncOperation.h"

#include <utility>

RZRCTRAsyncOperationCore::RZRCTRAsyncOperationCore(std::string lockName)
    : lockName_(std::move(lockName)) {}

bool RZRCTRAsyncOperationCore::isExecuting() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return internalExecuting_;
}

bool RZRCTRAsyncOperationCore::isFinished() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return internalFinished_;
}

void RZRCTRAsyncOperationCore::start() {
    if (checkForCancellation()) return;
    markStarted();
    main();
}

bool RZRCTRAsyncOperationCore::checkForCancellation() {
    if (!isCancelled()) return false;
    markDone();
    return true;
}

void RZRCTRAsyncOperationCore::markStarted() {
    lock([this] { unlockedMarkStarted(); });
}

void RZRCTRAsyncOperationCore::markDone() {
    if (claimFinish()) finalizeFinish();
}

void RZRCTRAsyncOperationCore::finalizeFinish() {
    lock([this] {
        unlockedMarkComplete();
        unlockedMarkFinished();
    });
}

void RZRCTRAsyncOperationCore::lock(const std::function<void()>& block) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    block();
}

void RZRCTRAsyncOperationCore::unlockedMarkStarted() {
    changeValueForKey("isExecuting", [this] { internalExecuting_ = true; });
}

void RZRCTRAsyncOperationCore::unlockedMarkComplete() {
    changeValueForKey("isExecuting", [this] { internalExecuting_ = false; });
}

void RZRCTRAsyncOperationCore::unlockedMarkFinished() {
    changeValueForKey("isFinished", [this] { internalFinished_ = true; });
}

void RZRCTRAsyncOperationCore::changeValueForKey(const std::string& key,
                                                 const std::function<void()>& block) {
    willChangeValueForKey(key);
    block();
    didChangeValueForKey(key);
}

bool RZRCTRAsyncOperationCore::claimFinish() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (finishClaimed_ || internalFinished_) return false;
    finishClaimed_ = true;
    return true;
}

RZRCTRTKAsyncOperation::RZRCTRTKAsyncOperation(const std::string& concreteClassName)
    : RZRCTRAsyncOperationCore("com.zevera.reruzera.crashtrace." + concreteClassName + "-lock") {}

void RZRCTRTKAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
    std::lock_guard<std::mutex> guard(completionMutex_);
    asyncCompletion_ = std::move(completion);
}

RZRCTRTKAsyncOperation::AsyncCompletion RZRCTRTKAsyncOperation::asyncCompletion() const {
    std::lock_guard<std::mutex> guard(completionMutex_);
    return asyncCompletion_;
}

void RZRCTRTKAsyncOperation::finishWithError(const std::optional<NSError>& error) {
    // The completion runs outside the lock: it may wait on other queues.
    if (!claimFinish()) return;
    if (auto completion = asyncCompletion()) completion(error);
    finalizeFinish();
}

RZRCTRAsyncOperation::RZRCTRAsyncOperation()
    : RZRCTRAsyncOperationCore("com.crashtrace.async-operation-lock") {}
