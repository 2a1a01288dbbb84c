#pragma once
// The content every remote-configuration instance reads: per fully qualified
// namespace the active, the fetched and the default values, plus the active
// and fetched personalization metadata. Every change is mirrored into the
// database, and the content is read back from it when the object is made.
//
// Changes run on the shared remote-configuration queue and take the write
// lock for their in-memory part only; the database writes are queued, and
// changes queued one after another (a fetch and its activation) share one
// transaction. The readers for lookups (valueForKey, keys,
// configForKey) take the read lock and may run on any thread, so a lookup
// never waits on the database. Every reader first waits (at most 30 seconds)
// for the first database load.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "services/remoteconfig/RCNConfigDBManager.h"
#include "services/remoteconfig/RCNFetchAnswer.h"

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

    // Any thread: the value of the key in the active (Active) or default
    // (Default) content; null when absent.
    std::shared_ptr<DIROdadevOveredValue> valueForKey(RCNDBSource source, const std::string& ns,
                                                      const std::string& key);
    // Any thread: the keys of the namespace's active or default content.
    std::vector<std::string> keys(RCNDBSource source, const std::string& ns);
    // Any thread: what the value listeners get for one key read: "entries"
    // with that key's active text and "personalizationMetadata" with its
    // personalization, when it has any.
    Dictionary configForKey(const std::string& ns, const std::string& key);

    // The queue's own view; only the queue changes the content.
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
    // Its values become the fetched ones as they are, without a copy.
    void updateConfigContentWithResponse(RCNFetchAnswer answer, const std::string& ns);
    void activatePersonalization();

    const Dictionary& activePersonalization() const { return activePersonalization_; }
    const Dictionary& fetchedPersonalization() const { return fetchedPersonalization_; }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }

    // Tests: how long readers wait for the first load.
    void setLoadTimeoutForTesting(sim::Duration timeout) { loadTimeout_ = timeout; }

  private:
    void loadConfigFromMainTable();
    bool checkCopy(const void* source, RCNDBSource destination);
    void storeRows(const std::string& ns, RCNDBSource destination,
                   std::shared_ptr<const RCNKeyedRows> rows, std::uint64_t fetchedToken = 0);
    // The namespace of `table` becomes `values`; what it held is freed once
    // the lock is released.
    void replaceNamespace(RCNNamespaceValues& table, const std::string& ns, RCNKeyedValues values);
    void indexPersonalization();
    void handleUpdateStateForConfigNamespace(const std::string& ns, RCNKeyedRows entries);

    RCNNamespaceValues activeConfig_;
    RCNNamespaceValues fetchedConfig_;
    RCNNamespaceValues defaultConfig_;
    Dictionary activePersonalization_;
    Dictionary fetchedPersonalization_;
    // The active personalization by parameter key, for lookups.
    std::unordered_map<std::string, Value> personalizationByKey_;
    // Per namespace, the database write that stored the fetched values: its
    // token and its rows, which an activation shares; the queue's own.
    struct FetchedWrite {
        std::uint64_t token = 0;
        std::shared_ptr<const RCNKeyedRows> rows;
    };
    std::unordered_map<std::string, FetchedWrite> fetchedWrites_;
    std::shared_mutex mutex_;
    std::shared_ptr<RCNConfigDBManager> db_;
    std::string bundleIdentifier_;
    std::shared_ptr<DispatchGroup> group_;
    std::atomic<bool> isConfigLoadFromDBCompleted_ = false;
    bool isDatabaseLoadAlreadyInitiated_ = false;
    sim::Duration loadTimeout_ = std::chrono::seconds(30);
};
