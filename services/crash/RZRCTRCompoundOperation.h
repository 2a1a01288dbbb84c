#pragma once
// Runs a list of asynchronous operations concurrently and finishes once all
// of them have: with no error when all succeeded, with the failure error
// (their errors listed) when any failed, with the cancellation error when
// cancelled. It finishes exactly once, whatever order completions and
// cancellation arrive in.
//
// Operations placed in a compound must end through finishWithError.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRAsyncOperation.h"

inline constexpr const char* kRZRCTRCompoundOperationErrorDomain =
    "com.zevera.reruzera.crashtrace.RZRCTRCompoundOperation.error";
inline constexpr const char* kRZRCTRCompoundOperationErrorUserInfoKeyUnderlyingErrors =
    "com.zevera.reruzera.crashtrace.RZRCTRCompoundOperation.error.user-info-key.underlying-errors";
inline constexpr std::int64_t kRZRCTRCompoundOperationErrorCodeCancelled = 4294967294LL;
inline constexpr std::int64_t kRZRCTRCompoundOperationErrorCodeSuboperationFailed = 4294967293LL;

class RZRCTRCompoundOperation : public RZRCTRTKAsyncOperation {
  public:
    RZRCTRCompoundOperation();
    std::string className() const override { return "RZRCTRCompoundOperation"; }

    // Set by the owner before start.
    void setOperations(std::vector<std::shared_ptr<RZRCTRTKAsyncOperation>> operations);
    const std::vector<std::shared_ptr<RZRCTRTKAsyncOperation>>& operations() const {
        return operations_;
    }
    const std::shared_ptr<NSOperationQueue>& compoundQueue() const { return compoundQueue_; }
    const std::shared_ptr<DispatchQueue>& countingQueue() const { return countingQueue_; }

    void main() override;
    void cancel() override;

    void injectCompoundAsyncCompletionInOperation(
        const std::shared_ptr<RZRCTRTKAsyncOperation>& op);
    void injectCompoundSyncCompletionInOperation(const std::shared_ptr<RZRCTRTKAsyncOperation>& op);
    // On the counting queue.
    void updateCompletionCountsWithError(const std::optional<NSError>& error);
    // On the counting queue.
    void attemptCompoundCompletion();

    // Read on the counting queue.
    std::size_t completedOperations();
    std::vector<NSError> errors();

  private:
    std::weak_ptr<RZRCTRCompoundOperation> weakSelf();

    std::vector<std::shared_ptr<RZRCTRTKAsyncOperation>> operations_;
    std::shared_ptr<NSOperationQueue> compoundQueue_;
    std::shared_ptr<DispatchQueue> countingQueue_;
    // Guarded by the counting queue.
    std::size_t completedOperations_ = 0;
    std::vector<NSError> errors_;
    bool started_ = false;
    bool finished_ = false;
};
