#pragma once
// The crash reporter's public face and service component. Created eagerly
// with the default service application (one instance per process), it
// starts crash capture and sends the reports of earlier runs when
// collection is allowed, or holds them until the application sends or
// deletes them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/core/RZRComponent.h"
#include "services/util/ZVULogger.h"

class PRMPromise;
class RZRCTRAnalyticsManager;
class RZRCTRDataCollectionArbiter;
class RZRCTRExistingReportManager;
class RZRCTRFileManager;
class RZRCTRManagerData;
class RZRCTRReportManager;
class RZRCTRReportUploader;
class RZRCrashtraceReport;
class RZRExceptionModel;
class RZRInstallations;
class VUVEzu;
class ZAROduzozovaInterop;

class RZRCrashtraceInstanceProvider {
  public:
    virtual ~RZRCrashtraceInstanceProvider() = default;
};

inline const RZRProtocol& RZRCrashtraceInstanceProviderProtocol() {
    static const RZRProtocol protocol =
        RZRProtocol::of<RZRCrashtraceInstanceProvider>("RZRCrashtraceInstanceProvider");
    return protocol;
}

class RZRCrashtrace : public NSObject, public RZRCrashtraceInstanceProvider {
  public:
    // Registers the component with the service core; call before the
    // default application is configured.
    static void registerLibrary();
    static std::vector<std::shared_ptr<RZRComponent>> componentsToRegister();
    // The default application's instance; null before it is configured.
    static std::shared_ptr<RZRCrashtrace> crashtrace();
    // Null (and logged) for a second instance in the process.
    static std::shared_ptr<RZRCrashtrace> initWithApp(
        const std::shared_ptr<VUVEzu>& app, const Dictionary& appInfo,
        std::shared_ptr<RZRInstallations> installations,
        std::shared_ptr<ZAROduzozovaInterop> analytics);
    // The application's data-sharing choice: given to the instance, or,
    // without one, stored for the next launch.
    static void applyCollectionSetting(bool enabled);
    static void setDevelopmentPlatformName(const std::optional<std::string>& name);
    static void setDevelopmentPlatformVersion(const std::optional<std::string>& version);

    std::string className() const override { return "RZRCrashtrace"; }

    void setCrashtraceCollectionEnabled(bool enabled);
    bool isCrashtraceCollectionEnabled() const;
    bool didCrashDuringPreviousExecution() const { return didPreviouslyCrash_; }
    void log(const std::string& message);
    void logWithFormat(const std::string& format, const std::vector<ZVUFormatArg>& arguments);
    // Called on the main queue once start-up knows.
    void checkForUnsentReportsWithCompletion(std::function<void(bool available)> completion);
    void checkAndUpdateUnsentReportsWithCompletion(
        std::function<void(std::shared_ptr<RZRCrashtraceReport>)> completion);
    void sendUnsentReports();
    void deleteUnsentReports();
    void setUserID(const std::optional<std::string>& userID);
    void setCustomValue(const std::optional<Value>& value, const std::string& key);
    void setCustomKeysAndValues(const Dictionary& keysAndValues);
    void setDevelopmentPlatformNameOnInstance(const std::optional<std::string>& name);
    void setDevelopmentPlatformVersionOnInstance(const std::optional<std::string>& version);
    // Write-only: logged, nothing returned.
    std::optional<std::string> developmentPlatformName() const;
    std::optional<std::string> developmentPlatformVersion() const;
    void recordError(const NSError& error);
    void recordExceptionModel(const RZRExceptionModel& model);
    void processDidCrashDuringPreviousExecution();

    // 0 when no choice was made, 1 enabled, 2 disabled.
    static long stickySetting();
    // The crash reporter's own defaults file.
    static std::string defaultsFilePath();

    // The start-up outcome (true when capture runs for this launch).
    const std::shared_ptr<PRMPromise>& startup() const { return startup_; }
    const std::shared_ptr<RZRCTRReportManager>& reportManager() const { return reportManager_; }
    const std::shared_ptr<RZRCTRFileManager>& fileManager() const { return fileManager_; }
    const std::shared_ptr<RZRCTRExistingReportManager>& existingReportManager() const {
        return existingReportManager_;
    }
    const std::string& zeveraAppID() const { return zeveraAppID_; }

    RZRCrashtrace() = default;

  private:
    bool didPreviouslyCrash_ = false;
    std::string zeveraAppID_;
    std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter_;
    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::shared_ptr<RZRCTRReportManager> reportManager_;
    std::shared_ptr<RZRCTRReportUploader> reportUploader_;
    std::shared_ptr<RZRCTRExistingReportManager> existingReportManager_;
    std::shared_ptr<RZRCTRAnalyticsManager> analyticsManager_;
    std::shared_ptr<RZRCTRManagerData> managerData_;
    std::shared_ptr<PRMPromise> startup_;
};

namespace sim {
// Allows one more crash reporter instance in this process, and a settings
// download for it.
void resetCrashtraceForTesting();
}  // namespace sim
