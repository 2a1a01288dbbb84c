// The statement forms the evaluator runs directly: variable reads and
// assignments through names resolved once per scope layout, arithmetic and
// comparisons on unboxed numbers, and returns without a control value; and
// the routines every loop and branch runs its condition and body through.
// Each form counts instructions, checks depth and fails exactly where the
// command's handler would; anything unusual is handed back to it.

#include <algorithm>
#include <atomic>
#include <cmath>

#include "services/script/APMPEvaluation.h"

namespace apmp_detail {
namespace {

using Ref = APMPValueRef;
using Form = APMPStatementForm;
using Slot = APMPPropertyMap::Slot;

std::atomic<bool> gFormsEnabled{true};

// One level of evaluation depth. The forms make no containers themselves,
// so unlike the commands' guard this one leaves the current context alone:
// every command run inside sets it for itself.
class LevelGuard {
  public:
    explicit LevelGuard(APMPRunContext& context) : context_(context) { ++context_.depth; }
    ~LevelGuard() { --context_.depth; }
    LevelGuard(const LevelGuard&) = delete;
    LevelGuard& operator=(const LevelGuard&) = delete;

  private:
    APMPRunContext& context_;
};

// Makes `context` the current one while values are converted or a command's
// handler runs: bounds on nested conversions and container tracking use it.
class CurrentContext {
  public:
    explicit CurrentContext(APMPRunContext& context) : previous_(APMPRunContext::current()) {
        if (previous_ != &context) APMPRunContext::setCurrent(&context);
        changed_ = previous_ != &context;
    }
    ~CurrentContext() {
        if (changed_) APMPRunContext::setCurrent(previous_);
    }
    CurrentContext(const CurrentContext&) = delete;
    CurrentContext& operator=(const CurrentContext&) = delete;

  private:
    APMPRunContext* previous_;
    bool changed_ = false;
};

const Ref& undefinedValue() {
    return APMPUndefined();
}

Ref fail(APMPErrorSlot& error, int code) {
    APMPSetError(error, code);
    return APMPUndefined();
}

const APMPStatementValue* statementOf(const Ref& value) {
    return value->kind() == APMPKind::Statement
               ? static_cast<const APMPStatementValue*>(value.get())
               : nullptr;
}

bool isNumber(const Ref& value) {
    return value->kind() == APMPKind::Number;
}

double numberOf(const Ref& value) {
    return static_cast<const APMPNumberValue&>(*value).value;
}

Ref evaluate(const Ref& value, const APMPScopeRef& scope, APMPErrorSlot& error) {
    return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

}  // namespace

Slot* findAssignable(const APMPStatementValue& statement, APMPScope& scope, Access& access) {
    APMPNameCache& cache = statement.nameCache;
    std::uint64_t epoch = APMPScopeLayoutEpoch();
    if (cache.scope == &scope && cache.epoch == epoch && cache.writable) {
        access = Access::Writable;
        return cache.slot;
    }
    access = Access::Absent;
    bool frozen = false;
    for (APMPScope* current = &scope; current; current = current->parentScope().get()) {
        frozen = frozen || current->contents.isImmutable();
        if (Slot* slot = current->contents.findSlot(*statement.variableName)) {
            if (frozen || slot->immutable) {
                access = Access::Silent;
                return nullptr;
            }
            access = Access::Writable;
            cache = {&scope, epoch, slot, true};
            return slot;
        }
    }
    return nullptr;
}

namespace {

// Assignments return the value assigned; with `wantResult` false they
// return null instead, sparing the reference.
Ref store(const APMPStatementValue& statement, APMPScope& scope, Ref value, bool wantResult,
          APMPErrorSlot& error) {
    Access access;
    Slot* slot = findAssignable(statement, scope, access);
    if (access == Access::Absent) return fail(error, kAPMPErrorUndeclared);
    if (!wantResult) {
        if (access == Access::Writable) slot->value = std::move(value);
        return Ref();
    }
    if (access == Access::Writable) slot->value = value;
    return value;
}

// Stores a number; a variable that holds the only reference to a number
// has it rewritten instead of a new one made.
Ref storeNumber(const APMPStatementValue& statement, APMPScope& scope, double number, Ref boxed,
                bool wantResult, APMPErrorSlot& error) {
    Access access;
    Slot* slot = findAssignable(statement, scope, access);
    if (access == Access::Absent) return fail(error, kAPMPErrorUndeclared);
    if (access == Access::Writable) {
        Ref& held = slot->value;
        if (boxed)
            held = std::move(boxed);
        else
            storeNumberInPlace(held, number);
        return wantResult ? held : Ref();
    }
    if (!wantResult) return Ref();
    return boxed ? boxed : APMPNumberValue::make(number);
}

// Assignments have a known cost as whole statements only: as operands
// their side effect would come before the end of the enclosing one.
bool isAssignment(const APMPStatementValue& statement) {
    return statement.form == Form::Assign || statement.form == Form::AssignSum;
}

// Statements that change a variable or an element.
bool writes(const APMPStatementValue& statement) {
    return isAssignment(statement) || statement.form == Form::WriteProperty;
}

bool evaluateNumber(const Ref& value, const APMPScopeRef& scope, APMPRunContext& context,
                    APMPErrorSlot& error, double& number, Ref& other);
// The operands of a two-operand command, evaluated in order; false on error.
struct Operands {
    double number[2] = {0, 0};
    Ref other[2];
    bool isNumber[2] = {false, false};

