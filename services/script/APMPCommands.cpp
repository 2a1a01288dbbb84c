// The command evaluators: control, variable and loop commands that give
// programs their structure, and the comparison, logical, math and bitwise
// operators.

#include <cmath>
#include <cstdint>
#include <optional>

#include "services/script/APMPEvaluation.h"
#include "services/script/APMPRuntime.h"

namespace {

using Ref = APMPValueRef;
using List = APMPValueList;
using Scope = APMPScopeRef;
using Slot = APMPErrorSlot;

const Ref& undefinedValue() {
    return APMPUndefined();
}

Ref fail(Slot& error, int code) {
    APMPSetError(error, code);
    return APMPUndefined();
}

bool isControl(const Ref& value) {
    return value->kind() == APMPKind::Control;
}

APMPControlType controlType(const Ref& value) {
    return static_cast<const APMPControlValue&>(*value).type;
}

Ref evaluate(const Ref& value, const Scope& scope, Slot& error) {
    return APMPEvaluator::evaluateStatement(value, scope, error);
}

// Runs the elements of an array value as a statement list in `scope`.
Ref runArray(const Ref& array, const Scope& scope, Slot& error) {
    List statements = static_cast<const APMPArrayValue&>(*array).allElements();
    return APMPEvaluator::executeStatements(statements, scope, error);
}

Ref statementList(const List& arguments, const Scope&, Slot& error);

bool isStatementListLiteral(const Ref& argument) {
    if (argument->kind() != APMPKind::Statement) return false;
    const auto* slot = static_cast<const APMPCommandSlot*>(
        static_cast<const APMPStatementValue&>(*argument).command);
    return slot && slot->handler == statementList;
}

}  // namespace

namespace apmp_detail {

const APMPValueList* listArgument(const APMPValueRef& argument, const APMPScopeRef& scope,
                                  APMPErrorSlot& error, std::optional<APMPValueList>& storage) {
    if (isStatementListLiteral(argument)) {
        APMPRunContext& context = scope->context();
        if (!countInstruction(context, error) || !checkDepth(context, error)) return nullptr;
        return &static_cast<const APMPStatementValue&>(*argument).arguments;
    }
    Ref value = evaluate(argument, scope, error);
    if (error || value->kind() != APMPKind::Array) return nullptr;
    return &storage.emplace(static_cast<const APMPArrayValue&>(*value).allElements());
}

APMPValueRef runBranch(const APMPValueRef& branch, const APMPScopeRef& scope,
                       APMPErrorSlot& error) {
    if (isStatementListLiteral(branch)) {
        std::optional<List> storage;
        const List* statements = listArgument(branch, scope, error, storage);
        if (error) return undefinedValue();
        return APMPEvaluator::executeStatements(*statements, scope, error);
    }
    Ref result = evaluate(branch, scope, error);
    if (error) return undefinedValue();
    if (result->kind() == APMPKind::Array) return runArray(result, scope, error);
    return result;
}

}  // namespace apmp_detail

namespace {

using apmp_detail::listArgument;

const APMPString& textOf(const Ref& value) {
    return static_cast<const APMPStringValue&>(*value).value;
}

Ref makeArray(List elements, Slot& error) {
    auto array = APMPArrayValue::make(std::move(elements), error);
    if (!array) return APMPUndefined();
    return array;
}

// ---- control ----

Ref methodCall(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return undefinedValue();
    Ref target = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    Ref name = evaluate(arguments[1], scope, error);
    if (error) return undefinedValue();
    std::optional<List> storage;
    const List* callArguments = listArgument(arguments[2], scope, error, storage);
    if (error) return undefinedValue();
    if (name->kind() != APMPKind::String || !callArguments)
        return fail(error, kAPMPErrorArgumentKind);
    return target->applyWithName(textOf(name), *callArguments, scope, error);
}

Ref breakCommand(const List& arguments, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return undefinedValue();
    return APMPControlValue::breakValue();
}

Ref continueCommand(const List& arguments, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return undefinedValue();
    return APMPControlValue::continueValue();
}

Ref runArrayCommand(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return undefinedValue();
    Ref array = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    if (array->kind() != APMPKind::Array) return fail(error, kAPMPErrorArgumentKind);
    return runArray(array, scope, error);
}

Ref sequence(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 1, error)) return undefinedValue();
    Ref result = undefinedValue();
    for (const Ref& argument : arguments) {
        result = evaluate(argument, scope, error);
        if (error) return undefinedValue();
        if (isControl(result)) return fail(error, kAPMPErrorArgumentKind);
    }
    return result;
}

