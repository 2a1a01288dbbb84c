#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "platform/foundation/Object.h"
#include "services/measurement/APMValue.h"

// Reports completed store purchases as "_iap" (origin "auto"): the
// transactions that passed the engine's de-duplication arrive here, the
// products they name are fetched from the store when not cached, and each
// purchase with a complete set of parameters is logged. Reporting runs on the
// default-priority global queue.
//
// Transactions and products are the store's runtime objects: a transaction
// answers "transactionState" (int64_t), "transactionIdentifier" (a string,
// or nothing for none), "errorCode" and "payment" (answering
// "productIdentifier" and "quantity"); a product answers "productIdentifier",
// "price" (double, or nothing), "priceLocale" (answering "currencyCode") and
// "localizedTitle".
class APMInAppPurchaseTransactionReporter {
  public:
    // The transaction state of a completed purchase.
    static constexpr int64_t kPurchasedState = 1;

    static APMInAppPurchaseTransactionReporter& sharedInstance();
    // The MD5 of a purchased transaction's identifier, as 32 lower-case hex
    // digits; nullopt for anything else, a missing or empty identifier or
    // one made only of "0" and "-".
    static std::optional<std::string> transactionFingerprint(
        const std::shared_ptr<NSObject>& transaction);
    // The product identifier of a transaction's payment ("" when none).
    static std::string productIdentifierOfTransaction(const std::shared_ptr<NSObject>& transaction);
    // Keeps purchases naming a product, fetches the products not cached,
    // then reports.
    void paymentQueueUpdatedFilteredTransactions(
        const std::shared_ptr<NSObject>& paymentQueue,
        const std::vector<std::shared_ptr<NSObject>>& transactions);
    // One "_iap" per transaction whose cached product gives complete
    // parameters.
    void reportTransactionsFromArray(const std::vector<std::shared_ptr<NSObject>>& transactions);

    // Tests: what reached the reporter so far, oldest first.
    std::vector<std::shared_ptr<NSObject>> reportedTransactions() const;
    // Tests: returns once every report and product fetch started so far has
    // finished; a fetch the store has not answered keeps it waiting.
    void waitForPendingWorkForTesting();

  private:
    void beginWork();
    void endWork();

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    int pendingWork_ = 0;
    std::vector<std::shared_ptr<NSObject>> reported_;
};

// The "_iap" parameters of a purchase: "product_id", "price", "value",
// "quantity", "currency", "product_name"; nullopt (logged for a missing
// product or transaction) when product, transaction, price, value, currency
// or identifier is missing.
std::optional<APMEventParameters> APMPurchaseEventParameters(
    const std::shared_ptr<NSObject>& product, const std::shared_ptr<NSObject>& transaction);

// quantity x price in millionths of the currency unit, truncated toward
// zero. Amounts beyond the 64-bit range stop at its limits instead of
// wrapping; nullopt for a price that is not a number.
std::optional<int64_t> APMPurchaseValueMicros(double price, int64_t quantity);
