#include "services/script/APMPEventEditing.h"

#include <cmath>
#include <limits>

#include "services/script/APMPModules.h"
#include "services/script/APMPNativeFunctions.h"

namespace {

void setEditingError(APMPErrorSlot& error, int code) {
    error = NSError(kAPMPEditingErrorDomain, code);
}

// "internal.registerCallback": (identifier, callback, options).
class APMPRegisterCallbackNativeFunctionValue final : public APMPFunctionValue {
  public:
    explicit APMPRegisterCallbackNativeFunctionValue(
        std::weak_ptr<APMPEditingCallbackHandler> handler)
        : APMPFunctionValue(u"internal.registerCallback", {}, {}, APMPScope::make()),
          callbackHandler_(std::move(handler)) {}

    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override {
        if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
        APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
        if (error) return APMPUndefined();
        if (values[1]->kind() != APMPKind::Function || values[2]->kind() != APMPKind::Map) {
            APMPSetError(error, kAPMPErrorArgumentKind);
            return APMPUndefined();
        }
        const auto& options = static_cast<const APMPMapValue&>(*values[2]);
        if (!options.hasProperty(u"type")) {
            setEditingError(error, kAPMPEditingErrorNoType);
            return APMPUndefined();
        }
        std::string type = APMPUTF8(options.valueForProperty(u"type")->stringValueOrError(error));
        if (error) return APMPUndefined();
        std::int32_t priority = 1000;
        if (options.hasProperty(u"priority")) {
            double d = options.valueForProperty(u"priority")->doubleValueOrError(error);
            if (error) return APMPUndefined();
            priority = APMPToInt32(d);
        }
        auto handler = callbackHandler_.lock();
        if (!handler) return APMPUndefined();
        handler->registerWithPriority(
            priority, std::static_pointer_cast<APMPFunctionValue>(values[1]), type, error);
        return APMPUndefined();
    }

  private:
    std::weak_ptr<APMPEditingCallbackHandler> callbackHandler_;
};

// "internal.eventLogger": (name, timestamp, parameters).
class APMPEventLogger final : public APMPFunctionValue {
  public:
    explicit APMPEventLogger(std::weak_ptr<APMPEventContext> context)
        : APMPFunctionValue(u"internal.eventLogger", {}, {}, APMPScope::make()),
          eventContext_(std::move(context)) {}

    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override {
        if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
        APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
        if (error) return APMPUndefined();
        std::string name = APMPUTF8(values[0]->stringValueOrError(error));
        if (error) return APMPUndefined();
        double time = APMPToInteger(values[1]->doubleValueOrError(error));
        if (error) return APMPUndefined();
        if (values[2]->kind() != APMPKind::Map) {
            APMPSetError(error, kAPMPErrorArgumentKind);
            return APMPUndefined();
        }
        // Out-of-range times are clamped rather than converted undefined.
        std::int64_t timestamp = 0;
        if (std::isnan(time))
            timestamp = 0;
        else if (time >= 9.2e18)
            timestamp = std::numeric_limits<std::int64_t>::max();
        else if (time <= -9.2e18)
            timestamp = std::numeric_limits<std::int64_t>::min();
        else
            timestamp = static_cast<std::int64_t>(time);
        auto context = eventContext_.lock();
        if (!context) return APMPUndefined();
        // The logged event is kept until the next event: its bytes count
        // against the program's memory for as long.
        APMPHeldBytes& held = context->loggedBytes();
        if (!held.charge(static_cast<std::int64_t>(sizeof(APMPEvent) + name.size()), error))
            return APMPUndefined();
        Dictionary parameters = APMPRuntimeEntityConverter::dictionaryFromMapValue(
            static_cast<const APMPMapValue&>(*values[2]), held, error);
        if (error) return APMPUndefined();
        context->logEventWithName(std::move(name), timestamp, std::move(parameters));
        return APMPUndefined();
    }

  private:
    std::weak_ptr<APMPEventContext> eventContext_;
};

}  // namespace

bool APMPEventIsEqualToEvent(const APMPEvent& a, const APMPEvent& b) {
    if (&a == &b) return true;
    return std::fabs(a.timestamp - b.timestamp) < std::numeric_limits<double>::epsilon() &&
           a.name == b.name && a.parameters == b.parameters;
}

