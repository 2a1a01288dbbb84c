#include "services/measurement/APMMeasurement.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"

void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const NSNotification&) {}

void APMMeasurement::clearExpiredStoredDeepLinkOnWorkerQueue() {}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t>) {}

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
    return false;
}

void APMMeasurement::requestDeferredDeepLink() {}

std::optional<std::string> APMMeasurement::deepLinkFromUserActivity(
    const std::shared_ptr<NSObject>& activity) {
    auto object = std::dynamic_pointer_cast<RuntimeObject>(activity);
    if (!object || !object->respondsToSelector("activityType") ||
        !object->respondsToSelector("webpageURL"))
        return std::nullopt;
    if (objc_msgSend<std::string>(object, "activityType") != "NSUserActivityTypeBrowsingWeb")
        return std::nullopt;
    auto url = objc_msgSend<std::string>(object, "webpageURL");
    if (url.empty()) return std::nullopt;
    return url;
}

void APMMeasurement::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds) {
    if (DispatchQueue::currentLabel() == worker_->label()) {
        monitor().logWithLevel(2, 23163, "Deep link handling must not run on the worker queue");
        return;
    }
    if (url.empty()) return;
    worker_->async([this, self = shared_from_this(), url, eventTimestampInSeconds] {
        openedURLs_.emplace_back(url, eventTimestampInSeconds);
    });
}

std::vector<std::pair<std::string, double>> APMMeasurement::openedURLs() {
    std::vector<std::pair<std::string, double>> urls;
    worker_->sync([&] { urls = openedURLs_; });
    return urls;
}
