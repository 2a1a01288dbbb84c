#include "services/transport/ZDTLGSUploader.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/dispatch/Clock.h"
#include "platform/net/NSURLSession.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCOREndpoints.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTLGSMessages.h"
#include "services/util/PRMPromise.h"
#include "services/util/ZVUGzip.h"

namespace {
std::mutex gTestURLMutex;
std::optional<NSURL> gTestServerURL;

constexpr std::int64_t kDefaultWaitMillis = 900000;

std::shared_ptr<ZDTLGSUploadOperation> self(ZDTLGSUploadOperation* operation) {
    return std::static_pointer_cast<ZDTLGSUploadOperation>(operation->shared_from_this());
}

std::int64_t clampWait(long double millis) {
    if (!(millis > 0)) return 0;
    if (millis > ZDTLGSUploader::kMaxWaitMillis) return ZDTLGSUploader::kMaxWaitMillis;
    return static_cast<std::int64_t>(millis);
}

std::string lowercased(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int effectivePort(const NSURL& url) {
    const auto scheme = lowercased(url.scheme());
    return url.port().value_or(scheme == "https" ? 443 : scheme == "http" ? 80 : -1);
}

// The API key goes only to the origin (scheme, host and port) it was
// addressed to.
bool sameOrigin(const NSURL& a, const NSURL& b) {
    return lowercased(a.scheme()) == lowercased(b.scheme()) &&
           lowercased(a.host()) == lowercased(b.host()) && effectivePort(a) == effectivePort(b);
}

// Permanent and temporary redirects are refused here and followed by the
// operation with a request rebuilt for its own target (its API key, user
// agent and body), since a POST turned into a GET would lose the body. Any
// redirect to another origin is refused: the request carries the key.
class RedirectDelegate : public NSURLSessionDelegate {
  public:
    explicit RedirectDelegate(std::optional<NSURL> origin) : origin_(std::move(origin)) {}
    void URLSession(const Session&, const Task&, const std::shared_ptr<NSHTTPURLResponse>& response,
                    const NSURLRequest& newRequest, RedirectCompletion completion) override {
        if (!completion) return;
        const long status = response ? response->statusCode() : 0;
        if (status == 301 || status == 302 || !origin_ || !newRequest.URL ||
            !sameOrigin(*origin_, *newRequest.URL)) {
            completion(std::nullopt);
            return;
        }
        completion(newRequest);
    }

  private:
    std::optional<NSURL> origin_;
};
}  // namespace

std::string ZDTLGSTargetName(ZDTCORTarget target) {
    switch (target) {
        case ZDTCORTargetLGS:
            return "lgs";
        case ZDTCORTargetRLG:
            return "rlg";
        case ZDTCORTargetCRS:
            return "crs";
        case ZDTCORTargetINT:
            return "int";
        default:
            return "unknown";
    }
}

std::optional<Data> ZDTLGSCompressionHelper::gzippedData(const Data& data) {
    if (data.empty() || data.size() > 4294967295ULL) return std::nullopt;
    return zvu_dataByGzippingData(data);
}

bool ZDTLGSCompressionHelper::isGzipped(const Data& data) {
    return data.size() >= 2 && data[0] == 0x1F && data[1] == 0x8B;
}

std::shared_ptr<ZDTLGSUploader> ZDTLGSUploader::sharedInstance() {
    static const auto* shared = new auto(std::make_shared<ZDTLGSUploader>());
    return *shared;
}

ZDTLGSUploader::ZDTLGSUploader()
    : uploadQueue_(DispatchQueue::create("com.zevera.ZDTLGSUploader")) {}

void ZDTLGSUploader::registerWithRegistrar() {
    auto uploader = sharedInstance();
    for (ZDTCORTarget target :
         {ZDTCORTargetLGS, ZDTCORTargetRLG, ZDTCORTargetCRS, ZDTCORTargetINT}) {
        ZDTCORRegistrar::sharedInstance()->registerUploader(uploader, target);
    }
}

std::optional<NSURL> ZDTLGSUploader::serverURLForTarget(ZDTCORTarget target) {
    {
        std::lock_guard lock(gTestURLMutex);
        if (gTestServerURL) return gTestServerURL;
    }
    return ZDTCOREndpoints::uploadURLForTarget(target);
}

void ZDTLGSUploader::setTestServerURL(std::optional<NSURL> url) {
    std::lock_guard lock(gTestURLMutex);
    gTestServerURL = std::move(url);
}

std::optional<NSURL> ZDTLGSUploader::testServerURL() {
    std::lock_guard lock(gTestURLMutex);
    return gTestServerURL;
}

std::shared_ptr<ZDTCORClock> ZDTLGSUploader::nextUploadTimeForTarget(ZDTCORTarget target) {
    std::lock_guard lock(mutex_);
    auto it = nextUploadTimeByTarget_.find(target);
    return it == nextUploadTimeByTarget_.end() ? nullptr : it->second;
}

void ZDTLGSUploader::setNextUploadTime(std::shared_ptr<ZDTCORClock> time, ZDTCORTarget target) {
    std::lock_guard lock(mutex_);
    if (time) {
        nextUploadTimeByTarget_[target] = std::move(time);
    } else {
        nextUploadTimeByTarget_.erase(target);
    }
}

std::optional<std::string> ZDTLGSUploader::APIKeyForTarget(ZDTCORTarget target) {
    if (target != ZDTCORTargetRLG && target != ZDTCORTargetCRS && target != ZDTCORTargetINT)
        return std::nullopt;
    // Read by upload threads until the process ends: never destroyed.
    static const std::string& key = *new std::string([] {
        // Kept in pieces in the program and laid together on first use.
        const char block[16] = {'Z', 'v', 'a', 'S', 'y', 'C', 'c', 'k',
                                'Q', 'x', '3', 'r', 'T', 'p', '8', 'L'};
        const char words[3][8] = {{'m', 'W', '2', 'd', 'Y', 'q', 'N', '7'},
                                  {'b', 'E', '0', 'u', 'F', 'h', 'J', 'g'},
                                  {'X', 'k', 'V', '4', 's', 'R', 'a', '\0'}};
        char buffer[40] = {};
        std::memcpy(buffer, block, sizeof block);
        std::memcpy(buffer + 16, words, sizeof words);
        return std::string(buffer, strnlen(buffer, sizeof buffer));
    }());
    return key;
}

void ZDTLGSUploader::uploadTarget(ZDTCORTarget target, ZDTCORUploadConditions conditions) {
    auto storage = ZDTCORPromiseStorageForTarget(target);
    if (!storage) {
        ZDTCORLogError(
            ZDTCORMCEGeneralError,
            "Failed to upload target: %ld - could not find corresponding storage instance.",
            {static_cast<long long>(target)});
        return;
    }
    auto url = serverURLForTarget(target);
    if (!url) {
        ZDTCORLogError(ZDTCORMCEGeneralError, "Failed to upload target: %ld - no upload address.",
                       {static_cast<long long>(target)});
        return;
    }
    auto operation = std::make_shared<ZDTLGSUploadOperation>(
        target, conditions, *url, uploadQueue_, storage,
        std::static_pointer_cast<ZDTLGSUploader>(shared_from_this()));
    ZDTCORLogDebug("Upload operation created: %@, target: %@",
                   {operation->description(), static_cast<long long>(target)});
    {
        std::lock_guard lock(mutex_);
        operations_.push_back(operation);
    }
    startNextOperation();
}

void ZDTLGSUploader::startNextOperation() {
    std::shared_ptr<ZDTLGSUploadOperation> next;
    {
        std::lock_guard lock(mutex_);
        if (running_ || operations_.empty()) return;
        running_ = true;
        next = operations_.front();
    }
    uploadQueue_->async([next] { next->start(); });
}

void ZDTLGSUploader::operationFinished(const std::shared_ptr<ZDTLGSUploadOperation>& operation) {
    std::vector<std::shared_ptr<ZDTLGSUploadOperation>> cancelled;
    {
        std::lock_guard lock(mutex_);
        if (!operations_.empty() && operations_.front() == operation) operations_.pop_front();
        running_ = false;
        // One request per timer fire or forced upload: the rest give way.
        if (operation->uploadAttempted()) {
            lastUpload_ = LastUpload{operation->target(), operation->responseStatus(),
                                     operation->eventsSent(), sim::wallClockSeconds()};
            cancelled.assign(operations_.begin(), operations_.end());
        }
    }
    for (const auto& op : cancelled) op->cancel();
    startNextOperation();
    std::lock_guard lock(mutex_);
    if (!running_ && operations_.empty()) idle_.notify_all();
}

std::size_t ZDTLGSUploader::operationCount() const {
    std::lock_guard lock(mutex_);
    return operations_.size();
}

std::optional<ZDTLGSUploader::LastUpload> ZDTLGSUploader::lastUpload() const {
    std::lock_guard lock(mutex_);
    return lastUpload_;
}

bool ZDTLGSUploader::waitForUploadFinishedWithTimeout(double seconds) {
    std::unique_lock lock(mutex_);
    const bool done = idle_.wait_for(lock, std::chrono::duration<double>(seconds),
                                     [this] { return !running_ && operations_.empty(); });
    if (!done) {
        ZDTCORLogDebug("Uploader wait for finish timeout exceeded. Operations still in queue: %@",
                       {static_cast<unsigned long>(operations_.size())});
    }
    return done;
}

ZDTLGSUploadOperation::ZDTLGSUploadOperation(ZDTCORTarget target, ZDTCORUploadConditions conditions,
                                             NSURL uploadURL, std::shared_ptr<DispatchQueue> queue,
                                             std::shared_ptr<ZDTCORStoragePromiseProtocol> storage,
                                             std::shared_ptr<ZDTLGSUploader> uploader)
    : target_(target),
      conditions_(conditions),
      uploadURL_(std::move(uploadURL)),
      queue_(std::move(queue)),
      storage_(std::move(storage)),
      uploader_(std::move(uploader)) {}

bool ZDTLGSUploadOperation::isExecuting() const {
    std::lock_guard lock(mutex_);
    return executing_;
}
bool ZDTLGSUploadOperation::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}
bool ZDTLGSUploadOperation::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}
bool ZDTLGSUploadOperation::uploadAttempted() const {
    std::lock_guard lock(mutex_);
    return uploadAttempted_;
}

