#pragma once
// The transport's console lines and its assertion report. Both may be called
// from any thread; each writes one line through NSLog. A failed consistency
// check never stops the program: the caller goes on, usually returning
// nothing.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "services/util/ZVULogger.h"

enum ZDTCORLoggingLevel : std::int64_t {
    ZDTCORLoggingLevelDebug = 1,
    ZDTCORLoggingLevelWarnings = 3,
    ZDTCORLoggingLevelErrors = 4,
};

// Message codes in use.
inline constexpr std::int64_t ZDTCORMCDDebugLog = 0;
inline constexpr std::int64_t ZDTCORMCWReachabilityFailed = 4;
inline constexpr std::int64_t ZDTCORMCETransformerDoesntImplementTransform = 1000;
inline constexpr std::int64_t ZDTCORMCEDiagnosticsEncodingFailed = 1005;
inline constexpr std::int64_t ZDTCORMCEGeneralError = 1006;

// Lines below this level are dropped; only errors reach the console.
inline constexpr std::int64_t ZDTCORConsoleLoggerLoggingLevel = ZDTCORLoggingLevelErrors;

// "I-ZDTCOR001006" for 1006.
std::string ZDTCORMessageCodeString(std::int64_t code);

// "[ZeveraDataTransport][I-ZDTCOR<code>] <message>", when level is at least
// the threshold. The format is ZVUFormat's (printf-like, %@ any argument).
void ZDTCORLog(std::int64_t code, std::int64_t level, const std::string& format,
               const std::vector<ZVUFormatArg>& args = {});

inline void ZDTCORLogDebug(const std::string& format, const std::vector<ZVUFormatArg>& args = {}) {
    ZDTCORLog(ZDTCORMCDDebugLog, ZDTCORLoggingLevelDebug, format, args);
}
inline void ZDTCORLogError(std::int64_t code, const std::string& format,
                           const std::vector<ZVUFormatArg>& args = {}) {
    ZDTCORLog(code, ZDTCORLoggingLevelErrors, format, args);
}

// Always writes "[ZeveraDataTransport][I-ZDTCOR001006] (<file>:<line>) : <message>";
// an empty file name reads "<Unknown File>".
void ZDTCORReportAssertion(const std::string& fileName, long line, const std::string& format,
                           const std::vector<ZVUFormatArg>& args = {});

// The block of a runtime class "ZDTCORAssertHelper" (class operation
// "assertionBlock", answering a std::function<void()>), or an empty function.
std::function<void()> ZDTCORAssertionHookBlock();

// A consistency check: when it fails, calls the assertion hook if there is
// one, else writes the assertion report. Answers whether the check held.
bool ZDTCORCheck(bool condition, const char* file, long line, const std::string& format,
                 const std::vector<ZVUFormatArg>& args = {});

#define ZDTCORAssert(condition, ...) \
    ZDTCORCheck(static_cast<bool>(condition), __FILE__, __LINE__, __VA_ARGS__)
