#include "services/util/ZVULogger.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/log/Log.h"
#include "platform/system/Sysctl.h"
#include "services/util/ZVUAppEnvironmentUtil.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

class ZVULoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::resetZVULoggerForTesting(); }
    void TearDown() override { sim::resetZVULoggerForTesting(); }
    std::vector<std::string> lines() {
        sim::flushZVULogger();
        return capture_.lines();
    }
    sim::LogCapture capture_;
};

TEST_F(ZVULoggerTest, LineFormatAndVersion) {
    ZVULogNotice("[S]", false, "I-ABC000001", "plain");
    ZVULoggerRegisterVersion("4.2.0");
    ZVUSetLoggerLevel(static_cast<ZVULoggerLevel>(9));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           " - [S][I-ABC000001] plain",
                           "4.2.0 - [ZVULogger][I-COR000023] Invalid logger level, 9"}));
    auto records = capture_.records();
    EXPECT_EQ(records.back().subsystem, "com.zevera.utilities.logger");
    EXPECT_EQ(records.back().category, "Error");
}

TEST_F(ZVULoggerTest, LevelFiltersUnlessForced) {
    ZVULogDebug("[S]", false, "I-A000001", "hidden");
    ZVULogDebug("[S]", true, "I-A000002", "forced");
    ZVULogInfo("[S]", false, "I-A000003", "hidden too");
    ZVUSetLoggerLevel(ZVULoggerLevel::Info);
    ZVULogInfo("[S]", false, "I-A000004", "shown");
    ZVUSetLoggerLevel(static_cast<ZVULoggerLevel>(2));  // refused, level stays Info
    EXPECT_TRUE(ZVUIsLoggableLevel(ZVULoggerLevel::Info));
    EXPECT_FALSE(ZVUIsLoggableLevel(ZVULoggerLevel::Debug));
    EXPECT_TRUE(ZVUIsLoggableLevel(ZVULoggerLevel::Error));
    ZVULoggerForceDebug();
    EXPECT_TRUE(ZVUIsLoggableLevel(ZVULoggerLevel::Debug));
    ZVULogDebug("[S]", false, "I-A000005", "debug now");
    auto out = lines();
    // The forced debug line passed the level but not the client's filter.
    EXPECT_EQ(out, (std::vector<std::string>{" - [S][I-A000004] shown",
                                             " - [ZVULogger][I-COR000023] Invalid logger level, 2",
                                             " - [S][I-A000005] debug now"}));
}

// Standard error sent to a temporary file for the life of the object.
class StandardErrorCapture {
  public:
    StandardErrorCapture() : file_(std::tmpfile()), saved_(::dup(2)) {
        std::fflush(stderr);
        ::dup2(::fileno(file_), 2);
    }
    ~StandardErrorCapture() {
        restore();
        std::fclose(file_);
    }
    // The lines written with the given fragment, in order.
    std::vector<std::string> lines(const std::string& fragment) {
        restore();
        std::rewind(file_);
        std::vector<std::string> out;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, file_)) {
            std::string line(buffer);
            if (!line.empty() && line.back() == '\n') line.pop_back();
            if (line.find(fragment) != std::string::npos) out.push_back(line);
        }
        return out;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    std::FILE* file_;
    int saved_;
};

TEST_F(ZVULoggerTest, TheClientFilterFollowsTheLevelInOrderWithTheLines) {
    sim::setLogEcho(false);
    StandardErrorCapture standardError;
    ZVULoggerEnableSTDERR();
    ZVULogDebug("[S]", true, "I-A000001", "forced debug");
    ZVUSetLoggerLevel(ZVULoggerLevel::Error);
    ZVULogWarning("[S]", true, "I-A000002", "forced warning");
    ZVULogError("[S]", false, "I-A000003", "error");
    ZVUSetLoggerLevel(ZVULoggerLevel::Debug);
    ZVULogDebug("[S]", true, "I-A000004", "forced debug, now within the level");
    EXPECT_EQ(lines(),
              (std::vector<std::string>{" - [S][I-A000003] error",
                                        " - [S][I-A000004] forced debug, now within the level"}));
    EXPECT_EQ(
        standardError.lines("[S]"),
        (std::vector<std::string>{" - [S][I-A000001] forced debug",
                                  " - [S][I-A000002] forced warning", " - [S][I-A000003] error",
                                  " - [S][I-A000004] forced debug, now within the level"}));
}

TEST_F(ZVULoggerTest, MessagesAreFormattedOnlyWithArguments) {
    ZVULogError("[S]", false, "I-A000001", "100% sure %d");
    ZVULogError("[S]", false, ZVUMessageCode("I-NET%06ld", 42), "%@ has %ld items, %.1f%%",
                std::string("list"), 3L, 2.5);
    EXPECT_EQ(lines(), (std::vector<std::string>{" - [S][I-A000001] 100% sure %d",
                                                 " - [S][I-NET000042] list has 3 items, 2.5%"}));
    EXPECT_EQ(ZVUFormat("%s|%5d|%x|%@", {"a", 7, 255u}), "a|    7|ff|%@");
}

TEST_F(ZVULoggerTest, LevelAndVersionMayChangeWhileOtherThreadsLog) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (t == 0)
                    ZVUSetLoggerLevel(i % 2 ? ZVULoggerLevel::Debug : ZVULoggerLevel::Error);
                if (t == 1) ZVULoggerRegisterVersion(i % 2 ? "1.0" : "2.0");
                ZVULogWarning("[S]", false, "I-A000001", "line %d", i);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& line : lines())
        EXPECT_NE(line.find("[S][I-A000001] line "), std::string::npos);
}

TEST(ZVULoggerAppStoreTest, AppStoreBuildsKeepTheLevelLow) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::setMainExecutableCryptId(1);
            const bool store = ZVUAppEnvironmentUtil::isFromAppStore();
            ZVUSetLoggerLevel(ZVULoggerLevel::Debug);
            ZVULoggerForceDebug();
            const bool debugLoggable = ZVUIsLoggableLevel(ZVULoggerLevel::Debug);
            ZVUSetLoggerLevel(ZVULoggerLevel::Warning);
            const bool noticeLoggable = ZVUIsLoggableLevel(ZVULoggerLevel::Notice);
            std::exit(store && !debugLoggable && !noticeLoggable ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
