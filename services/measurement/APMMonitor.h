#pragma once
// The measurement library's monitor: every diagnostic of the library goes
// here with a level, a numeric message code and optional context objects.
//
// Levels: 0 to 2 errors, 3 to 5 warnings, 6 notice, 7 debug, 8 verbose
// (passes only while verbose logging is on). Levels 2 and 5 (and any value
// outside 0 to 8) are silent: never printed. Levels 1, 2, 4 and 5 (and any
// value outside 0 to 8) are monitored: an anonymised sample of them is kept
// in the suite "com.zevera.ruv.measurement.monitor" and sent with the next
// upload.
//
// Any thread may log. Console writes and sample updates run in order on the
// serial queue "APMMonitorQueue"; dispatch and clearing wait on that queue
// and must not be called from it. Queued blocks hold the monitor weakly.
// Logging never fails to the caller.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class DispatchQueue;
class APMUserDefaults;

// The library's version number, as sent in every message key.
inline constexpr std::int64_t kAPMLibraryVersionNumber = 40103;

// An exception handed to the monitor as a context: its name, reason and the
// symbolicated call-stack lines.
struct APMMonitorException {
    std::string name;
    std::string reason;
    std::vector<std::string> callStackSymbols;
};

// One context object of a message: a property-list value (the null value
// standing for nil), an error, an exception or any other object.
class APMMonitorContext {
  public:
    APMMonitorContext() = default;
    APMMonitorContext(Value value) : v_(std::move(value)) {}
    APMMonitorContext(NSError error) : v_(std::move(error)) {}
    APMMonitorContext(APMMonitorException exception) : v_(std::move(exception)) {}
    APMMonitorContext(std::shared_ptr<NSObject> object);

    bool isNull() const;
    const Value* value() const { return std::get_if<Value>(&v_); }
    const NSError* error() const { return std::get_if<NSError>(&v_); }
    const APMMonitorException* exception() const { return std::get_if<APMMonitorException>(&v_); }
    const std::shared_ptr<NSObject>* object() const {
        return std::get_if<std::shared_ptr<NSObject>>(&v_);
    }
    // The context as a value: itself for a value, its description otherwise.
    Value asValue() const;

  private:
    std::variant<Value, NSError, APMMonitorException, std::shared_ptr<NSObject>> v_;
};

// A message as it was handed to the monitor (kept for inspection).
struct APMMonitorLine {
    int level = 0;
    long long messageCode = 0;
    std::string message;
    std::vector<Value> contexts;  // errors and objects by their description
};

// Where console text goes.
class APMMonitorLogger {
  public:
    virtual ~APMMonitorLogger() = default;
    virtual void logMessage(const std::string& text, const std::string& logTag,
                            long long messageCode, int logLevel) = 0;
};

// The default console writer: the shared logger's basic call, with the code
// shown as "I-ACS%06ld" and a force flag for level 7.
class APMASLLogger : public APMMonitorLogger {
  public:
    // The shared-logger level (3, 4, 5 or 7) of a monitor level.
    static int ZVULoggerLevelFromLogLevel(int logLevel);
    void logMessage(const std::string& text, const std::string& logTag, long long messageCode,
                    int logLevel) override;
};

// The kept sample: nil, or exactly four entries (encoded context, population,
// message key, start date), which is also its stored form. Not thread-safe:
// the monitor uses it on its queue only.
class APMMonitoringSampledData {
  public:
    // A uniform draw in [0, upperBound).
    using UniformRandom = std::function<std::uint32_t(std::uint32_t upperBound)>;

    explicit APMMonitoringSampledData(const std::optional<Array>& array = std::nullopt,
                                      UniformRandom random = nullptr);

    static bool isValidUserDefaultsArrayEntry(const Value& entry);
    // Nil (nullopt) when any argument is missing.
    static std::optional<Array> sampledDataEntryWithKey(const std::optional<std::string>& key,
                                                        std::optional<double> timestamp,
                                                        const std::optional<std::string>& context,
                                                        std::optional<std::int32_t> population);
    static std::string monitoringURLParamWithKey(const std::string& key, std::int32_t population,
                                                 const std::string& context);

    void insertOrUpdateSampledDataWithKey(const std::optional<std::string>& key,
                                          const std::optional<std::string>& encodedContext);
    // The dispatch text, or nil when nothing is due; a returned sample is
    // discarded. `lastSampledTimestamp` is 0 for never.
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(
        double samplePeriod, double lastSampledTimestamp);
    std::optional<Array> sampledData() const { return sampledData_; }

  private:
    std::optional<Array> sampledData_;
    UniformRandom random_;
};

// What the monitor reads of its process at construction; tests give their
// own.
struct APMMonitorEnvironment {
    std::vector<std::string> arguments;  // launch arguments
    bool isFromAppStore = false;
    bool hasCoreLogger = false;                      // the SDK core's logger class is linked
    APMMonitoringSampledData::UniformRandom random;  // nullptr: the system's
    std::string suiteName = "com.zevera.ruv.measurement.monitor";  // where samples are kept

