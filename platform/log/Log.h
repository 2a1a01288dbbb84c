#pragma once
// Logging stand-ins: the unified log (subsystem, category, level), the plain
// NSLog call and lines printed to standard output. Every line goes to the
// capture sinks (tests) and is echoed to the terminal: unified-log and NSLog
// lines to standard error (debug lines only when LUMBREL_LOG_DEBUG is set),
// printed lines to standard output.
//
// Callers format their message before logging; a message is never used as a
// format string.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum class OSLogType : std::uint8_t {
    Default = 0x00,
    Info = 0x01,
    Debug = 0x02,
    Error = 0x10,
    Fault = 0x11,
};

struct OSLog {
    std::string subsystem;
    std::string category;
    // OS_LOG_DEFAULT: the log with no subsystem.
    static const OSLog& defaultLog();
};

std::shared_ptr<OSLog> os_log_create(std::string subsystem, std::string category);
void os_log_with_type(const OSLog& log, OSLogType type, const std::string& message);
inline void os_log(const OSLog& log, const std::string& message) {
    os_log_with_type(log, OSLogType::Default, message);
}
inline void os_log_debug(const OSLog& log, const std::string& message) {
    os_log_with_type(log, OSLogType::Debug, message);
}
inline void os_log_error(const OSLog& log, const std::string& message) {
    os_log_with_type(log, OSLogType::Error, message);
}
// The platform's plain log call.
void NSLog(const std::string& message);
// A line written to standard output (the language's print).
void printLine(const std::string& line);

namespace sim {

enum class LogSource { UnifiedLog, NSLog, StandardOutput };

struct LogRecord {
    LogSource source = LogSource::UnifiedLog;
    std::string subsystem;
    std::string category;
    OSLogType level = OSLogType::Default;
    std::string text;
};

// Collects every log line written while it lives, from any thread.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> lines() const;        // the texts, in order
    bool contains(const std::string& text) const;  // exact line
    bool containsSubstring(const std::string& fragment) const;
    std::size_t count(const std::string& text) const;
    void clear();

  private:
    friend void deliver(const LogRecord&);
    void add(const LogRecord& record);
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// Echo to the terminal on or off (on by default; tests may silence it).
void setLogEcho(bool enabled);

}  // namespace sim
