#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMLifetimeValueRecorder.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr long long kMax = std::numeric_limits<long long>::max();

class LifetimeValueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        database = APMDatabase::initWithDatabaseName("ltv.sql", nullptr);
        ASSERT_TRUE(database);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override { sim::useRealClock(); }

    // Records one purchase-like event; each call is one second after the
    // last so totals have distinct set times.
    bool record(const std::string& name, const APMRawParameters& parameters) {
        sim::advanceClock(std::chrono::seconds(1));
        auto event =
            APMEvent::initWithOrigin("app", false, name, sim::wallClockSeconds(), 0, parameters);
        EXPECT_TRUE(event) << name;
        return event && APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database, *event);
    }

    std::map<std::string, int64_t> totals() {
        std::map<std::string, int64_t> out;
        const auto attributes = database->allLifetimeValueUserAttributes();
        EXPECT_TRUE(attributes);
        for (const auto& attribute : attributes.value_or(std::vector<APMUserAttribute>{})) {
            EXPECT_EQ(attribute.origin(), "auto");
            out[attribute.name()] = attribute.value().int64Value();
        }
        return out;
    }

    bool logged(long long code) {
        for (const auto& line : APMMeasurement::monitor().lines())
            if (line.messageCode == code) return true;
        return false;
    }

    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

TEST_F(LifetimeValueTest, PurchaseEventNames) {
    struct Case {
        const char* name;
        bool purchase;
        bool ecommerce;
    } cases[] = {
        {"_iap", true, false},  {"purchase", true, true}, {"ecommerce_purchase", true, true},
        {"refund", true, true}, {"_e", false, false},     {"add_to_cart", false, false}};
    for (const auto& c : cases) {
        auto event = APMEvent::initWithOrigin("app", false, c.name, 1, 0, {});
        ASSERT_TRUE(event) << c.name;
        EXPECT_EQ(APMLifetimeValueRecorder::isPurchaseEvent(*event), c.purchase) << c.name;
        EXPECT_EQ(APMLifetimeValueRecorder::isEcommercePurchaseEvent(*event), c.ecommerce)
            << c.name;
    }
}

