#include "services/crash/RZRCTRReportManager.h"

#include <cstdio>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "services/crash/RZRCTRAnalyticsManager.h"
#include "services/crash/RZRCTRApplicationIdentifierModel.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRException.h"
#include "services/crash/RZRCTRExecutionIdentifierModel.h"
#include "services/crash/RZRCTRExistingReportManager.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRLaunchMarkerModel.h"
#include "services/crash/RZRCTRMachException.h"
#include "services/crash/RZRCTRManagerData.h"
#include "services/crash/RZRCTRSettings.h"
#include "services/crash/RZRCTRSettingsManager.h"
#include "services/crash/RZRCTRSignal.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/RZRCrashtraceReport.h"
#include "services/util/PRMPromise.h"

namespace {

// At most one settings download per process, whatever becomes of it.
std::atomic<bool> gSettingsFetchStarted{false};

std::string numberText(double value) {
    return Value(value).description();
}

RZRCTRContextSettings contextSettings(const RZRCTRSettings& settings) {
    RZRCTRContextSettings out;
    out.errorReportingEnabled = settings.errorReportingEnabled();
    out.customExceptionsEnabled = settings.customExceptionsEnabled();
    out.maxCustomExceptions = settings.maxCustomExceptions();
    out.logBufferSize = settings.logBufferSize();
    out.maxCustomKeys = settings.maxCustomKeys();
    return out;
}

void installCaptureSteps() {
    RZRCTRContextInstallers installers;
    installers.binaryImages = [] {
        RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                              &_rzrctrContext.writable->binaryImage);
    };
    installers.signal = [] { RZRCTRSignalInitialize(&_rzrctrContext.readonly->signal); };
    installers.machException = [] {
        RZRCTRMachExceptionInit(&_rzrctrContext.readonly->machException);
    };
    installers.exception = [] {
        RZRCTRExceptionInitialize(&_rzrctrContext.readonly->exception,
                                  &_rzrctrContext.writable->exception);
    };
    installers.recordMainExecutable = RZRCTRBinaryImageRecordMainExecutable;
    RZRCTRContextSetInstallers(installers);
}

}  // namespace

void sim::resetCrashtraceSettingsFetchForTesting() {
    gSettingsFetchStarted = false;
}

RZRCTRReportManager::RZRCTRReportManager(
    std::shared_ptr<RZRCTRManagerData> managerData,
    std::shared_ptr<RZRCTRExistingReportManager> existingReportManager,
    std::shared_ptr<RZRCTRAnalyticsManager> analyticsManager)
    : managerData_(std::move(managerData)),
      unsentReportsAvailable_(PRMPromise::pendingPromise()),
      reportActionProvided_(PRMPromise::pendingPromise()),
      unsentReportsHandled_(PRMPromise::pendingPromise()),
      analyticsManager_(std::move(analyticsManager)),
      existingReportManager_(std::move(existingReportManager)) {
    settingsManager_ = RZRCTRSettingsManager::managerWithAppIDModel(
        managerData_->appIDModel, managerData_->installIDModel, managerData_->settings,
        managerData_->fileManager, managerData_->zeveraAppID);
    notificationManager_ = std::make_shared<RZRCTRNotificationManager>();
    managerData_->settings->reloadFromCacheWithZeveraAppID(
        managerData_->zeveraAppID, sim::wallClockSeconds() - Date::kUnixToReference);
    launchMarker_ = std::make_shared<RZRCTRLaunchMarkerModel>(managerData_->fileManager);
}

std::shared_ptr<RZRCTRReportManager> RZRCTRReportManager::self() {
    return std::static_pointer_cast<RZRCTRReportManager>(shared_from_this());
}

