#include "platform/log/Log.h"

#include <gtest/gtest.h>

#include <thread>

TEST(LogCapture, RecordsEverySourceWithLevelAndText) {
    sim::LogCapture capture;
    auto log = os_log_create("com.vantorel.Lumbrel", "audio");
    os_log_with_type(*log, OSLogType::Debug, "Unable to get property");
    NSLog("No compatible input devices found.");
    printLine("%@ stays literal");

    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].subsystem, "com.vantorel.Lumbrel");
    EXPECT_EQ(records[0].category, "audio");
    EXPECT_EQ(records[0].level, OSLogType::Debug);
    EXPECT_EQ(records[1].source, sim::LogSource::NSLog);
    EXPECT_EQ(records[2].source, sim::LogSource::StandardOutput);
    EXPECT_TRUE(capture.contains("%@ stays literal"));
    EXPECT_TRUE(capture.containsSubstring("compatible input"));
}

TEST(LogCapture, SeesLinesFromOtherThreadsAndStopsWhenGone) {
    auto capture = std::make_unique<sim::LogCapture>();
    std::thread t([] {
        for (int i = 0; i < 100; ++i) NSLog("line");
    });
    t.join();
    EXPECT_EQ(capture->count("line"), 100u);
    capture.reset();
    NSLog("after");  // no sink left: must not crash
}
