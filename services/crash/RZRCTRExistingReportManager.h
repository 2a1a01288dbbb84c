#pragma once
// Takes stock, once at start-up, of the report directories earlier runs
// left behind: throws away those with nothing to send, keeps at most
// kMaxUnsentReports of the rest (newest first), and later hands them to the
// uploader or deletes them. Deletions and ordinary submissions are queued
// on the work queue (serial), in the order asked for.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

class DispatchQueue;
class RZRCTRDataCollectionArbiter;
class RZRCTRDataCollectionToken;
class RZRCTRFileManager;
class RZRCTRInternalReport;
class RZRCTRReportUploader;
class RZRCrashtraceReport;

class RZRCTRExistingReportManager : public NSObject {
  public:
    static constexpr std::size_t kMaxUnsentReports = 4;
    // Whether diagnostic payloads are collected (from the settings).
    using MetricKitCollectionEnabled = std::function<bool()>;

    RZRCTRExistingReportManager(std::shared_ptr<RZRCTRFileManager> fileManager,
                                std::shared_ptr<RZRCTRReportUploader> reportUploader,
                                std::shared_ptr<DispatchQueue> operationQueue,
                                MetricKitCollectionEnabled metricKitCollectionEnabled,
                                std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter);

    std::string className() const override { return "RZRCTRExistingReportManager"; }

    // Before the current run's directory is created.
    void collectExistingReports();
    // The paths kept, newest first; the others are queued for removal.
    std::vector<std::string> getUnsentActiveReportsAndDeleteEmptyOrOld(
        const std::vector<std::string>& paths);
    std::size_t unsentReportsCount() const { return existingUnemptyActiveReportPaths_.size(); }
    std::shared_ptr<RZRCrashtraceReport> newestUnsentReport() const;
    void sendUnsentReportsWithToken(const std::shared_ptr<RZRCTRDataCollectionToken>& token,
                                    bool urgent);
    void processExistingActiveReportPath(const std::string& path,
                                         const std::shared_ptr<RZRCTRDataCollectionToken>& token,
                                         bool urgent);
    void deleteUnsentReports();

    const std::vector<std::string>& existingUnemptyActiveReportPaths() const {
        return existingUnemptyActiveReportPaths_;
    }
    const std::vector<std::string>& processingReportPaths() const { return processingReportPaths_; }
    const std::vector<std::string>& preparedReportPaths() const { return preparedReportPaths_; }

  private:
    void removeLater(std::vector<std::string> paths);

    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<RZRCTRReportUploader> reportUploader_;
    std::shared_ptr<DispatchQueue> operationQueue_;
    MetricKitCollectionEnabled metricKitCollectionEnabled_;
    std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter_;
    std::vector<std::string> existingUnemptyActiveReportPaths_;
    std::vector<std::string> processingReportPaths_;
    std::vector<std::string> preparedReportPaths_;
    std::shared_ptr<RZRCTRInternalReport> newestInternalReport_;
};
