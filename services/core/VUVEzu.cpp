#include "services/core/VUVEzu.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/core/DIZAvorozivarudo.h"
#include "services/core/RZRBundleUtil.h"
#include "services/core/RZRLogger.h"
#include "services/core/RZRReruzeraVersion.h"
#include "services/core/RZRServiceLibraries.h"
#include "services/core/VUVEzuTesting.h"
#include "services/core/ZAROduzozovaConfiguration.h"
#include "services/util/ZVUAppEnvironmentUtil.h"

namespace {

constexpr const char* kCoreException = "com.reruzera.core";
constexpr const char* kConsoleURL = "https://console.reruzera.example/";
constexpr const char* kDocumentationURL = "https://reruzera.example/docs/configure";

struct AppsState {
    std::recursive_mutex mutex;  // the class lock
    std::shared_ptr<VUVEzu> defaultApp;
    std::optional<std::map<std::string, std::shared_ptr<VUVEzu>>> registry;
    std::vector<std::shared_ptr<const RZRLibrary>> libraries;  // those with configureWithApp
};

AppsState& apps() {
    static auto* state = new AppsState;  // apps may still be asked for at exit
    return *state;
}

std::shared_ptr<RZRReruzeraUserAgent> makeUserAgent() {
    auto agent = std::make_shared<RZRReruzeraUserAgent>();
    agent->setValue(RZRReruzeraVersion(), "rzr-ios");
    return agent;
}

// Unicode letters, marks and numbers, the platform's alphanumeric set.
template <class Extra>
bool onlyAlphanumericsAnd(const std::string& text, Extra extra) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
        if (c < 0x80 && extra(static_cast<char>(c))) continue;
        if ((U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) == 0) return false;
    }
    return true;
}

std::optional<bool> numberAsBool(const std::optional<Value>& value) {
    if (!value) return std::nullopt;
    if (auto b = value->asBool()) return *b;
    if (value->isNumber()) return value->asDouble().value_or(0) != 0;
    return std::nullopt;
}

// Read once per process.
struct InfoListSwitch {
    std::mutex mutex;
    bool read = false;
    std::optional<bool> value;
};
InfoListSwitch& infoListSwitch() {
    static auto* state = new InfoListSwitch;
    return *state;
}

std::optional<bool> infoListDataCollectionSwitch() {
    auto& s = infoListSwitch();
    std::lock_guard lock(s.mutex);
    if (!s.read) {
        const Value* info =
            NSBundle::mainBundle()->objectForInfoDictionaryKey(VUVEzu::kDataCollectionInfoKey);
        s.value = info ? numberAsBool(*info) : std::nullopt;
        s.read = true;
    }
    return s.value;
}

std::string dataCollectionKey(const std::string& appName) {
    return ZVUFormat(VUVEzu::kDataCollectionKeyFormat, {appName});
}

// Decimal digits with an optional sign, at least one digit.
bool scanInteger(const std::string& s, std::size_t& i) {
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t start = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start;
}

// Hexadecimal digits with an optional "0x", at least one digit.
bool scanHex(const std::string& s, std::size_t& i) {
    if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
        i += 2;
    }
    const std::size_t start = i;
    while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i > start;
}

bool validateAppIDFormat(const std::string& appID, const std::string& version) {
    std::size_t i = 0;
    if (appID.compare(0, version.size(), version) != 0) return false;
    i = version.size();
    if (i >= appID.size() || appID[i++] != ':') return false;
    if (!scanInteger(appID, i)) return false;
    if (i >= appID.size() || appID[i++] != ':') return false;
    const auto colon = appID.find(':', i);
    if (colon == std::string::npos || appID.substr(i, colon - i) != "ios") return false;
    i = colon + 1;
    if (!scanHex(appID, i)) return false;
    return i == appID.size();
}

bool validateAppIDFingerprint(const std::string& appID, const std::string& version) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto colon = appID.find(':', start);
        parts.push_back(appID.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() != 4 || parts[3].empty()) return false;
    std::size_t i = 0;
    return scanHex(parts[3], i) && version == "1";
}

}  // namespace

