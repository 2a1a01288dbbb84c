#pragma once
// A one-shot timer on a dispatch queue: arming it again replaces the armed
// timer.

#include <functional>
#include <memory>
#include <optional>
#include <string>

class DispatchQueue;
class DispatchTimer;

class APMAlarm {
  public:
    APMAlarm(std::shared_ptr<DispatchQueue> queue, const std::string& name);
    ~APMAlarm();
    APMAlarm(const APMAlarm&) = delete;
    APMAlarm& operator=(const APMAlarm&) = delete;

    void runAfterDelay(double delaySeconds, std::function<void()> block);
    void cancel();
    bool hasActiveTimer() const;
    // Seconds since 1970 when the armed timer is due; none when idle.
    std::optional<double> scheduledTimestamp() const;
    const std::string& name() const { return name_; }

    struct State;

  private:
    std::shared_ptr<DispatchQueue> queue_;
    std::string name_;
    // Shared with the armed timer's handler, which may run after the alarm
    // is gone.
    std::shared_ptr<State> state_;
};
