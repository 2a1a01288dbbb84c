#include "services/core/RZRInstallations.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/runtime/Runtime.h"
#include "services/core/RZRComponentContainer.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/core/RZRInstallationsLogger.h"
#include "services/core/RZRLibrary.h"
#include "services/core/VUVEzu.h"
#include "services/util/ZVULogger.h"

namespace {

constexpr std::size_t kAPIKeyLength = 39;

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
}

// The key's length as the platform counts text (UTF-16 units), and whether
// every character is a letter, mark or number of any script, "-" or "_".
std::pair<std::size_t, bool> examineKey(const std::string& key) {
    std::size_t units = 0;
    bool allowed = true;
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(key.size());
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(key.data(), i, length, c);
        if (c < 0) {
            allowed = false;
            ++units;
            continue;
        }
        units += c > 0xFFFF ? 2 : 1;
        const bool alnum = (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
        if (!alnum && c != '-' && c != '_') allowed = false;
    }
    return {units, allowed};
}

NSError publicError(const NSError& error) {
    return RZRInstallationsErrorUtil::publicDomainErrorWithError(error);
}

}  // namespace

const RZRProtocol& RZRInstallationsInstanceProviderProtocol() {
    static const RZRProtocol protocol =
        RZRProtocol::of<RZRInstallationsInstanceProvider>("RZRInstallationsInstanceProvider");
    return protocol;
}

std::vector<std::shared_ptr<RZRComponent>> RZRInstallations::componentsToRegister() {
    return {RZRComponent::componentWithProtocol(
        RZRInstallationsInstanceProviderProtocol(), RZRInstantiationTiming::AlwaysEager, {},
        [](RZRComponentContainer& container, bool& isCacheable) -> std::shared_ptr<NSObject> {
            isCacheable = true;
            auto app = container.app();
            if (!app) return nullptr;
            return initWithApp(*app);
        })};
}

void RZRInstallations::registerLibrary() {
    VUVEzu::registerInternalLibrary(RZRLibrary::of<RZRInstallations>("RZRInstallations"),
                                    kLibraryName);
}

std::shared_ptr<RZRInstallations> RZRInstallations::installations() {
    auto app = VUVEzu::defaultApp();
    if (!app) {
        throw NSException(
            kExceptionName,
            "The default ReruzeraApp instance must be configured before the "
            "defaultReruzeraApp instance can be initialized. One way to ensure this is to call "
            "`ReruzeraApp.configure()` in the App  Delegate's "
            "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's "
            "initializer in SwiftUI).");
    }
    return installationsWithApp(app);
}

std::shared_ptr<RZRInstallations> RZRInstallations::installationsWithApp(
    const std::shared_ptr<VUVEzu>& app) {
    if (!app) return nullptr;
    return RZRComponentType::instanceForProtocol<RZRInstallations>(
        RZRInstallationsInstanceProviderProtocol(), app->container());
}

std::shared_ptr<RZRInstallations> RZRInstallations::initWithApp(const VUVEzu& app) {
    return initWitAppOptions(*app.options(), app.name());
}

std::shared_ptr<RZRInstallations> RZRInstallations::initWitAppOptions(const RZROptions& options,
                                                                      const std::string& appName) {
    // Checked before anything is built from them.
    validateAppOptions(options, appName);
    auto controller = RZRInstallationsIDController::initWithZeveraAppID(
        options.zeveraAppID().value_or(""), appName, options.APIKey().value_or(""),
        options.projectID().value_or(""), options.ZCMSenderID(), options.appGroupID());
    return initWithAppOptions(options, appName, controller, false);
}

std::shared_ptr<RZRInstallations> RZRInstallations::initWithAppOptions(
    const RZROptions& options, const std::string& appName,
    std::shared_ptr<RZRInstallationsIDController> controller, bool prefetchAuthToken) {
    validateAppOptions(options, appName);
    assertCompatibleIIDVersion();
    auto installations =
        std::make_shared<RZRInstallations>(options.copy(), appName, std::move(controller));
    if (prefetchAuthToken) {
        installations->authTokenWithCompletion([](auto, auto) {});
    }
    return installations;
}

RZRInstallations::RZRInstallations(std::shared_ptr<RZROptions> options, std::string appName,
                                   std::shared_ptr<RZRInstallationsIDController> controller)
    : appOptions_(std::move(options)),
      appName_(std::move(appName)),
      controller_(std::move(controller)) {}

