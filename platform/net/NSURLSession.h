#pragma once
// URL loading over libcurl: sessions with default, ephemeral and background
// configurations; data, upload and download tasks; delegate calls.
//
// Guarantees:
//  * Transfers run on one loader thread (a curl multi loop); nothing is ever
//    called inline from resume() or cancel().
//  * Delegate calls and completion handlers run on the session's delegate
//    queue (a serial queue of its own when none is given), in order:
//    challenge, redirects, response, data, download location, completion.
//  * Every task completes exactly once. An error after a response still
//    completes with that error (the response stays readable on the task).
//  * https requests raise a server-trust challenge before they are sent;
//    default handling and evaluation follow SecTrustEvaluate (Security.h).
//  * Redirects (300, 301, 302, 303, 307, 308 with a Location) go through the
//    delegate's redirect call; refusing completes the task with the redirect
//    response and its body. 303, and 301/302 after a POST, turn into a GET.
//  * Responses with Content-Encoding gzip or deflate are inflated on the way.
//  * A body kept in memory (data and upload tasks, redirect bodies) and any
//    body inflated on the way (downloads too) stop at
//    kURLSessionMaximumBodyLength bytes: one longer fails its task with
//    NSURLErrorDataLengthExceedsMaximum, so a small hostile response cannot
//    take unbounded memory or disk.
//  * Time-outs follow sim::Clock: the request time-out is the longest time
//    without any bytes moving, the resource time-out the whole task.
//  * The session holds its delegate until it has been invalidated.
//  * Background configurations behave as default ones, except that uploads
//    must come from a file and completion-handler tasks are refused (null).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/net/NSURL.h"
#include "platform/net/NSURLRequest.h"
#include "platform/net/Security.h"

// The same limit as the gzip utility of the service clients puts on what it
// inflates.
inline constexpr std::size_t kURLSessionMaximumBodyLength = 64u * 1024u * 1024u;

class NSURLSession;
class NSURLSessionTask;
class NSURLSessionDataTask;
class NSURLSessionDownloadTask;
struct URLTransfer;

// An in-memory response cache for GET requests whose responses say
// "Cache-Control: max-age=N".
class NSURLCache : public NSObject {
  public:
    struct Entry {
        std::shared_ptr<NSHTTPURLResponse> response;
        Data data;
        double storedAt = 0;  // wall clock seconds
        double maxAge = 0;
    };
    static std::shared_ptr<NSURLCache> sharedURLCache();
    std::string className() const override { return "NSURLCache"; }

    std::optional<Entry> cachedResponseForRequest(const NSURLRequest& request) const;
    void storeCachedResponse(Entry entry, const NSURLRequest& request);
    void removeAllCachedResponses();
    std::size_t count() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

class NSURLSessionConfiguration {
  public:
    static std::shared_ptr<NSURLSessionConfiguration> defaultSessionConfiguration();
    static std::shared_ptr<NSURLSessionConfiguration> ephemeralSessionConfiguration();
    static std::shared_ptr<NSURLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(
        const std::string& identifier);

    const std::optional<std::string>& identifier() const { return identifier_; }
    bool isBackground() const { return identifier_.has_value(); }

    const NSHTTPHeaders& HTTPAdditionalHeaders() const { return headers_; }
    void setHTTPAdditionalHeaders(NSHTTPHeaders headers) { headers_ = std::move(headers); }
    double timeoutIntervalForRequest() const { return requestTimeout_; }
    void setTimeoutIntervalForRequest(double seconds) { requestTimeout_ = seconds; }
    double timeoutIntervalForResource() const { return resourceTimeout_; }
    void setTimeoutIntervalForResource(double seconds) { resourceTimeout_ = seconds; }
    NSURLRequestCachePolicy requestCachePolicy() const { return cachePolicy_; }
    void setRequestCachePolicy(NSURLRequestCachePolicy policy) { cachePolicy_ = policy; }
    const std::shared_ptr<NSURLCache>& URLCache() const { return cache_; }
    void setURLCache(std::shared_ptr<NSURLCache> cache) { cache_ = std::move(cache); }

    std::shared_ptr<NSURLSessionConfiguration> copy() const {
        return std::make_shared<NSURLSessionConfiguration>(*this);
    }

