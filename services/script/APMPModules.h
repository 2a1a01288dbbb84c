#pragma once
// Modules that programs load with "require": the provider of module
// creators and the "require" function with its per-runtime cache.

#include <string>
#include <unordered_map>

#include "services/script/APMPRuntime.h"

class APMPDynamicProvider {
  public:
    // A later creator for the same name replaces the earlier one.
    void setModuleCreator(APMPModuleCreator creator, const std::string& name);
    // Undefined without error when nobody registered the name; code 15 when
    // the creator returns nothing.
    APMPValueRef moduleForName(const std::string& name, APMPErrorSlot& error) const;

  private:
    std::unordered_map<std::string, APMPModuleCreator> creators_;
};

class APMPRequire final : public APMPFunctionValue {
  public:
    explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;
    void releaseReferences() override;
    void markReferences(APMPMarker& marker) const override;

  private:
    std::shared_ptr<APMPDynamicProvider> provider_;
    std::unordered_map<std::string, APMPValueRef> modules_;
};

// A function value whose call yields a plain object from the host, converted.
class APMPObjectProvider final : public APMPFunctionValue {
  public:
    APMPObjectProvider(const std::string& name, std::function<Value()> block);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;

  private:
    std::function<Value()> block_;
};
