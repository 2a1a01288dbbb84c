#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "platform/storekit/StoreKit.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMInAppPurchaseProductCache.h"
#include "services/measurement/APMInAppPurchaseTransactionReporter.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:100000000001:ios:0000000000000000";
constexpr int64_t kPurchased = 1;
constexpr int64_t kFailed = 2;
constexpr int64_t kRestored = 3;

class ToyTransaction : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyTransaction>("ToyPurchaseTransaction")
                .method("transactionState", [](ToyTransaction& self) { return self.state; })
                .method("transactionIdentifier",
                        [](ToyTransaction& self) { return self.identifier; })
                .method("productIdentifier", [](ToyTransaction& self) { return self.product; })
                .registerClass();
        return cls;
    }
    ToyTransaction(int64_t state, std::string identifier)
        : RuntimeObject(runtimeClass()), state(state), identifier(std::move(identifier)) {}
    int64_t state;
    std::string identifier;
    std::string product = "gems";
};

std::shared_ptr<NSObject> transaction(int64_t state, const std::string& identifier) {
    return std::make_shared<ToyTransaction>(state, identifier);
}

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) return true;
    return false;
}

TEST(InAppPurchaseFingerprintTest, OnlyPurchasesWithARealIdentifierHaveOne) {
    struct Case {
        int64_t state;
        std::string identifier;
        std::optional<std::string> fingerprint;
        long long loggedCode;
    };
    const Case cases[] = {
        // MD5 of "abc".
        {kPurchased, "abc", "900150983cd24fb0d6963f7d28e17f72", 0},
        {kPurchased, "", std::nullopt, 21016},
        {kPurchased, "0000-0000", std::nullopt, 21017},
        {kPurchased, "0000-0001", std::string("0000-0001"), 0},
        {kRestored, "abc", std::nullopt, 0},
        {kFailed, "abc", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        APMMeasurement::monitor().clearLines();
        auto fingerprint = APMInAppPurchaseTransactionReporter::transactionFingerprint(
            transaction(c.state, c.identifier));
        if (c.identifier == "0000-0001") {
            ASSERT_TRUE(fingerprint);
            EXPECT_EQ(fingerprint->size(), 32u);
        } else {
            EXPECT_EQ(fingerprint, c.fingerprint) << c.identifier;
        }
        if (c.loggedCode) {
            EXPECT_TRUE(logged(c.loggedCode)) << c.identifier;
        }
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
    EXPECT_TRUE(logged(21014));
}

TEST(InAppPurchaseValueTest, AmountsAreMicrosAndStopAtTheLimits) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    struct Case {
        double price;
        int64_t quantity;
        std::optional<int64_t> micros;
    };
    const Case cases[] = {
        {0.99, 1, 990000},
        {0.99, 3, 2970000},
        {1.5, 0, 0},
        {-2.0, 2, -4000000},
        {0.0000015, 1, 1},  // truncated toward zero
        {1e13, 1000000, kMax},
        {-1e13, 1000000, kMin},
        {1.0, kMax, kMax},
        {1.0, kMin, kMin},
        {9223372036854.0, 1, 9223372036854000000},
        {std::numeric_limits<double>::infinity(), 1, kMax},
        {std::numeric_limits<double>::quiet_NaN(), 1, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(APMPurchaseValueMicros(c.price, c.quantity), c.micros)
            << c.price << " x " << c.quantity;
}

class InAppPurchaseFilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        APMMeasurement::monitor().clearLines();
        auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
        auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
        engine_ = APMMeasurement::initWithDatabaseName(
            APMDatabase::kDefaultName, APMPersistedConfig::sharedInstance(), scheduler,
            std::move(alarm), kAppID, true, false, std::nullopt);
        drain();
        ASSERT_TRUE(engine_->didInitializeComponents());
    }
    void TearDown() override {
        drain();
        engine_.reset();
        APMMeasurement::resetSharedInstanceForTesting();
        sim::useRealClock();
    }
    void drain() {
        for (int round = 0; round < 3; ++round)
            engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {});
    }
    std::vector<std::shared_ptr<NSObject>> filter(
        const std::vector<std::shared_ptr<NSObject>>& transactions) {
        // The answer comes on a global queue, never the worker queue.
        auto answer = std::make_shared<
            std::promise<std::pair<std::vector<std::shared_ptr<NSObject>>, std::string>>>();
        engine_->filterPurchaseTransactions(transactions, [answer](auto kept) {
            answer->set_value({std::move(kept), DispatchQueue::currentLabel()});
        });
        auto future = answer->get_future();
        if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            return {};
        }
        auto [kept, label] = future.get();
        EXPECT_EQ(label.rfind("com.apple.root.", 0), 0u) << label;
        return kept;
    }

    MeasurementTempHome home_;
    std::shared_ptr<APMMeasurement> engine_;
};

