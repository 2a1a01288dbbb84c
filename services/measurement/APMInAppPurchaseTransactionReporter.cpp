#include "services/measurement/APMInAppPurchaseTransactionReporter.h"

#include <any>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string_view>
#include <utility>
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMInAppPurchaseProductCache.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMScreenViewReporter.h"

namespace {

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

std::shared_ptr<RuntimeObject> asRuntimeObject(const std::shared_ptr<NSObject>& object) {
    return std::dynamic_pointer_cast<RuntimeObject>(object);
}

// A message answering an optional value; nothing when the object does not
// answer it or answers nil.
std::any optionalAnswer(const std::shared_ptr<RuntimeObject>& object, const char* selector) {
    if (!object || !object->respondsToSelector(selector)) return {};
    return objc_msgSend<std::any>(object, selector);
}

std::optional<std::string> optionalString(const std::shared_ptr<RuntimeObject>& object,
                                          const char* selector) {
    const std::any answer = optionalAnswer(object, selector);
    if (const auto* text = std::any_cast<std::string>(&answer)) return *text;
    return std::nullopt;
}

std::optional<double> optionalNumber(const std::shared_ptr<RuntimeObject>& object,
                                     const char* selector) {
    const std::any answer = optionalAnswer(object, selector);
    if (!answer.has_value()) return std::nullopt;
    double number = 0;
    if (runtime_detail::convertArithmetic(answer, number)) return number;
    return std::nullopt;
}

int64_t stateOf(const std::shared_ptr<RuntimeObject>& transaction) {
    if (!transaction || !transaction->respondsToSelector("transactionState")) return -1;
    return objc_msgSend<int64_t>(transaction, "transactionState");
}

int64_t errorCodeOf(const std::shared_ptr<RuntimeObject>& transaction) {
    return static_cast<int64_t>(optionalNumber(transaction, "errorCode").value_or(0));
}

std::shared_ptr<RuntimeObject> paymentOf(const std::shared_ptr<RuntimeObject>& transaction) {
    if (!transaction || !transaction->respondsToSelector("payment")) return nullptr;
    return asRuntimeObject(objc_msgSend<id>(transaction, "payment"));
}

void addString(APMEventParameters& parameters, const char* key, const std::string& text) {
    const Value value(text);
    if (auto typed = APMValue::initWithString(&value)) parameters.insert_or_assign(key, *typed);
}

std::shared_ptr<DispatchQueue> reportingQueue() {
    return DispatchQueue::global(DispatchQoS::Default);
}

}  // namespace

APMInAppPurchaseTransactionReporter& APMInAppPurchaseTransactionReporter::sharedInstance() {
    static auto* reporter = new APMInAppPurchaseTransactionReporter();
    return *reporter;
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const std::shared_ptr<NSObject>& transaction) {
    if (!transaction) {
        monitor().logWithLevel(2, 21014, "Transaction is nil");
        return std::nullopt;
    }
    auto object = asRuntimeObject(transaction);
    if (stateOf(object) != kPurchasedState) return std::nullopt;
    const auto identifier = optionalString(object, "transactionIdentifier");
    const Value code(static_cast<long long>(errorCodeOf(object)));
    if (!identifier) {
        monitor().logWithLevel(2, 21015, "Transaction identifier is nil. Code",
                               APMMonitorContext(code));
        return std::nullopt;
    }
    if (identifier->empty()) {
        monitor().logWithLevel(2, 21016, "Transaction identifier is empty. Code",
                               APMMonitorContext(code));
        return std::nullopt;
    }
    if (identifier->find_first_not_of("0-") == std::string::npos) {
        monitor().logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code",
                               APMMonitorContext(code));
        return std::nullopt;
    }
    return apm_MD5String(*identifier);
}

