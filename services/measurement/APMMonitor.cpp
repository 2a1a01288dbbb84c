#include "services/measurement/APMMonitor.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/bundle/NSProcessInfo.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAEU.h"
#include "services/measurement/APMErrors.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/util/ZVULogger.h"

namespace {

constexpr std::size_t kMaxKeptLines = 4096;

std::string hexAddress(const void* p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

// The description of a context for console text.
std::string describe(const APMMonitorContext& context) {
    if (const APMMonitorException* exception = context.exception()) {
        auto symbol = APMMonitor::lastAPMSymbolFromException(exception);
        return symbol ? *symbol + ": " + exception->reason : exception->reason;
    }
    if (context.isNull()) return "(nil)";
    if (const Value* value = context.value()) {
        if (auto text = value->asString()) return *text;
        return value->description();
    }
    if (const NSError* error = context.error()) return error->description();
    const auto& object = *context.object();
    std::string text = object->description();
    return text.empty() ? "<" + object->className() + " " + hexAddress(object.get()) + ">" : text;
}

// A signed integer as sign and magnitude, so that no step overflows.
struct Magnitude {
    bool negative = false;
    unsigned long long value = 0;
};

Magnitude magnitudeOf(const Value& number) {
    switch (number.type()) {
        case Value::Type::Bool:
            return {false, *number.asBool() ? 1ull : 0ull};
        case Value::Type::UInt:
            return {false, *number.asUInt()};
        case Value::Type::Int: {
            const long long v = *number.asInt();
            return {v < 0, v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                 : static_cast<unsigned long long>(v)};
        }
        default: {
            const double d = std::trunc(number.asDouble().value_or(0));
            if (std::isnan(d)) return {};
            // Out-of-range numbers saturate as the platform's conversion does.
            if (d >= 9223372036854775807.0) return {false, 9223372036854775807ull};
            if (d <= -9223372036854775808.0) return {true, 9223372036854775808ull};
            const long long v = static_cast<long long>(d);
            return {v < 0, v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                 : static_cast<unsigned long long>(v)};
        }
    }
}

// The decade a magnitude lies in, counted exactly on integers.
std::string encodeNumber(const Value& number) {
    const Magnitude m = magnitudeOf(number);
    if (m.value <= 99) {
        return m.negative ? "-" + std::to_string(m.value) : std::to_string(m.value);
    }
    unsigned long long low = 1;
    while (m.value / low >= 10) low *= 10;
    // low * 10 - 1 is at most 9999999999999999999, which fits unsigned.
    const unsigned long long high = low == 10000000000000000000ull ? ULLONG_MAX : low * 10 - 1;
    const std::string lowText = std::to_string(low);
    const std::string highText = std::to_string(high);
    if (m.negative) return "-" + highText + "...-" + lowText;
    return lowText + "..." + highText;
}

bool containsCaseInsensitive(const std::string& text, const std::string& wanted) {
    auto it = std::search(text.begin(), text.end(), wanted.begin(), wanted.end(),
                          [](char a, char b) { return std::tolower(a) == std::tolower(b); });
    return it != text.end();
}

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::vector<std::string> splitAtWhiteSpace(const std::string& line) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : line) {
        if (isWhite(c)) {
            if (!piece.empty()) pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
    return pieces;
}

bool contains(const std::vector<std::string>& list, const char* item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// ---- Contexts ---------------------------------------------------------------

APMMonitorContext::APMMonitorContext(std::shared_ptr<NSObject> object) {
    if (object) v_ = std::move(object);
}

bool APMMonitorContext::isNull() const {
    const Value* v = value();
    return v && v->isNull();
}

Value APMMonitorContext::asValue() const {
    if (const Value* v = value()) return *v;
    return Value(describe(*this));
}

// ---- Console writer ---------------------------------------------------------

int APMASLLogger::ZVULoggerLevelFromLogLevel(int logLevel) {
    switch (logLevel) {
        case 0:
        case 1:
        case 2:
            return 3;
        case 3:
        case 4:
        case 5:
            return 4;
        case 6:
            return 5;
        case 7:
        case 8:
            return 7;
        default:
            return 4;
    }
}

void APMASLLogger::logMessage(const std::string& text, const std::string& logTag,
                              long long messageCode, int logLevel) {
    // The text is used as a format without arguments: doubled per-cent signs
    // come out single.
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    const std::vector<ZVUFormatArg> none;
    ZVULogBasic(static_cast<ZVULoggerLevel>(ZVULoggerLevelFromLogLevel(logLevel)), logTag,
                logLevel == 7, ZVUMessageCode("I-ACS%06ld", messageCode), escaped, &none);
}

// ---- Sampled data -----------------------------------------------------------

APMMonitoringSampledData::APMMonitoringSampledData(const std::optional<Array>& array,
                                                   UniformRandom random)
    : random_(std::move(random)) {
    if (array && isValidUserDefaultsArrayEntry(Value(*array))) sampledData_ = *array;
    if (!random_) random_ = [](std::uint32_t bound) { return arc4random_uniform(bound); };
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const Value& entry) {
    const Array* array = entry.asArray();
    return array && array->size() == 4 && (*array)[0].isString() && (*array)[1].isNumber() &&
           (*array)[2].isString() && (*array)[3].isDate();
}

std::optional<Array> APMMonitoringSampledData::sampledDataEntryWithKey(
    const std::optional<std::string>& key, std::optional<double> timestamp,
    const std::optional<std::string>& context, std::optional<std::int32_t> population) {
    if (!key || !timestamp || !context || !population) return std::nullopt;
    return Array{Value(*context), Value(*population), Value(*key),
                 Value(Date::fromUnix(*timestamp))};
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key,
                                                                std::int32_t population,
                                                                const std::string& context) {
    std::string text = std::to_string(population) + ":" + key;
    if (!context.empty()) text += ":" + context;
    return text;
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(
    const std::optional<std::string>& key, const std::optional<std::string>& encodedContext) {
    if (!key || !encodedContext) return;
    if (!sampledData_) {
        sampledData_ = sampledDataEntryWithKey(key, sim::wallClockSeconds(), encodedContext, 1);
        return;
    }
    Array& data = *sampledData_;
    const std::int64_t seen = data[1].asInt().value_or(0);
    // The population saturates rather than wrapping to a negative count.
    const std::int32_t population =
        seen >= INT32_MAX ? INT32_MAX
                          : static_cast<std::int32_t>(std::max<std::int64_t>(seen, 0) + 1);
    data[1] = Value(population);
    if (random_(static_cast<std::uint32_t>(population)) == 0) {
        data[0] = Value(*encodedContext);
        data[2] = Value(*key);
    }
}

std::optional<std::string> APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    const double now = sim::wallClockSeconds();
    if (!sampledData_) {
        if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) {
            return std::string("0:");
        }
        return std::nullopt;
    }
    const Array& data = *sampledData_;
    const double started = data[3].asDate()->unixSeconds();
    if (!(started < now - samplePeriod)) return std::nullopt;
    std::string text = monitoringURLParamWithKey(
        *data[2].asString(), static_cast<std::int32_t>(data[1].asInt().value_or(0)),
        *data[0].asString());
    sampledData_.reset();
    return text;
}

// ---- Environment ------------------------------------------------------------

APMMonitorEnvironment APMMonitorEnvironment::current() {
    APMMonitorEnvironment environment;
    environment.arguments = NSProcessInfo::processInfo()->arguments();
    environment.isFromAppStore = APMAEU::isFAS();
    environment.hasCoreLogger = NSClassFromString("DIZAvorozivarudo") != nullptr;
    return environment;
}

// ---- Monitor ----------------------------------------------------------------

struct APMMonitor::State {
    std::shared_ptr<APMMonitorLogger> logger;
    std::shared_ptr<APMUserDefaults> suite;
    APMMonitoringSampledData sampledData;
    APMMonitoringSampledData::UniformRandom random;
    // Sample updates queued and not yet applied: only the last of a burst
    // writes the preferences file.
    std::atomic<std::size_t> pendingUpdates{0};

    void migrate() {
        auto standard = APMUserDefaults::standardUserDefaults();
        switch (suite->integerForKey(kMigrationStateKey)) {
            case 0: {
                auto old = standard->arrayForKey(kHealthMonitorKey);
                if (old && !suite->objectForKey(kHealthMonitorKey)) {
                    suite->setObject(Value(*old), kHealthMonitorKey);
                }
                suite->setInteger(1, kMigrationStateKey);
                suite->synchronize();
                [[fallthrough]];
            }
            case 1:
                standard->removeObjectForKey(kHealthMonitorKey);
                standard->synchronize();
                suite->setInteger(2, kMigrationStateKey);
                suite->synchronize();
                break;
            default:
                break;
        }
    }
    void load() {
        sampledData = APMMonitoringSampledData(suite->arrayForKey(kHealthMonitorKey), random);
    }
    void save() {
        auto data = sampledData.sampledData();
        suite->setObject(data ? std::optional<Value>(Value(*data)) : std::nullopt,
                         kHealthMonitorKey);
        suite->synchronize();
    }
};

APMMonitor::APMMonitor() : APMMonitor(kAPMLibraryVersionNumber) {}

APMMonitor::APMMonitor(std::int64_t libraryVersion)
    : APMMonitor(6, std::make_shared<APMASLLogger>(), libraryVersion) {}

APMMonitor::APMMonitor(int logLevel, std::shared_ptr<APMMonitorLogger> logger,
                       std::int64_t libraryVersion, APMMonitorEnvironment environment)
    : logLevel_(logLevel), libraryVersion_(libraryVersion) {
    queue_ = DispatchQueue::create("APMMonitorQueue", DispatchQueue::Attributes::Serial,
                                   DispatchQoS::Background);
    state_ = std::make_shared<State>();
    state_->logger = std::move(logger);
    state_->suite = std::make_shared<APMUserDefaults>(environment.suiteName);
    state_->random = environment.random;
    state_->sampledData = APMMonitoringSampledData(std::nullopt, environment.random);
    isFromAppStore_ = environment.isFromAppStore;
    std::weak_ptr<State> weak = state_;
    queue_->async([weak] {
        if (auto state = weak.lock()) state->migrate();
    });
    queue_->async([weak] {
        if (auto state = weak.lock()) state->load();
    });
    if (isFromAppStore_) return;

    const auto& args = environment.arguments;
    deferToRZRLogger_ =
        (contains(args, "-ZEVOzaveDisabled") || contains(args, "-ZEVOzaveEnabled")) &&
        environment.hasCoreLogger;
    auto standard = APMUserDefaults::standardUserDefaults();
    if (contains(args, "-noAPMAnalyticsDebugEnabled") ||
        contains(args, "-noZAROduzozovaDebugEnabled") || contains(args, "-ZEVOzaveDisabled")) {
        setDebugModeEnabled(false);
    } else if (standard->boolForKey(kDebugModeKey) || contains(args, "-APMAnalyticsDebugEnabled") ||
               contains(args, "-ZAROduzozovaDebugEnabled") || contains(args, "-ZEVOzaveEnabled")) {
        setDebugModeEnabled(true);
    }
    if (contains(args, "-APMAnalyticsVerboseLoggingDisabled") ||
        contains(args, "-ZAROduzozovaVerboseLoggingDisabled")) {
        setVerboseLoggingEnabled(false);
    } else if (standard->boolForKey(kVerboseLoggingKey) ||
               contains(args, "-APMAnalyticsVerboseLoggingEnabled") ||
               contains(args, "-ZAROduzozovaVerboseLoggingEnabled")) {
        setVerboseLoggingEnabled(true);
    }
}

APMMonitor::~APMMonitor() = default;

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message) {
    logWithLevel(level, messageCode, std::optional<std::string>(message), {});
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message,
                              const APMMonitorContext& context) {
    logWithLevel(level, messageCode, std::optional<std::string>(message), {context});
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message,
                              const APMMonitorContext& context1,
                              const APMMonitorContext& context2) {
    logWithLevel(level, messageCode, std::optional<std::string>(message), {context1, context2});
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message,
                              const APMMonitorContext& context1, const APMMonitorContext& context2,
                              const APMMonitorContext& context3) {
    logWithLevel(level, messageCode, std::optional<std::string>(message),
                 {context1, context2, context3});
}

void APMMonitor::logWithLevel(int level, long long messageCode,
                              const std::optional<std::string>& message,
                              const std::vector<APMMonitorContext>& contexts) {
    record(level, messageCode, message, contexts);
    const bool loggable = isLoggableLevel(level);
    const bool monitorable = isMonitorableLevel(level);
    if (!loggable && !monitorable) return;
    if (level >= 8 && !isVerboseLoggingEnabled()) return;
    if (loggable) {
        logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts()),
                     level);
    }
    if (monitorable) {
        std::string encoded = encodedStringWithContextArray(contexts, false);
        const std::string fromErrors = APMMonitorContextsFromErrors(contexts);
        if (!fromErrors.empty()) encoded += "," + fromErrors;
        insertOrUpdateMonitoringDataWithMessage(message.value_or(""), encoded, level);
    }
}