TEST_F(InAppPurchaseFilterTest, RepeatedPurchasesAreDroppedAndOthersLeftOut) {
    const auto first = transaction(kPurchased, "T-1");
    const auto again = transaction(kPurchased, "T-1");
    const auto second = transaction(kPurchased, "T-2");
    const auto zeroes = transaction(kPurchased, "0000-0000");
    const auto restored = transaction(kRestored, "T-3");
    const auto failed = transaction(kFailed, "T-4");

    EXPECT_EQ(filter({first, restored, second, failed, zeroes}),
              (std::vector<std::shared_ptr<NSObject>>{first, second, zeroes}));
    EXPECT_TRUE(logged(23139));
    // A second delivery of the same purchase, even within one batch, is dropped;
    // a purchase without fingerprint is passed on every time.
    const auto third = transaction(kPurchased, "T-5");
    EXPECT_EQ(filter({again, zeroes, third, third}),
              (std::vector<std::shared_ptr<NSObject>>{zeroes, third}));
    EXPECT_TRUE(logged(23141));
}

TEST_F(InAppPurchaseFilterTest, UnsavedFingerprintPassesThePurchaseAndLogsWhy) {
    engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [&] {
        ASSERT_TRUE(engine_->database()->store().executeSQL("DROP TABLE purchase_transactions"));
    });
    const auto purchase = transaction(kPurchased, "T-1");
    EXPECT_EQ(filter({purchase}), (std::vector<std::shared_ptr<NSObject>>{purchase}));
    bool withError = false;
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == 23140)
            withError = line.contexts.size() == 2 &&
                        line.contexts[1].asString().value_or("").find("purchase_transactions") !=
                            std::string::npos;
    }
    EXPECT_TRUE(withError);
}

// ---- the store's transactions and products

using sim::StoreProduct;
using sim::StoreTransaction;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

StoreTransaction purchase(const std::string& identifier, const std::string& product,
                          int64_t quantity = 1) {
    StoreTransaction t;
    t.identifier = identifier;
    t.productIdentifier = product;
    t.quantity = quantity;
    return t;
}

const StoreProduct kGems{"gems", 0.99, std::string("USD"), std::string("Gem pack")};

