#include "services/measurement/APMConditionalUserPropertyController.h"

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMMeasurement.h"

namespace {

constexpr double kListingTimeoutSeconds = 30;

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

Value describe(const NSError& error) {
    return Value(error.localizedDescription());
}

// The event a property's owner attached, logged under the property's origin.
std::optional<APMEvent> producedEvent(const APMEvent& attached, const std::string& origin,
                                      double timestamp) {
    APMRawParameters parameters;
    for (const auto& [name, value] : attached.parameters()) parameters.emplace(name, value);
    return APMEvent::initWithOrigin(origin, false, attached.name(), timestamp, 0, parameters);
}

// Handed from the worker block to a waiting caller; outlives either.
struct ListingResult {
    std::mutex mutex;
    std::optional<std::vector<APMConditionalUserProperty>> properties;
    NSError error;
    DispatchSemaphore done{0};
};

}  // namespace

std::shared_ptr<APMConditionalUserPropertyController>
APMConditionalUserPropertyController::sharedInstance() {
    static const auto instance = std::make_shared<APMConditionalUserPropertyController>();
    return instance;
}

APMConditionalUserPropertyController::APMConditionalUserPropertyController(
    std::weak_ptr<APMConditionalUserPropertyEngine> engine)
    : engine_(std::move(engine)) {}

void APMConditionalUserPropertyController::setEngine(
    std::weak_ptr<APMConditionalUserPropertyEngine> engine) {
    std::lock_guard lock(mutex_);
    engine_ = std::move(engine);
}

std::shared_ptr<APMConditionalUserPropertyEngine> APMConditionalUserPropertyController::engine()
    const {
    std::lock_guard lock(mutex_);
    return engine_.lock();
}

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const APMConditionalUserProperty* property, const std::string& name) {
    if (!property) {
        monitor().logWithLevel(2, 11002, "Cannot set nil conditional user property");
        return;
    }
    APMConditionalUserProperty copy = *property;
    copy.setName(name);
    if (!APMIsValidConditionalUserProperty(copy)) return;
    copy.setCreationTimestamp(sim::wallClockSeconds());
    auto engine = this->engine();
    if (!engine) return;
    engine->scheduleOnWorkerQueue("APMConditionalUserPropertyController:88",
                                  [weak = weak_from_this(), copy] {
                                      auto self = weak.lock();
                                      if (!self) return;
                                      if (copy.value()) {
                                          self->setConditionalUserPropertyOnWorkerQueue(&copy);
                                      } else {
                                          self->removeConditionalUserPropertyOnWorkerQueue(&copy);
                                      }
                                  });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::optional<APMEvent>& clearEvent, const std::string& name) {
    const Value nameObject(name);
    if (!APMDataTypeValidator::isValidConditionalUserPropertyName(&nameObject)) return;
    APMConditionalUserProperty request;
    request.setName(name);
    request.setExpiredEvent(clearEvent);
    auto engine = this->engine();
    if (!engine) return;
    engine->scheduleOnWorkerQueue(
        "APMConditionalUserPropertyController:113", [weak = weak_from_this(), request] {
            if (auto self = weak.lock()) {
                self->removeConditionalUserPropertyOnWorkerQueue(&request);
            }
        });
}

