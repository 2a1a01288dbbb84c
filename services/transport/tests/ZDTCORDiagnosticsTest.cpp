#include <gtest/gtest.h>

#include "platform/log/Log.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCOREndpoints.h"

namespace {

TEST(ZDTCORDiagnosticsTest, OnlyErrorLinesReachTheConsole) {
    sim::setLogEcho(false);
    sim::LogCapture capture;
    ZDTCORLog(ZDTCORMCDDebugLog, ZDTCORLoggingLevelDebug, "quiet %@", {std::string("line")});
    ZDTCORLog(ZDTCORMCWReachabilityFailed, ZDTCORLoggingLevelWarnings, "also quiet");
    ZDTCORLog(ZDTCORMCEGeneralError, ZDTCORLoggingLevelErrors, "upload of %ld failed", {1002L});
    EXPECT_EQ(capture.lines(), std::vector<std::string>{
                                   "[ZeveraDataTransport][I-ZDTCOR001006] upload of 1002 failed"});
    EXPECT_EQ(ZDTCORMessageCodeString(1000), "I-ZDTCOR001000");
}

TEST(ZDTCORDiagnosticsTest, AssertionReportsAreAlwaysWritten) {
    sim::setLogEcho(false);
    sim::LogCapture capture;
    ZDTCORReportAssertion("ZDTCOREvent", 10, "A target cannot be negative or 0");
    ZDTCORReportAssertion("", 3, "no file");
    EXPECT_FALSE(ZDTCORAssert(false, "check %@ failed", {std::string("x")}));
    EXPECT_TRUE(ZDTCORAssert(true, "never written"));
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "[ZeveraDataTransport][I-ZDTCOR001006] (ZDTCOREvent:10) : A target cannot be "
              "negative or 0");
    EXPECT_EQ(lines[1], "[ZeveraDataTransport][I-ZDTCOR001006] (<Unknown File>:3) : no file");
    EXPECT_NE(lines[2].find("(ZDTCORDiagnosticsTest:"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find(") : check x failed"), std::string::npos) << lines[2];
}

TEST(ZDTCORDiagnosticsTest, UploadAddressesPerTarget) {
    struct Case {
        ZDTCORTarget target;
        const char* path;  // null: no address
    };
    const Case cases[] = {
        {ZDTCORTargetStorageOnly, nullptr},
        {ZDTCORTargetLGS, "/v0/log/batch"},
        {ZDTCORTargetRLG, "/v1/rzrlog/legacy/batchlog"},
        {ZDTCORTargetCRS, "/v1/rzrlog/legacy/batchlog"},
        {ZDTCORTargetINT, "/dummy/api/very/long"},
        {1004, nullptr},
    };
    for (const auto& c : cases) {
        auto url = ZDTCOREndpoints::uploadURLForTarget(c.target);
        if (!c.path) {
            EXPECT_FALSE(url) << c.target;
            continue;
        }
        ASSERT_TRUE(url) << c.target;
        EXPECT_EQ(url->scheme(), "https");
        EXPECT_EQ(url->path(), c.path);
    }
    EXPECT_NE(ZDTCOREndpoints::uploadURLForTarget(ZDTCORTargetRLG)->host(),
              ZDTCOREndpoints::uploadURLForTarget(ZDTCORTargetCRS)->host());
    EXPECT_EQ(ZDTCOREndpoints::uploadURLs().size(), 4u);
}

}  // namespace
