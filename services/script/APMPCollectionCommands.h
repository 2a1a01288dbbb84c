#pragma once
// The methods of string and array values, reached through method calls on
// such values.

#include "services/script/APMPRuntimeValue.h"

namespace APMPStringCommandEvaluator {
APMPValueRef evaluateCommand(const APMPString& name, const APMPString& text,
                             const APMPValueList& arguments, const APMPScopeRef& scope,
                             APMPErrorSlot& error);
}  // namespace APMPStringCommandEvaluator

namespace APMPArrayCommandEvaluator {
APMPValueRef evaluateCommand(const APMPString& name, const std::shared_ptr<APMPArrayValue>& array,
                             const APMPValueList& arguments, const APMPScopeRef& scope,
                             APMPErrorSlot& error);
}  // namespace APMPArrayCommandEvaluator
