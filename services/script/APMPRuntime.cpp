#include "services/script/APMPRuntime.h"

#include <unicode/unistr.h>

#include <cmath>
#include <limits>
#include <typeinfo>

#include "services/script/APMPEvaluation.h"
#include "services/script/APMPModules.h"
#include "services/script/APMPNativeFunctions.h"

// ---- evaluators ----

APMPValueRef APMPCommandEvaluator::evaluateCommand(const APMPString& command,
                                                   const APMPValueList& arguments,
                                                   const APMPScopeRef& scope,
                                                   APMPErrorSlot& error) {
    APMPCommandHandler handler = handlerFor(command);
    if (!handler) return APMPUndefined();
    if (!evaluatesArguments_) return handler(arguments, scope, error);
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return handler(values, scope, error);
}

std::vector<APMPString> APMPCommandEvaluator::allSupportedCommands() const {
    std::vector<APMPString> names;
    for (const auto& [name, handler] : handlers) names.push_back(name);
    return names;
}

APMPCommandHandler APMPCommandEvaluator::handlerFor(const APMPString& command) const {
    auto it = handlers.find(command);
    return it == handlers.end() ? nullptr : it->second;
}

APMPValueRef APMPFunctionEvaluator::evaluateCommand(const APMPString& command,
                                                    const APMPValueList& arguments,
                                                    const APMPScopeRef& scope,
                                                    APMPErrorSlot& error) {
    APMPValueRef value = scope->valueForName(command);
    if (!APMPIsKind(value, APMPKind::Function)) return APMPUndefined();
    return static_cast<APMPFunctionValue&>(*value).invokeWithArguments(arguments, scope, error);
}

// ---- registrar ----

APMPCommandRegistrar::APMPCommandRegistrar() {
    registerEvaluator(std::make_shared<APMPBitwiseCommandEvaluator>());
    registerEvaluator(std::make_shared<APMPComparisonCommandEvaluator>());
    registerEvaluator(std::make_shared<APMPControlCommandEvaluator>());
    registerEvaluator(std::make_shared<APMPLogicalCommandEvaluator>());
    registerEvaluator(std::make_shared<APMPLoopCommandEvaluator>());
    registerEvaluator(std::make_shared<APMPMathCommandEvaluator>());
    registerEvaluator(std::make_shared<APMPVariableCommandEvaluator>());
}

APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
    static APMPCommandRegistrar* registrar = new APMPCommandRegistrar();
    return *registrar;
}

void APMPCommandRegistrar::registerEvaluator(std::shared_ptr<APMPCommandEvaluator> evaluator) {
    for (const APMPString& name : evaluator->allSupportedCommands()) {
        APMPCommandHandler handler = evaluator->handlerFor(name);
        bool evaluates = evaluator->evaluatesArguments();
        commandEvaluators_[name] = APMPCommandSlot{
            evaluator.get(),
            handler,
            evaluates,
            evaluates && handler == APMPVariableReadHandler(),
            evaluates && handler == APMPVariableAssignHandler(),
            handler == APMPBlockHandler(),
            evaluates && handler == APMPPropertyReadHandler(),
            evaluates && handler == APMPPropertyWriteHandler(),
            handler == APMPIfHandler()};
    }
    owned_.push_back(std::move(evaluator));
}

const APMPCommandSlot* APMPCommandRegistrar::slotFor(const APMPString& command) const {
    auto it = commandEvaluators_.find(command);
    return it == commandEvaluators_.end() ? nullptr : &it->second;
}

using apmp_detail::countInstruction;
using apmp_detail::DepthGuard;
using apmp_detail::tNesting;

namespace {

using apmp_detail::isIndexBelow;

// Literals, and statements that only read variables and elements, compute
// and compare: evaluating them changes nothing.
bool isPure(const APMPValueRef& argument) {
    if (argument->kind() != APMPKind::Statement) return true;
    const auto& statement = static_cast<const APMPStatementValue&>(*argument);
    return statement.cost.count != 0 && statement.form != APMPStatementForm::Assign &&
           statement.form != APMPStatementForm::AssignSum &&
           statement.form != APMPStatementForm::WriteProperty;
}

}  // namespace

