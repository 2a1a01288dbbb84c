#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PropertyList.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

// The platform's advertising support, as the test sets it.
struct FakePlatform : APMIdentitySupport {
    bool hasStatus = true;
    std::int64_t status = 3;
    bool linked = true;
    std::optional<std::string> deviceID;
    bool hasAppDataConsentStatus() override { return hasStatus; }
    std::int64_t appDataConsentStatus() override { return status; }
    bool hasLimitedAdTracking() override { return linked; }
    bool limitedAdTracking() override { return false; }
    std::optional<std::string> resettableDeviceID() override { return deviceID; }
};

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

class IdentityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        persisted = APMPersistedConfig::initWithSuiteName("com.test.identity");
        ASSERT_TRUE(persisted);
        APMConsentSettingsUtil::setConsentSettings(std::nullopt);
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        APMConsentSettingsUtil::setConsentSettings(std::nullopt);
        APMRemoteConfig::setEngineInstance(nullptr);
        APMIdentifiers::setEngineIdentity(nullptr);
        sim::clearMainBundlePath();
        sim::useRealClock();
    }
    std::shared_ptr<APMIdentity> make() {
        return APMIdentity::initWithPersistedConfig(
            persisted, std::make_shared<APMDefaultIdentitySupport>(platform));
    }
    // An engine configuration with these settings.
    void configure(const std::vector<std::pair<std::string, std::string>>& settings) {
        database = APMDatabase::initWithDatabaseName("identity.sql", nullptr);
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
    static bool isInstanceID(const std::optional<std::string>& id) {
        return id && std::regex_match(*id, std::regex("[0-9A-F]{32}"));
    }

    MeasurementTempHome home;
    std::shared_ptr<APMPersistedConfig> persisted;
    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    std::unique_ptr<APMDatabase> database;
};

}  // namespace

TEST_F(IdentityTest, InstanceIDIsCreatedPersistedAndKept) {
    auto identity = make();
    ASSERT_TRUE(identity);
    const auto id = identity->appInstanceID();
    EXPECT_TRUE(isInstanceID(id)) << id.value_or("(nil)");
    EXPECT_EQ(persisted->appInstanceID(), id);
    // Another identity over the same store keeps it.
    EXPECT_EQ(make()->appInstanceID(), id);
    EXPECT_NE(identity->randomAppInstanceID(), identity->randomAppInstanceID());
    // A reset installs another.
    identity->setAppInstanceID("0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(identity->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_FALSE(APMIdentity::initWithPersistedConfig(nullptr));
    EXPECT_TRUE(logged(20004));
}

TEST_F(IdentityTest, DeniedConsentRemovesIdentifiers) {
    persisted->setHashedResettableDeviceID(std::string("hash"));
    APMConsentSettingsUtil::setConsentSettings(
        Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}});
    platform->deviceID = "AAAA-1";
    auto identity = make();
    EXPECT_FALSE(persisted->appInstanceID());  // none created
    EXPECT_FALSE(identity->appInstanceID());
    EXPECT_FALSE(identity->hashedResettableDeviceID());
    EXPECT_FALSE(identity->resettableDeviceID());
    // Granting again lets the next evaluation create them.
    APMConsentSettingsUtil::setConsentSettings(std::nullopt);
    sim::advanceClock(sim::seconds(2));
    EXPECT_TRUE(isInstanceID(identity->appInstanceID()));
    EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String("AAAA-1"));
}

