#include "services/measurement/APMInAppPurchaseTransactionReporter.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"

namespace {

std::shared_ptr<RuntimeObject> asRuntimeObject(const std::shared_ptr<NSObject>& object) {
    return std::dynamic_pointer_cast<RuntimeObject>(object);
}

std::string productIdentifierOf(const std::shared_ptr<NSObject>& transaction) {
    auto object = asRuntimeObject(transaction);
    if (!object || !object->respondsToSelector("productIdentifier")) return {};
    return objc_msgSend<std::string>(object, "productIdentifier");
}

int64_t stateOf(const std::shared_ptr<RuntimeObject>& transaction) {
    if (!transaction || !transaction->respondsToSelector("transactionState")) return -1;
    return objc_msgSend<int64_t>(transaction, "transactionState");
}

}  // namespace

APMInAppPurchaseTransactionReporter& APMInAppPurchaseTransactionReporter::sharedInstance() {
    static auto* reporter = new APMInAppPurchaseTransactionReporter();
    return *reporter;
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const std::shared_ptr<NSObject>& transaction) {
    auto& monitor = APMMeasurement::monitor();
    if (!transaction) {
        monitor.logWithLevel(2, 21014, "Transaction is nil");
        return std::nullopt;
    }
    auto object = asRuntimeObject(transaction);
    if (stateOf(object) != kPurchasedState) return std::nullopt;
    if (!object->respondsToSelector("transactionIdentifier")) {
        monitor.logWithLevel(2, 21015, "Transaction identifier is nil. Code");
        return std::nullopt;
    }
    const auto identifier = objc_msgSend<std::string>(object, "transactionIdentifier");
    if (identifier.empty()) {
        monitor.logWithLevel(2, 21016, "Transaction identifier is empty. Code");
        return std::nullopt;
    }
    if (identifier.find_first_not_of("0-") == std::string::npos) {
        monitor.logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code");
        return std::nullopt;
    }
    return apm_MD5String(identifier);
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::shared_ptr<NSObject>&, const std::vector<std::shared_ptr<NSObject>>& transactions) {
    std::lock_guard lock(mutex_);
    reported_.insert(reported_.end(), transactions.begin(), transactions.end());
}

std::vector<std::shared_ptr<NSObject>> APMInAppPurchaseTransactionReporter::reportedTransactions()
    const {
    std::lock_guard lock(mutex_);
    return reported_;
}

std::optional<int64_t> APMPurchaseValueMicros(double price, int64_t quantity) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    if (std::isnan(price)) return std::nullopt;
    if (quantity == 0 || price == 0) return 0;
    if (std::isinf(price)) return (price > 0) == (quantity > 0) ? kMax : kMin;
    // Store prices are decimal: work on the shortest decimal that reads back
    // as this double ("0.99", not 0.98999...), exactly, in 128 bits.
    char text[64];
    const auto written =
        std::to_chars(text, text + sizeof text, std::fabs(price), std::chars_format::scientific);
    const std::string_view decimal(text, static_cast<size_t>(written.ptr - text));
    const size_t e = decimal.find('e');
    __int128 amount = 0;
    int digits = 0;
    for (char c : decimal.substr(0, e)) {
        if (c == '.') continue;
        amount = amount * 10 + (c - '0');
        ++digits;
    }
    int scale = std::stoi(std::string(decimal.substr(e + 1))) - (digits - 1) + 6;
    amount *= quantity;  // below 10^17 x 2^63: fits
    if (price < 0) amount = -amount;
    const __int128 limit = static_cast<__int128>(kMax) + 1;
    for (; scale > 0 && amount > -limit && amount < limit; --scale) amount *= 10;
    for (; scale < 0 && amount != 0; ++scale) amount /= 10;  // toward zero
    if (amount >= limit) return kMax;
    if (amount < -limit) return kMin;
    return static_cast<int64_t>(amount);
}

void APMMeasurement::filterPurchaseTransactions(
    std::vector<std::shared_ptr<NSObject>> transactions,
    std::function<void(std::vector<std::shared_ptr<NSObject>>)> callback) {
    if (!callback) return;
    scheduleWeakly("APMMeasurement:3380", [transactions = std::move(transactions),
                                           callback = std::move(callback)](
                                              const std::shared_ptr<APMMeasurement>& engine) {
        std::vector<std::shared_ptr<NSObject>> kept;
        for (const auto& transaction : transactions) {
            if (stateOf(asRuntimeObject(transaction)) !=
                APMInAppPurchaseTransactionReporter::kPurchasedState) {
                continue;
            }
            const auto fingerprint =
                APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction);
            const auto productID = productIdentifierOf(transaction);
            if (!fingerprint || fingerprint->empty()) {
                APMMeasurement::monitor().logWithLevel(
                    2, 23139,
                    "Purchase has nil or empty fingerprint. Purchase "
                    "will not be checked for duplicates. Product ID",
                    APMMonitorContext(productID));
                kept.push_back(transaction);
                continue;
            }
            APMDatabase* database = engine->database();
            NSError error;
            const auto inserted =
                database ? database->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error)
                         : std::nullopt;
            if (!inserted) {
                APMMeasurement::monitor().logWithLevel(
                    1, 23140,
                    "Failed to save purchase fingerprint. Purchase will "
                    "not be checked for duplicates. Product ID, error",
                    APMMonitorContext(productID));
                kept.push_back(transaction);
            } else if (*inserted) {
                kept.push_back(transaction);
            } else {
                APMMeasurement::monitor().logWithLevel(
                    4, 23141, "Purchase is a duplicate and will not be reported. Product ID",
                    APMMonitorContext(productID));
            }
        }
        callback(std::move(kept));
    });
}
