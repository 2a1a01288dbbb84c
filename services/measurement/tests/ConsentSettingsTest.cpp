#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

using Util = APMConsentSettingsUtil;

class ConsentSettingsUtilTest : public ::testing::Test {
  protected:
    void SetUp() override { Util::setConsentSettings(std::nullopt); }
    void TearDown() override {
        Util::setConsentSettings(std::nullopt);
        APMRemoteConfig::setEngineInstance(nullptr);
        sim::clearMainBundlePath();
    }
    // An engine configuration with these settings.
    void configure(const std::vector<std::pair<std::string, std::string>>& settings) {
        database = APMDatabase::initWithDatabaseName("consent.sql", nullptr);
        auto config = APMRemoteConfig::initWithAppID("app", database.get(), nullptr);
        auto message = APMPBMeasurementConfig::make();
        APMPBSetString(message.get(), 1, Value("app"));
        std::vector<APMPBObject> list;
        for (const auto& [name, value] : settings) {
            auto setting = APMPBSetting::make();
            APMPBSetString(setting.get(), 0, Value(name));
            APMPBSetString(setting.get(), 1, Value(value));
            list.emplace_back(setting);
        }
        APMPBSetArray(message.get(), 3, list);
        config->parseRemoteConfigFromMeasurementConfig(*message);
        APMRemoteConfig::setEngineInstance(config);
    }
    MeasurementTempHome home;
    std::unique_ptr<APMDatabase> database;
};

}  // namespace

TEST_F(ConsentSettingsUtilTest, ValuesAreComparedWithoutCase) {
    struct Case {
        Value value;
        bool denied;
        bool granted;
    };
    const Case cases[] = {
        {Value("denied"), true, false},  {Value("DENIED"), true, false},
        {Value("Denied"), true, false},  {Value("granted"), false, true},
        {Value("GRANTED"), false, true}, {Value(0), false, false},
        {Value(), false, false},         {Value("deny"), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Util::isDenied(c.value), c.denied) << c.value;
        EXPECT_EQ(Util::isGranted(c.value), c.granted) << c.value;
    }
}

TEST_F(ConsentSettingsUtilTest, SourcePriority) {
    struct Case {
        std::int64_t current;
        std::int64_t asked;
        bool higher;
    };
    const Case cases[] = {
        {40, 40, true}, {20, 40, false}, {100, 10, true}, {10, 20, false}, {30, 20, true}};
    for (const auto& c : cases) {
        Util::setConsentSource(c.current);
        EXPECT_EQ(Util::isConsentSourceHigherPriority(c.asked), c.higher)
            << c.current << " " << c.asked;
    }
    Util::setConsentSettings(std::nullopt);
    EXPECT_EQ(Util::consentSource(), 100);
}

TEST_F(ConsentSettingsUtilTest, SettingsMergeBySourcePriority) {
    struct Step {
        Dictionary settings;
        std::int64_t source;
        bool merge;
        bool accepted;
        Dictionary after;
    };
    const Step steps[] = {
        {{{"ad_storage", "granted"}, {"analytics_storage", "granted"}},
         Util::kSourceStartUp,
         false,
         true,
         {{"ad_storage", "granted"}, {"analytics_storage", "granted"}}},
        {{{"ad_storage", "denied"}},
         Util::kSourceInfoPlist,
         false,
         true,
         {{"ad_storage", "denied"}}},
        // A less important source cannot override.
        {{{"ad_storage", "granted"}}, Util::kSourceCall, true, false, {{"ad_storage", "denied"}}},
        {{{"ad_storage", "granted"}},
         Util::kSourceStartUp,
         false,
         false,
         {{"ad_storage", "denied"}}},
        // An equal or more important one can; merging keeps the other key.
        {{{"analytics_storage", "denied"}},
         Util::kSourceInfoPlist,
         true,
         true,
         {{"ad_storage", "denied"}, {"analytics_storage", "denied"}}},
        {{{"ad_storage", "granted"}},
         Util::kSourceThirdPartyCall,
         true,
         true,
         {{"ad_storage", "granted"}, {"analytics_storage", "denied"}}},
    };
    std::int64_t source = Util::kSourceNone;
    for (const auto& step : steps) {
        EXPECT_EQ(Util::applySettings(step.settings, step.source, step.merge), step.accepted);
        if (step.accepted) source = step.source;
        EXPECT_EQ(Util::consentSettings(), step.after);
        EXPECT_EQ(Util::consentSource(), source);
    }
    Util::updateSettings({{"ad_storage", "denied"}});
    EXPECT_EQ(Util::consentSettings(),
              (Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}));
    EXPECT_TRUE(Util::isAdStorageDenied());
    EXPECT_TRUE(Util::isAnalyticsStorageDenied());
    EXPECT_EQ(Util::description(), "ad_storage is denied. analytics_storage is denied.");
    Util::setConsentSettings(Dictionary{});
    EXPECT_EQ(Util::description(), "ad_storage is granted. analytics_storage is granted.");
}

