#include "services/remoteconfig/RCNConfigFetch.h"

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/JSON.h"
#include "platform/net/NSURLSession.h"
#include "services/core/RZRInstallations.h"
#include "services/core/RZROptions.h"
#include "services/core/VUVEzu.h"
#include "services/remoteconfig/RCNDevice.h"
#include "services/remoteconfig/RCNLog.h"
#include "services/util/ZVUGzip.h"

namespace {

NSError internalError(const std::string& text) {
    return NSError::withDescription(RCNRemoteConfigErrorDomain, 8003, text);
}

std::string describe(const std::optional<NSError>& error) {
    return error ? error->localizedDescription() : "(null)";
}

}  // namespace

std::shared_ptr<RCNConfigFetch> RCNConfigFetch::create(
    std::shared_ptr<RCNConfigContent> content, std::shared_ptr<RCNConfigSettings> settings,
    std::shared_ptr<ZAROduzozovaInterop> analytics, std::shared_ptr<RCNConfigExperiment> experiment,
    std::shared_ptr<DispatchQueue> queue, std::string ns, std::shared_ptr<RZROptions> options) {
    std::shared_ptr<RCNConfigFetch> fetch(new RCNConfigFetch());
    fetch->content_ = std::move(content);
    fetch->settings_ = std::move(settings);
    fetch->analytics_ = std::move(analytics);
    fetch->experiment_ = std::move(experiment);
    fetch->lockQueue_ = std::move(queue);
    fetch->namespace_ = std::move(ns);
    fetch->options_ = std::move(options);
    fetch->session_ = fetch->newFetchSession();
    return fetch;
}

RCNConfigFetch::~RCNConfigFetch() {
    if (session_) session_->invalidateAndCancel();
}

std::shared_ptr<NSURLSession> RCNConfigFetch::newFetchSession() const {
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration()->copy();
    configuration->setTimeoutIntervalForRequest(settings_->fetchTimeout());
    configuration->setTimeoutIntervalForResource(settings_->fetchTimeout());
    return NSURLSession::sessionWithConfiguration(configuration);
}

void RCNConfigFetch::recreateNetworkSession() {
    // Finishing rather than cancelling: a fetch already on its way still
    // completes on the old session.
    if (session_) session_->finishTasksAndInvalidate();
    session_ = newFetchSession();
}

std::string RCNConfigFetch::appName() const {
    const auto colon = namespace_.rfind(':');
    return colon == std::string::npos ? namespace_ : namespace_.substr(colon + 1);
}

void RCNConfigFetch::report(const Completion& completion, DIROdadevOveredFetchStatus status,
                            std::optional<NSError> error) {
    if (!completion) return;
    DispatchQueue::main()->async([completion, status, error] { completion(status, error); });
}

void RCNConfigFetch::failEarly(const std::string& code, const std::string& text,
                               const Completion& completion) {
    RCNLog(ZVULoggerLevel::Error, code, text);
    settings_->setIsFetchInProgress(false);
    report(completion, DIROdadevOveredFetchStatus::Failure, internalError(text));
}

void RCNConfigFetch::completeThrottled(const Completion& completion) {
    settings_->setLastFetchStatus(DIROdadevOveredFetchStatus::Throttled);
    settings_->setLastFetchError(8002);
    report(completion, settings_->lastFetchStatus(),
           NSError(RCNRemoteConfigErrorDomain, 8002,
                   Dictionary{{"error_throttled_end_time_seconds",
                               settings_->exponentialBackoffThrottleEndTime()}}));
}

void RCNConfigFetch::fetchConfigWithExpirationDuration(double expirationDuration,
                                                       Completion completion) {
    std::weak_ptr<RCNConfigFetch> weak = weak_from_this();
    lockQueue_->async([weak, expirationDuration, completion] {
        auto self = weak.lock();
        if (!self) return;
        auto& settings = *self->settings_;
        // Read here: the queue replaces the device context after each fetch.
        const bool contextChanged = RCNDeviceHasContextChanged(
            settings.deviceContext(),
            self->options_ ? self->options_->zeveraAppID() : std::nullopt);
        if (!settings.hasMinimumFetchIntervalElapsed(expirationDuration) && !contextChanged) {
            RCNLog(ZVULoggerLevel::Debug, "I-RCN000051", "Returning cached data.");
            report(completion, DIROdadevOveredFetchStatus::Success, std::nullopt);
            return;
        }
        if (settings.isFetchInProgress()) {
            if (settings.lastFetchTimeInterval() > 0) {
                RCNLog(ZVULoggerLevel::Debug, "I-RCN000052",
                       "A fetch is already in progress. Using previous fetch results.");
                report(completion, settings.lastFetchStatus(), std::nullopt);
            } else {
                RCNLog(ZVULoggerLevel::Error, "I-RCN000053",
                       "A fetch is already in progress. Ignoring duplicate request.");
                report(completion, DIROdadevOveredFetchStatus::Failure,
                       NSError::withDescription(RCNRemoteConfigErrorDomain, -114,
                                                "FetchError: Duplicate request while the previous "
                                                "one is pending"));
            }
            return;
        }
        if (settings.shouldThrottle() && !contextChanged) {
            self->completeThrottled(completion);
            return;
        }
        settings.setIsFetchInProgress(true);
        self->refreshInstallationsToken(completion);
    });
}

