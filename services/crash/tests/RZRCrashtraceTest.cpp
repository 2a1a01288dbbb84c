#include "services/crash/RZRCrashtrace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"

namespace {

class CrashtraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = std::filesystem::temp_directory_path() /
                ("crashtrace-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(home_);
        override_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
    }
    void TearDown() override {
        override_.reset();
        std::filesystem::remove_all(home_);
    }
    std::filesystem::path home_;
    std::unique_ptr<sim::ScopedHomeOverride> override_;
};

}  // namespace

TEST_F(CrashtraceTest, TheChoiceIsStickyAcrossLaunches) {
    auto crashtrace = RZRCrashtrace::crashtrace();
    EXPECT_EQ(RZRCrashtrace::stickySetting(), 0);
    EXPECT_FALSE(crashtrace->isCrashtraceCollectionEnabled());

    crashtrace->setCrashtraceCollectionEnabled(true);
    EXPECT_EQ(RZRCrashtrace::stickySetting(), 1);
    EXPECT_TRUE(crashtrace->isCrashtraceCollectionEnabled());
    EXPECT_TRUE(std::filesystem::exists(RZRCrashtrace::defaultsFilePath()));
    EXPECT_EQ(RZRCrashtrace::defaultsFilePath().rfind(home_.string(), 0), 0u);

    crashtrace->setCrashtraceCollectionEnabled(false);
    EXPECT_EQ(RZRCrashtrace::stickySetting(), 2);
    EXPECT_FALSE(crashtrace->isCrashtraceCollectionEnabled());
}

TEST_F(CrashtraceTest, AFailedWriteKeepsTheEarlierChoice) {
    auto crashtrace = RZRCrashtrace::crashtrace();
    crashtrace->setCrashtraceCollectionEnabled(true);
    sim::FileSystem::failNextWrite(EIO);
    crashtrace->setCrashtraceCollectionEnabled(false);
    EXPECT_EQ(RZRCrashtrace::stickySetting(), 1);
}