Ref ifCommand(const List& arguments, const Scope& scope, Slot& error) {
    if (arguments.empty() || arguments.size() > 3) return fail(error, kAPMPErrorArgumentCount);
    bool truth = apmp_detail::evaluateTruth(arguments[0], scope, error);
    if (error) return undefinedValue();
    std::size_t branch = truth ? 1 : 2;
    if (branch >= arguments.size()) return undefinedValue();
    return apmp_detail::runBranch(arguments[branch], scope, error);
}

Ref conditional(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return undefinedValue();
    Ref condition = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    bool truth = condition->booleanValueOrError(error);
    if (error) return undefinedValue();
    return evaluate(arguments[truth ? 1 : 2], scope, error);
}

Ref returnCommand(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return undefinedValue();
    if (arguments.empty()) return APMPControlValue::returnValueWithData(undefinedValue());
    Ref value = evaluate(arguments[0], scope, error);
    return APMPControlValue::returnValueWithData(value);
}

bool isBreakStatement(const Ref& value) {
    if (value->kind() != APMPKind::Statement) return false;
    const auto& statement = static_cast<const APMPStatementValue&>(*value);
    const auto* slot = static_cast<const APMPCommandSlot*>(statement.command);
    return slot && slot->handler == breakCommand && statement.arguments.empty();
}

// What a case body did: went on to the next case, left the switch, or
// gave a control value the switch passes on.
enum class CaseEnd { Next, Break, Control };

// Runs one statement of a case body. A break is counted and checked as its
// command would be and ends the switch without a control value.
CaseEnd runCaseStatement(const Ref& statement, const Scope& scope, Slot& error, Ref& control) {
    if (isBreakStatement(statement)) {
        APMPRunContext& context = scope->context();
        if (apmp_detail::countInstruction(context, error)) apmp_detail::checkDepth(context, error);
        return CaseEnd::Break;
    }
    Ref result = apmp_detail::evaluateForEffect(statement, scope, error);
    if (error || !result || !isControl(result)) return CaseEnd::Next;
    if (controlType(result) == APMPControlType::Break) return CaseEnd::Break;
    control = std::move(result);
    return CaseEnd::Control;
}

// Runs a case body. A block that declares nothing has its statements run
// here, counted and nested as the block command would run them.
CaseEnd runCaseBody(const Ref& body, const Scope& scope, Slot& error, Ref& control) {
    const auto* statement = body->kind() == APMPKind::Statement
                                ? static_cast<const APMPStatementValue*>(body.get())
                                : nullptr;
    const auto* slot =
        statement ? static_cast<const APMPCommandSlot*>(statement->command) : nullptr;
    if (!slot || !slot->runsBlock || statement->blockDeclares)
        return runCaseStatement(body, scope, error, control);
    APMPRunContext& context = scope->context();
    if (!apmp_detail::countInstruction(context, error) || !apmp_detail::checkDepth(context, error))
        return CaseEnd::Break;
    apmp_detail::DepthGuard guard(context);
    for (const Ref& inner : statement->arguments) {
        CaseEnd end = runCaseStatement(inner, scope, error, control);
        if (error || end != CaseEnd::Next) return end;
    }
    return CaseEnd::Next;
}

// Whether `candidate`, a case's value, strictly equals the discriminant,
// which is `number` when `isNumber` and otherwise `discriminant`.
bool caseMatches(const APMPRuntimeValue& candidate, bool isNumber, double number, Ref& discriminant,
                 Slot& error) {
    if (isNumber && candidate.kind() == APMPKind::Number)
        return static_cast<const APMPNumberValue&>(candidate).value == number;
    if (!discriminant) discriminant = APMPNumberValue::make(number);
    return APMPStrictEquals(candidate, *discriminant, error);
}

