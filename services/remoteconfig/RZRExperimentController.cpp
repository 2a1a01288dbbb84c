#include "services/remoteconfig/RZRExperimentController.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSON.h"
#include "services/core/RZRComponentContainer.h"
#include "services/core/RZRLibrary.h"
#include "services/core/VUVEzu.h"
#include "services/remoteconfig/RCNLog.h"

namespace {

std::string text(const Dictionary& d, const char* key) {
    return d[key].asString().value_or("");
}
std::int64_t integer(const Dictionary& d, const char* key) {
    return d[key].asInt().value_or(0);
}

// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, as milliseconds since 1970.
std::optional<std::int64_t> parseStartTime(const std::string& date) {
    std::tm tm{};
    int millis = 0;
    char zulu = 0;
    if (std::sscanf(date.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &tm.tm_year, &tm.tm_mon,
                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis, &zulu) != 8 ||
        zulu != 'Z')
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&tm)) * 1000 + millis;
}

// The longest trigger time-out and time to live analytics accepts.
constexpr double kLongestExperimentSeconds = 15552000;

double durationSeconds(std::int64_t millis) {
    if (millis <= 0) return kLongestExperimentSeconds;
    return std::min(static_cast<double>(millis) / 1000.0, kLongestExperimentSeconds);
}

bool validEventName(const std::optional<std::string>& name) {
    return name && !name->empty() && (*name)[0] == '_';
}

}  // namespace

std::optional<ABTExperimentPayload> ABTExperimentPayload::parseFromData(const Data& data) {
    auto parsed = NSJSONSerialization::JSONObjectWithData(data, nullptr, true);
    if (!parsed || !parsed->asDictionary()) return std::nullopt;
    const Dictionary& d = *parsed->asDictionary();
    ABTExperimentPayload p;
    const Value& policy = d["overflowPolicy"];
    if (auto name = policy.asString())
        p.overflowPolicy = *name == "DISCARD_OLDEST" ? 1 : *name == "IGNORE_NEWEST" ? 2 : 999;
    else
        p.overflowPolicy = static_cast<int>(policy.asInt().value_or(0));
    p.experimentId = text(d, "experimentId");
    p.variantId = text(d, "variantId");
    if (auto start = d["experimentStartTime"].asString())
        p.experimentStartTimeMillis = parseStartTime(*start).value_or(0);
    else
        p.experimentStartTimeMillis = integer(d, "experimentStartTimeMillis");
    p.triggerEvent = text(d, "triggerEvent");
    p.triggerTimeoutMillis = integer(d, "triggerTimeoutMillis");
    p.timeToLiveMillis = integer(d, "timeToLiveMillis");
    p.setEventToLog = text(d, "setEventToLog");
    p.activateEventToLog = text(d, "activateEventToLog");
    p.clearEventToLog = text(d, "clearEventToLog");
    p.timeoutEventToLog = text(d, "timeoutEventToLog");
    p.ttlExpiryEventToLog = text(d, "ttlExpiryEventToLog");
    if (const Array* ongoing = d["ongoingExperiments"].asArray())
        for (const auto& lite : *ongoing)
            if (auto id = lite["experimentId"].asString()) p.ongoingExperiments.push_back(*id);
    return p;
}

std::optional<ABTExperimentPayload> ABTDeserializeExperimentPayload(const Data& data) {
    NSError error;
    if (!NSJSONSerialization::JSONObjectWithData(data, &error, true))
        ABTLog(ZVULoggerLevel::Error, "I-ABT000001",
               "Failed to parse experiment payload: " + error.localizedDescription());
    return ABTExperimentPayload::parseFromData(data);
}

#define LIFECYCLE_SETTER(Setter, field, fallback)                             \
    void RZRLifecycleEvents::Setter(const std::optional<std::string>& name) { \
        field = validEventName(name) ? *name : fallback;                      \
    }
LIFECYCLE_SETTER(setSetExperimentEventName, setExperimentEventName, "_exp_set")
LIFECYCLE_SETTER(setActivateExperimentEventName, activateExperimentEventName, "_exp_activate")
LIFECYCLE_SETTER(setClearExperimentEventName, clearExperimentEventName, "_exp_clear")
LIFECYCLE_SETTER(setTimeoutExperimentEventName, timeoutExperimentEventName, "_exp_timeout")
LIFECYCLE_SETTER(setExpireExperimentEventName, expireExperimentEventName, "_exp_expire")
#undef LIFECYCLE_SETTER

