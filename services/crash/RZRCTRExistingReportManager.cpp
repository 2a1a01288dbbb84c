#include "services/crash/RZRCTRExistingReportManager.h"

#include <algorithm>
#include <filesystem>

#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRReportUploader.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/RZRCrashtraceReport.h"

namespace {

void sortNewestFirst(std::vector<std::shared_ptr<RZRCTRInternalReport>>& reports) {
    std::stable_sort(reports.begin(), reports.end(), [](const auto& a, const auto& b) {
        return a->dateCreated().secondsSinceReferenceDate >
               b->dateCreated().secondsSinceReferenceDate;
    });
}

}  // namespace

RZRCTRExistingReportManager::RZRCTRExistingReportManager(
    std::shared_ptr<RZRCTRFileManager> fileManager,
    std::shared_ptr<RZRCTRReportUploader> reportUploader,
    std::shared_ptr<DispatchQueue> operationQueue,
    MetricKitCollectionEnabled metricKitCollectionEnabled,
    std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter)
    : fileManager_(std::move(fileManager)),
      reportUploader_(std::move(reportUploader)),
      operationQueue_(std::move(operationQueue)),
      metricKitCollectionEnabled_(std::move(metricKitCollectionEnabled)),
      dataArbiter_(std::move(dataArbiter)) {}

void RZRCTRExistingReportManager::collectExistingReports() {
    existingUnemptyActiveReportPaths_ =
        getUnsentActiveReportsAndDeleteEmptyOrOld(fileManager_->activePathContents());
    processingReportPaths_ = fileManager_->processingPathContents();
    preparedReportPaths_ = fileManager_->preparedPathContents();
}

void RZRCTRExistingReportManager::removeLater(std::vector<std::string> paths) {
    if (paths.empty()) return;
    auto fileManager = fileManager_;
    operationQueue_->async([fileManager, paths = std::move(paths)] {
        for (const auto& path : paths) fileManager->removeItemAtPath(path);
    });
}

std::vector<std::string> RZRCTRExistingReportManager::getUnsentActiveReportsAndDeleteEmptyOrOld(
    const std::vector<std::string>& paths) {
    std::vector<std::shared_ptr<RZRCTRInternalReport>> reports;
    for (const auto& path : paths) {
        auto report = RZRCTRInternalReport::reportWithPath(path);
        // A directory whose metadata cannot be read still takes disk space:
        // it is counted (as the oldest) and removed like any other, never
        // left to pile up.
        if (!report) {
            report = RZRCTRInternalReport::reportWithPath(
                path, std::filesystem::path(path).filename().string());
        }
        if (report) reports.push_back(std::move(report));
    }
    if (reports.empty()) return {};
    sortNewestFirst(reports);

    if (metricKitCollectionEnabled_ && metricKitCollectionEnabled_() &&
        fileManager_->metricKitDiagnosticFileExists()) {
        fileManager_->createEmptyMetricKitFile(reports.front()->path());
    }

    std::vector<std::shared_ptr<RZRCTRInternalReport>> kept;
    std::vector<std::string> removals;
    for (auto& report : reports) {
        if (report->hasAnyEvents()) {
            kept.push_back(std::move(report));
        } else {
            removals.push_back(report->path());
        }
    }
    removeLater(std::move(removals));
    if (kept.empty()) return {};
    sortNewestFirst(kept);
    newestInternalReport_ = kept.front();

    if (kept.size() > kMaxUnsentReports) {
        RZRCTRInfoLog(
            "Deleting %lu unsent reports over the limit of %lu to prevent disk space from filling "
            "up. To prevent this make sure to call send/deleteUnsentReports.",
            static_cast<unsigned long>(kept.size() - kMaxUnsentReports),
            static_cast<unsigned long>(kMaxUnsentReports));
    }
    std::vector<std::string> result;
    std::vector<std::string> overLimit;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        (i < kMaxUnsentReports ? result : overLimit).push_back(kept[i]->path());
    }
    removeLater(std::move(overLimit));
    return result;
}

std::shared_ptr<RZRCrashtraceReport> RZRCTRExistingReportManager::newestUnsentReport() const {
    if (unsentReportsCount() == 0 || !newestInternalReport_) return nullptr;
    return std::make_shared<RZRCrashtraceReport>(newestInternalReport_);
}

void RZRCTRExistingReportManager::sendUnsentReportsWithToken(
    const std::shared_ptr<RZRCTRDataCollectionToken>& token, bool urgent) {
    for (const auto& path : existingUnemptyActiveReportPaths_) {
        processExistingActiveReportPath(path, token, urgent);
    }
    auto uploader = reportUploader_;
    auto fileManager = fileManager_;
    operationQueue_->async([uploader, fileManager, token, paths = processingReportPaths_] {
        for (const auto& path : paths) {
            auto report = RZRCTRInternalReport::reportWithPath(path);
            if (!report) {
                // Nothing can be sent without its identity; it would stay
                // here for good.
                if (RZRCTRDataCollectionToken::isValid(token)) fileManager->removeItemAtPath(path);
                continue;
            }
            uploader->prepareAndSubmitReport(report, token, false, false);
        }
    });
    operationQueue_->async([uploader, fileManager, token, paths = preparedReportPaths_] {
        for (const auto& path : paths) {
            if (fileManager->fileExistsAtPath(path)) {
                uploader->uploadPackagedReportAtPath(path, token, false);
            }
        }
    });
}

void RZRCTRExistingReportManager::processExistingActiveReportPath(
    const std::string& path, const std::shared_ptr<RZRCTRDataCollectionToken>& token, bool urgent) {
    auto report = RZRCTRInternalReport::reportWithPath(path);
    if (!report || !report->hasAnyEvents()) {
        removeLater({path});
        return;
    }
    if (urgent && RZRCTRDataCollectionToken::isValid(token)) {
        reportUploader_->prepareAndSubmitReport(report, token, true, true);
        return;
    }
    auto uploader = reportUploader_;
    operationQueue_->async([uploader, report, token] {
        uploader->prepareAndSubmitReport(report, token, false, true);
    });
}

void RZRCTRExistingReportManager::deleteUnsentReports() {
    std::vector<std::string> paths = existingUnemptyActiveReportPaths_;
    paths.insert(paths.end(), processingReportPaths_.begin(), processingReportPaths_.end());
    paths.insert(paths.end(), preparedReportPaths_.begin(), preparedReportPaths_.end());
    removeLater(std::move(paths));
}
