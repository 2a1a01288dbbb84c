#include "services/util/DOZIvedidiURLSession.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <map>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "services/util/ZVUMutableDictionary.h"

namespace fs = std::filesystem;

namespace {

std::mutex& fetcherMapLock() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::weak_ptr<DOZIvedidiURLSession>>& fetcherMap() {
    static auto* map = new std::map<std::string, std::weak_ptr<DOZIvedidiURLSession>>();
    return *map;
}
ZVUMutableDictionary& systemCompletionHandlers() {
    static auto* handlers = new ZVUMutableDictionary();
    return *handlers;
}
// Trust evaluations never run in parallel.
std::mutex& trustEvaluationMonitor() {
    static std::mutex m;
    return m;
}

class SystemHandlerBox : public NSObject {
  public:
    explicit SystemHandlerBox(std::function<void()> block) : block(std::move(block)) {}
    std::string className() const override { return "NSBlock"; }
    std::function<void()> block;
};

NSError networkError(ZVUNetworkErrorCode code, const std::string& context) {
    return NSError(ZVUNetworkErrorDomain, static_cast<long long>(code),
                   {{ZVUNetworkErrorContext, Value(context)}});
}

Value urlContext(const std::optional<NSURL>& url) {
    return url ? Value(url->absoluteString()) : Value();
}

}  // namespace

DOZIvedidiURLSession::DOZIvedidiURLSession()
    : sessionID_(std::string(ZVUNetworkBackgroundSessionPrefix) + "-" +
                 NSProcessInfo::processInfo()->globallyUniqueString().substr(0, 36)),
      networkDirectoryURL_(NSURL::fileURLWithPath((fs::path(sim::applicationSupportPath()) / "ZVU" /
                                                   "Network" / "DOZIvedidiTemporaryDirectory")
                                                      .string())) {}

std::shared_ptr<DOZIvedidiURLSession> DOZIvedidiURLSession::initWithNetworkLoggerDelegate(
    const std::shared_ptr<DOZIvedidiLoggerDelegate>& loggerDelegate) {
    auto fetcher = std::make_shared<DOZIvedidiURLSession>();
    fetcher->logger_ = loggerDelegate;
    return fetcher;
}

std::shared_ptr<DOZIvedidiURLSession> DOZIvedidiURLSession::self() {
    return std::static_pointer_cast<DOZIvedidiURLSession>(shared_from_this());
}

void DOZIvedidiURLSession::log(ZVULoggerLevel level, long code, const std::string& message,
                               std::vector<PRMValue> contexts) {
    auto logger = logger_.lock();
    if (!logger) return;
    if (contexts.empty()) {
        logger->DOZIvedidi_logWithLevel(level, code, message);
    } else if (contexts.size() == 1) {
        logger->DOZIvedidi_logWithLevel(level, code, message, contexts[0]);
    } else {
        logger->DOZIvedidi_logWithLevel(level, code, message, contexts);
    }
}

// ---------------------------------------------------------------------------
// Starting.

std::optional<std::string> DOZIvedidiURLSession::sessionIDFromAsyncPOSTRequest(
    const NSURLRequest& request, CompletionHandler completionHandler) {
    uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, 3600);

    std::shared_ptr<NSURLSession> session;
    std::shared_ptr<NSURLSessionTask> task;
    bool wroteFile = false;
    if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
        int error = 0;
        wroteFile = sim::FileSystem::writeFileAtomically(uploadingFileURL_->path(),
                                                         request.HTTPBody.value_or(Data{}), &error);
        if (!wroteFile) {
            log(ZVULoggerLevel::Error, 901000, "Failed to write request data to file",
                {NSError("NSPOSIXErrorDomain", error)});
        } else {
            excludeFromBackupForURL(*uploadingFileURL_);
            sessionConfig_ =
                NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(sessionID_);
            populateSessionConfig(*sessionConfig_, request);
            session = NSURLSession::sessionWithConfiguration(sessionConfig_, self(),
                                                             DispatchQueue::main());
            if (session) task = session->uploadTaskWithRequest(request, *uploadingFileURL_);
        }
    }
    if (!wroteFile) {
        sessionConfig_ = NSURLSessionConfiguration::defaultSessionConfiguration();
        populateSessionConfig(*sessionConfig_, request);
        session =
            NSURLSession::sessionWithConfiguration(sessionConfig_, self(), DispatchQueue::main());
        if (session) {
            task = session->uploadTaskWithRequest(request, request.HTTPBody.value_or(Data{}));
        }
    }
    return finishStart(session, task, request, std::move(completionHandler));
}

