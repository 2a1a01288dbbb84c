#pragma once
// Ordinary-thread helpers of the crash reporter: its lines in the service
// log, start-up timing, UUID text, symbol lookup and delayed work.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "services/util/ZVULogger.h"

class DispatchQueue;

inline constexpr const char* kRZRCTRServiceName = "[Reruzera/Crashtrace]";
inline constexpr const char* kRZRCTRMessageCode = "I-CTR000000";

// Writes one crash reporter line to the service log (levels 7, 6, 4, 3 for
// debug, info, warning and error).
void RZRCTRServiceLog(ZVULoggerLevel level, const std::string& format,
                      const std::vector<ZVUFormatArg>* args);

template <class... Args>
void RZRCTRDebugLog(const std::string& format, const Args&... args);
template <class... Args>
void RZRCTRInfoLog(const std::string& format, const Args&... args);
template <class... Args>
void RZRCTRWarningLog(const std::string& format, const Args&... args);
template <class... Args>
void RZRCTRErrorLog(const std::string& format, const Args&... args);

// A monotonic mark in nanoseconds, and the milliseconds since it.
std::uint64_t RZRCTRProfileStart();
double RZRCTRProfileEnd(std::uint64_t mark);
// Runs the block and prints "[Profile] <label>: <ms> ms" to standard error.
void RZRCTRProfileBlock(const char* label, const std::function<void()>& block);

// Removes every "-" and lowercases.
std::string RZRCTRNormalizeUUID(const std::string& uuid);
std::string RZRCTRGenerateNormalizedUUID();

// dladdr of the pointer: the nearest symbol and the image path ("unknown"
// for a missing one); both null when the lookup fails.
void RZRCTRDladdrForPointer(const void* pointer,
                            const std::function<void(const char* symbol, const char* path)>& block);

// Runs the block on the queue after the delay (measured on the sim clock).
void RZRCTRDispatchAfter(double seconds, const std::shared_ptr<DispatchQueue>& queue,
                         std::function<void()> block);

namespace rzrctr_log_detail {
template <class... Args>
void log(ZVULoggerLevel level, const std::string& format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        RZRCTRServiceLog(level, format, nullptr);
    } else {
        const std::vector<ZVUFormatArg> list{ZVUFormatArg(args)...};
        RZRCTRServiceLog(level, format, &list);
    }
}
}  // namespace rzrctr_log_detail

template <class... Args>
void RZRCTRDebugLog(const std::string& format, const Args&... args) {
    rzrctr_log_detail::log(ZVULoggerLevel::Debug, format, args...);
}
template <class... Args>
void RZRCTRInfoLog(const std::string& format, const Args&... args) {
    rzrctr_log_detail::log(ZVULoggerLevel::Info, format, args...);
}
template <class... Args>
void RZRCTRWarningLog(const std::string& format, const Args&... args) {
    rzrctr_log_detail::log(ZVULoggerLevel::Warning, format, args...);
}
template <class... Args>
void RZRCTRErrorLog(const std::string& format, const Args&... args) {
    rzrctr_log_detail::log(ZVULoggerLevel::Error, format, args...);
}
