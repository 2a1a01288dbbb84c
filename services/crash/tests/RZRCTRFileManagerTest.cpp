#include "services/crash/RZRCTRFileManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRExecutionIdentifierModel.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRUserDefaults.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;

class FileManagerTest : public crashtest::CrashFixture {
  protected:
    fs::path root() const {
        return home_ / "Library" / "Caches" / "com.crashtrace.data" / "com.vantorel.Lumbrel";
    }
};

TEST_F(FileManagerTest, TheTreeLiesUnderTheCachesFolderAndIsMadeOnlyWhenAsked) {
    writeInfo(Dictionary{{"CFBundleIdentifier", Value("com.vantorel/Lumbrel")}});
    RZRCTRFileManager manager;
    const auto base = home_ / "Library" / "Caches" / "com.crashtrace.data" / "com.vantorel_Lumbrel";
    const std::pair<std::string, fs::path> paths[] = {
        {manager.rootPath(), base},
        {manager.crashedMarkerPath(), base / "previously-crashed"},
        {manager.settingsFilePath(), base / "v5" / "settings" / "settings.json"},
        {manager.settingsCacheKeyPath(), base / "v5" / "settings" / "cache-key.json"},
        {manager.activePath(), base / "v5" / "reports" / "active"},
        {manager.pendingPath(), base / "v5" / "reports" / "pending"},
        {manager.processingPath(), base / "v5" / "reports" / "processing"},
        {manager.preparedPath(), base / "v5" / "reports" / "prepared"},
        {manager.metricKitDiagnosticPath(),
         (home_ / "Library" / "Caches").string() + "/MetricKit/Diagnostics/"},
    };
    for (const auto& [actual, expected] : paths) EXPECT_EQ(actual, expected.string());
    EXPECT_FALSE(fs::exists(base));

    ASSERT_TRUE(manager.createReportDirectories());
    for (const auto& path :
         {manager.activePath(), manager.processingPath(), manager.preparedPath()}) {
        EXPECT_TRUE(fs::is_directory(path)) << path;
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0755));
    }
    EXPECT_FALSE(fs::exists(manager.pendingPath()));
    auto run = manager.setupNewPathForExecutionIdentifier("abc");
    ASSERT_TRUE(run);
    EXPECT_EQ(*run, (base / "v5" / "reports" / "active" / "abc").string());
    EXPECT_TRUE(fs::is_directory(*run));
}

TEST_F(FileManagerTest, ListingsSkipHiddenNamesAndMissingFolders) {
    RZRCTRFileManager manager;
    EXPECT_TRUE(manager.activePathContents().empty());
    ASSERT_TRUE(manager.createReportDirectories());
    for (const auto* name : {"one", ".hidden", "two.ctrrecord", ".DS_Store"}) {
        crashtest::writeFile(fs::path(manager.activePath()) / name, "x");
    }
    std::vector<std::pair<std::string, std::string>> seen;
    manager.enumerateFilesInDirectory(manager.activePath(),
                                      [&](const std::string& path, const std::string& extension) {
                                          seen.emplace_back(fs::path(path).filename(), extension);
                                      });
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                        {"one", ""}, {"two.ctrrecord", "ctrrecord"}}));
    EXPECT_EQ(manager.activePathContents().size(), 2u);
    EXPECT_EQ(manager.fileSizeAtPath(manager.activePath() + "/one"), 1u);

    EXPECT_TRUE(manager.removeContentsOfDirectoryAtPath(manager.activePath()));
    // Hidden entries are not the pipeline's: they stay.
    EXPECT_TRUE(fs::exists(fs::path(manager.activePath()) / ".hidden"));
    EXPECT_TRUE(manager.activePathContents().empty());
}

TEST_F(FileManagerTest, FailedOperationsAnswerFalseAndSayWhy) {
    RZRCTRFileManager manager;
    ASSERT_TRUE(manager.createReportDirectories());
    const auto missing = manager.activePath() + "/missing";
    sim::LogCapture capture;
    EXPECT_FALSE(manager.removeItemAtPath(missing));
    EXPECT_FALSE(manager.moveItemAtPath(missing, manager.processingPath()));
    EXPECT_FALSE(manager.moveItemAtPath("", manager.processingPath()));
    EXPECT_FALSE(manager.fileSizeAtPath(missing));
    crashtest::writeFile(home_ / "blocker", "");
    EXPECT_FALSE(manager.createDirectoryAtPath((home_ / "blocker" / "below").string()));
    sim::flushZVULogger();
    for (const auto* message :
         {"Failed to remove file ", "Failed to move file: ", "Failed to move file, inputs invalid",
          "Unable to read file size: ", "Unable to create directory "}) {
        EXPECT_TRUE(capture.containsSubstring(message)) << message;
    }

    // A move keeps the directory's name and its contents.
    const auto run = *manager.setupNewPathForExecutionIdentifier("run");
    crashtest::writeFile(fs::path(run) / "signal.ctrrecord", "{}");
    ASSERT_TRUE(manager.moveItemAtPath(run, manager.processingPath()));
    EXPECT_TRUE(fs::exists(fs::path(manager.processingPath()) / "run" / "signal.ctrrecord"));
    EXPECT_TRUE(manager.removeItemAtPath(manager.processingPath() + "/run"));
}