std::shared_ptr<PRMPromise> RZRCTRReportManager::startWithProfilingMark(std::uint64_t mark) {
    const std::string executionID = managerData_->executionIDModel->executionID();
    existingReportManager_->collectExistingReports();
    if (!validateAppIdentifiers() || !managerData_->fileManager->createReportDirectories())
        return PRMPromise::resolvedWith(false);

    const bool launchFailure = launchMarker_->checkForAndCreateLaunchMarker();
    currentReport_ = setupCurrentReport(executionID);
    if (!currentReport_) RZRCTRErrorLog("Unable to setup a new report");
    if (!startCrashReporterWithProfilingMark(mark, currentReport_)) {
        RZRCTRErrorLog("Unable to start crash reporter");
        currentReport_.reset();
    }
    const bool reportPresent = currentReport_ != nullptr;
    auto me = self();
    const auto& startupQueue = managerData_->dispatchQueue;
    std::shared_ptr<PRMPromise> promise;
    if (managerData_->dataArbiter->isCrashtraceCollectionEnabled()) {
        RZRCTRDebugLog("Automatic data collection is enabled.");
        RZRCTRDebugLog("Unsent reports will be uploaded at startup");
        auto token = RZRCTRDataCollectionToken::validToken();
        beginSettingsWithToken(token);
        promise = waitForMetricKitData()->thenOn(
            startupQueue, [me, token, launchFailure, reportPresent](PRMValue) -> PRMValue {
                me->beginReportUploadsWithToken(token, launchFailure);
                me->unsentReportsAvailable_->fulfill(nullptr);
                return reportPresent;
            });
    } else {
        RZRCTRDebugLog("Automatic data collection is disabled.");
        RZRCTRDebugLog(
            "[Crashtrace:Crash] %d unsent reports are available. Waiting for "
            "send/deleteUnsentReports to be called.",
            static_cast<long>(existingReportManager_->unsentReportsCount()));
        promise = PRMPromise::allOn(startupQueue, {waitForReportAction(), waitForMetricKitData()})
                      ->thenOn(startupQueue, [me, reportPresent](PRMValue results) -> PRMValue {
                          long action = -1;
                          if (const PRMArray* list = results.array(); list && !list->empty())
                              if (const Value* v = (*list)[0].value())
                                  action = static_cast<long>(v->asInt().value_or(-1));
                          if (action == RZRCTRReportActionDelete) {
                              RZRCTRDebugLog("Deleting unsent reports.");
                              me->existingReportManager_->deleteUnsentReports();
                          } else if (action == RZRCTRReportActionSend) {
                              RZRCTRDebugLog("Sending unsent reports.");
                              auto token = RZRCTRDataCollectionToken::validToken();
                              me->beginSettingsWithToken(token);
                              me->beginReportUploadsWithToken(token, false);
                          } else {
                              RZRCTRErrorLog("Unknown report action: %d", action);
                          }
                          return reportPresent;
                      });
    }
    if (reportPresent) {
        const double startTime = RZRCTRProfileEnd(mark);
        if (auto logging = RZRCTRContextLoggingQueue()) {
            logging->async([startTime] {
                RZRCTRUserLoggingWriteInternalKeyValue("com.crashtrace.kit-start-time",
                                                       Value(numberText(startTime)));
            });
        }
    }
    std::weak_ptr<DispatchQueue> weakQueue = managerData_->operationQueue;
    std::weak_ptr<PRMPromise> weakHandled = unsentReportsHandled_;
    return promise->then([weakQueue, weakHandled](PRMValue value) -> PRMValue {
        auto drained = PRMPromise::pendingPromise();
        if (auto queue = weakQueue.lock())
            queue->async([drained] { drained->fulfill(nullptr); });
        else
            drained->fulfill(nullptr);
        auto finished = PRMPromise::pendingPromise();
        // A work queue held up by a stuck submission must not keep the
        // application waiting for ever.
        drained->timeout(kWorkQueueDrainTimeout)->always([weakHandled, finished, value] {
            if (auto handled = weakHandled.lock()) handled->fulfill(nullptr);
            finished->fulfill(value);
        });
        return PRMValue(finished);
    });
}

bool RZRCTRReportManager::validateAppIdentifiers() {
    if (!managerData_->appIDModel) {
        RZRCTRErrorLog(
            "Crashtrace could not find the symbol for the app's main function and cannot start "
            "up. This can happen when Exported Symbols File is set in Build Settings. To resolve "
            "this, add \"__mh_execute_header\" as a newline to your Exported Symbols File.");
        return false;
    }
    if (managerData_->appIDModel->bundleID().empty()) {
        RZRCTRErrorLog("An application must have a valid bundle identifier in its Info.plist");
        return false;
    }
    if (managerData_->dataArbiter->isLegacyDataCollectionKeyInPlist()) {
        RZRCTRErrorLog(
            "Found legacy data collection key in app's Info.plist: "
            "reruzera_crashtrace_collection_enabled");
        RZRCTRErrorLog(
            "Please update your Info.plist to use the new data collection key: "
            "ReruzeraCrashtraceCollectionEnabled");
        RZRCTRErrorLog(
            "The legacy data collection Info.plist value could be overridden by calling: "
            "[Tracekit with:...]");
        RZRCTRErrorLog(
            "The new value can be overridden by calling: [[RZRCrashtrace crashtrace] "
            "setCrashtraceCollectionEnabled:<isEnabled>]");
        return false;
    }
    return true;
}