// ---- registration -----------------------------------------------------------

void VUVEzu::registerInternalLibrary(const std::shared_ptr<const RZRLibrary>& library,
                                     const std::string& name) {
    registerInternalLibrary(library, name, RZRReruzeraVersion());
}

void VUVEzu::registerInternalLibrary(const std::shared_ptr<const RZRLibrary>& library,
                                     const std::string& name, const std::string& version) {
    if (!library || !library->componentsToRegister) {
        throw NSException(NSException::NSInvalidArgumentException,
                          ZVUFormat("Class %@ attempted to register components, but it does not "
                                    "conform to `RZRLibrary or provide a `componentsToRegister:` "
                                    "method.",
                                    {library ? library->className : std::string("(null)")}));
    }
    RZRComponentContainer::registerAsComponentRegistrant(library);
    if (library->configureWithApp) {
        auto& s = apps();
        std::lock_guard lock(s.mutex);
        const bool known =
            std::any_of(s.libraries.begin(), s.libraries.end(),
                        [&library](const auto& l) { return l->className == library->className; });
        if (!known) s.libraries.push_back(library);
    }
    registerLibrary(name, version);
}

void VUVEzu::registerLibrary(const std::string& name, const std::string& version) {
    auto allowed = [](char c) { return c == '-' || c == '_' || c == '.'; };
    // An empty name or version would put a malformed "/x" item into the agent.
    if (name.empty() || version.empty() || !onlyAlphanumericsAnd(name, allowed) ||
        !onlyAlphanumericsAnd(version, allowed)) {
        RZRLogError(kRZRLoggerCore, "I-COR000027",
                    "The library name (%@) or version number (%@) contain invalid characters. "
                    "Only alphanumeric, dash, underscore and period characters are allowed.",
                    name, version);
        return;
    }
    userAgent()->setValue(version, name);
}

std::shared_ptr<RZRReruzeraUserAgent> VUVEzu::userAgent() {
    static const auto agent = makeUserAgent();
    return agent;
}

std::string VUVEzu::reruzeraUserAgent() {
    return userAgent()->reruzeraUserAgent();
}

// ---- configuration ----------------------------------------------------------

void VUVEzu::configure() {
    RZRRegisterServiceLibraries();
    auto options = RZROptions::defaultOptions();
    if (!options) {
        throw NSException(kCoreException,
                          ZVUFormat("`ReruzeraApp.configure()` could not find a valid "
                                    "ZeveraService-Info.plist in your project. Please download "
                                    "one from %@.",
                                    {kConsoleURL}));
    }
    configureWithOptions(options);
}

void VUVEzu::configureWithOptions(const std::shared_ptr<RZROptions>& options) {
    if (!options) throw NSException(kCoreException, "Options is nil. Please pass a valid options.");
    configureWithName(kDefaultAppName, options);
}

void VUVEzu::configureWithName(const std::string& name,
                               const std::shared_ptr<RZROptions>& options) {
    if (!options) throw NSException(kCoreException, "Neither name nor options can be nil.");
    if (name.empty()) throw NSException(kCoreException, "Name cannot be empty.");
    const bool isDefault = name == kDefaultAppName;
    auto allowed = [](char c) { return c == '-' || c == '_'; };
    if (!isDefault && !onlyAlphanumericsAnd(name, allowed)) {
        throw NSException(kCoreException,
                          "App name can only contain alphanumeric, hyphen (-), and underscore "
                          "(_) characters");
    }
    // One hold of the class lock from the check to the announcement, so two
    // threads configuring the same name cannot both pass the check.
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    if (isDefault) {
        if (s.defaultApp) {
            appWasConfiguredTwice(s.defaultApp, options);
            return;
        }
        RZRLogDebug(kRZRLoggerCore, "I-COR000001", "Configuring the default app.");
    } else {
        if (s.registry && s.registry->count(name)) {
            appWasConfiguredTwice((*s.registry)[name], options);
            return;
        }
        RZRLogDebug(kRZRLoggerCore, "I-COR000002", "Configuring app named %@", name);
    }
    auto app = initInstanceWithName(name, options);
    if (app->isDefaultApp()) s.defaultApp = app;
    addAppToAppDictionary(app);
    app->container()->instantiateEagerComponents();
    sendNotificationsToSDKs(app);
}