  private:
    std::optional<std::string> identifier_;
    NSHTTPHeaders headers_;
    double requestTimeout_ = 60.0;
    double resourceTimeout_ = 604800.0;
    NSURLRequestCachePolicy cachePolicy_ = NSURLRequestCachePolicy::UseProtocolCachePolicy;
    std::shared_ptr<NSURLCache> cache_;
};

// NSURLSessionDelegate with its task, data and download sub-protocols. Each
// call has a default doing what the platform does for a delegate that does
// not implement it.
class NSURLSessionDelegate {
  public:
    using Session = std::shared_ptr<NSURLSession>;
    using Task = std::shared_ptr<NSURLSessionTask>;
    using ChallengeCompletion =
        std::function<void(NSURLSessionAuthChallengeDisposition, std::shared_ptr<NSURLCredential>)>;
    using RedirectCompletion = std::function<void(std::optional<NSURLRequest>)>;

    virtual ~NSURLSessionDelegate() = default;

    // URLSession:didBecomeInvalidWithError:
    virtual void URLSession(const Session& session, const std::optional<NSError>& error);
    // URLSession:task:didReceiveChallenge:completionHandler:
    virtual void URLSession(const Session& session, const Task& task,
                            const NSURLAuthenticationChallenge& challenge,
                            ChallengeCompletion completionHandler);
    // URLSession:task:willPerformHTTPRedirection:newRequest:completionHandler:
    virtual void URLSession(const Session& session, const Task& task,
                            const std::shared_ptr<NSHTTPURLResponse>& willPerformHTTPRedirection,
                            const NSURLRequest& newRequest, RedirectCompletion completionHandler);
    // URLSession:dataTask:didReceiveResponse: (the platform's completion-less form)
    virtual void URLSession(const Session& session,
                            const std::shared_ptr<NSURLSessionDataTask>& dataTask,
                            const std::shared_ptr<NSURLResponse>& didReceiveResponse);
    // URLSession:dataTask:didReceiveData:
    virtual void URLSession(const Session& session,
                            const std::shared_ptr<NSURLSessionDataTask>& dataTask,
                            const Data& didReceiveData);
    // URLSession:downloadTask:didFinishDownloadingToURL: (the file is removed
    // when this returns)
    virtual void URLSession(const Session& session,
                            const std::shared_ptr<NSURLSessionDownloadTask>& downloadTask,
                            const NSURL& didFinishDownloadingToURL);
    // URLSession:task:didCompleteWithError:
    virtual void URLSession(const Session& session, const Task& task,
                            const std::optional<NSError>& didCompleteWithError);
};

enum class NSURLSessionTaskState : long {
    Running = 0,
    Suspended = 1,
    Canceling = 2,
    Completed = 3
};

class NSURLSessionTask : public NSObject {
  public:
    ~NSURLSessionTask() override;
    std::string className() const override { return "NSURLSessionTask"; }

    unsigned long taskIdentifier() const { return identifier_; }
    const NSURLRequest& originalRequest() const { return original_; }
    NSURLRequest currentRequest() const;
    std::shared_ptr<NSURLResponse> response() const;
    std::optional<NSError> error() const;
    NSURLSessionTaskState state() const;
    std::int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    std::int64_t countOfBytesSent() const { return bytesSent_.load(); }

    // Starts the task (once; later calls do nothing).
    void resume();
    // Completes a task that has not completed with NSURLErrorCancelled.
    void cancel();

    struct Impl;

  protected:
    enum class Kind { Data, Upload, Download };
    NSURLSessionTask(Kind kind, std::shared_ptr<NSURLSession> session, NSURLRequest request);

  private:
    friend class NSURLSession;
    friend struct URLTransfer;
    friend struct URLLoader;
    std::shared_ptr<NSURLSessionTask> self();
    void startAttempt();
    void beginTransfer();
    void transferHeaders(long status, NSHTTPHeaders headers);
    bool transferData(const char* bytes, std::size_t length);
    void transferDone(std::optional<long long> errorCode);
    void followOrDeliverRedirect();
    void deliverFinalResponse(std::shared_ptr<NSHTTPURLResponse> response, Data body);
    void finish(std::optional<NSError> error);
    void postToDelegateQueue(std::function<void()> block);

    Kind kind_;
    unsigned long identifier_;
    NSURLRequest original_;
    std::atomic<std::int64_t> bytesReceived_{0};
    std::atomic<std::int64_t> bytesSent_{0};
    std::unique_ptr<Impl> impl_;
};

class NSURLSessionDataTask : public NSURLSessionTask {
  public:
    std::string className() const override { return "NSURLSessionDataTask"; }

  protected:
    using NSURLSessionTask::NSURLSessionTask;
    friend class NSURLSession;
};

class NSURLSessionUploadTask : public NSURLSessionDataTask {
  public:
    std::string className() const override { return "NSURLSessionUploadTask"; }

  private:
    using NSURLSessionDataTask::NSURLSessionDataTask;
    friend class NSURLSession;
};

class NSURLSessionDownloadTask : public NSURLSessionTask {
  public:
    std::string className() const override { return "NSURLSessionDownloadTask"; }

