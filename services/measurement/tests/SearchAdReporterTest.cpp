#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/adservices/ADClient.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMSearchAdReporter.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

struct LoggedEvent {
    std::string name;
    APMEventParameters parameters;
};

Dictionary attribution(bool flag, const std::string& campaign, const std::string& keyword,
                       const std::string& campaignID = "42") {
    Dictionary inner;
    inner.set("iad-attribution", Value(flag));
    inner.set("iad-campaign-name", Value(campaign));
    inner.set("iad-keyword", Value(keyword));
    inner.set("iad-campaign-id", Value(campaignID));
    Dictionary details;
    details.set("Version3.1", Value(inner));
    return details;
}

class SearchAdReporterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::resetADClient();
        settings_ = APMPersistedConfig::initWithSuiteName("com.test.searchads");
        ASSERT_TRUE(settings_);
        worker_ = DispatchQueue::create("com.test.searchads.worker");
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        reporter_.reset();
        worker_->sync([] {});
        sim::resetADClient();
        sim::useRealClock();
    }

    std::shared_ptr<APMSearchAdReporter> makeReporter(bool enabled = true) {
        auto reporter = APMSearchAdReporter::initWithWorkerQueue(
            worker_, settings_, [this](const std::string& name, const APMEventParameters& p) {
                events_.push_back({name, p});
            });
        if (reporter) reporter->setSearchAdReporterEnabled(enabled);
        return reporter;
    }
    // Starts the reporter on the worker queue, as the engine does.
    void start() {
        worker_->sync([this] { reporter_->start(); });
        settle();
    }
    // Lets due alarms fire and their lookups finish.
    void settle(double seconds = 0) {
        sim::advanceClock(sim::seconds(seconds));
        worker_->sync([] {});
    }
    bool logged(long long code) const {
        for (const auto& line : APMMeasurement::monitor().lines())
            if (line.messageCode == code) return true;
        return false;
    }

    MeasurementTempHome home_;
    std::shared_ptr<APMPersistedConfig> settings_;
    std::shared_ptr<DispatchQueue> worker_;
    std::shared_ptr<APMSearchAdReporter> reporter_;
    std::vector<LoggedEvent> events_;
};

// Before any test in the process installs the class.
TEST_F(SearchAdReporterTest, AMissingAttributionClientMeansNoLookup) {
    if (NSClassFromString("ADClient")) GTEST_SKIP() << "the class was installed earlier";
    reporter_ = makeReporter();
    ASSERT_TRUE(reporter_);
    start();
    settle(3 * APMSearchAdReporter::kRetryInterval);
    EXPECT_TRUE(logged(32003));
    EXPECT_EQ(settings_->searchAdRetryCount(), 0);
    EXPECT_FALSE(reporter_->isScheduled());
    EXPECT_TRUE(events_.empty());
}

TEST_F(SearchAdReporterTest, ACampaignAnswerLogsOneCampaignEventAndEndsTheLookups) {
    sim::installADClient();
    settings_->setFirstOpenTimestampMilliseconds(5000);
    reporter_ = makeReporter();
    ASSERT_TRUE(reporter_);
    start();
    ASSERT_EQ(sim::pendingADAttributionRequests(), 1u);  // at once on a fresh installation
    ASSERT_TRUE(
        sim::answerADAttributionRequest(attribution(true, "Spring", "lumbrel"), std::nullopt));

    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].name, "_cmp");
    const std::vector<std::pair<std::string, APMValue>> expected = {
        {"source", *APMValue::valueFromObject(Value("Apple"))},
        {"medium", *APMValue::valueFromObject(Value("search"))},
        {"campaign", *APMValue::valueFromObject(Value("Spring"))},
        {"term", *APMValue::valueFromObject(Value("lumbrel"))},
        {"click_timestamp", APMValue::initWithInt64(4999)},
    };
    EXPECT_EQ(events_[0].parameters.size(), expected.size());
    for (const auto& [key, value] : expected) {
        auto it = events_[0].parameters.find(key);
        ASSERT_NE(it, events_[0].parameters.end()) << key;
        EXPECT_EQ(it->second, value) << key;
    }
    EXPECT_FALSE(reporter_->isScheduled());
    settle(3 * APMSearchAdReporter::kRetryInterval);
    EXPECT_EQ(sim::pendingADAttributionRequests(), 0u);

    // A late second answer is refused; a new start makes no reporter.
    reporter_->logCampaignEventWithSearchAdCampaign(true, "Spring", "lumbrel");
    EXPECT_TRUE(logged(32008));
    EXPECT_EQ(events_.size(), 1u);
    EXPECT_FALSE(makeReporter());
}

