#include "platform/storekit/StoreKit.h"

#include <algorithm>
#include <any>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/runtime/Runtime.h"

namespace {

std::any optionalString(const std::optional<std::string>& text) {
    return text ? std::any(*text) : std::any();
}

class SKPriceLocale : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<SKPriceLocale>("SKPriceLocale")
                               .method("currencyCode",
                                       [](SKPriceLocale& self) -> std::any {
                                           return optionalString(self.currencyCode);
                                       })
                               .registerClass();
        return cls;
    }
    SKPriceLocale() : RuntimeObject(runtimeClass()) {}
    std::optional<std::string> currencyCode;
};

class SKProduct : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<SKProduct>("SKProduct")
                .method("productIdentifier", [](SKProduct& self) { return self.details.identifier; })
                .method("price",
                        [](SKProduct& self) -> std::any {
                            return self.details.price ? std::any(*self.details.price) : std::any();
                        })
                .method("priceLocale", [](SKProduct& self) -> id { return self.locale; })
                .method("localizedTitle",
                        [](SKProduct& self) -> std::any { return optionalString(self.details.title); })
                .registerClass();
        return cls;
    }
    SKProduct() : RuntimeObject(runtimeClass()) {}
    sim::StoreProduct details;
    std::shared_ptr<SKPriceLocale> locale;
};

class SKPayment : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<SKPayment>("SKPayment")
                .method("productIdentifier", [](SKPayment& self) { return self.productIdentifier; })
                .method("quantity", [](SKPayment& self) { return self.quantity; })
                .registerClass();
        return cls;
    }
    SKPayment() : RuntimeObject(runtimeClass()) {}
    std::string productIdentifier;
    std::int64_t quantity = 1;
};

class SKPaymentTransaction : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<SKPaymentTransaction>("SKPaymentTransaction")
                .method("transactionState",
                        [](SKPaymentTransaction& self) {
                            return static_cast<std::int64_t>(self.state);
                        })
                .method("transactionIdentifier",
                        [](SKPaymentTransaction& self) -> std::any {
                            return optionalString(self.identifier);
                        })
                .method("errorCode", [](SKPaymentTransaction& self) { return self.errorCode; })
                .method("payment", [](SKPaymentTransaction& self) -> id { return self.payment; })
                .registerClass();
        return cls;
    }
    SKPaymentTransaction() : RuntimeObject(runtimeClass()) {}
    SKPaymentTransactionState state = SKPaymentTransactionState::Purchasing;
    std::optional<std::string> identifier;
    std::int64_t errorCode = 0;
    std::shared_ptr<SKPayment> payment;
};

class SKProductsResponse : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<SKProductsResponse>("SKProductsResponse")
                .method("products", [](SKProductsResponse& self) { return self.products; })
                .method("invalidProductIdentifiers",
                        [](SKProductsResponse& self) { return self.invalid; })
                .registerClass();
        return cls;
    }
    SKProductsResponse() : RuntimeObject(runtimeClass()) {}
    std::vector<id> products;
    std::vector<std::string> invalid;
};

class SKProductsRequest;

struct Store {
    std::mutex mutex;
    std::vector<std::weak_ptr<NSObject>> observers;
    std::deque<std::shared_ptr<SKProductsRequest>> pending;
    bool failNextCreation = false;
};

Store& store() {
    static auto* shared = new Store();  // used from queue threads until exit
    return *shared;
}

class SKProductsRequest : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<SKProductsRequest>("SKProductsRequest")
                .classMethod("requestWithProductIdentifiers:",
                             [](RuntimeObject&, const std::vector<std::string>& identifiers) -> id {
                                 return create(identifiers);
                             })
                .method("setDelegate:",
                        [](SKProductsRequest& self, const id& delegate) {
                            std::lock_guard lock(store().mutex);
                            self.delegate = delegate;
                        })
                .method("start", [](SKProductsRequest& self) { self.start(); })
                .method("cancel", [](SKProductsRequest& self) { self.cancel(); })
                .registerClass();
        return cls;
    }
    SKProductsRequest() : RuntimeObject(runtimeClass()) {}

    static std::shared_ptr<SKProductsRequest> create(const std::vector<std::string>& identifiers) {
        {
            std::lock_guard lock(store().mutex);
            if (std::exchange(store().failNextCreation, false)) return nullptr;
        }
        if (identifiers.empty()) return nullptr;
        auto request = std::make_shared<SKProductsRequest>();
        request->identifiers = identifiers;
        std::sort(request->identifiers.begin(), request->identifiers.end());
        request->identifiers.erase(
            std::unique(request->identifiers.begin(), request->identifiers.end()),
            request->identifiers.end());
        return request;
    }

    void start() {
        std::lock_guard lock(store().mutex);
        if (started) return;
        started = true;
        // The store keeps a started request alive until it has answered.
        store().pending.push_back(std::static_pointer_cast<SKProductsRequest>(shared_from_this()));
    }
    void cancel() {
        std::lock_guard lock(store().mutex);
        auto& pending = store().pending;
        pending.erase(std::remove(pending.begin(), pending.end(), shared_from_this()),
                      pending.end());
    }

    std::vector<std::string> identifiers;
    std::weak_ptr<NSObject> delegate;
    bool started = false;
};