void APMPEventContext::setInputEvent(const APMPEvent& event) {
    inputEvent_ = event;
    outputEvent_ = event;
    loggedEvents_.clear();
    loggedBytes_.release(loggedBytes_.bytes());
    parameterBytes_.clear();
    parameterHeld_.release(parameterHeld_.bytes());
}

void APMPEventContext::countParameterBytes(const std::string& name, std::int64_t bytes) {
    std::int64_t& counted = parameterBytes_[name];
    parameterHeld_.add(bytes);
    parameterHeld_.release(counted);
    counted = bytes;
    if (bytes == 0) parameterBytes_.erase(name);
}

void APMPEventContext::logEventWithName(std::string name, std::int64_t timestamp,
                                        Dictionary parameters) {
    loggedEvents_.emplace_back(std::move(name), static_cast<double>(timestamp),
                               std::move(parameters));
}

// ---- callbacks ----

void APMPEditingCallbackHandler::registerWithPriority(
    std::int32_t priority, const std::shared_ptr<APMPFunctionValue>& callback,
    const std::string& ruleType, APMPErrorSlot& error) {
    if (callbackCount() >= kMaxCallbacks) {
        setEditingError(error, kAPMPEditingErrorTooManyCallbacks);
        return;
    }
    if (ruleType == "create") {
        addCallback(callback, create_, priority);
    } else if (ruleType == "edit") {
        addCallback(callback, edit_, priority);
    } else {
        setEditingError(error, kAPMPEditingErrorRuleType);
    }
}

void APMPEditingCallbackHandler::addCallback(const std::shared_ptr<APMPFunctionValue>& callback,
                                             CallbackMap& map, std::int32_t priority) {
    if (map.count(priority)) {
        std::int32_t largest = map.rbegin()->first;
        // At the top of the range the next priority would overflow; take
        // the first free one below instead.
        if (largest < std::numeric_limits<std::int32_t>::max()) {
            priority = largest + 1;
        } else {
            while (map.count(priority) && priority > std::numeric_limits<std::int32_t>::min())
                --priority;
        }
    }
    map[priority] = callback;
}

std::vector<std::int32_t> APMPEditingCallbackHandler::editPriorities() const {
    std::vector<std::int32_t> out;
    for (const auto& [priority, callback] : edit_) out.push_back(priority);
    return out;
}

std::vector<std::int32_t> APMPEditingCallbackHandler::createPriorities() const {
    std::vector<std::int32_t> out;
    for (const auto& [priority, callback] : create_) out.push_back(priority);
    return out;
}

APMPValueList APMPEditingCallbackHandler::allCallbacks() const {
    APMPValueList out;
    for (const auto& [priority, callback] : edit_) out.push_back(callback);
    for (const auto& [priority, callback] : create_) out.push_back(callback);
    return out;
}

void APMPEditingCallbackHandler::clear() {
    edit_.clear();
    create_.clear();
}

std::int32_t APMPEditingCallbackHandler::invokeCallbackWithScope(const APMPScopeRef& scope,
                                                                 APMPFunctionValue& functionValue,
                                                                 const APMPValueRef& eventHandler,
                                                                 APMPErrorSlot& error) {
    APMPValueList arguments{eventHandler};
    APMPValueRef result = functionValue.invokeWithArguments(arguments, scope, error);
    if (error) return 2;
    if (result->kind() == APMPKind::Number)
        return APMPToInt32(static_cast<const APMPNumberValue&>(*result).value);
    return -1;
}

void APMPEditingCallbackHandler::triggerCallbacksWithScope(
    const APMPScopeRef& scope, const std::shared_ptr<APMPEventContext>& eventContext,
    APMPErrorSlot& error) {
    auto handle = std::make_shared<APMPEventNativeFunctions>(eventContext);
    // Callbacks may register further callbacks while they run; those take
    // effect from the next event, so walk copies of the lists.
    CallbackMap edits = edit_;
    CallbackMap creates = create_;
    for (const auto& [priority, callback] : edits) {
        APMPEvent saved = eventContext->outputEvent();
        std::int32_t result = invokeCallbackWithScope(scope, *callback, handle, error);
        if (error) {
            eventContext->setOutputEvent(saved);
            return;
        }
        if (result == 2 || result == -1) eventContext->setOutputEvent(saved);
    }
    for (const auto& [priority, callback] : creates) {
        invokeCallbackWithScope(scope, *callback, handle, error);
        if (error) return;
    }
}

// ---- editing ----