namespace {

std::vector<ABTExperimentPayload> deserializeAll(const std::vector<Data>& payloads) {
    std::vector<ABTExperimentPayload> result;
    for (const auto& data : payloads) {
        auto payload = ABTDeserializeExperimentPayload(data);
        if (!payload) {
            ABTLog(ZVULoggerLevel::Info, "I-ABT000002",
                   "Either payload is not set or it cannot be deserialized.");
            continue;
        }
        result.push_back(std::move(*payload));
    }
    return result;
}

}  // namespace

std::vector<ABTExperimentPayload> ABTExperimentsToSetFromPayloads(
    const std::vector<Data>& payloads, const std::vector<Dictionary>& experiments) {
    std::vector<ABTExperimentPayload> toSet;
    for (auto& payload : deserializeAll(payloads)) {
        bool known = false;
        for (const auto& experiment : experiments)
            known = known || ABTConditionalUserPropertyController::isExperimentTheSameAsPayload(
                                 experiment, payload);
        if (!known) toSet.push_back(std::move(payload));
    }
    return toSet;
}

std::vector<Dictionary> ABTExperimentsToClearFromPayloads(
    const std::vector<Data>& payloads, const std::vector<Dictionary>& experiments) {
    const auto parsed = deserializeAll(payloads);
    std::vector<Dictionary> toClear;
    for (const auto& experiment : experiments) {
        bool kept = false;
        for (const auto& payload : parsed)
            kept = kept || ABTConditionalUserPropertyController::isExperimentTheSameAsPayload(
                               experiment, payload);
        if (!kept) toClear.push_back(experiment);
    }
    return toClear;
}

// ---- conditional user properties

ABTConditionalUserPropertyController::ABTConditionalUserPropertyController(
    std::shared_ptr<ZAROduzozovaInterop> analytics)
    : analyticOperationQueue_(DispatchQueue::create("com.zevera.ReruzeraABTesting.analytics")),
      analytics_(std::move(analytics)) {}

std::optional<std::vector<Dictionary>> ABTConditionalUserPropertyController::experimentsWithOrigin(
    const std::string& origin) {
    if (!analytics_) return std::nullopt;
    return analytics_->conditionalUserProperties(origin, "");
}

int ABTConditionalUserPropertyController::maxNumberOfExperimentsOfOrigin(
    const std::string& origin) {
    return analytics_ ? analytics_->maxUserProperties(origin) : 0;
}

std::string ABTConditionalUserPropertyController::experimentIDOfExperiment(
    const Dictionary* experiment) {
    return experiment ? text(*experiment, "name") : "";
}

std::string ABTConditionalUserPropertyController::variantIDOfExperiment(
    const Dictionary* experiment) {
    return experiment ? text(*experiment, "value") : "";
}

bool ABTConditionalUserPropertyController::isExperimentTheSameAsPayload(
    const Dictionary& experiment, const ABTExperimentPayload& payload) {
    return experimentIDOfExperiment(&experiment) == payload.experimentId &&
           variantIDOfExperiment(&experiment) == payload.variantId;
}

int ABTConditionalUserPropertyController::overflowPolicyWithPayload(
    const ABTExperimentPayload& payload, int originalPolicy) {
    if (payload.overflowPolicyIsValid()) return payload.overflowPolicy;
    if (originalPolicy == 1 || originalPolicy == 2) return originalPolicy;
    return 1;
}

bool ABTConditionalUserPropertyController::setExperimentWithOrigin(
    const std::string& origin, const ABTExperimentPayload& payload,
    const RZRLifecycleEvents& events, int policy) {
    const int maximum = maxNumberOfExperimentsOfOrigin(origin);
    if (maximum < 0) return false;
    auto experiments = experimentsWithOrigin(origin);
    if (!experiments) {
        ABTLog(ZVULoggerLevel::Info, "I-ABT000003",
               "Failed to get conditional user properties from Reruzera Analytics.");
        return false;
    }
    if (static_cast<int>(experiments->size()) >= maximum) {
        const int effective = overflowPolicyWithPayload(payload, policy);
        if (effective != 1 || experiments->empty()) {
            ABTLog(ZVULoggerLevel::Debug, "I-ABT000017",
                   "Experiment ID " + payload.experimentId + " variant ID " + payload.variantId +
                       " won't be set due to overflow policy.");
            return false;
        }
        const Dictionary& oldest = experiments->front();
        clearExperiment(experimentIDOfExperiment(&oldest), variantIDOfExperiment(&oldest), origin,
                        &payload, events);
        ABTLog(ZVULoggerLevel::Debug, "I-ABT000016",
               "Clear experiment ID " + experimentIDOfExperiment(&oldest) + " variant ID " +
                   variantIDOfExperiment(&oldest) + " due to overflow policy.");
    }
    for (const auto& experiment : *experiments) {
        if (experimentIDOfExperiment(&experiment) != payload.experimentId ||
            variantIDOfExperiment(&experiment) == payload.variantId)
            continue;
        ABTLog(ZVULoggerLevel::Debug, "I-ABT000018",
               "Clear experiment ID " + payload.experimentId + " with variant ID " +
                   variantIDOfExperiment(&experiment) +
                   " because only one variant ID can be existed at any time.");
        clearExperiment(payload.experimentId, variantIDOfExperiment(&experiment), origin, &payload,
                        events);
    }
    if (!analytics_->setConditionalUserProperty(
            createExperimentFromOrigin(origin, payload, events))) {
        ABTLog(ZVULoggerLevel::Info, "I-ABT000020",
               "Analytics refused experiment ID " + payload.experimentId + " variant ID " +
                   payload.variantId + ".");
        return false;
    }
    ABTLog(ZVULoggerLevel::Debug, "I-ABT000019",
           "Set conditional user property, experiment ID " + payload.experimentId +
               " with variant ID " + payload.variantId + " triggered event " +
               payload.triggerEvent + ".");
    logEventWithOrigin(origin, payload, events);
    return true;
}

