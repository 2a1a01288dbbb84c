#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "services/transport/ZDTCORDirectorySizeTracker.h"
#include "services/transport/tests/TemporaryHome.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << std::string(size, 'x');
}

TEST(ZDTCORDirectorySizeTrackerTest, WalksOnceThenAdjusts) {
    TemporaryHome home;
    const fs::path dir = fs::path(home.path()) / "root";
    writeFile(dir / "a", 10);
    writeFile(dir / "sub" / "b", 20);
    writeFile(dir / ".hidden", 5);
    writeFile(dir / ".hiddendir" / "c", 50);
    fs::create_symlink(dir / "a", dir / "link");

    ZDTCORDirectorySizeTracker tracker(dir.string());
    EXPECT_FALSE(tracker.cachedSizeBytes());
    EXPECT_EQ(tracker.directoryContentSize(), 30u);

    tracker.fileWasAddedAtPath((dir / "new").string(), 7);
    EXPECT_EQ(tracker.directoryContentSize(), 37u);
    tracker.fileWasAddedAtPath((fs::path(home.path()) / "elsewhere").string(), 7);
    EXPECT_EQ(tracker.directoryContentSize(), 37u);
    tracker.fileWasRemovedAtPath((dir / "a").string(), 10);
    EXPECT_EQ(tracker.directoryContentSize(), 27u);
    // A removal larger than the cached total stops at 0.
    tracker.fileWasRemovedAtPath((dir / "a").string(), 1000);
    EXPECT_EQ(tracker.directoryContentSize(), 0u);

    tracker.resetCachedSize();
    EXPECT_EQ(tracker.directoryContentSize(), 30u);
    EXPECT_EQ(ZDTCORDirectorySizeTracker(dir.string() + "-missing").directoryContentSize(), 0u);
    EXPECT_EQ(ZDTCORDirectorySizeTracker::fileSizeAtPath((dir / "sub" / "b").string()), 20u);
    EXPECT_EQ(ZDTCORDirectorySizeTracker::fileSizeAtPath((dir / "none").string()), 0u);
}

}  // namespace
