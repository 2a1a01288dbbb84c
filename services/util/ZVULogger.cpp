#include "services/util/ZVULogger.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/util/ZVUAppEnvironmentUtil.h"
#include "services/util/ZVULoggerTesting.h"

// ---- Formatting ------------------------------------------------------------

ZVUFormatArg::ZVUFormatArg(const Value& v) : kind_(Kind::Text) {
    switch (v.type()) {
        case Value::Type::Bool:
            kind_ = Kind::Signed;
            signed_ = *v.asBool() ? 1 : 0;
            text_ = signed_ ? "1" : "0";
            break;
        case Value::Type::Int:
            kind_ = Kind::Signed;
            signed_ = *v.asInt();
            break;
        case Value::Type::UInt:
            kind_ = Kind::Unsigned;
            unsigned_ = *v.asUInt();
            break;
        case Value::Type::Double:
            kind_ = Kind::Real;
            real_ = *v.asDouble();
            break;
        case Value::Type::String:
            text_ = *v.asString();
            break;
        case Value::Type::Null:
            text_ = "<null>";
            break;
        default:
            text_ = v.description();
            break;
    }
}

std::string ZVUFormatArg::description() const {
    switch (kind_) {
        case Kind::Signed:
            return text_.empty() ? std::to_string(signed_) : text_;
        case Kind::Unsigned:
            return std::to_string(unsigned_);
        case Kind::Real: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g", real_);
            return buf;
        }
        case Kind::Text:
            return text_;
    }
    return text_;
}

long long ZVUFormatArg::asSigned() const {
    switch (kind_) {
        case Kind::Signed:
            return signed_;
        case Kind::Unsigned:
            return static_cast<long long>(unsigned_);
        case Kind::Real:
            return static_cast<long long>(real_);
        case Kind::Text:
            return 0;
    }
    return 0;
}

unsigned long long ZVUFormatArg::asUnsigned() const {
    switch (kind_) {
        case Kind::Signed:
            return static_cast<unsigned long long>(signed_);
        case Kind::Unsigned:
            return unsigned_;
        case Kind::Real:
            return static_cast<unsigned long long>(real_);
        case Kind::Text:
            return 0;
    }
    return 0;
}

double ZVUFormatArg::asReal() const {
    switch (kind_) {
        case Kind::Signed:
            return static_cast<double>(signed_);
        case Kind::Unsigned:
            return static_cast<double>(unsigned_);
        case Kind::Real:
            return real_;
        case Kind::Text:
            return 0;
    }
    return 0;
}

namespace {

template <class T>
std::string printOne(const std::string& directive, T value) {
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, directive.c_str(), value);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), directive.c_str(), value);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace

std::string ZVUFormat(const std::string& format, const std::vector<ZVUFormatArg>& args) {
    std::string out;
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        std::size_t start = i++;
        if (i < format.size() && format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::string flags;
        while (i < format.size() &&
               std::string_view("-+ #0'").find(format[i]) != std::string::npos) {
            if (format[i] != '\'') flags += format[i];
            ++i;
        }
        std::string width;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
            width += format[i++];
        }
        std::string precision;
        if (i < format.size() && format[i] == '.') {
            precision = ".";
            ++i;
            while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
                precision += format[i++];
            }
        }
        while (i < format.size() &&
               std::string_view("hlqztjL").find(format[i]) != std::string::npos) {
            ++i;
        }
        if (i >= format.size()) {
            out += format.substr(start);
            break;
        }
        char conversion = format[i++];
        const std::string directive = "%" + flags + width + precision;
        if (std::string_view("@diouxXcfFeEgGaAsp").find(conversion) == std::string::npos ||
            next >= args.size()) {
            out += format.substr(start, i - start);
            continue;
        }
        const ZVUFormatArg& arg = args[next++];
        switch (conversion) {
            case '@':
            case 'p':
                out += arg.description();
                break;
            case 's':
                out += printOne(directive + "s", arg.description().c_str());
                break;
            case 'c':
                out += static_cast<char>(arg.asSigned());
                break;
            case 'd':
            case 'i':
                if (arg.kind() == ZVUFormatArg::Kind::Text) {
                    out += arg.description();
                } else {
                    out += printOne(directive + "lld", arg.asSigned());
                }
                break;
            case 'o':
            case 'u':
            case 'x':
            case 'X':
                if (arg.kind() == ZVUFormatArg::Kind::Text) {
                    out += arg.description();
                } else {
                    out += printOne(directive + "ll" + conversion, arg.asUnsigned());
                }
                break;
            default:
                if (arg.kind() == ZVUFormatArg::Kind::Text) {
                    out += arg.description();
                } else {
                    out += printOne(directive + conversion, arg.asReal());
                }
                break;
        }
    }
    return out;
}

// ---- Logger ----------------------------------------------------------------