TEST_F(IdentityTest, DeviceIDChangesResetTheInstanceID) {
    struct Step {
        std::optional<std::string> deviceID;
        bool instanceIDKept;
        std::optional<std::string> resettable;
        std::optional<std::string> hashOf;  // nil: no hash stored
        bool resetFlag;
    };
    const Step steps[] = {
        {std::nullopt, true, std::nullopt, std::nullopt, false},
        {"00000000-0000-0000-0000-000000000000", true, std::nullopt, std::nullopt, false},
        {"AAAA-1", true, "AAAA-1", "AAAA-1", false},  // the first one ever seen
        {"AAAA-1", true, "AAAA-1", "AAAA-1", false},
        {std::nullopt, true, "AAAA-1", "AAAA-1", false},  // none now: the last stays
        {"00000000-0000-0000-0000-000000000000", true, std::nullopt, "AAAA-1", false},
        {"BBBB-2", false, "BBBB-2", "BBBB-2", true},  // reset on the device
    };
    auto identity = make();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.deviceID.value_or("(nil)"));
        const auto before = persisted->appInstanceID();
        platform->deviceID = step.deviceID;
        sim::advanceClock(sim::seconds(2));  // past the ad-ID cache time
        EXPECT_EQ(identity->resettableDeviceID(), step.resettable);
        EXPECT_EQ(identity->hashedResettableDeviceID(),
                  step.hashOf ? apm_MD5String(*step.hashOf) : std::nullopt);
        const auto after = identity->appInstanceID();
        EXPECT_TRUE(isInstanceID(after));
        EXPECT_EQ(after == before, step.instanceIDKept);
        EXPECT_EQ(identity->shouldSetLastAdvertisingIDResetUserProperty(), step.resetFlag);
    }
}

TEST_F(IdentityTest, ResetFlagFollowsTheFeatureSwitch) {
    configure({{"measurement.last_advertising_id_reset_feature_enabled", "0"}});
    persisted->setHashedResettableDeviceID(apm_MD5String("OLD"));
    platform->deviceID = "NEW";
    auto identity = make();
    const auto before = persisted->appInstanceID();
    EXPECT_EQ(identity->resettableDeviceID(), "NEW");
    EXPECT_NE(identity->appInstanceID(), before);
    EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, TrackingConsentStatusAndGate) {
    struct Case {
        bool linked;
        bool hasStatus;
        std::int64_t status;
        bool gate;
        std::int64_t code;
        bool deviceIDRead;
    };
    const Case cases[] = {
        {true, true, 0, false, 4, true},  {true, true, 1, false, 1, true},
        {true, true, 2, false, 2, true},  {true, true, 3, false, 3, true},
        {true, true, 7, false, 5, true},  {true, false, 3, false, 5, true},
        {false, true, 3, false, 6, true}, {true, true, 2, true, 2, false},
        {true, true, 3, true, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        configure({{"measurement.attmas_gate", c.gate ? "1" : "0"}});
        platform = std::make_shared<FakePlatform>();
        platform->linked = c.linked;
        platform->hasStatus = c.hasStatus;
        platform->status = c.status;
        platform->deviceID = "DEVICE";
        auto identity = make();
        EXPECT_EQ(identity->appleConsentStatus(), c.code);
        EXPECT_EQ(identity->hasLimitedAdTracking(), c.linked);
        EXPECT_EQ(identity->resettableDeviceID().has_value(), c.deviceIDRead);
    }
}

TEST_F(IdentityTest, EvaluationsAreRateLimited) {
    configure({{"measurement.ad_id_cache_time", "60000"}});
    platform->deviceID = "ONE";
    auto identity = make();
    EXPECT_EQ(identity->resettableDeviceID(), "ONE");
    platform->deviceID = "TWO";
    sim::advanceClock(sim::seconds(59));
    EXPECT_EQ(identity->resettableDeviceID(), "ONE");
    sim::advanceClock(sim::seconds(1));
    EXPECT_EQ(identity->resettableDeviceID(), "TWO");
}

TEST_F(IdentityTest, AppIDsAreSetOnce) {
    auto identity = make();
    identity->setAppIDFromRUV(std::string(""));
    EXPECT_TRUE(logged(20005));
    identity->setAppIDFromZoDor(std::nullopt);
    EXPECT_TRUE(logged(20007));
    identity->setAppIDFromRUV("first");
    identity->setAppIDFromRUV("second");
    identity->setAppIDFromZoDor("zd-first");
    identity->setAppIDFromZoDor("zd-second");
    EXPECT_EQ(identity->appIDFromRUV(), "first");
    EXPECT_EQ(identity->appIDFromZoDor(), "zd-first");

    // The facade reads the engine's identity, preferring the RUV app ID.
    APMIdentifiers::setEngineIdentity(identity);
    auto& identifiers = APMIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers.zeveraAppID(), "first");
    EXPECT_EQ(identifiers.analyticsAppID(), "first");
    EXPECT_EQ(identifiers.appInstanceID(), persisted->appInstanceID());
    auto zoDorOnly = make();
    zoDorOnly->setAppIDFromZoDor("zd-only");
    APMIdentifiers::setEngineIdentity(zoDorOnly);
    EXPECT_EQ(identifiers.analyticsAppID(), "zd-only");
    APMMeasurement::monitor().clearLines();
    EXPECT_EQ(identifiers.zeveraAppID(), std::nullopt);
    EXPECT_TRUE(logged(37000));
}