void ABTConditionalUserPropertyController::clearExperiment(const std::string& experimentID,
                                                           const std::string& variantID,
                                                           const std::string& origin,
                                                           const ABTExperimentPayload* payload,
                                                           const RZRLifecycleEvents& events) {
    if (!analytics_) return;
    const std::string name = payload && !payload->clearEventToLog.empty()
                                 ? payload->clearEventToLog
                                 : events.clearExperimentEventName;
    analytics_->clearConditionalUserProperty(experimentID, origin, name,
                                             Dictionary{{experimentID, variantID}});
    ABTLog(ZVULoggerLevel::Debug, "I-ABT000015",
           "Clear Experiment ID " + experimentID + ", variant ID " + variantID + ".");
}

Dictionary ABTConditionalUserPropertyController::eventDictionaryWithOrigin(
    const std::string& origin, const std::string& eventName, const Dictionary& params) {
    return Dictionary{{"origin", origin},
                      {"name", eventName},
                      {"timestamp", sim::wallClockSeconds()},
                      {"parameters", params}};
}

Dictionary ABTConditionalUserPropertyController::createExperimentFromOrigin(
    const std::string& origin, const ABTExperimentPayload& payload,
    const RZRLifecycleEvents& events) {
    const Dictionary params{{payload.experimentId, payload.variantId}};
    auto pick = [](const std::string& own, const std::string& fallback) {
        return own.empty() ? fallback : own;
    };
    Dictionary property{
        {"origin", origin},
        {"creationTimestamp", static_cast<double>(payload.experimentStartTimeMillis / 1000)},
        {"name", payload.experimentId},
        {"value", payload.variantId}};
    if (!payload.triggerEvent.empty()) property.set("triggerEventName", payload.triggerEvent);
    property.set(
        "timedOutEvent",
        eventDictionaryWithOrigin(
            origin, pick(payload.timeoutEventToLog, events.timeoutExperimentEventName), params));
    property.set("triggerTimeout", durationSeconds(payload.triggerTimeoutMillis));
    property.set(
        "triggeredEvent",
        eventDictionaryWithOrigin(
            origin, pick(payload.activateEventToLog, events.activateExperimentEventName), params));
    property.set("timeToLive", durationSeconds(payload.timeToLiveMillis));
    property.set(
        "expiredEvent",
        eventDictionaryWithOrigin(
            origin, pick(payload.ttlExpiryEventToLog, events.expireExperimentEventName), params));
    return property;
}

void ABTConditionalUserPropertyController::logEventWithOrigin(const std::string& origin,
                                                              const ABTExperimentPayload& payload,
                                                              const RZRLifecycleEvents& events) {
    if (!analytics_) return;
    const std::string name =
        payload.setEventToLog.empty() ? events.setExperimentEventName : payload.setEventToLog;
    analytics_->logEventWithOrigin(origin, name,
                                   payload.experimentId.empty()
                                       ? Dictionary{}
                                       : Dictionary{{payload.experimentId, payload.variantId}});
}

// ---- controller

const RZRProtocol& RZRExperimentControllerProtocol() {
    static const RZRProtocol protocol =
        RZRProtocol::of<RZRExperimentController>("RZRExperimentController");
    return protocol;
}

void RZRExperimentController::registerLibrary() {
    VUVEzu::registerInternalLibrary(
        RZRLibrary::of<RZRExperimentController>("RZRExperimentController"), "rzr-abt");
}

