#pragma once
// The store's product information for purchase reporting: one products
// request in flight (APMProductsRequest) and the process-wide cache of the
// answers (APMInAppPurchaseProductCache). The store classes are looked up at
// run time; without them every request fails with "Invalid product
// identifiers." (code 1).

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/runtime/Runtime.h"

class DispatchQueue;

// Products by identifier, invalid identifiers, and the store's error (none
// on success).
using APMProductsHandler = std::function<void(const std::map<std::string, id>& products,
                                              const std::set<std::string>& invalidIdentifiers,
                                              const std::optional<NSError>& error)>;

// One store request; the delegate of the store's "SKProductsRequest". The
// handler runs once, on the given queue; answers after that are ignored.
class APMProductsRequest : public RuntimeObject {
  public:
    static Class runtimeClass();
    // Nothing without queue or handler.
    static void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                                      std::shared_ptr<DispatchQueue> queue,
                                                      APMProductsHandler handler);

    APMProductsRequest();
    // False when the store request cannot be made for the identifiers.
    bool initWithProductIdentifiers(const std::set<std::string>& identifiers);
    void requestWithQueue(std::shared_ptr<DispatchQueue> queue, APMProductsHandler handler);
    void productsRequestDidReceiveResponse(const id& request, const id& response);
    void requestDidFailWithError(const id& request, const NSError& error);
    // Releases the store request, the handler and the queue.
    void clearInstance();

  private:
    // Takes handler and queue (both empty once taken or cleared).
    bool take(APMProductsHandler* handler, std::shared_ptr<DispatchQueue>* queue);

    std::mutex mutex_;
    id productsRequest_;
    APMProductsHandler completionHandler_;
    std::shared_ptr<DispatchQueue> queue_;
};

// Products the store answered, and identifiers it declared invalid. Both
// live on the serial queue "com.zevera.ruv.measurement.iap-cache"; when they
// hold more than kMaxEntries together after an answer is merged, only that
// answer is kept.
class APMInAppPurchaseProductCache
    : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
  public:
    static constexpr const char* kLockQueueLabel = "com.zevera.ruv.measurement.iap-cache";
    static constexpr std::size_t kMaxEntries = 100;

    static std::shared_ptr<APMInAppPurchaseProductCache> sharedInstance();
    APMInAppPurchaseProductCache();

    // The cached product or null; waits for the lock queue, so never call it
    // from there.
    id cachedProductForProductIdentifier(const std::string& identifier);
    bool isInvalidProductIdentifier(const std::string& identifier);
    // Asks the store, merges the answer, then calls the handler on `queue`
    // with that answer alone. Nothing without queue or handler.
    void requestProductsWithProductIdentifiers(const std::set<std::string>& identifiers,
                                               std::shared_ptr<DispatchQueue> queue,
                                               APMProductsHandler handler);

    // Tests.
    std::size_t entryCountForTesting();
    void resetForTesting();

  private:
    void mergeOnLockQueue(const std::map<std::string, id>& products,
                          const std::set<std::string>& invalidIdentifiers);

    std::shared_ptr<DispatchQueue> lockQueue_;
    std::map<std::string, id> validProducts_;
    std::set<std::string> invalidProductIdentifiers_;
};
