#include "services/crash/RZRCTRCompoundOperation.h"

#include <utility>

namespace {

Value errorAsValue(const NSError& error) {
    return Value(Dictionary{{"domain", Value(error.domain)},
                            {"code", Value(error.code)},
                            {"userInfo", Value(error.userInfo)}});
}

}  // namespace

RZRCTRCompoundOperation::RZRCTRCompoundOperation()
    : RZRCTRTKAsyncOperation("RZRCTRCompoundOperation"),
      compoundQueue_(std::make_shared<NSOperationQueue>()),
      countingQueue_(DispatchQueue::create(
          "com.zevera.reruzera.crashtrace.RZRCTRCompoundOperation.dispatch-queue.counting-queue")) {
}

std::weak_ptr<RZRCTRCompoundOperation> RZRCTRCompoundOperation::weakSelf() {
    return std::static_pointer_cast<RZRCTRCompoundOperation>(shared_from_this());
}

void RZRCTRCompoundOperation::setOperations(
    std::vector<std::shared_ptr<RZRCTRTKAsyncOperation>> operations) {
    operations_ = std::move(operations);
}

void RZRCTRCompoundOperation::main() {
    countingQueue_->sync([this] { started_ = true; });
    for (const auto& operation : operations_) {
        injectCompoundAsyncCompletionInOperation(operation);
        injectCompoundSyncCompletionInOperation(operation);
        compoundQueue_->addOperation(operation);
    }
    if (operations_.empty()) countingQueue_->sync([this] { attemptCompoundCompletion(); });
}

void RZRCTRCompoundOperation::cancel() {
    bool started = countingQueue_->syncValue([this] { return started_; });
    if (!started) {
        for (const auto& operation : operations_) operation->cancel();
        for (const auto& operation : operations_) compoundQueue_->addOperation(operation);
        NSOperation::cancel();
        return;
    }
    compoundQueue_->cancelAllOperations();
    // Cancelled first, so that this attempt finishes the compound at once
    // rather than waiting for operations that may never end.
    NSOperation::cancel();
    countingQueue_->sync([this] { attemptCompoundCompletion(); });
}

void RZRCTRCompoundOperation::injectCompoundAsyncCompletionInOperation(
    const std::shared_ptr<RZRCTRTKAsyncOperation>& op) {
    auto weak = weakSelf();
    auto previous = op->asyncCompletion();
    op->setAsyncCompletion([weak, previous](const std::optional<NSError>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (previous) self->countingQueue_->sync([&] { previous(error); });
        self->updateCompletionCountsWithError(error);
    });
}

void RZRCTRCompoundOperation::injectCompoundSyncCompletionInOperation(
    const std::shared_ptr<RZRCTRTKAsyncOperation>& op) {
    auto weak = weakSelf();
    auto previous = op->completionBlock();
    op->setCompletionBlock([weak, previous] {
        auto self = weak.lock();
        if (!self) return;
        if (previous) self->countingQueue_->sync(previous);
        self->countingQueue_->sync([&] { self->attemptCompoundCompletion(); });
    });
}

void RZRCTRCompoundOperation::updateCompletionCountsWithError(const std::optional<NSError>& error) {
    countingQueue_->sync([&] {
        if (error)
            errors_.push_back(*error);
        else
            ++completedOperations_;
    });
}

void RZRCTRCompoundOperation::attemptCompoundCompletion() {
    if (finished_) return;
    if (isCancelled()) {
        finished_ = true;
        finishWithError(
            NSError(kRZRCTRCompoundOperationErrorDomain, kRZRCTRCompoundOperationErrorCodeCancelled,
                    {{NSError::NSLocalizedDescriptionKey, Value(name() + " cancelled")}}));
        setAsyncCompletion(nullptr);
        return;
    }
    if (completedOperations_ + errors_.size() != operations_.size()) return;
    finished_ = true;
    if (errors_.empty()) {
        finishWithError(std::nullopt);
        return;
    }
    Array underlying;
    for (const auto& error : errors_) underlying.push_back(errorAsValue(error));
    finishWithError(NSError(kRZRCTRCompoundOperationErrorDomain,
                            kRZRCTRCompoundOperationErrorCodeSuboperationFailed,
                            {{kRZRCTRCompoundOperationErrorUserInfoKeyUnderlyingErrors,
                              Value(std::move(underlying))}}));
}

std::size_t RZRCTRCompoundOperation::completedOperations() {
    return countingQueue_->syncValue([this] { return completedOperations_; });
}

std::vector<NSError> RZRCTRCompoundOperation::errors() {
    return countingQueue_->syncValue([this] { return errors_; });
}