std::vector<std::shared_ptr<RZRComponent>> RZRExperimentController::componentsToRegister() {
    return {RZRComponent::componentWithProtocol(
        RZRExperimentControllerProtocol(), RZRInstantiationTiming::Lazy,
        {RZRDependency::dependencyWithProtocol(ZAROduzozovaInteropProtocol(), false)},
        [](RZRComponentContainer& container, bool& isCacheable) -> std::shared_ptr<NSObject> {
            isCacheable = true;
            return std::make_shared<RZRExperimentController>(
                std::dynamic_pointer_cast<ZAROduzozovaInterop>(
                    container.instanceForProtocol(ZAROduzozovaInteropProtocol())));
        })};
}

std::shared_ptr<RZRExperimentController> RZRExperimentController::sharedInstance() {
    if (!VUVEzu::isDefaultAppConfigured()) return nullptr;
    auto app = VUVEzu::defaultApp();
    if (!app) return nullptr;
    return RZRComponentType::instanceForProtocol<RZRExperimentController>(
        RZRExperimentControllerProtocol(), app->container());
}

void RZRExperimentController::updateExperimentsWithServiceOrigin(std::string origin,
                                                                 RZRLifecycleEvents events,
                                                                 int policy, double lastStartTime,
                                                                 std::vector<Data> payloads,
                                                                 Completion completion) {
    std::weak_ptr<RZRExperimentController> weak =
        std::static_pointer_cast<RZRExperimentController>(weak_from_this().lock());
    DispatchQueue::global(DispatchQoS::Background)->async([=] {
        if (auto self = weak.lock())
            self->updateExperimentConditionalUserProperties(origin, events, policy, lastStartTime,
                                                            payloads, completion);
    });
}

void RZRExperimentController::updateExperimentConditionalUserProperties(
    const std::string& origin, const RZRLifecycleEvents& events, int policy, double lastStartTime,
    const std::vector<Data>& payloads, const Completion& completion) {
    const auto& controller = conditionalUserProperties_;
    auto experiments = controller->experimentsWithOrigin(origin);
    if (!experiments) {
        const std::string message =
            "Failed to get conditional user properties from Reruzera Analytics.";
        ABTLog(ZVULoggerLevel::Info, "I-ABT000003", message);
        if (completion) completion(NSError::withDescription(ABTErrorDomain, 1, message), {});
        return;
    }
    const auto toSet = ABTExperimentsToSetFromPayloads(payloads, *experiments);
    for (const auto& experiment : ABTExperimentsToClearFromPayloads(payloads, *experiments))
        controller->clearExperiment(
            ABTConditionalUserPropertyController::experimentIDOfExperiment(&experiment),
            ABTConditionalUserPropertyController::variantIDOfExperiment(&experiment), origin,
            nullptr, events);
    std::vector<std::pair<std::string, std::string>> taken;
    for (const auto& payload : toSet) {
        if (payload.experimentStartTimeMillis > lastStartTime * 1000) {
            // Only what analytics took counts as set; the rest is tried again
            // at the next activation.
            if (controller->setExperimentWithOrigin(origin, payload, events, policy)) {
                ABTLog(ZVULoggerLevel::Info, "I-ABT000008",
                       "Set Experiment ID " + payload.experimentId + ", variant ID " +
                           payload.variantId + " to Reruzera Analytics.");
                taken.emplace_back(payload.experimentId, payload.variantId);
            }
        } else {
            ABTLog(ZVULoggerLevel::Info, "I-ABT000009",
                   "Not setting experiment ID " + payload.experimentId + ", variant ID " +
                       payload.variantId + " due to the last update time " +
                       std::to_string(static_cast<std::int64_t>(lastStartTime) * 1000) + ".");
        }
    }
    std::vector<Data> setPayloads;
    for (const auto& data : payloads) {
        auto payload = ABTExperimentPayload::parseFromData(data);
        if (payload &&
            std::find(taken.begin(), taken.end(),
                      std::pair{payload->experimentId, payload->variantId}) != taken.end())
            setPayloads.push_back(data);
    }
    if (completion) completion(std::nullopt, std::move(setPayloads));
}

double RZRExperimentController::latestExperimentStartTimestampBetweenTimestamp(
    double seconds, const std::vector<Data>& payloads) {
    for (const auto& payload : deserializeAll(payloads))
        if (seconds * 1000 < static_cast<double>(payload.experimentStartTimeMillis))
            seconds = std::floor(payload.experimentStartTimeMillis / 1000.0);
    return seconds;
}