std::optional<std::string> DOZIvedidiURLSession::sessionIDFromAsyncGETRequest(
    const NSURLRequest& request, CompletionHandler completionHandler) {
    sessionConfig_ =
        backgroundNetworkEnabled_
            ? NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(sessionID_)
            : NSURLSessionConfiguration::defaultSessionConfiguration();
    populateSessionConfig(*sessionConfig_, request);
    sessionConfig_->setURLCache(nullptr);
    auto session =
        NSURLSession::sessionWithConfiguration(sessionConfig_, self(), DispatchQueue::main());
    std::shared_ptr<NSURLSessionTask> task;
    if (session) task = session->downloadTaskWithRequest(request);
    return finishStart(session, task, request, std::move(completionHandler));
}

std::optional<std::string> DOZIvedidiURLSession::finishStart(
    const std::shared_ptr<NSURLSession>& session, const std::shared_ptr<NSURLSessionTask>& task,
    const NSURLRequest& request, CompletionHandler completionHandler) {
    if (!session || !task) {
        if (session) session->finishTasksAndInvalidate();
        callCompletionHandler(std::move(completionHandler), nullptr, std::nullopt,
                              networkError(ZVUNetworkErrorCode::SessionTaskCannotBeCreated,
                                           "Cannot create network session"));
        return std::nullopt;
    }
    session_ = session;
    setSessionInFetcherMap(self(), sessionID_);
    {
        std::lock_guard lock(monitor_);
        request_ = request;
        completionHandler_ = std::move(completionHandler);
    }
    task->resume();
    return sessionID_;
}

void DOZIvedidiURLSession::populateSessionConfig(NSURLSessionConfiguration& config,
                                                 const NSURLRequest& request) {
    config.setHTTPAdditionalHeaders(request.allHTTPHeaderFields);
    config.setTimeoutIntervalForRequest(request.timeoutInterval);
    config.setTimeoutIntervalForResource(request.timeoutInterval);
    config.setRequestCachePolicy(request.cachePolicy);
}

// ---------------------------------------------------------------------------
// Delegate calls.

void DOZIvedidiURLSession::URLSession(const Session&, const std::shared_ptr<NSURLSessionDataTask>&,
                                      const Data& didReceiveData) {
    std::lock_guard lock(monitor_);
    if (!downloadedData_) downloadedData_.emplace();
    downloadedData_->insert(downloadedData_->end(), didReceiveData.begin(), didReceiveData.end());
}

void DOZIvedidiURLSession::URLSession(const Session&,
                                      const std::shared_ptr<NSURLSessionDownloadTask>&,
                                      const NSURL& didFinishDownloadingToURL) {
    std::string path = didFinishDownloadingToURL.path();
    if (path.empty()) {
        log(ZVULoggerLevel::Error, 901001, "Unable to read downloaded data from empty temp path");
        std::lock_guard lock(monitor_);
        downloadedData_.reset();
        return;
    }
    int error = 0;
    auto contents = sim::FileSystem::readFile(path, &error);
    if (!contents) {
        log(ZVULoggerLevel::Error, 901002, "Cannot read the content of downloaded data",
            {NSError("NSPOSIXErrorDomain", error)});
    }
    std::lock_guard lock(monitor_);
    downloadedData_ = std::move(contents);
}

void DOZIvedidiURLSession::URLSession(const Session& session, const Task& task,
                                      const std::optional<NSError>& didCompleteWithError) {
    CompletionHandler handler;
    std::optional<Data> data;
    {
        std::lock_guard lock(monitor_);
        handler = std::move(completionHandler_);
        completionHandler_ = nullptr;
        data = downloadedData_;
    }
    auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response());
    std::optional<NSError> error = didCompleteWithError;
    if (error) {
        // A response followed by a transport error means the body is cut
        // short: the task fails and no partial body is handed on.
        data.reset();
    } else if (!response) {
        error = networkError(ZVUNetworkErrorCode::EmptyResponse,
                             "Network Error: Empty network response");
    }
    callCompletionHandler(std::move(handler), response, std::move(data), error);

    if (uploadingFileURL_) removeTempItemAtURL(*uploadingFileURL_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, 3600);

    session->finishTasksAndInvalidate();
    if (auto identifier = session->configuration()->identifier()) {
        setSessionInFetcherMap(nullptr, *identifier);
    }
}

