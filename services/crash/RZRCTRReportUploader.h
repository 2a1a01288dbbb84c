#pragma once
// Turns a report directory into a submitted transport event: active ->
// processing (symbolicated there) -> prepared -> handed to the event
// transport's crash target -> removed once the transport stored the event.
// A failure at any step leaves the directory where it is, for the next
// start-up to resume.
//
// Preparation runs on the caller's thread (the work queue, or the start-up
// queue for urgent reports); store completions arrive on the transport's
// queue. An urgent submission waits for the store's answer, whatever it
// is, and never longer than its timeout (kUrgentSubmissionTimeout unless
// set): a store that never answers must not hold the start-up queue.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"

class DispatchQueue;
class RZRCTRDataCollectionToken;
class RZRCTRFileManager;
class RZRCTRInstallIdentifierModel;
class RZRCTRInternalReport;
class ZDTCORTransport;

class RZRCTRReportUploader : public NSObject {
  public:
    // Told of every crash report sent, with its crash time in seconds since
    // 1970 (0 when unknown): the analytics crash event.
    using CrashEventLogger = std::function<void(double crashedOnSeconds)>;

    static constexpr auto kUrgentSubmissionTimeout = std::chrono::seconds(10);

    RZRCTRReportUploader(std::shared_ptr<DispatchQueue> operationQueue,
                         std::shared_ptr<RZRCTRFileManager> fileManager,
                         std::shared_ptr<ZDTCORTransport> zeveraTransport,
                         std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
                         std::string zeveraAppID, CrashEventLogger analytics = nullptr);

    std::string className() const override { return "RZRCTRReportUploader"; }

    // processing false: the report was symbolicated before an interruption
    // and only moves on to prepared.
    void prepareAndSubmitReport(const std::shared_ptr<RZRCTRInternalReport>& report,
                                const std::shared_ptr<RZRCTRDataCollectionToken>& token,
                                bool urgent, bool processing);
    void uploadPackagedReportAtPath(const std::string& path,
                                    const std::shared_ptr<RZRCTRDataCollectionToken>& token,
                                    bool urgent);
    bool cleanUpSubmittedReportAtPath(const std::string& path);

    // How long an urgent submission waits for the store's answer.
    void setUrgentSubmissionTimeout(std::chrono::nanoseconds timeout) {
        urgentSubmissionTimeout_ = timeout;
    }

    const std::shared_ptr<DispatchQueue>& operationQueue() const { return operationQueue_; }
    const std::shared_ptr<RZRCTRFileManager>& fileManager() const { return fileManager_; }

  private:
    CrashEventLogger analytics_;
    std::shared_ptr<DispatchQueue> operationQueue_;
    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<ZDTCORTransport> zeveraTransport_;
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel_;
    std::string zeveraAppID_;
    std::chrono::nanoseconds urgentSubmissionTimeout_ = kUrgentSubmissionTimeout;
};
