#include "services/transport/ZDTCORLifecycle.h"

#include <mutex>
#include <string>

#include "platform/notifications/NSNotificationCenter.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTCORPlatform.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTCORTransformer.h"
#include "services/transport/ZDTCORUploadCoordinator.h"
#include "services/transport/ZDTLGSUploader.h"

namespace {
void relay(const std::string& verb,
           void (ZDTCORLifecycleProtocol::*call)(ZDTCORApplicationProtocol&)) {
    auto app = ZDTCORApplication::sharedApplication();
    ZDTCORLogDebug("Signaling ZDTCORTransformer that the app is " + verb + ".");
    (ZDTCORTransformer::sharedInstance().get()->*call)(*app);
    ZDTCORLogDebug("Signaling ZDTCORUploadCoordinator that the app is " + verb + ".");
    (ZDTCORUploadCoordinator::sharedInstance().get()->*call)(*app);
    ZDTCORLogDebug("Signaling ZDTCORRegistrar that the app is " + verb + ".");
    (ZDTCORRegistrar::sharedInstance().get()->*call)(*app);
}
}  // namespace

ZDTCORLifecycle::ZDTCORLifecycle() {
    auto center = NSNotificationCenter::defaultCenter();
    center->addObserver(
        this,
        [](const NSNotification&) {
            relay("backgrounding", &ZDTCORLifecycleProtocol::appWillBackground);
        },
        std::string(kZDTCORApplicationDidEnterBackgroundNotification), nullptr);
    center->addObserver(
        this,
        [](const NSNotification&) {
            relay("foregrounding", &ZDTCORLifecycleProtocol::appWillForeground);
        },
        std::string(kZDTCORApplicationWillEnterForegroundNotification), nullptr);
    center->addObserver(
        this,
        [](const NSNotification&) {
            relay("terminating", &ZDTCORLifecycleProtocol::appWillTerminate);
        },
        std::string(kZDTCORApplicationWillTerminateNotification), nullptr);
}

ZDTCORLifecycle::~ZDTCORLifecycle() {
    NSNotificationCenter::defaultCenter()->removeObserver(this);
}

std::shared_ptr<ZDTCORLifecycle> ZDTCORLifecycle::sharedInstance() {
    static const auto* shared = new auto(std::make_shared<ZDTCORLifecycle>());
    return *shared;
}

void ZDTCORLoadTransport() {
    static std::once_flag once;
    std::call_once(once, [] {
        ZDTCORApplication::sharedApplication();
        ZDTCORLifecycle::sharedInstance();
        ZDTCORFlatFileStorage::sharedInstance();
        ZDTLGSUploader::registerWithRegistrar();
    });
}
