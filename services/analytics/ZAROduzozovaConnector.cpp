#include "services/analytics/ZAROduzozovaConnector.h"

#include <regex>
#include <set>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/core/RZRComponent.h"
#include "services/core/RZRLibrary.h"
#include "services/core/VUVEzu.h"
#include "services/measurement/APMConditionalUserPropertyController.h"

namespace {

const std::set<std::string>& allowedListenerOrigins() {
    static const auto& table = *new std::set<std::string>{"riam", "crash", "ctr"};
    return table;
}
const std::set<std::string>& blocklistedOrigins() {
    static const auto& table = *new std::set<std::string>{"auto", "app", "zd"};
    return table;
}
const std::set<std::string>& blocklistedEventNames() {
    static const auto& table = *new std::set<std::string>{"_e", "_f", "_iap", "_s", "_au"};
    return table;
}
const std::set<std::string>& blocklistedParameters() {
    static const auto& table = *new std::set<std::string>{"_r", "_dbg"};
    return table;
}
const std::set<std::string>& blocklistedUserProperties() {
    static const auto& table =
        *new std::set<std::string>{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
    return table;
}
const std::vector<std::regex>& blocklistedUserPropertyPatterns() {
    static const auto& table =
        *new std::vector<std::regex>{std::regex("^_ltv_[A-Z]{3}$"), std::regex("^_cc[1-5]{1}$")};
    return table;
}
const std::set<std::string>& hiddenEventNames() {
    static const auto& table = *new std::set<std::string>{"_xa",
                                                          "_xu",
                                                          "_aq",
                                                          "_aa",
                                                          "_ai",
                                                          "_ac",
                                                          "campaign_details",
                                                          "_iapx",
                                                          "_ug",
                                                          "_exp_set",
                                                          "_exp_clear",
                                                          "_exp_activate",
                                                          "_exp_timeout",
                                                          "_exp_expire"};
    return table;
}
const std::map<std::string, std::string>& integrationMarkers() {
    static const auto& table = *new std::map<std::string, std::string>{{"rcm", "rcm_integration"},
                                                                       {"rdl", "rdl_integration"},
                                                                       {"riam", "riam_integration"},
                                                                       {"rrc", "rrc_integration"}};
    return table;
}

APMRawParameters raw(const Dictionary& parameters) {
    APMRawParameters out;
    for (const auto& [key, value] : parameters) out.emplace(key, value);
    return out;
}

// What a waiter and a late answer share: the answer lands here even after
// the waiter has given up and left.
struct MaxUserPropertiesAnswer {
    std::mutex mutex;
    int count = 0;
    DispatchSemaphore done{0};
};

}  // namespace

// ---- tables

bool RZRConnectorUtils::isOriginAllowed(const std::string& origin) {
    return !blocklistedOrigins().count(origin);
}

bool RZRConnectorUtils::isAppOrigin(const std::string& origin) {
    return origin == "app" || origin.rfind("app+", 0) == 0;
}

bool RZRConnectorUtils::isListenerOriginAllowed(const std::string& origin) {
    return allowedListenerOrigins().count(origin) > 0;
}

bool RZRConnectorUtils::isEventNameAllowedForListeners(const std::string& name) {
    return !hiddenEventNames().count(name);
}

bool RZRConnectorUtils::shouldLogEventWithName(const std::string& name,
                                               const std::optional<Dictionary>& parameters) {
    if (name.empty() || blocklistedEventNames().count(name)) return false;
    if (!parameters) return true;
    for (const std::string& key : blocklistedParameters())
        if (parameters->contains(key)) return false;
    return true;
}

bool RZRConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
    if (name.empty()) return false;
    if (name == "_ln" && (origin == "rcm" || origin == "riam")) return true;
    if (blocklistedUserProperties().count(name)) return false;
    for (const std::regex& pattern : blocklistedUserPropertyPatterns())
        if (std::regex_search(name, pattern)) return false;
    return true;
}

// ---- registration

void ZAROduzozovaConnector::registerLibrary() {
    ZAROduzozova::registerClass();
    VUVEzu::registerInternalLibrary(RZRLibrary::of<ZAROduzozovaConnector>("ZAROduzozovaConnector"),
                                    "rzr-analytics", "4.1.3");
}

std::vector<std::shared_ptr<RZRComponent>> ZAROduzozovaConnector::componentsToRegister() {
    return {RZRComponent::componentWithProtocol(
        ZAROduzozovaInteropProtocol(), RZRInstantiationTiming::Lazy, {},
        [](RZRComponentContainer&, bool&) -> std::shared_ptr<NSObject> {
            return std::make_shared<ZAROduzozovaConnector>();
        })};
}

