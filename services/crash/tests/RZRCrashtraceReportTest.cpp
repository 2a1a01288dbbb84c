#include "services/crash/RZRCrashtraceReport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRExceptionModel.h"
#include "services/crash/RZRStackFrame.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

using crashtest::readLines;

class ReportViewTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        earlier_ = root_ / "v5" / "reports" / "active" / "earlier";
        std::filesystem::create_directories(earlier_);
        crashtest::writeFile(
            earlier_ / "metadata.ctrrecord",
            "{\"identity\":{\"session_id\":\"feedface\",\"started_at\":1700000000}}\n");
    }
    std::shared_ptr<RZRCrashtraceReport> earlierReport() {
        auto internal = RZRCTRInternalReport::reportWithPath(earlier_.string());
        EXPECT_TRUE(internal);
        return std::make_shared<RZRCrashtraceReport>(internal);
    }
    std::filesystem::path earlier_;
};

TEST_F(ReportViewTest, WritesGoIntoTheEarlierReport) {
    RZRCTRContextSettings settings;
    settings.logBufferSize = 4096;
    initializeContext(settings);
    auto report = earlierReport();
    EXPECT_EQ(report->reportID(), "feedface");
    EXPECT_EQ(report->dateCreated().unixSeconds(), 1700000000.0);
    EXPECT_FALSE(report->hasCrash());
    EXPECT_EQ(report->logStorage().maxSize, 4096u);
    EXPECT_EQ(report->userKVStorage().maxCount, 64u);
    EXPECT_EQ(report->internalKVStorage().maxCount, 32u);

    report->log("before sending");
    report->logWithFormat("attempt %d", {2});
    report->setUserID("user-7");
    report->setCustomValue(Value(5), "retries");
    report->setCustomKeysAndValues(Dictionary{{"plan", Value("pro")}});
    RZRCTRContextLoggingQueue()->sync([] {});

    const auto logs = readLines(earlier_ / "log_a.ctrrecord");
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(RZRCTRFileHexDecodeString(
                  nlohmann::json::parse(logs[1])["log"]["msg"].get<std::string>().c_str()),
              "attempt 2");
    const auto user = RZRCTRUserLoggingGetCompactedKVEntries(&report->userKVStorage(), true);
    EXPECT_EQ((*user)["retries"].asString(), "5");
    EXPECT_EQ((*user)["plan"].asString(), "pro");
    const auto internal =
        RZRCTRUserLoggingGetCompactedKVEntries(&report->internalKVStorage(), true);
    EXPECT_EQ((*internal)["com.crashtrace.user-id"].asString(), "user-7");
    // The running report is untouched.
    EXPECT_FALSE(std::filesystem::exists(file("log_a.ctrrecord")));

    crashtest::writeFile(earlier_ / "signal.ctrrecord", "");
    EXPECT_TRUE(report->hasCrash());
}

TEST_F(ReportViewTest, NothingIsWrittenBeforeCrashCaptureStarted) {
    initializeContext();
    RZRCTRContextBaseDeinit();
    auto report = earlierReport();
    sim::LogCapture capture;
    report->log("lost");
    report->setCustomValue(Value("v"), "k");
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring(
        "log: failed for RZRCrashtraceReport because Crashtrace context isn't initialized."));
    EXPECT_TRUE(capture.containsSubstring("setCustomValue:forKey: failed for RZRCrashtraceReport"));
    EXPECT_FALSE(std::filesystem::exists(earlier_ / "log_a.ctrrecord"));
    EXPECT_FALSE(std::filesystem::exists(earlier_ / "user_incremental_kv.ctrrecord"));
}

TEST(ExceptionModels, FramesDescribeThemselves) {
    struct Case {
        std::shared_ptr<RZRStackFrame> frame;
        const char* description;
    };
    auto withFile = RZRStackFrame::stackFrameWithAddress(0xfeed);
    withFile->fileName = "main.swift";
    withFile->symbol = "run()";
    withFile->lineNumber = 12;
    const Case cases[] = {
        {RZRStackFrame::stackFrameWithAddress(4096), "{[0x1000 + 0] (null)}"},
        {RZRStackFrame::stackFrameWithSymbol("main", "main.m", 42), "{main.m - main:42}"},
        {RZRStackFrame::stackFrameWithSymbol("raw"), "{[0x0 + 0] raw}"},
        {withFile, "{[0xfeed] main.swift - run():12}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.frame->description(), c.description);

    const auto symbolOnly = RZRStackFrame::stackFrameWithSymbol("raw");
    EXPECT_FALSE(symbolOnly->isSymbolicated);
    EXPECT_EQ(symbolOnly->rawSymbol, "raw");
    EXPECT_TRUE(RZRStackFrame::stackFrameWithSymbol("s", "f", 1)->isSymbolicated);

    const auto model = RZRExceptionModel::exceptionModelWithName("Boom", "it broke");
    EXPECT_EQ(model->name, "Boom");
    EXPECT_EQ(model->reason, "it broke");
    EXPECT_TRUE(model->stackTrace.empty());
}

}  // namespace