void APMMonitor::record(int level, long long messageCode, const std::optional<std::string>& message,
                        const std::vector<APMMonitorContext>& contexts) {
    APMMonitorLine line{level, messageCode, message.value_or(""), {}};
    for (const auto& context : contexts) line.contexts.push_back(context.asValue());
    std::lock_guard lock(mutex_);
    if (lines_.size() >= kMaxKeptLines) lines_.pop_front();
    lines_.push_back(std::move(line));
}

void APMMonitor::setSharedLoggerLevel(int level) const {
    if (!deferToRZRLogger_) ZVUSetLoggerLevel(static_cast<ZVULoggerLevel>(level));
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
    auto standard = APMUserDefaults::standardUserDefaults();
    if (enabled && !isFromAppStore_) {
        logLevel_ = 7;
        setSharedLoggerLevel(7);
        standard->setObject(Value(true), kDebugModeKey);
        logWithLevel(7, 24000, "Debug mode is on");
        debugModeEnabled_ = true;
    } else {
        logLevel_ = 6;
        setSharedLoggerLevel(5);
        standard->removeObjectForKey(kDebugModeKey);
        logWithLevel(7, 24001, "Debug mode is off");
        debugModeEnabled_ = false;
    }
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
    auto standard = APMUserDefaults::standardUserDefaults();
    if (enabled && !isFromAppStore_) {
        logLevel_ = 8;
        setSharedLoggerLevel(7);
        standard->setObject(Value(true), kVerboseLoggingKey);
        logWithLevel(8, 24003, "Verbose logging is on");
        verboseLoggingEnabled_ = true;
    } else {
        logLevel_ = isDebugModeEnabled() ? 7 : 6;
        standard->removeObjectForKey(kVerboseLoggingKey);
        logWithLevel(8, 24004, "Verbose logging is off");
        verboseLoggingEnabled_ = false;
    }
}