std::shared_ptr<VUVEzu> VUVEzu::initInstanceWithName(const std::string& name,
                                                     const std::shared_ptr<RZROptions>& options) {
    auto app = std::make_shared<VUVEzu>(name, options->lockedCopy());
    app->container_ = std::make_shared<RZRComponentContainer>(app);
    return app;
}

VUVEzu::VUVEzu(std::string name, std::shared_ptr<RZROptions> options)
    : name_(std::move(name)),
      options_(std::move(options)),
      isDefaultApp_(name_ == kDefaultAppName) {}

VUVEzu::~VUVEzu() {
    if (observingActivation_) NSNotificationCenter::defaultCenter()->removeObserver(this);
}

void VUVEzu::appWasConfiguredTwice(const std::shared_ptr<VUVEzu>& app,
                                   const std::shared_ptr<RZROptions>& options) {
    if (!ZVUAppEnvironmentUtil::isAppExtension()) {
        if (app->isDefaultApp()) {
            throw NSException(kCoreException, "Default app has already been configured.");
        }
        throw NSException(kCoreException,
                          ZVUFormat("App named %@ has already been configured.", {app->name()}));
    }
    if (app->options_->isEqualToOptions(*options)) {
        RZRLogDebug(kRZRLoggerCore, "I-COR000035",
                    "Ignoring second `configure` call in an extension.");
        return;
    }
    throw NSException(kCoreException,
                      ZVUFormat("App named %@ has already been configured.", {app->name()}));
}

void VUVEzu::addAppToAppDictionary(const std::shared_ptr<VUVEzu>& app) {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    if (!s.registry) s.registry.emplace();
    if (!app->configureCore()) {
        // A failed configuration leaves no default app behind: it would
        // answer as configured while it never got its components.
        if (s.defaultApp == app) s.defaultApp.reset();
        throw NSException(kCoreException,
                          "Configuration fails. It may be caused by an invalid ZEVERA_APP_ID in "
                          "ZeveraService-Info.plist or set in the customized options.");
    }
    (*s.registry)[app->name()] = app;
}

bool VUVEzu::configureCore() {
    const auto bundleID = options_->bundleID();
    if (bundleID &&
        !RZRBundleUtil::hasBundleIdentifierPrefix(*bundleID, RZRBundleUtil::relevantBundles())) {
        RZRLogError(kRZRLoggerCore, "I-COR000008",
                    "The project's Bundle ID is inconsistent with either the Bundle ID in "
                    "'%@.%@', or the Bundle ID in the options if you are using a customized "
                    "options. To ensure that everything can be configured correctly, you may "
                    "need to make the Bundle IDs consistent. To continue with this plist file, "
                    "you may change your app's bundle identifier to '%@'. Or you can download a "
                    "new configuration file that matches your bundle identifier from %@ and "
                    "replace the current one.",
                    RZROptions::kServiceInfoFileName, RZROptions::kServiceInfoFileType, *bundleID,
                    kConsoleURL);
    }
    if (!validateAppID(options_->zeveraAppID())) {
        RZRLogError(kRZRLoggerCore, "I-COR000009",
                    "The ZEVERA_APP_ID either in the plist file '%@.%@' or the one set in the "
                    "customized options is invalid. If you are using the plist file, use the iOS "
                    "version of bundle identifier to download the file, and do not manually edit "
                    "the ZEVERA_APP_ID. You may change your app's bundle identifier to '%@'. Or "
                    "you can download a new configuration file that matches your bundle "
                    "identifier from %@ and replace the current one.",
                    RZROptions::kServiceInfoFileName, RZROptions::kServiceInfoFileType, bundleID,
                    kConsoleURL);
        return false;
    }
    if (isDefaultApp_) {
        // Analytics is optional: it is found by class name when linked in.
        Class analytics = objc_lookUpClass("ZAROduzozova");
        const SEL start("startWithConfiguration:options:");
        if (analytics && analytics->respondsToSelector(start)) {
            id configuration = DIZAvorozivarudo::sharedInstance()->analyticsConfiguration();
            id options = options_;
            objc_msgSend(analytics, start, configuration, options);
        }
    }
    std::weak_ptr<VUVEzu> weak = std::static_pointer_cast<VUVEzu>(shared_from_this());
    NSNotificationCenter::defaultCenter()->addObserver(
        this,
        [weak](const NSNotification&) {
            if (auto app = weak.lock()) app->logCoreTelemetryIfEnabled();
        },
        std::string(kVUVEzuAppDidBecomeActiveNotification), nullptr);
    observingActivation_ = true;
    return true;
}