void DOZIvedidiURLSession::URLSession(const Session&, const Task&,
                                      const NSURLAuthenticationChallenge& challenge,
                                      ChallengeCompletion completionHandler) {
    const auto& space = challenge.protectionSpace;
    std::optional<NSURL> url;
    {
        std::lock_guard lock(monitor_);
        if (request_) url = request_->URL;
    }
    if (space.authenticationMethod != NSURLAuthenticationMethodServerTrust) {
        completionHandler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
        return;
    }
    if (!space.serverTrust) {
        log(ZVULoggerLevel::Debug, 901004, "Received empty server trust for host. Host",
            {urlContext(url)});
        completionHandler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
        return;
    }
    auto credential = NSURLCredential::credentialForTrust(space.serverTrust);
    if (!credential) {
        log(ZVULoggerLevel::Warning, 901005, "Unable to verify server identity. Host",
            {urlContext(url)});
        completionHandler(NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge,
                          nullptr);
        return;
    }
    log(ZVULoggerLevel::Debug, 901006, "Received SSL challenge for host. Host", {urlContext(url)});
    SecTrustRef trust = space.serverTrust;
    auto me = self();
    DispatchQueue::global(DispatchQoS::Default)
        ->async([me, trust, credential, url, completionHandler] {
            bool accepted = false;
            {
                std::lock_guard lock(trustEvaluationMonitor());
                SecTrustResultType result = kSecTrustResultInvalid;
                OSStatus status = SecTrustEvaluate(trust, &result);
                if (status != errSecSuccess) {
                    me->log(ZVULoggerLevel::Error, 901008,
                            "Cannot evaluate server trust. Error, host",
                            {PRMValue(static_cast<long long>(status)), urlContext(url)});
                } else {
                    accepted =
                        result == kSecTrustResultProceed || result == kSecTrustResultUnspecified;
                }
            }
            if (accepted) {
                completionHandler(NSURLSessionAuthChallengeDisposition::UseCredential, credential);
            } else {
                me->log(ZVULoggerLevel::Debug, 901007,
                        "Cancelling authentication challenge for host. Host", {urlContext(url)});
                completionHandler(
                    NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
            }
        });
}

void DOZIvedidiURLSession::URLSession(const Session&, const Task&,
                                      const std::shared_ptr<NSHTTPURLResponse>& redirect,
                                      const NSURLRequest& newRequest,
                                      RedirectCompletion completionHandler) {
    long status = redirect ? redirect->statusCode() : 0;
    if (status == 302 || status == 301 || status == 307 || status == 300) {
        completionHandler(std::nullopt);
    } else {
        completionHandler(newRequest);
    }
}

void DOZIvedidiURLSession::callCompletionHandler(CompletionHandler handler,
                                                 std::shared_ptr<NSHTTPURLResponse> response,
                                                 std::optional<Data> data,
                                                 std::optional<NSError> error) {
    if (error) {
        log(ZVULoggerLevel::Error, 901017, "Encounter network error. Code, error",
            {PRMValue(error->code), PRMValue(*error)});
    }
    if (!handler) return;
    std::string sessionID = sessionID_;
    DispatchQueue::main()->async([handler = std::move(handler), response = std::move(response),
                                  data = std::move(data), sessionID,
                                  error] { handler(response, data, sessionID, error); });
}

// ---------------------------------------------------------------------------
// Temporary files.

NSURL DOZIvedidiURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
    return networkDirectoryURL_.URLByAppendingPathComponent("ZVUUpload_temp_" + sessionID);
}

void DOZIvedidiURLSession::maybeRemoveTempFilesAtURL(const NSURL& directoryURL,
                                                     double expiringTime) {
    if (directoryURL.absoluteString().empty()) return;
    std::error_code ec;
    fs::directory_iterator entries(directoryURL.path(), ec);
    if (ec) {
        if (ec != std::errc::no_such_file_or_directory) {
            log(ZVULoggerLevel::Debug, 901012,
                "Cannot get files from the temporary network folder. Error",
                {NSError("NSPOSIXErrorDomain", ec.value())});
        }
        return;
    }
    double now = sim::wallClockSeconds();
    std::vector<fs::path> expired;
    for (const auto& entry : entries) {
        // Linux file systems do not all record a birth time; temporary files
        // are written once, so their modification time is their creation.
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) != 0) continue;
        double created = static_cast<double>(info.st_mtim.tv_sec) +
                         static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
        if (std::abs(now - created) > expiringTime) expired.push_back(entry.path());
    }
    for (const auto& path : expired) removeTempItemAtURL(NSURL::fileURLWithPath(path.string()));
}

void DOZIvedidiURLSession::removeTempItemAtURL(const NSURL& url) {
    if (url.absoluteString().empty()) return;
    int error = 0;
    if (!sim::FileSystem::removeFile(url.path(), &error) && error != ENOENT) {
        log(ZVULoggerLevel::Error, 901013, "Failed to remove temporary uploading data file. Error",
            {PRMValue(NSError("NSPOSIXErrorDomain", error).localizedDescription())});
    }
}