APMPValueRef APMPCommandRegistrar::evaluateStatement(const APMPValueRef& value,
                                                     const APMPScopeRef& scope,
                                                     APMPErrorSlot& error) {
    APMPRunContext& context = scope->context();
    if (!countInstruction(context, error)) return APMPUndefined();
    if (value->kind() != APMPKind::Statement) return value;
    if (!apmp_detail::checkDepth(context, error)) return APMPUndefined();
    // Callers hold the statement lists they run, so the statement outlives
    // this call even when a program redefines the function it sits in.
    const auto& statement = static_cast<const APMPStatementValue&>(*value);
    // Variable reads are the commonest statement of all.
    if (statement.form == APMPStatementForm::ReadVariable) {
        if (!countInstruction(context, error)) return APMPUndefined();
        APMPPropertyMap::Slot* slot = apmp_detail::findVariable(statement, *scope);
        return slot ? slot->value : APMPUndefined();
    }
    if (statement.form != APMPStatementForm::General)
        return apmp_detail::evaluateForm(statement, scope, error);
    return evaluateCommand(statement, scope, error);
}

APMPValueRef APMPCommandRegistrar::evaluateCommand(const APMPStatementValue& statement,
                                                   const APMPScopeRef& scope, APMPErrorSlot& error,
                                                   double* number) {
    APMPRunContext& context = scope->context();
    const auto* slot = static_cast<const APMPCommandSlot*>(statement.command);
    // A variable read by a literal name evaluates nothing further: only
    // the name's evaluation is counted, as the general path would.
    if (slot && slot->readsVariable && statement.arguments.size() == 1 &&
        statement.arguments[0]->kind() == APMPKind::String) {
        if (!countInstruction(context, error)) return APMPUndefined();
        return scope->valueForName(
            static_cast<const APMPStringValue&>(*statement.arguments[0]).value);
    }
    DepthGuard guard(context);
    // An assignment to a literal name: the same steps as the general path
    // below, without filling an argument buffer.
    if (slot && slot->assignsVariable && statement.arguments.size() == 2 &&
        statement.arguments[0]->kind() == APMPKind::String) {
        if (!countInstruction(context, error)) return APMPUndefined();
        APMPValueRef assigned = evaluateStatement(statement.arguments[1], scope, error);
        if (error) return APMPUndefined();
        if (!scope->assignExisting(
                assigned, static_cast<const APMPStringValue&>(*statement.arguments[0]).value)) {
            APMPSetError(error, kAPMPErrorUndeclared);
            return APMPUndefined();
        }
        return assigned;
    }
    if (!slot) {
        // The name is resolved once per scope layout, like a variable read.
        // The function is held while its arguments and its body run: either
        // may assign the name.
        APMPPropertyMap::Slot* found =
            apmp_detail::findName(statement.nameCache, statement.functionName, *scope);
        if (!found || !APMPIsKind(found->value, APMPKind::Function)) return APMPUndefined();
        APMPValueRef held = found->value;
        auto* function = static_cast<APMPFunctionValue*>(held.get());
        // Native functions evaluate their arguments as they need.
        if (typeid(*function) != typeid(APMPFunctionValue))
            return function->invokeWithArguments(statement.arguments, scope, error);
        APMPValueList* values = evaluateIntoBuffer(statement.arguments, scope, error);
        if (!values) return APMPUndefined();
        APMPValueRef result = function->callHeld(*values, error, number);
        values->clear();
        return result;
    }
    if (slot->readsProperty && statement.arguments.size() == 2)
        return readProperty(statement, scope, error, number);
    if (slot->writesProperty && statement.arguments.size() == 3)
        return writeProperty(statement, scope, error);
    if (slot->runsBlock) {
        if (!statement.blockDeclares)
            return APMPEvaluator::executeStatements(statement.arguments, scope, error);
        return APMPEvaluator::executeStatements(statement.arguments, scope->createChildScope(),
                                                error);
    }
    if (!slot->evaluatesArguments) return slot->handler(statement.arguments, scope, error);
    APMPValueList* values = evaluateIntoBuffer(statement.arguments, scope, error);
    if (!values) return APMPUndefined();
    APMPValueRef result = slot->handler(*values, scope, error);
    values->clear();
    return result;
}

