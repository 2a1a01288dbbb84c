#include "platform/log/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

std::mutex& sinksMutex() {
    static std::mutex m;
    return m;
}
std::vector<LogCapture*>& sinks() {
    static std::vector<LogCapture*> s;
    return s;
}
std::atomic<bool> echo{std::getenv("LUMBREL_TEST") == nullptr};

const char* levelName(OSLogType t) {
    switch (t) {
        case OSLogType::Info:
            return "Info";
        case OSLogType::Debug:
            return "Debug";
        case OSLogType::Error:
            return "Error";
        case OSLogType::Fault:
            return "Fault";
        default:
            return "Default";
    }
}

}  // namespace

void deliver(const LogRecord& record) {
    {
        std::lock_guard lock(sinksMutex());
        for (auto* sink : sinks()) sink->add(record);
    }
    if (!echo.load()) return;
    if (record.source == LogSource::StandardOutput) {
        std::fprintf(stdout, "%s\n", record.text.c_str());
        std::fflush(stdout);
        return;
    }
    if (record.level == OSLogType::Debug && std::getenv("LUMBREL_LOG_DEBUG") == nullptr) return;
    if (record.source == LogSource::NSLog) {
        std::fprintf(stderr, "%s\n", record.text.c_str());
    } else {
        std::fprintf(stderr, "[%s:%s] %s: %s\n", record.subsystem.c_str(), record.category.c_str(),
                     levelName(record.level), record.text.c_str());
    }
}

LogCapture::LogCapture() {
    std::lock_guard lock(sinksMutex());
    sinks().push_back(this);
}

LogCapture::~LogCapture() {
    std::lock_guard lock(sinksMutex());
    auto& s = sinks();
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
}

void LogCapture::add(const LogRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> LogCapture::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) out.push_back(r.text);
    return out;
}

bool LogCapture::contains(const std::string& text) const {
    return count(text) > 0;
}

bool LogCapture::containsSubstring(const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    return std::any_of(records_.begin(), records_.end(), [&](const LogRecord& r) {
        return r.text.find(fragment) != std::string::npos;
    });
}

std::size_t LogCapture::count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return std::count_if(records_.begin(), records_.end(),
                         [&](const LogRecord& r) { return r.text == text; });
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

void setLogEcho(bool enabled) {
    echo.store(enabled);
}

}  // namespace sim

const OSLog& OSLog::defaultLog() {
    static const OSLog log{"", ""};
    return log;
}

std::shared_ptr<OSLog> os_log_create(std::string subsystem, std::string category) {
    return std::make_shared<OSLog>(OSLog{std::move(subsystem), std::move(category)});
}

void os_log_with_type(const OSLog& log, OSLogType type, const std::string& message) {
    sim::deliver({sim::LogSource::UnifiedLog, log.subsystem, log.category, type, message});
}

void NSLog(const std::string& message) {
    sim::deliver({sim::LogSource::NSLog, "", "", OSLogType::Default, message});
}

void printLine(const std::string& line) {
    sim::deliver({sim::LogSource::StandardOutput, "", "", OSLogType::Default, line});
}
