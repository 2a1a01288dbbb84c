#pragma once
// The one logger of the service clients. Every line reads
// "<version> - <service>[<code>] <message>" and is written, in submission
// order, on the serial queue "ZVULoggingClientQueue" to the unified log
// (subsystem "com.zevera.utilities.logger"), so tests see it through
// sim::LogCapture.
//
// Messages are printf-like formats expanded by ZVUFormat with typed
// arguments: %@ takes any argument's description, the integer and floating
// conversions (with flags, width and precision, e.g. %06ld, %.2f) take
// numbers, %s a text, %% a per-cent sign. A format is only ever expanded
// when arguments are given: a message without arguments is written
// unchanged, per-cent signs and all.
//
// The log client filters by level on the logging queue, with the mask of
// levels up to the current one (changed in order with the lines): a line
// let through by its force argument but above that level reaches only the
// standard-error copy, which takes every line.
//
// The level, the force-debug flag and the version may be changed from any
// thread.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// The system log's levels.
enum class ZVULoggerLevel : std::int64_t {
    Error = 3,
    Warning = 4,
    Notice = 5,
    Info = 6,
    Debug = 7,
};
inline constexpr ZVULoggerLevel ZVULoggerLevelMin = ZVULoggerLevel::Error;
inline constexpr ZVULoggerLevel ZVULoggerLevelMax = ZVULoggerLevel::Debug;

// One argument of a format: a number keeps its kind, everything else is its
// description.
class ZVUFormatArg {
  public:
    ZVUFormatArg(int v) : kind_(Kind::Signed), signed_(v) {}
    ZVUFormatArg(long v) : kind_(Kind::Signed), signed_(v) {}
    ZVUFormatArg(long long v) : kind_(Kind::Signed), signed_(v) {}
    ZVUFormatArg(unsigned v) : kind_(Kind::Unsigned), unsigned_(v) {}
    ZVUFormatArg(unsigned long v) : kind_(Kind::Unsigned), unsigned_(v) {}
    ZVUFormatArg(unsigned long long v) : kind_(Kind::Unsigned), unsigned_(v) {}
    ZVUFormatArg(double v) : kind_(Kind::Real), real_(v) {}
    ZVUFormatArg(bool v) : kind_(Kind::Signed), signed_(v ? 1 : 0), text_(v ? "1" : "0") {}
    ZVUFormatArg(ZVULoggerLevel v) : ZVUFormatArg(static_cast<long long>(v)) {}
    ZVUFormatArg(const char* v) : kind_(Kind::Text), text_(v ? v : "(null)") {}
    ZVUFormatArg(std::string v) : kind_(Kind::Text), text_(std::move(v)) {}
    ZVUFormatArg(const Value& v);
    ZVUFormatArg(const NSError& e) : kind_(Kind::Text), text_(e.description()) {}
    template <class T>
    ZVUFormatArg(const std::optional<T>& v)
        : ZVUFormatArg(v ? ZVUFormatArg(*v) : ZVUFormatArg("(null)")) {}

    // The %@ form.
    std::string description() const;

    enum class Kind { Signed, Unsigned, Real, Text };
    Kind kind() const { return kind_; }
    long long asSigned() const;
    unsigned long long asUnsigned() const;
    double asReal() const;

  private:
    Kind kind_;
    long long signed_ = 0;
    unsigned long long unsigned_ = 0;
    double real_ = 0;
    std::string text_;
};

// Expands a printf-like format with the arguments (never with the
// argument texts themselves as formats). A missing argument leaves its
// conversion as written.
std::string ZVUFormat(const std::string& format, const std::vector<ZVUFormatArg>& args);

// Opens the log client and creates the logging queue; later calls do nothing.
void ZVULoggerInitializeASL();
// Also copies every written line to standard error.
void ZVULoggerEnableSTDERR();
// Outside App Store builds: let every line through and set the level to
// Debug.
void ZVULoggerForceDebug();
// 3 to 7; anything else is reported and ignored. App Store builds keep the
// level below Notice.
void ZVUSetLoggerLevel(ZVULoggerLevel level);
bool ZVUIsLoggableLevel(ZVULoggerLevel level);
void ZVULoggerRegisterVersion(const std::string& version);

// Writes one line at the level unless it is filtered out. `args` absent: the
// message is written unchanged.
void ZVULogBasic(ZVULoggerLevel level, const std::string& service, bool force,
                 const std::string& messageCode, const std::string& message,
                 const std::vector<ZVUFormatArg>* args = nullptr);

template <class... Args>
void ZVULogError(const std::string& service, bool force, const std::string& code,
                 const std::string& format, const Args&... args);
template <class... Args>
void ZVULogWarning(const std::string& service, bool force, const std::string& code,
                   const std::string& format, const Args&... args);
template <class... Args>
void ZVULogNotice(const std::string& service, bool force, const std::string& code,
                  const std::string& format, const Args&... args);
template <class... Args>
void ZVULogInfo(const std::string& service, bool force, const std::string& code,
                const std::string& format, const Args&... args);
template <class... Args>
void ZVULogDebug(const std::string& service, bool force, const std::string& code,
                 const std::string& format, const Args&... args);

// The class-style entry point of other components: ZVULogBasic, not forced.
struct ZVULoggerWrapper {
    static void logWithLevel(ZVULoggerLevel level, const std::string& service,
                             const std::string& code, const std::string& message,
                             const std::vector<ZVUFormatArg>* args = nullptr) {
        ZVULogBasic(level, service, false, code, message, args);
    }
};

// Message codes such as "I-NET%06ld" filled with a number.
inline std::string ZVUMessageCode(const std::string& family, long long number) {
    return ZVUFormat(family, {number});
}

namespace zvu_logger_detail {
template <class... Args>
void log(ZVULoggerLevel level, const std::string& service, bool force, const std::string& code,
         const std::string& format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        ZVULogBasic(level, service, force, code, format, nullptr);
    } else {
        const std::vector<ZVUFormatArg> list{ZVUFormatArg(args)...};
        ZVULogBasic(level, service, force, code, format, &list);
    }
}
}  // namespace zvu_logger_detail

template <class... Args>
void ZVULogError(const std::string& service, bool force, const std::string& code,
                 const std::string& format, const Args&... args) {
    zvu_logger_detail::log(ZVULoggerLevel::Error, service, force, code, format, args...);
}
template <class... Args>
void ZVULogWarning(const std::string& service, bool force, const std::string& code,
                   const std::string& format, const Args&... args) {
    zvu_logger_detail::log(ZVULoggerLevel::Warning, service, force, code, format, args...);
}
template <class... Args>
void ZVULogNotice(const std::string& service, bool force, const std::string& code,
                  const std::string& format, const Args&... args) {
    zvu_logger_detail::log(ZVULoggerLevel::Notice, service, force, code, format, args...);
}
template <class... Args>
void ZVULogInfo(const std::string& service, bool force, const std::string& code,
                const std::string& format, const Args&... args) {
    zvu_logger_detail::log(ZVULoggerLevel::Info, service, force, code, format, args...);
}
template <class... Args>
void ZVULogDebug(const std::string& service, bool force, const std::string& code,
                 const std::string& format, const Args&... args) {
    zvu_logger_detail::log(ZVULoggerLevel::Debug, service, force, code, format, args...);
}