Ref switchCommand(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return undefinedValue();
    // A number discriminant is kept unboxed until a case is not a number.
    double number = 0;
    Ref discriminant;
    bool isNumber = apmp_detail::evaluateOperand(arguments[0], scope, error, number, discriminant);
    if (error) return undefinedValue();
    std::optional<List> caseStorage, bodyStorage;
    const List* caseList = listArgument(arguments[1], scope, error, caseStorage);
    if (error) return undefinedValue();
    const List* bodyList = listArgument(arguments[2], scope, error, bodyStorage);
    if (error) return undefinedValue();
    if (!caseList || !bodyList) return fail(error, kAPMPErrorArgumentCount);
    const List& cases = *caseList;
    const List& bodies = *bodyList;
    std::size_t first = 0;
    for (; first < cases.size(); ++first) {
        const Ref& candidate = cases[first];
        bool matched;
        // A literal case is compared in place; its evaluation still counts.
        if (candidate->kind() != APMPKind::Statement) {
            if (!apmp_detail::countInstruction(scope->context(), error)) return undefinedValue();
            if (isNumber && candidate->kind() == APMPKind::Number)
                matched = static_cast<const APMPNumberValue&>(*candidate).value == number;
            else
                matched = caseMatches(*candidate, isNumber, number, discriminant, error);
        } else {
            Ref value = evaluate(candidate, scope, error);
            if (error) return undefinedValue();
            matched = caseMatches(*value, isNumber, number, discriminant, error);
        }
        if (error) return undefinedValue();
        if (matched) break;
    }
    // Bodies run from the matched case on, then the default body, which
    // follows the case bodies when there is one.
    bool hasDefault = bodies.size() == cases.size() + 1;
    Ref control;
    for (std::size_t i = first; i < cases.size() + (hasDefault ? 1 : 0); ++i) {
        // A matched case without a body of its own is a malformed program.
        if (i >= bodies.size()) return fail(error, kAPMPErrorArgumentCount);
        CaseEnd end = runCaseBody(bodies[i], scope, error, control);
        if (error) return undefinedValue();
        if (end == CaseEnd::Break) return undefinedValue();
        if (end == CaseEnd::Control) return control;
    }
    return undefinedValue();
}

Ref statementList(const List& arguments, const Scope&, Slot& error) {
    return makeArray(arguments, error);
}

Ref createFunction(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 2, error)) return undefinedValue();
    APMPString name = arguments[0]->stringValueOrError(error);
    if (error) return undefinedValue();
    Ref parameterList = evaluate(arguments[1], scope, error);
    if (error) return undefinedValue();
    if (parameterList->kind() != APMPKind::Array) return fail(error, kAPMPErrorArgumentKind);
    std::vector<APMPString> parameters;
    for (const Ref& parameter : static_cast<const APMPArrayValue&>(*parameterList).allElements()) {
        parameters.push_back(parameter->stringValueOrError(error));
        if (error) return undefinedValue();
    }
    List statements(arguments.begin() + 2, arguments.end());
    return APMPFunctionValue::make(std::move(name), std::move(parameters), std::move(statements),
                                   scope);
}

Ref functionDeclaration(const List& arguments, const Scope& scope, Slot& error) {
    Ref function = createFunction(arguments, scope, error);
    if (error) return undefinedValue();
    scope->setValue(function, static_cast<const APMPFunctionValue&>(*function).functionName);
    return function;
}

bool mayDeclare(const List& statements);

Ref block(const List& arguments, const Scope& scope, Slot& error) {
    // A block whose statements cannot add a name to the scope they run in
    // could not tell its own empty scope from the enclosing one.
    if (!mayDeclare(arguments)) return APMPEvaluator::executeStatements(arguments, scope, error);
    return APMPEvaluator::executeStatements(arguments, scope->createChildScope(), error);
}

// ---- variables ----

bool isString(const Ref& value) {
    return value->kind() == APMPKind::String;
}

Ref assign(const List& values, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(values, 2, error)) return undefinedValue();
    if (!isString(values[0])) return fail(error, kAPMPErrorArgumentKind);
    if (!scope->assignExisting(values[1], textOf(values[0])))
        return fail(error, kAPMPErrorUndeclared);
    return values[1];
}

Ref declareVariables(const List& values, const Scope& scope, Slot& error) {
    for (const Ref& name : values) {
        if (!isString(name)) return fail(error, kAPMPErrorArgumentKind);
        scope->addValue(undefinedValue(), textOf(name));
    }
    return undefinedValue();
}

Ref declareConstants(const List& values, const Scope& scope, Slot& error) {
    if (values.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
    for (std::size_t i = 0; i < values.size(); i += 2) {
        if (!isString(values[i])) return fail(error, kAPMPErrorArgumentKind);
        scope->addImmutableValue(values[i + 1], textOf(values[i]));
    }
    return undefinedValue();
}

Ref arrayLiteral(const List& values, const Scope&, Slot& error) {
    return makeArray(values, error);
}

Ref mapLiteral(const List& values, const Scope&, Slot& error) {
    if (values.size() % 2 != 0) return fail(error, kAPMPErrorArgumentCount);
    auto map = APMPMapValue::make();
    for (std::size_t i = 0; i < values.size(); i += 2) {
        APMPString key = values[i]->stringValueOrError(error);
        if (error) return undefinedValue();
        map->setValue(values[i + 1], key);
    }
    return map;
}

Ref readVariable(const List& values, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(values, 1, error)) return undefinedValue();
    if (!isString(values[0])) return fail(error, kAPMPErrorArgumentKind);
    return scope->valueForName(textOf(values[0]));
}

