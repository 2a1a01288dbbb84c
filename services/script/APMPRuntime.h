#pragma once
// The script runtime: programs arrive as RuntimeEntity messages, are
// converted into statement values and evaluated directly in scopes, with a
// budget of instructions per reset. The command registrar dispatches each
// statement by its command name to the evaluator that handles it; the most
// common shapes of statement (variable reads and writes, arithmetic,
// comparisons, returns) are recognised once when converted and run without
// the handler, with the same results, counts and errors, as are calls by
// name, property reads and writes and blocks; a while or three-part for loop
// that only does arithmetic on number variables runs on unboxed copies of
// them.
//
// A runtime and its values are used by one thread at a time (the engine's
// worker queue). The registrar is created once and only read afterwards.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Value.h"
#include "services/measurement/APMPBMessage.h"
#include "services/script/APMPRuntimeValue.h"

// The handler of one command: unevaluated arguments, scope, error slot.
using APMPCommandHandler = APMPValueRef (*)(const APMPValueList& arguments,
                                            const APMPScopeRef& scope, APMPErrorSlot& error);

class APMPCommandEvaluator {
  public:
    virtual ~APMPCommandEvaluator() = default;
    virtual APMPValueRef evaluateCommand(const APMPString& command, const APMPValueList& arguments,
                                         const APMPScopeRef& scope, APMPErrorSlot& error);
    virtual std::vector<APMPString> allSupportedCommands() const;

    // The handler for a command, or null. Handlers are final after creation.
    APMPCommandHandler handlerFor(const APMPString& command) const;
    // Whether every argument is evaluated before a handler runs.
    bool evaluatesArguments() const { return evaluatesArguments_; }

  protected:
    // Whether the evaluator evaluates all arguments before its handlers run.
    explicit APMPCommandEvaluator(bool evaluatesArguments = false)
        : evaluatesArguments_(evaluatesArguments) {}
    std::unordered_map<APMPString, APMPCommandHandler> handlers;
    bool evaluatesArguments_;
};

#define APMP_DECLARE_EVALUATOR(Name)                 \
    class Name final : public APMPCommandEvaluator { \
      public:                                        \
        Name();                                      \
    };
APMP_DECLARE_EVALUATOR(APMPBitwiseCommandEvaluator)
APMP_DECLARE_EVALUATOR(APMPComparisonCommandEvaluator)
APMP_DECLARE_EVALUATOR(APMPControlCommandEvaluator)
APMP_DECLARE_EVALUATOR(APMPLogicalCommandEvaluator)
APMP_DECLARE_EVALUATOR(APMPLoopCommandEvaluator)
APMP_DECLARE_EVALUATOR(APMPMathCommandEvaluator)
APMP_DECLARE_EVALUATOR(APMPVariableCommandEvaluator)
#undef APMP_DECLARE_EVALUATOR

// Every command name that no evaluator registered: the name is looked up in
// the scope and called when it names a function value.
class APMPFunctionEvaluator final : public APMPCommandEvaluator {
  public:
    APMPValueRef evaluateCommand(const APMPString& command, const APMPValueList& arguments,
                                 const APMPScopeRef& scope, APMPErrorSlot& error) override;
};

// Resolved dispatch of one command name, as a statement keeps it.
struct APMPCommandSlot {
    APMPCommandEvaluator* evaluator = nullptr;
    APMPCommandHandler handler = nullptr;
    bool evaluatesArguments = false;
    // The variable read and write, which the registrar runs inline.
    bool readsVariable = false;
    bool assignsVariable = false;
    // The block, which runs in the scope its statement was scanned for.
    bool runsBlock = false;
    // The property read and write, which the registrar runs inline.
    bool readsProperty = false;
    bool writesProperty = false;
    // The if command, whose returning branch a function body takes directly.
    bool branches = false;
};