// Each row starts from an empty database; `before` are recorded first.
TEST_F(LifetimeValueTest, TotalsPerCurrency) {
    struct Step {
        std::string name;
        APMRawParameters parameters;
    };
    struct Case {
        const char* label;
        std::vector<Step> steps;
        bool lastAnswer;
        std::map<std::string, int64_t> expected;
        long long loggedCode;
    };
    const std::vector<Case> cases = {
        {"purchase adds micros, currency upper-cased",
         {{"purchase", {{"currency", Value("usd")}, {"value", Value(9.99)}}}},
         true,
         {{"_ltv_USD", 9990000}},
         22006},
        {"refund subtracts",
         {{"purchase", {{"currency", Value("usd")}, {"value", Value(9.99)}}},
          {"refund", {{"currency", Value("USD")}, {"value", Value(9.99)}}}},
         true,
         {{"_ltv_USD", 0}},
         22006},
        {"integer units",
         {{"ecommerce_purchase", {{"currency", Value("EUR")}, {"value", Value(3)}}}},
         true,
         {{"_ltv_EUR", 3000000}},
         22006},
        {"rounding on the decimal value, half away from zero",
         {{"purchase", {{"currency", Value("EUR")}, {"value", Value(0.5000005)}}},
          {"refund", {{"currency", Value("GBP")}, {"value", Value(1.0000005)}}}},
         true,
         {{"_ltv_EUR", 500001}, {"_ltv_GBP", -1000001}},
         22006},
        {"in-app purchase already in micros",
         {{"_iap", {{"currency", Value("USD")}, {"value", Value(2970000)}}}},
         true,
         {{"_ltv_USD", 2970000}},
         22006},
        {"two-letter currency is ignored",
         {{"purchase", {{"currency", Value("US")}, {"value", Value(1.0)}}}},
         true,
         {},
         22000},
        {"four-letter currency is ignored",
         {{"purchase", {{"currency", Value("USDX")}, {"value", Value(1.0)}}}},
         true,
         {},
         22000},
        {"missing currency is ignored", {{"purchase", {{"value", Value(1.0)}}}}, true, {}, 22000},
        {"text value is ignored",
         {{"purchase", {{"currency", Value("USD")}, {"value", Value("1")}}}},
         true,
         {},
         22001},
        {"1e13 units is out of range",
         {{"purchase", {{"currency", Value("USD")}, {"value", Value(1e13)}}}},
         false,
         {},
         22002},
        {"integer units beyond range",
         {{"purchase", {{"currency", Value("USD")}, {"value", Value(kMax / 10)}}}},
         false,
         {},
         22002},
        // Totals stop at the 64-bit limits; the purchase itself is kept.
        {"a total past the maximum stays at the maximum",
         {{"_iap", {{"currency", Value("USD")}, {"value", Value(kMax)}}},
          {"_iap", {{"currency", Value("USD")}, {"value", Value(1)}}}},
         true,
         {{"_ltv_USD", kMax}},
         22006},
        {"a total past the minimum stays at the minimum",
         {{"_iap", {{"currency", Value("USD")}, {"value", Value(-kMax)}}},
          {"_iap", {{"currency", Value("USD")}, {"value", Value(-2)}}}},
         true,
         {{"_ltv_USD", std::numeric_limits<int64_t>::min()}},
         22006},
        {"two huge refunds stop at the minimum",
         {{"refund", {{"currency", Value("USD")}, {"value", Value(9223372036854.0)}}},
          {"refund", {{"currency", Value("USD")}, {"value", Value(9223372036854.0)}}}},
         true,
         {{"_ltv_USD", std::numeric_limits<int64_t>::min()}},
         22006},
        {"a purchase after a saturated total brings it back into range",
         {{"_iap", {{"currency", Value("USD")}, {"value", Value(kMax)}}},
          {"_iap", {{"currency", Value("USD")}, {"value", Value(5)}}},
          {"refund", {{"currency", Value("USD")}, {"value", Value(1.0)}}}},
         true,
         {{"_ltv_USD", kMax - 1000000}},
         22006},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(database->reset());
        APMMeasurement::monitor().clearLines();
        bool answer = true;
        for (const auto& step : c.steps) answer = record(step.name, step.parameters);
        EXPECT_EQ(answer, c.lastAnswer);
        EXPECT_EQ(totals(), c.expected);
        EXPECT_TRUE(logged(c.loggedCode)) << c.loggedCode;
    }
}

TEST_F(LifetimeValueTest, NewCurrencyReplacesTheLeastRecentlyUpdatedTotal) {
    for (const char* currency : {"AAA", "BBB", "CCC", "DDD"})
        ASSERT_TRUE(record("purchase", {{"currency", Value(currency)}, {"value", Value(1.0)}}));
    // AAA is refreshed, so BBB becomes the oldest.
    ASSERT_TRUE(record("purchase", {{"currency", Value("AAA")}, {"value", Value(1.0)}}));
    ASSERT_TRUE(record("purchase", {{"currency", Value("EEE")}, {"value", Value(2.0)}}));
    const std::map<std::string, int64_t> expected = {
        {"_ltv_AAA", 2000000}, {"_ltv_CCC", 1000000}, {"_ltv_DDD", 1000000}, {"_ltv_EEE", 2000000}};
    EXPECT_EQ(totals(), expected);
}

TEST_F(LifetimeValueTest, NonPurchaseEventsChangeNothing) {
    EXPECT_TRUE(record("add_to_cart", {{"currency", Value("USD")}, {"value", Value(5.0)}}));
    EXPECT_TRUE(totals().empty());
}

}  // namespace
