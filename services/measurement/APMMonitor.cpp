#include "services/measurement/APMMonitor.h"

#include <memory>

#include "platform/log/Log.h"

namespace {

const OSLog& monitorLog() {
    // Never destroyed: queues may still log while the process exits.
    static const auto* const log =
        new OSLog(*os_log_create("com.zevera.ruv.measurement", "monitor"));
    return *log;
}

OSLogType logTypeFor(int level) {
    if (level <= 2) return OSLogType::Error;
    if (level <= 5) return OSLogType::Default;
    if (level == 6) return OSLogType::Info;
    return OSLogType::Debug;
}

}  // namespace

const char* APMMonitor::levelName(int level) {
    if (level <= 2) return "ERROR";
    if (level <= 5) return "WARNING";
    if (level == 6) return "NOTICE";
    return "DEBUG";
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message) {
    record({level, messageCode, message, {}});
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message,
                              const Value& context) {
    record({level, messageCode, message, {context}});
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message,
                              const Value& context1, const Value& context2) {
    record({level, messageCode, message, {context1, context2}});
}

void APMMonitor::logWithLevel(int level, long long messageCode, const std::string& message,
                              const Value& context1, const Value& context2, const Value& context3) {
    record({level, messageCode, message, {context1, context2, context3}});
}

void APMMonitor::record(APMMonitorLine line) {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        if (!tag_.empty()) text = tag_ + " ";
        lines_.push_back(line);
    }
    text += std::string(levelName(line.level)) + " " + std::to_string(line.messageCode) + ": " +
            line.message;
    for (const Value& context : line.contexts) text += ", " + context.description();
    os_log_with_type(monitorLog(), logTypeFor(line.level), text);
}

void APMMonitor::setLogTag(std::string tag) {
    std::lock_guard lock(mutex_);
    tag_ = std::move(tag);
}

std::string APMMonitor::logTag() const {
    std::lock_guard lock(mutex_);
    return tag_;
}

bool APMMonitor::isDebugModeEnabled() const {
    std::lock_guard lock(mutex_);
    return debugMode_;
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    debugMode_ = enabled;
}

std::vector<APMMonitorLine> APMMonitor::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void APMMonitor::clearLines() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}
