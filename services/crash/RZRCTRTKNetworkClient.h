#pragma once
// Runs the crash reporter's HTTP requests on a private URL session and
// retries failed attempts after a growing, jittered delay. Whether an
// attempt failed and may be retried is RZRCTRNetworkResponseHandler's call.
//
// Completions run on the session's delegate queue (a serial queue of the
// session's own when none is given); scheduled retries start from the
// default global queue. No per-request state is kept: several requests may
// run at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/net/NSURLSession.h"

class RZRCTRTKNetworkClient : public NSObject {
  public:
    using DataCompletion = NSURLSession::DataCompletion;
    using DownloadCompletion = NSURLSession::DownloadCompletion;

    static constexpr std::uint64_t kDefaultRetryLimit = 10;
    // The longest wait between two attempts, however often the server asked
    // for more time: a larger power of the base would overflow the clock.
    static constexpr double kMaximumRetryDelaySeconds = 3600.0;

    // Null when the session cannot be created.
    static std::shared_ptr<RZRCTRTKNetworkClient> client(
        std::shared_ptr<DispatchQueue> queue = nullptr,
        std::shared_ptr<NSURLSessionConfiguration> configuration = nullptr);
    ~RZRCTRTKNetworkClient() override;
    std::string className() const override { return "RZRCTRTKNetworkClient"; }

    // retryLimit is the number of retries: a limit of 1 allows two attempts.
    void startDataTaskWithRequest(const NSURLRequest& request, DataCompletion completionHandler);
    void startDataTaskWithRequest(const NSURLRequest& request, std::uint64_t retryLimit,
                                  DataCompletion completionHandler);
    void startDataTaskWithRequest(const NSURLRequest& request, std::uint64_t retryLimit,
                                  std::uint64_t tries, DataCompletion completionHandler);
    void startDownloadTaskWithRequest(const NSURLRequest& request,
                                      DownloadCompletion completionHandler);
    void startDownloadTaskWithRequest(const NSURLRequest& request, std::uint64_t retryLimit,
                                      DownloadCompletion completionHandler);
    void startDownloadTaskWithRequest(const NSURLRequest& request, std::uint64_t retryLimit,
                                      std::uint64_t tries, DownloadCompletion completionHandler);

    // min + (max - min) x a uniform number in [0, 1) from drand48.
    static double randomDoubleWithMin(double min, double max);
    static double generateRandomJitter();
    // The server's Retry-After in seconds, up to a day (a value that cannot
    // be read counts as 2); without one, jitter x 2 ^ max(retryCount, 1)
    // seconds, at most kMaximumRetryDelaySeconds.
    static double computeDelayForResponse(const std::shared_ptr<NSURLResponse>& response,
                                          std::uint64_t retryCount);
    // Runs the block on the queue after that delay (sim clock).
    virtual void runAfterRetryValueFromResponse(const std::shared_ptr<NSURLResponse>& response,
                                                std::uint64_t attempts,
                                                const std::shared_ptr<DispatchQueue>& queue,
                                                std::function<void()> block);
    void runAfterRetryValueFromResponse(const std::shared_ptr<NSURLResponse>& response,
                                        std::uint64_t attempts, std::function<void()> block);

    void invalidateAndCancel();
    const std::shared_ptr<NSURLSession>& session() const { return session_; }

  protected:
    RZRCTRTKNetworkClient() = default;
    bool makeSession(std::shared_ptr<NSURLSessionConfiguration> configuration,
                     std::shared_ptr<DispatchQueue> queue);

  private:
    std::shared_ptr<RZRCTRTKNetworkClient> self();
    static NSError retryLimitError(const NSURLRequest& request, std::uint64_t retryLimit);

    std::shared_ptr<NSURLSession> session_;
};
