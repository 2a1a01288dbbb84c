#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/transport/ZDTCORUploadCoordinator.h"
#include "services/transport/tests/RecordingStorage.h"

namespace {

struct Uploads : ZDTCORUploader {
    void uploadTarget(ZDTCORTarget target, ZDTCORUploadConditions conditions) override {
        std::lock_guard lock(mutex);
        calls.emplace_back(target, conditions);
    }
    std::vector<std::pair<ZDTCORTarget, ZDTCORUploadConditions>> taken() {
        std::lock_guard lock(mutex);
        auto out = calls;
        calls.clear();
        return out;
    }
    std::mutex mutex;
    std::vector<std::pair<ZDTCORTarget, ZDTCORUploadConditions>> calls;
};

class ZDTCORUploadCoordinatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::useVirtualClock();
        registrar->registerUploader(uploader, 1001);
        registrar->registerUploader(uploader, 1002);
        registrar->registerStorage(storage, 1001);
        registrar->registerStorage(storage, 1002);
        registrar->registerStorage(storage, 999);
    }
    void TearDown() override {
        coordinator->appWillTerminate(*ZDTCORApplication::sharedApplication());
        sim::useRealClock();
    }
    // Lets the coordination queue run what the clock posted (twice: a fire queues an upload).
    void settle() {
        coordinator->coordinationQueue()->sync([] {});
        coordinator->coordinationQueue()->sync([] {});
    }

    std::shared_ptr<ZDTCORRegistrar> registrar = std::make_shared<ZDTCORRegistrar>();
    std::shared_ptr<Uploads> uploader = std::make_shared<Uploads>();
    std::shared_ptr<RecordingStorage> storage = std::make_shared<RecordingStorage>();
    std::atomic<std::uint32_t> flags{2};
    std::shared_ptr<ZDTCORUploadCoordinator> coordinator =
        std::make_shared<ZDTCORUploadCoordinator>(registrar, [this] { return flags.load(); });
};

TEST_F(ZDTCORUploadCoordinatorTest, TimerUploadsEveryTargetAndSweeps) {
    coordinator->startTimer();
    coordinator->startTimer();
    settle();
    sim::advanceClock(std::chrono::milliseconds(499));
    settle();
    EXPECT_TRUE(uploader->taken().empty());
    sim::advanceClock(std::chrono::milliseconds(1));
    settle();
    using Calls = std::vector<std::pair<ZDTCORTarget, ZDTCORUploadConditions>>;
    EXPECT_EQ(uploader->taken(), (Calls{{1001, 4}, {1002, 4}}));
    {
        std::lock_guard lock(storage->mutex);
        EXPECT_EQ(storage->expiryChecks, 1);  // one storage for three targets
    }
    sim::advanceClock(std::chrono::seconds(30));
    settle();
    EXPECT_EQ(uploader->taken().size(), 2u);  // one timer, though started twice

    flags = 6;  // connection required: no network
    sim::advanceClock(std::chrono::seconds(30));
    settle();
    EXPECT_TRUE(uploader->taken().empty());

    coordinator->appWillTerminate(*ZDTCORApplication::sharedApplication());
    EXPECT_FALSE(coordinator->hasTimer());
    flags = 2;
    sim::advanceClock(std::chrono::seconds(60));
    settle();
    EXPECT_TRUE(uploader->taken().empty());
}

TEST_F(ZDTCORUploadCoordinatorTest, ForcedUploads) {
    using Calls = std::vector<std::pair<ZDTCORTarget, ZDTCORUploadConditions>>;
    coordinator->forceUploadForTarget(1002);
    coordinator->forceUploadForTarget(1003);  // no uploader
    settle();
    EXPECT_EQ(uploader->taken(), (Calls{{1002, 20}}));
    flags = 0;
    EXPECT_EQ(coordinator->uploadConditions(), 1u);
    coordinator->forceUploadForTarget(1002);
    settle();
    EXPECT_TRUE(uploader->taken().empty());

    sim::LogCapture capture;
    EXPECT_EQ(coordinator->storageForTarget(1001), storage);
    EXPECT_FALSE(coordinator->storageForTarget(1003));
    EXPECT_TRUE(capture.containsSubstring(": A storage must be registered for target 1003"));
}

}  // namespace
