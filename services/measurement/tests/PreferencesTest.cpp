#include <gtest/gtest.h>

#include <filesystem>

#include "platform/bundle/NSBundle.h"
#include "platform/defaults/CFPreferences.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/keychain/SecItem.h"
#include "platform/log/Log.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMKeychainWrapper.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;

class PreferencesTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { sim::resetZVULoggerForTesting(); }
    bool logged(const std::string& fragment) {
        sim::flushZVULogger();
        return capture.containsSubstring(fragment);
    }
    MeasurementTempHome home;
    sim::LogCapture capture;
};

TEST(PreferencesDefaultsTest, CorePreferencesAreTheDefault) {
    EXPECT_TRUE(APMUserDefaults::userPreferenceEnabled());
    EXPECT_TRUE(APMUserDefaults("s").useCFPreferencesLibrary());
}

TEST_P(PreferencesTest, StoresEveryKindAndAnswersTypedViews) {
    APMUserDefaults defaults("com.test.measurement");
    defaults.setUseCFPreferencesLibrary(GetParam());
    const Value values[] = {Value("text"),
                            Value(42),
                            Value(2.5),
                            Value(true),
                            Value(Array{Value(1)}),
                            Value(Dictionary{{"a", 1}}),
                            Value(Date{12.0}),
                            Value(Data{1, 2, 3})};
    for (const auto& value : values) {
        defaults.setObject(value, "k");
        EXPECT_EQ(defaults.objectForKey("k"), value) << value.description();
    }
    defaults.setInteger(7, "i");
    defaults.setDouble(1.5, "d");
    defaults.setBool(true, "b");
    defaults.setObject(Value("x"), "s");
    EXPECT_EQ(defaults.integerForKey("i"), 7);
    EXPECT_EQ(defaults.doubleForKey("d"), 1.5);
    EXPECT_EQ(defaults.floatForKey("d"), 1.5f);
    EXPECT_TRUE(defaults.boolForKey("b"));
    EXPECT_EQ(defaults.stringForKey("s"), "x");
    // Wrong kinds and missing keys.
    EXPECT_EQ(defaults.integerForKey("s"), 0);
    EXPECT_EQ(defaults.stringForKey("i"), std::nullopt);
    EXPECT_EQ(defaults.arrayForKey("s"), std::nullopt);
    EXPECT_EQ(defaults.dictionaryForKey("missing"), std::nullopt);

    // Seen by the other access road too, and on disk.
    EXPECT_EQ(CFPreferencesCopyAppValue("s", "com.test.measurement"), Value("x"));
    defaults.removeObjectForKey("s");
    EXPECT_EQ(defaults.objectForKey("s"), std::nullopt);
    defaults.setObject(std::nullopt, "i");
    EXPECT_EQ(defaults.objectForKey("i"), std::nullopt);

    defaults.clearAllData();
    EXPECT_EQ(defaults.objectForKey("d"), std::nullopt);
    EXPECT_EQ(defaults.objectForKey("b"), std::nullopt);
}

TEST_P(PreferencesTest, EmptyKeysAreRefusedAndLogged) {
    APMUserDefaults defaults("com.test.measurement");
    defaults.setUseCFPreferencesLibrary(GetParam());
    defaults.setObject(Value(1), "");
    EXPECT_EQ(defaults.objectForKey(""), std::nullopt);
    EXPECT_TRUE(
        logged("[<RedIdizezadodu>][I-ACS041002] Cannot set object for invalid user default key."));
    EXPECT_TRUE(
        logged("[<RedIdizezadodu>][I-ACS041001] Cannot get object for invalid user default key."));
}

TEST_P(PreferencesTest, SynchronizeExcludesSuiteFileFromBackupOnce) {
    APMUserDefaults defaults("com.test.measurement");
    defaults.setUseCFPreferencesLibrary(GetParam());
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_FALSE(defaults.isPreferenceFileExcluded());  // no file yet
    defaults.setObject(Value(1), "k");
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_TRUE(defaults.isPreferenceFileExcluded());
    EXPECT_TRUE(APMIsExcludedFromBackup(APMPreferencesPlistPath("com.test.measurement")));
    EXPECT_TRUE(APMUserDefaults::standardUserDefaults()->isPreferenceFileExcluded());
}

INSTANTIATE_TEST_SUITE_P(BothRoads, PreferencesTest, ::testing::Bool());

class KeychainWrapperTest : public ::testing::Test {
  protected:
    MeasurementTempHome home;
};

TEST_F(KeychainWrapperTest, UpsertReadUpdateDelete) {
    EXPECT_EQ(APMKeychainWrapper::searchDirectoryForIdentifier("", "app"), std::nullopt);
    EXPECT_EQ(APMKeychainWrapper::searchDirectoryForIdentifier("_pfo", ""), std::nullopt);
    EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue("", "_pfo", "app"));
    EXPECT_EQ(sim::Keychain::itemCount(), 0);
    EXPECT_FALSE(APMKeychainWrapper::isMigrationNeededForIdentifier("_pfo", "app"));

    EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("1", "_pfo", "app"));
    EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("\xF0\x9F\x98\x80", "_pfo", "app"));
    EXPECT_EQ(sim::Keychain::itemCount(), 1);
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "app"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "other"), std::nullopt);
    EXPECT_FALSE(APMKeychainWrapper::isMigrationNeededForIdentifier("_pfo", "app"));

    Value attributes;
    auto query = *APMKeychainWrapper::searchDirectoryForIdentifier("_pfo", "app");
    query.set(kSecReturnAttributes, true);
    ASSERT_EQ(SecItemCopyMatching(query, &attributes), errSecSuccess);
    EXPECT_EQ(attributes[kSecAttrAccessible], Value(kAPMKeychainAccessibleAlwaysThisDeviceOnly));

    APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "app");
    EXPECT_EQ(APMKeychainWrapper::keychainDataWithIdentifier("_pfo", "app"), std::nullopt);
}

TEST(ServiceListTest, ReadsListFromMainBundleAndKnowsReservedNames) {
    MeasurementTempHome home;
    auto bundle = home.path() / "Test.app";
    fs::create_directories(bundle / "Contents/Resources");
    auto bytes = PropertyListSerialization::dataWithPropertyList(
        Value(Dictionary{{"APP_ID", "1:2:mac:3"}}), PropertyListFormat::XML);
    ASSERT_TRUE(sim::FileSystem::writeFileAtomically(
        bundle / "Contents/Resources/ZeveraService-Info.plist", *bytes));
    sim::setMainBundlePath(bundle.string());
    EXPECT_EQ(APMInfoPlistFileUtil::dictionaryFromZeveraServiceInfoPlist(),
              (Dictionary{{"APP_ID", "1:2:mac:3"}}));
    sim::clearMainBundlePath();

    const auto& names = APMReservedUserAttributeNameMap();
    EXPECT_EQ(names.size(), 10u);
    EXPECT_EQ(names.at("user_id"), "_id");
    EXPECT_EQ(names.at("za_session_number"), "_sno");
}

}  // namespace
