#include "services/crash/RZRCrashtrace.h"

#include <atomic>
#include <filesystem>
#include <utility>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/analytics/ZAROduzozovaInterop.h"
#include "services/core/RZRComponentContainer.h"
#include "services/core/RZRInstallations.h"
#include "services/core/RZRLibrary.h"
#include "services/core/VUVEzu.h"
#include "services/crash/RZRCTRAnalyticsManager.h"
#include "services/crash/RZRCTRApplicationIdentifierModel.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRException.h"
#include "services/crash/RZRCTRExistingReportManager.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRHost.h"
#include "services/crash/RZRCTRManagerData.h"
#include "services/crash/RZRCTRReportManager.h"
#include "services/crash/RZRCTRReportUploader.h"
#include "services/crash/RZRCTRSettings.h"
#include "services/crash/RZRCTRUserDefaults.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/RZRCrashtraceReport.h"
#include "services/transport/ZDTCORLifecycle.h"
#include "services/transport/ZDTCORTargets.h"
#include "services/transport/ZDTCORTransport.h"
#include "services/util/PRMPromise.h"

namespace {

std::atomic<int> gInstanceCreated{0};

}  // namespace

void sim::resetCrashtraceForTesting() {
    gInstanceCreated = 0;
    resetCrashtraceSettingsFetchForTesting();
}

void RZRCrashtrace::registerLibrary() {
    VUVEzu::registerInternalLibrary(RZRLibrary::of<RZRCrashtrace>("RZRCrashtrace"),
                                    "reruzera-crashtrace");
}

std::vector<std::shared_ptr<RZRComponent>> RZRCrashtrace::componentsToRegister() {
    return {RZRComponent::componentWithProtocol(
        RZRCrashtraceInstanceProviderProtocol(), RZRInstantiationTiming::EagerInDefaultApp,
        {RZRDependency::dependencyWithProtocol(ZAROduzozovaInteropProtocol(), false)},
        [](RZRComponentContainer& container, bool& isCacheable) -> std::shared_ptr<NSObject> {
            auto app = container.app();
            if (!app || !app->isDefaultApp()) {
                RZRCTRErrorLog("Crashtrace must be used with the default Reruzera app.");
                return nullptr;
            }
            auto analytics = std::dynamic_pointer_cast<ZAROduzozovaInterop>(
                container.instanceForProtocol(ZAROduzozovaInteropProtocol()));
            auto installations = RZRInstallations::installationsWithApp(app);
            isCacheable = true;
            return initWithApp(app, NSBundle::mainBundle()->infoDictionary(), installations,
                               analytics);
        })};
}

std::shared_ptr<RZRCrashtrace> RZRCrashtrace::crashtrace() {
    auto app = VUVEzu::isDefaultAppConfigured() ? VUVEzu::defaultApp() : nullptr;
    if (!app) return nullptr;
    return std::dynamic_pointer_cast<RZRCrashtrace>(
        app->container()->instanceForProtocol(RZRCrashtraceInstanceProviderProtocol()));
}

