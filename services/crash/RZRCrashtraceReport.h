#pragma once
// The application's view of an unsent report from an earlier run: through it
// the application can still add log lines, a user identifier and custom keys
// to that report before it is sent. Writes go straight into the report's
// directory and need crash capture to have started.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/crash/RZRCTRUserLoggingStorage.h"
#include "services/util/ZVULogger.h"

class RZRCTRInternalReport;

class RZRCrashtraceReport : public NSObject {
  public:
    explicit RZRCrashtraceReport(std::shared_ptr<RZRCTRInternalReport> internalReport);
    // Waits for the rotations and compactions queued for this report.
    ~RZRCrashtraceReport() override;

    std::string className() const override { return "RZRCrashtraceReport"; }

    // A new C string (free it) of the report's content file path; null
    // without a report.
    static const char* filesystemPathForContentFile(const std::string& name,
                                                    const RZRCTRInternalReport* report);

    std::string reportID() const;
    Date dateCreated() const;
    bool hasCrash() const;

    void log(const std::string& message);
    void logWithFormat(const std::string& format, const std::vector<ZVUFormatArg>& arguments);
    void setUserID(const std::optional<std::string>& userID);
    void setCustomValue(const std::optional<Value>& value, const std::optional<std::string>& key);
    void setCustomKeysAndValues(const Dictionary& keysAndValues);

    const RZRCTRUserLoggingABStorage& logStorage() const { return logStorage_; }
    const char* activeLogPath() const { return activeLogPath_; }
    const RZRCTRUserLoggingKVStorage& userKVStorage() const { return userKVStorage_; }
    const RZRCTRUserLoggingKVStorage& internalKVStorage() const { return internalKVStorage_; }

  private:
    bool checkContextForMethod(const std::string& method) const;

    RZRCTRUserLoggingABStorage logStorage_;
    const char* activeLogPath_ = nullptr;
    std::uint32_t internalKVCounter_ = 0;
    RZRCTRUserLoggingKVStorage internalKVStorage_;
    std::uint32_t userKVCounter_ = 0;
    RZRCTRUserLoggingKVStorage userKVStorage_;
    std::shared_ptr<RZRCTRInternalReport> internalReport_;
};
