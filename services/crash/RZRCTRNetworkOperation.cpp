#include "services/crash/RZRCTRNetworkOperation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/JSON.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRHost.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRSettingsDocument.h"
#include "services/crash/RZRCTRTKNetworkClient.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

constexpr double kDefaultTimeout = 10.0;

void setIfPresent(NSURLRequest& request, const std::optional<std::string>& value,
                  const std::string& field) {
    if (value) request.setValue(*value, field);
}

NSError fileError(int code, const std::string& text) {
    return NSError::withDescription("NSPOSIXErrorDomain", code, text);
}

}  // namespace

RZRCTRNetworkOperation::RZRCTRNetworkOperation(const std::string& concreteClassName,
                                               std::string zeveraAppID,
                                               std::shared_ptr<RZRCTRDataCollectionToken> token)
    : RZRCTRTKAsyncOperation(concreteClassName),
      zeveraAppID_(std::move(zeveraAppID)),
      token_(std::move(token)) {}

void RZRCTRNetworkOperation::startWithToken(
    const std::shared_ptr<RZRCTRDataCollectionToken>& token) {
    if (!RZRCTRDataCollectionToken::isValid(token)) {
        RZRCTRErrorLog("Skipping network operation with invalid data collection token");
        return;
    }
    start();
}

NSURLRequest RZRCTRNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const NSURL& url) {
    return mutableRequestWithDefaultHTTPHeadersForURL(url, kDefaultTimeout);
}

NSURLRequest RZRCTRNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const NSURL& url,
                                                                                double timeout) {
    NSURLRequest request(url, NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
    const std::string locale = localeIdentifier();
    request.setValue(userAgentString(), "User-Agent");
    request.setValue("utf-8", "Accept-Charset");
    request.setValue(locale, "Accept-Language");
    request.setValue(locale, "Content-Language");
    request.setValue(kRZRCTRDeveloperToken, "X-Crashtrace-Developer-Token");
    request.setValue(RZRCTRApplicationGetSDKBundleID(), "X-Crashtrace-API-Client-Id");
    request.setValue(RZRCTRSDKVersion(), "X-Crashtrace-API-Client-Display-Version");
    request.setValue(zeveraAppID_, "X-Crashtrace-Zevera-App-Id");
    return request;
}

std::string RZRCTRNetworkOperation::userAgentString() {
    return RZRCTRApplicationGetSDKBundleID() + "/" + RZRCTRSDKVersion();
}

std::string RZRCTRNetworkOperation::localeIdentifier() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string text(value);
        text = text.substr(0, text.find_first_of(".@"));
        if (text == "C" || text == "POSIX" || text.empty()) break;
        return text;
    }
    return "en_US_POSIX";
}

std::shared_ptr<RZRCTRDownloadAndSaveSettingsOperation>
RZRCTRDownloadAndSaveSettingsOperation::operationWithZeveraAppID(
    const std::string& zeveraAppID,
    std::weak_ptr<RZRCTRDownloadAndSaveSettingsOperationDelegate> delegate,
    const std::optional<NSURL>& settingsURL, const std::string& settingsDirectoryPath,
    const std::string& settingsFilePath,
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
    std::weak_ptr<RZRCTRTKNetworkClient> networkClient,
    std::shared_ptr<RZRCTRDataCollectionToken> token) {
    const std::pair<bool, const char*> required[] = {
        {!zeveraAppID.empty(), "zeveraAppID"},
        {settingsURL.has_value(), "settingsURL"},
        {!settingsDirectoryPath.empty(), "settingsDirectoryPath"},
        {!settingsFilePath.empty(), "settingsFilePath"},
        {installIDModel != nullptr, "installIDModel"},
    };
    for (const auto& [present, name] : required) {
        if (!present) {
            RZRCTRErrorLog("Invalid parameter not satisfying: %@", std::string(name));
            return nullptr;
        }
    }
    return std::make_shared<RZRCTRDownloadAndSaveSettingsOperation>(
        zeveraAppID, std::move(delegate), *settingsURL, settingsDirectoryPath, settingsFilePath,
        std::move(installIDModel), std::move(networkClient), std::move(token));
}

