#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAEU.h"
#include "services/measurement/APMDecimalNumber.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMNumericUtil.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

namespace fs = std::filesystem;

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

// A main bundle of its own under the test's home.
class BundleFixture : public ::testing::Test {
  protected:
    void TearDown() override { sim::clearMainBundlePath(); }
    fs::path makeBundle(const std::string& name, const Dictionary& info) {
        return home.installMainBundle(name, info);
    }
    MeasurementTempHome home;
};

}  // namespace

TEST(DecimalNumbers, WhichTextsAreDecimal) {
    struct Case {
        const char* text;
        bool decimal;
    };
    const Case cases[] = {
        {"5", true},    {"5.", true}, {".5", true},   {"-.25", true},   {"+007", true},
        {"1.50", true}, {"", false},  {"1e5", false}, {"1.2.3", false}, {" 5", false},
        {"5 ", false},  {"-", false}, {".", false},   {"+-1", false},   {"0x10", false},
        {"١", false},  // digits of other scripts are not decimal digits here
    };
    for (const auto& c : cases) EXPECT_EQ(APMIsDecimalNumberString(c.text), c.decimal) << c.text;
}

TEST(DecimalNumbers, ParsingKeepsEveryDigit) {
    struct Case {
        const char* text;
        std::optional<std::string> canonical;  // nil: refused
        long long code;                        // the refusal's code
    };
    const Case cases[] = {
        {"1.50", "1.5", 0},
        {"007", "7", 0},
        {"-.25", "-0.25", 0},
        {".5", "0.5", 0},
        {"+.5", "0.5", 0},
        {"5.", "5", 0},
        {"0.000", "0", 0},
        {"-0", "0", 0},
        {"100", "100", 0},
        {"1234567890123456789012345678901234", "1234567890123456789012345678901234", 0},
        {"12345678901234567890123456789012345678", std::nullopt, 26003},
        {"0.12345678901234567890123456789012345678", std::nullopt, 26003},
        {"1e5", std::nullopt, 26001},
        {"", std::nullopt, 26001},
        {"abc", std::nullopt, 26001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        APMMeasurement::monitor().clearLines();
        const auto number = APMDecimalNumberFromString(c.text);
        EXPECT_EQ(number.has_value(), c.canonical.has_value());
        if (number && c.canonical) {
            EXPECT_EQ(number->stringValue(), *c.canonical);
        }
        EXPECT_TRUE(c.code == 0 || logged(c.code));
    }
}

TEST(DecimalNumbers, MagnitudesBeyondTheRangeAreNoNumbers) {
    const std::string huge = "1" + std::string(7000, '0');
    for (const std::string& text : {huge, "-" + huge, std::string("1e7000")}) {
        EXPECT_TRUE(APMDecimalNumber::fromString(text).isNaN());
        EXPECT_EQ(APMDecimalNumber::fromString(text).stringValue(), "NaN");
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(APMDecimalNumberFromString(huge));
    EXPECT_TRUE(logged(26002));
    EXPECT_TRUE(APMDecimalNumber::fromString(std::string("5\0", 2)).isNaN());
}

TEST(DecimalNumbers, ArithmeticViews) {
    const auto a = APMDecimalNumber::fromString("600000");
    EXPECT_EQ(a.int64Value(), 600000);
    EXPECT_EQ(APMDecimalNumber::fromString("-2.9").int64Value(), -2);
    EXPECT_EQ(APMDecimalNumber::fromString("99999999999999999999").int64Value(), std::nullopt);
    EXPECT_EQ(APMDecimalNumber::notANumber().int64Value(), std::nullopt);
    EXPECT_EQ(APMDecimalNumber::fromString("0.5").doubleValue(), 0.5);
    EXPECT_EQ(APMDecimalNumber::fromDouble(0.1).stringValue(), "0.1");
    EXPECT_EQ(APMDecimalNumber::fromDouble(86400).stringValue(), "86400");
    EXPECT_EQ(APMDecimalNumber::fromInt64(-9223372036854775807LL - 1).stringValue(),
              "-9223372036854775808");
    struct Case {
        const char* left;
        const char* right;
        std::optional<int> order;
    };
    const Case cases[] = {
        {"1", "1.000", 0},
        {"0.1", "0.2", -1},
        {"-5", "-6", 1},
        {"NaN", "1", std::nullopt},
        {"100000000000000000001", "100000000000000000000", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            APMDecimalNumber::fromString(c.left).compare(APMDecimalNumber::fromString(c.right)),
            c.order)
            << c.left << " " << c.right;
    }
}

TEST(NumericUtil, RandomIntegersAndFailure) {
    const auto fixed = [](void* buffer, std::size_t size) {
        std::memset(buffer, 0x01, size);
        return true;
    };
    EXPECT_EQ(APMNumericUtil::randomInt64(fixed), 0x0101010101010101LL);
    APMMeasurement::monitor().clearLines();
    const auto failing = [](void*, std::size_t) {
        errno = EIO;
        return false;
    };
    EXPECT_EQ(APMNumericUtil::randomInt64(failing), 0);
    const auto lines = APMMeasurement::monitor().lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 5);
    EXPECT_EQ(lines[0].messageCode, 26004);
    EXPECT_EQ(lines[0].contexts, std::vector<Value>{Value(std::strerror(EIO))});
    EXPECT_NE(APMNumericUtil::randomInt64(), APMNumericUtil::randomInt64());
}

TEST(EnvironmentInfo, LanguagesAndTimeZones) {
    struct LanguageCase {
        const char* locale;
        std::optional<std::string> language;
    };
    const LanguageCase languages[] = {
        {"en_US.UTF-8", "en-us"}, {"de_CH", "de-ch"},  {"fr", "fr"},
        {"sr_RS@latin", "sr-rs"}, {"C", std::nullopt}, {"POSIX", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : languages) {
        EXPECT_EQ(APMEnvironmentInfo::languageFromLocaleName(c.locale), c.language) << c.locale;
    }
    struct ZoneCase {
        const char* zone;
        std::optional<int> minutes;
    };
    const ZoneCase zones[] = {
        {"GMT+05:30", 330},
        {"GMT-03:30", -210},
        {"GMT", 0},
        {"Nowhere/Else", std::nullopt},
    };
    for (const auto& c : zones) {
        EXPECT_EQ(APMEnvironmentInfo::timeZoneOffsetMinutes(c.zone, 1704067200.0), c.minutes)
            << c.zone;
    }
    // Summer time counts: Paris is two hours ahead in July.
    EXPECT_EQ(APMEnvironmentInfo::timeZoneOffsetMinutes("Europe/Paris", 1720000000.0), 120);
}

TEST(EnvironmentInfo, DeviceModelIsProbedOnce) {
    auto& info = APMEnvironmentInfo::sharedInstance();
    sim::setHostModel("Mac14,2");
    EXPECT_EQ(info.deviceModel(), "Mac14,2");
    sim::setHostModel("Other1,1");
    EXPECT_EQ(info.deviceModel(), "Mac14,2");
    sim::clearHostModel();
    EXPECT_EQ(&info, &APMEnvironmentInfo::sharedInstance());
}

TEST_F(BundleFixture, InstallKinds) {
    struct Case {
        const char* name;
        Dictionary info;
        bool sandboxReceipt;
        bool scInfo;
        bool provision;
        bool encrypted;
        std::optional<std::string> receiptName;  // nil: no receipt location
        bool fromAppStore;
    };
    const Case cases[] = {
        {"Plain.app", {}, false, false, false, false, "receipt", false},
        {"Encrypted.app", {}, false, false, false, true, "receipt", true},
        {"Provisioned.app", {}, false, false, true, true, "receipt", false},
        {"SCInfo.app", {}, false, true, false, false, "receipt", true},
        {"Sandbox.app", {}, true, true, false, true, "sandboxReceipt", false},
        {"Unchecked.app",
         {{"ReruzeraAppStoreReceiptURLCheckEnabled", Value(false)}},
         true,
         false,
         false,
         true,
         std::nullopt,
         true},
        {"StringSwitch.app",
         {{"ReruzeraAppStoreReceiptURLCheckEnabled", Value("NO")}},
         true,
         false,
         false,
         true,
         "sandboxReceipt",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path bundle = makeBundle(c.name, c.info);
        fs::create_directories(bundle / "Contents/_MASReceipt");
        if (c.sandboxReceipt) std::ofstream(bundle / "Contents/_MASReceipt/sandboxReceipt") << "r";
        if (c.scInfo) fs::create_directories(bundle / "SC_Info");
        if (c.provision)
            std::ofstream(bundle / "Contents/Resources/embedded.mobileprovision") << "p";
        const auto url = APMAEU::appStoreRURL();
        EXPECT_EQ(url.has_value(), c.receiptName.has_value());
        if (url && c.receiptName) {
            EXPECT_EQ(fs::path(*url).filename(), *c.receiptName);
        }
        EXPECT_EQ(APMAEU::isASRS(), c.receiptName == std::optional<std::string>("sandboxReceipt"));
        EXPECT_EQ(APMAEU::isFAS(c.encrypted), c.fromAppStore);
        EXPECT_FALSE(APMAEU::isAEX());
    }
    makeBundle("Share.appex", {});
    EXPECT_TRUE(APMAEU::isAEX());
}

TEST(EnvironmentHelpers, DeepLinkNotificationAndOlderLibrary) {
    MeasurementTempHome home;
    APMUserDefaults defaults("com.test.deeplink");
    defaults.setObject(Value("app://x"), "/zevera/measurement/deep_link");
    defaults.setObject(Value(1.5), "/zevera/measurement/deep_link_timestamp_seconds");
    defaults.setObject(Value(1), "/zevera/measurement/other");
    APMRemoveStoredDeepLink(defaults);
    EXPECT_FALSE(defaults.objectForKey("/zevera/measurement/deep_link"));
    EXPECT_FALSE(defaults.objectForKey("/zevera/measurement/deep_link_timestamp_seconds"));
    EXPECT_TRUE(defaults.objectForKey("/zevera/measurement/other"));
    EXPECT_STREQ(APMApplicationDidBecomeActiveNotificationName(),
                 "NSApplicationDidBecomeActiveNotification");
    EXPECT_EQ(APMAppDelegateInterceptor::sharedInstance(),
              APMAppDelegateInterceptor::sharedInstance());

    EXPECT_FALSE(APMBackwardCompatibilityUtil::disableDEVAzizoduvura());
    // An older library whose shared instance is switched off.
    static bool enabled = true;
    static std::shared_ptr<RuntimeObject> shared;
    Class cls = objc_allocateClassPair(nullptr, "DEVAzizoduvura", 0);
    class_addMethod(cls, "setIsEnabled:",
                    imp_implementationWithBlock([](RuntimeObject&, bool on) { enabled = on; }),
                    "v@:B");
    class_addMethod(object_getClass(cls), "sharedInstance",
                    imp_implementationWithBlock([](RuntimeObject&) -> id { return shared; }),
                    "@@:");
    objc_registerClassPair(cls);
    EXPECT_FALSE(APMBackwardCompatibilityUtil::disableDEVAzizoduvura());  // no instance yet
    EXPECT_TRUE(enabled);
    shared = std::make_shared<RuntimeObject>(cls);
    EXPECT_TRUE(APMBackwardCompatibilityUtil::disableDEVAzizoduvura());
    EXPECT_FALSE(enabled);
}