TEST_F(ConsentSettingsUtilTest, WithdrawnConsent) {
    struct Case {
        std::optional<Dictionary> current;
        std::optional<Value> previous;
        bool withdrawn;
    };
    const Dictionary granted{{"ad_storage", "granted"}, {"analytics_storage", "granted"}};
    const Dictionary adDenied{{"ad_storage", "denied"}, {"analytics_storage", "granted"}};
    const Case cases[] = {
        {std::nullopt, Value(granted), false},
        {adDenied, Value(adDenied), false},
        {adDenied, Value(granted), true},
        {adDenied, std::nullopt, true},
        {adDenied, Value(), true},
        {adDenied, Value("not a dictionary"), false},
        {granted, Value(adDenied), false},
        {Dictionary{{"analytics_storage", "DENIED"}}, Value(Dictionary{}), true},
    };
    for (const auto& c : cases) {
        Util::setConsentSettings(c.current);
        EXPECT_EQ(Util::didWithdrawPreviousConsent(c.previous), c.withdrawn);
    }
}

TEST_F(ConsentSettingsUtilTest, SignalsAndTheConfigurationSwitches) {
    struct Case {
        std::optional<Dictionary> settings;
        std::optional<std::string> signals;
    };
    const Case cases[] = {
        {std::nullopt, "G1--"},
        {Dictionary{{"ad_storage", "granted"}, {"analytics_storage", "denied"}}, "G110"},
        {Dictionary{{"ad_storage", "Denied"}, {"analytics_storage", Value(1)}}, "G10-"},
    };
    for (const auto& c : cases) {
        Util::setConsentSettings(c.settings);
        EXPECT_EQ(Util::consentSignals(), c.signals);
    }
    const Dictionary denied{{"ad_storage", "denied"}, {"analytics_storage", "denied"}};
    configure({{"measurement.api.consent_settings_3p", "0"}});
    Util::setConsentSettings(denied);
    EXPECT_EQ(Util::consentSignals(), std::nullopt);
    EXPECT_TRUE(Util::isAdStorageDenied());

    configure({{"measurement.api.consent_settings", "0"}});
    EXPECT_EQ(Util::consentSignals(), std::nullopt);
    EXPECT_FALSE(Util::isAdStorageDenied());
    EXPECT_FALSE(Util::isAnalyticsStorageDenied());
    EXPECT_FALSE(Util::didWithdrawPreviousConsent(Value(Dictionary{})));
}

TEST_F(ConsentSettingsUtilTest, DefaultsFromTheInformationList) {
    EXPECT_EQ(Util::consentSettingsFromDictionary(
                  {{"ad_storage", "granted"}, {"other", "x"}, {"analytics_storage", Value(2)}}),
              (Dictionary{{"ad_storage", "granted"}, {"analytics_storage", Value(2)}}));
    struct Case {
        Dictionary info;
        Dictionary settings;
    };
    const Case cases[] = {
        {{}, {}},
        {{{"ZEVERA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", Value(false)},
          {"ZEVERA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", Value(true)}},
         {{"ad_storage", "denied"}, {"analytics_storage", "granted"}}},
        {{{"ZEVERA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", Value("NO")},
          {"ZEVERA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", Value(0)}},
         {{"analytics_storage", "denied"}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        home.installMainBundle("App" + std::to_string(n++) + ".app", c.info);
        EXPECT_EQ(Util::consentSettingsFromPlist(), c.settings);
    }
}
