#include "services/core/RZRInstallationsSingleOperationPromiseCache.h"

RZRInstallationsSingleOperationPromiseCache::RZRInstallationsSingleOperationPromiseCache(
    Handler newOperationHandler)
    : handler_(std::move(newOperationHandler)) {
    if (!handler_) {
        throw NSException(NSException::NSInvalidArgumentException,
                          "`newOperationHandler` must not be `nil`.");
    }
}

std::shared_ptr<PRMPromise>
RZRInstallationsSingleOperationPromiseCache::getExistingPendingOrCreateNewPromise() {
    std::lock_guard lock(mutex_);
    if (!pendingPromise_) {
        auto promise = handler_();
        pendingPromise_ = promise;
        std::weak_ptr<RZRInstallationsSingleOperationPromiseCache> weak =
            std::static_pointer_cast<RZRInstallationsSingleOperationPromiseCache>(
                shared_from_this());
        auto clear = [weak, raw = promise.get()] {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->mutex_);
            if (self->pendingPromise_.get() == raw) self->pendingPromise_.reset();
        };
        promise->observeOnQueue(
            PRMPromise::defaultDispatchQueue(), [clear](PRMValue) { clear(); },
            [clear](NSError) { clear(); });
    }
    return pendingPromise_;
}

std::shared_ptr<PRMPromise>
RZRInstallationsSingleOperationPromiseCache::getExistingPendingPromise() {
    std::lock_guard lock(mutex_);
    return pendingPromise_;
}
