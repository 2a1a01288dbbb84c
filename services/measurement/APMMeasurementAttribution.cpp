#include "services/measurement/APMMeasurement.h"

#include "platform/notifications/NSNotificationCenter.h"

void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const NSNotification&) {}

void APMMeasurement::clearExpiredStoredDeepLinkOnWorkerQueue() {}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t>) {}

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
    return false;
}

void APMMeasurement::requestDeferredDeepLink() {}