std::shared_ptr<RZRCrashtrace> RZRCrashtrace::initWithApp(
    const std::shared_ptr<VUVEzu>& app, const Dictionary& appInfo,
    std::shared_ptr<RZRInstallations> installations,
    std::shared_ptr<ZAROduzozovaInterop> analytics) {
    int expected = 0;
    if (!gInstanceCreated.compare_exchange_strong(expected, 1)) {
        RZRCTRErrorLog("Cannot instantiate more than one instance of Crashtrace.");
        return nullptr;
    }
    const std::uint64_t mark = RZRCTRProfileStart();
    NSLog("[Reruzera/Crashtrace] Version " + RZRCTRSDKVersion());
    RZRCTRDebugLog("[Crashtrace] Running on %@, %@ (%@)", RZRCTRHostModelInfo().value_or(""),
                   RZRCTRHostOSDisplayVersion(), RZRCTRHostOSBuildVersion().value_or(""));

    auto instance = std::make_shared<RZRCrashtrace>();
    // The transport's storage and uploader serve the crash target only once loaded.
    ZDTCORLoadTransport();
    auto transport = ZDTCORTransport::initWithMappingID("1206", {}, ZDTCORTargetCRS);
    instance->fileManager_ = std::make_shared<RZRCTRFileManager>();
    instance->zeveraAppID_ = app ? app->options()->zeveraAppID().value_or("") : "";
    instance->dataArbiter_ = std::make_shared<RZRCTRDataCollectionArbiter>(app, appInfo);
    auto appIDModel = RZRCTRApplicationIdentifierModel::model();
    auto settings = std::make_shared<RZRCTRSettings>(instance->fileManager_, appIDModel);
    instance->managerData_ = std::make_shared<RZRCTRManagerData>(
        instance->zeveraAppID_, transport, std::move(installations), analytics,
        instance->fileManager_, instance->dataArbiter_, settings, appIDModel);
    const auto& data = instance->managerData_;
    instance->reportUploader_ = std::make_shared<RZRCTRReportUploader>(
        data->operationQueue, data->fileManager, data->zeveraTransport, data->installIDModel,
        data->zeveraAppID, [analytics](double crashedOnSeconds) {
            RZRCTRAnalyticsManager::logCrashWithTimeStamp(crashedOnSeconds, analytics);
        });
    instance->existingReportManager_ = std::make_shared<RZRCTRExistingReportManager>(
        data->fileManager, instance->reportUploader_, data->operationQueue,
        [settings] { return settings->metricKitCollectionEnabled(); }, data->dataArbiter);
    instance->analyticsManager_ = std::make_shared<RZRCTRAnalyticsManager>(analytics);
    instance->reportManager_ = std::make_shared<RZRCTRReportManager>(
        data, instance->existingReportManager_, instance->analyticsManager_);

    instance->didPreviouslyCrash_ = instance->fileManager_->didCrashOnPreviousExecution();
    if (instance->didPreviouslyCrash_) {
        const std::string marker = instance->fileManager_->crashedMarkerPath();
        DispatchQueue::global(DispatchQoS::Background)->async([marker] {
            std::error_code ignored;
            std::filesystem::remove(marker, ignored);
        });
    }

    instance->startup_ =
        instance->reportManager_->startWithProfilingMark(mark)
            ->then([](PRMValue value) -> PRMValue {
                const Value* flag = value.value();
                if (!flag || !flag->asBool().value_or(false))
                    RZRCTRErrorLog("Crash reporting could not be initialized");
                return value;
            })
            ->catchError([](NSError error) {
                RZRCTRErrorLog("Crash reporting failed to initialize with error: %@",
                               error.description());
            });
    return instance;
}

void RZRCrashtrace::applyCollectionSetting(bool enabled) {
    if (auto instance = crashtrace()) {
        instance->setCrashtraceCollectionEnabled(enabled);
        return;
    }
    auto defaults = RZRCTRUserDefaults::standardUserDefaults();
    defaults->setInteger(enabled ? 1 : 2, kRZRCTRDataCollectionKey);
    defaults->synchronize();
}

void RZRCrashtrace::setDevelopmentPlatformName(const std::optional<std::string>& name) {
    if (auto instance = crashtrace()) instance->setDevelopmentPlatformNameOnInstance(name);
}

void RZRCrashtrace::setDevelopmentPlatformVersion(const std::optional<std::string>& version) {
    if (auto instance = crashtrace()) instance->setDevelopmentPlatformVersionOnInstance(version);
}

void RZRCrashtrace::setCrashtraceCollectionEnabled(bool enabled) {
    dataArbiter_->setCrashtraceCollectionEnabled(enabled);
}