// The handlers of the variable read and write commands, and of the block.
APMPCommandHandler APMPVariableReadHandler();
APMPCommandHandler APMPVariableAssignHandler();
APMPCommandHandler APMPBlockHandler();
APMPCommandHandler APMPIfHandler();
APMPCommandHandler APMPPropertyReadHandler();
APMPCommandHandler APMPPropertyWriteHandler();
// A property of an evaluated object, as the property read command gives it.
APMPValueRef APMPPropertyOf(const APMPValueRef& object, const APMPValueRef& key,
                            APMPErrorSlot& error);
// Writes a property as the property write command does.
void APMPSetProperty(const APMPValueRef& object, const APMPValueRef& key,
                     const APMPValueRef& value, APMPErrorSlot& error);
// Whether running `statements` might add a name to the scope they run in.
bool APMPMayDeclare(const APMPValueList& statements);

class APMPCommandRegistrar {
  public:
    static APMPCommandRegistrar& sharedInstance();
    void registerEvaluator(std::shared_ptr<APMPCommandEvaluator> evaluator);
    APMPValueRef evaluateStatement(const APMPValueRef& value, const APMPScopeRef& scope,
                                   APMPErrorSlot& error);
    // Runs a statement through its command's handler (or the function
    // fallback) once its instruction is counted and its depth checked.
    // With `number` given, a number a called function returns may be
    // stored there instead, and null returned.
    APMPValueRef evaluateCommand(const APMPStatementValue& statement, const APMPScopeRef& scope,
                                 APMPErrorSlot& error, double* number = nullptr);
    // The slot for a command name; null for names nobody registered.
    const APMPCommandSlot* slotFor(const APMPString& command) const;
    APMPFunctionEvaluator& functionEvaluator() { return functionEvaluator_; }
    // The property read and write with their operands evaluated in place,
    // once the statement's instruction is counted, its depth checked and
    // its level entered. A number read may go out in `number` (null
    // returned); a write whose value nobody wants returns null.
    APMPValueRef readProperty(const APMPStatementValue& statement, const APMPScopeRef& scope,
                              APMPErrorSlot& error, double* number);
    APMPValueRef writeProperty(const APMPStatementValue& statement, const APMPScopeRef& scope,
                               APMPErrorSlot& error, bool wantResult = true);

  private:
    APMPCommandRegistrar();
    // Evaluates arguments in order into the buffer of the current nesting
    // level; null, with the buffer emptied, at the first error.
    APMPValueList* evaluateIntoBuffer(const APMPValueList& arguments, const APMPScopeRef& scope,
                                      APMPErrorSlot& error);
    std::unordered_map<APMPString, APMPCommandSlot> commandEvaluators_;
    std::vector<std::shared_ptr<APMPCommandEvaluator>> owned_;
    APMPFunctionEvaluator functionEvaluator_;
};

namespace APMPEvaluator {
APMPValueRef evaluateStatement(const APMPValueRef& value, const APMPScopeRef& scope,
                               APMPErrorSlot& error);
APMPValueRef executeStatements(const APMPValueList& statements, const APMPScopeRef& scope,
                               APMPErrorSlot& error);
// Runs a function body: its result, with a returned value already unwrapped.
// With `number` given, a returned number may instead be stored there, and
// null returned.
APMPValueRef executeFunctionBody(const APMPValueList& statements, const APMPScopeRef& scope,
                                 APMPErrorSlot& error, double* number = nullptr);
// Whether statements made from now on run their common forms directly
// rather than through their command's handler (on by default). The results,
// instruction counts and errors are the same either way.
void setStatementFormsEnabled(bool enabled);
}  // namespace APMPEvaluator