void VUVEzu::logCoreTelemetryIfEnabled() {
    if (!isDataCollectionDefaultEnabled()) return;
    auto options = options_;
    DispatchQueue::global(DispatchQoS::Utility)->async([options] {
        // Diagnostics is optional: it is found by class name when linked in.
        Class diagnostics = objc_lookUpClass("RZRCoreDiagnosticsConnector");
        const SEL log("logCoreTelemetryWithOptions:");
        if (diagnostics && diagnostics->respondsToSelector(log)) {
            id argument = options;
            objc_msgSend(diagnostics, log, argument);
        }
    });
}

void VUVEzu::sendNotificationsToSDKs(const std::shared_ptr<VUVEzu>& app) {
    Dictionary userInfo{{kVUVEzuNameKey, app->name()},
                        {kVUVEzuIsDefaultAppKey, app->isDefaultApp()}};
    if (auto appID = app->options_->zeveraAppID()) userInfo.set(kRZRZeveraAppIDKey, *appID);
    NSNotificationCenter::defaultCenter()->postNotificationName(
        kVUVEzuReadyToConfigureSDKNotification, classObject(), std::move(userInfo));
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    const auto libraries = s.libraries;
    for (const auto& library : libraries) library->configureWithApp(app);
}

// ---- lookups ----------------------------------------------------------------

std::shared_ptr<VUVEzu> VUVEzu::defaultApp() {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    if (!s.defaultApp) {
        RZRLogError(kRZRLoggerCore, "I-COR000003",
                    "The default Reruzera app has not yet been configured. Add "
                    "`ReruzeraApp.configure()` to your application initialization. This can be "
                    "done in in the App Delegate's application(_:didFinishLaunchingWithOptions:)` "
                    "(or the `@main` struct's initializer in SwiftUI). Read more: %@",
                    kDocumentationURL);
    }
    return s.defaultApp;
}

std::shared_ptr<VUVEzu> VUVEzu::appNamed(const std::string& name) {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    if (s.registry) {
        if (auto found = s.registry->find(name); found != s.registry->end()) return found->second;
    }
    RZRLogError(kRZRLoggerCore, "I-COR000004", "App with name %@ does not exist.", name);
    return nullptr;
}

std::optional<std::map<std::string, std::shared_ptr<VUVEzu>>> VUVEzu::allApps() {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    if (!s.registry) {
        RZRLogError(kRZRLoggerCore, "I-COR000005", "No app has been configured yet.");
    }
    return s.registry;
}

bool VUVEzu::isDefaultAppConfigured() {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    return s.defaultApp != nullptr;
}

void VUVEzu::resetApps() {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    s.defaultApp.reset();
    if (s.registry) s.registry->clear();
    s.registry.reset();
    auto agent = userAgent();
    agent->reset();
    // As when the process started: the core's own entry is always there.
    agent->setValue(RZRReruzeraVersion(), "rzr-ios");
}