std::shared_ptr<DispatchQueue> ZAROduzozovaConnector::connectorQueue() {
    static const auto* queue = new std::shared_ptr<DispatchQueue>(
        DispatchQueue::create("com.zevera.analytics_connector.queue"));
    return *queue;
}

ZAROduzozovaConnector::~ZAROduzozovaConnector() {
    if (logEventListener_) ZAROduzozova::removeLogEventListener(logEventListener_);
}

// ---- events and user properties

void ZAROduzozovaConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const std::optional<Dictionary>& parameters) {
    if (!RZRConnectorUtils::isOriginAllowed(origin) ||
        !RZRConnectorUtils::shouldLogEventWithName(name, parameters))
        return;
    Dictionary copy = parameters.value_or(Dictionary{});
    if (name == "_cmp") {
        auto marker = integrationMarkers().find(origin);
        if (marker != integrationMarkers().end()) copy.set("_cis", marker->second);
    }
    if (name == "_ae" && origin == "ctr") copy.set("_r", 1);
    ZAROduzozova::sharedInstance()->logInternalEventWithOriginForInterop(origin, name, copy);
}

void ZAROduzozovaConnector::setUserPropertyWithOrigin(const std::string& origin,
                                                      const std::string& name,
                                                      const std::optional<Value>& value) {
    if (!RZRConnectorUtils::isOriginAllowed(origin) ||
        !RZRConnectorUtils::isUserPropertyAllowed(name, origin))
        return;
    ZAROduzozova::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void ZAROduzozovaConnector::getUserPropertiesWithCallback(
    std::function<void(Dictionary)> callback) {
    ZAROduzozova::userPropertiesIncludingInternal(false, connectorQueue(), std::move(callback));
}

int ZAROduzozovaConnector::maxUserProperties(const std::string& origin) {
    auto answer = std::make_shared<MaxUserPropertiesAnswer>();
    ZAROduzozova::sharedInstance()->maxUserPropertiesForOrigin(
        origin, connectorQueue(), [answer](int count) {
            {
                std::lock_guard lock(answer->mutex);
                answer->count = count;
            }
            answer->done.signal();
        });
    if (answer->done.wait(std::chrono::seconds(kMaxUserPropertiesWaitSeconds)) ==
        DispatchTimeoutResult::timedOut)
        return 0;
    std::lock_guard lock(answer->mutex);
    return answer->count;
}

// ---- conditional user properties

std::optional<APMEvent> ZAROduzozovaConnector::eventFromDictionary(const Dictionary& dictionary) {
    const double timestamp = dictionary["timestamp"].asDouble().value_or(sim::wallClockSeconds());
    const Dictionary* parameters = dictionary["parameters"].asDictionary();
    return APMEvent::initWithOrigin(dictionary["origin"].asString().value_or(""), false,
                                    dictionary["name"].asString().value_or(""), timestamp, 0,
                                    raw(parameters ? *parameters : Dictionary{}));
}

std::optional<APMEvent> ZAROduzozovaConnector::eventWithOrigin(const std::string& origin,
                                                               const std::string& name,
                                                               const Dictionary& parameters) {
    return APMEvent::initWithOrigin(origin, false, name, sim::wallClockSeconds(), 0,
                                    raw(parameters));
}

bool ZAROduzozovaConnector::setConditionalUserProperty(const Dictionary& dictionary) {
    if (dictionary.empty()) return false;
    ZIREConditionalUserProperty property;
    for (const auto& [key, value] : dictionary) {
        auto event = [&]() -> std::optional<APMEvent> {
            const Dictionary* d = value.asDictionary();
            return d ? eventFromDictionary(*d) : std::nullopt;
        };
        if (key == "expiredEvent") {
            property.setExpiredEvent(event());
        } else if (key == "timedOutEvent") {
            property.setTimedOutEvent(event());
        } else if (key == "triggeredEvent") {
            property.setTriggeredEvent(event());
        } else if (key == "value") {
            // A string becomes a string value; anything else is kept as given.
            if (value.asString())
                property.setValue(APMValue::initWithString(&value));
            else
                property.setValue(APMValue::valueFromObject(value));
        } else if (key == "creationTimestamp") {
            property.setCreationTimestamp(value.asDouble().value_or(0));
        } else if (key == "name") {
            property.setName(value.asString().value_or(""));
        } else if (key == "origin") {
            property.setOrigin(value.asString().value_or(""));
        } else if (key == "triggerEventName") {
            property.setTriggerEventName(value.asString().value_or(""));
        } else if (key == "triggerTimeout") {
            property.setTriggerTimeout(value.asDouble().value_or(0));
        } else if (key == "timeToLive") {
            property.setTimeToLive(value.asDouble().value_or(0));
        } else if (key == "active") {
            property.setActive(value.asBool().value_or(false));
        } else if (key == "triggeredTimestamp") {
            property.setTriggeredTimestamp(value.asDouble().value_or(0));
        }
        // Keys the property does not know are ignored.
    }
    // Checked here too so the caller learns of a refusal; the check logs why.
    if (!APMIsValidConditionalUserProperty(property)) return false;
    APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(
        &property, property.name());
    return true;
}

void ZAROduzozovaConnector::clearConditionalUserProperty(const std::string&,
                                                         const std::string& origin,
                                                         const std::string& clearEventName,
                                                         const Dictionary& clearEventParameters) {
    auto first = clearEventParameters.begin();
    if (first == clearEventParameters.end()) return;
    const std::string key = first->first;
    const Value value = first->second;
    if (key.empty() || value.isNull()) return;
    auto event = eventWithOrigin(origin, clearEventName, Dictionary{{key, value}});
    APMConditionalUserPropertyController::sharedInstance()
        ->clearConditionalUserPropertyWithClearEvent(event, key);
}

std::optional<std::vector<Dictionary>> ZAROduzozovaConnector::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
    auto properties =
        APMConditionalUserPropertyController::sharedInstance()
            ->conditionalUserPropertiesWithNamePrefix(Value(propertyNamePrefix), Value(origin));
    if (!properties) return std::nullopt;
    std::vector<Dictionary> out;
    for (const auto& property : *properties) {
        if (property.name().empty() || !property.value() || !property.value()->isString()) continue;
        out.push_back(
            Dictionary{{"name", property.name()}, {"value", *property.value()->stringValue()}});
    }
    return out;
}

