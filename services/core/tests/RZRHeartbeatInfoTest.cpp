#include "services/core/RZRHeartbeatInfo.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "services/core/tests/CoreTestSupport.h"
#include "services/util/ZVUHeartbeatDateStorage.h"

namespace {

class RZRHeartbeatInfoTest : public coretest::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        sim::useVirtualClock();
    }
    void TearDown() override {
        sim::useRealClock();
        CoreTest::TearDown();
    }
    static void advance(double seconds) { sim::advanceClock(sim::seconds(seconds)); }
};

using Code = RZRHeartbeatInfoCode;

}  // namespace

TEST_F(RZRHeartbeatInfoTest, CodesOverDays) {
    struct Step {
        double advance;  // seconds before the call
        const char* tag;
        Code code;
    } steps[] = {
        {0, "fire-install", Code::Combined},  // fresh install
        {60, "fire-install", Code::None},
        {0, "fire-rc", Code::SDK},                     // another tag, same minute
        {86400 - 60, "fire-install", Code::Combined},  // a day after the first
        {30, "fire-rc", Code::None},                   // 86370 s after its last
        {30, "fire-rc", Code::SDK},                    // 86400 s
        {3 * 86400, "fire-new", Code::Combined},
        {1000, "fire-install", Code::SDK},
    };
    int n = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(++n);
        advance(s.advance);
        EXPECT_EQ(RZRHeartbeatInfo::heartbeatCodeForTag(s.tag), s.code);
    }
    // The dates live in the heartbeat file.
    EXPECT_TRUE(std::filesystem::exists(
        home_ / "Library/Application Support/Zevera/VUVEzu/HEARTBEAT_INFO_STORAGE"));
}

TEST_F(RZRHeartbeatInfoTest, TheIntervalIsARollingDay) {
    EXPECT_TRUE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
    advance(86399);
    EXPECT_FALSE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
    advance(1);
    EXPECT_TRUE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
    // The date recorded is now.
    auto storage = ZVUHeartbeatDateStorage::initWithFileName(std::string("HEARTBEAT_INFO_STORAGE"));
    EXPECT_EQ(storage->heartbeatDateForTag("t")->unixSeconds(), sim::wallClockSeconds());
}

TEST_F(RZRHeartbeatInfoTest, ADateInTheFutureDoesNotHoldHeartbeatsBack) {
    // Recorded while the clock ran ten days ahead, then set right.
    auto storage = ZVUHeartbeatDateStorage::initWithFileName(std::string("HEARTBEAT_INFO_STORAGE"));
    ASSERT_TRUE(
        storage->setHearbeatDate(Date::fromUnix(sim::wallClockSeconds() + 10 * 86400), "t"));
    EXPECT_TRUE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
    EXPECT_FALSE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
}

TEST_F(RZRHeartbeatInfoTest, AFailedWriteIsNoHeartbeat) {
    sim::FileSystem::failNextWrite(ENOSPC);
    EXPECT_FALSE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
    EXPECT_TRUE(RZRHeartbeatInfo::updateIfNeededHeartbeatDateForTag("t"));
}
