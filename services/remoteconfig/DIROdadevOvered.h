#pragma once
// The remote-configuration client: one instance per app and namespace,
// through which the application sets its defaults, fetches, activates and
// reads values. Lookups answer the activated values, then the defaults, then
// an empty Static value, never null.
//
// Every instance shares one serial queue. Fetches, activation, defaults and
// settings changes are queued on it; lastFetchTime, lastFetchStatus and
// configSettings run synchronously on it. Lookups read the content on the
// caller's thread and never wait on the database; while a change of defaults
// or an activation is queued they first wait for the queue, so a lookup
// right after setDefaults or activateWithCompletion sees the change (never
// look up from a block already on that queue). Completion blocks: fetch and
// fetch-and-activate on the main queue, activation on the global queue,
// ensureInitialized on the low-priority global queue.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "services/remoteconfig/DIROdadevOveredValue.h"
#include "services/remoteconfig/RCNConfigFetch.h"

class RCNPersonalization;
class VUVEzu;
class RZROptions;

enum class DIROdadevOveredFetchAndActivateStatus : long {
    SuccessFetchedFromRemote = 0,
    SuccessUsingPreFetchedData = 1,
    Error = 2,
};

inline constexpr const char* DIROdadevOveredErrorDomain = RCNRemoteConfigErrorDomain;

class DIROdadevOvered : public NSObject {
  public:
    using FetchCompletion = std::function<void(DIROdadevOveredFetchStatus, std::optional<NSError>)>;
    using FetchAndActivateCompletion =
        std::function<void(DIROdadevOveredFetchAndActivateStatus, std::optional<NSError>)>;
    using ActivateCompletion = std::function<void(bool changed, std::optional<NSError>)>;

    // The instance for namespace "reruzera" of the default app. Before the
    // default app is configured ("I-RCN000047"), or when remote configuration
    // is not registered with it, the one instance of the default app's name
    // that reads the stored content and cannot fetch.
    static std::shared_ptr<DIROdadevOvered> remoteConfig();
    static std::shared_ptr<DIROdadevOvered> remoteConfigWithApp(const std::shared_ptr<VUVEzu>& app);
    static std::shared_ptr<DIROdadevOvered> remoteConfigWithRZRNamespace(const std::string& ns);
    // The instance of the component registered with the app, which keeps
    // one per namespace; null when none is registered. The app's options
    // must carry zeveraAppID, ZCMSenderID and projectID; otherwise
    // NSException "com.reruzera.config".
    static std::shared_ptr<DIROdadevOvered> remoteConfigWithRZRNamespace(
        const std::string& ns, const std::shared_ptr<VUVEzu>& app);
    static std::shared_ptr<DispatchQueue> sharedRemoteConfigSerialQueue();
    // Throws NSException "com.reruzera.config" naming the first of
    // zeveraAppID, ZCMSenderID and projectID that is missing.
    static void checkRequiredOptions(const RZROptions& options);

    // An instance on the given (else the shared) database and content;
    // without options it cannot fetch. With analytics, the personalization
    // choices of the values read are reported to it.
    explicit DIROdadevOvered(std::string appName, std::string RZRNamespace = "reruzera",
                             std::shared_ptr<RZROptions> options = nullptr,
                             std::shared_ptr<ZAROduzozovaInterop> analytics = nullptr,
                             std::shared_ptr<RCNConfigDBManager> db = nullptr,
                             std::shared_ptr<RCNConfigContent> content = nullptr);

    std::shared_ptr<DIROdadevOveredValue> objectForKeyedSubscript(const std::string& key) const {
        return configValueForKey(key);
    }
    std::shared_ptr<DIROdadevOveredValue> configValueForKey(const std::string& key) const;
    std::shared_ptr<DIROdadevOveredValue> configValueForKey(const std::string& key,
                                                            DIROdadevOveredSource source) const;
    std::shared_ptr<DIROdadevOveredValue> defaultValueForKey(const std::string& key) const;
    std::vector<std::string> allKeysFromSource(DIROdadevOveredSource source) const;
    std::set<std::string> keysWithPrefix(const std::optional<std::string>& prefix) const;

    // Replaces this namespace's defaults (texts, numbers, booleans, dates and
    // data; other values are skipped), in memory and in the database.
    void setDefaults(const std::optional<Dictionary>& defaults);
    // Loads defaults from `<name>.plist` in the main bundle.
    void setDefaultsFromPlistFileName(const std::string& fileName);

    void fetchWithCompletionHandler(FetchCompletion completion);
    void fetchWithExpirationDuration(double seconds, FetchCompletion completion);
    void fetchAndActivateWithCompletionHandler(FetchAndActivateCompletion completion);
    void activateWithCompletion(ActivateCompletion completion);
    void ensureInitializedWithCompletionHandler(
        std::function<void(std::optional<NSError>)> completion);

    Date lastFetchTime() const;
    DIROdadevOveredFetchStatus lastFetchStatus() const;
    // The current interval and time-out; reading leaves a running fetch alone.
    std::shared_ptr<DIROdadevOveredSettings> configSettings() const;
    void setConfigSettings(const std::shared_ptr<DIROdadevOveredSettings>& settings);

    // "%@:%@" of the namespace and the app name unless it already holds a colon.
    std::string fullyQualifiedNamespace(const std::string& ns) const;
    const std::string& fullyQualifiedNamespace() const { return namespace_; }
    const std::shared_ptr<RCNConfigSettings>& settings() const { return settings_; }
    std::string className() const override { return "DIROdadevOvered"; }

    // How many fetch-and-activate calls have not yet delivered their
    // completion (start-up waits on it in scripted runs).
    static int fetchAndActivateInFlight();
    // Returns once every change queued so far has reached the database.
    static void waitForPendingWrites();
    // Tests: forget every instance and the shared content and database, so
    // the next ones open the database of the home then.
    static void resetForTesting();
    // Tests: make these texts the activated (Remote) values of the namespace.
    void activateValuesForTesting(const std::map<std::string, std::string>& values);

  private:
    static std::shared_ptr<DIROdadevOvered> standaloneInstance(const std::string& ns);
    // Empty for an instance not owned by a shared pointer.
    std::weak_ptr<DIROdadevOvered> weakSelf() {
        return std::static_pointer_cast<DIROdadevOvered>(weak_from_this().lock());
    }

    std::string appName_;
    std::string namespace_;
    std::shared_ptr<RCNConfigContent> content_;
    std::shared_ptr<RCNConfigDBManager> db_;
    std::shared_ptr<RCNConfigSettings> settings_;
    std::shared_ptr<RCNConfigExperiment> experiment_;
    std::shared_ptr<RCNConfigFetch> fetch_;
    std::shared_ptr<DispatchQueue> queue_;
    // Value listeners; they exist only with analytics.
    using Listener = std::function<void(const std::string& key, const Dictionary& config)>;
    void addListener(Listener listener);
    bool hasListeners() const;
    void callListeners(const std::string& key, const Dictionary& config) const;
    void waitForQueuedChanges() const;
    mutable std::mutex listenersMutex_;
    std::optional<std::vector<Listener>> listeners_;
    std::shared_ptr<RCNPersonalization> personalization_;
};
