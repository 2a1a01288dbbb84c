#include "platform/net/NSURLSession.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "platform/bundle/Home.h"
#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"

namespace fs = std::filesystem;

namespace {

std::mutex& overrideMutex() {
    static std::mutex m;
    return m;
}
std::string& overrideBase() {
    static std::string s;
    return s;
}
// The last service base refused, so that each is logged once; under
// overrideMutex().
std::string& refusedBase() {
    static std::string s;
    return s;
}
std::atomic<bool> networkConnected{true};
std::atomic<unsigned long> nextTaskIdentifier{1};

// 127.0.0.0/8, localhost and ::1 (a URL's host, without brackets).
bool isLoopbackHost(const std::string& host) {
    if (::strcasecmp(host.c_str(), "localhost") == 0 || host == "::1") return true;
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 &&
           (ntohl(address.s_addr) >> 24) == 127;
}

// Plain http to the local backend only: a base elsewhere would carry every
// https request, unencrypted, to another machine.
bool isLoopbackBase(const std::string& base) {
    auto url = NSURL::URLWithString(base);
    if (!url) return false;
    const std::string scheme = url->scheme();
    return (scheme == "http" || scheme == "https") && isLoopbackHost(url->host());
}

bool isRedirectStatus(long status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
           status == 308;
}

long long errorCodeForCurl(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return NSURLErrorTimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return NSURLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return NSURLErrorCannotConnectToHost;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
            return NSURLErrorNetworkConnectionLost;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return NSURLErrorUnsupportedURL;
        case CURLE_URL_MALFORMAT:
            return NSURLErrorBadURL;
        case CURLE_TOO_MANY_REDIRECTS:
            return NSURLErrorHTTPTooManyRedirects;
        case CURLE_BAD_CONTENT_ENCODING:
            return NSURLErrorCannotDecodeContentData;
        case CURLE_WEIRD_SERVER_REPLY:
            return NSURLErrorBadServerResponse;
        case CURLE_PEER_FAILED_VERIFICATION:
            return NSURLErrorServerCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
            return NSURLErrorSecureConnectionFailed;
        case CURLE_READ_ERROR:
            return NSURLErrorFileDoesNotExist;
        case CURLE_WRITE_ERROR:
            return NSURLErrorCannotWriteToFile;
        default:
            return NSURLErrorUnknown;
    }
}

std::string randomToken() {
    static std::mutex m;
    static std::mt19937_64 rng{std::random_device{}()};
    std::lock_guard lock(m);
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(rng()));
    return buffer;
}

std::optional<double> maxAgeOf(const NSHTTPURLResponse& response) {
    auto control = response.valueForHTTPHeaderField("Cache-Control");
    if (!control) return std::nullopt;
    std::string lower = *control;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower.find("no-store") != std::string::npos) return std::nullopt;
    auto pos = lower.find("max-age=");
    if (pos == std::string::npos) return std::nullopt;
    double age = std::atof(lower.c_str() + pos + 8);
    if (age <= 0) return std::nullopt;
    return age;
}

}  // namespace

// ---------------------------------------------------------------------------
// The loader thread: one curl multi handle for every transfer.

struct URLTransfer {
    std::shared_ptr<NSURLSessionTask> task;
    CURL* easy = curl_easy_init();
    curl_slist* headerList = nullptr;
    std::shared_ptr<const Data> body;
    std::size_t bodyOffset = 0;
    FILE* bodyFile = nullptr;
    long status = 0;
    NSHTTPHeaders headers;
    bool headersDone = false;
    bool writeFailed = false;
    sim::Time lastActivity{};
    sim::Duration idleTimeout{};
    sim::Time resourceDeadline{};

