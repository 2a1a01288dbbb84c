#include "services/crash/RZRCTRTKNetworkClient.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "services/crash/RZRCTRNetworkResponseHandler.h"

namespace {

constexpr double kMinimumRetryBase = 2.0;
constexpr double kLongestRetryAfterSeconds = 86400.0;

// The session's delegate: the client itself would be kept alive by the
// session it owns.
class SessionDelegate : public NSURLSessionDelegate {
  public:
    void URLSession(const Session&, const std::optional<NSError>&) override {}
    using NSURLSessionDelegate::URLSession;
};

}  // namespace

std::shared_ptr<RZRCTRTKNetworkClient> RZRCTRTKNetworkClient::client(
    std::shared_ptr<DispatchQueue> queue,
    std::shared_ptr<NSURLSessionConfiguration> configuration) {
    std::shared_ptr<RZRCTRTKNetworkClient> client(new RZRCTRTKNetworkClient());
    if (!client->makeSession(std::move(configuration), std::move(queue))) return nullptr;
    return client;
}

bool RZRCTRTKNetworkClient::makeSession(std::shared_ptr<NSURLSessionConfiguration> configuration,
                                        std::shared_ptr<DispatchQueue> queue) {
    if (!configuration) configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    session_ = NSURLSession::sessionWithConfiguration(
        configuration, std::make_shared<SessionDelegate>(), std::move(queue));
    return session_ != nullptr;
}

RZRCTRTKNetworkClient::~RZRCTRTKNetworkClient() {
    if (session_) session_->finishTasksAndInvalidate();
}

std::shared_ptr<RZRCTRTKNetworkClient> RZRCTRTKNetworkClient::self() {
    return std::static_pointer_cast<RZRCTRTKNetworkClient>(shared_from_this());
}

NSError RZRCTRTKNetworkClient::retryLimitError(const NSURLRequest& request,
                                               std::uint64_t retryLimit) {
    Dictionary info{{"retryLimit", Value(static_cast<unsigned long long>(retryLimit))}};
    if (request.URL)
        info.set(NSURLErrorFailingURLStringErrorKey, Value(request.URL->absoluteString()));
    return RZRCTRNetworkResponseHandler::errorForCode(RZRCTRNetworkErrorRetryLimitReached,
                                                      std::move(info));
}

void RZRCTRTKNetworkClient::startDataTaskWithRequest(const NSURLRequest& request,
                                                     DataCompletion completionHandler) {
    startDataTaskWithRequest(request, kDefaultRetryLimit, std::move(completionHandler));
}

void RZRCTRTKNetworkClient::startDataTaskWithRequest(const NSURLRequest& request,
                                                     std::uint64_t retryLimit,
                                                     DataCompletion completionHandler) {
    startDataTaskWithRequest(request, retryLimit, 0, std::move(completionHandler));
}

void RZRCTRTKNetworkClient::startDataTaskWithRequest(const NSURLRequest& request,
                                                     std::uint64_t retryLimit, std::uint64_t tries,
                                                     DataCompletion completionHandler) {
    auto client = self();
    auto task = session_->dataTaskWithRequest(
        request, [client, request, retryLimit, tries, completionHandler](
                     std::optional<Data> data, std::shared_ptr<NSURLResponse> response,
                     std::optional<NSError> taskError) {
            RZRCTRNetworkResponseHandler::handleCompletedResponse(
                response, request, taskError, [&](bool retry, std::optional<NSError> error) {
                    if (!retry) {
                        completionHandler(std::move(data), response, std::move(error));
                    } else if (tries >= retryLimit) {
                        completionHandler(std::nullopt, nullptr,
                                          retryLimitError(request, retryLimit));
                    } else {
                        client->runAfterRetryValueFromResponse(response, tries, [=] {
                            client->startDataTaskWithRequest(request, retryLimit, tries + 1,
                                                             completionHandler);
                        });
                    }
                });
        });
    if (!task) {
        completionHandler(
            std::nullopt, nullptr,
            RZRCTRNetworkResponseHandler::errorForCode(RZRCTRNetworkErrorTaskNotCreated, {}));
        return;
    }
    task->resume();
}