std::optional<std::vector<APMConditionalUserProperty>>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const Value& prefix,
                                                                              const Value& origin) {
    if (!prefix.isNull() && !prefix.isString()) {
        monitor().logWithLevel(
            2, 11003,
            "Cannot query for conditional user properties. Name prefix is not a string. Class",
            Value(APMPBClassName(prefix)));
        return std::nullopt;
    }
    if (!origin.isNull() && !origin.isString()) {
        monitor().logWithLevel(
            2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class",
            Value(APMPBClassName(origin)));
        return std::nullopt;
    }
    auto engine = this->engine();
    if (!engine) return std::nullopt;
    const std::string prefixText = prefix.asString().value_or("");
    const std::string originText = origin.asString().value_or("");
    auto result = std::make_shared<ListingResult>();
    engine->scheduleOnWorkerQueue(
        "APMConditionalUserPropertyController:161",
        [weakEngine = std::weak_ptr<APMConditionalUserPropertyEngine>(engine), result, prefixText,
         originText] {
            auto engine = weakEngine.lock();
            if (engine && !engine->isEnabled()) {
                monitor().logWithLevel(
                    3, 11005,
                    "Cannot query for conditional user properties. Analytics is disabled");
            } else if (engine && engine->database()) {
                NSError error;
                auto properties = engine->database()->conditionalUserPropertiesWithPrefix(
                    prefixText, originText, &error);
                std::lock_guard lock(result->mutex);
                result->properties = std::move(properties);
                result->error = error;
            }
            result->done.signal();
        });
    if (result->done.wait(sim::seconds(kListingTimeoutSeconds)) ==
        DispatchTimeoutResult::timedOut) {
        return std::nullopt;
    }
    std::lock_guard lock(result->mutex);
    if (!result->properties && APMFailed(result->error)) {
        monitor().logWithLevel(
            2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
            Value(prefixText), Value(originText), describe(result->error));
    }
    return std::move(result->properties);
}

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const APMConditionalUserProperty* property) {
    auto engine = this->engine();
    if (!engine || !engine->checkOnBackgroundThread("setConditionalUserPropertyOnWorkerQueue:")) {
        return;
    }
    if (!engine->isEnabled()) {
        monitor().logWithLevel(3, 11007,
                               "Cannot set conditional user property. Analytics is disabled");
        return;
    }
    APMDatabase* database = engine->database();
    if (!property || !database) {
        monitor().logWithLevel(2, 11008,
                               "Cannot set nil conditional user property on worker queue");
        return;
    }
    APMConditionalUserProperty incoming = *property;
    std::optional<APMEvent> toLog;
    const bool committed = database->performTransaction([&] {
        toLog.reset();
        APMConditionalUserProperty n = incoming;
        NSError error;
        auto stored = database->conditionalUserPropertyWithName(n.name(), &error);
        if (!stored && APMFailed(error)) {
            monitor().logWithLevel(1, 11009,
                                   "Cannot query conditional user property. Name, origin, error",
                                   Value(n.name()), Value(n.origin()), describe(error));
            return false;
        }
        if (stored && stored->origin() != n.origin()) {
            monitor().logWithLevel(
                5, 11010,
                "Updating a conditional user property with different origin. Name, origin, saved "
                "origin",
                Value(n.name()), Value(n.origin()), Value(stored->origin()));
        }
        const bool storedActive = stored && stored->isActive();
        const double setTime = n.creationTimestamp();
        bool newlyActivated = false;
        if (storedActive) {
            n.setOrigin(stored->origin());
            n.setCreationTimestamp(stored->creationTimestamp());
            n.setTriggerEventName(stored->triggerEventName());
            n.setTriggeredEvent(stored->triggeredEvent());
            n.setTriggerTimeout(stored->triggerTimeout());
            // It stays active, so its new value is the user property's
            // value from now on.
            n.setActive(true);
            n.setTriggeredTimestamp(stored->triggeredTimestamp());
        } else if (n.triggerEventName().empty()) {
            n.setActive(true);
            n.setTriggeredTimestamp(n.creationTimestamp());
            newlyActivated = true;
        }
        if (n.isActive()) {
            const double lastSet = storedActive ? setTime : n.triggeredTimestamp();
            auto attribute =
                APMUserAttribute::initWithOrigin(n.origin(), n.name(), *n.value(), lastSet);
            NSError writeError;
            if (!attribute || !database->updateUserAttribute(*attribute, &writeError)) {
                monitor().logWithLevel(
                    1, 11011,
                    "Cannot update user property from conditional user property. Name, origin, "
                    "error",
                    Value(n.name()), Value(n.origin()), describe(writeError));
            } else {
                monitor().logWithLevel(7, 11012, "User property updated. Name, origin",
                                       Value(n.name()), Value(n.origin()));
            }
            if (newlyActivated && n.triggeredEvent()) {
                toLog = producedEvent(*n.triggeredEvent(), n.origin(), n.triggeredTimestamp());
            }
        }
        NSError storeError;
        if (!database->updateConditionalUserProperty(n, &storeError)) {
            monitor().logWithLevel(
                1, 11014,
                "Cannot insert user property from conditional user property. Name, origin, error",
                Value(n.name()), Value(n.origin()), describe(storeError));
        } else {
            monitor().logWithLevel(7, 11013, "Conditional user property added. Name, origin",
                                   Value(n.name()), Value(n.origin()));
        }
        return true;
    });
    if (committed && toLog) engine->writeEventOnWorkerQueue(*toLog);
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const APMConditionalUserProperty* property) {
    auto engine = this->engine();
    if (!engine ||
        !engine->checkOnBackgroundThread("removeConditionalUserPropertyOnWorkerQueue:")) {
        return;
    }
    if (!engine->isEnabled()) {
        monitor().logWithLevel(3, 11015,
                               "Cannot remove conditional user property. Analytics is disabled");
        return;
    }
    APMDatabase* database = engine->database();
    if (!property || !database) {
        monitor().logWithLevel(0, 11016,
                               "Cannot remove nil conditional user property on worker queue");
        return;
    }
    const std::string& name = property->name();
    const std::string& origin = property->origin();
    std::optional<APMEvent> toLog;
    const bool committed = database->performTransaction([&] {
        toLog.reset();
        NSError error;
        auto stored = database->conditionalUserPropertyWithName(name, &error);
        if (!stored && APMFailed(error)) {
            monitor().logWithLevel(
                1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
                Value(name), Value(origin), describe(error));
            return false;
        }
        if (!stored) {
            monitor().logWithLevel(4, 11018,
                                   "Cannot remove nonexistent conditional user property. Name, "
                                   "origin",
                                   Value(name), Value(origin));
            return true;
        }
        if (!database->deleteConditionalUserPropertyWithName(name, &error)) {
            monitor().logWithLevel(1, 11019,
                                   "Cannot delete conditional user property. Name, origin, error",
                                   Value(name), Value(origin), describe(error));
            return false;
        }
        if (stored->isActive() && !database->deleteUserAttributeWithName(name, &error)) {
            monitor().logWithLevel(1, 11020,
                                   "Cannot remove conditional user property. Failed to delete the "
                                   "user property. Name, origin, error",
                                   Value(name), Value(origin), describe(error));
            return false;
        }
        if (property->expiredEvent()) {
            toLog =
                producedEvent(*property->expiredEvent(), stored->origin(), sim::wallClockSeconds());
        }
        return true;
    });
    if (committed && toLog) engine->writeEventOnWorkerQueue(*toLog);
}