namespace {

// The evaluated arguments of a command the registrar runs inline, counted
// and checked in order as evaluateIntoBuffer does. A literal is read in
// place, and so is a variable when no later argument can change it; the
// rest are held. With `unboxLast`, a number the last argument computes is
// kept unboxed (see unboxed()).
template <std::size_t N>
class Operands {
  public:
    bool evaluate(APMPCommandRegistrar& registrar, const APMPValueList& arguments,
                  const APMPScopeRef& scope, APMPErrorSlot& error, bool unboxLast = false) {
        APMPRunContext& context = scope->context();
        std::size_t pureFrom = N;
        while (pureFrom > 0 && isPure(arguments[pureFrom - 1])) --pureFrom;
        for (std::size_t i = 0; i < N; ++i) {
            const APMPValueRef& argument = arguments[i];
            if (argument->kind() != APMPKind::Statement) {
                if (!countInstruction(context, error)) return false;
                values_[i] = &argument;
                continue;
            }
            const auto& statement = static_cast<const APMPStatementValue&>(*argument);
            if (i + 1 >= pureFrom && statement.form == APMPStatementForm::ReadVariable) {
                if (!countInstruction(context, error) || !apmp_detail::checkDepth(context, error) ||
                    !countInstruction(context, error))
                    return false;
                APMPPropertyMap::Slot* slot = apmp_detail::findVariable(statement, *scope);
                values_[i] = slot ? &slot->value : &APMPUndefined();
                continue;
            }
            if (unboxLast && i + 1 == N) {
                bool isNumber =
                    apmp_detail::evaluateOperand(argument, scope, error, number_, held_[i]);
                if (error) return false;
                unboxed_ = isNumber && !held_[i];
                values_[i] = &held_[i];
                continue;
            }
            held_[i] = registrar.evaluateStatement(argument, scope, error);
            if (error) return false;
            values_[i] = &held_[i];
        }
        return true;
    }
    // Whether the last argument is a number held only in number().
    bool unboxed() const { return unboxed_; }
    double number() const { return number_; }
    // The last argument as a value of its own, boxed if need be, for a
    // caller done with the operands.
    APMPValueRef takeLast() {
        if (unboxed_) {
            unboxed_ = false;
            return APMPNumberValue::make(number_);
        }
        if (values_[N - 1] == &held_[N - 1]) return std::move(held_[N - 1]);
        return *values_[N - 1];
    }
    // The last argument as a value, boxed if need be.
    const APMPValueRef& last() {
        if (unboxed_) {
            held_[N - 1] = APMPNumberValue::make(number_);
            unboxed_ = false;
        }
        return *values_[N - 1];
    }
    const APMPValueRef& operator[](std::size_t i) const { return *values_[i]; }

  private:
    // Each set by evaluate() before it is read.
    const APMPValueRef* values_[N];
    APMPValueRef held_[N];
    double number_ = 0;
    bool unboxed_ = false;
};

// numberHeldOnce for the evaluated object and key of a write.
APMPValueRef* numberInPlace(const APMPValueRef& object, const APMPValueRef& key) {
    if (object->kind() == APMPKind::Map && key->kind() == APMPKind::String)
        return apmp_detail::numberHeldOnce(static_cast<APMPMapValue&>(*object),
                                           static_cast<const APMPStringValue&>(*key).value);
    if (object->kind() == APMPKind::Array && key->kind() == APMPKind::Number)
        return apmp_detail::numberHeldOnce(static_cast<const APMPArrayValue&>(*object),
                                           static_cast<const APMPNumberValue&>(*key).value);
    return nullptr;
}

}  // namespace

APMPValueRef APMPCommandRegistrar::readProperty(const APMPStatementValue& statement,
                                                const APMPScopeRef& scope, APMPErrorSlot& error,
                                                double* number) {
    Operands<2> operands;
    if (!operands.evaluate(*this, statement.arguments, scope, error)) return APMPUndefined();
    const APMPValueRef& object = operands[0];
    const APMPValueRef& key = operands[1];
    // An element or map entry that is a number goes out unboxed.
    if (number) {
        const APMPValueRef* found = nullptr;
        if (object->kind() == APMPKind::Map && key->kind() == APMPKind::String) {
            found = static_cast<const APMPMapValue&>(*object).propertyMap.find(
                static_cast<const APMPStringValue&>(*key).value);
        } else if (object->kind() == APMPKind::Array && key->kind() == APMPKind::Number) {
            double index = static_cast<const APMPNumberValue&>(*key).value;
            const auto& elements = static_cast<const APMPArrayValue&>(*object).elements();
            if (isIndexBelow(index, elements.size()))
                found = &elements[static_cast<std::size_t>(index)];
        }
        if (found && (*found)->kind() == APMPKind::Number) {
            *number = static_cast<const APMPNumberValue&>(**found).value;
            return nullptr;
        }
        if (object->kind() == APMPKind::String && key->kind() == APMPKind::String &&
            static_cast<const APMPStringValue&>(*key).value == u"length") {
            *number = static_cast<double>(static_cast<const APMPStringValue&>(*object).value.size());
            return nullptr;
        }
    }
    return APMPPropertyOf(object, key, error);
}