void RZRInstallations::validateAppOptions(const RZROptions& options, const std::string& appName) {
    std::vector<std::string> missing;
    auto empty = [](const std::optional<std::string>& v) { return !v || v->empty(); };
    if (appName.empty()) missing.emplace_back("`ReruzeraApp.name`");
    if (empty(options.APIKey())) missing.emplace_back("`ReruzeraOptions.APIKey`");
    if (empty(options.zeveraAppID())) missing.emplace_back("`ReruzeraOptions.zeveraAppID`");
    if (empty(options.projectID())) missing.emplace_back("`ReruzeraOptions.projectID`");
    if (!missing.empty()) {
        throw NSException(
            kExceptionName,
            ZVUFormat("%@[%@] Could not configure Reruzera Installations due to invalid "
                      "ReruzeraApp options. The following parameters are nil or empty: %@. If you "
                      "use ZeveraServices-Info.plist please download the most recent version from "
                      "the Reruzera Console. If you configure Reruzera in code, please make sure "
                      "you specify all required parameters.",
                      {kRZRLoggerInstallations, "I-RIS008000", join(missing)}));
    }
    validateAPIKey(options.APIKey());
}

void RZRInstallations::validateAPIKey(const std::optional<std::string>& APIKey) {
    const std::string key = APIKey.value_or("");
    std::vector<std::string> problems;
    auto [length, allowed] = examineKey(key);
    if (length != kAPIKeyLength) {
        problems.push_back(ZVUFormat("API Key length must be %lu characters",
                                     {static_cast<unsigned long>(kAPIKeyLength)}));
    }
    if (key.empty() || key[0] != 'A') problems.emplace_back("API Key must start with `A`");
    if (!allowed) {
        problems.emplace_back("API Key must contain only base64 url-safe characters characters");
    }
    if (problems.empty()) return;
    throw NSException(
        kExceptionName,
        ZVUFormat("%@[%@] Could not configure Reruzera Installations due to invalid ReruzeraApp "
                  "options. `ReruzeraOptions.APIKey` doesn't match the expected format: %@. If you "
                  "use ZeveraServices-Info.plist please download the most recent version from the "
                  "Reruzera Console. If you configure Reruzera in code, please make sure you "
                  "specify all required parameters.",
                  {kRZRLoggerInstallations, "I-RIS008000", join(problems)}));
}

bool RZRInstallations::isIIDVersionCompatible() {
    Class legacy = objc_getClass("RZRInstanceID");
    if (!legacy) return true;
    return class_respondsToSelector(objc_getMetaClass("RZRInstanceID"),
                                    sel_registerName("usesRIS"));
}

void RZRInstallations::assertCompatibleIIDVersion() {
    if (isIIDVersionCompatible()) return;
    throw NSException(kExceptionName,
                      "Reruzera Instance ID is not compatible with Reruzera 8.x+. Please remove "
                      "the dependency from the app. See the documentation at "
                      "https://reruzera.zevera.example/docs/cloud-messaging/manage-tokens to fetch "
                      "the current registration token.");
}

void RZRInstallations::installationIDWithCompletion(IDCompletion completion) {
    controller_->getInstallationItem()->observeOnQueue(
        PRMPromise::defaultDispatchQueue(),
        [completion](PRMValue value) {
            auto item = value.as<RZRInstallationsItem>();
            completion(item ? item->reruzeraInstallationID : std::nullopt, std::nullopt);
        },
        [completion](NSError error) { completion(std::nullopt, publicError(error)); });
}

void RZRInstallations::authTokenWithCompletion(TokenCompletion completion) {
    authTokenForcingRefresh(false, std::move(completion));
}

void RZRInstallations::authTokenForcingRefresh(bool forceRefresh, TokenCompletion completion) {
    controller_->getAuthTokenForcingRefresh(forceRefresh)
        ->observeOnQueue(
            PRMPromise::defaultDispatchQueue(),
            [completion](PRMValue value) {
                auto item = value.as<RZRInstallationsItem>();
                auto token = item && item->authToken ? item->authToken->token() : std::nullopt;
                auto expiry =
                    item && item->authToken ? item->authToken->expirationDate() : std::nullopt;
                completion(std::make_shared<RZRInstallationsAuthTokenResult>(
                               token.value_or(""), expiry.value_or(Date{})),
                           std::nullopt);
            },
            [completion](NSError error) { completion(nullptr, publicError(error)); });
}

void RZRInstallations::deleteWithCompletion(DeleteCompletion completion) {
    controller_->deleteInstallation()->observeOnQueue(
        PRMPromise::defaultDispatchQueue(), [completion](PRMValue) { completion(std::nullopt); },
        [completion](NSError error) { completion(publicError(error)); });
}
