#pragma once
// In-app purchase stand-in: the store's runtime classes. They exist only once
// a test or the console installs them (sim::installStoreKit), so callers look
// them up by name at run time and cope with their absence.
//
// What callers reach through the runtime:
//  * +[SKPaymentQueue defaultQueue]; -addTransactionObserver: and
//    -removeTransactionObserver: (observers are held weakly; adding one twice
//    keeps one entry). An observer answers -paymentQueue:updatedTransactions:
//    (the queue, std::vector<id> of transactions).
//  * SKPaymentTransaction: -transactionState (int64_t, SKPaymentTransactionState),
//    -transactionIdentifier (std::string, or an empty value for nil),
//    -errorCode (int64_t, 0 without error), -payment.
//  * SKPayment: -productIdentifier (std::string), -quantity (int64_t).
//  * SKProduct: -productIdentifier (std::string), -price (double, or an empty
//    value for none), -priceLocale (an "SKPriceLocale" answering -currencyCode,
//    std::string or an empty value), -localizedTitle (std::string or an empty
//    value).
//  * +[SKProductsRequest requestWithProductIdentifiers:] (std::vector<std::string>):
//    a new request, nil for an empty list or when told to fail; -setDelegate:
//    (held weakly), -start, -cancel. The delegate answers
//    -productsRequest:didReceiveResponse: (request, SKProductsResponse) or
//    -request:didFailWithError: (request, NSError).
//  * SKProductsResponse: -products (std::vector<id>), -invalidProductIdentifiers
//    (std::vector<std::string>).
//
// Guarantees: transactions and answers are delivered on the thread of the
// sim:: call that makes them, never inline in an interface call; a started
// request waits until sim:: answers it; a cancelled request is never answered.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

enum class SKPaymentTransactionState : std::int64_t {
    Purchasing = 0,
    Purchased = 1,
    Failed = 2,
    Restored = 3,
    Deferred = 4,
};

namespace sim {

// Registers the classes (once per process; they cannot be removed again).
void installStoreKit();
bool isStoreKitInstalled();

struct StoreTransaction {
    std::optional<std::string> identifier;  // nullopt: the transaction has none
    std::string productIdentifier;
    std::int64_t quantity = 1;
    SKPaymentTransactionState state = SKPaymentTransactionState::Purchased;
    std::int64_t errorCode = 0;
};

struct StoreProduct {
    std::string identifier;
    std::optional<double> price;
    std::optional<std::string> currencyCode;
    std::optional<std::string> title;
};

// The default queue's live observers.
std::size_t transactionObserverCount();
// Makes the transactions and delivers them as one batch to every live
// observer of the default queue; answers the transaction objects. Installs
// the classes when needed.
std::vector<std::shared_ptr<NSObject>> postTransactions(
    const std::vector<StoreTransaction>& transactions);
// A product object as the store would answer it.
std::shared_ptr<NSObject> makeProduct(const StoreProduct& product);

// Started requests not answered yet, oldest first.
std::size_t pendingProductRequests();
// The identifiers the oldest pending request asks for (sorted).
std::vector<std::string> pendingProductRequestIdentifiers();
// Answers the oldest pending request with products and invalid identifiers;
// false when none is pending.
bool answerProductRequest(const std::vector<StoreProduct>& products,
                          const std::vector<std::string>& invalidIdentifiers);
// Fails the oldest pending request; false when none is pending.
bool failProductRequest(const NSError& error);
// The next requestWithProductIdentifiers: answers nil.
void failNextProductRequestCreation();
// Forgets pending requests, observers and a pending creation failure.
void resetStoreKit();

}  // namespace sim