APMPValueRef APMPCommandRegistrar::writeProperty(const APMPStatementValue& statement,
                                                 const APMPScopeRef& scope, APMPErrorSlot& error,
                                                 bool wantResult) {
    Operands<3> operands;
    if (!operands.evaluate(*this, statement.arguments, scope, error, true))
        return APMPUndefined();
    // A number that replaces a number nothing else holds is written into it.
    if (operands.unboxed()) {
        if (APMPValueRef* held = numberInPlace(operands[0], operands[1])) {
            static_cast<APMPNumberValue&>(**held).value = operands.number();
            return wantResult ? *held : nullptr;
        }
    }
    const APMPValueRef& object = operands[0];
    const APMPValueRef& key = operands[1];
    // An element by its number is written without converting the key again;
    // a value nobody else wants is handed over rather than shared.
    if (object->kind() == APMPKind::Array && key->kind() == APMPKind::Number) {
        double index = static_cast<const APMPNumberValue&>(*key).value;
        if (index >= 0 && std::isfinite(index) && std::trunc(index) == index) {
            auto& array = static_cast<APMPArrayValue&>(*object);
            if (!wantResult) {
                array.setElement(index, operands.takeLast(), error);
                return error ? APMPUndefined() : nullptr;
            }
            const APMPValueRef& value = operands.last();
            array.setElement(index, value, error);
            return error ? APMPUndefined() : value;
        }
    }
    const APMPValueRef& value = operands.last();
    APMPSetProperty(object, key, value, error);
    if (error) return APMPUndefined();
    return wantResult ? value : nullptr;
}

APMPValueList* APMPCommandRegistrar::evaluateIntoBuffer(const APMPValueList& arguments,
                                                        const APMPScopeRef& scope,
                                                        APMPErrorSlot& error) {
    APMPRunContext& context = scope->context();
    // One argument buffer per nesting level, reused: evaluated arguments
    // live only while their handler or function runs.
    // Buffers are reached through pointers so that adding one never moves
    // another that an outer level is filling.
    thread_local std::vector<std::unique_ptr<APMPValueList>> buffers;
    while (buffers.size() <= tNesting) buffers.push_back(std::make_unique<APMPValueList>());
    APMPValueList& values = *buffers[tNesting];
    values.clear();
    for (const APMPValueRef& argument : arguments) {
        // Literals inline: counted like any evaluation, without the call.
        if (argument->kind() != APMPKind::Statement) {
            if (!countInstruction(context, error)) {
                values.clear();
                return nullptr;
            }
            values.push_back(argument);
            continue;
        }
        values.push_back(evaluateStatement(argument, scope, error));
        if (error) {
            values.clear();
            return nullptr;
        }
    }
    return &values;
}

APMPValueRef APMPEvaluator::evaluateStatement(const APMPValueRef& value, const APMPScopeRef& scope,
                                              APMPErrorSlot& error) {
    return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

APMPValueRef APMPEvaluator::executeStatements(const APMPValueList& statements,
                                              const APMPScopeRef& scope, APMPErrorSlot& error) {
    APMPValueRef result = APMPUndefined();
    auto& registrar = APMPCommandRegistrar::sharedInstance();
    for (const APMPValueRef& statement : statements) {
        result = registrar.evaluateStatement(statement, scope, error);
        if (error) return APMPUndefined();
        if (result->kind() == APMPKind::Control) return result;
    }
    return result;
}

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                    APMPErrorSlot& error) {
    APMPValueList values;
    values.reserve(arguments.size());
    auto& registrar = APMPCommandRegistrar::sharedInstance();
    for (const APMPValueRef& argument : arguments) {
        values.push_back(registrar.evaluateStatement(argument, scope, error));
        if (error) break;
    }
    return values;
}