    ~URLTransfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
        if (bodyFile) std::fclose(bodyFile);
    }

    static size_t onHeader(char* buffer, size_t size, size_t count, void* context) {
        auto* t = static_cast<URLTransfer*>(context);
        std::size_t length = size * count;
        std::string line(buffer, length);
        t->lastActivity = sim::Clock::now();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.rfind("HTTP/", 0) == 0) {
            t->headers.clear();
            auto space = line.find(' ');
            t->status = space == std::string::npos ? 0 : std::atol(line.c_str() + space + 1);
            return length;
        }
        if (line.empty()) {
            if (t->status >= 200 || t->status < 100) {
                t->headersDone = true;
                t->task->transferHeaders(t->status, t->headers);
            }
            return length;
        }
        auto colon = line.find(':');
        if (colon == std::string::npos) return length;
        std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        auto it = t->headers.find(name);
        if (it == t->headers.end()) {
            t->headers.emplace(name, value);
        } else {
            it->second += ", " + value;
        }
        return length;
    }

    static size_t onWrite(char* buffer, size_t size, size_t count, void* context) {
        auto* t = static_cast<URLTransfer*>(context);
        std::size_t length = size * count;
        t->lastActivity = sim::Clock::now();
        if (!t->task->transferData(buffer, length)) {
            t->writeFailed = true;
            return 0;
        }
        return length;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* context) {
        auto* t = static_cast<URLTransfer*>(context);
        std::size_t room = size * count;
        t->lastActivity = sim::Clock::now();
        std::size_t n = 0;
        if (t->bodyFile) {
            n = std::fread(buffer, 1, room, t->bodyFile);
            if (n == 0 && std::ferror(t->bodyFile)) return CURL_READFUNC_ABORT;
        } else if (t->body) {
            n = std::min(room, t->body->size() - t->bodyOffset);
            std::copy_n(t->body->data() + t->bodyOffset, n, buffer);
            t->bodyOffset += n;
        }
        t->task->bytesSent_ += static_cast<std::int64_t>(n);
        return n;
    }

    static int onSeek(void* context, curl_off_t offset, int origin) {
        auto* t = static_cast<URLTransfer*>(context);
        if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
        if (t->bodyFile) {
            return std::fseek(t->bodyFile, static_cast<long>(offset), SEEK_SET) == 0
                       ? CURL_SEEKFUNC_OK
                       : CURL_SEEKFUNC_FAIL;
        }
        if (!t->body || static_cast<std::size_t>(offset) > t->body->size()) {
            return CURL_SEEKFUNC_FAIL;
        }
        t->bodyOffset = static_cast<std::size_t>(offset);
        return CURL_SEEKFUNC_OK;
    }
};

struct URLLoader {
    static URLLoader& shared() {
        // Leaked on purpose: process exit never waits for the loader thread.
        static URLLoader* loader = new URLLoader();
        return *loader;
    }

    void add(std::shared_ptr<URLTransfer> transfer) {
        ++inFlight_;
        {
            std::lock_guard lock(mutex_);
            pendingAdd_.push_back(std::move(transfer));
        }
        wake();
    }

    void remove(const std::shared_ptr<URLTransfer>& transfer) {
        {
            std::lock_guard lock(mutex_);
            pendingRemove_.push_back(transfer);
        }
        wake();
    }

    std::size_t activeCount() const { return inFlight_.load(); }

  private:
    URLLoader() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        std::thread([this] { run(); }).detach();
    }

    void wake() {
        cv_.notify_one();
        curl_multi_wakeup(multi_);
    }

    void detach(URLTransfer* t) {
        curl_multi_remove_handle(multi_, t->easy);
        active_.erase(t->easy);
    }

    void run() {
        for (;;) {
            std::vector<std::shared_ptr<URLTransfer>> adds, removes;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] {
                    return !pendingAdd_.empty() || !pendingRemove_.empty() || !active_.empty();
                });
                adds.swap(pendingAdd_);
                removes.swap(pendingRemove_);
            }
            for (auto& t : removes) {
                if (!active_.count(t->easy)) continue;
                detach(t.get());
                --inFlight_;
            }
            for (auto& t : adds) {
                if (std::find(removes.begin(), removes.end(), t) != removes.end()) {
                    --inFlight_;
                    continue;
                }
                t->lastActivity = sim::Clock::now();
                curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
                curl_multi_add_handle(multi_, t->easy);
                active_[t->easy] = t;
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                auto it = active_.find(message->easy_handle);
                if (it == active_.end()) continue;
                auto t = it->second;
                CURLcode code = message->data.result;
                detach(t.get());
                if (code == CURLE_OK) {
                    t->task->transferDone(std::nullopt);
                } else {
                    t->task->transferDone(t->writeFailed ? NSURLErrorCannotWriteToFile
                                                         : errorCodeForCurl(code));
                }
                --inFlight_;
            }
            auto now = sim::Clock::now();
            std::vector<std::shared_ptr<URLTransfer>> expired;
            for (auto& [easy, t] : active_) {
                if (now - t->lastActivity >= t->idleTimeout || now >= t->resourceDeadline) {
                    expired.push_back(t);
                }
            }
            for (auto& t : expired) {
                detach(t.get());
                t->task->transferDone(NSURLErrorTimedOut);
                --inFlight_;
            }
            if (!active_.empty()) curl_multi_poll(multi_, nullptr, 0, 20, nullptr);
        }
    }

    CURLM* multi_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<URLTransfer>> pendingAdd_;
    std::vector<std::shared_ptr<URLTransfer>> pendingRemove_;
    std::map<CURL*, std::shared_ptr<URLTransfer>> active_;  // loader thread only
    // Added and not yet finished: counted from add() until the completion
    // has been handed to its queue, so that no moment shows nothing going on.
    std::atomic<std::size_t> inFlight_{0};
};

// ---------------------------------------------------------------------------

std::shared_ptr<NSURLCache> NSURLCache::sharedURLCache() {
    static auto cache = std::make_shared<NSURLCache>();
    return cache;
}