TEST(InAppPurchaseParametersTest, ParametersComeFromProductAndPayment) {
    sim::installStoreKit();
    using Parameters = std::map<std::string, APMValue>;
    auto text = [](const char* s) {
        const Value v(s);
        return *APMValue::initWithString(&v);
    };
    auto number = [](int64_t n) { return APMValue::initWithInt64(n); };
    struct Case {
        const char* what;
        StoreProduct product;
        int64_t quantity;
        std::optional<Parameters> expected;
    };
    const std::vector<Case> cases = {
        {"complete", kGems, 3,
         Parameters{{"product_id", text("gems")},
                    {"price", number(990000)},
                    {"value", number(2970000)},
                    {"quantity", number(3)},
                    {"currency", text("USD")},
                    {"product_name", text("Gem pack")}}},
        {"no title",
         {"gems", 2.5, std::string("EUR"), std::nullopt},
         1,
         Parameters{{"product_id", text("gems")},
                    {"price", number(2500000)},
                    {"value", number(2500000)},
                    {"quantity", number(1)},
                    {"currency", text("EUR")}}},
        {"no currency", {"gems", 0.99, std::nullopt, std::string("Gem pack")}, 1, std::nullopt},
        {"no price", {"gems", std::nullopt, std::string("USD"), std::nullopt}, 1, std::nullopt},
        {"quantity 0 has no value", kGems, 0, std::nullopt},
        // Amounts beyond the 64-bit range stop at its limit.
        {"huge",
         {"gems", 1e13, std::string("USD"), std::nullopt},
         1000000,
         Parameters{{"product_id", text("gems")},
                    {"price", number(kMax)},
                    {"value", number(kMax)},
                    {"quantity", number(1000000)},
                    {"currency", text("USD")}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto transactions = sim::postTransactions({purchase("T", "gems", c.quantity)});
        EXPECT_EQ(APMPurchaseEventParameters(sim::makeProduct(c.product), transactions[0]),
                  c.expected);
    }
    const auto transaction = sim::postTransactions({purchase("T", "gems")})[0];
    struct Refusal {
        const char* what;
        std::shared_ptr<NSObject> product;
        std::shared_ptr<NSObject> transaction;
        long long code;
    };
    for (const Refusal& r :
         {Refusal{"no product", nullptr, transaction, 40026},
          Refusal{"empty product id", sim::makeProduct({"", 1.0, std::string("USD"), {}}),
                  transaction, 40027},
          Refusal{"no transaction", sim::makeProduct(kGems), nullptr, 40028}}) {
        SCOPED_TRACE(r.what);
        APMMeasurement::monitor().clearLines();
        EXPECT_FALSE(APMPurchaseEventParameters(r.product, r.transaction));
        EXPECT_TRUE(logged(r.code));
    }
}

TEST(InAppPurchaseFingerprintTest, StoreTransactionsWithoutIdentifierHaveNone) {
    StoreTransaction t = purchase("", "gems");
    t.identifier.reset();
    t.errorCode = 7;
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(
        APMInAppPurchaseTransactionReporter::transactionFingerprint(sim::postTransactions({t})[0]));
    EXPECT_TRUE(logged(21015));
    EXPECT_EQ(APMInAppPurchaseTransactionReporter::transactionFingerprint(
                  sim::postTransactions({purchase("abc", "gems")})[0]),
              "900150983cd24fb0d6963f7d28e17f72");
}

struct LoggedPurchase {
    std::string origin;
    APMEventParameters parameters;
};

// The reporter on its own: transactions handed over as the engine's filter
// would, products from the store stand-in.
class InAppPurchaseReportingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::installStoreKit();
        sim::resetStoreKit();
        APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
        APMSetReporterEventLogger([this](const std::string& origin, const std::string& name,
                                         const APMEventParameters& parameters, double) {
            if (name != "_iap") return;
            std::lock_guard lock(mutex_);
            purchases_.push_back({origin, parameters});
        });
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        // Nothing may stay waiting for the store.
        while (sim::pendingProductRequests()) sim::answerProductRequest({}, {});
        reporter().waitForPendingWorkForTesting();
        APMSetReporterEventLogger(nullptr);
        sim::resetStoreKit();
        APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
    }

    static APMInAppPurchaseTransactionReporter& reporter() {
        return APMInAppPurchaseTransactionReporter::sharedInstance();
    }
    static void deliver(const std::vector<StoreTransaction>& transactions) {
        reporter().paymentQueueUpdatedFilteredTransactions(nullptr,
                                                           sim::postTransactions(transactions));
    }
    std::vector<std::string> reportedProducts() {
        reporter().waitForPendingWorkForTesting();
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& p : purchases_) {
            EXPECT_EQ(p.origin, "auto");
            out.push_back(p.parameters.at("product_id").stringValue().value_or(""));
        }
        purchases_.clear();
        return out;
    }

    std::mutex mutex_;
    std::vector<LoggedPurchase> purchases_;
};