void ZDTLGSUploadOperation::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

void ZDTLGSUploadOperation::finishOperation() {
    {
        std::lock_guard lock(mutex_);
        executing_ = false;
        finished_ = true;
    }
    ZDTCORLogDebug("Upload operation finished: %@, uploadAttempted: %@",
                   {description(), std::string(uploadAttempted() ? "YES" : "NO")});
    uploader_->operationFinished(self(this));
}

bool ZDTLGSUploadOperation::readyToUploadTarget(ZDTCORTarget target,
                                                ZDTCORUploadConditions conditions) {
    if (conditions & ZDTCORUploadConditionNoNetwork) {
        ZDTCORLogDebug("LGS: Not ready to upload without a network connection.");
        return false;
    }
    if (conditions & ZDTCORUploadConditionHighPriority) {
        ZDTCORLogDebug("LGS: a high priority event is allowing an upload");
        return true;
    }
    auto next = uploader_->nextUploadTimeForTarget(target);
    const bool ready = !next || ZDTCORClock::snapshot()->isAfter(*next);
    ZDTCORLogDebug(
        ready ? "LGS: can upload to target %ld because the request wait time has transpired"
              : "LGS: can't upload to target %ld because the backend asked to wait",
        {static_cast<long long>(target)});
    return ready;
}