Ref readProperty(const List& values, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(values, 2, error)) return undefinedValue();
    return APMPPropertyOf(values[0], values[1], error);
}

Ref writeProperty(const List& values, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(values, 3, error)) return undefinedValue();
    APMPSetProperty(values[0], values[1], values[2], error);
    return error ? undefinedValue() : values[2];
}

Ref typeName(const List& values, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(values, 1, error)) return undefinedValue();
    switch (values[0]->kind()) {
        case APMPKind::Boolean:
            return APMPStringValue::make(APMPString(u"boolean"));
        case APMPKind::Function:
            return APMPStringValue::make(APMPString(u"function"));
        case APMPKind::Number:
            return APMPStringValue::make(APMPString(u"number"));
        case APMPKind::String:
            return APMPStringValue::make(APMPString(u"string"));
        case APMPKind::Undefined:
            return APMPStringValue::make(APMPString(u"undefined"));
        default:
            return APMPStringValue::make(APMPString(u"object"));
    }
}

Ref undefinedCommand(const List&, const Scope&, Slot&) {
    return undefinedValue();
}
Ref nullCommand(const List&, const Scope&, Slot&) {
    return APMPNull();
}

// ---- loops ----

enum class Binding { Assign, Immutable, Mutable };

using apmp_detail::afterBody;
using apmp_detail::evaluateForEffect;
using apmp_detail::evaluateTruth;
using apmp_detail::runBody;

template <bool Items, Binding Bind>
Ref iterate(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 3, error)) return undefinedValue();
    Ref nameValue = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    Ref collection = evaluate(arguments[1], scope, error);
    if (error) return undefinedValue();
    std::optional<List> storage;
    const List* bodyList = listArgument(arguments[2], scope, error, storage);
    if (error) return undefinedValue();
    APMPString name = nameValue->stringValueOrError(error);
    if (error) return undefinedValue();
    APMPListBuilder list;
    if (!(Items ? APMPLoopItems : APMPLoopKeys)(collection, list, error)) return undefinedValue();
    const List& entries = list.values;
    if (!bodyList) return fail(error, kAPMPErrorArgumentKind);
    const List& body = *bodyList;
    for (const Ref& entry : entries) {
        Scope iterationScope = scope;
        if constexpr (Bind == Binding::Assign) {
            scope->setValue(entry, name);
        } else {
            iterationScope = scope->createChildScope();
            if constexpr (Bind == Binding::Immutable)
                iterationScope->addImmutableValue(entry, name);
            else
                iterationScope->addValue(entry, name);
        }
        Ref result = runBody(body, iterationScope, error);
        switch (afterBody(result, error)) {
            case 1:
                return undefinedValue();
            case 2:
                return result;
            default:
                break;
        }
    }
    return undefinedValue();
}

Ref forLoop(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 4, error)) return undefinedValue();
    Ref nameList = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    if (nameList->kind() != APMPKind::Array) return fail(error, kAPMPErrorArgumentKind);
    std::optional<List> storage;
    const List* bodyList = listArgument(arguments[3], scope, error, storage);
    if (error) return undefinedValue();
    if (!bodyList) return fail(error, kAPMPErrorArgumentKind);
    std::vector<APMPString> names;
    for (const Ref& name : static_cast<const APMPArrayValue&>(*nameList).allElements()) {
        names.push_back(name->stringValueOrError(error));
        if (error) return undefinedValue();
    }
    const List& body = *bodyList;
    Scope current = scope->createChildScope();
    for (const APMPString& name : names) current->addValue(scope->valueForName(name), name);
    // Statements that only compute numbers keep no scope, so the iterations
    // can all share the first one's.
    if (apmp_detail::runNumericLoop(arguments[1], arguments[2], body, *current))
        return undefinedValue();
    while (true) {
        bool truth = evaluateTruth(arguments[1], current, error);
        if (error || !truth) return undefinedValue();
        Ref result = runBody(body, current, error);
        switch (afterBody(result, error)) {
            case 1:
                return undefinedValue();
            case 2:
                return result;
            default:
                break;
        }
        // Each iteration has its own bindings. When nothing kept the last
        // iteration's scope (no closure, no inner scope) and it holds just
        // the loop's names, a copy of it could not be told from it: it is
        // kept, so that the names resolved in it stay resolved.
        if (current.use_count() != 1 || current->contents.isImmutable() ||
            current->contents.count() != names.size()) {
            Scope next = scope->createChildScope();
            for (const APMPString& name : names) next->addValue(current->valueForName(name), name);
            current = std::move(next);
        }
        evaluateForEffect(arguments[2], current, error);
        if (error) return undefinedValue();
    }
}