APMPEventEditing::APMPEventEditing() : APMPEventEditing(std::make_unique<APMPRuntime>()) {}

APMPEventEditing::APMPEventEditing(std::unique_ptr<APMPRuntime> runtime)
    : runtime_(std::move(runtime)),
      eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()) {
    std::weak_ptr<APMPEditingCallbackHandler> handler = callbackHandler_;
    std::weak_ptr<APMPEventContext> context = eventContext_;
    runtime_->setModuleCreator(
        [handler] { return std::make_shared<APMPRegisterCallbackNativeFunctionValue>(handler); },
        "internal.registerCallback");
    runtime_->setModuleCreator([context] { return std::make_shared<APMPEventLogger>(context); },
                               "internal.eventLogger");
}

APMPEventEditing::~APMPEventEditing() {
    // The callbacks hold their defining scopes, which belong to the runtime.
    callbackHandler_->clear();
}

void APMPEventEditing::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
    runtime_->setModuleCreator(std::move(creator), name);
}

namespace {
std::vector<std::shared_ptr<APMPBRuntimeEntity>> entitiesOf(const APMPBMessage& message,
                                                            std::int32_t field) {
    std::vector<std::shared_ptr<APMPBRuntimeEntity>> entities;
    if (auto objects = APMPBGetArray(&message, field, APMPBRuntimeEntity::classObject())) {
        for (const APMPBObject& object : *objects)
            entities.push_back(std::static_pointer_cast<APMPBRuntimeEntity>(object.message()));
    }
    return entities;
}
}  // namespace

void APMPEventEditing::loadProgram(const APMPBProgram& program, APMPErrorSlot& error) {
    runtime_->resetInstructionCount();
    APMPValueRef last = runtime_->executeStatements(entitiesOf(program, 0), error);
    if (error) return;
    if (last->kind() == APMPKind::Control) {
        setEditingError(error, kAPMPEditingErrorControlAtTop);
        return;
    }
    if (!APMPBHasField(&program, 1)) return;
    auto activities = APMPBGetMessage<APMPBOgtActivities>(&program, 1);
    if (!activities) return;
    auto list = APMPBGetArray(activities.get(), 0, APMPBOgtActivity::classObject());
    if (!list) return;
    for (const APMPBObject& object : *list) {
        auto* activity = static_cast<const APMPBOgtActivity*>(object.message().get());
        if (!activity) continue;
        loadActivityData(*activity, error);
        if (error) return;
    }
}

void APMPEventEditing::loadActivityData(const APMPBOgtActivity& activity, APMPErrorSlot& error) {
    std::string name = APMPBGetString(&activity, 0).value_or("");
    for (const auto& entity : entitiesOf(activity, 1)) {
        APMPValueRef value = runtime_->executeStatements({entity}, error);
        if (error) return;
        if (value->kind() != APMPKind::Map) {
            setEditingError(error, kAPMPEditingErrorRuleNotMap);
            return;
        }
        registerRuleWithName(name, std::static_pointer_cast<APMPMapValue>(value), error);
        if (error) return;
    }
}

void APMPEventEditing::registerRuleWithName(const std::string& name,
                                            const std::shared_ptr<APMPMapValue>& rule,
                                            APMPErrorSlot& error) {
    APMPScopeRef scope = runtime_->getRunScope();
    APMPValueRef function = scope->valueForName(APMPUTF16(name));
    if (function->kind() != APMPKind::Function) {
        setEditingError(error, kAPMPEditingErrorNoRuleFunction);
        return;
    }
    static_cast<APMPFunctionValue&>(*function).invokeWithEvaluatedArguments({rule}, error);
}

bool APMPEventEditing::handleEvent(const APMPEvent& event, APMPErrorSlot& error) {
    eventContext_->setInputEvent(event);
    runtime_->resetInstructionCount();
    APMPScopeRef scope = runtime_->getRunScope();
    callbackHandler_->triggerCallbacksWithScope(scope, eventContext_, error);
    scope.reset();
    // What the callbacks made for this event alone goes now, cycles included.
    runtime_->releaseUnreachable(callbackHandler_->allCallbacks());
    if (error) return false;
    return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
    return !APMPEventIsEqualToEvent(eventContext_->outputEvent(), eventContext_->inputEvent());
}

bool APMPEventEditing::hasCreatedEvents() const {
    return !eventContext_->eventsToLog().empty();
}