ZDTCORStorageEventSelector ZDTLGSUploadOperation::eventSelectorTarget(
    ZDTCORTarget target, ZDTCORUploadConditions conditions) {
    ZDTCORStorageEventSelector selector;
    selector.selectedTarget = target;
    if (conditions & ZDTCORUploadConditionHighPriority) return selector;
    if (conditions & ZDTCORUploadConditionWifiData) {
        selector.selectedQosTiers = {ZDTCOREventQoSImmediate, ZDTCOREventQoSWifiOnly,
                                     ZDTCOREventQoSDefault, ZDTCOREventQoSTelemetry,
                                     ZDTCOREventQoSUnset};
    } else if (conditions & ZDTCORUploadConditionMobileData) {
        selector.selectedQosTiers = {ZDTCOREventQoSImmediate, ZDTCOREventQoSDefault};
    } else {
        // No tier qualifies; an impossible tier keeps the selector from meaning "all".
        selector.selectedQosTiers = {-1};
    }
    return selector;
}

std::optional<NSURLRequest> ZDTLGSUploadOperation::constructRequestWithURL(
    const NSURL& url, ZDTCORTarget target, const std::optional<Data>& data) {
    if (!data || data->empty()) {
        ZDTCORLogDebug("There was no data to construct a request for target %ld.",
                       {static_cast<long long>(target)});
        return std::nullopt;
    }
    NSURLRequest request(url, NSURLRequestCachePolicy::UseProtocolCachePolicy,
                         ZDTLGSUploader::kRequestTimeoutSeconds);
    if (auto key = uploader_->APIKeyForTarget(target)) request.setValue(*key, "X-Zevera-Api-Key");
    if (ZDTLGSCompressionHelper::isGzipped(*data))
        request.setValue(std::string("gzip"), "Content-Encoding");
    request.setValue(std::string("application/x-protobuf"), "Content-Type");
    request.setValue(std::string("gzip"), "Accept-Encoding");
    request.setValue("datatransport/0.0.1 " + ZDTLGSTargetName(target) + "support/0.0.1 apple/",
                     "User-Agent");
    request.HTTPMethod = "POST";
    request.HTTPBody = *data;
    return request;
}