std::optional<NSURLCache::Entry> NSURLCache::cachedResponseForRequest(
    const NSURLRequest& request) const {
    if (!request.URL) return std::nullopt;
    std::lock_guard lock(mutex_);
    auto it = entries_.find(request.URL->absoluteString());
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void NSURLCache::storeCachedResponse(Entry entry, const NSURLRequest& request) {
    if (!request.URL) return;
    std::lock_guard lock(mutex_);
    entries_[request.URL->absoluteString()] = std::move(entry);
}

void NSURLCache::removeAllCachedResponses() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t NSURLCache::count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::shared_ptr<NSURLSessionConfiguration>
NSURLSessionConfiguration::defaultSessionConfiguration() {
    auto config = std::make_shared<NSURLSessionConfiguration>();
    config->cache_ = NSURLCache::sharedURLCache();
    return config;
}

std::shared_ptr<NSURLSessionConfiguration>
NSURLSessionConfiguration::ephemeralSessionConfiguration() {
    auto config = std::make_shared<NSURLSessionConfiguration>();
    config->cache_ = std::make_shared<NSURLCache>();
    return config;
}

std::shared_ptr<NSURLSessionConfiguration>
NSURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
    const std::string& identifier) {
    auto config = defaultSessionConfiguration();
    config->identifier_ = identifier;
    return config;
}

// ---------------------------------------------------------------------------
// Delegate defaults.

void NSURLSessionDelegate::URLSession(const Session&, const std::optional<NSError>&) {}
void NSURLSessionDelegate::URLSession(const Session&, const Task&,
                                      const NSURLAuthenticationChallenge&,
                                      ChallengeCompletion completionHandler) {
    completionHandler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
}
void NSURLSessionDelegate::URLSession(const Session&, const Task&,
                                      const std::shared_ptr<NSHTTPURLResponse>&,
                                      const NSURLRequest& newRequest,
                                      RedirectCompletion completionHandler) {
    completionHandler(newRequest);
}
void NSURLSessionDelegate::URLSession(const Session&, const std::shared_ptr<NSURLSessionDataTask>&,
                                      const std::shared_ptr<NSURLResponse>&) {}
void NSURLSessionDelegate::URLSession(const Session&, const std::shared_ptr<NSURLSessionDataTask>&,
                                      const Data&) {}
void NSURLSessionDelegate::URLSession(const Session&,
                                      const std::shared_ptr<NSURLSessionDownloadTask>&,
                                      const NSURL&) {}
void NSURLSessionDelegate::URLSession(const Session&, const Task&, const std::optional<NSError>&) {}

// ---------------------------------------------------------------------------
// Tasks.

struct NSURLSessionTask::Impl {
    std::shared_ptr<NSURLSession> session;  // until the completion has been delivered
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<NSURLSessionConfiguration> config;
    NSURLSession::DataCompletion dataCompletion;
    NSURLSession::DownloadCompletion downloadCompletion;

    mutable std::mutex mutex;
    bool started = false;
    bool completed = false;
    bool cancelling = false;
    NSURLRequest current;
    std::shared_ptr<const Data> bodyData;
    std::optional<std::string> bodyFile;
    int redirects = 0;
    sim::Time startTime{};
    std::shared_ptr<NSURLResponse> response;
    std::optional<NSError> error;

    // Per attempt.
    std::shared_ptr<URLTransfer> transfer;
    std::shared_ptr<NSHTTPURLResponse> attemptResponse;
    bool bufferingRedirect = false;
    bool bodyLimited = false;    // kept in memory, or inflated on the way
    bool limitExceeded = false;  // fails the attempt
    std::size_t bodyLength = 0;  // decoded bytes of this attempt
    Data body;
    std::string downloadPath;
    FILE* downloadFile = nullptr;

    bool hasCompletionHandler() const { return dataCompletion || downloadCompletion; }
};

NSURLSessionTask::NSURLSessionTask(Kind kind, std::shared_ptr<NSURLSession> session,
                                   NSURLRequest request)
    : kind_(kind), identifier_(nextTaskIdentifier++), original_(request), impl_(new Impl) {
    impl_->queue = session->delegateQueue();
    impl_->config = session->config_;
    impl_->session = std::move(session);
    impl_->current = std::move(request);
}

NSURLSessionTask::~NSURLSessionTask() {
    if (impl_->downloadFile) std::fclose(impl_->downloadFile);
    if (!impl_->downloadPath.empty()) {
        std::error_code ec;
        fs::remove(impl_->downloadPath, ec);
    }
}

std::shared_ptr<NSURLSessionTask> NSURLSessionTask::self() {
    return std::static_pointer_cast<NSURLSessionTask>(shared_from_this());
}

NSURLRequest NSURLSessionTask::currentRequest() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->current;
}

std::shared_ptr<NSURLResponse> NSURLSessionTask::response() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->response;
}

std::optional<NSError> NSURLSessionTask::error() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error;
}

NSURLSessionTaskState NSURLSessionTask::state() const {
    std::lock_guard lock(impl_->mutex);
    if (impl_->completed) return NSURLSessionTaskState::Completed;
    if (impl_->cancelling) return NSURLSessionTaskState::Canceling;
    return impl_->started ? NSURLSessionTaskState::Running : NSURLSessionTaskState::Suspended;
}

