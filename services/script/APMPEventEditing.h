#pragma once
// Event editing: the measurement configuration's program registers "edit"
// and "create" callbacks with priorities; every event the write path hands
// over runs them, so that the program can change the event or log further
// events. Used on the engine's worker queue only.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Value.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMPEvent.h"
#include "services/script/APMPRuntime.h"

inline constexpr const char* kAPMPEditingErrorDomain =
    "com.zevera.ruv.measurement.script.editing.ErrorDomain";

enum APMPEditingErrorCode : int {
    kAPMPEditingErrorNoType = 2,
    kAPMPEditingErrorRuleType = 3,
    kAPMPEditingErrorTooManyCallbacks = 4,
    kAPMPEditingErrorControlAtTop = 5,
    kAPMPEditingErrorRuleNotMap = 6,
    kAPMPEditingErrorNoRuleFunction = 7,
};

// Events compare equal when names and parameters are equal and the times
// differ by less than the double machine epsilon.
bool APMPEventIsEqualToEvent(const APMPEvent& a, const APMPEvent& b);

class APMPEventContext {
  public:
    APMPEventContext() : inputEvent_("", 0, {}), outputEvent_("", 0, {}) {}
    explicit APMPEventContext(const APMPEvent& event) { setInputEvent(event); }

    // Input = the event, output = a copy of it, no logged events.
    void setInputEvent(const APMPEvent& event);
    void logEventWithName(std::string name, std::int64_t timestamp, Dictionary parameters);

    const APMPEvent& inputEvent() const { return inputEvent_; }
    APMPEvent& outputEvent() { return outputEvent_; }
    const APMPEvent& outputEvent() const { return outputEvent_; }
    void setOutputEvent(const APMPEvent& event) { outputEvent_ = event; }
    const std::vector<APMPEvent>& eventsToLog() const { return loggedEvents_; }
    // The bytes the logged events hold, counted in the programs' memory.
    APMPHeldBytes& loggedBytes() { return loggedBytes_; }
    // Counts `bytes` for the output event's parameter `name` in the
    // programs' memory, in place of what was counted for it before.
    void countParameterBytes(const std::string& name, std::int64_t bytes);

  private:
    APMPEvent inputEvent_{"", 0, {}};
    APMPEvent outputEvent_{"", 0, {}};
    std::vector<APMPEvent> loggedEvents_;
    APMPHeldBytes loggedBytes_;
    std::unordered_map<std::string, std::int64_t> parameterBytes_;
    APMPHeldBytes parameterHeld_;
};

class APMPEditingCallbackHandler {
  public:
    static constexpr std::size_t kMaxCallbacks = 1000;

    void registerWithPriority(std::int32_t priority,
                              const std::shared_ptr<APMPFunctionValue>& callback,
                              const std::string& ruleType, APMPErrorSlot& error);
    void triggerCallbacksWithScope(const APMPScopeRef& scope,
                                   const std::shared_ptr<APMPEventContext>& eventContext,
                                   APMPErrorSlot& error);
    // 2 on error; the number result converted to 32 bits; -1 for any other.
    std::int32_t invokeCallbackWithScope(const APMPScopeRef& scope,
                                         APMPFunctionValue& functionValue,
                                         const APMPValueRef& eventHandler, APMPErrorSlot& error);

    // Priorities in ascending order.
    std::vector<std::int32_t> editPriorities() const;
    std::vector<std::int32_t> createPriorities() const;
    std::size_t callbackCount() const { return edit_.size() + create_.size(); }
    APMPValueList allCallbacks() const;
    void clear();

  private:
    using CallbackMap = std::map<std::int32_t, std::shared_ptr<APMPFunctionValue>>;
    static void addCallback(const std::shared_ptr<APMPFunctionValue>& callback, CallbackMap& map,
                            std::int32_t priority);
    CallbackMap edit_;
    CallbackMap create_;
};

class APMPEventEditing {
  public:
    APMPEventEditing();
    explicit APMPEventEditing(std::unique_ptr<APMPRuntime> runtime);
    ~APMPEventEditing();

    void setModuleCreator(APMPModuleCreator creator, const std::string& name);
    void loadProgram(const APMPBProgram& program, APMPErrorSlot& error);
    void loadActivityData(const APMPBOgtActivity& activity, APMPErrorSlot& error);
    void registerRuleWithName(const std::string& name, const std::shared_ptr<APMPMapValue>& rule,
                              APMPErrorSlot& error);
    // True when the event was changed or events were logged.
    bool handleEvent(const APMPEvent& event, APMPErrorSlot& error);

    bool hasEdits() const;
    bool hasCreatedEvents() const;
    const APMPEventContext& eventContext() const { return *eventContext_; }
    APMPRuntime& runtime() { return *runtime_; }
    APMPEditingCallbackHandler& callbackHandler() { return *callbackHandler_; }

  private:
    std::unique_ptr<APMPRuntime> runtime_;
    std::shared_ptr<APMPEventContext> eventContext_;
    std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
};
