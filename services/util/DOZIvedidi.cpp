#include "services/util/DOZIvedidi.h"

#include "platform/log/Log.h"
#include "services/util/ZVUGzip.h"
#include "services/util/ZVULogger.h"

namespace {

const char* const kService = "[DOZIvedidi]";

const char* levelName(ZVULoggerLevel level) {
    switch (level) {
        case ZVULoggerLevel::Error:
            return "ERROR";
        case ZVULoggerLevel::Warning:
            return "WARNING";
        case ZVULoggerLevel::Notice:
            return "NOTICE";
        case ZVULoggerLevel::Info:
            return "INFO";
        case ZVULoggerLevel::Debug:
            return "DEBUG";
    }
    return "(null)";
}

}  // namespace

DOZIvedidi::DOZIvedidi() = default;

std::shared_ptr<DOZIvedidi> DOZIvedidi::init() {
    return initWithReachabilityHost(kDefaultReachabilityHost);
}

std::shared_ptr<DOZIvedidi> DOZIvedidi::initWithReachabilityHost(const std::string& host) {
    auto client = std::make_shared<DOZIvedidi>();
    client->reachability_ = ZVUReachabilityChecker::initWithReachabilityDelegate(client, host);
    if (!client->reachability_ || !client->reachability_->start()) return nullptr;
    return client;
}

DOZIvedidi::~DOZIvedidi() {
    if (reachability_) {
        reachability_->setReachabilityDelegate(nullptr);
        reachability_->stop();
    }
}

void DOZIvedidi::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, DOZIvedidiURLSession::SystemCompletionHandler completion) {
    DOZIvedidiURLSession::handleEventsForBackgroundURLSessionID(sessionID, std::move(completion));
}

NSURLRequest DOZIvedidi::makeRequest(const NSURL& url) const {
    double timeout = timeoutInterval_.load();
    return NSURLRequest(url, NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                        timeout == 0 ? 60.0 : timeout);
}

std::optional<std::string> DOZIvedidi::postURL(const NSURL& url, const Data& payload,
                                               std::shared_ptr<DispatchQueue> queue,
                                               bool usingBackgroundSession,
                                               CompletionHandler completionHandler) {
    if (url.absoluteString().empty()) {
        handleErrorWithCode(ZVUNetworkErrorCode::URLIsEmpty, queue, std::move(completionHandler));
        return std::nullopt;
    }
    NSURLRequest request = makeRequest(url);
    NSError compressionError;
    auto compressed = zvu_dataByGzippingData(payload, &compressionError);
    if (!compressionError.domain.empty() || (!compressed && !payload.empty())) {
        handleErrorWithCode(ZVUNetworkErrorCode::PayloadCompression, queue,
                            std::move(completionHandler));
        return std::nullopt;
    }
    Data body = compressed.value_or(Data{});
    request.setValue(std::to_string(body.size()), "Content-Length");
    request.setValue("application/x-www-form-urlencoded", "Content-Type");
    request.setValue("gzip", "Content-Encoding");
    request.HTTPBody = std::move(body);
    request.HTTPMethod = "POST";

    auto fetcher = DOZIvedidiURLSession::initWithNetworkLoggerDelegate(
        std::static_pointer_cast<DOZIvedidi>(shared_from_this()));
    fetcher->setBackgroundNetworkEnabled(usingBackgroundSession);
    return start(fetcher, true, request, std::move(queue), std::move(completionHandler));
}

std::optional<std::string> DOZIvedidi::getURL(const NSURL& url, const NSHTTPHeaders& headers,
                                              std::shared_ptr<DispatchQueue> queue,
                                              bool usingBackgroundSession,
                                              CompletionHandler completionHandler) {
    if (url.absoluteString().empty()) {
        handleErrorWithCode(ZVUNetworkErrorCode::URLIsEmpty, queue, std::move(completionHandler));
        return std::nullopt;
    }
    NSURLRequest request = makeRequest(url);
    request.HTTPMethod = "GET";
    request.allHTTPHeaderFields = headers;
    auto fetcher = DOZIvedidiURLSession::initWithNetworkLoggerDelegate(
        std::static_pointer_cast<DOZIvedidi>(shared_from_this()));
    fetcher->setBackgroundNetworkEnabled(usingBackgroundSession);
    return start(fetcher, false, request, std::move(queue), std::move(completionHandler));
}

