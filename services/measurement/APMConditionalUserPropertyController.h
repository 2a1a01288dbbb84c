#pragma once
// Sets, clears and lists conditional user properties and, for each logged
// event, activates the ones waiting for it, drops the ones that waited too
// long and removes the expired ones, writing the events their owners
// attached. Holds no state: everything lives in the engine's database, and
// all database work runs on the engine's serial worker queue.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "services/measurement/APMConditionalUserProperty.h"
#include "services/measurement/APMEvent.h"

class APMDatabase;

// What the controller needs of the measurement engine.
class APMConditionalUserPropertyEngine {
  public:
    virtual ~APMConditionalUserPropertyEngine() = default;
    virtual bool isEnabled() = 0;
    // Used on the worker queue only.
    virtual APMDatabase* database() = 0;
    // Posts the block to the worker queue; never runs it inline.
    virtual void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) = 0;
    // YES on the worker queue; otherwise logs the method's name.
    virtual bool checkOnBackgroundThread(const std::string& methodName) = 0;
    virtual void writeEventOnWorkerQueue(const APMEvent& event) = 0;
};

class APMConditionalUserPropertyController
    : public std::enable_shared_from_this<APMConditionalUserPropertyController> {
  public:
    // The process-wide controller; the engine attaches itself when it starts.
    static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();

    // Scheduled blocks hold the controller weakly: create it through
    // make_shared.
    explicit APMConditionalUserPropertyController(
        std::weak_ptr<APMConditionalUserPropertyEngine> engine = {});
    void setEngine(std::weak_ptr<APMConditionalUserPropertyEngine> engine);

    // Any thread. A copy named `name` is validated and scheduled; without a
    // value it asks for removal.
    void setConditionalUserProperty(const APMConditionalUserProperty* property,
                                    const std::string& name);
    // Any thread. Removes the property, logging `clearEvent` when present.
    void clearConditionalUserPropertyWithClearEvent(const std::optional<APMEvent>& clearEvent,
                                                    const std::string& name);
    // Any thread but the worker queue: blocks for at most 30 seconds. A
    // null prefix or origin matches everything; other non-strings are
    // refused. Nullopt on refusal, failure, a disabled engine or time-out.
    std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
        const Value& prefix, const Value& origin);

    // Worker queue only.
    void setConditionalUserPropertyOnWorkerQueue(const APMConditionalUserProperty* property);
    // Reads only the name, origin and expired event of `property`.
    void removeConditionalUserPropertyOnWorkerQueue(const APMConditionalUserProperty* property);
    // The events to log after `event`; nullopt when nothing was committed.
    std::optional<std::vector<APMEvent>> processEventOnWorkerQueue(const APMEvent* event);

  private:
    std::shared_ptr<APMConditionalUserPropertyEngine> engine() const;

    mutable std::mutex mutex_;
    std::weak_ptr<APMConditionalUserPropertyEngine> engine_;
};
