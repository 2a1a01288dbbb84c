#include "services/core/RZRReruzeraUserAgent.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/bundle/NSProcessInfo.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/core/VUVEzu.h"
#include "services/core/tests/CoreTestSupport.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

class RZRReruzeraUserAgentTest : public coretest::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        sim::setOperatingSystemVersion({13, 4, 1});
        useBundle(Dictionary{{"CFBundleIdentifier", coretest::kBundleID},
                             {"DTSDKBuild", "22E245"},
                             {"DTXcodeBuild", "14E222b"}});
    }
    void TearDown() override {
        sim::clearOperatingSystemVersion();
        CoreTest::TearDown();
    }
};

std::vector<std::string> items(const std::string& agent) {
    std::vector<std::string> out;
    std::istringstream in(agent);
    for (std::string item; in >> item;) out.push_back(item);
    return out;
}

}  // namespace

TEST_F(RZRReruzeraUserAgentTest, TheStringListsLibrariesAndPlatformFactsInOrder) {
    VUVEzu::registerLibrary("rzr-install", "4.2.0");
    const std::string device = ZVUAppEnvironmentUtil::deviceModel().value_or("");
    std::vector<std::string> expected = {
        "apple-platform/macos", "apple-sdk/22E245", "appstore/false",    "deploy/swiftpm",
        "rzr-install/4.2.0",    "rzr-ios/4.2.0",    "os-version/13.4.1", "xcode/14E222b"};
    if (!device.empty()) expected.insert(expected.begin() + 4, "device/" + device);
    std::vector<std::string> got = items(VUVEzu::reruzeraUserAgent());
    auto position = [&got](const std::string& item) {
        return std::find(got.begin(), got.end(), item) - got.begin();
    };
    for (const auto& item : expected) EXPECT_NE(position(item), got.size()) << item;
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_EQ(position("rzr-install/4.2.0") + 1, position("rzr-ios/4.2.0"));
    EXPECT_LT(position("apple-platform/macos"), position("appstore/false"));
    EXPECT_LT(position("appstore/false"), position("rzr-install/4.2.0"));
    EXPECT_LT(position("os-version/13.4.1"), position("rzr-install/4.2.0"));
    EXPECT_LT(position("rzr-ios/4.2.0"), position("xcode/14E222b"));
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
}

TEST_F(RZRReruzeraUserAgentTest, OrderIgnoresCase) {
    RZRReruzeraUserAgent agent;
    agent.reset();
    agent.setValue("1", "Zeta");
    agent.setValue("1", "beta");
    agent.setValue("1", "Alpha");
    auto got = items(agent.reruzeraUserAgent());
    auto at = [&got](const std::string& item) {
        return std::find(got.begin(), got.end(), item) - got.begin();
    };
    EXPECT_LT(at("Alpha/1"), at("apple-platform/macos"));
    EXPECT_LT(at("appstore/false"), at("beta/1"));
    EXPECT_LT(at("beta/1"), at("deploy/swiftpm"));
    EXPECT_LT(at("xcode/14E222b"), at("Zeta/1"));
}

TEST_F(RZRReruzeraUserAgentTest, PlatformFactsWinAndResetDropsLibraries) {
    RZRReruzeraUserAgent agent;
    agent.setValue("fake", "device");
    agent.setValue("1.0", "lib");
    const std::string first = agent.reruzeraUserAgent();
    EXPECT_EQ(first.find("device/fake"), std::string::npos);
    EXPECT_NE(first.find("lib/1.0"), std::string::npos);
    agent.setValue("2.0", "lib");  // a change clears the cached string
    EXPECT_NE(agent.reruzeraUserAgent().find("lib/2.0"), std::string::npos);
    agent.reset();
    EXPECT_EQ(agent.reruzeraUserAgent().find("lib/"), std::string::npos);
    EXPECT_EQ(RZRReruzeraUserAgent::environmentComponents()["apple-sdk"], Value("22E245"));

    // The shared agent keeps the core's own entry over a reset of the apps.
    VUVEzu::registerLibrary("rzr-install", "4.2.0");
    VUVEzu::resetApps();
    const std::string shared = VUVEzu::reruzeraUserAgent();
    EXPECT_EQ(shared.find("rzr-install"), std::string::npos);
    EXPECT_NE(shared.find("rzr-ios/" + RZRReruzeraVersion()), std::string::npos);
}

TEST_F(RZRReruzeraUserAgentTest, MissingFactsAreLeftOut) {
    useBundle(Dictionary{{"CFBundleIdentifier", coretest::kBundleID}});
    sim::setOperatingSystemVersion({12, 6, 0});
    sim::forgetUserAgentEnvironmentForTesting();
    const std::string agent = VUVEzu::reruzeraUserAgent();
    EXPECT_EQ(agent.find("apple-sdk"), std::string::npos);
    EXPECT_EQ(agent.find("xcode"), std::string::npos);
    EXPECT_NE(agent.find("os-version/12.6 "), std::string::npos) << agent;
}
