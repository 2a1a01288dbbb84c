#include "services/crash/RZRCTRSettingsManager.h"

#include <chrono>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Value.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRApplicationIdentifierModel.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRSettings.h"
#include "services/crash/RZRCTRTKNetworkClient.h"
#include "services/crash/RZRCTRURLBuilder.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

// A deletion of stale files still queued must not remove the document
// about to be downloaded.
constexpr auto kPendingDeletionWait = std::chrono::seconds(5);

}  // namespace

std::shared_ptr<RZRCTRSettingsManager> RZRCTRSettingsManager::managerWithAppIDModel(
    std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel,
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
    std::shared_ptr<RZRCTRSettings> settings, std::shared_ptr<RZRCTRFileManager> fileManager,
    std::string zeveraAppID) {
    std::shared_ptr<RZRCTRSettingsManager> manager(new RZRCTRSettingsManager());
    manager->appIDModel_ = std::move(appIDModel);
    manager->installIDModel_ = std::move(installIDModel);
    manager->settings_ = std::move(settings);
    manager->fileManager_ = std::move(fileManager);
    manager->zeveraAppID_ = std::move(zeveraAppID);
    manager->networkClient_ = RZRCTRTKNetworkClient::client();
    return manager;
}

void RZRCTRSettingsManager::beginSettingsWithZeveraAppId(
    const std::string& zeveraAppID, const std::shared_ptr<RZRCTRDataCollectionToken>& token) {
    if (zeveraAppID.empty()) {
        RZRCTRErrorLog("Invalid parameter not satisfying: %@", std::string("zeveraAppID"));
        return;
    }
    zeveraAppID_ = zeveraAppID;
    kitVersions_ = Dictionary{{RZRCTRApplicationGetSDKBundleID(), Value(RZRCTRSDKVersion())}};
    beginSettingsDownload(token);
}

void RZRCTRSettingsManager::beginSettingsDownload(
    const std::shared_ptr<RZRCTRDataCollectionToken>& token) {
    if (settings_) settings_->waitForPendingDeletions(kPendingDeletionWait);
    auto self = std::static_pointer_cast<RZRCTRSettingsManager>(shared_from_this());
    auto operation = RZRCTRDownloadAndSaveSettingsOperation::operationWithZeveraAppID(
        zeveraAppID_, self, settingsURL(), fileManager_->settingsDirectoryPath(),
        fileManager_->settingsFilePath(), installIDModel_, networkClient_, token);
    if (!operation) return;
    operation->startWithToken(token);
}

std::optional<NSURL> RZRCTRSettingsManager::settingsURL() const {
    auto builder = RZRCTRURLBuilder::URLWithBase(kRZRCTRSettingsHost);
    builder->appendComponent("/spi/v2/platforms/");
    builder->escapeAndAppendComponent(appIDModel_ ? appIDModel_->platform()
                                                  : RZRCTRApplicationGetPlatform());
    builder->appendComponent("/ruv/");
    builder->escapeAndAppendComponent(zeveraAppID_);
    builder->appendComponent("/settings");
    if (appIDModel_) {
        const auto optionalValue = [](const std::optional<std::string>& text) {
            return text ? Value(*text) : Value();
        };
        builder->appendValue(optionalValue(appIDModel_->buildVersion()), "build_version");
        builder->appendValue(optionalValue(appIDModel_->displayVersion()), "display_version");
        builder->appendValue(Value(appIDModel_->buildInstanceID()), "instance");
        builder->appendValue(Value(appIDModel_->installSource()), "source");
    }
    return builder->URL();
}

void RZRCTRSettingsManager::operationDidDownloadAndSaveSettingsWithError(
    RZRCTRDownloadAndSaveSettingsOperation&, const std::optional<NSError>& error) {
    if (!error) {
        RZRCTRDebugLog("Settings downloaded successfully");
        const double now = sim::wallClockSeconds() - Date::kUnixToReference;
        settings_->cacheSettingsWithZeveraAppID(zeveraAppID_, now);
    } else {
        std::string message = "Failed to download settings.";
        if (error->userInfo["status_code"].asInt() == 404)
            message +=
                " If this is your first time launching the app, make sure you have "
                "enabled Crashtrace in the Reruzera Console.";
        RZRCTRErrorLog("%@ %@", message, error->description());
    }
    finishNetworkingSession();
}

void RZRCTRSettingsManager::finishNetworkingSession() {
    if (networkClient_) networkClient_->invalidateAndCancel();
}
