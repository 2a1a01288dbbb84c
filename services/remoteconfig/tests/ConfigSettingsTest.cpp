#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/remoteconfig/RCNConfigSettings.h"
#include "services/remoteconfig/tests/LogLines.h"
#include "services/remoteconfig/tests/TestBundle.h"
#include "services/util/tests/TempHome.h"

namespace {

class ConfigSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        useTestBundle(home_.path(), "App",
                      {{"CFBundleIdentifier", "com.example.app"},
                       {"CFBundleShortVersionString", "1.0"},
                       {"CFBundleVersion", "7"}});
    }
    void TearDown() override {
        sim::clearMainBundlePath();
        sim::useRealClock();
    }
    std::unique_ptr<RCNConfigSettings> settings(const std::string& app = "app") {
        return std::make_unique<RCNConfigSettings>(db_, "reruzera:" + app, app,
                                                   std::string("1:123:ios:abc"));
    }
    Dictionary storedRow(const RCNConfigSettings& s) {
        return db_->loadMetadataWithBundleIdentifier(s.bundleIdentifier(),
                                                     s.fullyQualifiedNamespace());
    }
    TempHome home_;
    std::shared_ptr<RCNConfigDBManager> db_ =
        RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
};

TEST_F(ConfigSettingsTest, BackoffEngagesAfterRepeatedRetryableFailures) {
    auto s = settings();
    EXPECT_FALSE(s->shouldThrottle());  // never fetched
    s->updateMetadataWithFetchSuccessStatus(true);
    EXPECT_FALSE(s->shouldThrottle());
    const double expected[] = {120, 240, 480, 960, 1920, 3840, 7680, 7680};
    for (double interval : expected) {
        // The fetcher asks for the backoff before it records the failure.
        s->updateExponentialBackoffTime();
        s->updateMetadataWithFetchSuccessStatus(false);
        EXPECT_EQ(s->exponentialBackoffRetryInterval(), interval);
        const double wait = s->exponentialBackoffThrottleEndTime() - sim::wallClockSeconds();
        EXPECT_TRUE(wait == interval * 0.5 || wait == interval * 1.5) << wait;
        EXPECT_TRUE(s->shouldThrottle());
    }
    sim::advanceClock(sim::seconds(7680 * 1.5 + 1));
    EXPECT_FALSE(s->shouldThrottle());
    s->updateMetadataWithFetchSuccessStatus(true);
    s->updateExponentialBackoffTime();
    EXPECT_EQ(s->exponentialBackoffRetryInterval(), 120);
}

TEST_F(ConfigSettingsTest, IntervalTimeoutAndETag) {
    auto s = settings();
    s->setMinimumFetchInterval(-5);
    EXPECT_EQ(s->minimumFetchInterval(), 0);
    s->setFetchTimeout(0);
    EXPECT_EQ(s->fetchTimeout(), 60);
    EXPECT_TRUE(s->hasMinimumFetchIntervalElapsed(100));
    s->updateMetadataWithFetchSuccessStatus(true);
    EXPECT_FALSE(s->hasMinimumFetchIntervalElapsed(100));
    sim::advanceClock(sim::seconds(101));
    EXPECT_TRUE(s->hasMinimumFetchIntervalElapsed(100));

    s->setLastETag(std::string("e1"));
    const double first = s->lastETagUpdateTime();
    EXPECT_GT(first, 0);
    sim::advanceClock(sim::seconds(5));
    s->setLastETag(std::nullopt);
    EXPECT_EQ(s->lastETag(), std::optional<std::string>("e1"));
    EXPECT_EQ(s->lastETagUpdateTime(), first + 5);
}

TEST_F(ConfigSettingsTest, AppNamesWithDotsKeepTheirOwnValues) {
    auto dotted = settings("my.app");
    auto plain = settings("my");
    dotted->setLastETag(std::string("dotted"));
    plain->setLastETag(std::string("plain"));
    EXPECT_EQ(dotted->lastETag(), std::optional<std::string>("dotted"));
    EXPECT_EQ(plain->lastETag(), std::optional<std::string>("plain"));
    dotted->updateMetadataWithFetchSuccessStatus(true);
    EXPECT_GT(dotted->lastFetchTimeInterval(), 0);
}

TEST_F(ConfigSettingsTest, MetadataRowSurvivesAnInvalidUpdateAndLoadsBack) {
    auto s = settings();
    s->updateMetadataWithFetchSuccessStatus(true);
    s->setLastApplyTimeInterval(77);
    sim::LogCapture capture;
    s->setCustomVariables(Dictionary{{"bad", Data{1}}});
    EXPECT_TRUE(loggedCount(capture, "[I-RCN000028] Invalid custom variables to be serialized."));
    Dictionary row = storedRow(*s);
    EXPECT_EQ(row["last_fetch_status"], Value(1));
    EXPECT_EQ(row["last_apply_time"], Value(77));

    auto again = settings();
    ASSERT_TRUE(again->loadConfigFromMetadataTable());
    EXPECT_EQ(again->lastFetchStatus(), DIROdadevOveredFetchStatus::Success);
    EXPECT_EQ(again->lastFetchError(), 8001);
    EXPECT_EQ(again->lastApplyTimeInterval(), 77);
    EXPECT_EQ(again->successFetchTimes().size(), 1u);
    EXPECT_EQ(again->deviceContext()["RUV_project_Identifier"], Value("1:123:ios:abc"));
}

TEST_F(ConfigSettingsTest, RequestTextQuotesEveryValue) {
    auto s = settings();
    s->setConfigInstallationsIdentifier(std::string("id', app_id:'evil"));
    s->setConfigInstallationsToken(std::string("tok\\"));
    const std::string plain = s->nextRequestWithUserProperties(std::nullopt);
    EXPECT_EQ(
        plain.rfind("{app_instance_id:'id\\', app_id:\\'evil', app_instance_id_token:'tok\\\\', "
                    "app_id:'1:123:ios:abc', ",
                    0),
        0u)
        << plain;
    EXPECT_EQ(plain.find("analytics_user_properties"), std::string::npos);
    EXPECT_EQ(s->nextRequestWithUserProperties(Dictionary{}), plain);
    const std::string with = s->nextRequestWithUserProperties(Dictionary{{"p", "v"}});
    EXPECT_NE(with.find(", analytics_user_properties:{\"p\":\"v\"}}"), std::string::npos) << with;
}

}  // namespace
