#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMPersistentDictionary.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;

class PersistedConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::resetZVULoggerForTesting();
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override { sim::useRealClock(); }
    MeasurementTempHome home;
    sim::LogCapture capture;
};

TEST_F(PersistedConfigTest, DictionaryStoreCoalescesWritesFromFirstChange) {
    auto store = APMPersistentDictionary::initWithFileName("suite");
    ASSERT_TRUE(store);
    for (int i = 0; i < 10; ++i) {
        store->setInteger(i, "k");
        sim::advanceClock(sim::seconds(0.05));
    }
    sim::advanceClock(sim::seconds(0.45));  // 0.95 s after the first change
    store->waitForPostedWrites();
    EXPECT_EQ(store->persistCount(), 0);
    sim::advanceClock(sim::seconds(0.05));
    store->waitForPostedWrites();
    EXPECT_EQ(store->persistCount(), 1);

    // The same value again: nothing to write.
    store->setInteger(9, "k");
    sim::advanceClock(sim::seconds(2));
    store->waitForPostedWrites();
    EXPECT_EQ(store->persistCount(), 1);

    auto reopened = APMPersistentDictionary::initWithFileName("suite");
    EXPECT_EQ(reopened->integerForKey("k"), 9);
    EXPECT_EQ(store->filePath(), APMMeasurementPlistPath("suite"));
}

TEST_F(PersistedConfigTest, DictionaryStoreRefusesWhatTheFileCannotHold) {
    auto store = APMPersistentDictionary::initWithFileName("suite");
    store->setObject(Value("kept"), "k");
    store->setObject(Value(Array{Value(1), Value()}), "k");
    store->setObject(Value(1), "");
    EXPECT_EQ(store->objectForKey("k"), Value("kept"));
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("[I-ACS043003] Cannot set invalid object to config."));
    EXPECT_TRUE(
        capture.containsSubstring("[I-ACS043002] Cannot set object for invalid config key."));
    // Destroyed with a write pending: written at once.
    store.reset();
    EXPECT_EQ(APMPersistentDictionary::initWithFileName("suite")->stringForKey("k"), "kept");
    EXPECT_FALSE(APMPersistentDictionary::initWithFileName(""));
}

TEST_F(PersistedConfigTest, SettingsSynchronizeOnceAfterQuietSecond) {
    auto config = APMPersistedConfig::initWithSuiteName("com.test.settings", true);
    ASSERT_TRUE(config);
    for (int i = 0; i < 10; ++i) {
        config->setSessionNumber(i);
        sim::advanceClock(sim::seconds(0.05));
    }
    sim::advanceClock(sim::seconds(0.9));  // 0.95 s after the last
    config->waitForPostedWork();
    EXPECT_EQ(config->synchronizeCount(), 0);
    sim::advanceClock(sim::seconds(0.05));
    config->waitForPostedWork();
    EXPECT_EQ(config->synchronizeCount(), 1);
    EXPECT_EQ(config->sessionNumber(), 9);
}

TEST_F(PersistedConfigTest, PropertiesRoundTripAndSurviveRestart) {
    for (bool inApplicationSupport : {true, false}) {
        auto config =
            APMPersistedConfig::initWithSuiteName("com.test.settings", inApplicationSupport);
        config->clearValues();
        EXPECT_EQ(config->appInstanceID(), std::nullopt);
        EXPECT_EQ(config->sessionNumber(), 0);
        EXPECT_FALSE(config->unmatchedFirstOpenWithoutIDFA());
        config->setAppInstanceID("id-\xF0\x9F\x98\x80");
        config->setOSVersion("14.1");
        config->setLastBackoffTimestamp(12.5);
        config->setUnmatchedFirstOpenWithoutIDFA(true);
        config->setDefaultEventParameters(Dictionary{{"p", 1}});
        config->setDefaultEventParameters(Dictionary{{"p", Value()}});  // refused
        config->setSearchAdCampaignValue(Value("no"));                  // numbers only
        config->setSearchAdCampaignValue(Value(1));
        config->setLoadTimestampValue(Value(3.0));
        double offset = config->midnightOffset();
        EXPECT_GE(offset, 0);
        EXPECT_LT(offset, 86400);
        EXPECT_NEAR(std::round(offset * 1000), offset * 1000, 1e-6);
        EXPECT_EQ(config->midnightOffset(), offset);
        config.reset();

        config = APMPersistedConfig::initWithSuiteName("com.test.settings", inApplicationSupport);
        EXPECT_EQ(config->appInstanceID(), "id-\xF0\x9F\x98\x80");
        EXPECT_EQ(config->osVersion(), "14.1");
        EXPECT_EQ(config->lastBackoffTimestamp(), 12.5);
        EXPECT_TRUE(config->unmatchedFirstOpenWithoutIDFA());
        EXPECT_EQ(config->defaultEventParameters(), (Dictionary{{"p", 1}}));
        EXPECT_EQ(config->searchAdCampaignValue(), Value(1));
        EXPECT_EQ(config->loadTimestampValue(), Value(3.0));
        EXPECT_EQ(config->midnightOffset(), offset);
        EXPECT_EQ(config->int64ForKey(""), 0);
        EXPECT_EQ(config->stringForKey(""), std::nullopt);
    }
    bool refused = false;
    for (const auto& line : APMMeasurement::monitor().lines()) refused |= line.messageCode == 27002;
    EXPECT_TRUE(refused);
}

TEST_F(PersistedConfigTest, SwitchMovesSettingsBothWaysAndKeepsEnabledState) {
    auto config = APMPersistedConfig::initWithSuiteName("com.test.settings", false);
    config->setAppVersion("1.0");
    config->setMeasurementEnabledState(2);
    config.reset();

    config = APMPersistedConfig::initWithSuiteName("com.test.settings", true);
    EXPECT_TRUE(fs::exists(APMMeasurementPlistPath("com.test.settings")));
    EXPECT_FALSE(fs::exists(APMPreferencesPlistPath("com.test.settings")));
    EXPECT_EQ(config->appVersion(), "1.0");
    EXPECT_EQ(config->measurementEnabledState(), 2);
    config.reset();

    config = APMPersistedConfig::initWithSuiteName("com.test.settings", false);
    EXPECT_FALSE(fs::exists(APMMeasurementPlistPath("com.test.settings")));
    EXPECT_EQ(config->appVersion(), "1.0");
    EXPECT_EQ(config->measurementEnabledState(), 2);
    EXPECT_FALSE(APMPersistedConfig::initWithSuiteName(""));
}

}  // namespace
