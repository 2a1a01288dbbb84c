#pragma once
// Watches whether one named host can be reached and tells its delegate, on
// the main queue, each time the derived status changes.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/reachability/SCNetworkReachability.h"

enum class ZVUReachabilityStatus : std::int32_t {
    Unknown = 0,
    NotReachable = 1,
    ReachableViaWifi = 2,
    ReachableViaCellular = 3,
};

// "Reachability Unknown", "Not reachable", ...; any other value gives
// "Invalid reachability status %d".
std::string ZVUReachabilityStatusString(ZVUReachabilityStatus status);

// The reachability service, as a table that tests may replace while the
// checker is stopped.
struct ZVUReachabilityApi {
    SCNetworkReachabilityRef (*createWithNameFn)(CFAllocatorRef, const char*);
    bool (*setCallbackFn)(SCNetworkReachabilityRef, SCNetworkReachabilityCallBack,
                          SCNetworkReachabilityContext*);
    bool (*scheduleWithRunLoopFn)(SCNetworkReachabilityRef, CFRunLoopRef, CFRunLoopMode);
    bool (*unscheduleFromRunLoopFn)(SCNetworkReachabilityRef, CFRunLoopRef, CFRunLoopMode);
    void (*releaseFn)(SCNetworkReachabilityRef);
};
// The table of the platform's functions.
const ZVUReachabilityApi* ZVUDefaultReachabilityApi();

class ZVUReachabilityChecker;

class ZVUReachabilityDelegate {
  public:
    virtual ~ZVUReachabilityDelegate() = default;
    // reachability:statusChanged:
    virtual void reachability(ZVUReachabilityChecker& reachability,
                              ZVUReachabilityStatus statusChanged) = 0;
};

class ZVUReachabilityChecker : public NSObject {
  public:
    // Null, after logging, for an empty host. A delegate that is not a
    // ZVUReachabilityDelegate is refused (the checker is made without one).
    static std::shared_ptr<ZVUReachabilityChecker> initWithReachabilityDelegate(
        const std::shared_ptr<NSObject>& delegate, const std::string& withHost);
    ~ZVUReachabilityChecker() override;
    std::string className() const override { return "ZVUReachabilityChecker"; }

    // True when monitoring runs (also when it already ran).
    bool start();
    void stop();

    ZVUReachabilityStatus reachabilityStatus() const { return status_; }
    const ZVUReachabilityApi* reachabilityApi() const { return api_; }
    // Refused (and logged) while running.
    void setReachabilityApi(const ZVUReachabilityApi* api);
    const std::string& host() const { return host_; }
    SCNetworkReachabilityRef reachability() const { return handle_; }
    std::shared_ptr<ZVUReachabilityDelegate> reachabilityDelegate() const {
        return delegate_.lock();
    }
    // Null clears; a non-conforming object is refused and logged.
    void setReachabilityDelegate(const std::shared_ptr<NSObject>& delegate);
    bool isActive() const { return handle_ != nullptr; }

    ZVUReachabilityStatus statusForFlags(SCNetworkReachabilityFlags flags) const;
    void reachabilityFlagsChanged(SCNetworkReachabilityFlags flags);

    explicit ZVUReachabilityChecker(std::string host) : host_(std::move(host)) {}

  private:
    ZVUReachabilityStatus status_ = ZVUReachabilityStatus::Unknown;
    const ZVUReachabilityApi* api_ = ZVUDefaultReachabilityApi();
    SCNetworkReachabilityRef handle_ = nullptr;
    std::string host_;
    std::weak_ptr<ZVUReachabilityDelegate> delegate_;
};
