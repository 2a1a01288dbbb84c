#include "services/transport/ZDTCORConsoleLogger.h"

#include <any>
#include <cstdio>

#include "platform/log/Log.h"
#include "platform/runtime/Runtime.h"

namespace {
constexpr const char* kTag = "[ZeveraDataTransport]";

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}
}  // namespace

std::string ZDTCORMessageCodeString(std::int64_t code) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "I-ZDTCOR%06lld", static_cast<long long>(code));
    return buffer;
}

void ZDTCORLog(std::int64_t code, std::int64_t level, const std::string& format,
               const std::vector<ZVUFormatArg>& args) {
    if (level < ZDTCORConsoleLoggerLoggingLevel) return;
    NSLog(std::string(kTag) + "[" + ZDTCORMessageCodeString(code) + "] " + ZVUFormat(format, args));
}

void ZDTCORReportAssertion(const std::string& fileName, long line, const std::string& format,
                           const std::vector<ZVUFormatArg>& args) {
    const std::string file = fileName.empty() ? "<Unknown File>" : fileName;
    NSLog(std::string(kTag) + "[" + ZDTCORMessageCodeString(ZDTCORMCEGeneralError) + "] (" + file +
          ":" + std::to_string(line) + ") : " + ZVUFormat(format, args));
}

std::function<void()> ZDTCORAssertionHookBlock() {
    Class helper = objc_lookUpClass("ZDTCORAssertHelper");
    const SEL selector("assertionBlock");
    if (!helper || !helper->respondsToSelector(selector)) return {};
    std::any result = objc_msgSendv(helper, selector, {});
    if (auto* block = std::any_cast<std::function<void()>>(&result)) return *block;
    return {};
}

bool ZDTCORCheck(bool condition, const char* file, long line, const std::string& format,
                 const std::vector<ZVUFormatArg>& args) {
    if (condition) return true;
    if (auto hook = ZDTCORAssertionHookBlock()) {
        hook();
    } else {
        ZDTCORReportAssertion(file ? baseName(file) : std::string(), line, format, args);
    }
    return false;
}
