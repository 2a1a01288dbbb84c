#pragma once
// Runs exactly one HTTP request through a URL session of its own, as that
// session's delegate: foreground, or background with the upload body in a
// temporary file. Collects the response, answers server-trust challenges,
// refuses the redirects 300, 301, 302 and 307, cleans up old temporary
// files, and delivers one completion on the main queue. A process-wide map
// from session identifier to fetcher (held weakly) lets background-session
// events find their fetcher again.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/net/NSURLSession.h"
#include "services/util/PRMPromise.h"
#include "services/util/ZVULogger.h"

inline constexpr const char* ZVUNetworkErrorDomain = "com.zvu.network.ErrorDomain";
inline constexpr const char* ZVUNetworkErrorContext = "Context";
inline constexpr const char* ZVUNetworkBackgroundSessionPrefix =
    "com.zvu.network.background-upload";

enum class ZVUNetworkErrorCode : long long {
    URLIsEmpty = 1,
    SessionTaskCannotBeCreated = 2,
    PayloadCompression = 3,
    InvalidRequest = 4,
    EmptyResponse = 5,
};

// Receives the network layer's log calls. Contexts are objects described in
// the log line; a nil context reads "(nil)".
class DOZIvedidiLoggerDelegate {
  public:
    virtual ~DOZIvedidiLoggerDelegate() = default;
    virtual void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                         const std::string& message,
                                         const std::vector<PRMValue>& contexts) = 0;
    virtual void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                         const std::string& message, const PRMValue& context) = 0;
    virtual void DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                         const std::string& message) = 0;
};

class DOZIvedidiURLSession : public NSObject, public NSURLSessionDelegate {
  public:
    // (response, data, session identifier, error)
    using CompletionHandler =
        std::function<void(std::shared_ptr<NSHTTPURLResponse>, std::optional<Data>,
                           const std::string&, std::optional<NSError>)>;
    using SystemCompletionHandler = std::function<void()>;

    static std::shared_ptr<DOZIvedidiURLSession> initWithNetworkLoggerDelegate(
        const std::shared_ptr<DOZIvedidiLoggerDelegate>& loggerDelegate);
    std::string className() const override { return "DOZIvedidiURLSession"; }

    // The session identifier, or nullopt after handing error 2 to the
    // handler (later, on the main queue).
    std::optional<std::string> sessionIDFromAsyncPOSTRequest(const NSURLRequest& request,
                                                             CompletionHandler completionHandler);
    std::optional<std::string> sessionIDFromAsyncGETRequest(const NSURLRequest& request,
                                                            CompletionHandler completionHandler);

    static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                      SystemCompletionHandler completionHandler);
    static std::shared_ptr<DOZIvedidiURLSession> fetcherWithSessionIdentifier(
        const std::string& sessionIdentifier);
    // A null fetcher removes the entry.
    static void setSessionInFetcherMap(const std::shared_ptr<DOZIvedidiURLSession>& fetcher,
                                       const std::string& forSessionID);
    static std::shared_ptr<DOZIvedidiURLSession> sessionFromFetcherMapForSessionID(
        const std::string& sessionID);

    void addSystemCompletionHandler(SystemCompletionHandler handler, const std::string& forSession);
    void callSystemCompletionHandler(const std::string& sessionID);

    // URL session delegate calls.
    using NSURLSessionDelegate::URLSession;
    void URLSession(const Session& session, const std::shared_ptr<NSURLSessionDataTask>& dataTask,
                    const Data& didReceiveData) override;
    void URLSession(const Session& session,
                    const std::shared_ptr<NSURLSessionDownloadTask>& downloadTask,
                    const NSURL& didFinishDownloadingToURL) override;
    void URLSession(const Session& session, const Task& task,
                    const std::optional<NSError>& didCompleteWithError) override;
    void URLSession(const Session& session, const Task& task,
                    const NSURLAuthenticationChallenge& didReceiveChallenge,
                    ChallengeCompletion completionHandler) override;
    void URLSession(const Session& session, const Task& task,
                    const std::shared_ptr<NSHTTPURLResponse>& willPerformHTTPRedirection,
                    const NSURLRequest& newRequest, RedirectCompletion completionHandler) override;

    const std::string& sessionID() const { return sessionID_; }
    void setSessionID(std::string sessionID) { sessionID_ = std::move(sessionID); }
    bool isBackgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
    void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
    std::shared_ptr<DOZIvedidiLoggerDelegate> loggerDelegate() const { return logger_.lock(); }
    void setLoggerDelegate(const std::shared_ptr<DOZIvedidiLoggerDelegate>& logger) {
        logger_ = logger;
    }
    // <Application Support>/ZVU/Network/DOZIvedidiTemporaryDirectory
    const NSURL& networkDirectoryURL() const { return networkDirectoryURL_; }
    std::shared_ptr<NSURLSession> currentURLSession() const { return session_.lock(); }

    NSURL temporaryFilePathWithSessionID(const std::string& sessionID) const;
    // Removes the directory's entries created more than `expiringTime`
    // seconds away from now (either way).
    void maybeRemoveTempFilesAtURL(const NSURL& directoryURL, double expiringTime);

    DOZIvedidiURLSession();

  private:
    void removeTempItemAtURL(const NSURL& url);
    bool ensureTemporaryDirectoryExists();
    void excludeFromBackupForURL(const NSURL& url);
    static void populateSessionConfig(NSURLSessionConfiguration& config,
                                      const NSURLRequest& request);
    void callCompletionHandler(CompletionHandler handler,
                               std::shared_ptr<NSHTTPURLResponse> response,
                               std::optional<Data> data, std::optional<NSError> error);
    std::optional<std::string> finishStart(const std::shared_ptr<NSURLSession>& session,
                                           const std::shared_ptr<NSURLSessionTask>& task,
                                           const NSURLRequest& request,
                                           CompletionHandler completionHandler);
    void log(ZVULoggerLevel level, long code, const std::string& message,
             std::vector<PRMValue> contexts = {});
    std::shared_ptr<DOZIvedidiURLSession> self();

    std::mutex monitor_;
    CompletionHandler completionHandler_;
    std::string sessionID_;
    std::shared_ptr<NSURLSessionConfiguration> sessionConfig_;
    std::weak_ptr<NSURLSession> session_;
    NSURL networkDirectoryURL_;
    std::optional<Data> downloadedData_;
    std::optional<NSURL> uploadingFileURL_;
    std::optional<NSURLRequest> request_;
    bool backgroundNetworkEnabled_ = false;
    std::weak_ptr<DOZIvedidiLoggerDelegate> logger_;
};