bool APMPCheckArgumentCount(const APMPValueList& list, std::size_t count, APMPErrorSlot& error) {
    if (list.size() == count) return true;
    APMPSetError(error, kAPMPErrorArgumentCount);
    return false;
}
bool APMPCheckMinimumArgumentCount(const APMPValueList& list, std::size_t count,
                                   APMPErrorSlot& error) {
    if (list.size() >= count) return true;
    APMPSetError(error, kAPMPErrorArgumentCount);
    return false;
}
bool APMPCheckMaximumArgumentCount(const APMPValueList& list, std::size_t count,
                                   APMPErrorSlot& error) {
    if (list.size() <= count) return true;
    APMPSetError(error, kAPMPErrorArgumentCount);
    return false;
}

// ---- entity conversion ----

namespace {
constexpr std::int32_t kEntityType = 0;
constexpr std::int32_t kEntityValue = 1;
constexpr std::int32_t kEntityFunctionName = 2;
constexpr std::int32_t kEntityStringValue = 3;
constexpr std::int32_t kEntityBooleanValue = 4;
constexpr std::int32_t kEntityNumberValue = 5;

// A string field as text; a present but empty field reads as "", and bytes
// that are not UTF-8 are replaced rather than dropped.
APMPString entityText(const APMPBRuntimeEntity& entity, std::int32_t field) {
    std::optional<Data> bytes = APMPBGetBytes(&entity, field);
    if (!bytes) return {};
    return APMPUTF16(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

APMPValueRef convertEntity(const APMPBRuntimeEntity& entity, int depth, APMPErrorSlot& error) {
    std::int32_t type =
        APMPBHasField(&entity, kEntityType) ? APMPBGetInt32(&entity, kEntityType) : 0;
    switch (type) {
        case 1:
            return APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(entity);
        case 2:
            return APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
        case 3:
            return APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
        case 4: {
            if (!APMPBHasField(&entity, kEntityFunctionName)) {
                APMPSetError(error, kAPMPErrorNoCommandName);
                return APMPUndefined();
            }
            if (depth >= APMPRunContext::kDepthLimit) {
                APMPSetError(error, kAPMPErrorDepthLimit);
                return APMPUndefined();
            }
            APMPValueList arguments;
            if (auto values =
                    APMPBGetArray(&entity, kEntityValue, APMPBRuntimeEntity::classObject())) {
                arguments.reserve(values->size());
                for (const APMPBObject& object : *values) {
                    auto* child = static_cast<const APMPBRuntimeEntity*>(object.message().get());
                    if (!child) {
                        APMPSetError(error, kAPMPErrorEntityKind);
                        return APMPUndefined();
                    }
                    APMPValueRef value = convertEntity(*child, depth + 1, error);
                    if (error) return APMPUndefined();
                    arguments.push_back(std::move(value));
                }
            }
            return std::make_shared<APMPStatementValue>(entityText(entity, kEntityFunctionName),
                                                        std::move(arguments));
        }
        default:
            APMPSetError(error, kAPMPErrorEntityKind);
            return APMPUndefined();
    }
}
}  // namespace

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, APMPErrorSlot& error) {
    return convertEntity(entity, 0, error);
}

APMPValueRef APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity, APMPErrorSlot& error) {
    return convertEntity(entity, 0, error);
}

APMPValueRef APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity) {
    return APMPStringValue::make(entityText(entity, kEntityStringValue));
}

APMPValueRef APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity) {
    if (!APMPBHasField(&entity, kEntityNumberValue))
        return APMPNumberValue::make(std::numeric_limits<double>::quiet_NaN());
    return APMPNumberValue::make(APMPBGetDouble(&entity, kEntityNumberValue));
}

APMPValueRef APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(
    const APMPBRuntimeEntity& entity) {
    return APMPBool(APMPBHasField(&entity, kEntityBooleanValue) &&
                    APMPBGetBool(&entity, kEntityBooleanValue));
}

