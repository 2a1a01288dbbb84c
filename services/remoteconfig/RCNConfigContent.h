#pragma once
// The content every remote-configuration instance reads: per fully qualified
// namespace the active, the fetched and the default values, plus the active
// and fetched personalization metadata. Every change is mirrored into the
// database, and the content is read back from it when the object is made.
//
// No lock of its own: callers run on the shared remote-configuration queue.
// Every reader first waits (at most 30 seconds) for the first database load.

#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "services/remoteconfig/RCNConfigDBManager.h"

class RCNConfigContent {
  public:
    // The one content of the process, on the shared database.
    static std::shared_ptr<RCNConfigContent> sharedInstance();
    // Tests: the next sharedInstance() starts afresh.
    static void resetSharedInstanceForTesting();
    // Empty content; starts the first load from `db` when there is one.
    explicit RCNConfigContent(std::shared_ptr<RCNConfigDBManager> db);
    // Waits for the first load, whose blocks write into this object.
    ~RCNConfigContent() { group_->wait(); }

    // True once the first load is complete; waits up to the load timeout.
    bool initializationSuccessful() { return checkAndWaitForInitialDatabaseLoad(); }
    bool checkAndWaitForInitialDatabaseLoad();

    RCNNamespaceValues& fetchedConfig();
    RCNNamespaceValues& activeConfig();
    RCNNamespaceValues& defaultConfig();
    // "entries" (the namespace's active texts) and "personalizationMetadata".
    Dictionary getConfigAndMetadataForNamespace(const std::string& ns);

    // Replaces the namespace's defaults with namespaces[ns] (texts, numbers,
    // booleans, dates and data; other kinds are skipped).
    void copyFromDictionary(const std::optional<Dictionary>& namespaces, RCNDBSource destination,
                            const std::string& ns);
    // Makes the namespace's entry of `fetched` its active content.
    void copyFromDictionary(const RCNNamespaceValues* fetched, RCNDBSource destination,
                            const std::string& ns);
    // A fetch response: "state", and for "UPDATE" "entries" and optionally
    // "personalizationMetadata".
    void updateConfigContentWithResponse(const Dictionary& response, const std::string& ns);
    void activatePersonalization();

    const Dictionary& activePersonalization() const { return activePersonalization_; }
    const Dictionary& fetchedPersonalization() const { return fetchedPersonalization_; }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }

    // Tests: how long readers wait for the first load.
    void setLoadTimeoutForTesting(sim::Duration timeout) { loadTimeout_ = timeout; }

  private:
    void loadConfigFromMainTable();
    bool replaceTarget(const void* source, RCNDBSource destination, const std::string& ns);
    void handleUpdateStateForConfigNamespace(const std::string& ns, const Value& entries);

    RCNNamespaceValues activeConfig_;
    RCNNamespaceValues fetchedConfig_;
    RCNNamespaceValues defaultConfig_;
    Dictionary activePersonalization_;
    Dictionary fetchedPersonalization_;
    std::shared_ptr<RCNConfigDBManager> db_;
    std::string bundleIdentifier_;
    std::shared_ptr<DispatchGroup> group_;
    bool isConfigLoadFromDBCompleted_ = false;
    bool isDatabaseLoadAlreadyInitiated_ = false;
    sim::Duration loadTimeout_ = std::chrono::seconds(30);
};
