#pragma once
// The crash reporter's requests as asynchronous operations: the base with
// the headers every request carries, and the settings download, which saves
// the document it receives in place of the cached one.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/NSURL.h"
#include "platform/net/NSURLRequest.h"
#include "services/crash/RZRCTRAsyncOperation.h"

class RZRCTRDataCollectionToken;
class RZRCTRInstallIdentifierModel;
class RZRCTRTKNetworkClient;

inline constexpr const char* kRZRCTRDeveloperToken = "3b8e1f0c9a7d42e6b5c1d8f3a0e9b7c4d2f6a81e";

class RZRCTRNetworkOperation : public RZRCTRTKAsyncOperation {
  public:
    std::string className() const override { return "RZRCTRNetworkOperation"; }

    // Does nothing but log when the token is not valid.
    void startWithToken(const std::shared_ptr<RZRCTRDataCollectionToken>& token);
    virtual NSURLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
        const NSURL& url);
    NSURLRequest mutableRequestWithDefaultHTTPHeadersForURL(const NSURL& url, double timeout);
    // "<client identifier>/<SDK version>".
    static std::string userAgentString();
    // The user's locale, e.g. "en_US", from the environment.
    static std::string localeIdentifier();

    const std::string& zeveraAppID() const { return zeveraAppID_; }
    const std::shared_ptr<RZRCTRDataCollectionToken>& token() const { return token_; }

  protected:
    RZRCTRNetworkOperation(const std::string& concreteClassName, std::string zeveraAppID,
                           std::shared_ptr<RZRCTRDataCollectionToken> token);

  private:
    std::string zeveraAppID_;
    std::shared_ptr<RZRCTRDataCollectionToken> token_;
};

class RZRCTRDownloadAndSaveSettingsOperation;

class RZRCTRDownloadAndSaveSettingsOperationDelegate {
  public:
    virtual ~RZRCTRDownloadAndSaveSettingsOperationDelegate() = default;
    virtual void operationDidDownloadAndSaveSettingsWithError(
        RZRCTRDownloadAndSaveSettingsOperation& operation, const std::optional<NSError>& error) = 0;
};

class RZRCTRDownloadAndSaveSettingsOperation : public RZRCTRNetworkOperation {
  public:
    // Null (and an assertion logged) when a required argument is empty.
    static std::shared_ptr<RZRCTRDownloadAndSaveSettingsOperation> operationWithZeveraAppID(
        const std::string& zeveraAppID,
        std::weak_ptr<RZRCTRDownloadAndSaveSettingsOperationDelegate> delegate,
        const std::optional<NSURL>& settingsURL, const std::string& settingsDirectoryPath,
        const std::string& settingsFilePath,
        std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
        std::weak_ptr<RZRCTRTKNetworkClient> networkClient,
        std::shared_ptr<RZRCTRDataCollectionToken> token);
    std::string className() const override { return "RZRCTRDownloadAndSaveSettingsOperation"; }

    NSURLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
        const NSURL& url) override;
    void main() override;

    const std::optional<NSError>& error() const { return error_; }
    const NSURL& settingsURL() const { return settingsURL_; }

    RZRCTRDownloadAndSaveSettingsOperation(
        std::string zeveraAppID,
        std::weak_ptr<RZRCTRDownloadAndSaveSettingsOperationDelegate> delegate, NSURL settingsURL,
        std::string settingsDirectoryPath, std::string settingsFilePath,
        std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel,
        std::weak_ptr<RZRCTRTKNetworkClient> networkClient,
        std::shared_ptr<RZRCTRDataCollectionToken> token);

  private:
    void finishDownload(const std::optional<NSURL>& location, std::optional<NSError> error);

    std::weak_ptr<RZRCTRDownloadAndSaveSettingsOperationDelegate> delegate_;
    NSURL settingsURL_;
    std::string settingsDirectoryPath_;
    std::string settingsFilePath_;
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel_;
    std::weak_ptr<RZRCTRTKNetworkClient> networkClient_;
    std::optional<NSError> error_;
};
