// A run that really crashes, and the next one sending what it left: the
// report goes through symbolication, the event transport's crash target and
// the simulated backend, which decodes it.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/backend/Backend.h"
#include "platform/backend/TransportBackend.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/NSURLSession.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRExistingReportManager.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRReportUploader.h"
#include "services/crash/RZRCTRSignal.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTCORTargets.h"
#include "services/transport/ZDTCORTransport.h"
#include "services/transport/ZDTLGSUploader.h"

namespace pipelinetest {
__attribute__((noinline)) void crashHere() {
    *static_cast<volatile int*>(nullptr) = 1;
    asm volatile("" ::: "memory");
}
}  // namespace pipelinetest

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class ReportPipelineTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        sim::setServiceHostOverride(backend_.url());
        storage_ = std::make_shared<ZDTCORFlatFileStorage>((home_ / "transport").string());
        ZDTCORRegistrar::sharedInstance()->registerStorage(storage_, ZDTCORTargetCRS);
        ZDTCORRegistrar::sharedInstance()->registrarQueue()->sync([] {});
        fileManager_ = std::make_shared<RZRCTRFileManager>();
        ASSERT_TRUE(fileManager_->createReportDirectories());
        uploader_ = std::make_shared<RZRCTRReportUploader>(
            queue_, fileManager_, ZDTCORTransport::initWithMappingID("1206", {}, ZDTCORTargetCRS),
            std::make_shared<RZRCTRInstallIdentifierModel>(
                RZRCTRInstallIdentifierModel::InstallationIDSource()),
            "1:100:mac:abc");
    }
    void TearDown() override {
        if (_rzrctrContext.readonly != nullptr) {
            RZRCTRSignalSafeInstallPreexistingHandlers(&_rzrctrContext.readonly->signal, -1,
                                                       nullptr, nullptr);
        }
        for (const int signal : kRZRCTRHandledSignals) ::signal(signal, SIG_DFL);
        EXPECT_EQ(backend_.undecodableUploads(), 0u);
        sim::clearServiceHostOverride();
        sim::useRealClock();
        CrashFixture::TearDown();
    }

    // The earlier run: crash capture set up, then a null dereference. Its
    // report directory then sits in the active folder, as at a new start.
    void crashEarlierRun() {
        RZRCTRContextInstallers installers;
        installers.binaryImages = [] {
            RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                                  &_rzrctrContext.writable->binaryImage);
        };
        installers.signal = [] { RZRCTRSignalInitialize(&_rzrctrContext.readonly->signal); };
        RZRCTRContextSetInstallers(installers);
        initializeContext();
        RZRCTRBinaryImageWaitForPendingChanges();
        // The child keeps the crash handlers.
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Through a pointer the optimizer cannot see through: a direct
            // call to a function that only faults may be left out.
            void (*volatile crash)() = &pipelinetest::crashHere;
            crash();
            ::_exit(0);
        }
        int status = 0;
        const pid_t waited = ::waitpid(pid, &status, 0);
        ASSERT_EQ(waited, pid) << std::strerror(errno);
        ASSERT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
        fs::rename(reportDir_, fs::path(fileManager_->activePath()) / "run1");
        // The next launch: its time is the test's to move.
        sim::useVirtualClock();
    }
    void deliver() {
        queue_->sync([] {});
        storage_->appWillTerminate(*ZDTCORApplication::sharedApplication());
        auto uploader = std::make_shared<ZDTLGSUploader>();
        uploader->uploadTarget(ZDTCORTargetCRS,
                               ZDTCORUploadConditionWifiData | ZDTCORUploadConditionHighPriority);
        ASSERT_TRUE(uploader->waitForUploadFinishedWithTimeout(30));
    }
    std::vector<sim::ReceivedCrashReport> received() {
        auto* transport =
            dynamic_cast<sim::TransportBackend*>(backend_.service(sim::TransportBackend::kName));
        return transport->crashReports();
    }
    bool left(const std::string& folder) const { return fs::exists(fs::path(folder) / "run1"); }
    std::shared_ptr<RZRCTRExistingReportManager> manager() {
        auto manager = std::make_shared<RZRCTRExistingReportManager>(
            fileManager_, uploader_, queue_, [] { return false; }, nullptr);
        manager->collectExistingReports();
        return manager;
    }

    sim::Backend backend_;
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.crash.work");
    std::shared_ptr<ZDTCORFlatFileStorage> storage_;
    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<RZRCTRReportUploader> uploader_;
};