Ref whileLoop(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 4, error)) return undefinedValue();
    Ref runFirstValue = evaluate(arguments[2], scope, error);
    if (error) return undefinedValue();
    bool runFirst = runFirstValue->booleanValueOrError(error);
    if (error) return undefinedValue();
    std::optional<List> storage;
    const List* bodyList = listArgument(arguments[3], scope, error, storage);
    if (error) return undefinedValue();
    if (!bodyList) return fail(error, kAPMPErrorArgumentKind);
    const List& body = *bodyList;
    if (runFirst) {
        Ref result = APMPEvaluator::executeStatements(body, scope, error);
        switch (afterBody(result, error)) {
            case 1:
                return undefinedValue();
            case 2:
                return result;
            default:
                break;
        }
    }
    if (apmp_detail::runNumericLoop(arguments[0], arguments[1], body, *scope))
        return undefinedValue();
    while (true) {
        bool truth = evaluateTruth(arguments[0], scope, error);
        if (error || !truth) return undefinedValue();
        Ref result = runBody(body, scope, error);
        switch (afterBody(result, error)) {
            case 1:
                return undefinedValue();
            case 2:
                return result;
            default:
                break;
        }
        evaluateForEffect(arguments[1], scope, error);
        if (error) return undefinedValue();
    }
}

// Whether running `statements` might add a name to the scope they run in:
// a declaration, or statements that only arrive as values (an array run by
// a command, a branch or body that is not a statement-list literal). Says
// yes beyond a small number of statements, so the look costs little more
// than the block it saves a scope for.
class DeclarationScan {
  public:
    bool statements(const List& list) {
        for (const Ref& value : list)
            if (statement(value)) return true;
        return false;
    }

  private:
    // Literal values declare nothing; statement-list literals are scanned.
    bool literalList(const Ref& value) {
        if (value->kind() != APMPKind::Statement) return false;
        if (!isStatementListLiteral(value)) return true;
        return statements(static_cast<const APMPStatementValue&>(*value).arguments);
    }

    bool statement(const Ref& value) {
        if (value->kind() != APMPKind::Statement) return false;
        if (--budget_ < 0) return true;
        const auto& node = static_cast<const APMPStatementValue&>(*value);
        const List& arguments = node.arguments;
        const auto* slot = static_cast<const APMPCommandSlot*>(node.command);
        if (!slot) return statements(arguments);  // a call runs in its own scope
        APMPCommandHandler handler = slot->handler;
        if (handler == functionDeclaration || handler == declareVariables ||
            handler == declareConstants || handler == runArrayCommand ||
            handler == iterate<false, Binding::Assign> || handler == iterate<true, Binding::Assign>)
            return true;
        if (handler == block) return false;  // in a scope of its own
        if (handler == createFunction) return arguments.size() > 1 && statement(arguments[1]);
        std::size_t listFrom = arguments.size();
        if (handler == ifCommand)
            listFrom = 1;
        else if (handler == methodCall || handler == switchCommand)
            listFrom = handler == methodCall ? 2 : 1;
        else if (handler == whileLoop)
            listFrom = 3;
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (i >= listFrom ? literalList(arguments[i]) : statement(arguments[i])) return true;
        return false;
    }

    int budget_ = 32;
};

bool mayDeclare(const List& statements) {
    return DeclarationScan().statements(statements);
}

// ---- comparison ----

int equalityCategory(const APMPRuntimeValue& value) {
    switch (value.kind()) {
        case APMPKind::Undefined:
        case APMPKind::Null:
            return 0;
        case APMPKind::Number:
        case APMPKind::Boolean:
            return 1;
        case APMPKind::String:
            return 2;
        default:
            return 3;
    }
}

bool looseEquals(const Ref& a, const Ref& b, Slot& error) {
    const APMPRuntimeValue* first = a.get();
    const APMPRuntimeValue* second = b.get();
    if (equalityCategory(*second) < equalityCategory(*first)) std::swap(first, second);
    switch (equalityCategory(*first)) {
        case 2: {
            APMPString x = first->stringValueOrError(error);
            APMPString y = second->stringValueOrError(error);
            return x == y;
        }
        case 1: {
            double x = first->doubleValueOrError(error);
            double y = second->doubleValueOrError(error);
            return x == y;
        }
        case 0:
            return equalityCategory(*second) == 0;
        default:
            return first == second;
    }
}

int numberOrder(double a, double b) {
    if (a < b) return -1;
    if (a > b) return 1;
    if (a == b) return 0;
    return 1;
}

