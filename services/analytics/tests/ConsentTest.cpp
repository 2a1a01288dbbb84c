#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/tests/AnalyticsTestSupport.h"
#include "services/measurement/APMConsentSettings.h"

namespace {

class ConsentTest : public AnalyticsTest {
  protected:
    void SetUp() override {
        AnalyticsTest::SetUp();
        APMAnalytics::clearConsent();
    }
    // Releases the waiting work without an engine, so resets fail.
    static void startWithoutEngine() {
        ZAROduzozova::registerClass();
        APMAnalytics::startWithAppID("1:100000000001:ios:0000000000000000", "zd", Dictionary{});
        APMAnalytics::waitForPendingWorkForTesting();
    }
};

TEST_F(ConsentTest, OnlyGrantedAndDeniedAreKept) {
    APMAnalytics::setConsent(Dictionary{{"analytics_storage", "maybe"}}, "consent_settings_3p");
    EXPECT_EQ(codes(), (std::vector<long long>{25042, 25041}));
    EXPECT_EQ(APMAnalytics::consentSettings3P(), std::nullopt);
    EXPECT_EQ(APMAnalytics::persistedConsentSource(), 100);

    APMMeasurement::monitor().clearLines();
    ZAROduzozova::setConsent(Dictionary{{"analytics_storage", "granted"}, {"ad_storage", "no"}});
    EXPECT_EQ(codes(), (std::vector<long long>{25042}));
    EXPECT_EQ(APMAnalytics::consentSettings3P(), (Dictionary{{"analytics_storage", "granted"}}));
    EXPECT_EQ(APMAnalytics::persistedConsentSource(), 10);

    // First-party settings rank below what the public face set.
    APMMeasurement::monitor().clearLines();
    APMAnalytics::setConsent(Dictionary{{"ad_storage", "denied"}});
    EXPECT_EQ(codes(), (std::vector<long long>{25043}));
    EXPECT_EQ(APMAnalytics::consentSettings1P(), std::nullopt);
}

TEST_F(ConsentTest, StoredSettingsComeBackWithTheirSourceCapped) {
    struct Case {
        bool thirdParty;   // third-party settings are stored as well
        long long stored;  // the source stored last
        long long loaded;
    };
    for (const Case& c :
         {Case{false, 30, 30}, Case{true, 30, 20}, Case{false, 50, 40}, Case{true, 10, 10}}) {
        APMAnalytics::clearConsent();
        const Dictionary settings{{"ad_storage", "granted"}};
        if (c.thirdParty) APMAnalytics::persistConsentSettings(settings, 10);
        APMAnalytics::persistConsentSettings(settings, c.stored);
        APMAnalytics::loadPersistedConsentSettings();
        EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.loaded)
            << c.stored << " " << c.thirdParty;
        EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), settings);
    }
    APMAnalytics::clearConsent();
    APMAnalytics::loadPersistedConsentSettings();
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
}

TEST_F(ConsentTest, AResetWhileAnalyticsStorageIsDeniedKeepsNoIdentifier) {
    APMAnalytics::setConsent(Dictionary{{"analytics_storage", "denied"}}, "consent_settings_3p");
    APMAnalytics::resetAnalyticsData();
    EXPECT_EQ(APMAnalytics::appInstanceIDAfterReset(), std::nullopt);
    EXPECT_EQ(APMAnalytics::appInstanceID(), std::nullopt);
    EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
}

TEST_F(ConsentTest, FailedResetsCountAndAnIdentifierIsAnsweredAtOnce) {
    APMAnalytics::resetAnalyticsData();
    auto identifier = APMAnalytics::appInstanceID();
    ASSERT_TRUE(identifier);
    EXPECT_EQ(identifier->size(), 32u);
    APMAnalytics::resetAnalyticsData();
    EXPECT_NE(APMAnalytics::appInstanceID(), identifier);
    startWithoutEngine();
    EXPECT_EQ(APMAnalytics::resetRetryCount(), 2);
    EXPECT_TRUE(logged(25037));
}

TEST_F(ConsentTest, AConfirmedResetClearsItsRecordsAndTheEngineKeepsTheIdentifier) {
    start();
    APMAnalytics::logEventWithName("before_reset", Dictionary{});
    APMAnalytics::waitForPendingWorkForTesting();
    APMAnalytics::resetAnalyticsData();
    auto identifier = APMAnalytics::appInstanceID();
    APMAnalytics::waitForPendingWorkForTesting();
    EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
    EXPECT_EQ(APMAnalytics::appInstanceIDAfterReset(), std::nullopt);
    EXPECT_EQ(APMAnalytics::appInstanceID(), identifier);
    EXPECT_TRUE(appEvents().empty());
}

TEST_F(ConsentTest, WithdrawnConsentResetsOrDefersTheReset) {
    APMAnalytics::setConsent(Dictionary{{"analytics_storage", "granted"}}, "consent_settings_3p");
    APMAnalytics::setConsent(Dictionary{{"analytics_storage", "denied"}}, "consent_settings_3p");
    EXPECT_TRUE(APMAnalytics::deferredResetOnDeniedConsent());

    APMAnalytics::clearConsent();
    start();
    APMAnalytics::setConsent(Dictionary{{"ad_storage", "granted"}}, "consent_settings_3p");
    APMAnalytics::setConsent(Dictionary{{"ad_storage", "denied"}}, "consent_settings_3p");
    APMAnalytics::waitForPendingWorkForTesting();
    EXPECT_FALSE(APMAnalytics::deferredResetOnDeniedConsent());
    EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
}

}  // namespace