void NSURLSessionTask::postToDelegateQueue(std::function<void()> block) {
    impl_->queue->async(std::move(block));
}

void NSURLSessionTask::resume() {
    std::shared_ptr<NSURLSession> session;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->started || impl_->completed) return;
        impl_->started = true;
        impl_->startTime = sim::Clock::now();
        session = impl_->session;
    }
    if (!session || !session->registerTask(self())) {
        finish(makeURLError(NSURLErrorCancelled, original_.URL));
        return;
    }
    startAttempt();
}

void NSURLSessionTask::cancel() {
    std::shared_ptr<URLTransfer> transfer;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->completed) return;
        impl_->cancelling = true;
        transfer = impl_->transfer;
        impl_->transfer.reset();
    }
    if (transfer) URLLoader::shared().remove(transfer);
    finish(makeURLError(NSURLErrorCancelled, original_.URL));
}

void NSURLSessionTask::startAttempt() {
    NSURLRequest request;
    bool first = false;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->completed) return;
        request = impl_->current;
        first = impl_->redirects == 0;
        impl_->attemptResponse.reset();
        impl_->bufferingRedirect = false;
        impl_->bodyLimited = false;
        impl_->limitExceeded = false;
        impl_->bodyLength = 0;
        impl_->body.clear();
    }
    if (!networkConnected.load()) {
        finish(makeURLError(NSURLErrorNotConnectedToInternet, request.URL));
        return;
    }
    if (!request.URL) {
        finish(makeURLError(NSURLErrorBadURL, request.URL));
        return;
    }
    std::string scheme = request.URL->scheme();
    if (scheme != "http" && scheme != "https") {
        finish(makeURLError(NSURLErrorUnsupportedURL, request.URL));
        return;
    }

    auto policy = request.cachePolicy == NSURLRequestCachePolicy::UseProtocolCachePolicy
                      ? impl_->config->requestCachePolicy()
                      : request.cachePolicy;
    const auto& cache = impl_->config->URLCache();
    if (first && kind_ == Kind::Data && request.HTTPMethod == "GET" &&
        policy != NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData) {
        auto entry = cache ? cache->cachedResponseForRequest(request) : std::nullopt;
        bool fresh = entry && sim::wallClockSeconds() - entry->storedAt < entry->maxAge;
        if (entry && (fresh || policy != NSURLRequestCachePolicy::UseProtocolCachePolicy)) {
            deliverFinalResponse(entry->response, entry->data);
            return;
        }
        if (policy == NSURLRequestCachePolicy::ReturnCacheDataDontLoad) {
            finish(makeURLError(NSURLErrorResourceUnavailable, request.URL));
            return;
        }
    }

    if (scheme != "https") {
        beginTransfer();
        return;
    }
    NSURLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = request.URL->host();
    challenge.protectionSpace.port = request.URL->port().value_or(443);
    challenge.protectionSpace.protocol = "https";
    challenge.protectionSpace.authenticationMethod = NSURLAuthenticationMethodServerTrust;
    challenge.protectionSpace.serverTrust =
        std::make_shared<__SecTrust>(__SecTrust{request.URL->host()});
    auto me = self();
    postToDelegateQueue([me, challenge] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        auto completion = [me, challenge, answered](
                              NSURLSessionAuthChallengeDisposition disposition,
                              std::shared_ptr<NSURLCredential>) {
            if (answered->exchange(true)) return;
            bool proceed = false;
            if (disposition == NSURLSessionAuthChallengeDisposition::UseCredential) {
                proceed = true;
            } else if (disposition !=
                       NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
                SecTrustResultType result = kSecTrustResultInvalid;
                OSStatus status = SecTrustEvaluate(challenge.protectionSpace.serverTrust, &result);
                proceed = status == errSecSuccess && (result == kSecTrustResultProceed ||
                                                      result == kSecTrustResultUnspecified);
                if (!proceed) {
                    me->finish(makeURLError(NSURLErrorServerCertificateUntrusted,
                                            me->currentRequest().URL));
                    return;
                }
            }
            if (proceed) {
                me->beginTransfer();
            } else {
                me->finish(makeURLError(NSURLErrorCancelled, me->currentRequest().URL));
            }
        };
        std::shared_ptr<NSURLSession> session;
        {
            std::lock_guard lock(me->impl_->mutex);
            session = me->impl_->session;
        }
        auto delegate = session ? session->delegate() : nullptr;
        if (delegate) {
            delegate->URLSession(session, me, challenge, completion);
        } else {
            completion(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
        }
    });
}