std::optional<std::vector<APMEvent>>
APMConditionalUserPropertyController::processEventOnWorkerQueue(const APMEvent* event) {
    auto engine = this->engine();
    if (!engine || !engine->checkOnBackgroundThread("processEventOnWorkerQueue:")) {
        return std::nullopt;
    }
    APMDatabase* database = engine->database();
    if (!event || !database) {
        monitor().logWithLevel(2, 10000, "Cannot process nil event for conditional user property");
        return std::nullopt;
    }
    std::vector<APMEvent> queued;
    std::optional<std::vector<APMEvent>> triggered;
    const bool committed = database->performTransaction([&] {
        queued.clear();
        triggered.reset();
        const double now = sim::wallClockSeconds();
        NSError error;
        auto timedOut = database->timedOutConditionalUserProperties(now, &error);
        if (!timedOut) {
            monitor().logWithLevel(1, 10001,
                                   "Cannot fetch timed out conditional user properties. Error",
                                   describe(error));
            return false;
        }
        for (const auto& property : *timedOut) {
            monitor().logWithLevel(7, 10002, "Conditional user property has timed out. Name",
                                   Value(property.name()));
            if (!database->deleteConditionalUserPropertyWithName(property.name(), &error)) {
                monitor().logWithLevel(1, 10003,
                                       "Cannot delete timed out condition user property. Name, "
                                       "error",
                                       Value(property.name()), describe(error));
                return false;
            }
            if (property.timedOutEvent()) {
                if (auto out = producedEvent(*property.timedOutEvent(), property.origin(), now)) {
                    queued.push_back(std::move(*out));
                }
            }
        }
        auto expired = database->expiredConditionalUserProperties(now, &error);
        if (!expired) {
            monitor().logWithLevel(1, 10004,
                                   "Cannot fetch expired conditional user properties. Error",
                                   describe(error));
            return false;
        }
        for (const auto& property : *expired) {
            monitor().logWithLevel(
                7, 10005, "Conditional user property has expired. Name, expired event",
                Value(property.name()),
                property.expiredEvent() ? Value(property.expiredEvent()->name()) : Value());
            if (!database->deleteUserAttributeWithName(property.name(), &error)) {
                monitor().logWithLevel(1, 10006,
                                       "Cannot remove conditional user property. Failed to delete "
                                       "the user property. Name, origin, error",
                                       Value(property.name()), Value(property.origin()),
                                       describe(error));
                return false;
            }
            if (!database->deleteConditionalUserPropertyWithName(property.name(), &error)) {
                monitor().logWithLevel(1, 10007,
                                       "Cannot delete expired condition user property. Name, error",
                                       Value(property.name()), describe(error));
                return false;
            }
            if (property.expiredEvent()) {
                if (auto out = producedEvent(*property.expiredEvent(), property.origin(), now)) {
                    queued.push_back(std::move(*out));
                }
            }
        }
        auto waiting =
            database->triggeredConditionalUserPropertiesWithEventName(event->name(), now, &error);
        if (!waiting) {
            monitor().logWithLevel(
                1, 10008, "Cannot fetch triggering conditional user properties. Event name, error",
                Value(event->name()), describe(error));
            return false;
        }
        std::vector<APMEvent> list;
        for (auto property : *waiting) {
            auto attribute = APMUserAttribute::initWithOrigin(property.origin(), property.name(),
                                                              *property.value(), now);
            NSError writeError;
            if (attribute && database->updateUserAttribute(*attribute, &writeError)) {
                monitor().logWithLevel(7, 10010, "User property updated. Name, origin, value",
                                       Value(property.name()), Value(property.origin()),
                                       Value(property.value()->description()));
            } else {
                monitor().logWithLevel(1, 10009,
                                       "Cannot update user property from conditional user "
                                       "property. Name, origin, error",
                                       Value(property.name()), Value(property.origin()),
                                       describe(writeError));
            }
            if (property.triggeredEvent()) {
                if (auto out = producedEvent(*property.triggeredEvent(), property.origin(), now)) {
                    list.push_back(std::move(*out));
                }
            }
            property.setActive(true);
            property.setTriggeredTimestamp(now);
            if (!database->updateConditionalUserProperty(property, &error)) {
                monitor().logWithLevel(1, 10011,
                                       "Cannot update conditional user property. Name, origin, "
                                       "error",
                                       Value(property.name()), Value(property.origin()),
                                       describe(error));
                return false;
            }
        }
        triggered = std::move(list);
        return true;
    });
    if (!committed) return std::nullopt;
    for (const auto& out : queued) engine->writeEventOnWorkerQueue(out);
    return triggered;
}