TEST_F(ReportPipelineTest, TheBackendReceivesOneSymbolicatedReport) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    crashEarlierRun();
    auto existing = manager();
    ASSERT_EQ(existing->unsentReportsCount(), 1u);
    existing->sendUnsentReportsWithToken(RZRCTRDataCollectionToken::validToken(), true);
    deliver();

    const auto reports = received();
    ASSERT_EQ(reports.size(), 1u);
    const auto& report = reports[0];
    EXPECT_EQ(report.zeveraAppID, "1:100:mac:abc");
    EXPECT_EQ(report.displayVersion, "2.4.1");
    EXPECT_EQ(report.buildVersion, "107");
    for (const auto& [name, contents] : report.files) {
        std::istringstream lines(contents);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(json::accept(line)) << name << ": " << line;
        }
    }
    const auto symbolicated = report.file("signal.ctrrecord.symbolicated");
    ASSERT_TRUE(symbolicated);
    bool found = false;
    const json frames = json::parse(*symbolicated);
    for (const auto& thread : frames["threads"]) {
        for (const auto& frame : thread) {
            found |= frame["symbol"].is_string() &&
                     frame["symbol"].get<std::string>() == "pipelinetest::crashHere()";
        }
    }
    EXPECT_TRUE(found) << *symbolicated;
    for (const auto& folder : {fileManager_->activePath(), fileManager_->processingPath(),
                               fileManager_->preparedPath()}) {
        EXPECT_FALSE(left(folder)) << folder;
    }
}

// Both log buffers full (64,000 bytes each): the report is larger than 16-bit
// sizes allow and arrives whole.
TEST_F(ReportPipelineTest, AReportWithFullLogBuffersArrivesWhole) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    crashEarlierRun();
    const auto run = fs::path(fileManager_->activePath()) / "run1";
    std::map<std::string, std::string> logs;
    for (const char* name : {"log_a.ctrrecord", "log_b.ctrrecord"}) {
        std::string contents;
        for (int line = 0; contents.size() < 64000; ++line) {
            contents += "{\"log\":{\"time\":" + std::to_string(line) + ",\"value\":\"" +
                        std::string(40, static_cast<char>('a' + line % 26)) + "\"}}\n";
        }
        contents.resize(64000);
        crashtest::writeFile(run / name, contents);
        logs[name] = contents;
    }
    manager()->sendUnsentReportsWithToken(RZRCTRDataCollectionToken::validToken(), true);
    deliver();
    const auto reports = received();
    ASSERT_EQ(reports.size(), 1u);
    for (const auto& [name, contents] : logs) {
        const auto arrived = reports[0].file(name);
        ASSERT_TRUE(arrived) << name;
        EXPECT_EQ(arrived->size(), contents.size()) << name;
        EXPECT_TRUE(*arrived == contents) << name;
    }
    EXPECT_FALSE(left(fileManager_->activePath()));
}

TEST_F(ReportPipelineTest, WithoutPermissionTheReportWaitsUntilSentOrDeleted) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    crashEarlierRun();
    manager()->sendUnsentReportsWithToken(nullptr, true);
    deliver();
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(left(fileManager_->activePath()));

    // A later launch still finds it, and deleting removes it.
    auto later = manager();
    EXPECT_EQ(later->unsentReportsCount(), 1u);
    later->deleteUnsentReports();
    queue_->sync([] {});
    EXPECT_FALSE(left(fileManager_->activePath()));
}

}  // namespace