bool DOZIvedidiURLSession::ensureTemporaryDirectoryExists() {
    std::error_code ec;
    std::string path = networkDirectoryURL_.path();
    if (fs::is_directory(path, ec)) return true;
    if (ec && ec != std::errc::no_such_file_or_directory) {
        log(ZVULoggerLevel::Warning, 901014,
            "Error while trying to access Network temp folder. Error",
            {NSError("NSPOSIXErrorDomain", ec.value())});
    }
    ec.clear();
    fs::create_directories(path, ec);
    if (ec) {
        log(ZVULoggerLevel::Error, 901015, "Cannot create temporary directory. Error",
            {NSError("NSPOSIXErrorDomain", ec.value())});
        return false;
    }
    excludeFromBackupForURL(networkDirectoryURL_);
    return true;
}

void DOZIvedidiURLSession::excludeFromBackupForURL(const NSURL& url) {
    // Nothing here backs files up; what can fail is that the item is gone.
    std::error_code ec;
    if (!url.path().empty() && !fs::exists(url.path(), ec)) {
        log(ZVULoggerLevel::Error, 901016, "Cannot exclude temporary folder from iTunes backup");
    }
}

// ---------------------------------------------------------------------------
// The process-wide maps.

void DOZIvedidiURLSession::setSessionInFetcherMap(
    const std::shared_ptr<DOZIvedidiURLSession>& fetcher, const std::string& forSessionID) {
    std::shared_ptr<DOZIvedidiURLSession> old;
    {
        std::lock_guard lock(fetcherMapLock());
        auto& map = fetcherMap();
        auto it = map.find(forSessionID);
        if (it != map.end()) old = it->second.lock();
        if (fetcher) {
            map[forSessionID] = fetcher;
        } else if (it != map.end()) {
            map.erase(it);
        }
    }
    if (old && old != fetcher) {
        if (fetcher) {
            old->log(ZVULoggerLevel::Info, 901019,
                     ZVUFormat("Discarding session: %@", {old->description()}));
        }
        if (auto session = old->currentURLSession()) session->finishTasksAndInvalidate();
    }
}

std::shared_ptr<DOZIvedidiURLSession> DOZIvedidiURLSession::sessionFromFetcherMapForSessionID(
    const std::string& sessionID) {
    std::lock_guard lock(fetcherMapLock());
    auto& map = fetcherMap();
    auto it = map.find(sessionID);
    if (it == map.end()) return nullptr;
    auto fetcher = it->second.lock();
    if (!fetcher) map.erase(it);
    return fetcher;
}

std::shared_ptr<DOZIvedidiURLSession> DOZIvedidiURLSession::fetcherWithSessionIdentifier(
    const std::string& sessionIdentifier) {
    if (auto fetcher = sessionFromFetcherMapForSessionID(sessionIdentifier)) return fetcher;
    if (sessionIdentifier.rfind(ZVUNetworkBackgroundSessionPrefix, 0) != 0) return nullptr;
    auto fetcher = initWithNetworkLoggerDelegate(nullptr);
    fetcher->setSessionID(sessionIdentifier);
    setSessionInFetcherMap(fetcher, sessionIdentifier);
    return fetcher;
}

void DOZIvedidiURLSession::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, SystemCompletionHandler completionHandler) {
    if (sessionID.rfind(ZVUNetworkBackgroundSessionPrefix, 0) != 0) return;
    auto fetcher = fetcherWithSessionIdentifier(sessionID);
    fetcher->addSystemCompletionHandler(std::move(completionHandler), sessionID);
}

void DOZIvedidiURLSession::addSystemCompletionHandler(SystemCompletionHandler handler,
                                                      const std::string& forSession) {
    if (!handler) {
        log(ZVULoggerLevel::Error, 901009, "Cannot store nil system completion handler in network");
        return;
    }
    if (forSession.empty()) {
        log(ZVULoggerLevel::Error, 901010,
            "Cannot store system completion handler with empty network session identifier");
        return;
    }
    auto& handlers = systemCompletionHandlers();
    if (!handlers.objectForKey(forSession).isNil()) {
        log(ZVULoggerLevel::Warning, 901011, "Got multiple system handlers for a single session ID",
            {PRMValue(forSession)});
    }
    handlers.setObject(PRMValue(std::make_shared<SystemHandlerBox>(std::move(handler))),
                       forSession);
}

void DOZIvedidiURLSession::callSystemCompletionHandler(const std::string& sessionID) {
    auto& handlers = systemCompletionHandlers();
    auto box = handlers.objectForKey(sessionID).as<SystemHandlerBox>();
    handlers.removeObjectForKey(sessionID);
    if (box && box->block) DispatchQueue::main()->async([box] { box->block(); });
}
