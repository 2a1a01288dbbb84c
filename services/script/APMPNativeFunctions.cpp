#include "services/script/APMPNativeFunctions.h"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/script/APMPEventEditing.h"

namespace {
APMPValueRef fail(APMPErrorSlot& error, int code) {
    APMPSetError(error, code);
    return APMPUndefined();
}
}  // namespace

// ---- logging ----

int APMScriptLogger::monitorLevel(long long level, bool silent, bool monitored) {
    switch (level) {
        case 2:
            return 8;
        case 3:
            return 7;
        case 4:
            return 6;
        case 5:
            return silent ? 5 : monitored ? 4 : 3;
        case 6:
            return silent ? 2 : monitored ? 1 : 0;
        default:
            return 6;
    }
}

void APMScriptLogger::logWithLevel(long long level, const std::string& message,
                                   const std::vector<std::string>& context, bool silent,
                                   bool monitored) {
    APMMonitor& monitor = APMMeasurement::monitor();
    int monitorLevel = APMScriptLogger::monitorLevel(level, silent, monitored);
    constexpr long long kScriptLogCode = 24005;
    switch (context.size()) {
        case 0:
            monitor.logWithLevel(monitorLevel, kScriptLogCode, message);
            break;
        case 1:
            monitor.logWithLevel(monitorLevel, kScriptLogCode, message, Value(context[0]));
            break;
        case 2:
            monitor.logWithLevel(monitorLevel, kScriptLogCode, message, Value(context[0]),
                                 Value(context[1]));
            break;
        default:
            monitor.logWithLevel(monitorLevel, kScriptLogCode, message, Value(context[0]),
                                 Value(context[1]), Value(context[2]));
            break;
    }
}

APMPFunctionLog::APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent,
                                 bool monitored)
    : APMPFunctionValue(u"log", {}, {}, APMPScope::make()),
      logger_(std::move(logger)),
      silent_(silent),
      monitored_(monitored) {}

namespace {
// A logged line and each of its context values are cut to this many code
// units: the monitor keeps what it is given, and a program's text is not
// bounded by anything the monitor knows of.
constexpr std::size_t kMaxLoggedLength = 4096;

std::string loggedText(const APMPValueRef& value, APMPErrorSlot& error) {
    // A string's text is cut without copying it whole first.
    APMPString converted;
    if (value->kind() != APMPKind::String) converted = value->stringValueOrError(error);
    const APMPString& text = value->kind() == APMPKind::String
                                 ? static_cast<const APMPStringValue&>(*value).value
                                 : converted;
    std::size_t length = text.size();
    if (length > kMaxLoggedLength) {
        length = kMaxLoggedLength;
        // Not between the two halves of a surrogate pair.
        if (text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
    }
    return APMPUTF8(text.substr(0, length));
}
}  // namespace

APMPValueRef APMPFunctionLog::invokeWithArguments(const APMPValueList& arguments,
                                                  const APMPScopeRef& scope, APMPErrorSlot& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 1, error)) return APMPUndefined();
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    long long level = 4;
    std::string message;
    std::vector<std::string> context;
    if (values.size() == 1) {
        message = loggedText(values[0], error);
    } else {
        double d = values[0]->doubleValueOrError(error);
        if (error) return APMPUndefined();
        // Truncated toward zero; NaN and values beyond 64 bits are clamped.
        if (std::isnan(d))
            level = 0;
        else if (d >= 9.2e18)
            level = std::numeric_limits<long long>::max();
        else if (d <= -9.2e18)
            level = std::numeric_limits<long long>::min();
        else
            level = static_cast<long long>(std::trunc(d));
        message = loggedText(values[1], error);
        for (std::size_t i = 2; i < values.size() && i < 5 && !error; ++i)
            context.push_back(loggedText(values[i], error));
    }
    if (error) return APMPUndefined();
    if (logger_) logger_->logWithLevel(level, message, context, silent_, monitored_);
    return APMPUndefined();
}

APMPNativeNamespace::APMPNativeNamespace(const std::u16string& name)
    : APMPFunctionValue(name, {}, {}, APMPScope::make()) {}

APMPValueRef APMPNativeNamespace::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                      APMPErrorSlot&) {
    return APMPUndefined();
}

APMPFunctionLogSilent::APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPNativeNamespace(u"silent") {
    setValue(std::make_shared<APMPFunctionLog>(std::move(logger), true, true), u"log");
}

APMPFunctionLogUnmonitored::APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPNativeNamespace(u"unmonitored") {
    setValue(std::make_shared<APMPFunctionLog>(std::move(logger), false, false), u"log");
}

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPNativeNamespace(u"internal.logger") {
    setValue(std::make_shared<APMPFunctionLog>(logger, false, true), u"log");
    setValue(std::make_shared<APMPFunctionLogSilent>(logger), u"silent");
    setValue(std::make_shared<APMPFunctionLogUnmonitored>(logger), u"unmonitored");
}

// ---- key-value store and version ----

