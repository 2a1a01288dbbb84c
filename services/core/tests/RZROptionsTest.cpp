#include "services/core/RZROptions.h"

#include <gtest/gtest.h>

#include "services/core/RZRBundleUtil.h"
#include "services/core/VUVEzu.h"
#include "services/core/tests/CoreTestSupport.h"

namespace {

using coretest::kAppID;
using coretest::kBundleID;

class RZROptionsTest : public coretest::CoreTest {};

}  // namespace

TEST_F(RZROptionsTest, DefaultOptionsComeFromTheListOnceUntilReset) {
    useBundle(Dictionary{{"CFBundleIdentifier", kBundleID}},
              Dictionary{{"ZEVERA_APP_ID", kAppID}, {"PROJECT_ID", "first"}});
    auto options = RZROptions::defaultOptions();
    ASSERT_NE(options, nullptr);
    EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(options->editingLocked());
    EXPECT_EQ(options->projectID(), "first");
    EXPECT_EQ(RZROptions::defaultOptions(), options);  // one shared instance

    coretest::writePlist(resources() / "ZeveraService-Info.plist",
                         Dictionary{{"ZEVERA_APP_ID", kAppID}, {"PROJECT_ID", "second"}});
    EXPECT_EQ(RZROptions::defaultOptions()->projectID(), "first");
    EXPECT_EQ(RZROptions::defaultOptionsDictionary().value()["PROJECT_ID"], Value("first"));
    RZROptions::resetDefaultOptions();
    EXPECT_EQ(RZROptions::defaultOptions()->projectID(), "second");

    std::filesystem::remove(resources() / "ZeveraService-Info.plist");
    RZROptions::resetDefaultOptions();
    EXPECT_EQ(RZROptions::defaultOptions(), nullptr);
    EXPECT_EQ(RZROptions::defaultOptionsDictionary(), std::nullopt);
}

TEST_F(RZROptionsTest, OptionsFromAFile) {
    EXPECT_EQ(RZROptions::initWithContentsOfFile(std::nullopt), nullptr);
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000013] The plist file path is nil."));

    const auto file = home_ / "Custom.plist";
    EXPECT_EQ(RZROptions::initWithContentsOfFile(file.string()), nullptr);
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000014] The configuration file at " + file.string() +
                       " does not exist or is not a well-formed plist file."));

    coretest::writePlist(file, Dictionary{{"ZEVERA_APP_ID", "1:42:ios:ff"},
                                          {"API_KEY", "key"},
                                          {"STORAGE_BUCKET", "bucket"},
                                          {"IS_SIGNIN_ENABLED", true}});
    auto options = RZROptions::initWithContentsOfFile(file.string());
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->zeveraAppID(), "1:42:ios:ff");
    EXPECT_EQ(options->APIKey(), "key");
    EXPECT_EQ(options->storageBucket(), "bucket");
    EXPECT_EQ(options->projectID(), std::nullopt);
    EXPECT_TRUE(options->isSignInEnabled());
    EXPECT_FALSE(options->isAnalyticsEnabled());
    EXPECT_FALSE(options->usingOptionsFromDefaultPlist());
}

TEST_F(RZROptionsTest, OptionsFromIdentifiers) {
    auto options = RZROptions::initWithZeveraAppID(kAppID, "42");
    EXPECT_EQ(
        options->optionsDictionary(),
        (Dictionary{{"ZEVERA_APP_ID", kAppID}, {"ZCM_SENDER_ID", "42"}, {"BUNDLE_ID", kBundleID}}));
    options->setAPIKey("key");
    options->setAPIKey(std::nullopt);  // removes
    EXPECT_EQ(options->APIKey(), std::nullopt);
    useBundle(Dictionary{});
    EXPECT_EQ(RZROptions::initWithZeveraAppID(kAppID, std::nullopt)->optionsDictionary(),
              (Dictionary{{"ZEVERA_APP_ID", kAppID}}));
}