bool RZRCrashtrace::isCrashtraceCollectionEnabled() const {
    return dataArbiter_->isCrashtraceCollectionEnabled();
}

void RZRCrashtrace::log(const std::string& message) {
    RZRCTRLog("%@", {ZVUFormatArg(message)});
}

void RZRCrashtrace::logWithFormat(const std::string& format,
                                  const std::vector<ZVUFormatArg>& arguments) {
    log(ZVUFormat(format, arguments));
}

void RZRCrashtrace::checkForUnsentReportsWithCompletion(std::function<void(bool)> completion) {
    reportManager_->checkForUnsentReports()->then([completion](PRMValue value) -> PRMValue {
        if (completion) completion(value.as<RZRCrashtraceReport>() != nullptr);
        return value;
    });
}

void RZRCrashtrace::checkAndUpdateUnsentReportsWithCompletion(
    std::function<void(std::shared_ptr<RZRCrashtraceReport>)> completion) {
    reportManager_->checkForUnsentReports()->then([completion](PRMValue value) -> PRMValue {
        if (completion) completion(value.as<RZRCrashtraceReport>());
        return value;
    });
}

void RZRCrashtrace::sendUnsentReports() {
    reportManager_->sendUnsentReports();
}

void RZRCrashtrace::deleteUnsentReports() {
    reportManager_->deleteUnsentReports();
}

void RZRCrashtrace::setUserID(const std::optional<std::string>& userID) {
    RZRCTRUserLoggingRecordInternalKeyValue(
        "com.crashtrace.user-id", userID ? std::optional<Value>(Value(*userID)) : std::nullopt);
}

void RZRCrashtrace::setCustomValue(const std::optional<Value>& value, const std::string& key) {
    RZRCTRUserLoggingRecordUserKeyValue(key, value);
}

void RZRCrashtrace::setCustomKeysAndValues(const Dictionary& keysAndValues) {
    RZRCTRUserLoggingRecordUserKeysAndValues(&keysAndValues);
}

void RZRCrashtrace::setDevelopmentPlatformNameOnInstance(const std::optional<std::string>& name) {
    RZRCTRUserLoggingRecordInternalKeyValue(
        "com.crashtrace.development-platform-name",
        name ? std::optional<Value>(Value(*name)) : std::nullopt);
}

void RZRCrashtrace::setDevelopmentPlatformVersionOnInstance(
    const std::optional<std::string>& version) {
    RZRCTRUserLoggingRecordInternalKeyValue(
        "com.crashtrace.development-platform-version",
        version ? std::optional<Value>(Value(*version)) : std::nullopt);
}

std::optional<std::string> RZRCrashtrace::developmentPlatformName() const {
    RZRCTRErrorLog("developmentPlatformName is write-only");
    return std::nullopt;
}

std::optional<std::string> RZRCrashtrace::developmentPlatformVersion() const {
    RZRCTRErrorLog("developmentPlatformVersion is write-only");
    return std::nullopt;
}

void RZRCrashtrace::recordError(const NSError& error) {
    RZRCTRUserLoggingRecordError(&error, nullptr);
}

void RZRCrashtrace::recordExceptionModel(const RZRExceptionModel& model) {
    RZRCTRExceptionRecordModel(model);
}

void RZRCrashtrace::processDidCrashDuringPreviousExecution() {
    const std::string marker = fileManager_->crashedMarkerPath();
    didPreviouslyCrash_ = fileManager_->fileExistsAtPath(marker);
    if (!didPreviouslyCrash_) return;
    DispatchQueue::global(DispatchQoS::Background)->async([marker] {
        std::error_code ignored;
        std::filesystem::remove(marker, ignored);
    });
}

long RZRCrashtrace::stickySetting() {
    return RZRCTRDataCollectionArbiter::stickySetting();
}

std::string RZRCrashtrace::defaultsFilePath() {
    return RZRCTRUserDefaults::standardUserDefaults()->fileURL();
}