std::string APMMonitor::logTag() const {
    std::lock_guard lock(mutex_);
    return logTag_;
}

void APMMonitor::setLogTag(std::string tag) {
    std::lock_guard lock(mutex_);
    logTag_ = std::move(tag);
}

bool APMMonitor::isLoggableLevel(int level) const {
    return ZVUIsLoggableLevel(
               static_cast<ZVULoggerLevel>(APMASLLogger::ZVULoggerLevelFromLogLevel(level))) &&
           !isSilentLevel(level);
}

bool APMMonitor::isSilentLevel(int level) {
    switch (level) {
        case 0:
        case 1:
        case 3:
        case 4:
        case 6:
        case 7:
        case 8:
            return false;
        default:
            return true;
    }
}

bool APMMonitor::isMonitorableLevel(int level) {
    switch (level) {
        case 0:
        case 3:
        case 6:
        case 7:
        case 8:
            return false;
        default:
            return true;
    }
}

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(int level) {
    switch (level) {
        case 0:
        case 1:
        case 2:
            return "ERROR";
        case 3:
        case 4:
        case 5:
            return "WARNING";
        case 6:
            return "NOTICE";
        case 7:
            return "DEBUG";
        default:
            return std::nullopt;
    }
}

std::string APMMonitor::stringWithLogMessage(const std::optional<std::string>& message, int,
                                             const std::vector<APMMonitorContext>& contexts,
                                             bool encodeContexts) {
    std::string text = !message           ? "(Message was nil)"
                       : message->empty() ? "(Message was empty)"
                                          : *message;
    if (contexts.empty()) return text;
    if (encodeContexts) return text + ": " + encodedStringWithContextArray(contexts, true);
    text += ": ";
    for (std::size_t i = 0; i < contexts.size(); ++i) {
        if (i) text += ", ";
        text += describe(contexts[i]);
    }
    return text;
}

