#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/mute/MuteEngineHost.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppDelegate.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImage.h"
#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/process/NSTask.h"

namespace {

class AppDelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home_ = std::filesystem::temp_directory_path() /
                ("lumbrel-delegate-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::remove_all(home_);
        bundle_ = home_ / "My Apps" / "Lumbrel.app";
        std::filesystem::create_directories(bundle_ / "Contents" / "Resources");
        for (const char* name : {"notification-on", "notification-off"})
            std::ofstream(bundle_ / "Contents" / "Resources" / (std::string(name) + ".png"))
                << "png";
        homeOverride_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
        NSUserDefaults::resetForTesting();
        sim::setMainBundlePath(bundle_.string());
        sim::Process::intercept(true);
        sim::Process::clear();
    }
    void TearDown() override {
        sim::Application::reset();
        sim::clearMainBundlePath();
        NSUserDefaults::resetForTesting();
        homeOverride_.reset();
        std::filesystem::remove_all(home_);
    }

    std::filesystem::path home_;
    std::filesystem::path bundle_;
    std::unique_ptr<sim::ScopedHomeOverride> homeOverride_;
};

TEST_F(AppDelegateTest, IsTheEngineHostOfTheApplication) {
    auto delegate = std::make_shared<AppDelegate>();
    NSApplication::sharedApplication()->setDelegate(delegate);
    auto host = MuteEngineHost::current();
    ASSERT_EQ(host.get(), static_cast<MuteEngineHost*>(delegate.get()));
    EXPECT_FALSE(host->hasInitializedApp());
    EXPECT_EQ(host->appName(), "App Name");
}

TEST_F(AppDelegateTest, RelaunchOpensTheBundleAndExits) {
    AppDelegate delegate;
    delegate.relaunchApplication();
    auto tasks = sim::Process::launchedTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].launchPath, "/usr/bin/open");
    EXPECT_EQ(tasks[0].arguments,
              std::vector<std::string>{"file://" + home_.string() + "/My%20Apps/Lumbrel.app/"});
    EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
}

TEST_F(AppDelegateTest, BezelImageFollowsTheState) {
    AppDelegate delegate;
    Defaults::set(Defaults::Keys::devicesMuted(), true);
    Defaults::set(Defaults::Keys::menubarIcon(), std::int64_t{0});
    auto image = delegate.statusImage(StatusImageKind::bezel);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->name(), "notification-off");
    EXPECT_TRUE(image->isTemplate());
    Defaults::set(Defaults::Keys::devicesMuted(), false);
    Defaults::set(Defaults::Keys::menubarIcon(), std::int64_t{1});
    image = delegate.statusImage(StatusImageKind::bezel);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->name(), "notification-on");
    EXPECT_FALSE(image->isTemplate());
}

}  // namespace
