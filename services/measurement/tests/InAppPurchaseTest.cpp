#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMInAppPurchaseTransactionReporter.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMScheduler.h"
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
        std::vector<std::shared_ptr<NSObject>> kept;
        bool called = false;
        engine_->filterPurchaseTransactions(transactions, [&](auto answer) {
            kept = std::move(answer);
            called = true;
        });
        drain();
        EXPECT_TRUE(called);
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

}  // namespace
