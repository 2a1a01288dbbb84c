#pragma once
// A fresh process, as far as the service core can tell: a temporary home,
// a bundle of the test's own, no apps, no registered libraries, the core
// logger set up again, and every log line captured.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"
#include "services/core/VUVEzuTesting.h"
#include "services/util/ZVULoggerTesting.h"

namespace coretest {

inline constexpr const char* kBundleID = "com.vantorel.Lumbrel";
inline constexpr const char* kAppID = "1:123:ios:abc123";

inline void writePlist(const std::filesystem::path& file, const Dictionary& contents) {
    std::filesystem::create_directories(file.parent_path());
    auto data =
        PropertyListSerialization::dataWithPropertyList(Value(contents), PropertyListFormat::XML);
    ASSERT_TRUE(data);
    ASSERT_TRUE(sim::FileSystem::writeFileAtomically(file, *data));
}

class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home_ = std::filesystem::temp_directory_path() /
                ("core-test-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" +
                 info->name());
        std::filesystem::remove_all(home_);
        std::filesystem::create_directories(home_);
        homeOverride_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
        sim::setLogEcho(false);
        useBundle(Dictionary{{"CFBundleIdentifier", kBundleID}});
        NSUserDefaults::resetForTesting();
        sim::setServiceLibrariesForTesting(std::vector<std::function<void()>>{});
        sim::resetCoreForTesting();
        sim::resetRZRLoggerForTesting(std::vector<std::string>{"lumbrel"});
        capture_ = std::make_unique<sim::LogCapture>();
    }

    void TearDown() override {
        sim::resetCoreForTesting();
        sim::setServiceLibrariesForTesting(std::nullopt);
        sim::resetRZRLoggerForTesting(std::nullopt);
        capture_.reset();
        sim::clearMainBundlePath();
        NSUserDefaults::resetForTesting();
        homeOverride_.reset();
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    // A new main bundle with this information list and, when given, this
    // configuration list. Cached facts of the old bundle are forgotten.
    void useBundle(const Dictionary& infoList,
                   const std::optional<Dictionary>& serviceInfo = std::nullopt) {
        const auto bundle = home_ / ("Bundle" + std::to_string(++bundles_) + ".app");
        writePlist(bundle / "Contents/Info.plist", infoList);
        std::filesystem::create_directories(bundle / "Contents/Resources");
        if (serviceInfo) {
            writePlist(bundle / "Contents/Resources/ZeveraService-Info.plist", *serviceInfo);
        }
        sim::setMainBundlePath(bundle.string());
        sim::resetCoreForTesting();
    }
    std::filesystem::path resources() const {
        return std::filesystem::path(NSBundle::mainBundle()->bundlePath()) / "Contents/Resources";
    }

    // Every line written so far.
    std::vector<std::string> lines() {
        sim::flushZVULogger();
        return capture_->lines();
    }
    bool logged(const std::string& fragment) {
        for (const auto& line : lines()) {
            if (line.find(fragment) != std::string::npos) return true;
        }
        return false;
    }

    std::filesystem::path home_;
    std::unique_ptr<sim::ScopedHomeOverride> homeOverride_;
    std::unique_ptr<sim::LogCapture> capture_;
    int bundles_ = 0;
};

}  // namespace coretest