std::string APMInAppPurchaseTransactionReporter::productIdentifierOfTransaction(
    const std::shared_ptr<NSObject>& transaction) {
    return optionalString(paymentOf(asRuntimeObject(transaction)), "productIdentifier")
        .value_or("");
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::shared_ptr<NSObject>&, const std::vector<std::shared_ptr<NSObject>>& transactions) {
    {
        std::lock_guard lock(mutex_);
        reported_.insert(reported_.end(), transactions.begin(), transactions.end());
    }
    auto cache = APMInAppPurchaseProductCache::sharedInstance();
    std::vector<std::shared_ptr<NSObject>> kept;
    std::set<std::string> missing;
    for (const auto& transaction : transactions) {
        if (stateOf(asRuntimeObject(transaction)) != kPurchasedState) continue;
        const std::string productID = productIdentifierOfTransaction(transaction);
        if (productID.empty()) continue;
        kept.push_back(transaction);
        if (!cache->cachedProductForProductIdentifier(productID)) missing.insert(productID);
    }
    if (kept.empty()) return;
    beginWork();
    if (missing.empty()) {
        reportingQueue()->async([this, kept] {
            reportTransactionsFromArray(kept);
            endWork();
        });
        return;
    }
    cache->requestProductsWithProductIdentifiers(
        missing, reportingQueue(),
        [this, kept](const std::map<std::string, id>& products, const std::set<std::string>&,
                     const std::optional<NSError>& error) {
            if (error && products.empty()) {
                monitor().logWithLevel(1, 21027, "Cannot request product information. Error",
                                       APMMonitorContext(*error));
            } else {
                reportTransactionsFromArray(kept);
            }
            endWork();
        });
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<std::shared_ptr<NSObject>>& transactions) {
    auto cache = APMInAppPurchaseProductCache::sharedInstance();
    for (const auto& transaction : transactions) {
        const id product =
            cache->cachedProductForProductIdentifier(productIdentifierOfTransaction(transaction));
        auto parameters = APMPurchaseEventParameters(product, transaction);
        if (!parameters || parameters->empty()) continue;
        APMLogReporterEvent("auto", "_iap", *parameters, sim::wallClockSeconds());
    }
}

std::vector<std::shared_ptr<NSObject>> APMInAppPurchaseTransactionReporter::reportedTransactions()
    const {
    std::lock_guard lock(mutex_);
    return reported_;
}

void APMInAppPurchaseTransactionReporter::beginWork() {
    std::lock_guard lock(mutex_);
    ++pendingWork_;
}

void APMInAppPurchaseTransactionReporter::endWork() {
    std::lock_guard lock(mutex_);
    if (--pendingWork_ == 0) idle_.notify_all();
}

void APMInAppPurchaseTransactionReporter::waitForPendingWorkForTesting() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pendingWork_ == 0; });
}

std::optional<APMEventParameters> APMPurchaseEventParameters(
    const std::shared_ptr<NSObject>& product, const std::shared_ptr<NSObject>& transaction) {
    auto item = asRuntimeObject(product);
    if (!item) {
        monitor().logWithLevel(8, 40026, "IAP Transaction cannot be created from nil product");
        return std::nullopt;
    }
    const std::string productID = optionalString(item, "productIdentifier").value_or("");
    if (productID.empty()) {
        monitor().logWithLevel(8, 40027,
                               "IAP Transaction cannot be created from empty or nil product ID");
        return std::nullopt;
    }
    if (!transaction) {
        monitor().logWithLevel(8, 40028, "IAP Transaction cannot be created from nil transaction");
        return std::nullopt;
    }
    APMEventParameters parameters;
    addString(parameters, "product_id", productID);
    if (const auto price = optionalNumber(item, "price")) {
        if (const auto micros = APMPurchaseValueMicros(*price, 1))
            parameters.insert_or_assign("price", APMValue::initWithInt64(*micros));
        auto payment = paymentOf(asRuntimeObject(transaction));
        const auto quantity = static_cast<int64_t>(optionalNumber(payment, "quantity").value_or(0));
        if (quantity != 0) {
            if (const auto value = APMPurchaseValueMicros(*price, quantity))
                parameters.insert_or_assign("value", APMValue::initWithInt64(*value));
            parameters.insert_or_assign("quantity", APMValue::initWithInt64(quantity));
        }
    }
    auto locale = item->respondsToSelector("priceLocale")
                      ? asRuntimeObject(objc_msgSend<id>(item, "priceLocale"))
                      : nullptr;
    if (const auto currency = optionalString(locale, "currencyCode");
        currency && !currency->empty())
        addString(parameters, "currency", *currency);
    if (const auto title = optionalString(item, "localizedTitle"); title && !title->empty())
        addString(parameters, "product_name", *title);
    for (const char* required : {"price", "value", "currency", "product_id"})
        if (!parameters.count(required)) return std::nullopt;
    return parameters;
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
            const auto productID =
                APMInAppPurchaseTransactionReporter::productIdentifierOfTransaction(transaction);
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
                    APMMonitorContext(productID), APMMonitorContext(error));
                kept.push_back(transaction);
            } else if (*inserted) {
                kept.push_back(transaction);
            } else {
                APMMeasurement::monitor().logWithLevel(
                    4, 23141, "Purchase is a duplicate and will not be reported. Product ID",
                    APMMonitorContext(productID));
            }
        }
        // The caller's work does not run on (or hold) the worker queue.
        DispatchQueue::global()->async(
            [callback, kept = std::move(kept)]() mutable { callback(std::move(kept)); });
    });
}
