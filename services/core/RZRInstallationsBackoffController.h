#pragma once
// The gate in front of every registration and token request: it remembers
// the outcome of the most recent request and says whether the next may go
// now. Failures the service calls permanent close it for a day, other server
// failures for an exponentially growing time (about 2 s up to 30 min), a
// success opens it. Kept in memory only; any thread may call.
//
// Elapsed time is measured on a monotonic clock by default, so setting the
// wall clock back does not keep the gate shut; with a clock that does go
// back, the wait restarts from the moment that is seen, never longer than one
// interval.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/foundation/Object.h"

enum class RZRInstallationsBackoffEvent : std::int64_t {
    Success = 0,
    RecoverableFailure = 1,
    UnrecoverableFailure = 2,
};

class RZRInstallationsBackoffEventData : public NSObject {
  public:
    RZRInstallationsBackoffEventData(RZRInstallationsBackoffEvent eventType, double lastEventDate,
                                     std::int64_t eventCount);
    std::string className() const override { return "RZRInstallationsBackoffEventData"; }

    RZRInstallationsBackoffEvent eventType() const { return eventType_; }
    // Seconds on the controller's clock.
    double lastEventDate() const { return lastEventDate_; }
    std::int64_t eventCount() const { return eventCount_; }
    double backoffTimeInterval() const { return backoffTimeInterval_; }

    static double backoffTimeIntervalWithEvent(RZRInstallationsBackoffEvent event,
                                               std::int64_t eventCount);
    static double recoverableErrorBackoffTimeForAttemptNumber(std::int64_t attempt);
    // A whole number of milliseconds from 0 to 999, in seconds.
    static double randomMilliseconds();

  private:
    RZRInstallationsBackoffEvent eventType_;
    double lastEventDate_;
    std::int64_t eventCount_;
    double backoffTimeInterval_;
};

class RZRInstallationsBackoffControllerProtocol {
  public:
    virtual ~RZRInstallationsBackoffControllerProtocol() = default;
    virtual void registerEvent(RZRInstallationsBackoffEvent event) = 0;
    virtual bool isNextRequestAllowed() = 0;
};

class RZRInstallationsBackoffController : public NSObject,
                                          public RZRInstallationsBackoffControllerProtocol {
  public:
    // Seconds on some clock; only differences matter.
    using DateProvider = std::function<double()>;

    // The process's monotonic clock (sim::Clock).
    RZRInstallationsBackoffController();
    explicit RZRInstallationsBackoffController(DateProvider currentDateProvider);
    std::string className() const override { return "RZRInstallationsBackoffController"; }

    void registerEvent(RZRInstallationsBackoffEvent event) override;
    bool isNextRequestAllowed() override;
    std::shared_ptr<RZRInstallationsBackoffEventData> lastEventData() const;

  private:
    mutable std::mutex mutex_;
    DateProvider currentDateProvider_;
    std::shared_ptr<RZRInstallationsBackoffEventData> lastEventData_;
};
