#pragma once
// The logger of the service components: the core's switches (a persistent
// debug mode chosen by launch arguments, standard-error output, the analytics
// debug flag) over the shared logger, which formats and writes the line
// "4.2.0 - <service>[<code>] <message>".
//
// Launch arguments read once, at the first log, level change or loggability
// query: "-ZEVOzaveEnabled" turns debug output on and keeps it on for later
// launches (user default "/zevera/reruzera/debug_mode"), "-ZEVOzaveDisabled"
// turns it off again, "-RZRLoggerForceSTDERR" copies every line to standard
// error. Any thread may log.

#include <string>
#include <vector>

#include "services/util/ZVULogger.h"

inline constexpr const char* kRZRLoggerCore = "[Reruzera/Core]";
inline constexpr const char* kRZRLoggerAnalytics = "[Reruzera/Analytics]";
inline constexpr const char* kRZRLoggerCrash = "[Reruzera/Crash]";
inline constexpr const char* kRZRLoggerRemoteConfig = "[Reruzera/RemoteConfig]";

inline constexpr const char* kRZRLoggerDebugModeKey = "/zevera/reruzera/debug_mode";

// The one-time set-up; later calls do nothing.
void RZRLoggerInitialize();
// `args` absent: the message is written unchanged.
void RZRLogBasic(ZVULoggerLevel level, const std::string& service, const std::string& code,
                 const std::string& format, const std::vector<ZVUFormatArg>* args = nullptr);
// 3 to 7; others are reported by the shared logger and ignored.
void RZRSetLoggerLevel(ZVULoggerLevel level);
bool RZRIsLoggableLevel(ZVULoggerLevel level, bool analyticsComponent);
void RZRSetAnalyticsDebugMode(bool enabled);

// For callers that hold the arguments as a list.
struct RZRLoggerWrapper {
    static void logWithLevel(ZVULoggerLevel level, const std::string& service,
                             const std::string& code, const std::string& message,
                             const std::vector<ZVUFormatArg>* args = nullptr) {
        RZRLogBasic(level, service, code, message, args);
    }
};

namespace rzr_logger_detail {
template <class... Args>
void log(ZVULoggerLevel level, const std::string& service, const std::string& code,
         const std::string& format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        RZRLogBasic(level, service, code, format, nullptr);
    } else {
        const std::vector<ZVUFormatArg> list{ZVUFormatArg(args)...};
        RZRLogBasic(level, service, code, format, &list);
    }
}
}  // namespace rzr_logger_detail

template <class... Args>
void RZRLogError(const std::string& service, const std::string& code, const std::string& format,
                 const Args&... args) {
    rzr_logger_detail::log(ZVULoggerLevel::Error, service, code, format, args...);
}
template <class... Args>
void RZRLogWarning(const std::string& service, const std::string& code, const std::string& format,
                   const Args&... args) {
    rzr_logger_detail::log(ZVULoggerLevel::Warning, service, code, format, args...);
}
template <class... Args>
void RZRLogNotice(const std::string& service, const std::string& code, const std::string& format,
                  const Args&... args) {
    rzr_logger_detail::log(ZVULoggerLevel::Notice, service, code, format, args...);
}
template <class... Args>
void RZRLogInfo(const std::string& service, const std::string& code, const std::string& format,
                const Args&... args) {
    rzr_logger_detail::log(ZVULoggerLevel::Info, service, code, format, args...);
}
template <class... Args>
void RZRLogDebug(const std::string& service, const std::string& code, const std::string& format,
                 const Args&... args) {
    rzr_logger_detail::log(ZVULoggerLevel::Debug, service, code, format, args...);
}
