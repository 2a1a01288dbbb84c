#include "services/crash/RZRCTRExistingReportManager.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRReportUploader.h"
#include "services/crash/RZRCrashtraceReport.h"
#include "services/crash/tests/ReportPipelineSupport.h"
#include "services/transport/ZDTCORTransformer.h"
#include "services/transport/ZDTCORTransport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;

class ExistingReportsTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        sim::useVirtualClock();
        ZVUSetLoggerLevel(ZVULoggerLevel::Info);
        target_ = nextTarget_ += 3;
        ZDTCORRegistrar::sharedInstance()->registerStorage(storage_, target_);
        ZDTCORRegistrar::sharedInstance()->registrarQueue()->sync([] {});
        fileManager_ = std::make_shared<RZRCTRFileManager>();
        ASSERT_TRUE(fileManager_->createReportDirectories());
        uploader_ = std::make_shared<RZRCTRReportUploader>(
            queue_, fileManager_, ZDTCORTransport::initWithMappingID("1206", {}, target_),
            std::make_shared<RZRCTRInstallIdentifierModel>(
                RZRCTRInstallIdentifierModel::InstallationIDSource()),
            "1:100:ios:abc");
        manager_ = std::make_shared<RZRCTRExistingReportManager>(
            fileManager_, uploader_, queue_, [this] { return metricKitEnabled_; }, nullptr);
    }
    void TearDown() override {
        sim::resetZVULoggerForTesting();
        sim::useRealClock();
        CrashFixture::TearDown();
    }
    // Waits until every queued operation, and what it handed to the
    // transport, has finished.
    void drain() {
        queue_->sync([] {});
        ZDTCORTransformer::sharedInstance()->appWillTerminate(
            *ZDTCORApplication::sharedApplication());
    }
    fs::path active(const std::string& name) const {
        return fs::path(fileManager_->activePath()) / name;
    }
    std::vector<std::string> names(const std::vector<std::string>& paths) const {
        std::vector<std::string> out;
        for (const auto& path : paths) out.push_back(fs::path(path).filename());
        return out;
    }
    std::vector<std::string> left(const std::string& directory) const {
        auto paths = fileManager_->contentsOfDirectory(directory);
        auto out = names(paths);
        std::sort(out.begin(), out.end());
        return out;
    }

    static inline ZDTCORTarget nextTarget_ = 8000;
    ZDTCORTarget target_ = 0;
    bool metricKitEnabled_ = false;
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.crash.work");
    std::shared_ptr<crashtest::ScriptedStorage> storage_ =
        std::make_shared<crashtest::ScriptedStorage>();
    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<RZRCTRReportUploader> uploader_;
    std::shared_ptr<RZRCTRExistingReportManager> manager_;
};

TEST_F(ExistingReportsTest, NothingLeftBehindMeansNothingToSend) {
    manager_->collectExistingReports();
    EXPECT_EQ(manager_->unsentReportsCount(), 0u);
    EXPECT_FALSE(manager_->newestUnsentReport());
}