void NSURLSessionTask::beginTransfer() {
    auto t = std::make_shared<URLTransfer>();
    t->task = self();
    NSURLRequest request;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->completed) return;
        request = impl_->current;
        t->body = impl_->bodyData;
        if (impl_->bodyFile) {
            t->bodyFile = std::fopen(impl_->bodyFile->c_str(), "rb");
            if (!t->bodyFile) {
                t->task.reset();
                impl_->transfer.reset();
            }
        }
        if (t->task) impl_->transfer = t;
    }
    if (!t->task) {
        finish(makeURLError(NSURLErrorFileDoesNotExist, request.URL));
        return;
    }

    NSURL target = sim::resolveServiceURL(*request.URL);
    CURL* easy = t->easy;
    curl_easy_setopt(easy, CURLOPT_URL, target.absoluteString().c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLTransfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLTransfer::onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get());

    NSHTTPHeaders headers = impl_->config->HTTPAdditionalHeaders();
    for (const auto& [name, value] : request.allHTTPHeaderFields) {
        headers.erase(name);
        headers.emplace(name, value);
    }
    headers.erase("Content-Length");
    headers.erase("Host");
    auto acceptEncoding = headers.find("Accept-Encoding");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING,
                     acceptEncoding == headers.end() ? "" : acceptEncoding->second.c_str());
    if (target.absoluteString() != request.URL->absoluteString()) {
        headers.erase("X-Forwarded-Host");
        headers.emplace("X-Forwarded-Host", request.URL->host());
    }
    bool hasBody =
        (t->body || t->bodyFile) && request.HTTPMethod != "GET" && request.HTTPMethod != "HEAD";
    if (hasBody && !headers.count("Content-Type")) {
        t->headerList = curl_slist_append(t->headerList, "Content-Type:");
    }
    t->headerList = curl_slist_append(t->headerList, "Expect:");
    for (const auto& [name, value] : headers) {
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        t->headerList = curl_slist_append(t->headerList, line.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headerList);

    if (hasBody) {
        curl_off_t size = 0;
        if (t->bodyFile) {
            std::error_code ec;
            size = static_cast<curl_off_t>(fs::file_size(*impl_->bodyFile, ec));
        } else {
            size = static_cast<curl_off_t>(t->body->size());
        }
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &URLTransfer::onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, t.get());
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &URLTransfer::onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, t.get());
        if (request.HTTPMethod != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.HTTPMethod.c_str());
        }
    } else if (request.HTTPMethod == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (request.HTTPMethod == "POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
    } else if (request.HTTPMethod != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.HTTPMethod.c_str());
    }

    double idle = request.timeoutInterval;
    double sessionIdle = impl_->config->timeoutIntervalForRequest();
    if (idle <= 0 || (sessionIdle > 0 && sessionIdle < idle)) idle = sessionIdle;
    if (idle <= 0) idle = 60.0;
    double resource = impl_->config->timeoutIntervalForResource();
    if (resource <= 0) resource = 604800.0;
    t->idleTimeout = sim::seconds(idle);
    t->resourceDeadline = impl_->startTime + sim::seconds(resource);
    URLLoader::shared().add(t);
}

void NSURLSessionTask::transferHeaders(long status, NSHTTPHeaders headers) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->completed) return;
    auto response = std::make_shared<NSHTTPURLResponse>(*impl_->current.URL, status, headers);
    impl_->attemptResponse = response;
    auto encoding = response->valueForHTTPHeaderField("Content-Encoding");
    impl_->bodyLimited =
        kind_ != Kind::Download || isRedirectStatus(status) ||
        (encoding && !encoding->empty() && ::strcasecmp(encoding->c_str(), "identity") != 0);
    if (isRedirectStatus(status) && headers.count("Location")) {
        impl_->bufferingRedirect = true;
        return;
    }
    impl_->response = response;
    if (kind_ == Kind::Download) {
        fs::path folder = fs::path(sim::cachesPath()) / "com.lumbrel.URLSession" / "Downloads";
        std::error_code ec;
        fs::create_directories(folder, ec);
        impl_->downloadPath = (folder / ("CFNetworkDownload_" + randomToken() + ".tmp")).string();
        impl_->downloadFile = std::fopen(impl_->downloadPath.c_str(), "wb");
        return;
    }
    if (impl_->hasCompletionHandler()) return;
    auto me = self();
    postToDelegateQueue([me, response] {
        auto session = me->impl_->session;
        auto delegate = session ? session->delegate() : nullptr;
        if (delegate) {
            delegate->URLSession(session, std::static_pointer_cast<NSURLSessionDataTask>(me),
                                 std::static_pointer_cast<NSURLResponse>(response));
        }
    });
}

bool NSURLSessionTask::transferData(const char* bytes, std::size_t length) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->completed) return false;
    bytesReceived_ += static_cast<std::int64_t>(length);
    impl_->bodyLength += length;
    if (impl_->bodyLimited && impl_->bodyLength > kURLSessionMaximumBodyLength) {
        impl_->limitExceeded = true;
        return false;
    }
    if (impl_->bufferingRedirect) {
        impl_->body.insert(impl_->body.end(), bytes, bytes + length);
        return true;
    }
    if (kind_ == Kind::Download) {
        return impl_->downloadFile && std::fwrite(bytes, 1, length, impl_->downloadFile) == length;
    }
    impl_->body.insert(impl_->body.end(), bytes, bytes + length);
    if (impl_->hasCompletionHandler()) return true;
    auto me = self();
    Data chunk(bytes, bytes + length);
    postToDelegateQueue([me, chunk = std::move(chunk)] {
        auto session = me->impl_->session;
        auto delegate = session ? session->delegate() : nullptr;
        if (delegate) {
            delegate->URLSession(session, std::static_pointer_cast<NSURLSessionDataTask>(me),
                                 chunk);
        }
    });
    return true;
}