    static APMMonitorEnvironment current();
};

class APMMonitor {
  public:
    static constexpr const char* kSuiteName = "com.zevera.ruv.measurement.monitor";
    static constexpr const char* kHealthMonitorKey = "/zevera/measurement/health_monitor";
    static constexpr const char* kMigrationStateKey = "/zevera/measurement/monitor_migration_state";
    static constexpr const char* kDebugModeKey = "/zevera/measurement/debug_mode";
    static constexpr const char* kVerboseLoggingKey = "/zevera/measurement/verbose_logging";
    static constexpr const char* kDefaultLogTag = "<RedIdizezadodu>";

    // Level 6, the console through the shared logger, this library's version.
    APMMonitor();
    explicit APMMonitor(std::int64_t libraryVersion);
    APMMonitor(int logLevel, std::shared_ptr<APMMonitorLogger> logger, std::int64_t libraryVersion,
               APMMonitorEnvironment environment = APMMonitorEnvironment::current());
    ~APMMonitor();
    APMMonitor(const APMMonitor&) = delete;
    APMMonitor& operator=(const APMMonitor&) = delete;

    void logWithLevel(int level, long long messageCode, const std::string& message);
    void logWithLevel(int level, long long messageCode, const std::string& message,
                      const APMMonitorContext& context);
    void logWithLevel(int level, long long messageCode, const std::string& message,
                      const APMMonitorContext& context1, const APMMonitorContext& context2);
    void logWithLevel(int level, long long messageCode, const std::string& message,
                      const APMMonitorContext& context1, const APMMonitorContext& context2,
                      const APMMonitorContext& context3);
    // The central operation; a nil message is passed as nullopt.
    void logWithLevel(int level, long long messageCode, const std::optional<std::string>& message,
                      const std::vector<APMMonitorContext>& contexts);

    int logLevel() const { return logLevel_.load(); }
    void setLogLevel(int level) { logLevel_ = level; }
    std::int64_t libraryVersion() const { return libraryVersion_; }
    bool deferToRZRLogger() const { return deferToRZRLogger_; }
    bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
    void setDebugModeEnabled(bool enabled);
    bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }
    void setVerboseLoggingEnabled(bool enabled);
    bool encodeContexts() const { return encodeContexts_.load(); }
    void setEncodeContexts(bool encode) { encodeContexts_ = encode; }
    std::string logTag() const;
    void setLogTag(std::string tag);

    bool isLoggableLevel(int level) const;
    static bool isSilentLevel(int level);
    static bool isMonitorableLevel(int level);
    // "ERROR", "WARNING", "NOTICE", "DEBUG"; nil for level 8 and unknown ones.
    static std::optional<std::string> logLevelDescriptionFromLogLevel(int level);

    static std::string stringWithLogMessage(const std::optional<std::string>& message, int level,
                                            const std::vector<APMMonitorContext>& contexts,
                                            bool encodeContexts);
    static std::string encodedStringWithContextObject(const APMMonitorContext& context);
    static std::string encodedStringWithContextArray(const std::vector<APMMonitorContext>& contexts,
                                                     bool insertSpaces);
    static std::optional<std::string> lastAPMSymbolFromException(
        const APMMonitorException* exception);
    static std::string monitoringDataKeyWithMessage(const std::string& message, int level,
                                                    std::int64_t libraryVersion);

    void logToConsole(long long messageCode, const std::optional<std::string>& text, int level);
    void insertOrUpdateMonitoringDataWithMessage(const std::string& message,
                                                 const std::string& encodedContext, int level);
    std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(
        double samplePeriod, double lastSampledTimestamp);
    void clearMonitoringData();

    // The monitor's serial queue; tests wait on it with sync.
    const std::shared_ptr<DispatchQueue>& monitorQueue() const { return queue_; }
    // A copy of the current sample (read on the monitor queue).
    std::optional<Array> sampledData() const;

    // Every message handed to the monitor, most recent last (bounded).
    std::vector<APMMonitorLine> lines() const;
    void clearLines();

  private:
    struct State;
    void record(int level, long long messageCode, const std::optional<std::string>& message,
                const std::vector<APMMonitorContext>& contexts);
    void setSharedLoggerLevel(int level) const;

    std::atomic<int> logLevel_;
    std::int64_t libraryVersion_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<State> state_;  // what queued blocks reach, held weakly
    bool isFromAppStore_ = false;
    bool deferToRZRLogger_ = false;
    std::atomic<bool> debugModeEnabled_{false};
    std::atomic<bool> verboseLoggingEnabled_{false};
    std::atomic<bool> encodeContexts_{false};
    mutable std::mutex mutex_;
    std::string logTag_ = kDefaultLogTag;
    std::deque<APMMonitorLine> lines_;  // dropped from the front when full
};
