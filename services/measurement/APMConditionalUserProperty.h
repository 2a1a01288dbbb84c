#pragma once
// A user property that is set now but takes effect only when its trigger
// event is logged, and that lapses after a time to live. Plain copyable
// data; the controller and the database give it meaning.

#include <optional>
#include <string>

#include "services/measurement/APMEvent.h"
#include "services/measurement/APMValue.h"

class APMConditionalUserProperty {
  public:
    // Both ends of the trigger time-out and time-to-live ranges, in seconds.
    static constexpr double kMinimumInterval = 0.001;
    static constexpr double kMaximumInterval = 15552000;  // 180 days

    APMConditionalUserProperty() = default;
    virtual ~APMConditionalUserProperty() = default;
    APMConditionalUserProperty(const APMConditionalUserProperty&) = default;
    APMConditionalUserProperty& operator=(const APMConditionalUserProperty&) = default;

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& origin() const { return origin_; }
    void setOrigin(std::string origin) { origin_ = std::move(origin); }
    // No value asks for removal when handed to the controller's setter.
    const std::optional<APMValue>& value() const { return value_; }
    void setValue(std::optional<APMValue> value) { value_ = std::move(value); }
    // Empty: active at once.
    const std::string& triggerEventName() const { return triggerEventName_; }
    void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
    // Seconds it may wait for its trigger, from creation.
    double triggerTimeout() const { return triggerTimeout_; }
    void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
    // Seconds it stays active, from activation.
    double timeToLive() const { return timeToLive_; }
    void setTimeToLive(double seconds) { timeToLive_ = seconds; }
    const std::optional<APMEvent>& triggeredEvent() const { return triggeredEvent_; }
    void setTriggeredEvent(std::optional<APMEvent> event) { triggeredEvent_ = std::move(event); }
    const std::optional<APMEvent>& timedOutEvent() const { return timedOutEvent_; }
    void setTimedOutEvent(std::optional<APMEvent> event) { timedOutEvent_ = std::move(event); }
    // For a clear request, the event logged when the property is removed.
    const std::optional<APMEvent>& expiredEvent() const { return expiredEvent_; }
    void setExpiredEvent(std::optional<APMEvent> event) { expiredEvent_ = std::move(event); }
    // Seconds since 1970.
    double creationTimestamp() const { return creationTimestamp_; }
    void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
    bool isActive() const { return active_; }
    void setActive(bool active) { active_ = active; }
    double triggeredTimestamp() const { return triggeredTimestamp_; }
    void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

  private:
    std::string name_;
    std::string origin_;
    std::optional<APMValue> value_;
    std::string triggerEventName_;
    double triggerTimeout_ = 0;
    double timeToLive_ = 0;
    std::optional<APMEvent> triggeredEvent_;
    std::optional<APMEvent> timedOutEvent_;
    std::optional<APMEvent> expiredEvent_;
    double creationTimestamp_ = 0;
    bool active_ = false;
    double triggeredTimestamp_ = 0;
};

// The class the event-editing runtime and the connector hand out; nothing
// of its own.
class ZIREConditionalUserProperty : public APMConditionalUserProperty {
  public:
    using APMConditionalUserProperty::APMConditionalUserProperty;
};

// Origin, name, value (when present), trigger time-out and time to live
// within their limits; every refusal is logged.
bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property);