void NSURLSessionTask::transferDone(std::optional<long long> errorCode) {
    bool redirect = false;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->completed) return;
        impl_->transfer.reset();
        if (impl_->downloadFile) {
            std::fclose(impl_->downloadFile);
            impl_->downloadFile = nullptr;
        }
        if (impl_->limitExceeded) errorCode = NSURLErrorDataLengthExceedsMaximum;
        if (!errorCode && !impl_->attemptResponse) errorCode = NSURLErrorBadServerResponse;
        redirect = !errorCode && impl_->bufferingRedirect;
        if (!errorCode && !redirect && kind_ == Kind::Data && impl_->current.HTTPMethod == "GET") {
            auto response = impl_->attemptResponse;
            auto maxAge = maxAgeOf(*response);
            const auto& cache = impl_->config->URLCache();
            if (cache && maxAge && response->statusCode() == 200) {
                cache->storeCachedResponse(
                    {response, impl_->body, sim::wallClockSeconds(), *maxAge}, impl_->current);
            }
        }
    }
    if (errorCode) {
        finish(makeURLError(*errorCode, currentRequest().URL));
    } else if (redirect) {
        followOrDeliverRedirect();
    } else {
        finish(std::nullopt);
    }
}

void NSURLSessionTask::followOrDeliverRedirect() {
    std::shared_ptr<NSHTTPURLResponse> response;
    Data body;
    NSURLRequest next;
    {
        std::lock_guard lock(impl_->mutex);
        response = impl_->attemptResponse;
        body = impl_->body;
        next = impl_->current;
        if (impl_->redirects >= 16) {
            response.reset();
        }
    }
    if (!response) {
        finish(makeURLError(NSURLErrorHTTPTooManyRedirects, next.URL));
        return;
    }
    auto location = NSURL::URLWithString(*response->valueForHTTPHeaderField("Location"), *next.URL);
    if (!location) {
        deliverFinalResponse(response, body);
        return;
    }
    long status = response->statusCode();
    bool toGet = (status == 303 && next.HTTPMethod != "HEAD") ||
                 ((status == 301 || status == 302) && next.HTTPMethod == "POST");
    next.URL = *location;
    if (toGet) {
        next.HTTPMethod = "GET";
        next.HTTPBody.reset();
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Encoding");
    }
    auto me = self();
    postToDelegateQueue([me, response, body, next, toGet] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        auto completion = [me, response, body, toGet,
                           answered](std::optional<NSURLRequest> request) {
            if (answered->exchange(true)) return;
            if (!request) {
                me->deliverFinalResponse(response, body);
                return;
            }
            {
                std::lock_guard lock(me->impl_->mutex);
                if (me->impl_->completed) return;
                me->impl_->redirects++;
                me->impl_->current = *request;
                if (toGet) {
                    me->impl_->bodyData.reset();
                    me->impl_->bodyFile.reset();
                }
            }
            me->startAttempt();
        };
        auto session = me->impl_->session;
        auto delegate = session ? session->delegate() : nullptr;
        if (delegate) {
            delegate->URLSession(session, me, response, next, completion);
        } else {
            completion(next);
        }
    });
}

void NSURLSessionTask::deliverFinalResponse(std::shared_ptr<NSHTTPURLResponse> response,
                                            Data body) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->completed) return;
        impl_->response = response;
        bytesReceived_ = static_cast<std::int64_t>(body.size());
        if (kind_ == Kind::Download) {
            fs::path folder = fs::path(sim::cachesPath()) / "com.lumbrel.URLSession" / "Downloads";
            std::error_code ec;
            fs::create_directories(folder, ec);
            impl_->downloadPath =
                (folder / ("CFNetworkDownload_" + randomToken() + ".tmp")).string();
            if (FILE* f = std::fopen(impl_->downloadPath.c_str(), "wb")) {
                std::fwrite(body.data(), 1, body.size(), f);
                std::fclose(f);
            }
        } else if (!impl_->hasCompletionHandler()) {
            auto me = self();
            postToDelegateQueue([me, response, body] {
                auto session = me->impl_->session;
                auto delegate = session ? session->delegate() : nullptr;
                if (!delegate) return;
                auto dataTask = std::static_pointer_cast<NSURLSessionDataTask>(me);
                delegate->URLSession(session, dataTask,
                                     std::static_pointer_cast<NSURLResponse>(response));
                if (!body.empty()) delegate->URLSession(session, dataTask, body);
            });
        }
        impl_->body = std::move(body);
    }
    finish(std::nullopt);
}