TEST_F(InAppPurchaseReportingTest, MissingProductsAreFetchedOnceThenCached) {
    StoreTransaction restored = purchase("T-2", "gems");
    restored.state = SKPaymentTransactionState::Restored;
    deliver({purchase("T-1", "gems"), restored, purchase("T-3", ""), purchase("T-4", "coins")});
    ASSERT_EQ(sim::pendingProductRequests(), 1u);
    EXPECT_EQ(sim::pendingProductRequestIdentifiers(), (std::vector<std::string>{"coins", "gems"}));
    {
        std::lock_guard lock(mutex_);
        EXPECT_TRUE(purchases_.empty());
    }

    ASSERT_TRUE(sim::answerProductRequest({kGems, {"coins", 0.5, std::string("USD"), {}}}, {}));
    EXPECT_EQ(reportedProducts(), (std::vector<std::string>{"gems", "coins"}));

    // Both are cached now: no store request, reported at once.
    deliver({purchase("T-5", "coins")});
    EXPECT_EQ(sim::pendingProductRequests(), 0u);
    EXPECT_EQ(reportedProducts(), (std::vector<std::string>{"coins"}));
}

TEST_F(InAppPurchaseReportingTest, StoreAnswersWithoutUsableProductsReportNothing) {
    struct Case {
        const char* what;
        std::function<void()> answer;
        bool errorLogged;
        bool invalid;
    };
    const std::vector<Case> cases = {
        {"invalid identifier", [] { sim::answerProductRequest({}, {"gems"}); }, false, true},
        {"failed request", [] { sim::failProductRequest(NSError("SKErrorDomain", 0)); }, true,
         false},
        {"product without currency",
         [] {
             sim::answerProductRequest({{"gems", 0.99, std::nullopt, {}}}, {});
         },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
        APMMeasurement::monitor().clearLines();
        deliver({purchase("T-1", "gems")});
        ASSERT_EQ(sim::pendingProductRequests(), 1u);
        c.answer();
        EXPECT_TRUE(reportedProducts().empty());
        EXPECT_EQ(logged(21027), c.errorLogged);
        EXPECT_EQ(
            APMInAppPurchaseProductCache::sharedInstance()->isInvalidProductIdentifier("gems"),
            c.invalid);
    }
    // Without a store request the handler still hears of the failure.
    APMMeasurement::monitor().clearLines();
    sim::failNextProductRequestCreation();
    deliver({purchase("T-1", "coins")});
    EXPECT_EQ(sim::pendingProductRequests(), 0u);
    EXPECT_TRUE(reportedProducts().empty());
    EXPECT_TRUE(logged(21027));
}

TEST_F(InAppPurchaseReportingTest, TheCacheKeepsOnlyTheLatestAnswerBeyondItsBound) {
    auto cache = APMInAppPurchaseProductCache::sharedInstance();
    auto queue = DispatchQueue::create("com.test.iap.replies");
    auto fetch = [&](const std::vector<StoreProduct>& products,
                     const std::vector<std::string>& invalid) {
        std::set<std::string> identifiers;
        for (const auto& p : products) identifiers.insert(p.identifier);
        identifiers.insert(invalid.begin(), invalid.end());
        bool answered = false;
        cache->requestProductsWithProductIdentifiers(
            identifiers, queue, [&](const auto& found, const auto& bad, const auto& error) {
                EXPECT_EQ(found.size(), products.size());
                EXPECT_EQ(bad.size(), invalid.size());
                EXPECT_FALSE(error);
                answered = true;
            });
        ASSERT_TRUE(sim::answerProductRequest(products, invalid));
        cache->entryCountForTesting();  // the merge has run on the cache's queue
        queue->sync([] {});
        EXPECT_TRUE(answered);
    };
    std::vector<StoreProduct> hundred;
    for (int i = 0; i < 99; ++i)
        hundred.push_back({"p" + std::to_string(i), 1.0, std::string("USD"), {}});
    fetch(hundred, {"bad"});
    EXPECT_EQ(cache->entryCountForTesting(), 100u);
    EXPECT_TRUE(cache->cachedProductForProductIdentifier("p0"));

    // A product the store now knows leaves the invalid set.
    fetch({{"bad", 2.0, std::string("USD"), {}}}, {});
    EXPECT_EQ(cache->entryCountForTesting(), 100u);
    EXPECT_FALSE(cache->isInvalidProductIdentifier("bad"));

    fetch({{"p100", 1.0, std::string("USD"), {}}}, {});
    EXPECT_EQ(cache->entryCountForTesting(), 1u);
    EXPECT_TRUE(cache->cachedProductForProductIdentifier("p100"));
    EXPECT_FALSE(cache->cachedProductForProductIdentifier("p0"));
}

// A transaction observer doing what the analytics interface does with the
// payment queue's batches: the engine's filter, then the reporter.
class FilteringObserver : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<FilteringObserver>("TestFilteringTransactionObserver")
                               .method("paymentQueue:updatedTransactions:",
                                       &FilteringObserver::updatedTransactions)
                               .registerClass();
        return cls;
    }
    FilteringObserver() : RuntimeObject(runtimeClass()) {}
    void updatedTransactions(const id& queue, const std::vector<id>& transactions) {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine) return;
        ++delivered_;
        engine->filterPurchaseTransactions(transactions, [this, queue](std::vector<id> kept) {
            APMInAppPurchaseTransactionReporter::sharedInstance()
                .paymentQueueUpdatedFilteredTransactions(queue, kept);
            answered_.signal();
        });
    }
    // The filter answers on a global queue: waits for every batch handed on.
    void waitForAnswers() {
        for (; waited_ < delivered_; ++waited_) answered_.wait();
    }

  private:
    std::atomic<int> delivered_{0};
    int waited_ = 0;
    DispatchSemaphore answered_{0};
};

class InAppPurchaseEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::installStoreKit();
        sim::resetStoreKit();
        APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
        APMScreenViewReporter::sharedInstance()->resetForTesting(70);
        APMMeasurement::initializeSharedInstanceWithAppID(kAppID, true, false, std::nullopt);
        engine_ = APMMeasurement::sharedInstance();
        ASSERT_TRUE(engine_);
        drain();
        ASSERT_TRUE(engine_->didInitializeComponents());
        observer_ = std::make_shared<FilteringObserver>();
        Class queueClass = objc_lookUpClass("SKPaymentQueue");
        auto queue = objc_msgSend<id>(static_cast<RuntimeObject*>(queueClass), "defaultQueue");
        objc_msgSend(queue, "addTransactionObserver:", id(observer_));
    }
    void TearDown() override {
        if (observer_) observer_->waitForAnswers();
        while (sim::pendingProductRequests()) sim::answerProductRequest({}, {});
        APMInAppPurchaseTransactionReporter::sharedInstance().waitForPendingWorkForTesting();
        drain();
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID(
            "test", [this] { engine_->setEnabledOnWorkerQueue(false); });
        engine_.reset();
        APMMeasurement::resetSharedInstanceForTesting();
        sim::resetStoreKit();
        APMInAppPurchaseProductCache::sharedInstance()->resetForTesting();
        APMScreenViewReporter::sharedInstance()->resetForTesting(0);
        sim::useRealClock();
    }
    void drain() {
        for (int round = 0; round < 3; ++round)
            engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {});
    }
    // Delivery, de-duplication on the worker queue, reporting, the write path.
    void post(const std::vector<StoreTransaction>& transactions) {
        sim::postTransactions(transactions);
        drain();
        observer_->waitForAnswers();
    }
    void settle() {
        APMInAppPurchaseTransactionReporter::sharedInstance().waitForPendingWorkForTesting();
        drain();
    }
    std::vector<APMEventParameters> storedPurchases() {
        std::vector<APMEventParameters> out;
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [&] {
            auto rows = engine_->database()->store().recordsForQuery(
                "SELECT rowid, * FROM raw_events ORDER BY rowid", Array{});
            ASSERT_TRUE(rows);
            for (const auto& row : *rows) {
                auto decoded = engine_->database()->rawEventDataFromDictionary(row);
                ASSERT_TRUE(decoded);
                if (decoded->rawEvent().name() == "_iap")
                    out.push_back(decoded->rawEvent().parameters());
            }
        });
        return out;
    }
    std::optional<int64_t> lifetimeValue(const std::string& name) {
        std::optional<int64_t> value;
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [&] {
            if (auto attribute = engine_->database()->userAttributeWithName(name))
                value = attribute->value().int64Value();
        });
        return value;
    }

    MeasurementTempHome home_;
    std::shared_ptr<APMMeasurement> engine_;
    std::shared_ptr<FilteringObserver> observer_;
};

