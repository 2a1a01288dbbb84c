#pragma once
// The measurement library's monitor: every diagnostic of the library goes
// here with a level (0 to 2 errors, 3 to 5 warnings, 6 notices, 7 and 8
// debug), a numeric message code and optional context objects. Each line is
// kept (oldest first) and written to the unified log. Thread-safe; never
// fails.

#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

struct APMMonitorLine {
    int level = 0;
    long long messageCode = 0;
    std::string message;
    std::vector<Value> contexts;  // a null context is kept as the null object
};

class APMMonitor {
  public:
    void logWithLevel(int level, long long messageCode, const std::string& message);
    void logWithLevel(int level, long long messageCode, const std::string& message,
                      const Value& context);
    void logWithLevel(int level, long long messageCode, const std::string& message,
                      const Value& context1, const Value& context2);
    void logWithLevel(int level, long long messageCode, const std::string& message,
                      const Value& context1, const Value& context2, const Value& context3);

    void setLogTag(std::string tag);
    std::string logTag() const;
    bool isDebugModeEnabled() const;
    void setDebugModeEnabled(bool enabled);

    std::vector<APMMonitorLine> lines() const;
    void clearLines();

    // "ERROR", "WARNING", "NOTICE" or "DEBUG".
    static const char* levelName(int level);

  private:
    void record(APMMonitorLine line);

    mutable std::mutex mutex_;
    std::string tag_;
    bool debugMode_ = false;
    std::vector<APMMonitorLine> lines_;
};