// -1 less, 0 same, 1 greater (also whenever a NaN is involved).
int order(const Ref& x, const Ref& y, Slot& error) {
    if (x->kind() == APMPKind::Number && y->kind() == APMPKind::Number)
        return numberOrder(static_cast<const APMPNumberValue&>(*x).value,
                           static_cast<const APMPNumberValue&>(*y).value);
    if (APMPIsStringLike(*x) && APMPIsStringLike(*y)) {
        APMPString a = x->stringValueOrError(error);
        if (error) return 0;
        APMPString b = y->stringValueOrError(error);
        if (error) return 0;
        return a < b ? -1 : a == b ? 0 : 1;
    }
    double a = x->doubleValueOrError(error);
    if (error) return 0;
    double b = y->doubleValueOrError(error);
    if (error) return 0;
    return numberOrder(a, b);
}

template <int Op>
Ref compare(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return undefinedValue();
    // Two locals rather than an argument list: comparisons run in every loop.
    Ref first = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    Ref second = evaluate(arguments[1], scope, error);
    if (error) return undefinedValue();
    const Ref v[2] = {std::move(first), std::move(second)};
    bool result = false;
    if constexpr (Op == 12 || Op == 29) {
        result = looseEquals(v[0], v[1], error) == (Op == 12);
    } else if constexpr (Op == 20 || Op == 21) {
        result = APMPStrictEquals(*v[0], *v[1], error) == (Op == 20);
    } else if constexpr (Op == 23) {
        result = order(v[0], v[1], error) < 0;
    } else if constexpr (Op == 24) {
        result = order(v[0], v[1], error) <= 0;
    } else if constexpr (Op == 18) {
        result = order(v[1], v[0], error) < 0;
    } else {
        result = order(v[1], v[0], error) <= 0;
    }
    if (error) return undefinedValue();
    return APMPBool(result);
}

// ---- logical ----

Ref logicalAnd(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return undefinedValue();
    Ref first = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    bool truth = first->booleanValueOrError(error);
    if (error) return undefinedValue();
    if (!truth) return first;
    Ref second = evaluate(arguments[1], scope, error);
    return error ? undefinedValue() : second;
}

Ref logicalOr(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return undefinedValue();
    Ref first = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    bool truth = first->booleanValueOrError(error);
    if (error) return undefinedValue();
    if (truth) return first;
    Ref second = evaluate(arguments[1], scope, error);
    return error ? undefinedValue() : second;
}

Ref logicalNot(const List& arguments, const Scope& scope, Slot& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return undefinedValue();
    Ref value = evaluate(arguments[0], scope, error);
    if (error) return undefinedValue();
    bool truth = value->booleanValueOrError(error);
    if (error) return undefinedValue();
    return APMPBool(!truth);
}

// ---- math ----

Ref add(const List& v, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(v, 2, error)) return undefinedValue();
    if (v[0]->kind() == APMPKind::Number && v[1]->kind() == APMPKind::Number)
        return APMPNumberValue::make(static_cast<const APMPNumberValue&>(*v[0]).value +
                                     static_cast<const APMPNumberValue&>(*v[1]).value);
    if (!APMPIsStringLike(*v[0]) && !APMPIsStringLike(*v[1])) {
        double a = v[0]->doubleValueOrError(error);
        double b = v[1]->doubleValueOrError(error);
        if (error) return undefinedValue();
        return APMPNumberValue::make(a + b);
    }
    // Strings are read in place and the sum built once: copying the
    // growing left side twice made repeated appends twice as slow.
    APMPString a, b;
    if (!isString(v[0])) {
        a = v[0]->stringValueOrError(error);
        if (error) return undefinedValue();
    }
    if (!isString(v[1])) {
        b = v[1]->stringValueOrError(error);
        if (error) return undefinedValue();
    }
    const APMPString& left = isString(v[0]) ? textOf(v[0]) : a;
    const APMPString& right = isString(v[1]) ? textOf(v[1]) : b;
    if (!APMPCheckStringLength(left.size() + right.size(), error)) return undefinedValue();
    APMPString sum;
    sum.reserve(left.size() + right.size());
    sum.append(left).append(right);
    return APMPStringValue::make(std::move(sum));
}

template <int Op>
Ref arithmetic(const List& v, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(v, 2, error)) return undefinedValue();
    double a = v[0]->doubleValueOrError(error);
    if (error) return undefinedValue();
    double b = v[1]->doubleValueOrError(error);
    if (error) return undefinedValue();
    double result;
    if constexpr (Op == 37)
        result = a - b;
    else if constexpr (Op == 26)
        result = a * b;
    else if constexpr (Op == 10)
        result = a / b;
    else
        result = apmp_detail::remainder(a, b);
    return APMPNumberValue::make(result);
}

