#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FileSystem.h"
#include "platform/reachability/SCNetworkReachability.h"
#include "services/transport/ZDTCORClock.h"
#include "services/transport/ZDTCORPlatform.h"
#include "services/transport/tests/TemporaryHome.h"

namespace fs = std::filesystem;

namespace {

TEST(ZDTCORPlatformTest, FlagsMeaning) {
    struct Case {
        std::uint32_t flags;
        bool reachable;
    };
    const Case cases[] = {{0, false}, {2, true}, {4, false}, {6, false}, {2 | 1u << 16, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(ZDTCORFlagsMeanReachable(c.flags), c.reachable) << c.flags;
        EXPECT_FALSE(ZDTCORFlagsMeanMobile(c.flags));
    }
    EXPECT_EQ(ZDTCORCurrentMobileSubtype(), 0);
}

TEST(ZDTCORPlatformTest, CurrentFlagsFollowTheCallbacks) {
    auto reachability = ZDTCORReachability::sharedInstance();
    reachability->setCallbackFlags(0);
    const std::uint32_t startUp = ZDTCORReachability::currentFlags();

    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable |
                              kSCNetworkReachabilityFlagsConnectionRequired);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(ZDTCORReachability::currentFlags(), 6u);
    // Reachable only after a connection: no upload, but the network type is Wi-Fi.
    EXPECT_FALSE(ZDTCORFlagsMeanReachable(ZDTCORReachability::currentFlags()));
    EXPECT_EQ(ZDTCORCurrentNetworkType(), 1);

    reachability->setCallbackFlags(0);
    EXPECT_EQ(ZDTCORReachability::currentFlags(), startUp);
    reachability->setCallbackFlags(kSCNetworkReachabilityFlagsConnectionRequired);
    EXPECT_EQ(ZDTCORCurrentNetworkType(), 0);
    sim::setReachabilityFlags(std::nullopt);
    sim::MainLoop::runUntilIdle();
    reachability->setCallbackFlags(0);
}

TEST(ZDTCORPlatformTest, ApplicationHasNoBackgroundTasks) {
    auto app = ZDTCORApplication::sharedApplication();
    bool called = false;
    EXPECT_EQ(app->beginBackgroundTaskWithName("x", [&] { called = true; }), 0);
    app->endBackgroundTask(0);
    EXPECT_FALSE(called);
    EXPECT_FALSE(app->isRunningInBackground());
}

TEST(ZDTCORPlatformTest, StateDirectoryIsRecreated) {
    TemporaryHome home;
    const std::string path = ZDTCORStateDirectory().path();
    EXPECT_EQ(path, home.path() + "/Library/Caches/zevera-sdks-events");
    EXPECT_TRUE(fs::is_directory(path));
    fs::remove_all(path);
    EXPECT_EQ(ZDTCORStateDirectory().path(), path);
    EXPECT_TRUE(fs::is_directory(path));
}

TEST(ZDTCORPlatformTest, ArchiveFunctions) {
    TemporaryHome home;
    ZDTCORClock::registerCoding();
    auto clock = std::make_shared<ZDTCORClock>(1, 2, 3, 4);
    const std::string path = home.path() + "/a/b/clock";

    auto inMemory = ZDTCORArchiveObject(clock, "");
    ASSERT_TRUE(inMemory);
    EXPECT_FALSE(fs::exists(path));

    NSError error;
    auto written = ZDTCORArchiveObject(clock, path, &error);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, *inMemory);
    auto decoded = ZDTCORUnarchiveObject("ZDTCORClock", path, std::nullopt).as<ZDTCORClock>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*clock));
    // Only the expected class is accepted; a missing file gives nothing.
    EXPECT_TRUE(ZDTCORUnarchiveObject("ZDTCOREvent", path, std::nullopt).isNil());
    EXPECT_TRUE(ZDTCORUnarchiveObject("ZDTCORClock", path + "-missing", std::nullopt).isNil());

    // A failed write keeps the old file and answers the data with an error.
    sim::FileSystem::failNextWrite(ENOSPC);
    NSError writeError;
    auto other = ZDTCORArchiveObject(std::make_shared<ZDTCORClock>(9, 9, 9, 9), path, &writeError);
    EXPECT_TRUE(other);
    EXPECT_EQ(writeError.code, ENOSPC);
    EXPECT_TRUE(ZDTCORUnarchiveObject("ZDTCORClock", path, std::nullopt)
                    .as<ZDTCORClock>()
                    ->isEqual(*clock));

    EXPECT_FALSE(ZDTCORWriteArchiveData(*inMemory, ""));
    EXPECT_TRUE(ZDTCORWriteArchiveData(*inMemory, home.path() + "/c/d"));
    sim::FileSystem::failNextWrite(EIO);
    EXPECT_FALSE(ZDTCORWriteArchiveData(*inMemory, home.path() + "/c/e"));
    EXPECT_FALSE(fs::exists(home.path() + "/c/e"));
}

}  // namespace
