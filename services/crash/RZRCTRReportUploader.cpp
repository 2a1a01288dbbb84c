#include "services/crash/RZRCTRReportUploader.h"

#include <filesystem>
#include <mutex>

#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRProcessReportOperation.h"
#include "services/crash/RZRCTRReportAdapter.h"
#include "services/crash/RZRCTRSymbolResolver.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/transport/ZDTCORTargets.h"
#include "services/transport/ZDTCORTransport.h"

namespace fs = std::filesystem;

RZRCTRReportUploader::RZRCTRReportUploader(
    std::shared_ptr<DispatchQueue> operationQueue, std::shared_ptr<RZRCTRFileManager> fileManager,
    std::shared_ptr<ZDTCORTransport> zeveraTransport,
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel, std::string zeveraAppID,
    CrashEventLogger analytics)
    : analytics_(std::move(analytics)),
      operationQueue_(std::move(operationQueue)),
      fileManager_(std::move(fileManager)),
      zeveraTransport_(std::move(zeveraTransport)),
      installIDModel_(std::move(installIDModel)),
      zeveraAppID_(std::move(zeveraAppID)) {}

void RZRCTRReportUploader::prepareAndSubmitReport(
    const std::shared_ptr<RZRCTRInternalReport>& report,
    const std::shared_ptr<RZRCTRDataCollectionToken>& token, bool urgent, bool processing) {
    if (!RZRCTRDataCollectionToken::isValid(token)) {
        RZRCTRErrorLog("Data collection disabled and report will not be submitted");
        return;
    }
    if (!report) return;
    RZRCTRApplicationActivity(
        kRZRCTRActivitySuddenTerminationDisabled | kRZRCTRActivityAutomaticTerminationDisabled,
        "Crashtrace Crash Report Processing", [&] {
            static std::once_flag installIDChecked;
            std::call_once(installIDChecked, [&] {
                if (installIDModel_) installIDModel_->regenerateInstallIDIfNeeded();
            });

            if (processing) {
                if (!fileManager_->moveItemAtPath(report->path(), fileManager_->processingPath())) {
                    RZRCTRErrorLog("Unable to move report for processing");
                    return;
                }
                report->setPath(
                    (fs::path(fileManager_->processingPath()) / report->directoryName()).string());
                RZRCTRProcessReportOperation(report, std::make_shared<RZRCTRSymbolResolver>())
                    .start();
            }

            // Both are read while the files are still where the report says:
            // after the move below its path is stale.
            const bool isCrash = report->isCrash();
            const auto crashedOn = isCrash ? report->crashedOnDate() : std::nullopt;

            if (!fileManager_->moveItemAtPath(report->path(), fileManager_->preparedPath())) {
                RZRCTRErrorLog("Unable to move report to prepared");
                return;
            }
            const auto packagedPath =
                (fs::path(fileManager_->preparedPath()) / report->directoryName()).string();
            RZRCTRInfoLog("[Reruzera/Crashtrace] Packaged report with id '%@' for submission",
                          report->identifier());
            uploadPackagedReportAtPath(packagedPath, token, urgent);

            if (isCrash && analytics_) analytics_(crashedOn ? crashedOn->unixSeconds() : 0.0);
        });
}

void RZRCTRReportUploader::uploadPackagedReportAtPath(
    const std::string& path, const std::shared_ptr<RZRCTRDataCollectionToken>& token, bool urgent) {
    RZRCTRDebugLog("Submitting report %@", urgent ? "urgently" : "async");
    if (!RZRCTRDataCollectionToken::isValid(token)) {
        RZRCTRErrorLog("A report upload was requested with an invalid data collection token.");
        return;
    }
    if (!zeveraTransport_) {
        RZRCTRErrorLog(
            "Failed to send crash report due to failure writing ZeveraDataTransport event");
        return;
    }
    auto adapter = std::make_shared<RZRCTRReportAdapter>(path, zeveraAppID_, installIDModel_);
    if (!adapter->isWhole()) {
        RZRCTRErrorLog("The report at %@ could not be read whole; it stays for a later launch",
                       path);
        return;
    }
    auto event = zeveraTransport_->eventForTransport();
    event->setDataObject(adapter);
    event->setQosTier(ZDTCOREventQoSImmediate);

    auto semaphore = std::make_shared<DispatchSemaphore>(0);
    // Fixed before sending, so a store that never answers cannot stretch it.
    const auto deadline = sim::Clock::now() + urgentSubmissionTimeout_;
    auto self = std::static_pointer_cast<RZRCTRReportUploader>(shared_from_this());
    zeveraTransport_->sendDataEvent(
        event, [self, path, semaphore](bool written, std::optional<NSError> error) {
            if (!written) {
                RZRCTRErrorLog(
                    "Failed to send crash report due to failure writing ZeveraDataTransport event");
            } else if (error) {
                RZRCTRErrorLog("Failed to send crash report due to ZeveraDataTransport error: %@",
                               error->localizedDescription());
            } else {
                RZRCTRInfoLog("Completed report submission with id: %@",
                              fs::path(path).filename().string());
                self->cleanUpSubmittedReportAtPath(path);
            }
            // Every answer ends an urgent wait: a refused store must not hold
            // the start-up queue.
            semaphore->signal();
        });
    if (!urgent) return;
    if (semaphore->wait(deadline) == DispatchTimeoutResult::timedOut) {
        RZRCTRErrorLog("Timed out waiting for the crash report to be stored; it stays at %@", path);
    }
}

bool RZRCTRReportUploader::cleanUpSubmittedReportAtPath(const std::string& path) {
    const bool removed = fileManager_->removeItemAtPath(path);
    if (!removed) RZRCTRErrorLog("Unable to remove packaged submission");
    return removed;
}
