#pragma once
// Pieces of the evaluator shared by the command registrar and the statement
// forms it runs directly: the instruction budget and the depth guard.

#include <cstddef>

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

// Counts one evaluation against the budget; false once it is spent.
inline bool countInstruction(APMPRunContext& context, APMPErrorSlot& error) {
    if (context.instructionCount >= APMPRunContext::kInstructionLimit) {
        APMPSetError(error, kAPMPErrorInstructionLimit);
        return false;
    }
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

// Runs a statement of a form other than General whose instruction has been
// counted and whose depth has been checked.
APMPValueRef evaluateForm(const APMPStatementValue& statement, const APMPScopeRef& scope,
                          APMPErrorSlot& error);

}  // namespace apmp_detail