void NSURLSessionTask::finish(std::optional<NSError> error) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->completed) return;
    impl_->completed = true;
    impl_->error = error;
    if (impl_->downloadFile) {
        std::fclose(impl_->downloadFile);
        impl_->downloadFile = nullptr;
    }
    if (error && !impl_->downloadPath.empty()) {
        std::error_code ec;
        fs::remove(impl_->downloadPath, ec);
        impl_->downloadPath.clear();
    }
    auto me = self();
    postToDelegateQueue([me, error] {
        auto& impl = *me->impl_;
        auto session = impl.session;
        std::optional<NSURL> location;
        if (!impl.downloadPath.empty()) location = NSURL::fileURLWithPath(impl.downloadPath);
        if (impl.dataCompletion) {
            std::optional<Data> data;
            if (!error) data = impl.body;
            auto handler = std::move(impl.dataCompletion);
            handler(std::move(data), impl.response, error);
        } else if (impl.downloadCompletion) {
            auto handler = std::move(impl.downloadCompletion);
            handler(location, impl.response, error);
        } else if (auto delegate = session ? session->delegate() : nullptr) {
            if (location) {
                delegate->URLSession(
                    session, std::static_pointer_cast<NSURLSessionDownloadTask>(me), *location);
            }
            delegate->URLSession(session, me, error);
        }
        if (!impl.downloadPath.empty()) {
            std::error_code ec;
            fs::remove(impl.downloadPath, ec);
            impl.downloadPath.clear();
        }
        impl.body.clear();
        impl.session.reset();
        if (session) session->taskCompleted(me.get());
    });
}

// ---------------------------------------------------------------------------
// Sessions.

NSURLSession::NSURLSession(std::shared_ptr<NSURLSessionConfiguration> configuration,
                           std::shared_ptr<NSURLSessionDelegate> delegate,
                           std::shared_ptr<DispatchQueue> queue)
    : config_(std::move(configuration)), queue_(std::move(queue)), delegate_(std::move(delegate)) {}

NSURLSession::~NSURLSession() = default;

std::shared_ptr<NSURLSession> NSURLSession::sharedSession() {
    // Never destroyed: queue workers still ask for it while static objects
    // are being destroyed at exit.
    static const auto* session = new std::shared_ptr<NSURLSession>(sessionWithConfiguration(
        NSURLSessionConfiguration::defaultSessionConfiguration(), nullptr, nullptr));
    return *session;
}

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    const std::shared_ptr<NSURLSessionConfiguration>& configuration) {
    return sessionWithConfiguration(configuration, nullptr, nullptr);
}

std::shared_ptr<NSURLSession> NSURLSession::sessionWithConfiguration(
    const std::shared_ptr<NSURLSessionConfiguration>& configuration,
    std::shared_ptr<NSURLSessionDelegate> delegate, std::shared_ptr<DispatchQueue> delegateQueue) {
    auto config = configuration ? configuration->copy()
                                : NSURLSessionConfiguration::defaultSessionConfiguration();
    if (!delegateQueue) delegateQueue = DispatchQueue::create("NSURLSession.delegateQueue");
    return std::shared_ptr<NSURLSession>(
        new NSURLSession(std::move(config), std::move(delegate), std::move(delegateQueue)));
}

std::shared_ptr<NSURLSessionDelegate> NSURLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

bool NSURLSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

std::shared_ptr<NSURLSessionDataTask> NSURLSession::dataTaskWithRequest(
    const NSURLRequest& request) {
    if (isInvalidated()) return nullptr;
    auto me = std::static_pointer_cast<NSURLSession>(shared_from_this());
    auto task = std::shared_ptr<NSURLSessionDataTask>(
        new NSURLSessionDataTask(NSURLSessionTask::Kind::Data, me, request));
    if (request.HTTPBody) task->impl_->bodyData = std::make_shared<const Data>(*request.HTTPBody);
    return task;
}

std::shared_ptr<NSURLSessionDataTask> NSURLSession::dataTaskWithRequest(
    const NSURLRequest& request, DataCompletion completionHandler) {
    if (config_->isBackground()) return nullptr;
    auto task = dataTaskWithRequest(request);
    if (task) task->impl_->dataCompletion = std::move(completionHandler);
    return task;
}

std::shared_ptr<NSURLSessionUploadTask> NSURLSession::uploadTaskWithRequest(
    const NSURLRequest& request, const Data& fromData) {
    if (isInvalidated() || config_->isBackground()) return nullptr;
    auto me = std::static_pointer_cast<NSURLSession>(shared_from_this());
    auto task = std::shared_ptr<NSURLSessionUploadTask>(
        new NSURLSessionUploadTask(NSURLSessionTask::Kind::Upload, me, request));
    task->impl_->bodyData = std::make_shared<const Data>(fromData);
    return task;
}