std::shared_ptr<ZDTCORClock> ZDTLGSUploadOperation::nextUploadTimeForResponse(
    long, const std::optional<Data>& body, const std::optional<std::string>& retryAfter) {
    if (body && !body->empty()) {
        NSError error;
        auto reply = ZDTLGSDecodeReply(*body, &error);
        if (reply.waitBeforeNextMs) {
            ZDTCORLogDebug(
                "LGS: The backend responded asking to not upload for %lld millis from now.",
                {static_cast<long long>(*reply.waitBeforeNextMs)});
            return ZDTCORClock::clockSnapshotInTheFuture(clampWait(*reply.waitBeforeNextMs));
        }
        ZDTCORLogDebug("There was a response decoding error: %@", {error.localizedDescription()});
    }
    if (retryAfter && !retryAfter->empty()) {
        char* end = nullptr;
        const long double seconds = std::strtold(retryAfter->c_str(), &end);
        // "nan" parses but is no wait at all.
        if (end && end != retryAfter->c_str() && *end == '\0' && !std::isnan(seconds)) {
            return ZDTCORClock::clockSnapshotInTheFuture(clampWait(seconds * 1000.0L));
        }
    }
    ZDTCORLogDebug(
        "LGS: The backend response failed to parse, so the next request won't occur until 15 "
        "minutes from now");
    return ZDTCORClock::clockSnapshotInTheFuture(kDefaultWaitMillis);
}

void ZDTLGSUploadOperation::start() {
    {
        std::lock_guard lock(mutex_);
        executing_ = true;
        finished_ = false;
    }
    auto me = self(this);
    if (!readyToUploadTarget(target_, conditions_)) {
        finishOperation();
        return;
    }
    storage_->removeAllBatchesForTarget(target_, false)
        ->observeOnQueue(
            queue_,
            [me](PRMValue) {
                me->storage_->hasEventsForTarget(me->target_)
                    ->observeOnQueue(
                        me->queue_,
                        [me](PRMValue has) {
                            const Value* v = has.value();
                            if (!v || !v->asBool().value_or(false) || me->isCancelled()) {
                                me->finishOperation();
                                return;
                            }
                            const Date expiration = Date::fromUnix(sim::wallClockSeconds() + 600);
                            me->storage_
                                ->batchWithEventSelector(
                                    eventSelectorTarget(me->target_, me->conditions_), expiration)
                                ->observeOnQueue(
                                    me->queue_,
                                    [me](PRMValue value) {
                                        auto batch = value.as<ZDTCORUploadBatch>();
                                        if (!batch || batch->events().empty()) {
                                            me->finishOperation();
                                            return;
                                        }
                                        {
                                            std::lock_guard lock(me->mutex_);
                                            me->uploadAttempted_ = true;
                                        }
                                        me->sendBatch(batch->batchID(), batch->events());
                                    },
                                    [me](NSError) { me->finishOperation(); });
                        },
                        [me](NSError) { me->finishOperation(); });
            },
            [me](NSError) { me->finishOperation(); });
}

