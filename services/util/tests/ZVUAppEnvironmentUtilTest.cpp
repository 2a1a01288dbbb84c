#include "services/util/ZVUAppEnvironmentUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/runtime/Runtime.h"
#include "platform/system/Sysctl.h"
#include "services/util/tests/TempHome.h"

namespace {

TEST(ZVUAppEnvironmentUtilTest, SystemVersionShowsPatchOnlyWhenNonZero) {
    struct Case {
        NSOperatingSystemVersion version;
        const char* text;
    };
    for (const auto& c :
         {Case{{12, 6, 0}, "12.6"}, Case{{12, 6, 1}, "12.6.1"}, Case{{13, 0, 0}, "13.0"}}) {
        sim::setOperatingSystemVersion(c.version);
        EXPECT_EQ(ZVUAppEnvironmentUtil::systemVersion(), c.text);
    }
    sim::clearOperatingSystemVersion();
}

TEST(ZVUAppEnvironmentUtilTest, DeviceModelFromKernelElseMachineName) {
    sim::setHostModel("MacBookAir10,1");
    EXPECT_EQ(ZVUAppEnvironmentUtil::readDeviceModel(), "MacBookAir10,1");
    sim::setSysctlOverride("hw.model", std::vector<std::uint8_t>{});
    auto fallback = ZVUAppEnvironmentUtil::readDeviceModel();
    ASSERT_TRUE(fallback);
    EXPECT_NE(*fallback, "MacBookAir10,1");
    EXPECT_FALSE(fallback->empty());
    sim::clearSysctlOverrides();
    sim::clearHostModel();
}

TEST(ZVUAppEnvironmentUtilTest, EncryptionCommandAndConstants) {
    EXPECT_FALSE(ZVUAppEnvironmentUtil::mainExecutableIsEncrypted());
    sim::setMainExecutableCryptId(1);
    EXPECT_TRUE(ZVUAppEnvironmentUtil::mainExecutableIsEncrypted());
    sim::setMainExecutableCryptId(0);
    EXPECT_FALSE(ZVUAppEnvironmentUtil::mainExecutableIsEncrypted());
    sim::setMainExecutableCryptId(std::nullopt);
    EXPECT_EQ(ZVUAppEnvironmentUtil::applePlatform(), "macos");
    EXPECT_EQ(ZVUAppEnvironmentUtil::deploymentType(), "swiftpm");
    EXPECT_FALSE(ZVUAppEnvironmentUtil::isAppExtension());
}

TEST(ZVUAppEnvironmentUtilTest, SwiftRuntimeMeansItsRootClassIsRegistered) {
    EXPECT_FALSE(ZVUAppEnvironmentUtil::hasSwiftRuntime());
    Class root = objc_allocateClassPair(nullptr, "_TtCs12_SwiftObject", 0);
    objc_registerClassPair(root);
    EXPECT_TRUE(ZVUAppEnvironmentUtil::hasSwiftRuntime());
}

TEST(ZVUAppEnvironmentUtilTest, SandboxReceiptUnlessTheCheckIsSwitchedOff) {
    TempHome home;
    auto bundle = home.path() / "Lumbrel.app";
    std::filesystem::create_directories(bundle / "Contents/_MASReceipt");
    auto writeInfo = [&](Dictionary info) {
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(info), PropertyListFormat::XML);
        std::ofstream(bundle / "Contents/Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()), static_cast<long>(data->size()));
    };
    writeInfo({{"CFBundleIdentifier", "com.example.app"}});
    sim::setMainBundlePath(bundle.string());
    EXPECT_FALSE(ZVUAppEnvironmentUtil::isAppStoreReceiptSandbox());
    std::ofstream(bundle / "Contents/_MASReceipt/sandboxReceipt") << "r";
    EXPECT_TRUE(ZVUAppEnvironmentUtil::isAppStoreReceiptSandbox());
    bundle = home.path() / "Unchecked.app";
    std::filesystem::create_directories(bundle / "Contents/_MASReceipt");
    std::ofstream(bundle / "Contents/_MASReceipt/sandboxReceipt") << "r";
    writeInfo({{"ReruzeraAppStoreReceiptURLCheckEnabled", Value(false)}});
    sim::setMainBundlePath(bundle.string());
    EXPECT_FALSE(ZVUAppEnvironmentUtil::isAppStoreReceiptSandbox());
    sim::clearMainBundlePath();
}

}  // namespace
