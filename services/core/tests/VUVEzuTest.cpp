#include "services/core/VUVEzu.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/Error.h"
#include "platform/log/Log.h"

namespace {

std::shared_ptr<RZROptions> options(const std::string& appID = "1:123:ios:abc") {
    return std::make_shared<RZROptions>(
        Dictionary{{"ZEVERA_APP_ID", appID},
                   {"ZCM_SENDER_ID", "123"},
                   {"PROJECT_ID", "lumbrel"},
                   {"RERUZERA_ANALYTICS_COLLECTION_ENABLED", "YES"}});
}

class VUVEzuTest : public ::testing::Test {
  protected:
    void SetUp() override { VUVEzu::resetApps(); }
    void TearDown() override { VUVEzu::resetApps(); }
};

}  // namespace

TEST_F(VUVEzuTest, TheDefaultAppIsConfiguredOnceWithLockedOptions) {
    EXPECT_FALSE(VUVEzu::isDefaultAppConfigured());
    sim::LogCapture capture;
    EXPECT_EQ(VUVEzu::defaultApp(), nullptr);
    EXPECT_TRUE(capture.containsSubstring("[I-COR000003]"));

    VUVEzu::configureWithOptions(options());
    ASSERT_TRUE(VUVEzu::isDefaultAppConfigured());
    auto app = VUVEzu::defaultApp();
    EXPECT_EQ(app->name(), "__VUVEZU_DEFAULT");
    EXPECT_TRUE(app->isDefaultApp());
    EXPECT_EQ(app->options()->zeveraAppID(), "1:123:ios:abc");
    EXPECT_TRUE(app->options()->isAnalyticsCollectionEnabled());
    EXPECT_THROW(app->options()->setAPIKey("x"), NSException);

    try {
        VUVEzu::configureWithOptions(options());
        FAIL() << "configuring twice must raise";
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), "com.reruzera.core");
        EXPECT_EQ(e.reason(), "Default app has already been configured.");
    }
}

TEST_F(VUVEzuTest, NamedAppsAndBadNames) {
    VUVEzu::configureWithName("secondary_app-1", options());
    EXPECT_NE(VUVEzu::appNamed("secondary_app-1"), nullptr);
    EXPECT_FALSE(VUVEzu::isDefaultAppConfigured());
    EXPECT_THROW(VUVEzu::configureWithName("bad name!", options()), NSException);
    EXPECT_THROW(VUVEzu::configureWithName("", options()), NSException);
    EXPECT_THROW(VUVEzu::configureWithOptions(nullptr), NSException);
}

TEST_F(VUVEzuTest, OptionsReadTheConfigurationListFile) {
    auto path = std::filesystem::temp_directory_path() /
                ("ZeveraService-Info-" + std::to_string(::getpid()) + ".plist");
    std::ofstream(path) << R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>ZEVERA_APP_ID</key><string>1:42:ios:ff</string>
<key>RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED</key><true/>
<key>RERUZERA_ANALYTICS_COLLECTION_ENABLED</key><true/></dict></plist>)";
    auto read = RZROptions::initWithContentsOfFile(path.string());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->zeveraAppID(), "1:42:ios:ff");
    EXPECT_FALSE(read->APIKey());
    EXPECT_FALSE(read->isAnalyticsCollectionEnabled());  // deactivation wins
    std::filesystem::remove(path);
    EXPECT_EQ(RZROptions::initWithContentsOfFile(path.string()), nullptr);
}