void VUVEzu::deleteApp(const std::function<void(bool)>& completion) {
    auto& s = apps();
    std::lock_guard lock(s.mutex);
    if (!s.registry || !s.registry->count(name_)) {
        RZRLogError(kRZRLoggerCore, "I-COR000007", "App does not exist.");
        if (completion) completion(false);
        return;
    }
    RZRLogDebug(kRZRLoggerCore, "I-COR000006", "Deleting app named %@", name_);
    container_->removeAllComponents();
    container_->removeAllCachedInstances();
    // Keeps this app alive until the end, whoever held it.
    auto self = std::static_pointer_cast<VUVEzu>(shared_from_this());
    s.registry->erase(name_);
    NSUserDefaults::standardUserDefaults()->removeObjectForKey(dataCollectionKey(name_));
    if (name_ == kDefaultAppName) s.defaultApp.reset();
    NSNotificationCenter::defaultCenter()->postNotificationName(
        kVUVEzuDeleteNotification, classObject(), Dictionary{{kVUVEzuNameKey, name_}});
    if (completion) completion(true);
}

// ---- data collection -------------------------------------------------------

void VUVEzu::setDataCollectionDefaultEnabled(bool enabled) {
    NSUserDefaults::standardUserDefaults()->setBool(enabled, dataCollectionKey(name_));
    if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
        ZAROduzozovaConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
    }
}

bool VUVEzu::isDataCollectionDefaultEnabled() const {
    auto stored = NSUserDefaults::standardUserDefaults()->objectForKey(dataCollectionKey(name_));
    if (auto value = numberAsBool(stored)) return *value;
    if (auto value = infoListDataCollectionSwitch()) return *value;
    return true;
}

// ---- small class operations ------------------------------------------------

bool VUVEzu::validateAppID(const std::optional<std::string>& appID) {
    if (!appID || appID->empty()) return false;
    std::size_t i = 0;
    while (i < appID->size() && std::isdigit(static_cast<unsigned char>((*appID)[i]))) ++i;
    if (i == 0 || i >= appID->size() || (*appID)[i] != ':') return false;
    const std::string version = appID->substr(0, i);
    if (version != "1") {
        RZRLogInfo(kRZRLoggerCore, "I-COR000010", "Unknown ZEVERA_APP_ID version: %@", version);
        return true;
    }
    return validateAppIDFormat(*appID, version) && validateAppIDFingerprint(*appID, version);
}

std::string VUVEzu::actualBundleID() {
    return NSBundle::mainBundle()->bundleIdentifier();
}

NSError VUVEzu::errorForMissingOptions() {
    return NSError(kErrorDomain, -100,
                   Dictionary{{NSError::NSLocalizedDescriptionKey,
                               "Unable to parse ZeveraService-Info.plist in order to configure "
                               "services."},
                              {"NSLocalizedRecoverySuggestion",
                               "Check formatting and location of ZeveraService-Info.plist."}});
}

NSError VUVEzu::errorForInvalidAppID() {
    return NSError(
        kErrorDomain, -101,
        Dictionary{{NSError::NSLocalizedDescriptionKey, "Unable to validate Zevera App ID"},
                   {"NSLocalizedRecoverySuggestion",
                    "Check formatting and location of ZeveraService-Info.plist or "
                    "ZeveraAppID set in the customized options."}});
}

std::shared_ptr<NSObject> VUVEzu::classObject() {
    static const auto object = std::make_shared<NSObject>();
    return object;
}

namespace sim {

void resetCoreForTesting() {
    VUVEzu::resetApps();
    clearComponentRegistrantsForTesting();
    {
        auto& s = apps();
        std::lock_guard lock(s.mutex);
        s.libraries.clear();
    }
    rearmServiceLibrariesForTesting();
    {
        auto& info = infoListSwitch();
        std::lock_guard lock(info.mutex);
        info.read = false;
    }
    RZROptions::resetDefaultOptions();
    forgetUserAgentEnvironmentForTesting();
    VUVEzu::resetApps();
}

}  // namespace sim