TEST_F(SearchAdReporterTest, AnswersThatAreNotACampaignRetryOrEndAsTheyShould) {
    sim::installADClient();
    struct Case {
        const char* what;
        std::optional<Dictionary> details;
        std::optional<NSError> error;
        bool retriesNextDay;
    };
    const std::vector<Case> cases = {
        {"error", std::nullopt, NSError("ADClientError", 1), true},
        {"no details", std::nullopt, std::nullopt, true},
        {"placeholder", attribution(true, "CampaignName", "k", "1234567890"), std::nullopt, true},
        {"not attributed", attribution(false, "Spring", "k"), std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings_->clearValues();
        events_.clear();
        sim::resetADClient();
        reporter_ = makeReporter();
        ASSERT_TRUE(reporter_);
        start();
        APMMeasurement::monitor().clearLines();
        ASSERT_TRUE(sim::answerADAttributionRequest(c.details, c.error));
        EXPECT_TRUE(events_.empty());
        if (c.error) {
            // The message text stays fixed; the error goes along as its context.
            bool found = false;
            for (const auto& line : APMMeasurement::monitor().lines()) {
                if (line.messageCode != 32010) continue;
                found = true;
                EXPECT_EQ(line.message,
                          "Cannot send request for Search Ad campaign attribution. Error");
                EXPECT_EQ(line.contexts.size(), 1u);
            }
            EXPECT_TRUE(found);
        }
        settle(APMSearchAdReporter::kRetryInterval - 1);
        EXPECT_EQ(sim::pendingADAttributionRequests(), 0u);
        settle(1);
        EXPECT_EQ(sim::pendingADAttributionRequests(), c.retriesNextDay ? 1u : 0u);
        EXPECT_EQ(settings_->searchAdRetryCount(), c.retriesNextDay ? 2 : 1);
        if (!c.retriesNextDay) {
            EXPECT_FALSE(makeReporter());
        }
        reporter_.reset();
    }
}

TEST_F(SearchAdReporterTest, LookupsStopAfterTenTries) {
    sim::installADClient();
    reporter_ = makeReporter();
    ASSERT_TRUE(reporter_);
    start();
    for (int day = 0; day < 12; ++day) {
        while (sim::answerADAttributionRequest(std::nullopt, NSError("ADClientError", 1))) {
        }
        settle(APMSearchAdReporter::kRetryInterval);
    }
    EXPECT_EQ(settings_->searchAdRetryCount(), APMSearchAdReporter::kMaxLookups);
    EXPECT_TRUE(logged(32007));
    EXPECT_FALSE(reporter_->isScheduled());
    EXPECT_FALSE(makeReporter());
}

TEST_F(SearchAdReporterTest, ClickTimestampNeedsAFirstOpenOfAtLeastTwoMilliseconds) {
    const std::vector<std::pair<int64_t, std::optional<int64_t>>> cases = {
        {0, std::nullopt}, {1, std::nullopt}, {2, 1}, {1000, 999}};
    for (const auto& [firstOpen, click] : cases) {
        SCOPED_TRACE(firstOpen);
        settings_->clearValues();
        events_.clear();
        settings_->setFirstOpenTimestampMilliseconds(firstOpen);
        reporter_ = makeReporter();
        ASSERT_TRUE(reporter_);
        reporter_->logCampaignEventWithSearchAdCampaign(true, "", "");
        ASSERT_EQ(events_.size(), 1u);
        const auto& parameters = events_[0].parameters;
        EXPECT_FALSE(parameters.count("campaign"));
        EXPECT_FALSE(parameters.count("term"));
        auto it = parameters.find("click_timestamp");
        if (click) {
            ASSERT_NE(it, parameters.end());
            EXPECT_EQ(it->second, APMValue::initWithInt64(*click));
        } else {
            EXPECT_EQ(it, parameters.end());
        }
    }
}

TEST_F(SearchAdReporterTest, ADisabledReporterLooksNothingUp) {
    sim::installADClient();
    reporter_ = makeReporter(false);
    ASSERT_TRUE(reporter_);
    start();
    settle(3 * APMSearchAdReporter::kRetryInterval);
    EXPECT_EQ(sim::pendingADAttributionRequests(), 0u);
    EXPECT_EQ(settings_->searchAdRetryCount(), 0);
    EXPECT_FALSE(reporter_->isScheduled());

    reporter_->setSearchAdReporterEnabled(true);
    worker_->sync([this] { reporter_->scheduleSearchAdReport(); });
    settle();
    EXPECT_EQ(sim::pendingADAttributionRequests(), 1u);
}

TEST_F(SearchAdReporterTest, TheEngineLooksUpOnStartAndStopsWhenCollectionIsOff) {
    sim::installADClient();
    APMMeasurement::initializeSharedInstanceWithAppID("1:123:ios:abc", true, false, std::nullopt);
    auto engine = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    auto wait = [&] { engine->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {}); };
    wait();
    wait();
    ASSERT_TRUE(engine->didInitializeComponents());
    sim::advanceClock(sim::seconds(0));
    wait();
    EXPECT_EQ(sim::pendingADAttributionRequests(), 1u);

    engine->scheduler().dispatchSyncOnWorkerQueueBlockID(
        "test", [&] { engine->setEnabledOnWorkerQueue(false); });
    ASSERT_TRUE(sim::answerADAttributionRequest(std::nullopt, NSError("ADClientError", 1)));
    sim::advanceClock(sim::seconds(2 * APMSearchAdReporter::kRetryInterval));
    wait();
    // The answer's scheduling finds the reporter switched off.
    EXPECT_EQ(sim::pendingADAttributionRequests(), 0u);
    EXPECT_EQ(engine->persistedConfig()->searchAdRetryCount(), 1);
    engine.reset();
    APMMeasurement::resetSharedInstanceForTesting();
}

TEST_F(SearchAdReporterTest, ConstructionNeedsQueueAndSettings) {
    EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(nullptr, settings_));
    EXPECT_TRUE(logged(32000));
    EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(worker_, nullptr));
    EXPECT_TRUE(logged(32001));
}

}  // namespace
