#pragma once
// Starts the one settings download of a process and caches what it brings.
// The download's completion, the delegate call and the caching run on the
// network client's own serial queue. After the download (whatever its
// outcome) the manager's URL session is invalidated.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/net/NSURL.h"
#include "services/crash/RZRCTRNetworkOperation.h"

class RZRCTRApplicationIdentifierModel;
class RZRCTRFileManager;
class RZRCTRSettings;

// The https origin that serves the settings documents.
inline constexpr const char* kRZRCTRSettingsHost = "https://settings.crashtrace.zevera.example";

class RZRCTRSettingsManager : public NSObject,
                              public RZRCTRDownloadAndSaveSettingsOperationDelegate {
  public:
    static std::shared_ptr<RZRCTRSettingsManager> managerWithAppIDModel(
        std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel,
        std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
        std::shared_ptr<RZRCTRSettings> settings, std::shared_ptr<RZRCTRFileManager> fileManager,
        std::string zeveraAppID);
    std::string className() const override { return "RZRCTRSettingsManager"; }

    // An empty app ID is refused with a logged assertion.
    void beginSettingsWithZeveraAppId(const std::string& zeveraAppID,
                                      const std::shared_ptr<RZRCTRDataCollectionToken>& token);
    void beginSettingsDownload(const std::shared_ptr<RZRCTRDataCollectionToken>& token);
    std::optional<NSURL> settingsURL() const;
    void operationDidDownloadAndSaveSettingsWithError(
        RZRCTRDownloadAndSaveSettingsOperation& operation,
        const std::optional<NSError>& error) override;
    void finishNetworkingSession();

    const std::shared_ptr<RZRCTRTKNetworkClient>& networkClient() const { return networkClient_; }
    const Dictionary& kitVersionsByKitBundleIdentifier() const { return kitVersions_; }

  private:
    RZRCTRSettingsManager() = default;

    std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel_;
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel_;
    std::shared_ptr<RZRCTRSettings> settings_;
    std::shared_ptr<RZRCTRFileManager> fileManager_;
    std::string zeveraAppID_;
    std::shared_ptr<RZRCTRTKNetworkClient> networkClient_;
    Dictionary kitVersions_;
};