TEST_F(FileManagerTest, TheCrashedMarkerIsReadOncePerRun) {
    RZRCTRFileManager manager;
    fs::create_directories(manager.rootPath());
    crashtest::writeFile(manager.crashedMarkerPath(), "");
    EXPECT_TRUE(manager.didCrashOnPreviousExecution());
    fs::remove(manager.crashedMarkerPath());
    EXPECT_TRUE(manager.didCrashOnPreviousExecution());
    EXPECT_FALSE(RZRCTRFileManager().didCrashOnPreviousExecution());

    EXPECT_FALSE(manager.metricKitDiagnosticFileExists());
    fs::create_directories(manager.metricKitDiagnosticPath());
    EXPECT_FALSE(manager.metricKitDiagnosticFileExists());
    crashtest::writeFile(manager.metricKitDiagnosticPath() + "payload", "x");
    EXPECT_TRUE(manager.metricKitDiagnosticFileExists());
    manager.createEmptyMetricKitFile(reportDir_.string());
    EXPECT_EQ(fs::file_size(reportDir_ / "metric_kit_fatal.ctrrecord"), 0u);
}

TEST(ExecutionIdentifier, Is32LowercaseHexCharactersAndNewEachRun) {
    RZRCTRExecutionIdentifierModel first;
    RZRCTRExecutionIdentifierModel second;
    EXPECT_TRUE(std::regex_match(first.executionID(), std::regex("[0-9a-f]{32}")));
    EXPECT_NE(first.executionID(), second.executionID());
}

// ---- the install identifier ---------------------------------------------

class InstallIdentifierTest : public crashtest::CrashFixture {
  protected:
    void TearDown() override {
        sim::useRealClock();
        CrashFixture::TearDown();
    }
    using Answer = std::pair<std::optional<std::string>, std::optional<NSError>>;
    // A source that answers at once with what the test put in `answer`.
    std::shared_ptr<RZRCTRInstallIdentifierModel> makeModel() {
        return std::make_shared<RZRCTRInstallIdentifierModel>(
            [this](RZRCTRInstallIdentifierModel::IDCompletion completion) {
                ++asked_;
                completion(answer_.first, answer_.second);
            });
    }
    static std::string hash(const std::string& text) {
        return *RZRCTRGenerateSHA256HexString(text.data(), static_cast<std::uint32_t>(text.size()));
    }
    std::shared_ptr<RZRCTRUserDefaults> defaults() const {
        return RZRCTRUserDefaults::standardUserDefaults();
    }
    Answer answer_;
    int asked_ = 0;
};

TEST_F(InstallIdentifierTest, TheIdentifierIsMadeOnceAndKept) {
    auto model = makeModel();
    EXPECT_TRUE(std::regex_match(model->installID(), std::regex("[0-9A-F-]{36}")));
    EXPECT_EQ(defaults()->stringForKey(kRZRCTRInstallUUIDKey), model->installID());
    // Written to disk: a new process finds it.
    EXPECT_EQ(RZRCTRUserDefaults().stringForKey(kRZRCTRInstallUUIDKey), model->installID());
    EXPECT_EQ(makeModel()->installID(), model->installID());
}

TEST_F(InstallIdentifierTest, AChangedInstallationRotatesTheIdentifier) {
    auto model = makeModel();
    const auto original = model->installID();
    defaults()->setString("legacy", kRZRCTRInstallADIDKey);
    struct Step {
        const char* name;
        Answer answer;
        bool rotated;
        std::optional<std::string> storedHash;
    };
    const Step steps[] = {
        {"error", {std::nullopt, NSError("com.reruzera.installations", 1)}, false, std::nullopt},
        {"empty", {std::string(), std::nullopt}, false, std::nullopt},
        {"first sighting", {"fid-1", std::nullopt}, false, hash("fid-1")},
        {"same again", {"fid-1", std::nullopt}, false, hash("fid-1")},
        {"changed", {"fid-2", std::nullopt}, true, hash("fid-2")},
    };
    std::string previous = original;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        answer_ = step.answer;
        EXPECT_EQ(model->regenerateInstallIDIfNeeded(), step.rotated);
        EXPECT_EQ(defaults()->stringForKey(kRZRCTRInstallIIDHashKey), step.storedHash);
        EXPECT_FALSE(defaults()->objectForKey(kRZRCTRInstallADIDKey));
        EXPECT_EQ(model->installID() != previous, step.rotated);
        previous = model->installID();
    }
    EXPECT_NE(model->installID(), original);
    EXPECT_EQ(RZRCTRUserDefaults().stringForKey(kRZRCTRInstallUUIDKey), model->installID());
    EXPECT_EQ(RZRCTRUserDefaults().stringForKey(kRZRCTRInstallIIDHashKey), hash("fid-2"));
}

TEST_F(InstallIdentifierTest, AnAnswerThatNeverComesEndsTheWaitAfterTenSeconds) {
    sim::useVirtualClock();
    const auto start = sim::Clock::now();
    RZRCTRInstallIdentifierModel::IDCompletion late;
    auto model = std::make_shared<RZRCTRInstallIdentifierModel>(
        [&](RZRCTRInstallIdentifierModel::IDCompletion completion) {
            late = std::move(completion);
            sim::advanceClock(std::chrono::seconds(10));
        });
    defaults()->setString(hash("fid-1"), kRZRCTRInstallIIDHashKey);
    const auto original = model->installID();
    sim::LogCapture capture;
    EXPECT_FALSE(model->regenerateInstallIDIfNeeded());
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring(
        "Crashtrace timed out while checking for Reruzera Installation ID"));
    EXPECT_EQ(sim::Clock::now() - start, std::chrono::seconds(10));
    // The late answer still rotates.
    ASSERT_TRUE(late);
    late(std::string("fid-2"), std::nullopt);
    EXPECT_NE(model->installID(), original);
}

}  // namespace
