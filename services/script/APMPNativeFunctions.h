#pragma once
// Native function values: host code that programs call like functions. The
// logger module, the key-value store, the version function and the event
// handle that editing callbacks receive. All run on the thread that runs
// the program.

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "services/script/APMPRuntime.h"

class APMPEventContext;

// Receives the lines a program logs.
class APMPLoggerDelegate {
  public:
    virtual ~APMPLoggerDelegate() = default;
    virtual void logWithLevel(long long level, const std::string& message,
                              const std::vector<std::string>& context, bool silent,
                              bool monitored) = 0;
};

// Logs to the measurement library's monitor with message code 24005.
class APMScriptLogger final : public APMPLoggerDelegate {
  public:
    void logWithLevel(long long level, const std::string& message,
                      const std::vector<std::string>& context, bool silent,
                      bool monitored) override;
    // The monitor level for a script level and the two flags.
    static int monitorLevel(long long level, bool silent, bool monitored);
};

class APMPFunctionLog final : public APMPFunctionValue {
  public:
    APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;

  private:
    std::shared_ptr<APMPLoggerDelegate> logger_;
    bool silent_;
    bool monitored_;
};

// A function value that does nothing when called; its use is its properties.
class APMPNativeNamespace : public APMPFunctionValue {
  public:
    explicit APMPNativeNamespace(const std::u16string& name);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;
};

class APMPFunctionLogSilent final : public APMPNativeNamespace {
  public:
    explicit APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger);
};

class APMPFunctionLogUnmonitored final : public APMPNativeNamespace {
  public:
    explicit APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger);
};

// The "internal.logger" module.
class APMPMessageLogger final : public APMPNativeNamespace {
  public:
    explicit APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger);
};

using APMPGetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;

class APMPKeyValueStoreGetValue final : public APMPFunctionValue {
  public:
    explicit APMPKeyValueStoreGetValue(APMPGetValueBlock block);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;

  private:
    APMPGetValueBlock block_;
};

class APMPKeyValueStore final : public APMPNativeNamespace {
  public:
    APMPKeyValueStore(const std::string& functionName, APMPGetValueBlock block);
};

class APMPFunctionGetVersion final : public APMPFunctionValue {
  public:
    APMPFunctionGetVersion();
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope,
                                     APMPErrorSlot& error) override;
};

// The handle an editing callback receives: methods on the context's output
// event.
class APMPEventNativeFunctions final : public APMPMapValue {
  public:
    using Handler = APMPValueRef (*)(const APMPValueList& arguments, APMPEventContext& context,
                                     APMPErrorSlot& error);
    explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext);
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;

  private:
    std::shared_ptr<APMPEventContext> eventContext_;
};
