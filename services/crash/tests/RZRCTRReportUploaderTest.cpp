#include "services/crash/RZRCTRReportUploader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/backend/CrashReports.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/tests/ReportPipelineSupport.h"
#include "services/transport/ZDTCORTargets.h"
#include "services/transport/ZDTCORTransformer.h"
#include "services/transport/ZDTCORTransport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;
using crashtest::StoreAnswer;

class ReportUploaderTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        sim::useVirtualClock();
        target_ = nextTarget_ += 3;
        ZDTCORRegistrar::sharedInstance()->registerStorage(storage_, target_);
        ZDTCORRegistrar::sharedInstance()->registrarQueue()->sync([] {});
        fileManager_ = std::make_shared<RZRCTRFileManager>();
        ASSERT_TRUE(fileManager_->createReportDirectories());
        installIDModel_ = std::make_shared<RZRCTRInstallIdentifierModel>(
            RZRCTRInstallIdentifierModel::InstallationIDSource());
        uploader_ = makeUploader(target_);
    }
    void TearDown() override {
        sim::useRealClock();
        CrashFixture::TearDown();
    }
    std::shared_ptr<RZRCTRReportUploader> makeUploader(
        ZDTCORTarget target, std::vector<std::shared_ptr<NSObject>> transformers = {}) {
        return std::make_shared<RZRCTRReportUploader>(
            DispatchQueue::create("test.crash.work"), fileManager_,
            ZDTCORTransport::initWithMappingID("1206", std::move(transformers), target),
            installIDModel_, "1:100:ios:abc",
            [this](double crashedOn) { crashEvents_.push_back(crashedOn); });
    }
    std::shared_ptr<RZRCTRInternalReport> activeReport(const std::vector<std::string>& files) {
        const auto path = crashtest::writeReport(fs::path(fileManager_->activePath()) / "run1",
                                                 "run1", 1700000000, files);
        return RZRCTRInternalReport::reportWithPath(path.string());
    }
    // Where the run's directory is now: "active", "processing", "prepared"
    // or "" when removed.
    std::string state() const {
        for (const auto* state : {"active", "processing", "prepared"}) {
            if (fs::exists(fs::path(fileManager_->structurePath()) / state / "run1")) return state;
        }
        return "";
    }
    std::vector<sim::ReceivedCrashReport> received() const {
        std::vector<sim::ReceivedCrashReport> reports;
        for (const auto& event : storage_->stored()) {
            EXPECT_EQ(event->qosTier(), ZDTCOREventQoSImmediate);
            EXPECT_EQ(event->mappingID(), "1206");
            const Data bytes = event->serializedDataObjectBytes().value_or(Data{});
            auto report = sim::decodeCrashReport(std::string(bytes.begin(), bytes.end()));
            EXPECT_TRUE(report);
            if (report) reports.push_back(*report);
        }
        return reports;
    }

    static inline ZDTCORTarget nextTarget_ = 7000;
    ZDTCORTarget target_ = 0;
    std::shared_ptr<crashtest::ScriptedStorage> storage_ =
        std::make_shared<crashtest::ScriptedStorage>();
    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel_;
    std::shared_ptr<RZRCTRReportUploader> uploader_;
    std::vector<double> crashEvents_;
};

TEST_F(ReportUploaderTest, ACrashIsSymbolicatedPackagedSentAndRemoved) {
    auto report = activeReport({"signal.ctrrecord", "errors_a.ctrrecord"});
    crashtest::writeFile(report->binaryImagePath(),
                         "{\"load\":{\"uuid\":\"00\",\"base\":1,\"size\":1}}\n");
    uploader_->prepareAndSubmitReport(report, RZRCTRDataCollectionToken::validToken(), true, true);

    EXPECT_EQ(state(), "");
    const auto reports = received();
    ASSERT_EQ(reports.size(), 1u);
    const auto& sent = reports[0];
    EXPECT_EQ(sent.zeveraAppID, "1:100:ios:abc");
    EXPECT_EQ(sent.installationID, installIDModel_->installID());
    EXPECT_EQ(sent.sdkVersion, "4.2.0");
    EXPECT_EQ(sent.platform, 5);
    EXPECT_EQ(sent.buildVersion, "107");
    EXPECT_EQ(sent.displayVersion, "2.4.1");
    std::vector<std::string> names;
    for (const auto& [name, contents] : sent.files) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"binary_images.ctrrecord", "errors_a.ctrrecord",
                                               "metadata.ctrrecord", "signal.ctrrecord",
                                               "signal.ctrrecord.symbolicated"}));
    EXPECT_EQ(crashEvents_, std::vector<double>{1700000000.0});
}

