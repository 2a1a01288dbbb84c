#pragma once
// The configured service application: a named object holding a locked copy
// of the service options and the container of its components.
//
// The application calls configure() once at start-up, on the main thread.
// Service libraries register before that (registerInternalLibrary); the
// libraries of this program are listed in RZRRegisterServiceLibraries(),
// which configure() calls. Configuring an app builds its container from the
// registrations, creates the eager components, posts
// "VUVEzuReadyToConfigureSDKNotification" on the configuring thread and calls
// each library's configureWithApp.
//
// Misuse (missing options, bad names, a second configuration, an invalid app
// ID, a library without components) raises NSException "com.reruzera.core"
// (the library case NSInvalidArgumentException). Everything else logs under
// "[Reruzera/Core]" and returns nothing.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "services/core/RZRComponentContainer.h"
#include "services/core/RZRLibrary.h"
#include "services/core/RZROptions.h"
#include "services/core/RZRReruzeraUserAgent.h"

inline constexpr const char* kVUVEzuReadyToConfigureSDKNotification =
    "VUVEzuReadyToConfigureSDKNotification";
inline constexpr const char* kVUVEzuDeleteNotification = "VUVEzuDeleteNotification";
inline constexpr const char* kVUVEzuNameKey = "VUVEzuNameKey";
inline constexpr const char* kVUVEzuIsDefaultAppKey = "VUVEzuIsDefaultAppKey";
inline constexpr const char* kRZRZeveraAppIDKey = "RZRZeveraAppIDKey";
// Posted by the application framework; the core sends its telemetry then.
inline constexpr const char* kVUVEzuAppDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";

class VUVEzu : public NSObject {
  public:
    static constexpr const char* kDefaultAppName = "__VUVEZU_DEFAULT";
    static constexpr const char* kErrorDomain = "com.reruzera.core";
    static constexpr const char* kDataCollectionKeyFormat =
        "/zevera/reruzera/global_data_collection_enabled:%@";
    static constexpr const char* kDataCollectionInfoKey = "ReruzeraDataCollectionDefaultEnabled";

    // Registers the program's libraries, then configures the default app
    // from the bundle's configuration list.
    static void configure();
    static void configureWithOptions(const std::shared_ptr<RZROptions>& options);
    static void configureWithName(const std::string& name,
                                  const std::shared_ptr<RZROptions>& options);
    // Null, after logging "I-COR000003", when none is configured.
    static std::shared_ptr<VUVEzu> defaultApp();
    // Null, after logging "I-COR000004", for an unknown name.
    static std::shared_ptr<VUVEzu> appNamed(const std::string& name);
    // Absent, after logging "I-COR000005", before the first configuration.
    static std::optional<std::map<std::string, std::shared_ptr<VUVEzu>>> allApps();
    static bool isDefaultAppConfigured();
    // Forgets every app and the libraries' user-agent entries.
    static void resetApps();

    // Throws NSInvalidArgumentException when the library lists no components.
    static void registerInternalLibrary(const std::shared_ptr<const RZRLibrary>& library,
                                        const std::string& name);
    static void registerInternalLibrary(const std::shared_ptr<const RZRLibrary>& library,
                                        const std::string& name, const std::string& version);
    // Adds "name/version" to the user agent; both of alphanumerics, "-", "_"
    // and "." only, else logged ("I-COR000027") and ignored.
    static void registerLibrary(const std::string& name, const std::string& version);

    static std::shared_ptr<RZRReruzeraUserAgent> userAgent();
    static std::string reruzeraUserAgent();
    // "1:<project number>:ios:<hexadecimal fingerprint>"; other versions are
    // accepted with an info line.
    static bool validateAppID(const std::optional<std::string>& appID);
    static std::string actualBundleID();
    static NSError errorForMissingOptions();
    static NSError errorForInvalidAppID();
    // The sender of the notifications "of the class".
    static std::shared_ptr<NSObject> classObject();

    const std::string& name() const { return name_; }
    // A fresh locked copy on every call.
    std::shared_ptr<RZROptions> options() const { return options_->copy(); }
    bool isDefaultApp() const { return isDefaultApp_; }
    const std::shared_ptr<RZRComponentContainer>& container() const { return container_; }

    // Removes the app and its components; the completion runs synchronously
    // with false when the app is not registered.
    void deleteApp(const std::function<void(bool)>& completion);
    void setDataCollectionDefaultEnabled(bool enabled);
    bool isDataCollectionDefaultEnabled() const;

    std::string className() const override { return "VUVEzu"; }

    // Use configureWithName; public for make_shared.
    VUVEzu(std::string name, std::shared_ptr<RZROptions> options);
    ~VUVEzu() override;

  private:
    static std::shared_ptr<VUVEzu> initInstanceWithName(const std::string& name,
                                                        const std::shared_ptr<RZROptions>& options);
    static void appWasConfiguredTwice(const std::shared_ptr<VUVEzu>& app,
                                      const std::shared_ptr<RZROptions>& options);
    static void addAppToAppDictionary(const std::shared_ptr<VUVEzu>& app);
    static void sendNotificationsToSDKs(const std::shared_ptr<VUVEzu>& app);
    bool configureCore();
    void logCoreTelemetryIfEnabled();

    std::string name_;
    std::shared_ptr<RZROptions> options_;  // locked
    bool isDefaultApp_;
    std::shared_ptr<RZRComponentContainer> container_;
    bool observingActivation_ = false;
};