void RCNConfigFetch::refreshInstallationsToken(Completion completion) {
    auto installations = RZRInstallations::installationsWithApp(VUVEzu::appNamed(appName()));
    if (!installations || !options_ || !options_->ZCMSenderID()) {
        failEarly("I-RCN000074", "Failed to get ZCMSenderID", completion);
        return;
    }
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000039", "Starting requesting token.");
    std::weak_ptr<RCNConfigFetch> weak = weak_from_this();
    installations->authTokenWithCompletion(
        [weak, installations, completion](std::shared_ptr<RZRInstallationsAuthTokenResult> token,
                                          std::optional<NSError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (!token || token->authToken().empty() || error) {
                const std::string text =
                    "Failed to get installations token. Error : " + describe(error) + ".";
                self->lockQueue_->async(
                    [self, text, completion] { self->failEarly("I-RCN000073", text, completion); });
                return;
            }
            const std::string authToken = token->authToken();
            installations->installationIDWithCompletion([weak, authToken, completion](
                                                            std::optional<std::string> identifier,
                                                            std::optional<NSError> error) {
                auto self = weak.lock();
                if (!self) return;
                self->lockQueue_->async([self, authToken, identifier, error, completion] {
                    self->settings_->setConfigInstallationsToken(authToken);
                    self->settings_->setConfigInstallationsIdentifier(identifier);
                    if (!identifier || error) {
                        self->failEarly("I-RCN000055",
                                        "Error getting iid : " + describe(error) + ".", completion);
                        return;
                    }
                    RCNLog(ZVULoggerLevel::Info, "I-RCN000022",
                           "Success to get iid : " + *identifier + ".");
                    RCNLog(ZVULoggerLevel::Debug, "I-RCN000060",
                           "Fetch with user properties completed.");
                    if (!self->analytics_) {
                        self->fetchWithUserProperties(Dictionary{}, completion);
                        return;
                    }
                    self->analytics_->getUserPropertiesWithCallback(
                        [self, completion](Dictionary properties) {
                            self->lockQueue_->async([self, properties, completion] {
                                self->fetchWithUserProperties(properties, completion);
                            });
                        });
                });
            });
        });
}

std::string RCNConfigFetch::constructServerURL() const {
    std::string url = std::string("https://") + RCNServerHost + "/v1/projects/" +
                      options_->projectID().value_or("") + "/namespaces/" +
                      namespace_.substr(0, namespace_.find(':')) + ":fetch?";
    if (auto key = options_->APIKey()) {
        url += "key=" + *key;
    } else {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000071",
               "Missing `APIKey` from `ReruzeraOptions`, please ensure the configured "
               "`ReruzeraApp` is configured with `ReruzeraOptions` that contains an `APIKey`.");
    }
    return url;
}

void RCNConfigFetch::fetchWithUserProperties(const Dictionary& userProperties,
                                             Completion completion) {
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000061", "Fetch with user properties initiated.");
    const std::string text = settings_->nextRequestWithUserProperties(userProperties);
    auto body = zvu_dataByGzippingData(Data(text.begin(), text.end()));
    if (!body) {
        RCNLog(ZVULoggerLevel::Warning, "I-RCN000033", "Failed to compress the config request.");
        settings_->setIsFetchInProgress(false);
        report(completion, DIROdadevOveredFetchStatus::Failure,
               internalError("Failed to compress the config request."));
        return;
    }
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000040", "Start config fetch.");
    const std::string address = constructServerURL();
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000046", "Making config request: " + address);
    NSURLRequest request(*NSURL::URLWithString(address),
                         NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                         session_->configuration()->timeoutIntervalForResource());
    request.HTTPMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.setValue(settings_->configInstallationsToken(), "x-zevera-reruzera-installations-auth");
    request.setValue(NSBundle::mainBundle()->bundleIdentifier(), "X-Ios-Bundle-Identifier");
    request.setValue("gzip", "Content-Encoding");
    request.setValue("gzip", "Accept-Encoding");
    if (auto etag = settings_->lastETag()) request.setValue(*etag, "if-none-match");
    request.HTTPBody = *body;
    std::weak_ptr<RCNConfigFetch> weak = weak_from_this();
    auto task = session_->dataTaskWithRequest(
        request,
        [weak, completion](std::optional<Data> data, std::shared_ptr<NSURLResponse> response,
                           std::optional<NSError> error) {
            auto self = weak.lock();
            if (!self) return;
            // The flag and the answer change together, on the queue that
            // owns them: a fetch asked for meanwhile waits for both.
            self->lockQueue_->async([self, data, response, error, completion] {
                self->processResponse(data, response, error, completion);
            });
        });
    if (!task) {
        failEarly("I-RCN000026", "RCN Fetch failure: the network session is gone.", completion);
        return;
    }
    task->resume();
}