RZRCTRDownloadAndSaveSettingsOperation::RZRCTRDownloadAndSaveSettingsOperation(
    std::string zeveraAppID, std::weak_ptr<RZRCTRDownloadAndSaveSettingsOperationDelegate> delegate,
    NSURL settingsURL, std::string settingsDirectoryPath, std::string settingsFilePath,
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
    std::weak_ptr<RZRCTRTKNetworkClient> networkClient,
    std::shared_ptr<RZRCTRDataCollectionToken> token)
    : RZRCTRNetworkOperation("RZRCTRDownloadAndSaveSettingsOperation", std::move(zeveraAppID),
                             std::move(token)),
      delegate_(std::move(delegate)),
      settingsURL_(std::move(settingsURL)),
      settingsDirectoryPath_(std::move(settingsDirectoryPath)),
      settingsFilePath_(std::move(settingsFilePath)),
      installIDModel_(std::move(installIDModel)),
      networkClient_(std::move(networkClient)) {}

NSURLRequest
RZRCTRDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const NSURL& url) {
    NSURLRequest request = mutableRequestWithDefaultHTTPHeadersForURL(url, kDefaultTimeout);
    request.HTTPMethod = "GET";
    request.setValue("application/json", "Accept");
    request.setValue(installIDModel_->installID(), "X-Crashtrace-Installation-ID");
    setIfPresent(request, RZRCTRHostModelInfo(), "X-Crashtrace-Device-Model");
    setIfPresent(request, RZRCTRHostOSBuildVersion(), "X-Crashtrace-OS-Build-Version");
    request.setValue(RZRCTRHostOSDisplayVersion(), "X-Crashtrace-OS-Display-Version");
    request.setValue(RZRCTRSDKVersion(), "X-Crashtrace-API-Client-Version");
    return request;
}

void RZRCTRDownloadAndSaveSettingsOperation::main() {
    auto client = networkClient_.lock();
    if (!client) {
        finishDownload(std::nullopt, fileError(ECANCELED, "The network client is gone."));
        return;
    }
    auto self =
        std::static_pointer_cast<RZRCTRDownloadAndSaveSettingsOperation>(shared_from_this());
    client->startDownloadTaskWithRequest(
        mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(settingsURL_), 1,
        [self](std::optional<NSURL> location, std::shared_ptr<NSURLResponse>,
               std::optional<NSError> error) { self->finishDownload(location, std::move(error)); });
}

void RZRCTRDownloadAndSaveSettingsOperation::finishDownload(const std::optional<NSURL>& location,
                                                            std::optional<NSError> error) {
    if (!error && !location) error = fileError(ENOENT, "The download left no file.");
    if (!error) {
        int readError = 0;
        auto data = sim::FileSystem::readFile(location->path(), &readError);
        auto document = data ? NSJSONSerialization::JSONObjectWithData(*data) : std::nullopt;
        if (!data) {
            error = fileError(readError, std::strerror(readError));
        } else if (!document || !RZRCTRIsValidSettingsDocument(*document)) {
            // The cached copy stays: a broken download must not replace it.
            error =
                NSError::withDescription("NSCocoaErrorDomain", 3840,
                                         "The settings document does not have the expected shape.");
            RZRCTRErrorLog("Unable to complete settings download %@",
                           error->localizedDescription());
        } else {
            std::error_code ignored;
            std::filesystem::remove_all(settingsDirectoryPath_, ignored);
            std::filesystem::create_directories(settingsDirectoryPath_, ignored);
            int writeError = 0;
            if (!sim::FileSystem::writeFileAtomically(settingsFilePath_, *data, &writeError)) {
                error = fileError(writeError, std::strerror(writeError));
                RZRCTRErrorLog("Unable to complete settings download %@",
                               error->localizedDescription());
            }
        }
    }
    error_ = error;
    if (auto delegate = delegate_.lock())
        delegate->operationDidDownloadAndSaveSettingsWithError(*this, error_);
    finishWithError(error_);
}