std::shared_ptr<NSURLSessionUploadTask> NSURLSession::uploadTaskWithRequest(
    const NSURLRequest& request, const Data& fromData, DataCompletion completionHandler) {
    auto task = uploadTaskWithRequest(request, fromData);
    if (task) task->impl_->dataCompletion = std::move(completionHandler);
    return task;
}

std::shared_ptr<NSURLSessionUploadTask> NSURLSession::uploadTaskWithRequest(
    const NSURLRequest& request, const NSURL& fromFile) {
    if (isInvalidated() || !fromFile.isFileURL()) return nullptr;
    auto me = std::static_pointer_cast<NSURLSession>(shared_from_this());
    auto task = std::shared_ptr<NSURLSessionUploadTask>(
        new NSURLSessionUploadTask(NSURLSessionTask::Kind::Upload, me, request));
    task->impl_->bodyFile = fromFile.path();
    return task;
}

std::shared_ptr<NSURLSessionDownloadTask> NSURLSession::downloadTaskWithRequest(
    const NSURLRequest& request) {
    if (isInvalidated()) return nullptr;
    auto me = std::static_pointer_cast<NSURLSession>(shared_from_this());
    return std::shared_ptr<NSURLSessionDownloadTask>(
        new NSURLSessionDownloadTask(NSURLSessionTask::Kind::Download, me, request));
}

std::shared_ptr<NSURLSessionDownloadTask> NSURLSession::downloadTaskWithRequest(
    const NSURLRequest& request, DownloadCompletion completionHandler) {
    if (config_->isBackground()) return nullptr;
    auto task = downloadTaskWithRequest(request);
    if (task) task->impl_->downloadCompletion = std::move(completionHandler);
    return task;
}

bool NSURLSession::registerTask(const std::shared_ptr<NSURLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return false;
    tasks_.insert(task);
    return true;
}

void NSURLSession::taskCompleted(NSURLSessionTask* task) {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
        if (it->get() == task) {
            tasks_.erase(it);
            break;
        }
    }
    becomeInvalidIfIdle();
}

void NSURLSession::becomeInvalidIfIdle() {
    if (!invalidated_ || invalidationReported_ || !tasks_.empty()) return;
    invalidationReported_ = true;
    auto me = std::static_pointer_cast<NSURLSession>(shared_from_this());
    queue_->async([me] {
        std::shared_ptr<NSURLSessionDelegate> delegate;
        {
            std::lock_guard lock(me->mutex_);
            delegate = std::move(me->delegate_);
        }
        if (delegate) delegate->URLSession(me, std::optional<NSError>());
    });
}

void NSURLSession::invalidate(bool cancel) {
    std::vector<std::shared_ptr<NSURLSessionTask>> running;
    {
        std::lock_guard lock(mutex_);
        if (this == sharedSession().get()) return;
        invalidated_ = true;
        running.assign(tasks_.begin(), tasks_.end());
        becomeInvalidIfIdle();
    }
    if (cancel) {
        for (auto& task : running) task->cancel();
    }
}

void NSURLSession::finishTasksAndInvalidate() {
    invalidate(false);
}
void NSURLSession::invalidateAndCancel() {
    invalidate(true);
}

// ---------------------------------------------------------------------------

namespace sim {

void setServiceHostOverride(const std::string& baseURL) {
    std::lock_guard lock(overrideMutex());
    overrideBase() = baseURL;
}

void clearServiceHostOverride() {
    setServiceHostOverride("");
}

NSURL resolveServiceURL(const NSURL& url) {
    std::string base;
    {
        std::lock_guard lock(overrideMutex());
        base = overrideBase();
        if (base.empty()) {
            const char* env = std::getenv("LUMBREL_SERVICE_BASE_URL");
            if (env) base = env;
        }
        if (!base.empty() && !isLoopbackBase(base)) {
            if (refusedBase() != base) {
                refusedBase() = base;
                os_log_error(OSLog{"com.vantorel.Lumbrel.platform", "net"},
                             "Ignoring service base URL " + base +
                                 ": only a loopback address (127.0.0.0/8, localhost, [::1]) "
                                 "may stand in for the service hosts.");
            }
            base.clear();
        }
    }
    std::string scheme = url.scheme();
    if (base.empty() || (scheme != "http" && scheme != "https") || isLoopbackHost(url.host())) {
        return url;
    }
    const std::string& text = url.absoluteString();
    auto authority = text.find("://");
    auto rest = text.find_first_of("/?#", authority + 3);
    std::string tail = rest == std::string::npos ? "/" : text.substr(rest);
    auto hash = tail.find('#');
    if (hash != std::string::npos) tail.resize(hash);
    if (tail.empty() || tail[0] != '/') tail = "/" + tail;
    while (!base.empty() && base.back() == '/') base.pop_back();
    auto mapped = NSURL::URLWithString(base + tail);
    return mapped ? *mapped : url;
}

void setNetworkConnected(bool connected) {
    networkConnected = connected;
}
bool isNetworkConnected() {
    return networkConnected.load();
}
std::size_t activeTransferCount() {
    return URLLoader::shared().activeCount();
}

}  // namespace sim
