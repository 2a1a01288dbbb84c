#pragma once
// The crash reporter's start-up: takes stock of earlier runs' reports,
// prepares this run's report directory, starts crash capture, then sends
// the earlier reports at once (collection on) or holds them until the
// application sends or deletes them (collection off).
//
// The synchronous part runs on the creating thread; the rest is promise
// continuations on the start-up queue and the main queue. Every wait is
// bounded: the crash context's set-up by kContextSetupTimeout, the drain of
// the work queue that ends start-up by kWorkQueueDrainTimeout.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"

class PRMPromise;
class RZRCTRAnalyticsManager;
class RZRCTRDataCollectionToken;
class RZRCTRExistingReportManager;
class RZRCTRInternalReport;
class RZRCTRLaunchMarkerModel;
class RZRCTRManagerData;
class RZRCTRNotificationManager;
class RZRCTRSettingsManager;

enum RZRCTRReportAction : int { RZRCTRReportActionSend = 0, RZRCTRReportActionDelete = 1 };

class RZRCTRReportManager : public NSObject {
  public:
    static constexpr double kWorkQueueDrainTimeout = 30.0;
    static constexpr sim::Duration kContextSetupTimeout = std::chrono::seconds(5);

    RZRCTRReportManager(std::shared_ptr<RZRCTRManagerData> managerData,
                        std::shared_ptr<RZRCTRExistingReportManager> existingReportManager,
                        std::shared_ptr<RZRCTRAnalyticsManager> analyticsManager);
    std::string className() const override { return "RZRCTRReportManager"; }

    // Resolves with true when this run's report is set up and capture
    // started, else false.
    std::shared_ptr<PRMPromise> startWithProfilingMark(std::uint64_t mark);
    // The newest unsent report (collection off) or nothing; only the first
    // call gets it.
    std::shared_ptr<PRMPromise> checkForUnsentReports();
    std::shared_ptr<PRMPromise> sendUnsentReports();
    std::shared_ptr<PRMPromise> deleteUnsentReports();

    bool validateAppIdentifiers();
    std::shared_ptr<RZRCTRInternalReport> setupCurrentReport(const std::string& executionID);
    bool startCrashReporterWithProfilingMark(std::uint64_t mark,
                                             const std::shared_ptr<RZRCTRInternalReport>& report);
    void crashReportingSetupCompleted(std::uint64_t mark);
    void beginSettingsWithToken(const std::shared_ptr<RZRCTRDataCollectionToken>& token);
    void beginReportUploadsWithToken(const std::shared_ptr<RZRCTRDataCollectionToken>& token,
                                     bool blockingSend);
    std::shared_ptr<PRMPromise> waitForReportAction();
    std::shared_ptr<PRMPromise> waitForMetricKitData();

    const std::shared_ptr<PRMPromise>& unsentReportsHandled() const {
        return unsentReportsHandled_;
    }
    const std::shared_ptr<RZRCTRManagerData>& managerData() const { return managerData_; }
    const std::shared_ptr<RZRCTRSettingsManager>& settingsManager() const {
        return settingsManager_;
    }
    const std::shared_ptr<RZRCTRInternalReport>& currentReport() const { return currentReport_; }

  private:
    std::shared_ptr<RZRCTRReportManager> self();

    std::shared_ptr<RZRCTRManagerData> managerData_;
    std::shared_ptr<PRMPromise> unsentReportsAvailable_;
    std::shared_ptr<PRMPromise> reportActionProvided_;
    std::shared_ptr<PRMPromise> unsentReportsHandled_;
    std::atomic<bool> checkForUnsentReportsCalled_{false};
    std::shared_ptr<RZRCTRLaunchMarkerModel> launchMarker_;
    std::shared_ptr<RZRCTRAnalyticsManager> analyticsManager_;
    std::shared_ptr<RZRCTRExistingReportManager> existingReportManager_;
    std::shared_ptr<RZRCTRSettingsManager> settingsManager_;
    std::shared_ptr<RZRCTRNotificationManager> notificationManager_;
    std::shared_ptr<RZRCTRInternalReport> currentReport_;
};

namespace sim {
// Lets the next crash reporter of this process fetch its settings again.
void resetCrashtraceSettingsFetchForTesting();
}  // namespace sim