Ref negate(const List& v, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(v, 1, error)) return undefinedValue();
    double a = v[0]->doubleValueOrError(error);
    if (error) return undefinedValue();
    return APMPNumberValue::make(-a);
}

Ref firstOfTwo(const List& v, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(v, 2, error)) return undefinedValue();
    return v[0];
}

Ref onlyOne(const List& v, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(v, 1, error)) return undefinedValue();
    return v[0];
}

// ---- bitwise ----

template <int Op>
Ref bitwise(const List& v, const Scope&, Slot& error) {
    if (!APMPCheckArgumentCount(v, Op == 58 ? 1 : 2, error)) return undefinedValue();
    double a = v[0]->doubleValueOrError(error);
    if (error) return undefinedValue();
    if constexpr (Op == 58) {
        return APMPNumberValue::make(static_cast<double>(~APMPToInt32(a)));
    } else {
        double b = v[1]->doubleValueOrError(error);
        if (error) return undefinedValue();
        std::int32_t x = APMPToInt32(a), y = APMPToInt32(b);
        std::uint32_t shift = APMPToUint32(b) & 31u;
        double result;
        if constexpr (Op == 56)
            result = x & y;
        else if constexpr (Op == 59)
            result = x | y;
        else if constexpr (Op == 62)
            result = x ^ y;
        else if constexpr (Op == 57)
            result = static_cast<std::int32_t>(static_cast<std::uint32_t>(x) << shift);
        else if constexpr (Op == 60)
            result = x >> shift;
        else
            result = APMPToUint32(a) >> shift;
        return APMPNumberValue::make(result);
    }
}

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator() {
    handlers = {{u"2", methodCall},      {u"4", breakCommand},    {u"5", runArrayCommand},
                {u"6", continueCommand}, {u"9", runArrayCommand}, {u"13", sequence},
                {u"22", ifCommand},      {u"36", returnCommand},  {u"38", switchCommand},
                {u"39", conditional},    {u"46", statementList},  {u"50", functionDeclaration},
                {u"51", createFunction}, {u"53", block}};
}

APMPCommandHandler APMPVariableReadHandler() {
    return readVariable;
}
APMPCommandHandler APMPVariableAssignHandler() {
    return assign;
}
APMPCommandHandler APMPBlockHandler() {
    return block;
}
APMPCommandHandler APMPIfHandler() {
    return ifCommand;
}
bool APMPMayDeclare(const APMPValueList& statements) {
    return mayDeclare(statements);
}

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator() : APMPCommandEvaluator(true) {
    handlers = {{u"3", assign},         {u"7", arrayLiteral},
                {u"8", mapLiteral},     {u"15", readVariable},
                {u"16", readProperty},  {u"17", readProperty},
                {u"40", typeName},      {u"41", declareVariables},
                {u"43", writeProperty}, {u"44", undefinedCommand},
                {u"45", nullCommand},   {u"52", declareConstants}};
}

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator() {
    handlers = {{u"42", whileLoop},
                {u"47", iterate<false, Binding::Assign>},
                {u"54", iterate<false, Binding::Immutable>},
                {u"55", iterate<false, Binding::Mutable>},
                {u"63", forLoop},
                {u"64", iterate<true, Binding::Assign>},
                {u"65", iterate<true, Binding::Immutable>},
                {u"66", iterate<true, Binding::Mutable>}};
}

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() {
    handlers = {{u"12", compare<12>}, {u"29", compare<29>}, {u"20", compare<20>},
                {u"21", compare<21>}, {u"18", compare<18>}, {u"19", compare<19>},
                {u"23", compare<23>}, {u"24", compare<24>}};
}

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator() {
    handlers = {{u"1", logicalAnd}, {u"30", logicalOr}, {u"28", logicalNot}};
}

APMPMathCommandEvaluator::APMPMathCommandEvaluator() : APMPCommandEvaluator(true) {
    handlers = {{u"0", add},
                {u"37", arithmetic<37>},
                {u"26", arithmetic<26>},
                {u"10", arithmetic<10>},
                {u"25", arithmetic<25>},
                {u"27", negate},
                {u"32", firstOfTwo},
                {u"33", firstOfTwo},
                {u"34", onlyOne},
                {u"35", onlyOne}};
}

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator() : APMPCommandEvaluator(true) {
    handlers = {{u"56", bitwise<56>}, {u"59", bitwise<59>}, {u"62", bitwise<62>},
                {u"58", bitwise<58>}, {u"57", bitwise<57>}, {u"60", bitwise<60>},
                {u"61", bitwise<61>}};
}