// The form a statement with this command slot and these arguments runs in.
APMPStatementForm APMPStatementFormOf(const APMPCommandSlot* slot, const APMPValueList& arguments);
// The cost of a statement of this form whose evaluation is known in advance.
APMPStatementCost APMPStatementCostOf(APMPStatementForm form, const APMPValueList& arguments);
// Scans a statement just made for what its evaluation needs to know.
void APMPDescribeOperands(APMPStatementValue& statement);
// The form of a built-in command handler, before its arguments are looked at.
APMPStatementForm APMPFormOfHandler(APMPCommandHandler handler);
// The numeric code of a comparison command's name.
std::uint8_t APMPComparisonCode(const APMPString& command);
// Compares two evaluated operands as the comparison command `code` does.
bool APMPCompareValues(std::uint8_t code, const APMPValueRef& first, const APMPValueRef& second,
                       APMPErrorSlot& error);

// Argument routines shared by every command.
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                    APMPErrorSlot& error);
bool APMPCheckArgumentCount(const APMPValueList& list, std::size_t count, APMPErrorSlot& error);
bool APMPCheckMinimumArgumentCount(const APMPValueList& list, std::size_t count,
                                   APMPErrorSlot& error);
bool APMPCheckMaximumArgumentCount(const APMPValueList& list, std::size_t count,
                                   APMPErrorSlot& error);

// Conversions between serialized entities, runtime values and plain objects.
namespace APMPRuntimeEntityConverter {
APMPValueRef runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity, APMPErrorSlot& error);
APMPValueRef statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                             APMPErrorSlot& error);
APMPValueRef stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
APMPValueRef numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
APMPValueRef booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
// A plain object: null, boolean, number, string, array or dictionary.
// Data and dates fail with code 13.
APMPValueRef runtimeValueFromNSObject(const Value& object, APMPErrorSlot& error);
Value objectFromRuntimeValue(const APMPValueRef& value, APMPErrorSlot& error);
Value objectFromRuntimeValue(const APMPValueRef& value, APMPHeldBytes& held, APMPErrorSlot& error);
Dictionary dictionaryFromMapValue(const APMPMapValue& map, APMPErrorSlot& error);
// The same, with the bytes of the copy counted in `held` for as long as the
// caller keeps it.
Dictionary dictionaryFromMapValue(const APMPMapValue& map, APMPHeldBytes& held,
                                  APMPErrorSlot& error);
}  // namespace APMPRuntimeEntityConverter

class APMPDynamicProvider;

using APMPModuleCreator = std::function<APMPValueRef()>;

// Owns the scopes of the programs run on it. Functions keep their defining
// scopes alive, so the cycles they form are broken when the runtime goes
// away: arrays, maps, functions and scopes made while it ran are emptied then.
class APMPRuntime {
  public:
    APMPRuntime();
    ~APMPRuntime();
    APMPRuntime(const APMPRuntime&) = delete;
    APMPRuntime& operator=(const APMPRuntime&) = delete;

    static std::int64_t runtimeVersion() { return 0; }

    void setModuleCreator(APMPModuleCreator creator, const std::string& name);
    APMPValueRef executeStatements(
        const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& statements, APMPErrorSlot& error);
    // Evaluates already converted statements in the global scope.
    APMPValueRef executeValues(const APMPValueList& statements, APMPErrorSlot& error);
    APMPScopeRef getRunScope() const { return globalScope_->createChildScope(); }
    std::int64_t getInstructionCount(APMPErrorSlot& error) const;
    // Empties the containers made on this runtime that neither its scopes
    // nor `roots` reach any more, so that cycles among them are freed. Only
    // between runs: values held by the host alone count as unreachable.
    void releaseUnreachable(const APMPValueList& roots);
    void resetInstructionCount();

    const APMPScopeRef& initScope() const { return initScope_; }
    const APMPScopeRef& globalScope() const { return globalScope_; }
    const std::shared_ptr<APMPDynamicProvider>& apiProvider() const { return apiProvider_; }

  private:
    APMPScopeRef initScope_;
    APMPScopeRef globalScope_;
    std::shared_ptr<APMPDynamicProvider> apiProvider_;
};

// The "internal.platform" module: a function value carrying "getVersion".
class APMPRuntimePlatform final : public APMPFunctionValue {
  public:
    APMPRuntimePlatform();
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;
};