void ZDTLGSUploadOperation::sendBatch(std::int64_t batchID,
                                      const std::vector<std::shared_ptr<ZDTCOREvent>>& events) {
    auto me = self(this);
    auto plain = ZDTLGSConstructRequest(events);
    if (!plain) {
        // A body that failed to encode is never sent; the events wait in storage.
        storage_->removeBatchWithID(batchID, false)
            ->observeOnQueue(
                queue_, [me](PRMValue) { me->finishOperation(); },
                [me](NSError) { me->finishOperation(); });
        return;
    }
    auto gzipped = ZDTLGSCompressionHelper::gzippedData(*plain);
    const Data body = gzipped && gzipped->size() < plain->size() ? *gzipped : *plain;
    auto request = constructRequestWithURL(uploadURL_, target_, body);
    if (!request) {
        storage_->removeBatchWithID(batchID, false)
            ->observeOnQueue(
                queue_, [me](PRMValue) { me->finishOperation(); },
                [me](NSError) { me->finishOperation(); });
        return;
    }
    eventsSent_ = events.size();
    ZDTCORLogDebug("CTT: request containing %lu events for batch: %@ for target: %ld created: %@",
                   {static_cast<unsigned long>(events.size()), static_cast<long long>(batchID),
                    static_cast<long long>(target_), request->URL->absoluteString()});
    body_ = body;
    if (!post(batchID, *request)) {
        storage_->removeBatchWithID(batchID, false)
            ->observeOnQueue(
                queue_, [me](PRMValue) { me->finishOperation(); },
                [me](NSError) { me->finishOperation(); });
    }
}

bool ZDTLGSUploadOperation::post(std::int64_t batchID, const NSURLRequest& request) {
    auto me = self(this);
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    // No wait on the upload path is unbounded.
    configuration->setTimeoutIntervalForRequest(ZDTLGSUploader::kRequestTimeoutSeconds);
    configuration->setTimeoutIntervalForResource(ZDTLGSUploader::kResourceTimeoutSeconds);
    auto session = NSURLSession::sessionWithConfiguration(
        configuration, std::make_shared<RedirectDelegate>(request.URL), nullptr);
    auto task = session->dataTaskWithRequest(
        request,
        [me, batchID, session](std::optional<Data> data, std::shared_ptr<NSURLResponse> response,
                               std::optional<NSError> error) {
            session->finishTasksAndInvalidate();
            me->queue_->async([me, batchID, data, response, error] {
                me->handleResponse(batchID, data, response, error);
            });
        });
    if (!task) return false;
    task->resume();
    return true;
}

void ZDTLGSUploadOperation::handleResponse(std::int64_t batchID, std::optional<Data> body,
                                           std::shared_ptr<NSURLResponse> response,
                                           std::optional<NSError> error) {
    auto me = self(this);
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    bool deleteEvents = false;
    if (http && !error) {
        const long status = http->statusCode();
        if ((status == 301 || status == 302) && redirects_ < kMaxRedirects) {
            const auto location = http->valueForHTTPHeaderField("Location");
            auto url = location ? NSURL::URLWithString(*location, uploadURL_) : std::nullopt;
            if (url && !sameOrigin(*url, uploadURL_)) {
                ZDTCORLogDebug("LGS: a redirect to another host is not followed: %@",
                               {url->absoluteString()});
                url.reset();
            }
            const auto request = url ? constructRequestWithURL(*url, target_, body_) : std::nullopt;
            ++redirects_;
            if (request && post(batchID, *request)) return;
        }
        status_ = status;
        uploader_->setNextUploadTime(
            nextUploadTimeForResponse(status, body, http->valueForHTTPHeaderField("Retry-After")),
            target_);
        if (status == 429 || (status >= 500 && status <= 599)) {
            deleteEvents = false;
        } else if (status >= 200 && status <= 299) {
            ZDTCORLogDebug("LGS: batch %@ delivered", {static_cast<long long>(batchID)});
            deleteEvents = true;
        } else if (status >= 300 && status <= 399) {
            // A redirect that was not followed delivered nothing.
            deleteEvents = false;
        } else {
            ZDTCORLogDebug(
                "LGS: batch %@ was rejected by the server and will be deleted with all events",
                {static_cast<long long>(batchID)});
            deleteEvents = true;
        }
    }
    storage_->removeBatchWithID(batchID, deleteEvents)
        ->observeOnQueue(
            queue_, [me](PRMValue) { me->finishOperation(); },
            [me](NSError) { me->finishOperation(); });
}