  private:
    using NSURLSessionTask::NSURLSessionTask;
    friend class NSURLSession;
};

class NSURLSession : public NSObject {
  public:
    using DataCompletion = std::function<void(std::optional<Data>, std::shared_ptr<NSURLResponse>,
                                              std::optional<NSError>)>;
    using DownloadCompletion = std::function<void(
        std::optional<NSURL>, std::shared_ptr<NSURLResponse>, std::optional<NSError>)>;

    static std::shared_ptr<NSURLSession> sharedSession();
    static std::shared_ptr<NSURLSession> sessionWithConfiguration(
        const std::shared_ptr<NSURLSessionConfiguration>& configuration);
    // A null delegate queue gives the session a serial queue of its own.
    static std::shared_ptr<NSURLSession> sessionWithConfiguration(
        const std::shared_ptr<NSURLSessionConfiguration>& configuration,
        std::shared_ptr<NSURLSessionDelegate> delegate,
        std::shared_ptr<DispatchQueue> delegateQueue);

    ~NSURLSession() override;
    std::string className() const override { return "NSURLSession"; }

    // A copy of the configuration the session was made with.
    std::shared_ptr<NSURLSessionConfiguration> configuration() const { return config_->copy(); }
    // Null once the session has been invalidated.
    std::shared_ptr<NSURLSessionDelegate> delegate() const;
    const std::shared_ptr<DispatchQueue>& delegateQueue() const { return queue_; }

    // Each returns null when the session has been invalidated (or, for a
    // background session, for a task kind it does not allow).
    std::shared_ptr<NSURLSessionDataTask> dataTaskWithRequest(const NSURLRequest& request);
    std::shared_ptr<NSURLSessionDataTask> dataTaskWithRequest(const NSURLRequest& request,
                                                              DataCompletion completionHandler);
    std::shared_ptr<NSURLSessionUploadTask> uploadTaskWithRequest(const NSURLRequest& request,
                                                                  const Data& fromData);
    std::shared_ptr<NSURLSessionUploadTask> uploadTaskWithRequest(const NSURLRequest& request,
                                                                  const Data& fromData,
                                                                  DataCompletion completionHandler);
    std::shared_ptr<NSURLSessionUploadTask> uploadTaskWithRequest(const NSURLRequest& request,
                                                                  const NSURL& fromFile);
    std::shared_ptr<NSURLSessionDownloadTask> downloadTaskWithRequest(const NSURLRequest& request);
    std::shared_ptr<NSURLSessionDownloadTask> downloadTaskWithRequest(
        const NSURLRequest& request, DownloadCompletion completionHandler);

    // No new tasks; once running ones are done the delegate is told and
    // released.
    void finishTasksAndInvalidate();
    // As above, cancelling the running tasks.
    void invalidateAndCancel();
    bool isInvalidated() const;

  private:
    friend class NSURLSessionTask;
    NSURLSession(std::shared_ptr<NSURLSessionConfiguration> configuration,
                 std::shared_ptr<NSURLSessionDelegate> delegate,
                 std::shared_ptr<DispatchQueue> queue);
    bool registerTask(const std::shared_ptr<NSURLSessionTask>& task);
    void taskCompleted(NSURLSessionTask* task);  // on the delegate queue
    void invalidate(bool cancel);
    void becomeInvalidIfIdle();  // with mutex_ held

    std::shared_ptr<NSURLSessionConfiguration> config_;
    std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    std::shared_ptr<NSURLSessionDelegate> delegate_;
    bool invalidated_ = false;
    bool invalidationReported_ = false;
    std::set<std::shared_ptr<NSURLSessionTask>> tasks_;
};

namespace sim {
// Every http(s) URL whose host is not loopback is fetched from this base
// instead ("http://127.0.0.1:PORT"): https://any.host/a/b?c goes to
// http://127.0.0.1:PORT/a/b?c, with the original host in X-Forwarded-Host.
// Without an override, $LUMBREL_SERVICE_BASE_URL serves. An empty text
// clears it. Only a loopback base (127.0.0.0/8, localhost, [::1]) is used;
// any other is refused with a logged error (once per value) and URLs are
// fetched as they are.
void setServiceHostOverride(const std::string& baseURL);
void clearServiceHostOverride();
// The URL actually fetched for url.
NSURL resolveServiceURL(const NSURL& url);
// Off: every task fails with NSURLErrorNotConnectedToInternet.
void setNetworkConnected(bool connected);
bool isNetworkConnected();
// Transfers on the loader thread right now.
std::size_t activeTransferCount();
}  // namespace sim