std::optional<std::string> DOZIvedidi::start(const std::shared_ptr<DOZIvedidiURLSession>& fetcher,
                                             bool post, const NSURLRequest& request,
                                             std::shared_ptr<DispatchQueue> queue,
                                             CompletionHandler completionHandler) {
    if (!queue) queue = DispatchQueue::main();
    std::weak_ptr<DOZIvedidi> weakSelf = std::static_pointer_cast<DOZIvedidi>(shared_from_this());
    auto handler = [weakSelf, queue, completionHandler](
                       std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> data,
                       const std::string& sessionID, std::optional<NSError> error) {
        auto self = weakSelf.lock();
        if (!self) return;
        queue->async([self, sessionID, completionHandler, response, data, error] {
            if (!sessionID.empty()) self->requests_->removeObjectForKey(sessionID);
            if (completionHandler) completionHandler(response, data, error);
        });
    };
    // Entered before the start, so a completion that comes quickly still
    // finds (and removes) it.
    requests_->setObject(PRMValue(fetcher), fetcher->sessionID());
    auto sessionID = post ? fetcher->sessionIDFromAsyncPOSTRequest(request, handler)
                          : fetcher->sessionIDFromAsyncGETRequest(request, handler);
    if (!sessionID) {
        // The fetcher has already handed its own error to the handler, so
        // the caller hears of the failure exactly once.
        NSError error(ZVUNetworkErrorDomain,
                      static_cast<long long>(ZVUNetworkErrorCode::InvalidRequest),
                      {{ZVUNetworkErrorContext, Value("Failed to create network request")}});
        DOZIvedidi_logWithLevel(ZVULoggerLevel::Warning, 900002,
                                "Failed to create network request. Code, error",
                                std::vector<PRMValue>{PRMValue(error.code), PRMValue(error)});
        return std::nullopt;
    }
    DOZIvedidi_logWithLevel(ZVULoggerLevel::Debug, post ? 900000 : 900001,
                            post ? "Uploading data. Host" : "Downloading data. Host",
                            PRMValue(request.URL->absoluteString()));
    return sessionID;
}

void DOZIvedidi::handleErrorWithCode(ZVUNetworkErrorCode code, std::shared_ptr<DispatchQueue> queue,
                                     CompletionHandler handler) {
    NSError error(ZVUNetworkErrorDomain, static_cast<long long>(code),
                  {{ZVUNetworkErrorContext, Value("Failed to create network request")}});
    DOZIvedidi_logWithLevel(ZVULoggerLevel::Warning, 900002,
                            "Failed to create network request. Code, error",
                            std::vector<PRMValue>{PRMValue(error.code), PRMValue(error)});
    if (!handler) return;
    if (!queue) queue = DispatchQueue::main();
    queue->async([handler, error] { handler(nullptr, std::nullopt, error); });
}

void DOZIvedidi::reachability(ZVUReachabilityChecker&, ZVUReachabilityStatus status) {
    networkConnected_ = status == ZVUReachabilityStatus::ReachableViaWifi ||
                        status == ZVUReachabilityStatus::ReachableViaCellular;
    if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

void DOZIvedidi::setLoggerDelegate(const std::shared_ptr<NSObject>& loggerDelegate) {
    auto conforming = std::dynamic_pointer_cast<DOZIvedidiLoggerDelegate>(loggerDelegate);
    if (!conforming) {
        ZVULogError(kService, false, ZVUMessageCode("I-NET%06ld", 900002),
                    "Cannot set the network logger delegate: delegate does not conform to the "
                    "network logger protocol.");
        return;
    }
    std::lock_guard lock(delegatesLock_);
    logger_ = conforming;
}

void DOZIvedidi::DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                         const std::string& message,
                                         const std::vector<PRMValue>& contexts) {
    if (auto logger = loggerDelegate()) {
        logger->DOZIvedidi_logWithLevel(level, messageCode, message, contexts);
        return;
    }
    writeLog(level, messageCode, message, contexts);
}

void DOZIvedidi::DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                         const std::string& message, const PRMValue& context) {
    if (auto logger = loggerDelegate()) {
        logger->DOZIvedidi_logWithLevel(level, messageCode, message, context);
        return;
    }
    std::vector<PRMValue> contexts;
    if (!context.isNil()) contexts.push_back(context);
    writeLog(level, messageCode, message, contexts);
}

void DOZIvedidi::DOZIvedidi_logWithLevel(ZVULoggerLevel level, long messageCode,
                                         const std::string& message) {
    if (auto logger = loggerDelegate()) {
        logger->DOZIvedidi_logWithLevel(level, messageCode, message);
        return;
    }
    writeLog(level, messageCode, message, {});
}

void DOZIvedidi::writeLog(ZVULoggerLevel level, long messageCode, const std::string& message,
                          const std::vector<PRMValue>& contexts) {
    if (!debugMode_.load() && level != ZVULoggerLevel::Error && level != ZVULoggerLevel::Warning &&
        level != ZVULoggerLevel::Info) {
        return;
    }
    std::string line = std::string("<Zevera/Utilities/Network/") + levelName(level) + "> " +
                       (message.empty() ? "(Message was empty)" : message);
    if (!contexts.empty()) {
        line += ": ";
        for (std::size_t i = 0; i < contexts.size(); ++i) {
            if (i) line += ", ";
            line += contexts[i].isNil() || contexts[i].isNullPlaceholder()
                        ? "(nil)"
                        : contexts[i].description();
        }
    }
    NSLog(line);
    ZVULogBasic(level, kService, false, ZVUMessageCode("I-NET%06ld", messageCode), line, nullptr);
}