namespace {

constexpr const char* kFacility = "com.zevera.utilities.logger";
constexpr std::int64_t kInitialLevel = 5;

struct LoggerState {
    std::once_flag setUp;
    std::atomic<std::int64_t> level{kInitialLevel};
    std::atomic<bool> forceDebug{false};
    std::atomic<bool> copyToStandardError{false};
    // Touched only on the logging queue.
    std::uint32_t filterMask = 0;
    std::mutex versionMutex;
    std::string version;
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<OSLog> client;
};

LoggerState& state() {
    static LoggerState* s = new LoggerState;  // lives until exit, used by late loggers
    return *s;
}

std::uint32_t maskUpTo(std::int64_t level) {
    return static_cast<std::uint32_t>((1u << (level + 1)) - 1);
}

const char* levelName(std::int64_t level) {
    switch (level) {
        case 3:
            return "Error";
        case 4:
            return "Warning";
        case 5:
            return "Notice";
        case 6:
            return "Info";
        default:
            return "Debug";
    }
}

OSLogType osLogType(std::int64_t level) {
    if (level <= 3) return OSLogType::Error;
    if (level == 6) return OSLogType::Info;
    if (level >= 7) return OSLogType::Debug;
    return OSLogType::Default;
}

void setUp() {
    auto& s = state();
    std::call_once(s.setUp, [&s] {
        const std::string version = ZVUAppEnvironmentUtil::systemVersion();
        const long major = std::strtol(version.c_str(), nullptr, 10);
        // Systems before 10 needed the explicit standard-error option.
        if (major < 10) s.copyToStandardError = true;
        s.client = os_log_create(kFacility, "");
        s.level = kInitialLevel;
        s.filterMask = maskUpTo(kInitialLevel);
        s.queue = DispatchQueue::create("ZVULoggingClientQueue", DispatchQueue::Attributes::Serial,
                                        DispatchQoS::Background);
    });
}

bool passesFilter(std::uint32_t mask, std::int64_t level) {
    return level >= 0 && level < 32 && (mask & (1u << level)) != 0;
}

void write(std::int64_t level, const std::string& line) {
    auto& s = state();
    // The client's filter decides what reaches the system log, so a forced
    // line above the level goes only to standard error, whose copy is a
    // destination of its own. The unified log has no warning or notice
    // level: the category keeps the logger's own level name.
    if (passesFilter(s.filterMask, level))
        os_log_with_type(OSLog{kFacility, levelName(level)}, osLogType(level), line);
    if (s.copyToStandardError) {
        std::string copy = line + "\n";
        [[maybe_unused]] auto n = ::write(2, copy.data(), copy.size());
    }
}

}  // namespace

void ZVULoggerInitializeASL() {
    setUp();
}

void ZVULoggerEnableSTDERR() {
    state().copyToStandardError = true;
}

void ZVULoggerForceDebug() {
    if (ZVUAppEnvironmentUtil::isFromAppStore()) return;
    state().forceDebug = true;
    ZVUSetLoggerLevel(ZVULoggerLevel::Debug);
}

void ZVUSetLoggerLevel(ZVULoggerLevel level) {
    const auto raw = static_cast<std::int64_t>(level);
    if (raw < 3 || raw > 7) {
        ZVULogError("[ZVULogger]", false, "I-COR000023", "Invalid logger level, %ld", raw);
        return;
    }
    setUp();
    if (raw >= 5 && ZVUAppEnvironmentUtil::isFromAppStore()) return;
    auto& s = state();
    s.level = raw;
    s.queue->async([raw] { state().filterMask = maskUpTo(raw); });
}

bool ZVUIsLoggableLevel(ZVULoggerLevel level) {
    setUp();
    auto& s = state();
    return s.forceDebug || static_cast<std::int64_t>(level) <= s.level;
}

void ZVULoggerRegisterVersion(const std::string& version) {
    auto& s = state();
    std::lock_guard lock(s.versionMutex);
    s.version = version;
}

void ZVULogBasic(ZVULoggerLevel level, const std::string& service, bool force,
                 const std::string& messageCode, const std::string& message,
                 const std::vector<ZVUFormatArg>* args) {
    setUp();
    auto& s = state();
    const auto raw = static_cast<std::int64_t>(level);
    if (raw > s.level && !s.forceDebug && !force) return;
    const std::string text = args ? ZVUFormat(message, *args) : message;
    std::string version;
    {
        std::lock_guard lock(s.versionMutex);
        version = s.version;
    }
    std::string line = version + " - " + service + "[" + messageCode + "] " + text;
    s.queue->async([raw, line = std::move(line)] { write(raw, line); });
}

namespace sim {

void flushZVULogger() {
    setUp();
    state().queue->sync([] {});
}

void resetZVULoggerForTesting() {
    setUp();
    auto& s = state();
    flushZVULogger();
    s.level = kInitialLevel;
    s.forceDebug = false;
    s.copyToStandardError = false;
    ZVULoggerRegisterVersion("");
    s.queue->sync([] { state().filterMask = maskUpTo(kInitialLevel); });
}

}  // namespace sim