TEST_F(InAppPurchaseEndToEndTest, EachPurchaseIsStoredOnceWithItsValue) {
    APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(
        Dictionary{{"screen_name", "Shop"}}, sim::wallClockSeconds());
    APMScreenViewReporter::sharedInstance()->waitForPendingWorkForTesting();

    post({purchase("T-1", "gems", 3), purchase("0000-0000", "gems")});
    ASSERT_EQ(sim::pendingProductRequests(), 1u);
    ASSERT_TRUE(sim::answerProductRequest({kGems}, {}));
    settle();
    // The same purchase again (another delivery by the store), and the one
    // without a usable identifier, which cannot be told apart from a new one.
    post({purchase("T-1", "gems", 3), purchase("0000-0000", "gems")});
    settle();

    const auto stored = storedPurchases();
    ASSERT_EQ(stored.size(), 3u);
    const APMEventParameters& first = stored[0];
    EXPECT_EQ(first.at("product_id").stringValue(), "gems");
    EXPECT_EQ(first.at("price").int64Value(), 990000);
    EXPECT_EQ(first.at("value").int64Value(), 2970000);
    EXPECT_EQ(first.at("quantity").int64Value(), 3);
    EXPECT_EQ(first.at("currency").stringValue(), "USD");
    EXPECT_EQ(first.at("product_name").stringValue(), "Gem pack");
    // Reported events carry the screen they happened on.
    EXPECT_EQ(first.at("_sn").stringValue(), "Shop");
    EXPECT_EQ(first.at("_si").int64Value(), 71);
    for (const auto& other : {stored[1], stored[2]})
        EXPECT_EQ(other.at("value").int64Value(), 990000);
    EXPECT_EQ(lifetimeValue("_ltv_USD"), 2970000 + 2 * 990000);
    EXPECT_TRUE(logged(23141));  // the repeated purchase
}

TEST_F(InAppPurchaseEndToEndTest, LifetimeValueStopsAtTheLimitAndPurchasesAreStillStored) {
    post({purchase("Big-1", "vault", 1000000), purchase("Big-2", "vault", 1000000)});
    ASSERT_TRUE(sim::answerProductRequest({{"vault", 1e13, std::string("EUR"), {}}}, {}));
    settle();
    const auto stored = storedPurchases();
    ASSERT_EQ(stored.size(), 2u);
    for (const auto& parameters : stored) EXPECT_EQ(parameters.at("value").int64Value(), kMax);
    EXPECT_EQ(lifetimeValue("_ltv_EUR"), kMax);
}

}  // namespace