APMPStatementForm APMPFormOfHandler(APMPCommandHandler handler) {
    struct Entry {
        APMPCommandHandler handler;
        APMPStatementForm form;
    };
    static const Entry kEntries[] = {
        {readVariable, APMPStatementForm::ReadVariable},
        {assign, APMPStatementForm::Assign},
        {add, APMPStatementForm::Add},
        {arithmetic<37>, APMPStatementForm::Subtract},
        {arithmetic<26>, APMPStatementForm::Multiply},
        {arithmetic<10>, APMPStatementForm::Divide},
        {arithmetic<25>, APMPStatementForm::Modulo},
        {compare<12>, APMPStatementForm::Compare},
        {compare<29>, APMPStatementForm::Compare},
        {compare<20>, APMPStatementForm::Compare},
        {compare<21>, APMPStatementForm::Compare},
        {compare<18>, APMPStatementForm::Compare},
        {compare<19>, APMPStatementForm::Compare},
        {compare<23>, APMPStatementForm::Compare},
        {compare<24>, APMPStatementForm::Compare},
        {returnCommand, APMPStatementForm::Return},
    };
    for (const Entry& entry : kEntries)
        if (entry.handler == handler) return entry.form;
    return APMPStatementForm::General;
}

APMPValueRef APMPPropertyOf(const APMPValueRef& object, const APMPValueRef& key,
                            APMPErrorSlot& error) {
    switch (object->kind()) {
        case APMPKind::Array:
            return static_cast<const APMPArrayValue&>(*object).valueForProperty(key, error);
        case APMPKind::Map: {
            if (isString(key))
                return static_cast<const APMPMapValue&>(*object).valueForProperty(textOf(key));
            APMPString name = key->stringValueOrError(error);
            if (error) return undefinedValue();
            return static_cast<const APMPMapValue&>(*object).valueForProperty(name);
        }
        case APMPKind::Function: {
            APMPString name = key->stringValueOrError(error);
            if (error) return undefinedValue();
            return static_cast<const APMPFunctionValue&>(*object).valueForProperty(name);
        }
        case APMPKind::String: {
            const APMPString& text = textOf(object);
            APMPString converted;
            if (!isString(key)) {
                converted = key->stringValueOrError(error);
                if (error) return undefinedValue();
            }
            const APMPString& name = isString(key) ? textOf(key) : converted;
            if (name == u"length") return APMPNumberValue::make(static_cast<double>(text.size()));
            if (APMPIsArrayIndex(*key)) {
                double index = key->doubleValueOrError(error);
                if (index < static_cast<double>(text.size()))
                    return APMPStringValue::make(
                        APMPString(1, text[static_cast<std::size_t>(index)]));
            }
            return undefinedValue();
        }
        default:
            return undefinedValue();
    }
}

void APMPSetProperty(const APMPValueRef& object, const APMPValueRef& key, const APMPValueRef& value,
                     APMPErrorSlot& error) {
    switch (object->kind()) {
        case APMPKind::Null:
        case APMPKind::Undefined:
            APMPSetError(error, kAPMPErrorWriteOnNull);
            return;
        case APMPKind::Array:
            static_cast<APMPArrayValue&>(*object).setValue(value, key, error);
            return;
        case APMPKind::Map:
            if (isString(key)) {
                static_cast<APMPMapValue&>(*object).setValue(value, textOf(key));
                return;
            }
            [[fallthrough]];
        case APMPKind::Function: {
            APMPString name = key->stringValueOrError(error);
            if (error) return;
            if (object->kind() == APMPKind::Map)
                static_cast<APMPMapValue&>(*object).setValue(value, name);
            else
                static_cast<APMPFunctionValue&>(*object).setValue(value, name);
            return;
        }
        default:
            return;
    }
}

APMPCommandHandler APMPPropertyReadHandler() {
    return readProperty;
}
APMPCommandHandler APMPPropertyWriteHandler() {
    return writeProperty;
}

bool APMPCompareValues(std::uint8_t code, const APMPValueRef& first, const APMPValueRef& second,
                       APMPErrorSlot& error) {
    switch (code) {
        case 12:
            return looseEquals(first, second, error);
        case 29:
            return !looseEquals(first, second, error);
        case 20:
            return APMPStrictEquals(*first, *second, error);
        case 21:
            return !APMPStrictEquals(*first, *second, error);
        case 23:
            return order(first, second, error) < 0;
        case 24:
            return order(first, second, error) <= 0;
        case 18:
            return order(second, first, error) < 0;
        default:
            return order(second, first, error) <= 0;
    }
}
