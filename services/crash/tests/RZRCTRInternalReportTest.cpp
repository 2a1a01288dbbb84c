#include "services/crash/RZRCTRInternalReport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/log/Log.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRLaunchMarkerModel.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMetadata =
    "{\"identity\":{\"session_id\":\"0123abcd\",\"org_id\":\"org\",\"started_at\":1700000100}}\n"
    "{\"host\":{\"os_display_version\":\"14.1.0\",\"os_build_version\":\"23B74\"}}\n"
    "{\"application\":{\"build_version\":\"107\",\"display_version\":\"2.4.1\"}}\n";

class InternalReportTest : public crashtest::CrashFixture {
  protected:
    void write(const std::string& name, const std::string& text) {
        crashtest::writeFile(reportDir_ / name, text);
    }
};

TEST_F(InternalReportTest, EventAndCrashFilesDecideWhatTheReportHolds) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files;
        bool events;
        bool crash;
        std::optional<double> crashedAt;
    };
    const Case cases[] = {
        {"metadata and images only",
         {{"metadata.ctrrecord", kMetadata}, {"binary_images.ctrrecord", ""}},
         false,
         false,
         std::nullopt},
        {"recorded errors only", {{"errors_a.ctrrecord", ""}}, true, false, std::nullopt},
        {"signal with time",
         {{"signal.ctrrecord", "{\"signal\":{\"time\":1700000000}}\n"}},
         true,
         true,
         1700000000.0},
        {"mach exception first",
         {{"signal.ctrrecord", "{\"signal\":{\"time\":1700000000}}\n"},
          {"mach_exception.ctrrecord", "{\"mach_exception\":{\"time\":1700000005}}\n"}},
         true,
         true,
         1700000005.0},
        {"crash without time",
         {{"exception.ctrrecord", "{\"exception\":{}}\n"}},
         true,
         true,
         std::nullopt},
        {"diagnostic fatal marker", {{"metric_kit_fatal.ctrrecord", ""}}, true, true, std::nullopt},
        {"custom exception", {{"custom_exception_b.ctrrecord", ""}}, true, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(reportDir_);
        fs::create_directories(reportDir_);
        for (const auto& [name, text] : c.files) write(name, text);
        auto report = RZRCTRInternalReport::reportWithPath(reportDir_.string(), "id");
        ASSERT_TRUE(report);
        EXPECT_EQ(report->hasAnyEvents(), c.events);
        EXPECT_EQ(report->isCrash(), c.crash);
        const auto crashed = report->crashedOnDate();
        EXPECT_EQ(crashed.has_value(), c.crashedAt.has_value());
        if (crashed && c.crashedAt) {
            EXPECT_EQ(crashed->unixSeconds(), *c.crashedAt);
        }
    }
}

TEST_F(InternalReportTest, MetadataGivesIdentityDatesAndVersions) {
    write("metadata.ctrrecord", kMetadata);
    auto report = RZRCTRInternalReport::reportWithPath(reportDir_.string());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->identifier(), "0123abcd");
    EXPECT_EQ(report->orgID(), "org");
    EXPECT_EQ(report->dateCreated().unixSeconds(), 1700000100.0);
    EXPECT_EQ(report->OSVersion(), "14.1.0");
    EXPECT_EQ(report->OSBuildVersion(), "23B74");
    EXPECT_EQ(report->bundleVersion(), "107");
    EXPECT_EQ(report->bundleShortVersionString(), "2.4.1");
    EXPECT_EQ(report->directoryName(), "report-1");
    EXPECT_EQ(report->binaryImagePath(), (reportDir_ / "binary_images.ctrrecord").string());
    std::vector<std::string> symbolicatable;
    report->enumerateSymbolicatableFilesInContent(
        [&](const std::string& path) { symbolicatable.push_back(fs::path(path).filename()); });
    EXPECT_EQ(symbolicatable, RZRCTRInternalReport::crashFileNames());

    // Read once: later changes do not reach this object.
    write("metadata.ctrrecord", "");
    EXPECT_EQ(report->bundleVersion(), "107");
}

TEST_F(InternalReportTest, MissingOrShortMetadataGivesNothing) {
    struct Case {
        const char* name;
        const char* metadata;
        bool identified;
    };
    const Case cases[] = {
        {"no file", nullptr, false},
        {"no session id", "{\"identity\":{\"org_id\":\"org\"}}\n", false},
        {"identity only", "{\"identity\":{\"session_id\":\"s\"}}\n", true},
        {"broken line between",
         "{\"identity\":{\"session_id\":\"s\"}}\nnot "
         "json\n{\"host\":{\"os_display_version\":\"1\"}}\n",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(reportDir_ / "metadata.ctrrecord");
        if (c.metadata) write("metadata.ctrrecord", c.metadata);
        sim::LogCapture capture;
        auto report = RZRCTRInternalReport::reportWithPath(reportDir_.string());
        sim::flushZVULogger();
        EXPECT_EQ(report != nullptr, c.identified);
        EXPECT_EQ(
            capture.containsSubstring("Unable to read identifier at path " + reportDir_.string()),
            !c.identified);
        auto unnamed = RZRCTRInternalReport::reportWithPath(reportDir_.string(), "x");
        EXPECT_FALSE(unnamed->bundleVersion());
        EXPECT_FALSE(unnamed->bundleShortVersionString());
        EXPECT_EQ(unnamed->dateCreated().unixSeconds(), 0.0);
    }
    EXPECT_FALSE(RZRCTRInternalReport::reportWithPath("", "x"));
    EXPECT_FALSE(RZRCTRInternalReport::reportWithPath(reportDir_.string(), ""));
}

TEST_F(InternalReportTest, AMarkerLeftBehindIsFoundAtTheNextStart) {
    auto fileManager = std::make_shared<RZRCTRFileManager>();
    ASSERT_TRUE(fileManager->createReportDirectories());
    RZRCTRLaunchMarkerModel marker(fileManager);
    EXPECT_EQ(marker.launchFailureMarkerPath(), fileManager->structurePath() + "/launchmarker");
    EXPECT_FALSE(marker.checkForAndCreateLaunchMarker());
    EXPECT_TRUE(marker.launchFailureMarkerPresent());
    sim::LogCapture capture;
    EXPECT_TRUE(marker.checkForAndCreateLaunchMarker());
    EXPECT_TRUE(marker.launchFailureMarkerPresent());
    EXPECT_TRUE(marker.removeLaunchFailureMarker());
    EXPECT_FALSE(marker.launchFailureMarkerPresent());
    EXPECT_FALSE(marker.removeLaunchFailureMarker());
    EXPECT_FALSE(marker.checkForAndCreateLaunchMarker());

    fs::remove_all(fileManager->structurePath());
    EXPECT_FALSE(marker.createLaunchFailureMarker());
}

}  // namespace