    bool evaluate(const APMPStatementValue& statement, const APMPScopeRef& scope,
                  APMPRunContext& context, APMPErrorSlot& error) {
        for (int i = 0; i < 2; ++i) {
            isNumber[i] =
                evaluateNumber(statement.arguments[i], scope, context, error, number[i], other[i]);
            if (error) return false;
        }
        return true;
    }
    bool bothNumbers() const { return isNumber[0] && isNumber[1]; }
    // Values for a handler: numbers boxed where they were kept unboxed.
    void box() {
        for (int i = 0; i < 2; ++i)
            if (!other[i]) other[i] = APMPNumberValue::make(number[i]);
    }
};

// An arithmetic statement whose instruction is counted and depth checked.
bool arithmeticNumber(const APMPStatementValue& statement, const APMPScopeRef& scope,
                      APMPRunContext& context, APMPErrorSlot& error, double& number, Ref& other) {
    LevelGuard guard(context);
    Operands operands;
    if (!operands.evaluate(statement, scope, context, error)) {
        other = undefinedValue();
        return false;
    }
    if (operands.bothNumbers()) {
        number = arithmetic(statement.form, operands.number[0], operands.number[1]);
        return true;
    }
    // Strings and other kinds: the command's handler decides.
    operands.box();
    APMPValueList values{operands.other[0], operands.other[1]};
    const auto* slot = static_cast<const APMPCommandSlot*>(statement.command);
    CurrentContext current(context);
    other = slot->handler(values, scope, error);
    if (error) {
        other = undefinedValue();
        return false;
    }
    if (!isNumber(other)) return false;
    number = numberOf(other);
    return true;
}

// A comparison whose instruction is counted, depth checked and guarded.
bool compareOperands(const APMPStatementValue& statement, const APMPScopeRef& scope,
                     APMPRunContext& context, APMPErrorSlot& error) {
    Operands operands;
    if (!operands.evaluate(statement, scope, context, error)) return false;
    if (operands.bothNumbers())
        return compareNumbers(statement.comparison, operands.number[0], operands.number[1]);
    operands.box();
    CurrentContext current(context);
    return APMPCompareValues(statement.comparison, operands.other[0], operands.other[1], error);
}

// Evaluates `value` exactly as evaluateStatement would. True with `number`
// set when the result is a number (`other` may then hold it boxed or be
// null); false with the result in `other` otherwise, undefined on error.
bool evaluateNumber(const Ref& value, const APMPScopeRef& scope, APMPRunContext& context,
                    APMPErrorSlot& error, double& number, Ref& other) {
    const APMPStatementValue* statement = statementOf(value);
    if (statement && quickNumber(*statement, *scope, context, number)) return true;
    if (!countInstruction(context, error)) {
        other = undefinedValue();
        return false;
    }
    if (!statement) {
        if (isNumber(value)) {
            number = numberOf(value);
            return true;
        }
        other = value;
        return false;
    }
    if (!checkDepth(context, error)) {
        other = undefinedValue();
        return false;
    }
    switch (statement->form) {
        case Form::ReadVariable: {
            if (!countInstruction(context, error)) {
                other = undefinedValue();
                return false;
            }
            Slot* slot = findVariable(*statement, *scope);
            if (!slot) {
                other = undefinedValue();
                return false;
            }
            if (isNumber(slot->value)) {
                number = numberOf(slot->value);
                return true;
            }
            other = slot->value;
            return false;
        }
        case Form::Add:
        case Form::Subtract:
        case Form::Multiply:
        case Form::Divide:
        case Form::Modulo:
            return arithmeticNumber(*statement, scope, context, error, number, other);
        case Form::Compare: {
            LevelGuard guard(context);
            bool truth = compareOperands(*statement, scope, context, error);
            other = error ? undefinedValue() : APMPBool(truth);
            return false;
        }
        case Form::ReadProperty: {
            DepthGuard guard(context);
            other =
                APMPCommandRegistrar::sharedInstance().readProperty(*statement, scope, error, &number);
            // An element or entry that is a number comes unboxed.
            if (!error && !other) return true;
            break;
        }
        case Form::General:
            other = APMPCommandRegistrar::sharedInstance().evaluateCommand(*statement, scope, error,
                                                                           &number);
            // A function's returned number comes unboxed.
            if (!error && !other) return true;
            break;
        default:
            other = evaluateForm(*statement, scope, error);
            break;
    }
    if (error || !isNumber(other)) return false;
    number = numberOf(other);
    return true;
}

// The truth of a comparison whose instruction is counted and depth checked.
bool comparisonTruth(const APMPStatementValue& statement, const APMPScopeRef& scope,
                     APMPRunContext& context, APMPErrorSlot& error) {
    LevelGuard guard(context);
    return compareOperands(statement, scope, context, error);
}

// A statement whose whole cost is known (literals, variable reads,
// arithmetic, comparisons and element reads, see APMPStatementCostOf) and
// fits the budget and the depth bound runs in one step: when every value
// it meets is what the step handles, it counts exactly what the full path
// would, and nothing inside can fail, look at the depth or change anything.
// Otherwise the step gives up with nothing done and the full path runs.
bool fitsInOneStep(const APMPStatementValue& statement, const APMPRunContext& context) {
    return statement.cost.count != 0 &&
           context.instructionCount + statement.cost.count <= context.checkpoint &&
           context.depth + static_cast<std::int64_t>(statement.cost.height) <=
               APMPRunContext::kDepthLimit;
}

// What a variable read finds through the name it last resolved from this
// scope; null when it has not resolved it from here yet.
inline const Ref* resolvedVariable(const APMPStatementValue& read, const APMPScope& scope) {
    const APMPNameCache& cache = read.nameCache;
    if (cache.scope != &scope || cache.epoch != APMPScopeLayoutEpoch() || !cache.slot)
        return nullptr;
    return &cache.slot->value;
}

inline bool stepNumber(const APMPStepOperand& operand, APMPScope& scope, double& number);

// A literal, or what a resolved variable read finds.
const APMPRuntimeValue* stepValue(const APMPStepOperand& operand, APMPScope& scope) {
    if (operand.kind != APMPStepOperand::Kind::Variable) return operand.literal;
    const Ref* held = resolvedVariable(*operand.statement, scope);
    return held ? held->get() : nullptr;
}

const APMPString* stepName(const APMPStepOperand& value, APMPScope& scope) {
    const APMPRuntimeValue* key = stepValue(value, scope);
    if (!key || key->kind() != APMPKind::String) return nullptr;
    return &static_cast<const APMPStringValue*>(key)->value;
}

// An element read that finds a number: an array element at a whole index
// within it, a map entry by its name, or a string's length.
bool stepElement(const APMPStatementValue& read, APMPScope& scope, double& number) {
    const APMPRuntimeValue* object = stepValue(read.steps[0], scope);
    if (!object) return false;
    const Ref* found = nullptr;
    switch (object->kind()) {
        case APMPKind::Array: {
            double index = 0;
            if (!stepNumber(read.steps[1], scope, index)) return false;
            const auto& elements = static_cast<const APMPArrayValue&>(*object).elements();
            if (!isIndexBelow(index, elements.size())) return false;
            found = &elements[static_cast<std::size_t>(index)];
            break;
        }
        case APMPKind::Map: {
            const APMPString* name = stepName(read.steps[1], scope);
            if (!name) return false;
            found = static_cast<const APMPMapValue&>(*object).propertyMap.find(*name);
            break;
        }
        case APMPKind::String: {
            const APMPString* name = stepName(read.steps[1], scope);
            if (!name || *name != u"length") return false;
            number = static_cast<double>(static_cast<const APMPStringValue&>(*object).value.size());
            return true;
        }
        default:
            return false;
    }
    if (!found || !isNumber(*found)) return false;
    number = numberOf(*found);
    return true;
}

using Kind = APMPStepOperand::Kind;

template <Kind K>
inline bool stepOperand(const APMPStepOperand& operand, APMPScope& scope, double& number) {
    if constexpr (K == Kind::Number) {
        number = operand.number;
        return true;
    } else if constexpr (K == Kind::Variable) {
        const Ref* held = resolvedVariable(*operand.statement, scope);
        if (!held || !isNumber(*held)) return false;
        number = numberOf(*held);
        return true;
    } else if constexpr (K == Kind::Computed) {
        return operand.statement->step(*operand.statement, scope, number);
    } else {
        return false;
    }
}

// The number an operand gives in one step.
inline bool stepNumber(const APMPStepOperand& operand, APMPScope& scope, double& number) {
    switch (operand.kind) {
        case Kind::Number:
            return stepOperand<Kind::Number>(operand, scope, number);
        case Kind::Variable:
            return stepOperand<Kind::Variable>(operand, scope, number);
        case Kind::Computed:
            return stepOperand<Kind::Computed>(operand, scope, number);
        default:
            return false;
    }
}

// Arithmetic made for its form and the kinds of its operands, so that its
// step neither tests them nor branches on the form.
template <Form F, Kind A, Kind B>
bool stepArithmetic(const APMPStatementValue& statement, APMPScope& scope, double& number) {
    double a = 0, b = 0;
    if (!stepOperand<A>(statement.steps[0], scope, a) ||
        !stepOperand<B>(statement.steps[1], scope, b))
        return false;
    number = arithmetic(F, a, b);
    return true;
}

template <Form F, Kind A>
APMPStepFunction arithmeticStep(Kind b) {
    switch (b) {
        case Kind::Number:
            return &stepArithmetic<F, A, Kind::Number>;
        case Kind::Variable:
            return &stepArithmetic<F, A, Kind::Variable>;
        case Kind::Computed:
            return &stepArithmetic<F, A, Kind::Computed>;
        default:
            return nullptr;
    }
}

template <Form F>
APMPStepFunction arithmeticStep(Kind a, Kind b) {
    switch (a) {
        case Kind::Number:
            return arithmeticStep<F, Kind::Number>(b);
        case Kind::Variable:
            return arithmeticStep<F, Kind::Variable>(b);
        case Kind::Computed:
            return arithmeticStep<F, Kind::Computed>(b);
        default:
            return nullptr;
    }
}

APMPStepFunction stepOf(const APMPStatementValue& statement) {
    Kind a = statement.steps[0].kind;
    Kind b = statement.steps[1].kind;
    switch (statement.form) {
        case Form::Add:
            return arithmeticStep<Form::Add>(a, b);
        case Form::Subtract:
            return arithmeticStep<Form::Subtract>(a, b);
        case Form::Multiply:
            return arithmeticStep<Form::Multiply>(a, b);
        case Form::Divide:
            return arithmeticStep<Form::Divide>(a, b);
        case Form::Modulo:
            return arithmeticStep<Form::Modulo>(a, b);
        case Form::ReadProperty:
            return &stepElement;
        default:
            return nullptr;
    }
}

bool quickTruth(const APMPStatementValue& comparison, APMPScope& scope, APMPRunContext& context,
                bool& truth) {
    double a = 0, b = 0;
    if (!fitsInOneStep(comparison, context) ||
        !stepNumber(comparison.steps[0], scope, a) || !stepNumber(comparison.steps[1], scope, b))
        return false;
    context.instructionCount += comparison.cost.count;
    truth = compareNumbers(comparison.comparison, a, b);
    return true;
}

bool quickAssign(const APMPStatementValue& assignment, APMPScope& scope, APMPRunContext& context) {
    const APMPNameCache& target = assignment.nameCache;
    if (!fitsInOneStep(assignment, context) || target.scope != &scope || !target.writable ||
        target.epoch != APMPScopeLayoutEpoch())
        return false;
    double result = 0;
    if (!stepNumber(assignment.steps[0], scope, result)) return false;
    context.instructionCount += assignment.cost.count;
    storeNumberInPlace(target.slot->value, result);
    return true;
}

// An element or entry write of a number, for its effect: into a number
// nothing else holds, or as an array element. With the whole cost counted
// the element write can still fail on the size bound, as the full path's
// does after counting the same.
bool quickWrite(const APMPStatementValue& write, APMPScope& scope, APMPRunContext& context,
                APMPErrorSlot& error) {
    if (!fitsInOneStep(write, context)) return false;
    const APMPRuntimeValue* object = stepValue(write.steps[0], scope);
    double value = 0;
    if (!object || !stepNumber(write.steps[2], scope, value)) return false;
    if (object->kind() == APMPKind::Array) {
        double index = 0;
        if (!stepNumber(write.steps[1], scope, index) || !(index >= 0) ||
            !std::isfinite(index) || std::trunc(index) != index)
            return false;
        context.instructionCount += write.cost.count;
        const auto& array = static_cast<const APMPArrayValue&>(*object);
        if (Ref* held = numberHeldOnce(array, index)) {
            static_cast<APMPNumberValue&>(**held).value = value;
            return true;
        }
        CurrentContext current(context);
        // Values are reached through const pointers here, but the array is
        // the program's to write, as the full path's write does.
        const_cast<APMPArrayValue&>(array).setElement(index, APMPNumberValue::make(value), error);
        return true;
    }
    const APMPString* name = stepName(write.steps[1], scope);
    if (object->kind() != APMPKind::Map || !name) return false;
    Ref* held = numberHeldOnce(const_cast<APMPMapValue&>(static_cast<const APMPMapValue&>(*object)),
                               *name);
    if (!held) return false;
    context.instructionCount += write.cost.count;
    static_cast<APMPNumberValue&>(**held).value = value;
    return true;
}

}  // namespace

bool quickNumber(const APMPStatementValue& statement, APMPScope& scope, APMPRunContext& context,
                 double& number) {
    // A variable read alone costs no more on the full path.
    if (!statement.step || !fitsInOneStep(statement, context) ||
        !statement.step(statement, scope, number))
        return false;
    context.instructionCount += statement.cost.count;
    return true;
}

bool evaluateOperand(const Ref& value, const APMPScopeRef& scope, APMPErrorSlot& error,
                     double& number, Ref& other) {
    return evaluateNumber(value, scope, scope->context(), error, number, other);
}

bool evaluateTruth(const Ref& value, const APMPScopeRef& scope, APMPErrorSlot& error) {
    APMPRunContext& context = scope->context();
    const APMPStatementValue* statement = statementOf(value);
    if (statement && statement->form == Form::Compare) {
        bool truth = false;
        if (quickTruth(*statement, *scope, context, truth)) return truth;
        if (!countInstruction(context, error) || !checkDepth(context, error)) return false;
        return comparisonTruth(*statement, scope, context, error);
    }
    Ref result = evaluate(value, scope, error);
    if (error) return false;
    CurrentContext current(context);
    return result->booleanValueOrError(error);
}

namespace {

// s = s + x: when the variable holds the only reference to its string or
// number, the sum is made in place instead of in a copy.
Ref assignSum(const APMPStatementValue& assignment, const APMPScopeRef& scope,
              APMPRunContext& context, bool wantResult, APMPErrorSlot& error) {
    const auto& sum = static_cast<const APMPStatementValue&>(*assignment.arguments[1]);
    if (!countInstruction(context, error) || !checkDepth(context, error)) return undefinedValue();
    Ref result;
    {
        LevelGuard guard(context);
        const auto& read = static_cast<const APMPStatementValue&>(*sum.arguments[0]);
        if (!countInstruction(context, error) || !checkDepth(context, error) ||
            !countInstruction(context, error))
            return undefinedValue();
        Slot* readSlot = findVariable(read, *scope);
        // A number is read as it is now; anything else is held, as the
        // operand would be.
        bool leftIsNumber = readSlot && isNumber(readSlot->value);
        double leftNumber = leftIsNumber ? numberOf(readSlot->value) : 0;
        Ref left;
        if (!leftIsNumber) left = readSlot ? readSlot->value : undefinedValue();
        double rightNumber = 0;
        Ref right;
        bool rightIsNumber = false;
        rightIsNumber = evaluateNumber(sum.arguments[1], scope, context, error, rightNumber, right);
        if (error) return undefinedValue();
        if (leftIsNumber && rightIsNumber) {
            return storeNumber(assignment, *scope, leftNumber + rightNumber, nullptr, wantResult,
                               error);
        }
        if (leftIsNumber) left = APMPNumberValue::make(leftNumber);
        if (left->kind() == APMPKind::String) {
            APMPString converted;
            if (rightIsNumber) {
                converted = APMPNumberToString(rightNumber);
            } else if (right->kind() != APMPKind::String) {
                CurrentContext current(context);
                converted = right->stringValueOrError(error);
                if (error) return undefinedValue();
            }
            const APMPString& text = rightIsNumber || right->kind() != APMPKind::String
                                         ? converted
                                         : static_cast<const APMPStringValue&>(*right).value;
            auto& leftString = static_cast<APMPStringValue&>(*left);
            if (!APMPCheckStringLength(leftString.value.size() + text.size(), error))
                return undefinedValue();
            Access access;
            Slot* slot = findAssignable(assignment, *scope, access);
            if (access == Access::Writable && slot->value == left && left.use_count() == 2) {
                leftString.appendInPlace(text);
                return wantResult ? left : Ref();
            }
            APMPString joined;
            joined.reserve(leftString.value.size() + text.size());
            joined.append(leftString.value).append(text);
            result = APMPStringValue::make(std::move(joined));
        } else {
            if (rightIsNumber && !right) right = APMPNumberValue::make(rightNumber);
            APMPValueList values{std::move(left), std::move(right)};
            const auto* slot = static_cast<const APMPCommandSlot*>(sum.command);
            CurrentContext current(context);
            result = slot->handler(values, scope, error);
            if (error) return undefinedValue();
        }
    }
    return store(assignment, *scope, std::move(result), wantResult, error);
}

// An assignment whose instruction is counted and depth checked.
Ref assignForm(const APMPStatementValue& statement, const APMPScopeRef& scope, bool wantResult,
               APMPErrorSlot& error) {
    APMPRunContext& context = scope->context();
    LevelGuard guard(context);
    if (!countInstruction(context, error)) return undefinedValue();
    if (statement.form == Form::AssignSum)
        return assignSum(statement, scope, context, wantResult, error);
    double number = 0;
    Ref other;
    bool isNumberResult =
        evaluateNumber(statement.arguments[1], scope, context, error, number, other);
    if (error) return undefinedValue();
    if (isNumberResult)
        return storeNumber(statement, *scope, number, std::move(other), wantResult, error);
    return store(statement, *scope, std::move(other), wantResult, error);
}

}  // namespace

Ref evaluateForEffect(const Ref& value, const APMPScopeRef& scope, APMPErrorSlot& error) {
    const APMPStatementValue* statement = statementOf(value);
    if (statement && isAssignment(*statement)) {
        APMPRunContext& context = scope->context();
        if (quickAssign(*statement, *scope, context)) return Ref();
        if (!countInstruction(context, error) || !checkDepth(context, error)) return Ref();
        return assignForm(*statement, scope, false, error);
    }
    // A block for its effect runs its statements for theirs.
    const auto* slot =
        statement ? static_cast<const APMPCommandSlot*>(statement->command) : nullptr;
    if (slot && slot->runsBlock) {
        APMPRunContext& context = scope->context();
        if (!countInstruction(context, error) || !checkDepth(context, error)) return Ref();
        DepthGuard guard(context);
        if (!statement->blockDeclares) return runBody(statement->arguments, scope, error);
        return runBody(statement->arguments, scope->createChildScope(), error);
    }
    // A property write for its effect: its value is not handed back.
    if (statement && statement->form == Form::WriteProperty) {
        APMPRunContext& context = scope->context();
        if (quickWrite(*statement, *scope, context, error)) return Ref();
        if (!countInstruction(context, error) || !checkDepth(context, error)) return Ref();
        DepthGuard guard(context);
        return APMPCommandRegistrar::sharedInstance().writeProperty(*statement, scope, error,
                                                                    false);
    }
    // A loop, a branch or a switch has its handler run here, counted and
    // nested as the registrar would run it.
    if (statement && statement->runsHandlerDirectly) {
        APMPRunContext& context = scope->context();
        if (!countInstruction(context, error) || !checkDepth(context, error)) return Ref();
        DepthGuard guard(context);
        return slot->handler(statement->arguments, scope, error);
    }
    return evaluate(value, scope, error);
}

Ref runBody(const APMPValueList& body, const APMPScopeRef& scope, APMPErrorSlot& error) {
    for (const Ref& statement : body) {
        Ref result = evaluateForEffect(statement, scope, error);
        if (error) return Ref();
        if (result && result->kind() == APMPKind::Control) return result;
    }
    return Ref();
}

int afterBody(const Ref& result, const APMPErrorSlot& error) {
    if (error) return 1;
    if (!result || result->kind() != APMPKind::Control) return 0;
    switch (static_cast<const APMPControlValue&>(*result).type) {
        case APMPControlType::Break:
            return 1;
        case APMPControlType::Return:
            return 2;
        default:
            return 0;
    }
}

namespace {

// The value a return statement returns; its instruction is counted and
// its depth checked.
// With `unboxed` given, a number is stored there instead and null returned.
Ref returnedValue(const APMPStatementValue& statement, const APMPScopeRef& scope,
                  APMPErrorSlot& error, double* unboxed = nullptr) {
    APMPRunContext& context = scope->context();
    LevelGuard guard(context);
    double number = 0;
    Ref other;
    if (!evaluateNumber(statement.arguments[0], scope, context, error, number, other)) return other;
    if (other) return other;
    if (unboxed) {
        *unboxed = number;
        return nullptr;
    }
    return APMPNumberValue::make(number);
}

}  // namespace

APMPValueRef evaluateForm(const APMPStatementValue& statement, const APMPScopeRef& scope,
                          APMPErrorSlot& error) {
    APMPRunContext& context = scope->context();
    switch (statement.form) {
        case Form::ReadVariable: {
            if (!countInstruction(context, error)) return undefinedValue();
            Slot* slot = findVariable(statement, *scope);
            return slot ? slot->value : undefinedValue();
        }
        case Form::Assign:
        case Form::AssignSum:
            return assignForm(statement, scope, true, error);
        case Form::Add:
        case Form::Subtract:
        case Form::Multiply:
        case Form::Divide:
        case Form::Modulo: {
            double number = 0;
            Ref other;
            if (arithmeticNumber(statement, scope, context, error, number, other))
                return other ? other : APMPNumberValue::make(number);
            return other;
        }
        case Form::Compare: {
            bool truth = comparisonTruth(statement, scope, context, error);
            if (error) return undefinedValue();
            return APMPBool(truth);
        }
        case Form::Return:
            return APMPControlValue::returnValueWithData(returnedValue(statement, scope, error));
        case Form::ReadProperty: {
            DepthGuard guard(context);
            return APMPCommandRegistrar::sharedInstance().readProperty(statement, scope, error,
                                                                       nullptr);
        }
        case Form::WriteProperty: {
            DepthGuard guard(context);
            return APMPCommandRegistrar::sharedInstance().writeProperty(statement, scope, error);
        }
        case Form::General:
            break;
    }
    return APMPCommandRegistrar::sharedInstance().evaluateCommand(statement, scope, error);
}

}  // namespace apmp_detail

APMPValueRef APMPEvaluator::executeFunctionBody(const APMPValueList& statements,
                                                const APMPScopeRef& scope, APMPErrorSlot& error,
                                                double* number) {
    APMPValueRef result = APMPUndefined();
    auto& registrar = APMPCommandRegistrar::sharedInstance();
    APMPRunContext& context = scope->context();
    auto returning = [](const APMPValueRef& value) {
        const APMPStatementValue* statement = apmp_detail::statementOf(value);
        return statement && statement->form == APMPStatementForm::Return ? statement : nullptr;
    };
    // A return, or an if whose chosen branch is one, hands the returned
    // value itself to the call: no control value to wrap and unwrap.
    auto returnValue = [&](const APMPStatementValue& returned) {
        if (!apmp_detail::countInstruction(context, error) ||
            !apmp_detail::checkDepth(context, error))
            return APMPUndefined();
        APMPValueRef value = apmp_detail::returnedValue(returned, scope, error, number);
        return error ? APMPUndefined() : value;
    };
    for (const APMPValueRef& statement : statements) {
        if (const APMPStatementValue* returned = returning(statement))
            return returnValue(*returned);
        const APMPStatementValue* branching = apmp_detail::statementOf(statement);
        const auto* slot =
            branching ? static_cast<const APMPCommandSlot*>(branching->command) : nullptr;
        if (slot && slot->branches && branching->arguments.size() >= 2 &&
            branching->arguments.size() <= 3 &&
            (returning(branching->arguments[1]) || returning(branching->arguments.back()))) {
            // Counted, nested and chosen as the registrar and the if command do.
            if (!apmp_detail::countInstruction(context, error) ||
                !apmp_detail::checkDepth(context, error))
                return APMPUndefined();
            apmp_detail::DepthGuard guard(context);
            const APMPValueList& arguments = branching->arguments;
            bool truth = apmp_detail::evaluateTruth(arguments[0], scope, error);
            if (error) return APMPUndefined();
            std::size_t branch = truth ? 1 : 2;
            if (branch >= arguments.size()) {
                result = APMPUndefined();
                continue;
            }
            if (const APMPStatementValue* returned = returning(arguments[branch]))
                return returnValue(*returned);
            result = apmp_detail::runBranch(arguments[branch], scope, error);
        } else {
            result = registrar.evaluateStatement(statement, scope, error);
        }
        if (error) return APMPUndefined();
        if (result->kind() == APMPKind::Control) {
            const auto& control = static_cast<const APMPControlValue&>(*result);
            return control.type == APMPControlType::Return ? control.data : result;
        }
    }
    return result;
}

void APMPEvaluator::setStatementFormsEnabled(bool enabled) {
    apmp_detail::gFormsEnabled.store(enabled, std::memory_order_relaxed);
}

APMPStatementForm APMPStatementFormOf(const APMPCommandSlot* slot, const APMPValueList& arguments) {
    if (!slot || !apmp_detail::gFormsEnabled.load(std::memory_order_relaxed))
        return APMPStatementForm::General;
    std::size_t count = arguments.size();
    if (slot->readsProperty && count == 2) return APMPStatementForm::ReadProperty;
    if (slot->writesProperty && count == 3) return APMPStatementForm::WriteProperty;
    APMPStatementForm form = APMPFormOfHandler(slot->handler);
    bool named = count > 0 && arguments[0]->kind() == APMPKind::String;
    switch (form) {
        case APMPStatementForm::ReadVariable:
            return count == 1 && named ? form : APMPStatementForm::General;
        case APMPStatementForm::Assign: {
            if (count != 2 || !named) return APMPStatementForm::General;
            const auto* sum = apmp_detail::statementOf(arguments[1]);
            const auto* read = sum && sum->form == APMPStatementForm::Add
                                   ? apmp_detail::statementOf(sum->arguments[0])
                                   : nullptr;
            if (read && read->form == APMPStatementForm::ReadVariable &&
                *read->variableName == static_cast<const APMPStringValue&>(*arguments[0]).value)
                return APMPStatementForm::AssignSum;
            return form;
        }
        case APMPStatementForm::Return:
            return count == 1 ? form : APMPStatementForm::General;
        case APMPStatementForm::General:
            return form;
        default:
            return count == 2 ? form : APMPStatementForm::General;
    }
}

std::uint8_t APMPComparisonCode(const APMPString& command) {
    unsigned code = 0;
    for (char16_t digit : command) code = code * 10 + static_cast<unsigned>(digit - u'0');
    return static_cast<std::uint8_t>(code);
}

APMPStatementCost APMPStatementCostOf(APMPStatementForm form, const APMPValueList& arguments) {
    auto costOf = [](const APMPValueRef& argument) {
        const APMPStatementValue* statement = apmp_detail::statementOf(argument);
        if (!statement) return APMPStatementCost{1, 0};
        return apmp_detail::writes(*statement) ? APMPStatementCost{} : statement->cost;
    };
    // A literal counts one instruction and nests nothing; a statement counts
    // one, checks the depth at its level and puts its operands one below.
    auto combine = [&](std::uint32_t own, std::size_t first) {
        std::uint64_t total = own;
        std::uint32_t height = 0;
        for (std::size_t i = first; i < arguments.size(); ++i) {
            APMPStatementCost operand = costOf(arguments[i]);
            if (operand.count == 0) return APMPStatementCost{};
            total += operand.count;
            height = std::max(height, operand.height);
        }
        if (total > APMPRunContext::kInstructionLimit) return APMPStatementCost{};
        return APMPStatementCost{static_cast<std::uint32_t>(total), 1 + height};
    };
    switch (form) {
        case APMPStatementForm::ReadVariable:
            return {2, 1};
        case APMPStatementForm::Add:
        case APMPStatementForm::Subtract:
        case APMPStatementForm::Multiply:
        case APMPStatementForm::Divide:
        case APMPStatementForm::Modulo:
        case APMPStatementForm::Compare:
        case APMPStatementForm::ReadProperty:
        case APMPStatementForm::WriteProperty:
            return combine(1, 0);
        case APMPStatementForm::Assign:
        case APMPStatementForm::AssignSum:
            // The name is counted as a literal operand.
            return combine(2, 1);
        default:
            return {};
    }
}

void APMPDescribeOperands(APMPStatementValue& statement) {
    using Kind = APMPStepOperand::Kind;
    const auto* slot = static_cast<const APMPCommandSlot*>(statement.command);
    if (slot && slot->runsBlock) statement.blockDeclares = APMPMayDeclare(statement.arguments);
    statement.runsHandlerDirectly =
        slot && statement.form == APMPStatementForm::General && !slot->evaluatesArguments &&
        !slot->readsVariable && !slot->assignsVariable && !slot->runsBlock &&
        !slot->readsProperty && !slot->writesProperty &&
        apmp_detail::gFormsEnabled.load(std::memory_order_relaxed);
    if (statement.cost.count == 0 || statement.form == APMPStatementForm::ReadVariable) return;
    bool assigns = statement.form == APMPStatementForm::Assign ||
                   statement.form == APMPStatementForm::AssignSum;
    std::size_t first = assigns ? 1 : 0;
    for (std::size_t i = first; i < statement.arguments.size() && i - first < 3; ++i) {
        const APMPValueRef& argument = statement.arguments[i];
        APMPStepOperand& operand = statement.steps[i - first];
        const APMPStatementValue* inner = apmp_detail::statementOf(argument);
        if (!inner) {
            operand.literal = argument.get();
            if (argument->kind() == APMPKind::Number) {
                operand.kind = Kind::Number;
                operand.number = static_cast<const APMPNumberValue&>(*argument).value;
            }
            continue;
        }
        operand.statement = inner;
        if (inner->form == APMPStatementForm::ReadVariable)
            operand.kind = Kind::Variable;
        else if (inner->step)
            operand.kind = Kind::Computed;
    }
    statement.step = apmp_detail::stepOf(statement);
}
