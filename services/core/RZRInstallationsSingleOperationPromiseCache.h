#pragma once
// Merges concurrent callers into one running operation: while the promise of
// the operation is pending, every caller receives that promise; once it has
// settled (and its clearing block has run on the promise library's default
// queue) the next caller starts the operation anew.

#include <functional>
#include <memory>
#include <mutex>

#include "platform/foundation/Object.h"
#include "services/util/PRMPromise.h"

class RZRInstallationsSingleOperationPromiseCache : public NSObject {
  public:
    using Handler = std::function<std::shared_ptr<PRMPromise>()>;

    // An empty handler raises NSInvalidArgumentException. The handler runs
    // under the cache's lock: it must only start work and return its promise.
    explicit RZRInstallationsSingleOperationPromiseCache(Handler newOperationHandler);
    std::string className() const override { return "RZRInstallationsSingleOperationPromiseCache"; }

    std::shared_ptr<PRMPromise> getExistingPendingOrCreateNewPromise();
    // The operation now running, or null.
    std::shared_ptr<PRMPromise> getExistingPendingPromise();

  private:
    std::recursive_mutex mutex_;
    Handler handler_;
    std::shared_ptr<PRMPromise> pendingPromise_;
};
