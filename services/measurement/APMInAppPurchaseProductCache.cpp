#include "services/measurement/APMInAppPurchaseProductCache.h"

#include <utility>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "services/measurement/APMErrors.h"

Class APMProductsRequest::runtimeClass() {
    static Class cls =
        ClassBuilder<APMProductsRequest>("APMProductsRequest")
            .method("productsRequest:didReceiveResponse:",
                    &APMProductsRequest::productsRequestDidReceiveResponse)
            .method("request:didFailWithError:", &APMProductsRequest::requestDidFailWithError)
            .registerClass();
    return cls;
}

APMProductsRequest::APMProductsRequest() : RuntimeObject(runtimeClass()) {}

void APMProductsRequest::requestProductsWithProductIdentifiers(
    const std::set<std::string>& identifiers, std::shared_ptr<DispatchQueue> queue,
    APMProductsHandler handler) {
    if (!queue || !handler) return;
    auto request = std::make_shared<APMProductsRequest>();
    if (!request->initWithProductIdentifiers(identifiers)) {
        queue->async([handler = std::move(handler)] {
            handler({}, {}, apm_errorWithCode(1, "Invalid product identifiers."));
        });
        return;
    }
    // The handler keeps the request alive until it has run; the store holds
    // its delegate weakly.
    request->requestWithQueue(queue, [request, handler = std::move(handler)](
                                         const auto& products, const auto& invalid,
                                         const auto& error) { handler(products, invalid, error); });
}

bool APMProductsRequest::initWithProductIdentifiers(const std::set<std::string>& identifiers) {
    Class cls = objc_lookUpClass("SKProductsRequest");
    if (!cls || !class_respondsToSelector(object_getClass(cls), "requestWithProductIdentifiers:"))
        return false;
    const std::vector<std::string> list(identifiers.begin(), identifiers.end());
    id request =
        objc_msgSend<id>(static_cast<RuntimeObject*>(cls), "requestWithProductIdentifiers:", list);
    if (!request) return false;
    std::lock_guard lock(mutex_);
    productsRequest_ = std::move(request);
    return true;
}

void APMProductsRequest::requestWithQueue(std::shared_ptr<DispatchQueue> queue,
                                          APMProductsHandler handler) {
    id request;
    {
        std::lock_guard lock(mutex_);
        completionHandler_ = std::move(handler);
        queue_ = std::move(queue);
        request = productsRequest_;
    }
    if (!request) return;
    objc_msgSend(request, "setDelegate:", shared_from_this());
    objc_msgSend(request, "start");
}

bool APMProductsRequest::take(APMProductsHandler* handler, std::shared_ptr<DispatchQueue>* queue) {
    std::lock_guard lock(mutex_);
    if (!completionHandler_ || !queue_) return false;
    *handler = std::move(completionHandler_);
    *queue = std::move(queue_);
    completionHandler_ = nullptr;
    queue_.reset();
    return true;
}

void APMProductsRequest::productsRequestDidReceiveResponse(const id&, const id& response) {
    APMProductsHandler handler;
    std::shared_ptr<DispatchQueue> queue;
    if (!take(&handler, &queue)) return;
    std::map<std::string, id> products;
    std::set<std::string> invalid;
    if (auto object = std::dynamic_pointer_cast<RuntimeObject>(response)) {
        for (const id& product : objc_msgSend<std::vector<id>>(object, "products")) {
            auto item = std::dynamic_pointer_cast<RuntimeObject>(product);
            if (!item || !item->respondsToSelector("productIdentifier")) continue;
            auto identifier = objc_msgSend<std::string>(item, "productIdentifier");
            if (!identifier.empty()) products.emplace(std::move(identifier), product);
        }
        for (auto& identifier :
             objc_msgSend<std::vector<std::string>>(object, "invalidProductIdentifiers"))
            invalid.insert(std::move(identifier));
    }
    auto self = std::static_pointer_cast<APMProductsRequest>(shared_from_this());
    std::weak_ptr<APMProductsRequest> weak = self;
    queue->async([weak, handler = std::move(handler), products = std::move(products),
                  invalid = std::move(invalid)] {
        auto request = weak.lock();
        if (!request) return;
        handler(products, invalid, std::nullopt);
        request->clearInstance();
    });
}

void APMProductsRequest::requestDidFailWithError(const id&, const NSError& error) {
    APMProductsHandler handler;
    std::shared_ptr<DispatchQueue> queue;
    if (!take(&handler, &queue)) return;
    auto self = std::static_pointer_cast<APMProductsRequest>(shared_from_this());
    std::weak_ptr<APMProductsRequest> weak = self;
    queue->async([weak, handler = std::move(handler), error] {
        auto request = weak.lock();
        if (!request) return;
        handler({}, {}, error);
        request->clearInstance();
    });
}

void APMProductsRequest::clearInstance() {
    std::lock_guard lock(mutex_);
    productsRequest_.reset();
    completionHandler_ = nullptr;
    queue_.reset();
}

// ---- cache

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::sharedInstance() {
    // Kept for the process: store answers arrive on its queue at any time.
    static auto* shared = new std::shared_ptr<APMInAppPurchaseProductCache>(
        std::make_shared<APMInAppPurchaseProductCache>());
    return *shared;
}

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(DispatchQueue::create(kLockQueueLabel)) {}

id APMInAppPurchaseProductCache::cachedProductForProductIdentifier(const std::string& identifier) {
    id product;
    lockQueue_->sync([&] {
        auto it = validProducts_.find(identifier);
        if (it != validProducts_.end()) product = it->second;
    });
    return product;
}

bool APMInAppPurchaseProductCache::isInvalidProductIdentifier(const std::string& identifier) {
    bool invalid = false;
    lockQueue_->sync([&] { invalid = invalidProductIdentifiers_.count(identifier) > 0; });
    return invalid;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& identifiers, std::shared_ptr<DispatchQueue> queue,
    APMProductsHandler handler) {
    if (!queue || !handler) return;
    std::weak_ptr<APMInAppPurchaseProductCache> weak = weak_from_this();
    APMProductsRequest::requestProductsWithProductIdentifiers(
        identifiers, lockQueue_,
        [weak, queue, handler = std::move(handler)](const std::map<std::string, id>& products,
                                                    const std::set<std::string>& invalid,
                                                    const std::optional<NSError>& error) {
            auto self = weak.lock();
            if (!self) return;
            self->mergeOnLockQueue(products, invalid);
            queue->async(
                [handler, products, invalid, error] { handler(products, invalid, error); });
        });
}

void APMInAppPurchaseProductCache::mergeOnLockQueue(const std::map<std::string, id>& products,
                                                    const std::set<std::string>& invalid) {
    for (const auto& [identifier, product] : products) validProducts_[identifier] = product;
    for (const auto& identifier : invalid) {
        validProducts_.erase(identifier);
        invalidProductIdentifiers_.insert(identifier);
    }
    for (const auto& [identifier, product] : products) invalidProductIdentifiers_.erase(identifier);
    if (validProducts_.size() + invalidProductIdentifiers_.size() > kMaxEntries) {
        validProducts_ = products;
        invalidProductIdentifiers_ = invalid;
    }
}

std::size_t APMInAppPurchaseProductCache::entryCountForTesting() {
    std::size_t count = 0;
    lockQueue_->sync([&] { count = validProducts_.size() + invalidProductIdentifiers_.size(); });
    return count;
}

void APMInAppPurchaseProductCache::resetForTesting() {
    lockQueue_->sync([&] {
        validProducts_.clear();
        invalidProductIdentifiers_.clear();
    });
}