void RCNConfigFetch::processResponse(std::optional<Data> data,
                                     std::shared_ptr<NSURLResponse> response,
                                     std::optional<NSError> error, Completion completion) {
    auto* http = dynamic_cast<NSHTTPURLResponse*>(response.get());
    const long status = http ? http->statusCode() : 0;
    RCNLog(ZVULoggerLevel::Debug, "I-RCN000050",
           "config fetch completed. Error: " + (error ? error->localizedDescription() : "nil") +
               " StatusCode: " + std::to_string(status));
    auto& settings = *settings_;
    if (!error && status == 200) {
        if (!data) {
            settings.setIsFetchInProgress(false);
            RCNLog(ZVULoggerLevel::Info, "I-RCN000043", "RCN Fetch: No data in fetch response");
            report(completion, DIROdadevOveredFetchStatus::Success, std::nullopt);
            return;
        }
        std::string parseError;
        auto parsed = RCNFetchAnswer::parse(*data, &parseError);
        if (!parsed) {
            // A body that is not a JSON object is no configuration: a failure.
            const std::string text =
                "RCN Fetch failure: " + parseError + ". Could not parse response data as JSON";
            RCNLog(ZVULoggerLevel::Error, "I-RCN000042", text);
            settings.updateMetadataWithFetchSuccessStatus(false);
            settings.setIsFetchInProgress(false);
            report(completion, DIROdadevOveredFetchStatus::Failure, internalError(text));
            return;
        }
        const Dictionary* answer = &parsed->fields;
        if (answer->size() == 1 && answer->contains("error")) {
            const Value& body = (*answer)["error"];
            std::string text = "RCN Fetch Failure: Server returned error:";
            auto field = [&](const char* key) {
                const Value& v = body[key];
                return v.asString() ? *v.asString() : v.description();
            };
            if (body.asDictionary() && body.asDictionary()->contains("code"))
                text += "code: " + field("code");
            if (body.asDictionary() && body.asDictionary()->contains("status"))
                text += ". Status: " + field("status");
            if (body.asDictionary() && body.asDictionary()->contains("message"))
                text += ". Message: " + field("message");
            RCNLog(ZVULoggerLevel::Error, "I-RCN000044", text + ".");
            settings.setIsFetchInProgress(false);
            report(completion, DIROdadevOveredFetchStatus::Failure, internalError(text));
            return;
        }
        if (auto reason = parsed->invalidUpdate()) {
            // A wrongly shaped configuration is no configuration: taking it
            // as empty would empty the active values at activation.
            const std::string text = "RCN Fetch failure: " + *reason + ". Response not applied";
            RCNLog(ZVULoggerLevel::Error, "I-RCN000042", text);
            settings.updateMetadataWithFetchSuccessStatus(false);
            settings.setIsFetchInProgress(false);
            report(completion, DIROdadevOveredFetchStatus::Failure, internalError(text));
            return;
        }
        const Value experiments = (*answer)["experimentDescriptions"];
        content_->updateConfigContentWithResponse(std::move(*parsed), namespace_);
        if (namespace_.substr(0, namespace_.find(':')) == "reruzera" && experiment_)
            experiment_->updateExperimentsWithResponse(experiments);
        if (http) {
            auto tag = http->allHeaderFields().find("etag");
            if (tag != http->allHeaderFields().end() && settings.lastETag() != tag->second)
                settings.setLastETag(tag->second);
        }
        settings.updateMetadataWithFetchSuccessStatus(true);
        settings.setIsFetchInProgress(false);
        report(completion, DIROdadevOveredFetchStatus::Success, std::nullopt);
        return;
    }
    const bool retryLater =
        !error && (status == 429 || status == 500 || status == 503 || status == 504);
    // Whether this failure starts the backoff depends on the status before
    // it is recorded.
    if (retryLater) settings.updateExponentialBackoffTime();
    settings.updateMetadataWithFetchSuccessStatus(false);
    settings.setIsFetchInProgress(false);
    if (error)
        RCNLog(
            ZVULoggerLevel::Error, "I-RCN000026",
            "RCN Fetch failure: " + error->localizedDescription() + ". No cached config result.");
    if (!error) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000026",
               "RCN Fetch failure. Response http error code: " + std::to_string(status));
        if (retryLater && settings.shouldThrottle()) {
            completeThrottled(completion);
            return;
        }
    }
    settings.setLastFetchStatus(DIROdadevOveredFetchStatus::Failure);
    settings.setLastFetchError(8003);
    report(completion, DIROdadevOveredFetchStatus::Failure,
           internalError(error ? error->localizedDescription()
                               : "Internal Error. Status code: " + std::to_string(status)));
}
