#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/PropertyList.h"
#include "services/remoteconfig/RCNDevice.h"
#include "services/util/tests/TempHome.h"

namespace {

class DeviceContextTest : public ::testing::Test {
  protected:
    void SetUp() override { writeInfo("1.2", "34"); }
    void TearDown() override { sim::clearMainBundlePath(); }

    void writeInfo(const char* version, const char* build) {
        // A fresh bundle folder each time: bundles read Info.plist once.
        auto bundle = home_.path() / ("App" + std::to_string(++bundles_) + ".app");
        std::filesystem::create_directories(bundle / "Contents");
        auto data = PropertyListSerialization::dataWithPropertyList(
            Value(Dictionary{{"CFBundleShortVersionString", version},
                             {"CFBundleVersion", build},
                             {"CFBundleIdentifier", "com.example.app"}}),
            PropertyListFormat::XML);
        std::ofstream(bundle / "Contents/Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()), static_cast<long>(data->size()));
        sim::setMainBundlePath(bundle.string());
    }

    TempHome home_;
    int bundles_ = 0;
};

TEST_F(DeviceContextTest, ContextChangesOnUpdatesAndOnAnotherProjectOnly) {
    const Dictionary stored = RCNDeviceContext(std::string("1:app"));
    EXPECT_EQ(stored["app_version"], Value("1.2"));
    EXPECT_EQ(stored["app_build"], Value("34"));
    EXPECT_FALSE(RCNDeviceHasContextChanged(stored, std::string("1:app")));
    EXPECT_TRUE(RCNDeviceHasContextChanged(stored, std::string("1:other")));
    EXPECT_TRUE(RCNDeviceHasContextChanged(Dictionary{}, std::string("1:app")));

    Dictionary withoutProject = RCNDeviceContext(std::nullopt);
    EXPECT_FALSE(withoutProject.contains("RUV_project_Identifier"));
    EXPECT_FALSE(RCNDeviceHasContextChanged(withoutProject, std::string("1:other")));

    for (const char* key : {"os_version", "device_locale"}) {
        Dictionary changed = stored;
        changed.set(key, "something else");
        EXPECT_TRUE(RCNDeviceHasContextChanged(changed, std::string("1:app"))) << key;
    }
    writeInfo("1.3", "34");
    EXPECT_TRUE(RCNDeviceHasContextChanged(stored, std::string("1:app")));
    writeInfo("1.2", "35");
    EXPECT_TRUE(RCNDeviceHasContextChanged(stored, std::string("1:app")));
}

TEST(DeviceLocale, PicksTheBestKnownIdentifier) {
    const auto all = RCNDeviceAllLocaleIdentifiers();
    struct Case {
        std::vector<std::string> preferred;
        const char* expected;
    };
    const Case cases[] = {
        {{"de_DE", "de"}, "de_DE"},
        {{"de_BE", "de"}, "de"},
        {{"ko-KR"}, "ko_KR"},
        {{"sr_RS"}, "sr_RS"},
        {{"sr_XK"}, "sr_BA"},
        {{"xx_YY", "xx"}, "en"},
        {{}, "en"},
        {{"xx", "fr"}, "fr"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rcn_detail::bestLocale(c.preferred, all), c.expected) << c.preferred.size();
    EXPECT_NE(std::find(all.begin(), all.end(), "th_TH_TH"), all.end());
    EXPECT_NE(std::find(all.begin(), all.end(), "sq_AL"), all.end());
}

}  // namespace