APMPKeyValueStoreGetValue::APMPKeyValueStoreGetValue(APMPGetValueBlock block)
    : APMPFunctionValue(u"getValue", {}, {}, APMPScope::make()), block_(std::move(block)) {}

APMPValueRef APMPKeyValueStoreGetValue::invokeWithArguments(const APMPValueList& arguments,
                                                            const APMPScopeRef& scope,
                                                            APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    std::string key = APMPUTF8(values[0]->stringValueOrError(error));
    if (error) return APMPUndefined();
    std::optional<std::string> found = block_ ? block_(key) : std::nullopt;
    if (!found) return values[1];
    return APMPStringValue::make(*found);
}

APMPKeyValueStore::APMPKeyValueStore(const std::string& functionName, APMPGetValueBlock block)
    : APMPNativeNamespace(APMPUTF16(functionName)) {
    setValue(std::make_shared<APMPKeyValueStoreGetValue>(std::move(block)), u"getValue");
}

APMPFunctionGetVersion::APMPFunctionGetVersion()
    : APMPFunctionValue(u"getVersion", {}, {}, APMPScope::make()) {}

APMPValueRef APMPFunctionGetVersion::invokeWithArguments(const APMPValueList&, const APMPScopeRef&,
                                                         APMPErrorSlot&) {
    return APMPNumberValue::make(static_cast<double>(APMPRuntime::runtimeVersion()));
}

// ---- event handle ----

namespace {
using Handler = APMPEventNativeFunctions::Handler;

APMPValueRef getEventName(const APMPValueList& args, APMPEventContext& context,
                          APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    return APMPStringValue::make(std::string_view(context.outputEvent().name));
}

APMPValueRef getParamValue(const APMPValueList& args, APMPEventContext& context,
                           APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(args, 1, error)) return APMPUndefined();
    std::string name = APMPUTF8(args[0]->stringValueOrError(error));
    if (error) return APMPUndefined();
    const Value* parameter = context.outputEvent().parameters.find(name);
    if (!parameter) return APMPNull();
    return APMPRuntimeEntityConverter::runtimeValueFromNSObject(*parameter, error);
}

APMPValueRef getParams(const APMPValueList& args, APMPEventContext& context, APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    auto map = APMPMapValue::make();
    for (const auto& [name, value] : context.outputEvent().parameters) {
        APMPValueRef converted = APMPRuntimeEntityConverter::runtimeValueFromNSObject(value, error);
        if (error) return APMPUndefined();
        map->setValue(converted, APMPUTF16(name));
    }
    return map;
}

APMPValueRef getTimestamp(const APMPValueList& args, APMPEventContext& context,
                          APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(args, 0, error)) return APMPUndefined();
    return APMPNumberValue::make(context.outputEvent().timestamp);
}

APMPValueRef setEventName(const APMPValueList& args, APMPEventContext& context,
                          APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(args, 1, error)) return APMPUndefined();
    if (args[0]->kind() == APMPKind::Undefined || args[0]->kind() == APMPKind::Null)
        return fail(error, kAPMPErrorArgumentKind);
    APMPString name = args[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    context.outputEvent().name = APMPUTF8(name);
    return APMPStringValue::make(std::move(name));
}

APMPValueRef setParamValue(const APMPValueList& args, APMPEventContext& context,
                           APMPErrorSlot& error) {
    if (!APMPCheckArgumentCount(args, 2, error)) return APMPUndefined();
    std::string name = APMPUTF8(args[0]->stringValueOrError(error));
    if (error) return APMPUndefined();
    APMPHeldBytes held;
    Value object = APMPRuntimeEntityConverter::objectFromRuntimeValue(args[1], held, error);
    if (error) return APMPUndefined();
    if (object.isNull()) {
        context.outputEvent().parameters.remove(name);
        context.countParameterBytes(name, 0);
    } else {
        context.outputEvent().parameters.set(name, std::move(object));
        context.countParameterBytes(name, held.bytes() + static_cast<std::int64_t>(name.size()));
    }
    return args[1];
}

const std::unordered_map<APMPString, Handler>& eventHandlers() {
    static const auto* table = new std::unordered_map<APMPString, Handler>{
        {u"getEventName", getEventName}, {u"getParamValue", getParamValue},
        {u"getParams", getParams},       {u"getTimestamp", getTimestamp},
        {u"setEventName", setEventName}, {u"setParamValue", setParamValue},
    };
    return *table;
}
}  // namespace

APMPEventNativeFunctions::APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext)
    : eventContext_(std::move(eventContext)) {}

APMPValueRef APMPEventNativeFunctions::applyWithName(const APMPString& name,
                                                     const APMPValueList& arguments,
                                                     const APMPScopeRef& scope,
                                                     APMPErrorSlot& error) {
    const auto& table = eventHandlers();
    auto it = table.find(name);
    if (it == table.end()) return APMPMapValue::applyWithName(name, arguments, scope, error);
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return it->second(values, *eventContext_, error);
}
