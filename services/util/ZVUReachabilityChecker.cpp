#include "services/util/ZVUReachabilityChecker.h"

#include "services/util/ZVULogger.h"

namespace {

const char* const kService = "[ZVUReachability]";

std::string code(long long number) {
    return ZVUMessageCode("I-REA%06ld", number);
}

void reachabilityCallback(SCNetworkReachabilityRef, SCNetworkReachabilityFlags flags, void* info) {
    static_cast<ZVUReachabilityChecker*>(info)->reachabilityFlagsChanged(flags);
}

void releaseReachability(SCNetworkReachabilityRef ref) {
    CFRelease(ref);
}

}  // namespace

std::string ZVUReachabilityStatusString(ZVUReachabilityStatus status) {
    switch (status) {
        case ZVUReachabilityStatus::Unknown:
            return "Reachability Unknown";
        case ZVUReachabilityStatus::NotReachable:
            return "Not reachable";
        case ZVUReachabilityStatus::ReachableViaWifi:
            return "Reachable via Wifi";
        case ZVUReachabilityStatus::ReachableViaCellular:
            return "Reachable via Cellular Data";
    }
    return ZVUFormat("Invalid reachability status %d", {static_cast<int>(status)});
}

const ZVUReachabilityApi* ZVUDefaultReachabilityApi() {
    static const ZVUReachabilityApi api{
        &SCNetworkReachabilityCreateWithName, &SCNetworkReachabilitySetCallback,
        &SCNetworkReachabilityScheduleWithRunLoop, &SCNetworkReachabilityUnscheduleFromRunLoop,
        &releaseReachability};
    return &api;
}

std::shared_ptr<ZVUReachabilityChecker> ZVUReachabilityChecker::initWithReachabilityDelegate(
    const std::shared_ptr<NSObject>& delegate, const std::string& withHost) {
    if (withHost.empty()) {
        ZVULogError(kService, false, code(902001), "Invalid host specified");
        return nullptr;
    }
    auto checker = std::make_shared<ZVUReachabilityChecker>(withHost);
    checker->setReachabilityDelegate(delegate);
    return checker;
}

ZVUReachabilityChecker::~ZVUReachabilityChecker() {
    delegate_.reset();
    stop();
}

bool ZVUReachabilityChecker::start() {
    if (!handle_) {
        handle_ = api_->createWithNameFn(kCFAllocatorDefault, host_.c_str());
        if (!handle_) return false;
        SCNetworkReachabilityContext context{0, this, nullptr, nullptr, nullptr};
        bool ok = api_->setCallbackFn(handle_, &reachabilityCallback, &context) &&
                  api_->scheduleWithRunLoopFn(handle_, CFRunLoopGetMain(), kCFRunLoopCommonModes);
        if (!ok) {
            api_->releaseFn(handle_);
            handle_ = nullptr;
            ZVULogError(kService, false, code(902002), "Failed to start reachability handle");
            return false;
        }
    }
    ZVULogDebug(kService, false, code(902003), "Monitoring the network status");
    return true;
}

void ZVUReachabilityChecker::stop() {
    if (!handle_) return;
    status_ = ZVUReachabilityStatus::Unknown;
    api_->unscheduleFromRunLoopFn(handle_, CFRunLoopGetMain(), kCFRunLoopCommonModes);
    api_->releaseFn(handle_);
    handle_ = nullptr;
}

void ZVUReachabilityChecker::setReachabilityApi(const ZVUReachabilityApi* api) {
    if (handle_) {
        ZVULogError(kService, false, code(902000),
                    "Cannot change reachability API while reachability is running. Call stop "
                    "first.");
        return;
    }
    if (api) api_ = api;
}

void ZVUReachabilityChecker::setReachabilityDelegate(const std::shared_ptr<NSObject>& delegate) {
    if (!delegate) {
        delegate_.reset();
        return;
    }
    auto conforming = std::dynamic_pointer_cast<ZVUReachabilityDelegate>(delegate);
    if (!conforming) {
        ZVULogError(kService, false, ZVUMessageCode("I-NET%06ld", 902005),
                    "Reachability delegate doesn't conform to Reachability protocol.");
        return;
    }
    delegate_ = conforming;
}

ZVUReachabilityStatus ZVUReachabilityChecker::statusForFlags(
    SCNetworkReachabilityFlags flags) const {
    bool reachable = flags & kSCNetworkReachabilityFlagsReachable;
    bool connectionRequired = flags & kSCNetworkReachabilityFlagsConnectionRequired;
    bool automatic = flags & (kSCNetworkReachabilityFlagsConnectionOnTraffic |
                              kSCNetworkReachabilityFlagsConnectionOnDemand);
    bool intervention = flags & kSCNetworkReachabilityFlagsInterventionRequired;
    if (reachable && (!connectionRequired || (automatic && !intervention))) {
        return ZVUReachabilityStatus::ReachableViaWifi;
    }
    return ZVUReachabilityStatus::NotReachable;
}

void ZVUReachabilityChecker::reachabilityFlagsChanged(SCNetworkReachabilityFlags flags) {
    ZVUReachabilityStatus status = statusForFlags(flags);
    if (status == status_) return;
    const char* word = status == ZVUReachabilityStatus::Unknown        ? "Unknown"
                       : status == ZVUReachabilityStatus::NotReachable ? "Disconnected"
                                                                       : "Connected";
    ZVULogDebug(kService, false, code(902004), "Network status has changed. Code:%@, status:%@",
                static_cast<int>(status), word);
    status_ = status;
    if (auto delegate = delegate_.lock()) delegate->reachability(*this, status_);
}