namespace {
APMPValueRef fromObject(const Value& object, int depth, APMPErrorSlot& error) {
    if (depth >= APMPRunContext::kDepthLimit) {
        APMPSetError(error, kAPMPErrorDepthLimit);
        return APMPUndefined();
    }
    switch (object.type()) {
        case Value::Type::Null:
            return APMPNull();
        case Value::Type::Bool:
            return APMPBool(*object.asBool());
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double:
            return APMPNumberValue::make(*object.asDouble());
        case Value::Type::String: {
            std::string text = *object.asString();
            APMPString converted = APMPUTF16(text);
            if (!APMPCheckStringLength(converted.size(), error)) return APMPUndefined();
            return APMPStringValue::make(std::move(converted));
        }
        case Value::Type::Dictionary: {
            auto map = APMPMapValue::make();
            for (const auto& [key, value] : *object.asDictionary()) {
                APMPValueRef converted = fromObject(value, depth + 1, error);
                if (error) return APMPUndefined();
                map->setValue(converted, APMPUTF16(key));
            }
            return map;
        }
        case Value::Type::Array: {
            APMPValueList elements;
            for (const Value& element : *object.asArray()) {
                APMPValueRef converted = fromObject(element, depth + 1, error);
                if (error) return APMPUndefined();
                elements.push_back(std::move(converted));
            }
            auto array = APMPArrayValue::make(std::move(elements), error);
            if (!array) return APMPUndefined();
            return array;
        }
        default:
            APMPSetError(error, kAPMPErrorObjectClass);
            return APMPUndefined();
    }
}

// The bytes of one converted object besides its text.
constexpr std::int64_t kObjectBytes = 64;

// Every object made is counted in `held` and charged as work: a map that
// reaches the same large array many times, or a chain of arrays that each
// hold the next twice, ends with an error instead of a copy without bound.
Value toObject(const APMPValueRef& value, int depth, APMPHeldBytes& held, APMPErrorSlot& error);

Dictionary toDictionary(const APMPMapValue& map, int depth, APMPHeldBytes& held,
                        APMPErrorSlot& error) {
    Dictionary dictionary;
    for (const APMPString& name : map.allPropertyNames()) {
        if (!held.charge(kObjectBytes + static_cast<std::int64_t>(name.size()), error)) break;
        Value converted = toObject(map.valueForProperty(name), depth + 1, held, error);
        if (error) break;
        if (!converted.isNull()) dictionary.set(APMPUTF8(name), std::move(converted));
    }
    return dictionary;
}

Value toObject(const APMPValueRef& value, int depth, APMPHeldBytes& held, APMPErrorSlot& error) {
    // A map or array that holds itself must end with an error, not recurse.
    if (depth >= APMPRunContext::kDepthLimit) {
        APMPSetError(error, kAPMPErrorDepthLimit);
        return Value(std::string());
    }
    if (!APMPChargeWork(1, error) || !held.charge(kObjectBytes, error)) return Value(std::string());
    switch (value->kind()) {
        case APMPKind::Null:
            return Value();
        case APMPKind::Undefined:
            return Value(std::string());
        case APMPKind::Map:
            return Value(
                toDictionary(static_cast<const APMPMapValue&>(*value), depth, held, error));
        case APMPKind::Array: {
            // A null element stays a null object in the array.
            Array array;
            for (const APMPValueRef& element :
                 static_cast<const APMPArrayValue&>(*value).allElements()) {
                array.push_back(toObject(element, depth + 1, held, error));
                if (error) break;
            }
            return Value(std::move(array));
        }
        default: {
            APMPErrorSlot numberError;
            double number = value->doubleValueOrError(numberError);
            if (!numberError && !std::isnan(number)) return Value(number);
            APMPString text = value->stringValueOrError(error);
            // As UTF-8 a code unit takes at most three bytes.
            if (error || !held.charge(static_cast<std::int64_t>(3 * text.size()), error))
                return Value(std::string());
            APMPAddWork(APMPWorkOfConversion(text.size()));
            return Value(APMPUTF8(text));
        }
    }
}
}  // namespace

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromNSObject(const Value& object,
                                                                  APMPErrorSlot& error) {
    return fromObject(object, 0, error);
}

Value APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPValueRef& value,
                                                         APMPErrorSlot& error) {
    APMPHeldBytes held;
    return toObject(value, 0, held, error);
}

Value APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPValueRef& value,
                                                         APMPHeldBytes& held,
                                                         APMPErrorSlot& error) {
    return toObject(value, 0, held, error);
}

Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                              APMPErrorSlot& error) {
    APMPHeldBytes held;
    return toDictionary(map, 0, held, error);
}

Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                              APMPHeldBytes& held,
                                                              APMPErrorSlot& error) {
    return toDictionary(map, 0, held, error);
}

// ---- runtime ----

