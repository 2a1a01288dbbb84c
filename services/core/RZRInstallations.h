#pragma once
// The installations service of one configured application: hands out the
// installation identifier, a short-lived auth token, and deletes the
// installation. An eager component of every application's container; the
// work is the ID controller's. Every completion runs exactly once, on the
// main queue, with either a value or an error of the domain
// "com.reruzera.installations".

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/core/RZRComponent.h"
#include "services/core/RZRInstallationsIDController.h"
#include "services/core/RZROptions.h"

class VUVEzu;

// The component key other components ask the container for.
class RZRInstallationsInstanceProvider {
  public:
    virtual ~RZRInstallationsInstanceProvider() = default;
};
const RZRProtocol& RZRInstallationsInstanceProviderProtocol();

class RZRInstallationsAuthTokenResult : public NSObject {
  public:
    RZRInstallationsAuthTokenResult(std::string token, Date expirationDate)
        : authToken_(std::move(token)), expirationDate_(expirationDate) {}
    std::string className() const override { return "RZRInstallationsAuthTokenResult"; }
    const std::string& authToken() const { return authToken_; }
    Date expirationDate() const { return expirationDate_; }

  private:
    const std::string authToken_;
    const Date expirationDate_;
};

class RZRInstallations : public NSObject, public RZRInstallationsInstanceProvider {
  public:
    static constexpr const char* kLibraryName = "rzr-install";
    static constexpr const char* kExceptionName = "com.reruzera.installations";

    using IDCompletion =
        std::function<void(std::optional<std::string> identifier, std::optional<NSError> error)>;
    using TokenCompletion =
        std::function<void(std::shared_ptr<RZRInstallationsAuthTokenResult> tokenResult,
                           std::optional<NSError> error)>;
    using DeleteCompletion = std::function<void(std::optional<NSError> error)>;

    // The library's components: one, always eager, cached per application.
    static std::vector<std::shared_ptr<RZRComponent>> componentsToRegister();
    // Registers the library with the core as "rzr-install".
    static void registerLibrary();

    // The default application's instance; raises NSException
    // "com.reruzera.installations" when there is no default application.
    static std::shared_ptr<RZRInstallations> installations();
    static std::shared_ptr<RZRInstallations> installationsWithApp(
        const std::shared_ptr<VUVEzu>& app);

    // Each may raise NSException "com.reruzera.installations" for invalid
    // options or an incompatible legacy library.
    static std::shared_ptr<RZRInstallations> initWithApp(const VUVEzu& app);
    static std::shared_ptr<RZRInstallations> initWitAppOptions(const RZROptions& options,
                                                               const std::string& appName);
    static std::shared_ptr<RZRInstallations> initWithAppOptions(
        const RZROptions& options, const std::string& appName,
        std::shared_ptr<RZRInstallationsIDController> controller, bool prefetchAuthToken);

    std::string className() const override { return "RZRInstallations"; }

    void installationIDWithCompletion(IDCompletion completion);
    void authTokenWithCompletion(TokenCompletion completion);
    void authTokenForcingRefresh(bool forceRefresh, TokenCompletion completion);
    void deleteWithCompletion(DeleteCompletion completion);

    const std::shared_ptr<RZROptions>& appOptions() const { return appOptions_; }
    const std::string& appName() const { return appName_; }
    const std::shared_ptr<RZRInstallationsIDController>& installationsIDController() const {
        return controller_;
    }

    static void validateAppOptions(const RZROptions& options, const std::string& appName);
    static void validateAPIKey(const std::optional<std::string>& APIKey);
    static void assertCompatibleIIDVersion();
    static bool isIIDVersionCompatible();

    RZRInstallations(std::shared_ptr<RZROptions> options, std::string appName,
                     std::shared_ptr<RZRInstallationsIDController> controller);

  private:
    std::shared_ptr<RZROptions> appOptions_;
    std::string appName_;
    std::shared_ptr<RZRInstallationsIDController> controller_;
};