TEST_F(ExistingReportsTest, TheNewestFourWithEventsAreKept) {
    struct Case {
        const char* name;
        int withEvents;
        int empty;
        int unreadable;
        std::vector<std::string> kept;
        std::vector<std::string> remaining;
        const char* message;
    };
    const Case cases[] = {
        {"six",
         6,
         0,
         0,
         {"r6", "r5", "r4", "r3"},
         {"r3", "r4", "r5", "r6"},
         "Deleting 2 unsent reports over the limit of 4"},
        {"exactly four", 4, 0, 0, {"r4", "r3", "r2", "r1"}, {"r1", "r2", "r3", "r4"}, nullptr},
        {"empty ones do not count", 3, 2, 0, {"r3", "r2", "r1"}, {"r1", "r2", "r3"}, nullptr},
        // Equally old, so which of them stays is the listing's choice.
        {"unreadable ones count and go first",
         3,
         0,
         3,
         {"r3", "r2", "r1", "x?"},
         {"r1", "r2", "r3", "x?"},
         "Deleting 2 unsent reports over the limit of 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(fileManager_->activePath());
        fs::create_directories(fileManager_->activePath());
        for (int i = 1; i <= c.withEvents; ++i) {
            const auto name = "r" + std::to_string(i);
            crashtest::writeReport(active(name), name, 1700000000 + i, {"errors_a.ctrrecord"});
        }
        for (int i = 1; i <= c.empty; ++i) {
            const auto name = "e" + std::to_string(i);
            crashtest::writeReport(active(name), name, 1800000000 + i, {});
        }
        for (int i = 1; i <= c.unreadable; ++i) {
            // Left by a run that died before writing its metadata.
            fs::create_directories(active("x" + std::to_string(i)));
            crashtest::writeFile(active("x" + std::to_string(i)) / "errors_a.ctrrecord", "{}\n");
        }
        sim::LogCapture capture;
        manager_ = std::make_shared<RZRCTRExistingReportManager>(
            fileManager_, uploader_, queue_, [] { return false; }, nullptr);
        manager_->collectExistingReports();
        drain();
        sim::flushZVULogger();
        // "x?" stands for any one of the unreadable directories.
        const auto anyUnreadable = [](std::vector<std::string> list) {
            for (auto& name : list) {
                if (name[0] == 'x') name = "x?";
            }
            return list;
        };
        EXPECT_EQ(anyUnreadable(names(manager_->existingUnemptyActiveReportPaths())), c.kept);
        EXPECT_EQ(manager_->unsentReportsCount(), c.kept.size());
        EXPECT_EQ(anyUnreadable(left(fileManager_->activePath())), c.remaining);
        EXPECT_EQ(capture.containsSubstring("Deleting "), c.message != nullptr);
        if (c.message) {
            EXPECT_TRUE(capture.containsSubstring(std::string(c.message) +
                                                  " to prevent disk space from filling up."));
        }
        auto newest = manager_->newestUnsentReport();
        ASSERT_TRUE(newest);
    }
}

TEST_F(ExistingReportsTest, ADiagnosticPayloadMarksTheNewestReport) {
    fs::create_directories(fileManager_->metricKitDiagnosticPath());
    crashtest::writeFile(fileManager_->metricKitDiagnosticPath() + "payload.json", "{}");
    for (const bool enabled : {false, true}) {
        crashtest::writeReport(active("old"), "old", 1700000000, {"errors_a.ctrrecord"});
        crashtest::writeReport(active("new"), "new", 1700000100, {});
        metricKitEnabled_ = enabled;
        manager_->getUnsentActiveReportsAndDeleteEmptyOrOld(fileManager_->activePathContents());
        EXPECT_EQ(fs::exists(active("new") / "metric_kit_fatal.ctrrecord"), enabled);
        queue_->sync([] {});
    }
}

TEST_F(ExistingReportsTest, EveryStateIsSentOnAndEndsRemoved) {
    crashtest::writeReport(active("a1"), "a1", 1700000000, {"errors_a.ctrrecord"});
    crashtest::writeReport(active("a2"), "a2", 1700000001, {"signal.ctrrecord"});
    // Interrupted after symbolication, and sent but not acknowledged.
    crashtest::writeReport(fs::path(fileManager_->processingPath()) / "p1", "p1", 1600000000,
                           {"signal.ctrrecord"});
    crashtest::writeReport(fs::path(fileManager_->preparedPath()) / "q1", "q1", 1600000000,
                           {"errors_b.ctrrecord"});
    // Interrupted before its metadata was written: it cannot be sent.
    fs::create_directories(fs::path(fileManager_->processingPath()) / "p2");
    crashtest::writeFile(fs::path(fileManager_->processingPath()) / "p2" / "signal.ctrrecord",
                         "{}");
    manager_->collectExistingReports();
    EXPECT_EQ(manager_->unsentReportsCount(), 2u);
    manager_->sendUnsentReportsWithToken(RZRCTRDataCollectionToken::validToken(), false);
    drain();

    EXPECT_EQ(storage_->stored().size(), 4u);
    for (const auto& folder : {fileManager_->activePath(), fileManager_->processingPath(),
                               fileManager_->preparedPath()}) {
        EXPECT_TRUE(left(folder).empty()) << folder;
    }
    // The resumed report was not processed again.
    for (const auto& event : storage_->stored()) {
        const Data bytes = event->serializedDataObjectBytes().value_or(Data{});
        const std::string text(bytes.begin(), bytes.end());
        EXPECT_EQ(text.find("signal.ctrrecord.symbolicated"), std::string::npos);
    }
}

TEST_F(ExistingReportsTest, AnUrgentSendEndsInBoundedTimeWhenTheStoreNeverAnswers) {
    storage_->answer = crashtest::StoreAnswer::Never;
    uploader_->setUrgentSubmissionTimeout(std::chrono::seconds(0));
    crashtest::writeReport(active("a1"), "a1", 1700000000, {"signal.ctrrecord"});
    manager_->collectExistingReports();
    manager_->sendUnsentReportsWithToken(RZRCTRDataCollectionToken::validToken(), true);
    drain();
    EXPECT_EQ(left(fileManager_->preparedPath()), std::vector<std::string>{"a1"});
}

TEST_F(ExistingReportsTest, DeletingRemovesEveryStateAndWithoutTokenNothingIsSent) {
    crashtest::writeReport(active("a1"), "a1", 1700000000, {"errors_a.ctrrecord"});
    crashtest::writeReport(fs::path(fileManager_->processingPath()) / "p1", "p1", 1, {});
    crashtest::writeReport(fs::path(fileManager_->preparedPath()) / "q1", "q1", 1, {});
    manager_->collectExistingReports();
    manager_->sendUnsentReportsWithToken(nullptr, true);
    drain();
    EXPECT_TRUE(storage_->stored().empty());
    EXPECT_EQ(left(fileManager_->activePath()), std::vector<std::string>{"a1"});

    manager_->deleteUnsentReports();
    drain();
    for (const auto& folder : {fileManager_->activePath(), fileManager_->processingPath(),
                               fileManager_->preparedPath()}) {
        EXPECT_TRUE(left(folder).empty()) << folder;
    }
}

}  // namespace