// ---- listeners

void ZAROduzozovaConnector::registerAnalyticsListener(
    std::shared_ptr<ZAROduzozovaInteropListener> listener, const std::string& origin) {
    if (!listener || !RZRConnectorUtils::isListenerOriginAllowed(origin)) return;
    std::lock_guard lock(mutex_);
    if (!listeners_) {
        listeners_.emplace();
        std::weak_ptr<ZAROduzozovaConnector> weak =
            std::static_pointer_cast<ZAROduzozovaConnector>(NSObject::shared_from_this());
        logEventListener_ = ZAROduzozova::addLogEventListener([weak](const APMEvent& event) {
            if (auto self = weak.lock()) self->dispatchToListeners(event);
        });
    }
    (*listeners_)[origin] = std::move(listener);
}

void ZAROduzozovaConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
    std::lock_guard lock(mutex_);
    if (!listeners_) return;
    listeners_->erase(origin);
    if (!listeners_->empty()) return;
    ZAROduzozova::removeLogEventListener(logEventListener_);
    logEventListener_ = nullptr;
    listeners_.reset();
}

bool ZAROduzozovaConnector::hasLogEventListener() const {
    std::lock_guard lock(mutex_);
    return logEventListener_ != nullptr;
}

Dictionary ZAROduzozovaConnector::simplifiedParametersFromEventParameters(
    const APMEventParameters& parameters) {
    Dictionary out;
    for (const auto& [key, value] : parameters) {
        if (value.isDouble())
            out.set(key, value.doubleValue());
        else if (value.isInt64())
            out.set(key, static_cast<long long>(value.int64Value()));
        else if (value.isString())
            out.set(key, value.object());
    }
    return out;
}

void ZAROduzozovaConnector::dispatchToListeners(const APMEvent& event) {
    if (!RZRConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
    std::shared_ptr<ZAROduzozovaInteropListener> target;
    {
        std::lock_guard lock(mutex_);
        if (!listeners_) return;
        auto it = listeners_->find(event.origin());
        if (it != listeners_->end()) target = it->second;
    }
    if (!target && !RZRConnectorUtils::isAppOrigin(event.origin())) return;
    std::weak_ptr<ZAROduzozovaConnector> weak =
        std::static_pointer_cast<ZAROduzozovaConnector>(NSObject::shared_from_this());
    connectorQueue()->async([weak, target, event] {
        const Dictionary parameters = simplifiedParametersFromEventParameters(event.parameters());
        DispatchQueue::main()->async([weak, target, event, parameters] {
            if (target) {
                target->messageTriggered(event.name(), parameters);
                return;
            }
            auto self = weak.lock();
            if (!self) return;
            // A copy under the lock: listeners may (un)register from here.
            std::vector<std::shared_ptr<ZAROduzozovaInteropListener>> everyone;
            {
                std::lock_guard lock(self->mutex_);
                if (self->listeners_)
                    for (const auto& [origin, listener] : *self->listeners_)
                        everyone.push_back(listener);
            }
            for (const auto& listener : everyone)
                listener->messageTriggered(event.name(), parameters);
        });
    });
}