APMPRuntime::APMPRuntime()
    : initScope_(APMPScope::make()),
      globalScope_(initScope_->createChildScope()),
      apiProvider_(std::make_shared<APMPDynamicProvider>()) {
    globalScope_->setValue(std::make_shared<APMPRequire>(apiProvider_), u"require");
    setModuleCreator([] { return std::make_shared<APMPRuntimePlatform>(); }, "internal.platform");
    resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
    // Functions keep their defining scopes and scopes keep their functions:
    // break every such cycle made under this runtime.
    initScope_->context().releaseAll();
    globalScope_->releaseReferences();
    initScope_->releaseReferences();
}

void APMPRuntime::releaseUnreachable(const APMPValueList& roots) {
    APMPMarker marker;
    marker.markScope(initScope_.get());
    marker.markScope(globalScope_.get());
    for (const APMPValueRef& root : roots) marker.markValue(root);
    marker.drain();
    initScope_->context().releaseUnmarked(marker);
}

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
    apiProvider_->setModuleCreator(std::move(creator), name);
}

APMPValueRef APMPRuntime::executeStatements(
    const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& statements, APMPErrorSlot& error) {
    APMPValueRef result = APMPUndefined();
    for (const auto& entity : statements) {
        if (!entity) continue;
        APMPValueRef statement =
            APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, error);
        if (error) return APMPUndefined();
        result = APMPEvaluator::evaluateStatement(statement, globalScope_, error);
        if (error) return APMPUndefined();
    }
    return result;
}

APMPValueRef APMPRuntime::executeValues(const APMPValueList& statements, APMPErrorSlot& error) {
    APMPValueRef result = APMPUndefined();
    for (const APMPValueRef& statement : statements) {
        result = APMPEvaluator::evaluateStatement(statement, globalScope_, error);
        if (error) return APMPUndefined();
    }
    return result;
}

std::int64_t APMPRuntime::getInstructionCount(APMPErrorSlot&) const {
    return initScope_->context().instructionCount;
}

void APMPRuntime::resetInstructionCount() {
    initScope_->context().resetBudget();
}

APMPRuntimePlatform::APMPRuntimePlatform()
    : APMPFunctionValue(u"internal.platform", {}, {}, APMPScope::make()) {
    setValue(std::make_shared<APMPFunctionGetVersion>(), u"getVersion");
}

APMPValueRef APMPRuntimePlatform::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                      APMPErrorSlot&) {
    return APMPUndefined();
}

// ---- modules ----

void APMPDynamicProvider::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
    creators_[name] = std::move(creator);
}

APMPValueRef APMPDynamicProvider::moduleForName(const std::string& name,
                                                APMPErrorSlot& error) const {
    auto it = creators_.find(name);
    if (it == creators_.end() || !it->second) return APMPUndefined();
    APMPValueRef module = it->second();
    if (!module) {
        APMPSetError(error, kAPMPErrorModuleMissing);
        return APMPUndefined();
    }
    return module;
}

APMPRequire::APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
    : APMPFunctionValue(u"require", {}, {}, APMPScope::make()), provider_(std::move(provider)) {}

APMPValueRef APMPRequire::invokeWithArguments(const APMPValueList& arguments,
                                              const APMPScopeRef& scope, APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    std::string name = APMPUTF8(values[0]->stringValueOrError(error));
    if (error) return APMPUndefined();
    if (auto cached = modules_.find(name); cached != modules_.end()) return cached->second;
    if (!provider_) return APMPUndefined();
    APMPValueRef module = provider_->moduleForName(name, error);
    if (error || module->kind() == APMPKind::Undefined) return APMPUndefined();
    modules_[name] = module;
    return module;
}

void APMPRequire::markReferences(APMPMarker& marker) const {
    APMPFunctionValue::markReferences(marker);
    for (const auto& [name, module] : modules_) marker.markValue(module);
}

void APMPRequire::releaseReferences() {
    APMPFunctionValue::releaseReferences();
    modules_.clear();
}

APMPObjectProvider::APMPObjectProvider(const std::string& name, std::function<Value()> block)
    : APMPFunctionValue(APMPUTF16(name), {}, {}, APMPScope::make()), block_(std::move(block)) {}

APMPValueRef APMPObjectProvider::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                     APMPErrorSlot& error) {
    Value object = block_ ? block_() : Value();
    return APMPRuntimeEntityConverter::runtimeValueFromNSObject(object, error);
}
