// The numeric loop (while and three-part for). A loop whose condition compares, and whose
// statements assign, arithmetic on number literals and on variables that
// hold numbers can neither fail, nor call anything, nor change which names
// its scopes hold, and no other code runs while it does: its variables may
// live in registers until it ends. Each time such a loop starts, its
// statements are translated into a few steps over unboxed registers, one
// per variable, literal and intermediate result, that run whole iterations
// and count their instructions as the statement forms do. Anything else,
// and the iteration that might run out of budget, is left to the statement
// forms.

#include <algorithm>
#include <array>

#include "services/script/APMPEvaluation.h"

namespace apmp_detail {
namespace {

using Form = APMPStatementForm;
using Slot = APMPPropertyMap::Slot;

constexpr std::size_t kMaxRegisters = 32;
constexpr std::size_t kMaxSteps = 32;

// registers[target] = registers[first] (form) registers[second]; a copy of
// `first` when the form is General; with Compare, the condition's test.
struct Step {
    Form form;
    std::uint8_t target;
    std::uint8_t first;
    std::uint8_t second;
};

const APMPStatementValue* statementOf(const APMPValueRef& value) {
    return value->kind() == APMPKind::Statement
               ? static_cast<const APMPStatementValue*>(value.get())
               : nullptr;
}

bool isArithmetic(Form form) {
    return form >= Form::Add && form <= Form::Modulo;
}

double numberIn(const Slot& slot) {
    return static_cast<const APMPNumberValue&>(*slot.value).value;
}

class NumericLoop {
  public:
    explicit NumericLoop(APMPScope& scope) : scope_(scope) {}

    // False when the loop is not of that shape or could fail on depth.
    bool compile(const APMPValueRef& condition, const APMPValueRef& update,
                 const APMPValueList& body, const APMPRunContext& context);
    // True when the condition turned false.
    bool run(APMPRunContext& context);

  private:
    static constexpr int kNone = -1;

    // The register holding an operand's value, or kNone.
    int operand(const APMPValueRef& value);
    bool assignment(const APMPValueRef& value);
    bool addCost(const APMPStatementValue& statement);
    int addRegister(double value, Slot* slot);
    int variableRegister(Slot* slot);
    bool addStep(Form form, int target, int first, int second);