class SKPaymentQueue : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<SKPaymentQueue>("SKPaymentQueue")
                .classMethod("defaultQueue", [](RuntimeObject&) -> id { return shared(); })
                .method("addTransactionObserver:",
                        [](SKPaymentQueue&, const id& observer) {
                            if (!observer) return;
                            std::lock_guard lock(store().mutex);
                            auto& observers = store().observers;
                            for (const auto& known : observers)
                                if (known.lock() == observer) return;
                            observers.push_back(observer);
                        })
                .method("removeTransactionObserver:",
                        [](SKPaymentQueue&, const id& observer) {
                            std::lock_guard lock(store().mutex);
                            auto& observers = store().observers;
                            std::erase_if(observers, [&](const std::weak_ptr<NSObject>& known) {
                                auto live = known.lock();
                                return !live || live == observer;
                            });
                        })
                .registerClass();
        return cls;
    }
    SKPaymentQueue() : RuntimeObject(runtimeClass()) {}
    static std::shared_ptr<SKPaymentQueue> shared() {
        static auto* queue =
            new std::shared_ptr<SKPaymentQueue>(std::make_shared<SKPaymentQueue>());
        return *queue;
    }
};

std::vector<id> liveObservers() {
    std::lock_guard lock(store().mutex);
    std::vector<id> live;
    for (const auto& observer : store().observers)
        if (auto object = observer.lock()) live.push_back(object);
    return live;
}

std::shared_ptr<SKProductsRequest> takeOldestPending() {
    std::lock_guard lock(store().mutex);
    if (store().pending.empty()) return nullptr;
    auto request = store().pending.front();
    store().pending.pop_front();
    return request;
}

}  // namespace

namespace sim {

void installStoreKit() {
    SKPriceLocale::runtimeClass();
    SKProduct::runtimeClass();
    SKPayment::runtimeClass();
    SKPaymentTransaction::runtimeClass();
    SKProductsResponse::runtimeClass();
    SKProductsRequest::runtimeClass();
    SKPaymentQueue::runtimeClass();
}

bool isStoreKitInstalled() {
    return objc_getClass("SKPaymentQueue") != nullptr;
}

std::size_t transactionObserverCount() {
    return liveObservers().size();
}

std::vector<std::shared_ptr<NSObject>> postTransactions(
    const std::vector<StoreTransaction>& transactions) {
    installStoreKit();
    std::vector<id> made;
    for (const StoreTransaction& wanted : transactions) {
        auto payment = std::make_shared<SKPayment>();
        payment->productIdentifier = wanted.productIdentifier;
        payment->quantity = wanted.quantity;
        auto transaction = std::make_shared<SKPaymentTransaction>();
        transaction->state = wanted.state;
        transaction->identifier = wanted.identifier;
        transaction->errorCode = wanted.errorCode;
        transaction->payment = std::move(payment);
        made.push_back(std::move(transaction));
    }
    const id queue = SKPaymentQueue::shared();
    for (const id& observer : liveObservers()) {
        auto* object = dynamic_cast<RuntimeObject*>(observer.get());
        if (object && object->respondsToSelector("paymentQueue:updatedTransactions:"))
            objc_msgSend(object, "paymentQueue:updatedTransactions:", queue, made);
    }
    return made;
}

std::shared_ptr<NSObject> makeProduct(const StoreProduct& wanted) {
    installStoreKit();
    auto product = std::make_shared<SKProduct>();
    product->details = wanted;
    product->locale = std::make_shared<SKPriceLocale>();
    product->locale->currencyCode = wanted.currencyCode;
    return product;
}

std::size_t pendingProductRequests() {
    std::lock_guard lock(store().mutex);
    return store().pending.size();
}

std::vector<std::string> pendingProductRequestIdentifiers() {
    std::lock_guard lock(store().mutex);
    if (store().pending.empty()) return {};
    return store().pending.front()->identifiers;
}

bool answerProductRequest(const std::vector<StoreProduct>& products,
                          const std::vector<std::string>& invalidIdentifiers) {
    auto request = takeOldestPending();
    if (!request) return false;
    auto response = std::make_shared<SKProductsResponse>();
    for (const StoreProduct& product : products) response->products.push_back(makeProduct(product));
    response->invalid = invalidIdentifiers;
    id delegate;
    {
        std::lock_guard lock(store().mutex);
        delegate = request->delegate.lock();
    }
    auto* object = dynamic_cast<RuntimeObject*>(delegate.get());
    if (object && object->respondsToSelector("productsRequest:didReceiveResponse:"))
        objc_msgSend(object, "productsRequest:didReceiveResponse:", id(request), id(response));
    return true;
}

bool failProductRequest(const NSError& error) {
    auto request = takeOldestPending();
    if (!request) return false;
    id delegate;
    {
        std::lock_guard lock(store().mutex);
        delegate = request->delegate.lock();
    }
    auto* object = dynamic_cast<RuntimeObject*>(delegate.get());
    if (object && object->respondsToSelector("request:didFailWithError:"))
        objc_msgSend(object, "request:didFailWithError:", id(request), error);
    return true;
}

void failNextProductRequestCreation() {
    std::lock_guard lock(store().mutex);
    store().failNextCreation = true;
}

void resetStoreKit() {
    std::lock_guard lock(store().mutex);
    store().pending.clear();
    store().observers.clear();
    store().failNextCreation = false;
}

}  // namespace sim
