#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include "platform/foundation/Object.h"

// Reports the purchases that passed the engine's filter.
class APMInAppPurchaseTransactionReporter {
  public:
    // The transaction state of a completed purchase.
    static constexpr int64_t kPurchasedState = 1;

    static APMInAppPurchaseTransactionReporter& sharedInstance();
    // The MD5 of a purchased transaction's identifier, as 32 lower-case hex
    // digits; nullopt for anything else, an empty identifier or one made only
    // of "0" and "-". A transaction is a runtime object answering
    // "transactionState" (int64_t) and "transactionIdentifier" (string).
    static std::optional<std::string> transactionFingerprint(
        const std::shared_ptr<NSObject>& transaction);
    void paymentQueueUpdatedFilteredTransactions(
        const std::shared_ptr<NSObject>& paymentQueue,
        const std::vector<std::shared_ptr<NSObject>>& transactions);
    // Tests: what was reported so far, oldest first.
    std::vector<std::shared_ptr<NSObject>> reportedTransactions() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<NSObject>> reported_;
};

// quantity x price in millionths of the currency unit, truncated toward
// zero. Amounts beyond the 64-bit range stop at its limits instead of
// wrapping; nullopt for a price that is not a number.
std::optional<int64_t> APMPurchaseValueMicros(double price, int64_t quantity);