std::string APMMonitor::encodedStringWithContextObject(const APMMonitorContext& context) {
    if (context.isNull()) return "";
    if (const APMMonitorException* exception = context.exception()) {
        return lastAPMSymbolFromException(exception).value_or("-");
    }
    if (const NSError* error = context.error()) return error->domain.empty() ? "-" : error->domain;
    if (const Value* value = context.value()) {
        if (value->isString()) return "-";
        if (value->isNumber() || value->isBool()) return encodeNumber(*value);
    }
    return "?";
}

std::string APMMonitor::encodedStringWithContextArray(
    const std::vector<APMMonitorContext>& contexts, bool insertSpaces) {
    std::string text;
    for (std::size_t i = 0; i < contexts.size(); ++i) {
        if (i) text += insertSpaces ? ", " : ",";
        text += encodedStringWithContextObject(contexts[i]);
    }
    return text;
}

std::optional<std::string> APMMonitor::lastAPMSymbolFromException(
    const APMMonitorException* exception) {
    if (!exception) return std::nullopt;
    const auto& lines = exception->callStackSymbols;
    if (lines.size() < 2) return exception->name;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const auto pieces = splitAtWhiteSpace(lines[i]);
        if (pieces.size() < 5) continue;
        const std::string candidate = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
        if (containsCaseInsensitive(candidate, "APM")) return candidate;
    }
    return exception->name;
}

