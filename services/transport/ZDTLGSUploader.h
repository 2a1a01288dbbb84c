#pragma once
// Uploads stored batches of events for the targets 1000 to 1003: one
// operation at a time on its own serial queue; an operation checks that the
// target may upload, forms a batch, posts it gzip-compressed and, from the
// answer, deletes the batch's events or returns them to storage. The
// backend's requested wait per target is kept in memory.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "platform/net/NSURL.h"
#include "platform/net/NSURLRequest.h"
#include "services/transport/ZDTCORClock.h"
#include "services/transport/ZDTCORStorageProtocol.h"

class ZDTLGSUploadMetadataProvider {
  public:
    virtual ~ZDTLGSUploadMetadataProvider() = default;
    virtual std::shared_ptr<ZDTCORClock> nextUploadTimeForTarget(ZDTCORTarget target) = 0;
    virtual void setNextUploadTime(std::shared_ptr<ZDTCORClock> time, ZDTCORTarget target) = 0;
    virtual std::optional<std::string> APIKeyForTarget(ZDTCORTarget target) = 0;
};

class ZDTLGSUploadOperation;

class ZDTLGSUploader : public NSObject, public ZDTCORUploader, public ZDTLGSUploadMetadataProvider {
  public:
    // Longest wait the backend may impose; longer (or negative) asks are clamped.
    static constexpr std::int64_t kMaxWaitMillis = 24LL * 60 * 60 * 1000;
    static constexpr double kRequestTimeoutSeconds = 60;
    static constexpr double kResourceTimeoutSeconds = 120;

    static std::shared_ptr<ZDTLGSUploader> sharedInstance();
    ZDTLGSUploader();
    // Registers the shared uploader for its four targets.
    static void registerWithRegistrar();

    void uploadTarget(ZDTCORTarget target, ZDTCORUploadConditions conditions) override;

    static std::optional<NSURL> serverURLForTarget(ZDTCORTarget target);
    static void setTestServerURL(std::optional<NSURL> url);
    static std::optional<NSURL> testServerURL();

    std::shared_ptr<ZDTCORClock> nextUploadTimeForTarget(ZDTCORTarget target) override;
    void setNextUploadTime(std::shared_ptr<ZDTCORClock> time, ZDTCORTarget target) override;
    std::optional<std::string> APIKeyForTarget(ZDTCORTarget target) override;

    // True as soon as no operation is queued or running; false (logged) when
    // the timeout passes first.
    bool waitForUploadFinishedWithTimeout(double seconds);
    std::size_t operationCount() const;
    // The last operation that finished: target, status (0 for none), events sent.
    struct LastUpload {
        ZDTCORTarget target = 0;
        long status = 0;
        std::size_t events = 0;
        double wallTime = 0;
    };
    std::optional<LastUpload> lastUpload() const;

    const std::shared_ptr<DispatchQueue>& uploadQueue() const { return uploadQueue_; }

  private:
    friend class ZDTLGSUploadOperation;
    void startNextOperation();
    void operationFinished(const std::shared_ptr<ZDTLGSUploadOperation>& operation);

    std::shared_ptr<DispatchQueue> uploadQueue_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<std::shared_ptr<ZDTLGSUploadOperation>> operations_;
    bool running_ = false;
    std::map<ZDTCORTarget, std::shared_ptr<ZDTCORClock>> nextUploadTimeByTarget_;
    std::optional<LastUpload> lastUpload_;
};

// One upload attempt for a target.
class ZDTLGSUploadOperation : public NSObject {
  public:
    ZDTLGSUploadOperation(ZDTCORTarget target, ZDTCORUploadConditions conditions, NSURL uploadURL,
                          std::shared_ptr<DispatchQueue> queue,
                          std::shared_ptr<ZDTCORStoragePromiseProtocol> storage,
                          std::shared_ptr<ZDTLGSUploader> uploader);

    void start();
    void cancel();
    bool isExecuting() const;
    bool isFinished() const;
    bool isCancelled() const;
    bool uploadAttempted() const;

    bool readyToUploadTarget(ZDTCORTarget target, ZDTCORUploadConditions conditions);
    static ZDTCORStorageEventSelector eventSelectorTarget(ZDTCORTarget target,
                                                          ZDTCORUploadConditions conditions);
    // Nothing for empty data.
    std::optional<NSURLRequest> constructRequestWithURL(const NSURL& url, ZDTCORTarget target,
                                                        const std::optional<Data>& data);
    // The next upload time the response asks for (clamped), else 15 minutes.
    static std::shared_ptr<ZDTCORClock> nextUploadTimeForResponse(
        long status, const std::optional<Data>& body, const std::optional<std::string>& retryAfter);
    ZDTCORTarget target() const { return target_; }
    long responseStatus() const { return status_; }
    std::size_t eventsSent() const { return eventsSent_; }

  private:
    void finishOperation();
    bool post(std::int64_t batchID, const NSURLRequest& request);
    void sendBatch(std::int64_t batchID, const std::vector<std::shared_ptr<ZDTCOREvent>>& events);
    void handleResponse(std::int64_t batchID, std::optional<Data> body,
                        std::shared_ptr<NSURLResponse> response, std::optional<NSError> error);

    ZDTCORTarget target_;
    ZDTCORUploadConditions conditions_;
    NSURL uploadURL_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<ZDTCORStoragePromiseProtocol> storage_;
    std::shared_ptr<ZDTLGSUploader> uploader_;
    mutable std::mutex mutex_;
    bool executing_ = false;
    bool finished_ = false;
    bool cancelled_ = false;
    bool uploadAttempted_ = false;
    long status_ = 0;
    std::size_t eventsSent_ = 0;
    Data body_;
    int redirects_ = 0;
    static constexpr int kMaxRedirects = 3;
};

struct ZDTLGSCompressionHelper {
    static std::optional<Data> gzippedData(const Data& data);
    static bool isGzipped(const Data& data);
};

// "rlg" for 1001, "unknown" for targets without a name.
std::string ZDTLGSTargetName(ZDTCORTarget target);
