#pragma once
// Pieces of the evaluator shared by the command registrar, the statement
// forms it runs directly and the numeric loop: the instruction budget, the
// depth guard, number arithmetic and name resolution.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "services/script/APMPRuntime.h"

namespace apmp_detail {

// Statements being evaluated on this thread, whatever their runtime.
inline thread_local std::size_t tNesting = 0;

// Marks one level of evaluation on the run context of the scope.
class DepthGuard {
  public:
    explicit DepthGuard(APMPRunContext& context)
        : context_(context), previous_(APMPRunContext::current()) {
        ++context_.depth;
        ++tNesting;
        if (previous_ != &context_) APMPRunContext::setCurrent(&context_);
    }
    ~DepthGuard() {
        --context_.depth;
        --tNesting;
        if (previous_ != &context_) APMPRunContext::setCurrent(previous_);
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

  private:
    APMPRunContext& context_;
    APMPRunContext* previous_;
};

// Counts one evaluation against the budget; false once it is spent, its
// time is up or its memory ran out.
inline bool countInstruction(APMPRunContext& context, APMPErrorSlot& error) {
    if (context.instructionCount >= context.checkpoint && !context.passCheckpoint(error))
        return false;
    ++context.instructionCount;
    return true;
}

// False with kAPMPErrorDepthLimit once evaluation is nested too deeply.
inline bool checkDepth(const APMPRunContext& context, APMPErrorSlot& error) {
    if (context.depth >= APMPRunContext::kDepthLimit) {
        APMPSetError(error, kAPMPErrorDepthLimit);
        return false;
    }
    return true;
}

// Whether `index` is a whole number below `count`.
inline bool isIndexBelow(double index, std::size_t count) {
    return index >= 0 && index < static_cast<double>(count) &&
           static_cast<double>(static_cast<std::size_t>(index)) == index;
}

// The number an array element or a map entry holds where a write may
// change it in place: an entry the write would replace, whose number
// nothing else holds. Null when the write must go the ordinary way.
inline APMPValueRef* numberHeldOnce(const APMPArrayValue& array, double index) {
    const auto& elements = array.elements();
    if (!isIndexBelow(index, elements.size())) return nullptr;
    // The array is the caller's to write; elements() only reads it.
    auto& held = const_cast<APMPValueRef&>(elements[static_cast<std::size_t>(index)]);
    return held->kind() == APMPKind::Number && held.use_count() == 1 ? &held : nullptr;
}
inline APMPValueRef* numberHeldOnce(APMPMapValue& map, const APMPString& name) {
    APMPPropertyMap& table = map.propertyMap;
    APMPPropertyMap::Slot* slot = table.isImmutable() ? nullptr : table.findSlot(name);
    if (!slot || slot->immutable || slot->value->kind() != APMPKind::Number ||
        slot->value.use_count() != 1)
        return nullptr;
    return &slot->value;
}

// Stores a number as an assignment does: into the number the entry holds
// when nothing else holds it, else as a new one.
inline void storeNumberInPlace(APMPValueRef& held, double number) {
    if (held->kind() == APMPKind::Number && held.use_count() == 1)
        static_cast<APMPNumberValue&>(*held).value = number;
    else
        held = APMPNumberValue::make(number);
}

// The remainder of a division as fmod gives it. Whole numbers below 2^53
// take the integer remainder, which is the same and many times faster; a
// zero result keeps the dividend's sign.
inline double remainder(double a, double b) {
    constexpr double kExact = 9007199254740992.0;
    // Below 2^53 a whole number survives the round trip through an integer.
    if (std::fabs(a) < kExact && std::fabs(b) < kExact && b != 0 &&
        static_cast<double>(static_cast<std::int64_t>(a)) == a &&
        static_cast<double>(static_cast<std::int64_t>(b)) == b) {
        auto x = static_cast<std::int64_t>(a);
        auto y = static_cast<std::int64_t>(b);
        // A 32-bit division is several times quicker than a 64-bit one.
        constexpr std::int64_t kSmall = std::int64_t{1} << 31;
        std::int64_t r = x > -kSmall && x < kSmall && y > -kSmall && y < kSmall
                             ? static_cast<std::int32_t>(x) % static_cast<std::int32_t>(y)
                             : x % y;
        if (r == 0) return std::signbit(a) ? -0.0 : 0.0;
        return static_cast<double>(r);
    }
    return std::fmod(a, b);
}

// The arithmetic of the forms Add to Modulo on two numbers.
inline double arithmetic(APMPStatementForm form, double a, double b) {
    switch (form) {
        case APMPStatementForm::Add:
            return a + b;
        case APMPStatementForm::Subtract:
            return a - b;
        case APMPStatementForm::Multiply:
            return a * b;
        case APMPStatementForm::Divide:
            return a / b;
        default:
            return remainder(a, b);
    }
}

// The comparison command `code` on two numbers.
inline bool compareNumbers(std::uint8_t code, double a, double b) {
    switch (code) {
        case 12:
        case 20:
            return a == b;
        case 29:
        case 21:
            return !(a == b);
        case 23:
            return a < b;
        case 24:
            return a <= b;
        case 18:
            return b < a;
        default:
            return b <= a;
    }
}

// The entry `name` names as seen from `scope`, as APMPScope::valueForName
// walks; null when no scope declares it. `cache` keeps where it was found.
inline APMPPropertyMap::Slot* findName(APMPNameCache& cache, const APMPString& name,
                                       APMPScope& scope) {
    std::uint64_t epoch = APMPScopeLayoutEpoch();
    if (cache.scope == &scope && cache.epoch == epoch) return cache.slot;
    APMPPropertyMap::Slot* slot = nullptr;
    for (APMPScope* current = &scope; current && !slot; current = current->parentScope().get())
        slot = current->contents.findSlot(name);
    cache = {&scope, epoch, slot, false};
    return slot;
}

// The entry a variable read finds; `statement` is of the ReadVariable form.
inline APMPPropertyMap::Slot* findVariable(const APMPStatementValue& statement,
                                           APMPScope& scope) {
    return findName(statement.nameCache, *statement.variableName, scope);
}

enum class Access { Absent, Silent, Writable };

// The entry an assignment statement writes, as APMPScope::assignExisting
// walks: a frozen scope on the way or an immutable name makes it Silent.
APMPPropertyMap::Slot* findAssignable(const APMPStatementValue& statement, APMPScope& scope,
                                      Access& access);

// Runs the iterations (condition, body, update) of a loop whose statements
// only compute numbers from number literals and variables that hold
// numbers, and assign them to such variables: the variables are read once,
// kept unboxed while the loop runs and written back at the end. True when
// the condition turned false; false, with the state as the loop left it
// after whole iterations, when the loop does not have that shape or its
// next iteration might run out of budget: the caller goes on with it.
bool runNumericLoop(const APMPValueRef& condition, const APMPValueRef& update,
                    const APMPValueList& body, APMPScope& scope);

// Evaluates `value` as evaluateStatement would. True with `number` set when
// the result is a number (`other` may then hold it boxed or be null);
// false with the result in `other` otherwise, undefined on error.
bool evaluateOperand(const APMPValueRef& value, const APMPScopeRef& scope, APMPErrorSlot& error,
                     double& number, APMPValueRef& other);

// A statement of known cost whose values are all numbers where it needs
// them, in one step: with its whole cost counted and its number in
// `number`. False, with nothing counted or changed, otherwise.
bool quickNumber(const APMPStatementValue& statement, APMPScope& scope, APMPRunContext& context,
                 double& number);

// Evaluates `value` and takes its truth, as a condition does.
bool evaluateTruth(const APMPValueRef& value, const APMPScopeRef& scope, APMPErrorSlot& error);

// Evaluates a statement whose value is not needed: null or a value whose
// kind only matters when it is a control value.
APMPValueRef evaluateForEffect(const APMPValueRef& value, const APMPScopeRef& scope,
                               APMPErrorSlot& error);

// Runs a loop body as executeStatements does, for its control value only
// (null when there is none).
APMPValueRef runBody(const APMPValueList& body, const APMPScopeRef& scope, APMPErrorSlot& error);

// What a loop does with a body's result: 0 go on, 1 stop with undefined,
// 2 stop and return the result.
int afterBody(const APMPValueRef& result, const APMPErrorSlot& error);

// Runs the branch an if command chose, as the command does.
APMPValueRef runBranch(const APMPValueRef& branch, const APMPScopeRef& scope,
                       APMPErrorSlot& error);

// The statements a list argument of a command holds. A statement-list
// literal counts and checks its evaluation and is read in place, without
// the array its evaluation would make; any other argument is evaluated and
// its elements copied into `storage`, made only then. Null when that fails
// (with the error) or the value is not an array (without one).
const APMPValueList* listArgument(const APMPValueRef& argument, const APMPScopeRef& scope,
                                  APMPErrorSlot& error, std::optional<APMPValueList>& storage);

// Runs a statement of a form other than General whose instruction has been
// counted and whose depth has been checked.
APMPValueRef evaluateForm(const APMPStatementValue& statement, const APMPScopeRef& scope,
                          APMPErrorSlot& error);

}  // namespace apmp_detail