std::string APMMonitor::monitoringDataKeyWithMessage(const std::string& message, int level,
                                                     std::int64_t libraryVersion) {
    const char letter = level >= 0 && level <= 2 ? 'E' : level >= 3 && level <= 5 ? 'W' : '?';
    return std::string("1") + letter + "_" + std::to_string(libraryVersion) + ":" + message;
}

void APMMonitor::logToConsole(long long messageCode, const std::optional<std::string>& text,
                              int level) {
    if (!text) return;
    std::weak_ptr<State> weak = state_;
    queue_->async([weak, tag = logTag(), messageCode, text = *text, level] {
        auto state = weak.lock();
        if (state && state->logger) state->logger->logMessage(text, tag, messageCode, level);
    });
}

void APMMonitor::insertOrUpdateMonitoringDataWithMessage(const std::string& message,
                                                         const std::string& encodedContext,
                                                         int level) {
    std::weak_ptr<State> weak = state_;
    ++state_->pendingUpdates;
    queue_->async([weak, key = monitoringDataKeyWithMessage(message, level, libraryVersion_),
                   encodedContext] {
        auto state = weak.lock();
        if (!state) return;
        state->sampledData.insertOrUpdateSampledDataWithKey(key, encodedContext);
        if (--state->pendingUpdates == 0) state->save();
    });
}

std::optional<std::string> APMMonitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
    std::optional<std::string> text;
    queue_->sync([&] {
        text = state_->sampledData.monitoringDataForDispatchWithSamplePeriod(samplePeriod,
                                                                             lastSampledTimestamp);
        if (text) state_->save();
    });
    return text;
}

void APMMonitor::clearMonitoringData() {
    queue_->sync([&] {
        auto standard = APMUserDefaults::standardUserDefaults();
        standard->removeObjectForKey(kDebugModeKey);
        standard->removeObjectForKey(kHealthMonitorKey);
        state_->suite->removeObjectForKey(kHealthMonitorKey);
        state_->load();
    });
}

std::optional<Array> APMMonitor::sampledData() const {
    std::optional<Array> data;
    queue_->sync([&] { data = state_->sampledData.sampledData(); });
    return data;
}

std::vector<APMMonitorLine> APMMonitor::lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

void APMMonitor::clearLines() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}