void RZRCTRTKNetworkClient::startDownloadTaskWithRequest(const NSURLRequest& request,
                                                         DownloadCompletion completionHandler) {
    startDownloadTaskWithRequest(request, kDefaultRetryLimit, std::move(completionHandler));
}

void RZRCTRTKNetworkClient::startDownloadTaskWithRequest(const NSURLRequest& request,
                                                         std::uint64_t retryLimit,
                                                         DownloadCompletion completionHandler) {
    startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completionHandler));
}

void RZRCTRTKNetworkClient::startDownloadTaskWithRequest(const NSURLRequest& request,
                                                         std::uint64_t retryLimit,
                                                         std::uint64_t tries,
                                                         DownloadCompletion completionHandler) {
    auto client = self();
    auto task = session_->downloadTaskWithRequest(
        request, [client, request, retryLimit, tries, completionHandler](
                     std::optional<NSURL> location, std::shared_ptr<NSURLResponse> response,
                     std::optional<NSError> taskError) {
            RZRCTRNetworkResponseHandler::handleCompletedResponse(
                response, request, taskError, [&](bool retry, std::optional<NSError> error) {
                    if (!retry) {
                        completionHandler(std::move(location), response, std::move(error));
                    } else if (tries >= retryLimit) {
                        completionHandler(std::nullopt, nullptr,
                                          retryLimitError(request, retryLimit));
                    } else {
                        client->runAfterRetryValueFromResponse(response, tries, [=] {
                            client->startDownloadTaskWithRequest(request, retryLimit, tries + 1,
                                                                 completionHandler);
                        });
                    }
                });
        });
    if (!task) {
        completionHandler(
            std::nullopt, nullptr,
            RZRCTRNetworkResponseHandler::errorForCode(RZRCTRNetworkErrorTaskNotCreated, {}));
        return;
    }
    task->resume();
}

double RZRCTRTKNetworkClient::randomDoubleWithMin(double min, double max) {
    return min + (max - min) * drand48();
}

double RZRCTRTKNetworkClient::generateRandomJitter() {
    return randomDoubleWithMin(static_cast<double>(0.9f), static_cast<double>(1.1f));
}

double RZRCTRTKNetworkClient::computeDelayForResponse(
    const std::shared_ptr<NSURLResponse>& response, std::uint64_t retryCount) {
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    if (http && http->valueForHTTPHeaderField("Retry-After")) {
        // The server said how long to wait: that, within bounds, however
        // often it has said so.
        return std::min(RZRCTRNetworkResponseHandler::retryValueForResponse(response),
                        kLongestRetryAfterSeconds);
    }
    const double exponent = static_cast<double>(std::max<std::uint64_t>(retryCount, 1));
    // pow of finite numbers may be infinite; the cap keeps the delay finite.
    const double delay = std::min(std::pow(kMinimumRetryBase, exponent), kMaximumRetryDelaySeconds);
    return generateRandomJitter() * delay;
}

void RZRCTRTKNetworkClient::runAfterRetryValueFromResponse(
    const std::shared_ptr<NSURLResponse>& response, std::uint64_t attempts,
    const std::shared_ptr<DispatchQueue>& queue, std::function<void()> block) {
    queue->asyncAfter(sim::seconds(computeDelayForResponse(response, attempts)), std::move(block));
}

void RZRCTRTKNetworkClient::runAfterRetryValueFromResponse(
    const std::shared_ptr<NSURLResponse>& response, std::uint64_t attempts,
    std::function<void()> block) {
    runAfterRetryValueFromResponse(response, attempts, DispatchQueue::global(), std::move(block));
}

void RZRCTRTKNetworkClient::invalidateAndCancel() {
    session_->invalidateAndCancel();
}