    APMPScope& scope_;
    // Only the first registerCount_ registers and stepCount_ steps are set.
    std::array<double, kMaxRegisters> registers_;
    // The variable's entry, null for literals and intermediate results.
    std::array<Slot*, kMaxRegisters> slots_;
    std::array<bool, kMaxRegisters> assigned_;
    std::size_t registerCount_ = 0;
    std::array<Step, kMaxSteps> steps_;
    std::size_t stepCount_ = 0;
    // The condition's steps come first, then its Compare step.
    std::uint8_t comparison_ = 0;
    std::int64_t conditionCost_ = 0;
    std::int64_t iterationCost_ = 0;
    std::uint32_t height_ = 0;
};

int NumericLoop::addRegister(double value, Slot* slot) {
    if (registerCount_ == kMaxRegisters) return kNone;
    registers_[registerCount_] = value;
    slots_[registerCount_] = slot;
    assigned_[registerCount_] = false;
    return static_cast<int>(registerCount_++);
}

int NumericLoop::variableRegister(Slot* slot) {
    for (std::size_t i = 0; i < registerCount_; ++i)
        if (slots_[i] == slot) return static_cast<int>(i);
    return addRegister(numberIn(*slot), slot);
}

bool NumericLoop::addStep(Form form, int target, int first, int second) {
    if (target == kNone || first == kNone || stepCount_ == kMaxSteps) return false;
    steps_[stepCount_++] = {form, static_cast<std::uint8_t>(target),
                            static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second)};
    return true;
}

// Only statements whose cost is known in advance: they are the ones the
// statement forms count in one step.
bool NumericLoop::addCost(const APMPStatementValue& statement) {
    if (statement.cost.count == 0) return false;
    iterationCost_ += statement.cost.count;
    height_ = std::max(height_, statement.cost.height);
    return true;
}

int NumericLoop::operand(const APMPValueRef& value) {
    if (value->kind() == APMPKind::Number)
        return addRegister(static_cast<const APMPNumberValue&>(*value).value, nullptr);
    const APMPStatementValue* statement = statementOf(value);
    if (!statement) return kNone;
    if (statement->form == Form::ReadVariable) {
        Slot* slot = findVariable(*statement, scope_);
        if (!slot || slot->value->kind() != APMPKind::Number) return kNone;
        return variableRegister(slot);
    }
    if (!isArithmetic(statement->form)) return kNone;
    int first = operand(statement->arguments[0]);
    int second = first == kNone ? kNone : operand(statement->arguments[1]);
    if (second == kNone) return kNone;
    int result = addRegister(0, nullptr);
    return addStep(statement->form, result, first, second) ? result : kNone;
}

bool NumericLoop::assignment(const APMPValueRef& value) {
    const APMPStatementValue* statement = statementOf(value);
    if (!statement || (statement->form != Form::Assign && statement->form != Form::AssignSum) ||
        !addCost(*statement))
        return false;
    Access access;
    Slot* slot = findAssignable(*statement, scope_, access);
    if (access != Access::Writable || slot->value->kind() != APMPKind::Number) return false;
    int target = variableRegister(slot);
    if (target == kNone) return false;
    assigned_[static_cast<std::size_t>(target)] = true;
    // The result goes straight into the variable once its operands are in.
    const APMPValueRef& assigned = statement->arguments[1];
    const APMPStatementValue* expression = statementOf(assigned);
    if (expression && isArithmetic(expression->form)) {
        int first = operand(expression->arguments[0]);
        int second = first == kNone ? kNone : operand(expression->arguments[1]);
        return second != kNone && addStep(expression->form, target, first, second);
    }
    return addStep(Form::General, target, operand(assigned), 0);
}

bool NumericLoop::compile(const APMPValueRef& conditionValue, const APMPValueRef& update,
                          const APMPValueList& body, const APMPRunContext& context) {
    const APMPStatementValue* condition = statementOf(conditionValue);
    if (!condition || condition->form != Form::Compare || !addCost(*condition)) return false;
    int first = operand(condition->arguments[0]);
    int second = first == kNone ? kNone : operand(condition->arguments[1]);
    if (second == kNone || !addStep(Form::Compare, 0, first, second)) return false;
    comparison_ = condition->comparison;
    conditionCost_ = iterationCost_;
    for (const APMPValueRef& statement : body)
        if (!assignment(statement)) return false;
    if (!assignment(update)) return false;
    // Every statement runs at the loop's depth, which stays as it is.
    return context.depth + static_cast<std::int64_t>(height_) <= APMPRunContext::kDepthLimit;
}

bool NumericLoop::run(APMPRunContext& context) {
    bool finished = false;
    bool changed = false;
    double* registers = registers_.data();
    // The budget is counted locally; an iteration starts only when all of
    // it fits before the next checkpoint. The checkpoint is passed early
    // (it only looks at the clock and the budget), so a long loop stays
    // here; what is left when the budget itself ends is left to the forms.
    std::int64_t count = context.instructionCount;
    std::int64_t lastStart = context.checkpoint - iterationCost_;
    while (!finished) {
        if (count > lastStart) {
            context.instructionCount = count;
            APMPErrorSlot stop;
            if (!context.passCheckpoint(stop)) break;
            lastStart = context.checkpoint - iterationCost_;
            if (count > lastStart) break;
        }
        count += iterationCost_;
        for (std::size_t i = 0; i < stepCount_; ++i) {
            const Step& step = steps_[i];
            double first = registers[step.first];
            double second = registers[step.second];
            switch (step.form) {
                case Form::Compare:
                    if (!compareNumbers(comparison_, first, second)) {
                        count -= iterationCost_ - conditionCost_;
                        finished = true;
                        i = stepCount_;
                    }
                    break;
                case Form::General:
                    registers[step.target] = first;
                    break;
                default:
                    registers[step.target] = arithmetic(step.form, first, second);
                    break;
            }
        }
        changed = changed || !finished;
    }
    context.instructionCount = count;
    if (!changed) return finished;
    // As an assignment stores a number: in place when the variable holds
    // the only reference.
    for (std::size_t i = 0; i < registerCount_; ++i)
        if (assigned_[i]) storeNumberInPlace(slots_[i]->value, registers_[i]);
    return finished;
}

}  // namespace

bool runNumericLoop(const APMPValueRef& condition, const APMPValueRef& update,
                    const APMPValueList& body, APMPScope& scope) {
    APMPRunContext& context = scope.context();
    NumericLoop numeric(scope);
    return numeric.compile(condition, update, body, context) && numeric.run(context);
}

}  // namespace apmp_detail