std::shared_ptr<RZRCTRInternalReport> RZRCTRReportManager::setupCurrentReport(
    const std::string& executionID) {
    launchMarker_->createLaunchFailureMarker();
    auto path = managerData_->fileManager->setupNewPathForExecutionIdentifier(executionID);
    if (!path) return nullptr;
    return RZRCTRInternalReport::reportWithPath(*path, executionID);
}

bool RZRCTRReportManager::startCrashReporterWithProfilingMark(
    std::uint64_t mark, const std::shared_ptr<RZRCTRInternalReport>& report) {
    if (!report) return false;
    installCaptureSteps();
    if (!RZRCTRContextInitialize(report.get(), contextSettings(*managerData_->settings),
                                 managerData_->fileManager->rootPath()))
        return false;
    // The set-up finishes on other queues; what start-up records next (the
    // application state, its timing) needs the finished context.
    if (!RZRCTRContextWaitUntilInitialized(kContextSetupTimeout)) return false;
    notificationManager_->registerNotificationListener();
    analyticsManager_->registerAnalyticsListener();
    crashReportingSetupCompleted(mark);
    return true;
}

void RZRCTRReportManager::crashReportingSetupCompleted(std::uint64_t mark) {
    RZRCTRDispatchAfter(2.0, DispatchQueue::main(), [] {
        RZRCTRExceptionCheckHandlers();
        RZRCTRSignalCheckHandlers();
        RZRCTRMachExceptionCheckHandlers();
    });
    auto launchMarker = launchMarker_;
    DispatchQueue::main()->async([launchMarker, mark] {
        launchMarker->removeLaunchFailureMarker();
        if (auto logging = RZRCTRContextLoggingQueue()) {
            logging->async([mark] {
                RZRCTRUserLoggingWriteInternalKeyValue("com.crashtrace.first-run-loop-time",
                                                       Value(numberText(RZRCTRProfileEnd(mark))));
            });
        }
    });
}

void RZRCTRReportManager::beginSettingsWithToken(
    const std::shared_ptr<RZRCTRDataCollectionToken>& token) {
    if (!managerData_->settings->isCacheExpired()) return;
    bool expected = false;
    if (!gSettingsFetchStarted.compare_exchange_strong(expected, true)) return;
    settingsManager_->beginSettingsWithZeveraAppId(managerData_->zeveraAppID, token);
}

void RZRCTRReportManager::beginReportUploadsWithToken(
    const std::shared_ptr<RZRCTRDataCollectionToken>& token, bool blockingSend) {
    if (managerData_->settings->collectReportsEnabled()) {
        existingReportManager_->sendUnsentReportsWithToken(token, blockingSend);
    } else {
        RZRCTRInfoLog("Collect crash reports is disabled");
        existingReportManager_->deleteUnsentReports();
    }
}

std::shared_ptr<PRMPromise> RZRCTRReportManager::waitForReportAction() {
    unsentReportsAvailable_->fulfill(PRMValue(existingReportManager_->newestUnsentReport()));
    auto enabled = managerData_->dataArbiter->waitForCrashtraceCollectionEnabled()->then(
        [](PRMValue) -> PRMValue { return static_cast<int>(RZRCTRReportActionSend); });
    return PRMPromise::race({enabled, reportActionProvided_});
}

std::shared_ptr<PRMPromise> RZRCTRReportManager::waitForMetricKitData() {
    return PRMPromise::resolvedWith(nullptr);
}

std::shared_ptr<PRMPromise> RZRCTRReportManager::checkForUnsentReports() {
    bool expected = false;
    if (!checkForUnsentReportsCalled_.compare_exchange_strong(expected, true)) {
        RZRCTRErrorLog(
            "Either checkForUnsentReports or checkAndUpdateUnsentReports should be called once "
            "per execution.");
        return PRMPromise::resolvedWith(nullptr);
    }
    return unsentReportsAvailable_;
}

std::shared_ptr<PRMPromise> RZRCTRReportManager::sendUnsentReports() {
    reportActionProvided_->fulfill(static_cast<int>(RZRCTRReportActionSend));
    return unsentReportsHandled_;
}

std::shared_ptr<PRMPromise> RZRCTRReportManager::deleteUnsentReports() {
    reportActionProvided_->fulfill(static_cast<int>(RZRCTRReportActionDelete));
    return unsentReportsHandled_;
}