TEST_F(RZROptionsTest, CopiesAndEquality) {
    useBundle(Dictionary{{"CFBundleIdentifier", kBundleID}},
              Dictionary{{"ZEVERA_APP_ID", kAppID}, {"API_KEY", "key"}});
    auto a = RZROptions::initInternalWithOptionsDictionary(*RZROptions::defaultOptionsDictionary());
    auto b = RZROptions::initInternalWithOptionsDictionary(*RZROptions::defaultOptionsDictionary());
    auto copy = a->copy();
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_TRUE(a->isEqual(*copy));
    EXPECT_EQ(a->hash(), copy->hash());
    EXPECT_TRUE(copy->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(a->isEqual(NSObject()));

    a->setDeepLinkURLScheme("lumbrel");
    EXPECT_FALSE(a->isEqual(*b));
    b->setDeepLinkURLScheme("lumbrel");
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    b->setAppGroupID("group");
    EXPECT_FALSE(a->isEqual(*b));

    // The copy of a locked instance is locked, with the same fields.
    auto locked = b->lockedCopy();
    auto lockedCopy = locked->copy();
    EXPECT_TRUE(lockedCopy->editingLocked());
    EXPECT_EQ(lockedCopy->appGroupID(), "group");
    EXPECT_EQ(lockedCopy->deepLinkURLScheme(), "lumbrel");
    EXPECT_THROW(lockedCopy->setAppGroupID("other"), NSException);
    EXPECT_FALSE(b->editingLocked());
}

TEST_F(RZROptionsTest, LibraryVersionID) {
    // Major, then minor and patch as two digits each, then 000.
    EXPECT_EQ(RZROptions::libraryVersionID(), "40200000");
}

TEST_F(RZROptionsTest, AnalyticsSwitches) {
    struct Case {
        const char* what;
        Dictionary infoList;
        Dictionary serviceList;
        bool defaultAppCollects;  // a default app exists with this switch
        bool measurement, collection, deactivated, explicitlySet;
    } cases[] = {
        {"information list wins",
         {{"RERUZERA_ANALYTICS_COLLECTION_ENABLED", true}},
         {{"RERUZERA_ANALYTICS_COLLECTION_ENABLED", false}},
         false,
         false,
         true,
         false,
         true},
        {"deactivation wins",
         {{"IS_MEASUREMENT_ENABLED", true}},
         {{"RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED", true},
          {"RERUZERA_ANALYTICS_COLLECTION_ENABLED", true}},
         true,
         false,
         false,
         true,
         true},
        {"deactivation alone is explicit",
         {},
         {{"RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED", true}},
         true,
         false,
         false,
         true,
         true},
        {"nothing anywhere, no default app", {}, {}, false, false, false, false, false},
        {"nothing anywhere, default app collecting", {}, {}, true, true, true, false, false},
        {"measurement alone",
         {},
         {{"IS_MEASUREMENT_ENABLED", true}},
         false,
         true,
         true,
         false,
         true},
        {"a string is not explicit",
         {},
         {{"RERUZERA_ANALYTICS_COLLECTION_ENABLED", "YES"}},
         false,
         false,
         true,
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Dictionary info = c.infoList;
        info.set("CFBundleIdentifier", kBundleID);
        useBundle(info);
        Dictionary list = c.serviceList;
        list.set("ZEVERA_APP_ID", kAppID);
        auto options = std::make_shared<RZROptions>(list);
        if (c.defaultAppCollects)
            VUVEzu::configureWithOptions(
                std::make_shared<RZROptions>(Dictionary{{"ZEVERA_APP_ID", kAppID}}));
        EXPECT_EQ(options->isMeasurementEnabled(), c.measurement);
        EXPECT_EQ(options->isAnalyticsCollectionEnabled(), c.collection);
        EXPECT_EQ(options->isAnalyticsCollectionDeactivated(), c.deactivated);
        EXPECT_EQ(options->isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
    }
}

TEST_F(RZROptionsTest, BundleLookups) {
    struct Case {
        std::string identifier, withoutLastPart;
    } cases[] = {{"a.b.c", "a.b"}, {"a", ""}, {"a.", "a"}, {"", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(RZRBundleUtil::bundleIdentifierByRemovingLastPartFrom(c.identifier),
                  c.withoutLastPart);
    }
    useBundle(Dictionary{
        {"CFBundleIdentifier", kBundleID},
        {"CFBundleURLTypes", Array{Value(Dictionary{{"CFBundleURLSchemes", Array{"one", "two"}}}),
                                   Value(Dictionary{{"CFBundleURLName", "x"}})}}});
    auto bundles = RZRBundleUtil::relevantBundles();
    EXPECT_EQ(bundles.size(), 2u);
    EXPECT_EQ(RZRBundleUtil::relevantURLSchemes(),
              (std::vector<std::string>{"one", "two", "one", "two"}));
    EXPECT_TRUE(RZRBundleUtil::hasBundleIdentifierPrefix(kBundleID, bundles));
    EXPECT_FALSE(RZRBundleUtil::hasBundleIdentifierPrefix("com.vantorel", bundles));
    EXPECT_EQ(RZRBundleUtil::optionsDictionaryPathWithResourceName("ZeveraService-Info", "plist",
                                                                   bundles),
              std::nullopt);
    coretest::writePlist(resources() / "ZeveraService-Info.plist", Dictionary{});
    EXPECT_EQ(RZRBundleUtil::optionsDictionaryPathWithResourceName("ZeveraService-Info", "plist",
                                                                   bundles),
              (resources() / "ZeveraService-Info.plist").string());
}