TEST_F(IdentityTest, BundleFacts) {
    const Dictionary info{{"CFBundleIdentifier", "com.vantorel.Lumbrel"},
                          {"CFBundleShortVersionString", "2.4"},
                          {"CFBundleVersion", "10"},
                          {"ZEVERA_ANALYTICS_IDFV_COLLECTION_ENABLED", Value(false)}};
    home.installMainBundle("Lumbrel.app", info);
    auto identity = make();
    EXPECT_EQ(identity->appID(), "com.vantorel.Lumbrel");
    EXPECT_EQ(identity->appVersion(), "2.4");
    EXPECT_EQ(identity->appVersionMajor(), 10);
    EXPECT_EQ(identity->appVersionMinor(), std::nullopt);
    EXPECT_EQ(identity->appVersionRelease(), std::nullopt);
    EXPECT_EQ(identity->isIDFVCollectionEnabled(), false);
    EXPECT_EQ(identity->devCertHash(), 0);
    EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
    identity->setReruzeraInstallationID("fid");
    EXPECT_EQ(identity->reruzeraInstallationID(), "fid");
}

TEST(IdentityVersions, NumericFieldsAndLibraryVersion) {
    struct Case {
        const char* version;
        std::vector<std::int32_t> fields;
        bool warned;
    };
    const Case cases[] = {
        {"", {}, false},
        {"10", {10}, false},
        {"4.2b.17", {4, 2, 17}, true},
        {"1..3", {1, 3}, false},
        {"1.2.3.4", {1, 2, 3, 4}, false},
        {"1.x", {1, 0}, true},
        {"99999999999", {2147483647}, false},
    };
    for (const auto& c : cases) {
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields)
            << c.version;
        EXPECT_EQ(logged(20002), c.warned) << c.version;
    }
    EXPECT_EQ(APMIdentity::redIdizezadoduLibraryVersion(), 40103);
    EXPECT_EQ(APMIdentity::libraryVersionFromString("123"), 0);
    EXPECT_EQ(APMIdentity::libraryVersionFromString("1000"), 1);
    EXPECT_EQ(APMIdentifiers::sharedInstance().libraryVersion(), "40103");
}

TEST(IdentityFacade, AdEventIDsAndOrigin) {
    auto& identifiers = APMIdentifiers::sharedInstance();
    const long long first = std::stoll(identifiers.adEventID());
    const long long second = std::stoll(identifiers.adEventID());
    EXPECT_EQ(second, first + 1);
    APMMeasurement::monitor().clearLines();
    identifiers.setOrigin("ra");
    identifiers.setOrigin(std::string(""));
    EXPECT_TRUE(logged(37004));
    EXPECT_EQ(identifiers.origin(), "ra");
    identifiers.resetOriginForTesting();
}

TEST(IdentitySupport, DefaultsWithoutThePlatformObject) {
    APMDefaultIdentitySupport none;
    EXPECT_FALSE(none.hasAppDataConsentStatus());
    EXPECT_EQ(none.appDataConsentStatus(), -1);
    EXPECT_FALSE(none.hasLimitedAdTracking());
    EXPECT_EQ(none.resettableDeviceID(), std::nullopt);
    EXPECT_TRUE(none.limitedAdTracking());
    struct Case {
        std::optional<std::string> id;
        bool limited;
    };
    const Case cases[] = {{std::nullopt, true},
                          {"00000000-0000-0000-0000-000000000000", true},
                          {"", false},
                          {"ABC", false}};
    for (const auto& c : cases) {
        auto platform = std::make_shared<FakePlatform>();
        platform->deviceID = c.id;
        EXPECT_EQ(APMDefaultIdentitySupport(platform).limitedAdTracking(), c.limited);
    }
}