TEST_F(ReportUploaderTest, EachStepThatFailsLeavesTheDirectoryToResume) {
    struct Case {
        const char* name;
        StoreAnswer answer;
        bool validToken;
        bool urgent;
        const char* finalState;
        std::size_t stored;
        const char* message;
    };
    const Case cases[] = {
        {"no token", StoreAnswer::Written, false, true, "active", 0,
         "Data collection disabled and report will not be submitted"},
        {"refused store", StoreAnswer::Refused, true, true, "prepared", 1,
         "Failed to send crash report due to failure writing ZeveraDataTransport event"},
        {"store error", StoreAnswer::WrittenWithError, true, true, "prepared", 1,
         "Failed to send crash report due to ZeveraDataTransport error: "},
        {"no answer", StoreAnswer::Never, true, true, "prepared", 1,
         "Timed out waiting for the crash report to be stored"},
        {"written, not urgent", StoreAnswer::Written, true, false, "", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storage_->answer = c.answer;
        // No answer: the wait ends at once instead of after virtual time
        // that nothing moves. Every other answer must end it by itself.
        uploader_->setUrgentSubmissionTimeout(c.answer == StoreAnswer::Never
                                                  ? std::chrono::seconds(0)
                                                  : RZRCTRReportUploader::kUrgentSubmissionTimeout);
        {
            std::lock_guard lock(storage_->mutex);
            storage_->events.clear();
        }
        for (const auto* state : {"active", "processing", "prepared"}) {
            fs::remove_all(fs::path(fileManager_->structurePath()) / state / "run1");
        }
        auto report = activeReport({"errors_a.ctrrecord"});
        sim::LogCapture capture;
        uploader_->prepareAndSubmitReport(
            report, c.validToken ? RZRCTRDataCollectionToken::validToken() : nullptr, c.urgent,
            true);
        // A non-urgent submission finishes on the transport's queue.
        ZDTCORTransformer::sharedInstance()->appWillTerminate(
            *ZDTCORApplication::sharedApplication());
        sim::flushZVULogger();
        EXPECT_EQ(state(), c.finalState);
        EXPECT_EQ(storage_->stored().size(), c.stored);
        if (c.message) {
            EXPECT_TRUE(capture.containsSubstring(c.message)) << c.message;
        }
        EXPECT_TRUE(crashEvents_.empty());
    }
}

TEST_F(ReportUploaderTest, AMissingStorageEndsAnUrgentWaitAtOnce) {
    // Nothing serves this target: the transport refuses the event at once,
    // so the wait ends long before its (virtual) deadline.
    auto uploader = makeUploader(target_ + 1);
    uploader->setUrgentSubmissionTimeout(std::chrono::hours(1));
    auto report = activeReport({"errors_b.ctrrecord"});
    sim::LogCapture capture;
    uploader->prepareAndSubmitReport(report, RZRCTRDataCollectionToken::validToken(), true, true);
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring(
        "Failed to send crash report due to failure writing ZeveraDataTransport event"));
    EXPECT_FALSE(capture.containsSubstring("Timed out waiting for the crash report to be stored"));
    EXPECT_EQ(state(), "prepared");
}

TEST_F(ReportUploaderTest, AResumedReportSkipsProcessingAndAFailedMoveSendsNothing) {
    // Interrupted after processing: it moves on as it is.
    const auto path = crashtest::writeReport(fs::path(fileManager_->processingPath()) / "run1",
                                             "run1", 1700000000, {"signal.ctrrecord"});
    crashtest::writeFile(path / "binary_images.ctrrecord", "{\"load\":{\"base\":1,\"size\":1}}\n");
    uploader_->prepareAndSubmitReport(RZRCTRInternalReport::reportWithPath(path.string()),
                                      RZRCTRDataCollectionToken::validToken(), true, false);
    ASSERT_EQ(received().size(), 1u);
    EXPECT_FALSE(received()[0].file("signal.ctrrecord.symbolicated"));
    EXPECT_EQ(state(), "");

    // No processing folder: the report stays in active.
    auto report = activeReport({"signal.ctrrecord"});
    fs::remove_all(fileManager_->processingPath());
    sim::LogCapture capture;
    uploader_->prepareAndSubmitReport(report, RZRCTRDataCollectionToken::validToken(), true, true);
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("Unable to move report for processing"));
    EXPECT_EQ(state(), "active");
    EXPECT_EQ(received().size(), 1u);
}

}  // namespace
