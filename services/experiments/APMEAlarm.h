#pragma once
// The task manager's one pending fetch timer: running it again replaces the
// earlier timer, and it fires its block once on its queue. Deadlines are on
// the process clock (virtual in tests); times are seconds since 1970.
// Thread-safe.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Timer.h"

class APMEAlarm {
  public:
    APMEAlarm(std::string name, std::shared_ptr<DispatchQueue> queue);
    ~APMEAlarm();

    const std::string& name() const { return name_; }
    void runAfterDelay(double seconds, std::function<void()> block);
    void cancel();
    // When the pending timer fires, or 0 when none is pending.
    double scheduledTime() const;

  private:
    std::string name_;
    std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    std::shared_ptr<DispatchTimer> timer_;
    double scheduledTime_ = 0;
    unsigned long generation_ = 0;
};
