#pragma once
// The small HTTP client of the measurement library: gzip-compressed POSTs
// and plain GETs, one fetcher per request, reachability of one host, and
// every outcome delivered once to the caller's handler on the caller's
// queue. Its diagnostics go to a logger delegate or, without one, to the
// console and the shared logger.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/NSURLSession.h"
#include "services/util/DOZIvedidiURLSession.h"
#include "services/util/ZVUMutableDictionary.h"
#include "services/util/ZVUReachabilityChecker.h"

class DOZIvedidiReachabilityDelegate {
  public:
    virtual ~DOZIvedidiReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

class DOZIvedidi : public NSObject,
                   public ZVUReachabilityDelegate,
                   public DOZIvedidiLoggerDelegate {
  public:
    // (HTTP response, response data, error), each possibly absent.
    using CompletionHandler = std::function<void(std::shared_ptr<NSHTTPURLResponse>,
                                                 std::optional<Data>, std::optional<NSError>)>;

    // The measurement service's upload host.
    static constexpr const char* kDefaultReachabilityHost = "measurement.zevera.example";

    static std::shared_ptr<DOZIvedidi> init();
    // Null when the host cannot be watched (empty, or monitoring fails).
    static std::shared_ptr<DOZIvedidi> initWithReachabilityHost(const std::string& host);
    ~DOZIvedidi() override;
    std::string className() const override { return "DOZIvedidi"; }

    // The session identifier of the started request, or nullopt; then the
    // handler gets the error later on the queue (the main queue when null).
    std::optional<std::string> postURL(const NSURL& url, const Data& payload,
                                       std::shared_ptr<DispatchQueue> queue,
                                       bool usingBackgroundSession,
                                       CompletionHandler completionHandler);
    std::optional<std::string> getURL(const NSURL& url, const NSHTTPHeaders& headers,
                                      std::shared_ptr<DispatchQueue> queue,
                                      bool usingBackgroundSession,
                                      CompletionHandler completionHandler);

    static void handleEventsForBackgroundURLSessionID(
        const std::string& sessionID, DOZIvedidiURLSession::SystemCompletionHandler completion);

    bool isNetworkConnected() const { return networkConnected_.load(); }
    bool hasUploadInProgress() const { return requests_->count() > 0; }

    void reachability(ZVUReachabilityChecker& reachability,
                      ZVUReachabilityStatus statusChanged) override;

    // Refused (and logged) unless the object implements the logger protocol.
    void setLoggerDelegate(const std::shared_ptr<NSObject>& loggerDelegate);
    std::shared_ptr<DOZIvedidiLoggerDelegate> loggerDelegate() const {
        std::lock_guard lock(delegatesLock_);
        return logger_.lock();
    }
    // Any thread: the owner changes it on its own queue while reachability
    // reports arrive on the main queue.
    void setReachabilityDelegate(const std::shared_ptr<DOZIvedidiReachabilityDelegate>& delegate) {
        std::lock_guard lock(delegatesLock_);
        reachabilityDelegate_ = delegate;
    }
    std::shared_ptr<DOZIvedidiReachabilityDelegate> reachabilityDelegate() const {
        std::lock_guard lock(delegatesLock_);
        return reachabilityDelegate_.lock();
    }
    void setIsDebugModeEnabled(bool enabled) { debugMode_ = enabled; }
    bool isDebugModeEnabled() const { return debugMode_.load(); }
    // 0 means 60 seconds.
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    double timeoutInterval() const { return timeoutInterval_.load(); }

    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode, const std::string& message,
                                 const std::vector<PRMValue>& contexts) override;
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode, const std::string& message,
                                 const PRMValue& context) override;
    void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                 const std::string& message) override;

    DOZIvedidi();

  private:
    std::optional<std::string> start(const std::shared_ptr<DOZIvedidiURLSession>& fetcher,
                                     bool post, const NSURLRequest& request,
                                     std::shared_ptr<DispatchQueue> queue,
                                     CompletionHandler completionHandler);
    void handleErrorWithCode(ZVUNetworkErrorCode code, std::shared_ptr<DispatchQueue> queue,
                             CompletionHandler handler);
    NSURLRequest makeRequest(const NSURL& url) const;
    void writeLog(ZVULoggerLevel level, long messageCode, const std::string& message,
                  const std::vector<PRMValue>& contexts);

    std::shared_ptr<ZVUReachabilityChecker> reachability_;
    std::shared_ptr<ZVUMutableDictionary> requests_ = std::make_shared<ZVUMutableDictionary>();
    std::atomic<bool> networkConnected_{false};
    std::atomic<bool> debugMode_{false};
    mutable std::mutex delegatesLock_;  // guards the two delegates
    std::weak_ptr<DOZIvedidiReachabilityDelegate> reachabilityDelegate_;
    std::weak_ptr<DOZIvedidiLoggerDelegate> logger_;
    std::atomic<double> timeoutInterval_{60.0};
};
